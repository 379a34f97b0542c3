// ArrayLoad by name with the format decided by content, then ArraySave in
// the table's own format and ArrayLoad again.
#include "harness.hpp"

#include "registry/registry.hpp"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string dir = [] {
        const char *tmp = std::getenv("TMPDIR");
        return std::string(tmp != nullptr ? tmp : "/tmp") + "/gridvane-fuzz-" + std::to_string(getpid());
    }();
    static const bool made = [] {
        const bool ok = mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
        std::atexit([] { rmdir(dir.c_str()); });
        return ok;
    }();
    (void)made;
    const std::string input = dir + "/input", output = dir + "/output";
    FILE *f = std::fopen(input.c_str(), "wb");
    std::fwrite(data, 1, size, f);
    std::fclose(f);

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
    gridvane::registry::discard_all();
    std::remove(input.c_str());
    std::remove(output.c_str());
    return 0;
}
