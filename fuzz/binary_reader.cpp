// The binary reader on arbitrary bytes; what it reads must write back and
// read again bit for bit.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *in = gvfuzz::input_stream(data, size);
    int32_t count_u = 0, count_v = 0;
    float **rows = ChanReadBin(in, &count_u, &count_v);
    std::fclose(in);
    if (rows == nullptr)
        return 0;
    if (count_u < 0 || count_v < 0 || count_u > 32767 || count_v > 32767)
        gvfuzz::property_failed("counts the header cannot hold");
    gvfuzz::check_round_trip(rows, count_u, count_v, true);
    gvfuzz::free_rows(rows, count_v);
    return 0;
}
