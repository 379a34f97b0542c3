// The binary reader on arbitrary bytes; what it reads must write back and
// read again bit for bit.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    gvfuzz::check_reader(data, size, true);
    return 0;
}
