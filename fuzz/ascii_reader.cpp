// The ASCII reader on arbitrary bytes; what it reads must survive a round
// trip through the writer (table-form rows keep their frame as a value).
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    gvfuzz::check_reader(data, size, false);
    return 0;
}
