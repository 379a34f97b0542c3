// ArrayLoad by name with the format decided by content, then ArraySave in
// the table's own format and ArrayLoad again.
#include "harness.hpp"

#include "platform/system.hpp"
#include "registry/registry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Saves here need not reach the disk: flushing them was nearly all an
    // input's time.
    static const bool unflushed = [] {
        for (const char *flush : {"fdatasync", "fsync", "fsync folder", "FlushFileBuffers"})
            gridvane_core::platform::seam::always(flush, gridvane_core::platform::seam::Act::pretend);
        return true;
    }();
    (void)unflushed;
    static const std::string input = gvfuzz::scratch_file("input"), output = gvfuzz::scratch_file("output");
    gvfuzz::write_file(input, data, size);

    const int32_t id = ArrayLoad(input.c_str());
    if (id > 0) {
        ArrayNode *node = ArrayGetPointer(id);
        const bool binary = node->type == CHAN_BIN;
        const auto count_u = static_cast<int32_t>(node->countU);
        if (ArraySave(id, output.c_str(), node->type) != 0)
            gvfuzz::property_failed("saving a table that loaded");
        if (count_u > 0 || binary) {
            const int32_t again = ArrayLoad(output.c_str());
            ArrayNode *copy = ArrayGetPointer(again);
            if (copy == nullptr || copy->type != node->type || copy->countU != node->countU ||
                copy->countV != node->countV)
                gvfuzz::property_failed("loading what was saved");
            if (!gvfuzz::same_table(node->rows, copy->rows, count_u, static_cast<int32_t>(node->countV), !binary))
                gvfuzz::property_failed("samples changed through a save and a load");
        }
    }
    gridvane_core::registry::discard_all();
    std::remove(input.c_str());
    std::remove(output.c_str());
    return 0;
}
