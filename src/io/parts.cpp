// A load the caller spreads over its own threads. The plan opens the file,
// decides its form and reads the head exactly as a load does; the rest is
// cut at line ends (rows, for the binary form) into parts that any thread
// reads; the finish joins them into one table, the one a single load gives,
// and has the formats tell the observer what a single load would have told,
// in file order, on the finishing thread. Parts keep their findings
// meanwhile; should one keep too many for the observer's taste (it lets
// them all pass), the finish reads the file once more in one go, telling
// only what it has not told yet. A file that cannot be read by position (a
// pipe, a FIFO, a terminal) is one part, read in order as a load reads it
// by the thread that reads the part, which tells the observer there.
//
// The plan knows the file's size and modification time at the open: a part
// that finds the file shorter or longer, or a finish that finds either
// changed, fails the load (another process wrote the file meanwhile, and
// the parts would join pieces of two files).
#include "gridvane_ext.h"

#include "common/failure.hpp"
#include "common/heap.hpp"
#include "descriptors.hpp"
#include "formats/binary_header.hpp"
#include "formats/forms.hpp"
#include "formats/growth.hpp"
#include "formats/joining.hpp"
#include "loading.hpp"
#include "platform/system.hpp"
#include "registry/registry.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

using namespace gridvane_core;

namespace {

// Parts are at least this large: below it, one thread does better (tests
// make it smaller).
std::int64_t smallest_part = 1 << 20;

struct Parting;

struct Part {
    Part() = default;
    Part(const Part &) = delete;
    Part &operator=(const Part &) = delete;
    ~Part()
    {
        storage::release_rows(rows.rows);
        storage::release_names(rows.names);
    }

    std::int64_t begin = 0, end = 0; // bytes (ASCII) or rows (binary)
    bool read = false;
    formats::AsciiRead rows;
    formats::Span span;
    Status status = ok_status();
    formats::KeptFindings kept;
};

} // namespace

struct gridvane_plan {
    int fd = -1;
    platform::FileInfo opened; // the file as the open found it: its size, its modification time
    // The caller's, for the head and the finish (and a plan read whole).
    formats::Observer observer{nullptr, nullptr};
    bool observed = false;
    std::int32_t form = 0, kind = GRIDVANE_KIND_UNKNOWN;
    const Parting *parting = nullptr; // how the form is read in parts
    formats::Reading reading;
    // A load not split (not a regular file): its one part reads it all, in
    // the form asked (form is then GRIDVANE_FORM_DECIDE or the form given).
    bool whole = false;
    io::Loaded loaded;
    // ASCII: the head and what it fixed.
    formats::AsciiRead head;
    formats::Span head_span;
    // Binary: the header and the one block every part reads into.
    formats::BinaryHeader header;
    storage::Rows block;
    Part *parts = nullptr;
    std::int32_t part_count = 0;

    ~gridvane_plan()
    {
        delete[] parts;
        storage::release_rows(head.rows);
        storage::release_names(head.names);
        storage::release_rows(block);
        if (loaded.node != nullptr) // read whole and never finished
            registry::free_table(loaded.node->id);
        if (fd >= 0)
            io::close_keeping_errno(fd);
    }
    formats::Observer *watcher() { return observed ? &observer : nullptr; }
};

namespace {

void fill_report(gridvane_report &report, std::int32_t kind, const formats::Observer *observer,
                 std::int64_t comments = 0)
{
    report.kind = kind;
    report.comments = comments;
    report.errors = observer != nullptr ? observer->errors() : 0;
    report.warnings = observer != nullptr ? observer->warnings() : 0;
}

// The offset just after the first line end at or after from (the end of
// the file when there is none), or -1 with errno when reading failed.
std::int64_t line_end_after(int fd, std::int64_t from, std::int64_t size)
{
    char block[4096];
    io::DescriptorSource source(fd, from, size);
    for (std::int64_t at = from; at < size;) {
        const std::size_t got = source.read(block, sizeof block);
        if (source.failed()) {
            errno = source.error();
            return -1;
        }
        if (got == 0)
            break;
        if (const void *nl = std::memchr(block, '\n', got))
            return at + (static_cast<const char *>(nl) - block) + 1;
        at += static_cast<std::int64_t>(got);
    }
    return size;
}

// Cuts [from, to) into at most wanted parts of at least smallest_part,
// at line ends (ASCII) or into row ranges (binary rows of row_bytes).
Status cut(gridvane_plan &plan, std::int64_t from, std::int64_t to, std::int32_t wanted, std::int64_t row_bytes)
{
    const std::int64_t bytes = (to - from) * (row_bytes > 0 ? row_bytes : 1);
    const auto count = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(bytes / smallest_part, 1, std::max<std::int32_t>(wanted, 1)));
    plan.parts = new (std::nothrow) Part[static_cast<std::size_t>(count)];
    if (plan.parts == nullptr)
        return failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
    std::int64_t begin = from;
    std::int32_t made = 0;
    for (std::int32_t k = 0; k < count && begin < to; ++k) {
        std::int64_t end = k + 1 == count ? to : from + (to - from) / count * (k + 1);
        if (row_bytes == 0 && end < to) {
            const std::int64_t after = std::max(end, begin);
            end = line_end_after(plan.fd, after, to);
            if (end < 0)
                return failure_at(GRIDVANE_E_READ, 0, 0, after, errno);
        }
        if (end <= begin)
            continue;
        plan.parts[made].begin = begin;
        plan.parts[made].end = end;
        ++made;
        begin = end;
    }
    plan.part_count = made;
    return ok_status();
}

