// A file read in parts on several threads against the same file read in one
// piece: the same table, report and findings, wherever the parts are cut.
#include "harness.hpp"

#include "gridvane.hpp"
#include "io/loading.hpp"
#include "registry/registry.hpp"

#include <bit>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Seen {
    std::string all;
};

int tell(const gridvane_finding *f, void *context)
{
    auto &seen = *static_cast<Seen *>(context);
    // Every field, the doubles by their bits.
    seen.all += std::to_string(f->kind) + "/" + std::to_string(f->severity) + "@" + std::to_string(f->line) + ":" +
                std::to_string(f->column) + ":" + std::to_string(f->offset) + " " +
                std::to_string(std::bit_cast<uint64_t>(f->taken)) + " " +
                std::to_string(std::bit_cast<uint64_t>(f->previous)) + " " + std::to_string(f->expected) + "/" +
                std::to_string(f->found) + " " + std::to_string(f->frame) + " " + (f->text != nullptr ? f->text : "") +
                ";";
    return f->severity == GRIDVANE_SEVERITY_ERROR && f->line % 3 == 0; // refuse at some errors, read past others
}

// Everything a load shows, as text.
std::string outcome(int32_t id, const gridvane_report &r, const Seen &seen)
{
    std::string s = std::to_string(r.status.code) + "/" + std::to_string(r.status.error) + "@" +
                    std::to_string(r.status.line) + ":" + std::to_string(r.status.column) + ":" +
                    std::to_string(r.status.offset) + " " + std::to_string(r.status.expected) + "/" +
                    std::to_string(r.status.found) + " kind " + std::to_string(r.kind) + " " +
                    std::to_string(r.errors) + "/" + std::to_string(r.warnings) + " " + seen.all;
    if (id > 0) {
        const ArrayNode *node = ArrayGetPointer(id);
        const auto width = static_cast<size_t>(node->countU) + ((node->flags & ARRAY_FRAME) != 0);
        s += " " + std::to_string(node->countU) + "x" + std::to_string(node->countV);
        for (int32_t row = 0; row < static_cast<int32_t>(node->countV); ++row)
            s.append(reinterpret_cast<const char *>(node->rows[row]), width * sizeof(float));
        ArrayFree(id);
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string file = gvfuzz::scratch_file("input.dat");
    gvfuzz::write_file(file, data, size);
    gridvane_core::io::set_smallest_part(1);

    // A reading too, chosen by the input's length: none, a line of names, a
    // frame column.
    const gridvane_reading readings[] = {
        {0, -1}, {GRIDVANE_READ_NAMES_FIRST_LINE, -1}, {0, static_cast<int32_t>(size / 3 % 3)}};
    const gridvane_reading *reading = &readings[size % 3];

    Seen whole_seen;
    gridvane_report whole_report{};
    const int32_t whole =
        gridvane_load_with(file.c_str(), GRIDVANE_FORM_DECIDE, reading, tell, &whole_seen, &whole_report);
    const std::string expected = outcome(whole, whole_report, whole_seen);

    for (const int32_t parts : {2, 5}) {
        Seen seen;
        gridvane_report report{};
        gridvane_plan *plan =
            gridvane_plan_open_with(file.c_str(), GRIDVANE_FORM_DECIDE, parts, reading, tell, &seen, &report);
        int32_t id = -1;
        if (plan != nullptr) {
            // Every part on a thread of its own, so that parts run at once.
            gridvane::thread_driver{static_cast<unsigned>(gridvane_plan_parts(plan))}(
                gridvane_plan_parts(plan), [plan](int32_t k) { gridvane_plan_read(plan, k, nullptr); });
            id = gridvane_plan_finish(plan, &report);
        }
        if (outcome(id, report, seen) != expected)
            gvfuzz::property_failed("a load in parts differs from the load in one piece");
    }
    gridvane_core::registry::discard_all();
    return 0;
}
