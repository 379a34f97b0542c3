// A load the caller spreads over its own threads. The plan opens the file,
// decides its form and reads the head exactly as a load does; the rest is
// cut at line ends (rows, for the binary form) into parts that any thread
// reads; the finish joins them into one table, the one a single load gives,
// and tells the observer the findings a single load would have told, in
// file order, on the finishing thread. Parts keep their findings meanwhile;
// should one keep too many for the observer's taste (it lets them all pass),
// the finish reads the file once more in one go, telling only what it has
// not told yet.
#include "gridvane_ext.h"

#include "common/failure.hpp"

#include "files.hpp"
#include "loading.hpp"
#include "platform/files.hpp"
#include "formats/binary_header.hpp"
#include "formats/formats.hpp"
#include "common/growable.hpp"
#include "common/heap.hpp"
#include "host/tools.hpp"
#include "registry/registry.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

using namespace gridvane;

namespace {

// Parts are at least this large: below it, one thread does better (tests
// make it smaller).
std::int64_t smallest_part = 1 << 20;
// Findings a part keeps for the finish; past them the finish reads again.
constexpr std::size_t kept_findings = 256;

// A part's findings, kept with their texts until the finish tells them.
class Recorder {
public:
    Recorder() = default;
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;
    ~Recorder()
    {
        for (std::size_t i = 0; i < kept_.size(); ++i)
            heap::release(kept_[i].text);
    }

    static int record(const gridvane_finding *f, void *context)
    {
        static_cast<Recorder *>(context)->add(*f);
        return 0;
    }

    std::size_t size() const { return kept_.size(); }
    gridvane_finding &operator[](std::size_t i) { return kept_[i].finding; }
    // Whether findings were left out (too many, or no memory to keep them).
    bool overflowed() const { return overflowed_; }

private:
    struct Kept {
        gridvane_finding finding;
        char *text;
    };

    void add(gridvane_finding f)
    {
        if (overflowed_ || kept_.size() == kept_findings || !kept_.reserve(kept_.size() + 1)) {
            overflowed_ = true;
            return;
        }
        char *text = nullptr;
        if (f.text != nullptr) {
            const std::size_t n = std::strlen(f.text);
            text = static_cast<char *>(heap::allocate(n + 1));
            if (text == nullptr) {
                overflowed_ = true;
                return;
            }
            std::memcpy(text, f.text, n + 1);
        }
        f.text = text;
        kept_.push(Kept{f, text});
    }

    Growable<Kept> kept_;
    bool overflowed_ = false;
};

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
    Recorder recorder;
};

} // namespace

struct gridvane_plan {
    int fd = -1;
    std::int64_t size = -1;
    gridvane_observer callback = nullptr;
    void *context = nullptr;
    formats::Observer observer{nullptr, nullptr}; // the caller's, for the head and the finish
    bool observed = false;
    std::int32_t form = 0, kind = GRIDVANE_KIND_UNKNOWN;
    // A load not split (not a regular file): done by the plan itself.
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
        if (fd >= 0)
            io::close_keeping_errno(fd);
    }
    formats::Observer *watcher() { return observed ? &observer : nullptr; }
};