// Reads the head of an ASCII file (after a decision by content, when asked)
// and cuts the rest.
Status plan_ascii(gridvane_plan &plan, const formats::ReadStart &start, std::string_view kept,
                  std::int64_t source_at, std::int32_t wanted)
{
    io::DescriptorSource rest(plan.fd, source_at);
    formats::ReplaySource source(kept, rest);
    plan.head = formats::read_ascii_head(source, plan.watcher(), start, plan.head_span, plan.reading);
    if (!succeeded(plan.head.status))
        return plan.head.status;
    plan.kind = plan.head.table_form ? GRIDVANE_KIND_ASCII_TABLE : GRIDVANE_KIND_ASCII_PLAIN;
    return cut(plan, plan.head_span.end_offset, plan.opened.size, wanted, 0);
}

// Reads the header of a binary file, makes the block every part reads into
// and cuts the rows (the header is read again from the start: a decision
// by content keeps nothing the rows need).
Status plan_binary(gridvane_plan &plan, const formats::ReadStart &, std::string_view, std::int64_t,
                   std::int32_t wanted)
{
    io::DescriptorSource head(plan.fd);
    Status s = formats::read_binary_head(head, plan.watcher(), plan.header);
    if (succeeded(s))
        s = formats::binary_samples_there(plan.header, plan.opened.size);
    if (!succeeded(s))
        return s;
    const formats::BinaryHeader &h = plan.header;
    plan.kind = h.big_endian ? GRIDVANE_KIND_BINARY_BIG : GRIDVANE_KIND_BINARY_LITTLE;
    plan.block.index = heap::allocate_n<float *>(static_cast<std::size_t>(h.rows));
    float *samples = h.rows == 0 ? nullptr : storage::allocate_block(std::int64_t{h.rows} * h.columns);
    if (plan.block.index == nullptr || (h.rows != 0 && samples == nullptr)) {
        heap::release(samples);
        heap::release(plan.block.index);
        plan.block.index = nullptr;
        return failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
    }
    plan.block = storage::Rows{plan.block.index, h.rows, h.columns, storage::Layout::block};
    for (std::int32_t r = 0; r < h.rows; ++r)
        plan.block.index[r] = samples + std::int64_t{r} * h.columns;
    return cut(plan, 0, h.rows, wanted, formats::binary_row_bytes(h));
}

// OK while the file is the one the plan opened: the same size and, with
// the time, the same modification time; CHANGED otherwise, and whenever a
// read ended early (a file cut may have grown again since).
Status unchanged(const gridvane_plan &plan, bool ended_early, bool with_time)
{
    platform::FileInfo now;
    if (platform::info_of(plan.fd, now) != 0)
        return failure(GRIDVANE_E_READ, errno);
    const bool same = !ended_early && now.size == plan.opened.size &&
                      (!with_time || (now.modified == plan.opened.modified &&
                                      now.modified_nanoseconds == plan.opened.modified_nanoseconds));
    return same ? ok_status() : with_counts(failure(GRIDVANE_E_CHANGED), plan.opened.size, now.size);
}

// A plan read whole: its one part reads it all as a load does, telling the
// observer on this thread (a stream read once cannot keep its findings for
// the finish: they may be many, and the observer may stop the read at the
// first).
void read_whole(gridvane_plan &plan, Part &part)
{
    io::DescriptorSource source(plan.fd);
    plan.loaded = io::read_deciding(source, plan.form, plan.watcher(), plan.reading);
    plan.kind = plan.loaded.kind;
    part.status = plan.loaded.status;
}

