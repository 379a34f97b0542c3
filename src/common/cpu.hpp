// What the processor offers beyond the baseline the library is built for,
// asked once. Every piece of code with a faster copy for newer processors
// asks here.
#pragma once

// Marks a function compiled for processors with AVX2 and BMI2, called only
// where has_avx2() says so.
#if defined(__x86_64__)
#    define GRIDVANE_AVX2 __attribute__((target("avx2,bmi,bmi2")))
#endif

namespace gridvane_core::cpu {

// AVX2 with BMI2 (x86-64 only; false elsewhere).
bool has_avx2();

} // namespace gridvane_core::cpu