namespace {

void report_into(gridvane_report *report, const Status &status, std::int32_t kind, const formats::Observer *observer)
{
    if (report == nullptr)
        return;
    report->status = status;
    report->kind = kind;
    report->errors = observer != nullptr ? observer->errors() : 0;
    report->warnings = observer != nullptr ? observer->warnings() : 0;
}

// The offset just after the first line end at or after from (the end of
// the file when there is none), or -1 with errno when reading failed.
std::int64_t line_end_after(int fd, std::int64_t from, std::int64_t size)
{
    char block[4096];
    io::RangeSource source(fd, from, size);
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
    io::RangeSource rest(plan.fd, source_at, -1);
    formats::ReplaySource source(kept, rest);
    plan.head = formats::read_ascii_head(source, plan.watcher(), start, plan.head_span);
    if (!succeeded(plan.head.status))
        return plan.head.status;
    plan.kind = plan.head.table_form ? GRIDVANE_KIND_ASCII_TABLE : GRIDVANE_KIND_ASCII_PLAIN;
    return cut(plan, plan.head_span.end_offset, plan.size, wanted, 0);
}

Status plan_binary(gridvane_plan &plan, std::int32_t wanted)
{
    unsigned char bytes[formats::header_size];
    io::RangeSource head(plan.fd, 0, sizeof bytes);
    const std::size_t got = head.read(bytes, sizeof bytes);
    if (head.failed())
        return failure_at(GRIDVANE_E_READ, 1, static_cast<std::int64_t>(got) + 1, static_cast<std::int64_t>(got),
                          head.error());
    Status s = formats::parse_header(bytes, got, plan.header);
    if (!succeeded(s))
        return s;
    const formats::BinaryHeader &h = plan.header;
    plan.kind = h.big_endian ? GRIDVANE_KIND_BINARY_BIG : GRIDVANE_KIND_BINARY_LITTLE;
    if (plan.observed && (h.columns == 0 || h.rows == 0)) {
        gridvane_finding f{};
        f.kind = GRIDVANE_FINDING_NO_SAMPLES;
        f.line = 1;
        f.column = GRIDVANE_BINARY_COLUMNS_AT + 1;
        f.offset = GRIDVANE_BINARY_COLUMNS_AT;
        f.expected = h.columns;
        f.found = h.rows;
        if (!plan.observer.tell(f))
            return plan.observer.stopped();
    }
    const std::int64_t row_bytes = std::int64_t{h.columns} * 4;
    const std::int64_t wanted_bytes = row_bytes * h.rows, there = plan.size - std::int64_t{formats::header_size};
    if (there < wanted_bytes) // as a single read finds it, at the end of the file
        return with_counts(failure_at(GRIDVANE_E_TRUNCATED_SAMPLES, 1, plan.size + 1, plan.size), wanted_bytes, there);
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
    return cut(plan, 0, h.rows, wanted, std::max<std::int64_t>(row_bytes, 1));
}

// Reads one part into its rows, keeping its findings.
void read_part(gridvane_plan &plan, Part &part)
{
    if (part.read)
        return;
    part.read = true;
    formats::Observer keeper(Recorder::record, &part.recorder);
    formats::Observer *watcher = plan.observed ? &keeper : nullptr;
    if (plan.form == CHAN_ASCII) {
        io::RangeSource source(plan.fd, part.begin, part.end);
        part.span.table_form = plan.head_span.table_form;
        part.span.width = plan.head_span.width;
        part.rows = formats::read_ascii_part(source, watcher, formats::ReadStart{1, 0, part.begin}, part.span);
        part.status = part.rows.status;
        return;
    }
    const formats::BinaryHeader &h = plan.header;
    const std::int64_t row_bytes = std::int64_t{h.columns} * 4;
    const std::int64_t first = std::int64_t{formats::header_size} + part.begin * row_bytes;
    const std::int64_t bytes = (part.end - part.begin) * row_bytes;
    float *into = bytes == 0 ? nullptr : plan.block.index[part.begin];
    io::RangeSource source(plan.fd, first, first + bytes);
    const auto got = static_cast<std::int64_t>(bytes == 0 ? 0 : source.read(into, static_cast<std::size_t>(bytes)));
    if (got != bytes) {
        const std::int64_t at = first + got;
        part.status = source.failed() ? failure_at(GRIDVANE_E_READ, 1, at + 1, at, source.error())
                              : with_counts(failure_at(GRIDVANE_E_TRUNCATED_SAMPLES, 1, at + 1, at),
                                            row_bytes * h.rows, at - std::int64_t{formats::header_size});
        return;
    }
    if (h.big_endian == (std::endian::native == std::endian::little))
        for (std::int64_t i = 0; i < bytes / 4; ++i)
            into[i] = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<std::uint32_t>(into[i])));
    if (watcher == nullptr)
        return;
    for (std::int64_t i = 0; i < bytes / 4; ++i) {
        const float x = into[i];
        if (std::isfinite(x))
            continue;
        const std::int64_t at = first + 4 * i;
        gridvane_finding f{};
        f.kind = std::isnan(x) ? GRIDVANE_FINDING_NAN : GRIDVANE_FINDING_INFINITE;
        f.line = 1;
        f.column = at + 1;
        f.offset = at;
        f.taken = x;
        f.expected = part.begin + i / std::max<std::int64_t>(h.columns, 1);
        f.found = i % std::max<std::int64_t>(h.columns, 1);
        keeper.tell(f);
    }
}