// Reads one part of lines after the head.
void read_text_part(gridvane_plan &plan, Part &part, formats::Observer *watcher)
{
    io::DescriptorSource source(plan.fd, part.begin, part.end);
    part.span.table_form = plan.head_span.table_form;
    part.span.width = plan.head_span.width;
    part.rows =
        formats::read_ascii_part(source, watcher, formats::ReadStart{1, 0, part.begin}, part.span, plan.reading);
    part.status = part.rows.status;
    const Status same = unchanged(plan, succeeded(part.status) && source.position() < part.end, false);
    if (!succeeded(same))
        part.status = same;
}

// Reads one part of binary rows into their place in the block.
void read_binary_part(gridvane_plan &plan, Part &part, formats::Observer *watcher)
{
    const formats::BinaryHeader &h = plan.header;
    const std::int64_t count = part.end - part.begin;
    float *into = count == 0 || h.columns == 0 ? nullptr : plan.block.index[part.begin];
    io::DescriptorSource source(plan.fd, formats::binary_row_offset(h, part.begin),
                                formats::binary_row_offset(h, part.end));
    part.status = formats::read_binary_rows(source, h, part.begin, count, into);
    // The open found every sample there: samples missing now were cut since.
    const Status same = unchanged(plan, part.status.code == GRIDVANE_E_TRUNCATED_SAMPLES, false);
    if (!succeeded(same))
        part.status = same;
    if (succeeded(part.status) && watcher != nullptr)
        formats::observe_binary_rows(h, part.begin, count, into, *watcher);
}

// How a plan reads a form in parts, for each way the form table says a
// form is cut: what the open reads before the parts (after a decision by
// content, the bytes it kept and where the source stands), how a part is
// read, and how the finish joins them.
struct Parting {
    Status (*open)(gridvane_plan &plan, const formats::ReadStart &start, std::string_view kept,
                   std::int64_t source_at, std::int32_t wanted);
    void (*read)(gridvane_plan &plan, Part &part, formats::Observer *watcher);
    io::Loaded (*finish)(gridvane_plan &plan);
};

// Reads one part into its rows, keeping its findings.
void read_part(gridvane_plan &plan, Part &part)
{
    if (part.read)
        return;
    part.read = true;
    if (plan.whole) {
        read_whole(plan, part);
        return;
    }
    formats::Observer keeper = part.kept.observer();
    plan.parting->read(plan, part, plan.observed ? &keeper : nullptr);
}

// The caller's observer, told only what it was not told yet: a single read
// tells the same findings in the same order.
struct Skipping {
    formats::Observer *told;
    std::int64_t skip;
    static int tell(const gridvane_finding *f, void *context)
    {
        auto *s = static_cast<Skipping *>(context);
        if (s->skip > 0) {
            --s->skip;
            return 0;
        }
        gridvane_finding copy = *f;
        return s->told->tell(copy) ? 0 : 1;
    }
};

io::Loaded failed(const Status &status)
{
    io::Loaded out;
    out.status = status;
    return out;
}

// Reads the whole file again in one go, for an observer that let more
// findings pass than the parts kept.
io::Loaded read_again(gridvane_plan &plan)
{
    Skipping skipping{&plan.observer, plan.observer.errors() + plan.observer.warnings()};
    formats::Observer again(Skipping::tell, &skipping);
    io::DescriptorSource source(plan.fd);
    io::Loaded loaded = io::read_deciding(source, plan.form, &again, plan.reading);
    if (loaded.status.code == GRIDVANE_E_REFUSED || loaded.status.code == GRIDVANE_E_OBSERVER)
        loaded.status = plan.observer.stopped();
    if (loaded.node == nullptr)
        return loaded;
    const Status same = unchanged(plan, false, true);
    if (succeeded(same))
        return loaded;
    registry::free_table(loaded.node->id);
    return failed(same);
}

