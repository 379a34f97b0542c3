// The ASCII reader on arbitrary bytes; what it reads must survive a round
// trip through the writer (table-form rows keep their frame as a value).
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *in = gvfuzz::input_stream(data, size);
    int32_t count_u = 0, count_v = 0;
    float **rows = ChanReadAscii(in, &count_u, &count_v);
    std::fclose(in);
    if (rows == nullptr)
        return 0;
    if (count_u < 1 || count_v < 1)
        gvfuzz::property_failed("an ASCII table without samples");
    gvfuzz::check_round_trip(rows, count_u, count_v, false);
    gvfuzz::free_rows(rows, count_v);
    return 0;
}