// Tells the caller's observer one finding of a part, moved to the part's
// place in the file; false when it stops the load.
bool tell_moved(gridvane_plan &plan, gridvane_finding f, std::int64_t lines_before, std::int64_t rows_before)
{
    f.line += lines_before;
    if (f.kind == GRIDVANE_FINDING_FRAME_NOT_RISING) {
        f.expected += lines_before; // the line of the frame before
        f.found += rows_before;     // the row's index in the table
    }
    return plan.observer.tell(f);
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

// Reads the whole file again in one go, for an observer that let more
// findings pass than the parts kept.
io::Loaded read_again(gridvane_plan &plan)
{
    Skipping skipping{&plan.observer, plan.observer.errors() + plan.observer.warnings()};
    formats::Observer again(Skipping::tell, &skipping);
    io::RangeSource source(plan.fd, 0, -1);
    io::Loaded loaded = io::read_deciding(source, plan.form, &again);
    if (loaded.status.code == GRIDVANE_E_REFUSED)
        loaded.status = plan.observer.stopped();
    return loaded;
}

io::Loaded failed(const Status &status)
{
    io::Loaded out;
    out.status = status;
    return out;
}

// Joins the ASCII parts: their findings told in order, then their rows.
io::Loaded finish_ascii(gridvane_plan &plan)
{
    float previous = plan.head_span.last_frame;
    std::int64_t previous_line = plan.head_span.last_frame_line;
    bool told_carriage_return = plan.head_span.told_carriage_return;
    std::int64_t lines_before = plan.head_span.lines, rows = 1;
    for (std::int32_t k = 0; k < plan.part_count; ++k) {
        Part &part = plan.parts[k];
        read_part(plan, part);
        if (plan.observed) {
            // The comparison of the part's first frame with the one before,
            // where a single read makes it.
            const auto boundary = [&] {
                gridvane_finding f = part.span.first_frame;
                if (std::isnan(previous) || f.taken > previous)
                    return true;
                f.previous = previous;
                f.expected = previous_line - lines_before;
                return tell_moved(plan, f, lines_before, rows);
            };
            const Recorder &kept = part.recorder;
            for (std::size_t i = 0; i < kept.size(); ++i) {
                if (part.span.first_frame_seen && static_cast<std::int64_t>(i) == part.span.first_frame_told &&
                    !boundary())
                    return failed(plan.observer.stopped());
                gridvane_finding f = part.recorder[i];
                if (f.kind == GRIDVANE_FINDING_CARRIAGE_RETURN) {
                    if (told_carriage_return)
                        continue;
                    told_carriage_return = true;
                }
                if (!tell_moved(plan, f, lines_before, rows))
                    return failed(plan.observer.stopped());
            }
            if (kept.overflowed())
                return read_again(plan);
            if (part.span.first_frame_seen && part.span.first_frame_told == static_cast<std::int64_t>(kept.size()) &&
                !boundary())
                return failed(plan.observer.stopped());
        }
        if (!succeeded(part.status)) {
            Status s = part.status;
            if (s.line > 0)
                s.line += lines_before;
            return failed(s);
        }
        if (!std::isnan(part.span.last_frame)) {
            previous = part.span.last_frame;
            previous_line = part.span.last_frame_line + lines_before;
        }
        lines_before += part.span.lines;
        rows += part.rows.rows.count;
    }

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
    return io::registered(CHAN_ASCII, all, plan.head_span.table_form ? ARRAY_FRAME : 0, names, plan.kind);
}

io::Loaded finish_binary(gridvane_plan &plan)
{
    for (std::int32_t k = 0; k < plan.part_count; ++k) {
        Part &part = plan.parts[k];
        read_part(plan, part);
        if (!succeeded(part.status))
            return failed(part.status);
        for (std::size_t i = 0; i < part.recorder.size(); ++i)
            if (!plan.observer.tell(part.recorder[i]))
                return failed(plan.observer.stopped());
        if (part.recorder.overflowed())
            return read_again(plan);
    }
    const std::int64_t end = std::int64_t{formats::header_size} + plan.block.count * plan.block.width * 4;
    if (plan.observed && plan.size > end) {
        gridvane_finding f{};
        f.kind = GRIDVANE_FINDING_TRAILING_BYTES;
        f.line = 1;
        f.column = end + 1;
        f.offset = end;
        f.found = plan.size - end;
        if (!plan.observer.tell(f))
            return failed(plan.observer.stopped());
    }
    const storage::Rows block = plan.block;
    plan.block = {};
    return io::registered(CHAN_BIN, block, 0, {}, plan.kind);
}

} // namespace

namespace gridvane::io {

std::int64_t set_smallest_part(std::int64_t bytes) { return std::exchange(smallest_part, bytes); }

} // namespace gridvane::io