// Joins the ASCII parts: their findings told in order, then their rows.
io::Loaded finish_ascii(gridvane_plan &plan)
{
    formats::AsciiJoin join(plan.head_span, plan.watcher());
    std::int64_t rows_before = plan.head.rows.count;
    for (std::int32_t k = 0; k < plan.part_count; ++k) {
        Part &part = plan.parts[k];
        read_part(plan, part);
        // A part held to its own bytes cannot tell whether the rows before it
        // leave room: where a single read might fail in it, one does.
        if (part.status.code == GRIDVANE_E_OUT_OF_PROPORTION ||
            (part.span.growth_peak != INT64_MIN &&
             rows_before * static_cast<std::int64_t>(plan.head_span.width * sizeof(float)) + part.span.growth_peak >
                 formats::growth_allowance))
            return read_again(plan);
        rows_before += part.rows.rows.count;
        switch (join.tell(part.span, part.kept)) {
        case formats::Joined::stopped: return failed(plan.observer.stopped());
        case formats::Joined::incomplete: return read_again(plan);
        case formats::Joined::failed: return failed(join.failure());
        case formats::Joined::told: break;
        }
        if (!succeeded(part.status))
            return failed(join.failure_in_file(part.status));
        if (!join.passed(part.span, part.rows.rows.count))
            return failed(join.failure());
    }
    switch (join.tell_summaries()) {
    case formats::Joined::stopped: return failed(plan.observer.stopped());
    case formats::Joined::failed: return failed(join.failure());
    default: break;
    }

    if (const Status same = unchanged(plan, false, true); !succeeded(same))
        return failed(same);
    const std::int64_t rows = join.rows();
    if (rows > INT32_MAX) // more than a table holds, as a single read finds
        return failed(failure(GRIDVANE_E_NO_MEMORY, ENOMEM));

    // One index for every row, the head's first; each part keeps its packs.
    storage::Rows all{nullptr, rows, static_cast<std::int64_t>(plan.head_span.width), storage::Layout::parts, nullptr,
                      plan.part_count + 1};
    all.index = heap::allocate_n<float *>(static_cast<std::size_t>(rows));
    all.part_rows = heap::allocate_n<std::int64_t>(static_cast<std::size_t>(all.parts));
    if (all.index == nullptr || all.part_rows == nullptr) {
        heap::release(all.index);
        heap::release(all.part_rows);
        return failed(failure(GRIDVANE_E_NO_MEMORY, ENOMEM));
    }
    std::int64_t at = 0;
    const auto take = [&](storage::Rows &from, std::int32_t p) {
        std::copy(from.index, from.index + from.count, all.index + at);
        at += from.count;
        all.part_rows[p] = from.count;
        heap::release(from.index); // the rows themselves now belong to all
        from = {};
    };
    take(plan.head.rows, 0);
    for (std::int32_t k = 0; k < plan.part_count; ++k)
        take(plan.parts[k].rows.rows, k + 1);
    const storage::Names names = plan.head.names;
    plan.head.names = {};
    io::Loaded loaded = io::registered(plan.form, all, formats::ascii_flags(plan.head), names, plan.kind);
    loaded.comments = plan.head.comments;
    for (std::int32_t k = 0; k < plan.part_count; ++k)
        loaded.comments += plan.parts[k].rows.comments;
    return loaded;
}

io::Loaded finish_binary(gridvane_plan &plan)
{
    for (std::int32_t k = 0; k < plan.part_count; ++k) {
        Part &part = plan.parts[k];
        read_part(plan, part);
        if (!succeeded(part.status))
            return failed(part.status);
        for (std::size_t i = 0; i < part.kept.size(); ++i) {
            gridvane_finding f = part.kept[i];
            if (!plan.observer.tell(f))
                return failed(plan.observer.stopped());
        }
        if (part.kept.overflowed())
            return read_again(plan);
    }
    if (const Status same = unchanged(plan, false, true); !succeeded(same))
        return failed(same);
    if (plan.observed && !formats::observe_binary_end(plan.header, plan.opened.size, plan.observer))
        return failed(plan.observer.stopped());
    if (const Status framed = formats::binary_frames(plan.block, plan.reading); !succeeded(framed))
        return failed(framed);
    const storage::Rows block = plan.block;
    plan.block = {};
    return io::registered(plan.form, block, plan.reading.frames_column >= 0 ? ARRAY_FRAME : 0, {}, plan.kind);
}

// By formats::Cut.
constexpr Parting partings[] = {
    {plan_ascii, read_text_part, finish_ascii},    // lines
    {plan_binary, read_binary_part, finish_binary}, // rows
};
static_assert(static_cast<int>(formats::Cut::rows) == 1 && std::size(partings) == 2);

// Reads what comes before the parts of a file in a form.
Status open_in(gridvane_plan &plan, const formats::Form &form, const formats::ReadStart &start,
               std::string_view kept, std::int64_t source_at, std::int32_t wanted)
{
    if (const Status takes = formats::takes_reading(form, plan.reading); !succeeded(takes))
        return takes;
    plan.form = form.code;
    plan.parting = &partings[static_cast<int>(form.cut)];
    return plan.parting->open(plan, start, kept, source_at, wanted);
}

