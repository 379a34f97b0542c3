#include "cpu.hpp"

namespace gridvane_core::cpu {

bool has_avx2()
{
#if defined(__x86_64__)
    // The processor's description may not have been read yet when this is
    // first asked (during the start-up of another library), hence the
    // explicit start.
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    }();
    return yes;
#else
    return false;
#endif
}

} // namespace gridvane_core::cpu