extern "C" {

GRIDVANE_API gridvane_plan *gridvane_plan_load(const char *name, int32_t form, int32_t parts,
                                               gridvane_observer observer, void *context, gridvane_report *report)
{
    return guarded(static_cast<gridvane_plan *>(nullptr), [&]() -> gridvane_plan * {
        const auto refuse = [report](const Status &s, const formats::Observer *o = nullptr) {
            report_into(report, s, GRIDVANE_KIND_UNKNOWN, o);
            errno = s.error;
            return static_cast<gridvane_plan *>(nullptr);
        };
        if (name == nullptr || name[0] == '\0' || parts < 0 ||
            (form != GRIDVANE_FORM_DECIDE && form != GRIDVANE_FORM_ASCII && form != GRIDVANE_FORM_BINARY))
            return refuse(failure(GRIDVANE_E_ARGUMENT, EINVAL));
        if (form == GRIDVANE_FORM_DECIDE) {
            form = gridvane_form_of_name(name, 0);
            if (form == -1)
                return refuse(with_counts(failure(GRIDVANE_E_BAD_SUFFIX, EINVAL), 0, GetHalvicFileType(name)));
        }
        auto *plan = new (std::nothrow) gridvane_plan;
        if (plan == nullptr)
            return refuse(failure(GRIDVANE_E_NO_MEMORY, ENOMEM));
        plan->observer = formats::Observer(observer, context);
        plan->observed = observer != nullptr;
        plan->fd = platform::open_read(name);
        if (plan->fd < 0) {
            const Status s = failure(GRIDVANE_E_OPEN, errno);
            delete plan;
            return refuse(s);
        }
        plan->size = io::size_of(plan->fd);
        Status s = ok_status();
        if (plan->size < 0) {
            // Not a regular file: no parts, the plan reads it all.
            plan->whole = true;
            io::RangeSource source(plan->fd, 0, -1);
            plan->loaded = io::read_deciding(source, form, plan->watcher());
            s = plan->loaded.status;
            plan->kind = plan->loaded.kind;
        } else if (form == GRIDVANE_FORM_BINARY) {
            plan->form = CHAN_BIN;
            s = plan_binary(*plan, parts);
        } else if (form == GRIDVANE_FORM_ASCII) {
            plan->form = CHAN_ASCII;
            s = plan_ascii(*plan, {}, {}, 0, parts);
        } else {
            io::RangeSource source(plan->fd, 0, -1);
            formats::ContentBlock block;
            const formats::Decision d = block.decide(source);
            plan->form = d.form;
            const std::string_view kept = block.kept();
            // The block was read from the start: the source stands where it ends.
            const std::int64_t after = d.start.offset + static_cast<std::int64_t>(kept.size());
            s = d.form == 0         ? d.status
                : d.form == CHAN_BIN ? plan_binary(*plan, parts)
                                     : plan_ascii(*plan, d.start, kept, after, parts);
        }
        if (!succeeded(s)) {
            const formats::Observer counts = plan->observer;
            delete plan;
            return refuse(s, &counts);
        }
        report_into(report, ok_status(), plan->kind, plan->watcher());
        return plan;
    });
}

GRIDVANE_API int32_t gridvane_plan_parts(const gridvane_plan *plan) {
    return guarded(int32_t(0), [&]() -> int32_t {
    return plan == nullptr ? 0 : plan->part_count;
    });
}

GRIDVANE_API int32_t gridvane_read_part(gridvane_plan *plan, int32_t part)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (plan == nullptr || part < 0 || part >= plan->part_count) {
            errno = EINVAL;
            return -1;
        }
        read_part(*plan, plan->parts[part]);
        const Status &s = plan->parts[part].status;
        if (succeeded(s))
            return 0;
        errno = s.error;
        return -1;
    });
}

GRIDVANE_API int32_t gridvane_finish_load(gridvane_plan *plan, gridvane_report *report)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (plan == nullptr) {
            report_into(report, failure(GRIDVANE_E_ARGUMENT, EINVAL), GRIDVANE_KIND_UNKNOWN, nullptr);
            errno = EINVAL;
            return -1;
        }
        const io::Loaded loaded = plan->whole                  ? plan->loaded
                                  : plan->form == CHAN_BIN ? finish_binary(*plan)
                                                           : finish_ascii(*plan);
        report_into(report, loaded.status, loaded.node != nullptr ? plan->kind : GRIDVANE_KIND_UNKNOWN, plan->watcher());
        const int32_t id = loaded.node != nullptr ? loaded.node->id : -1;
        delete plan;
        if (id < 0)
            errno = loaded.status.error;
        return id;
    });
}

} // extern "C"