// Opens the file and reads what comes before the parts.
Status open_plan(gridvane_plan &plan, const char *name, std::int32_t form, std::int32_t parts)
{
    plan.fd = platform::open_read(name);
    if (plan.fd < 0)
        return failure(GRIDVANE_E_OPEN, errno);
    if (platform::info_of(plan.fd, plan.opened) != 0 || !plan.opened.regular) {
        // Not a regular file: one part, which reads it all in order.
        plan.parts = new (std::nothrow) Part[1];
        if (plan.parts == nullptr)
            return failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
        plan.whole = true;
        plan.form = form;
        plan.part_count = 1;
        return ok_status();
    }
    form = io::decided_by_reading(form, plan.reading);
    if (form != GRIDVANE_FORM_DECIDE)
        return open_in(plan, *formats::form_of(form), {}, {}, 0, parts);
    io::DescriptorSource source(plan.fd);
    formats::ContentBlock block;
    const formats::Decision d = block.decide(source);
    if (d.form == 0)
        return d.status;
    const std::string_view kept = block.kept();
    // The block was read from the start: the source stands where it ends.
    const std::int64_t after = d.start.offset + static_cast<std::int64_t>(kept.size());
    return open_in(plan, *formats::form_of(d.form), d.start, kept, after, parts);
}

} // namespace

namespace gridvane_core::io {

std::int64_t set_smallest_part(std::int64_t bytes) { return std::exchange(smallest_part, bytes); }

} // namespace gridvane_core::io

extern "C" {

GRIDVANE_API gridvane_plan *gridvane_plan_open(const char *name, int32_t form, int32_t parts,
                                               gridvane_observer observer, void *context, gridvane_report *report)
{
    return gridvane_plan_open_with(name, form, parts, nullptr, observer, context, report);
}

GRIDVANE_API gridvane_plan *gridvane_plan_open_with(const char *name, int32_t form, int32_t parts,
                                                    const gridvane_reading *reading, gridvane_observer observer,
                                                    void *context, gridvane_report *report)
{
    return at_edge(report, static_cast<gridvane_plan *>(nullptr),
                   [&](Status &s, gridvane_report &r) -> gridvane_plan * {
        formats::Reading rules;
        if (name == nullptr || name[0] == '\0' || parts < 0 || !io::reading_of(reading, rules) ||
            !formats::readable(form))
            return refuse(s, GRIDVANE_E_ARGUMENT);
        if (form == GRIDVANE_FORM_DECIDE && (form = gridvane_form_of_name(name, GRIDVANE_PURPOSE_LOAD, &s)) < 0)
            return nullptr;
        auto *plan = new (std::nothrow) gridvane_plan;
        if (plan == nullptr)
            return refuse(s, GRIDVANE_E_NO_MEMORY);
        plan->observer = formats::Observer(observer, context);
        plan->observed = observer != nullptr;
        plan->reading = rules;
        s = open_plan(*plan, name, form, parts);
        fill_report(r, succeeded(s) ? plan->kind : GRIDVANE_KIND_UNKNOWN, plan->watcher());
        if (succeeded(s))
            return plan;
        delete plan;
        return nullptr;
    });
}

GRIDVANE_API int32_t gridvane_plan_parts(const gridvane_plan *plan) { return plan == nullptr ? 0 : plan->part_count; }

GRIDVANE_API int32_t gridvane_plan_read(gridvane_plan *plan, int32_t part, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (plan == nullptr || part < 0 || part >= plan->part_count)
            return refuse(s, GRIDVANE_E_ARGUMENT);
        read_part(*plan, plan->parts[part]);
        s = plan->parts[part].status;
        return succeeded(s) ? 0 : -1;
    });
}

GRIDVANE_API int32_t gridvane_plan_finish(gridvane_plan *plan, gridvane_report *report)
{
    return at_edge(report, int32_t(-1), [&](Status &s, gridvane_report &r) -> int32_t {
        if (plan == nullptr)
            return refuse(s, GRIDVANE_E_ARGUMENT);
        const std::unique_ptr<gridvane_plan> owned(plan);
        if (plan->whole)
            read_part(*plan, plan->parts[0]);
        const io::Loaded loaded =
            plan->whole ? std::exchange(plan->loaded, io::Loaded{}) : plan->parting->finish(*plan);
        fill_report(r, loaded.node != nullptr ? plan->kind : GRIDVANE_KIND_UNKNOWN, plan->watcher(), loaded.comments);
        s = loaded.status;
        return loaded.node != nullptr ? loaded.node->id : -1;
    });
}

GRIDVANE_API void gridvane_plan_abandon(gridvane_plan *plan)
{
    const KeepErrno keep;
    delete plan;
}

} // extern "C"
