// ArrayRead with each type code (the first byte chooses), then ArrayWrite
// and ArrayRead again: same counts and samples, and the registry is empty
// again afterwards.
#include "harness.hpp"

#include "registry/registry.hpp"

namespace {

void check_registered_round_trip(ArrayNode *node)
{
    const bool binary = node->type == CHAN_BIN;
    const auto count_u = static_cast<int32_t>(node->countU);
    const auto count_v = static_cast<int32_t>(node->countV);
    if (binary && (count_u > 32767 || count_v > 32767))
        gvfuzz::property_failed("binary counts beyond the header");
    char *buffer = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&buffer, &length);
    const int32_t written = ArrayWrite(out, node, node->type);
    std::fclose(out);
    if (written != 0)
        gvfuzz::property_failed("ArrayWrite of a table ArrayRead made");
    if (count_u == 0 && !binary) {
        std::free(buffer); // frame numbers only: no text to read back
        return;
    }
    FILE *in = gvfuzz::input_stream(reinterpret_cast<const uint8_t *>(buffer), length);
    ArrayNode *again = ArrayRead(in, node->type);
    std::fclose(in);
    std::free(buffer);
    if (again == nullptr || again->countU != node->countU || again->countV != node->countV ||
        (again->flags & ARRAY_FRAME) != 0)
        gvfuzz::property_failed("ArrayRead of what ArrayWrite wrote");
    if (!gvfuzz::same_table(node->rows, again->rows, count_u, count_v, !binary))
        gvfuzz::property_failed("samples changed through ArrayWrite and ArrayRead");
    if (ArrayFree(again->id) != 0)
        gvfuzz::property_failed("freeing a table");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const int32_t codes[] = {CHAN_ASCII, CHAN_BIN, 0, 7};
    const int32_t type = codes[data[0] % 4];
    FILE *in = gvfuzz::input_stream(data + 1, size - 1);
    ArrayNode *node = ArrayRead(in, type);
    std::fclose(in);
    if (node != nullptr) {
        if (type == CHAN_BIN || type == CHAN_ASCII)
            check_registered_round_trip(node);
        else if (node->rows != nullptr || node->countU != 0.0f || node->countV != 0.0f)
            gvfuzz::property_failed("a table of another family with storage");
    }
    gridvane_core::registry::discard_all();
    return 0;
}
