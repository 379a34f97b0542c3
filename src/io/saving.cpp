#include "saving.hpp"

#include "descriptors.hpp"
#include "replace.hpp"
#include "formats/formats.hpp"
#include "registry/registry.hpp"
#include "registry/frames.hpp"

#include <cerrno>
#include <cstdio>

namespace gridvane_core::io {

namespace {

// A table of 2^24 rows or more is written whole: its float count is only
// the nearest to the rows it has.
std::int32_t columns_of(const registry::Record &t) { return static_cast<std::int32_t>(registry::exact_columns(t)); }
std::int32_t rows_of(const registry::Record &t) { return static_cast<std::int32_t>(registry::exact_rows(t)); }

// Whether a plain form gets the frames as its first column.
bool frames_as_column(const registry::Record &t, std::uint32_t flags)
{
    return (flags & GRIDVANE_WRITE_FRAMES_AS_COLUMN) != 0 && t.has_frame() && registry::frame_slot(t) >= 0;
}

} // namespace

Status write_record(formats::Sink &sink, const ArrayNode &node, std::int32_t code, formats::Digits digits)
{
    registry::Record *table = registry::find(node.id);
    const bool registered = table != nullptr && &table->node == &node;
    const auto count_u = registered ? columns_of(*table) : static_cast<std::int32_t>(registry::truncated_count(node.countU));
    const auto count_v = registered ? rows_of(*table) : static_cast<std::int32_t>(registry::truncated_count(node.countV));
    if (code == CHAN_BIN)
        return formats::write_binary_checked(sink, node.rows, count_u, count_v);
    return formats::write_ascii_checked(sink, node.rows, count_u, count_v, digits);
}

Status resolve_form(const registry::Record &table, std::int32_t form, std::uint32_t flags, std::int32_t &resolved)
{
    if ((flags & ~std::uint32_t{GRIDVANE_WRITE_DROP_FRAMES | GRIDVANE_WRITE_ANY_NAME | GRIDVANE_WRITE_SHORTEST |
                                GRIDVANE_WRITE_FRAMES_AS_COLUMN}) != 0)
        return failure(GRIDVANE_E_ARGUMENT, EINVAL);
    if (!table.has_sample_type())
        return failure(GRIDVANE_E_NO_SAMPLES, EINVAL);
    resolved = form == GRIDVANE_FORM_DECIDE ? (table.has_frame() ? GRIDVANE_FORM_TABLE : GRIDVANE_FORM_ASCII) : form;
    switch (resolved) {
    case GRIDVANE_FORM_ASCII: return ok_status();
    case GRIDVANE_FORM_TABLE:
        return table.has_frame() && registry::frame_slot(table) >= 0 ? ok_status()
                                                                     : failure(GRIDVANE_E_ARGUMENT, EINVAL);
    case GRIDVANE_FORM_BINARY: {
        const bool frames_first = frames_as_column(table, flags);
        if (table.has_frame() && !frames_first && (flags & GRIDVANE_WRITE_DROP_FRAMES) == 0)
            return failure(GRIDVANE_E_FRAMES_LOST, EINVAL);
        const std::int64_t columns = std::int64_t{columns_of(table)} + (frames_first ? 1 : 0);
        if (columns > GRIDVANE_BINARY_COUNT_MAX || rows_of(table) > GRIDVANE_BINARY_COUNT_MAX)
            return with_counts(failure(GRIDVANE_E_TOO_LARGE, EINVAL), columns, rows_of(table));
        return ok_status();
    }
    default: return failure(GRIDVANE_E_ARGUMENT, EINVAL);
    }
}

Status write_table(formats::Sink &sink, const registry::Record &table, std::int32_t form, std::uint32_t flags)
{
    const auto digits = (flags & GRIDVANE_WRITE_SHORTEST) != 0 ? formats::Digits::shortest : formats::Digits::g15;
    if (form == GRIDVANE_FORM_TABLE)
        return formats::write_ascii_table(sink, table.node.rows, columns_of(table), rows_of(table),
                                          registry::frame_slot(table), table.names, digits);
    if (frames_as_column(table, flags))
        return form == GRIDVANE_FORM_BINARY
                   ? formats::write_binary_frame_first(sink, table.node.rows, columns_of(table), rows_of(table),
                                                       registry::frame_slot(table))
                   : formats::write_ascii(sink, table.node.rows, columns_of(table), rows_of(table), digits,
                                          registry::frame_slot(table));
    return write_record(sink, table.node, form, digits);
}

Status save_table(const registry::Record &table, const char *name, std::int32_t form, std::uint32_t flags)
{
    SaveTarget target;
    const Status opened = target.open(name);
    if (!succeeded(opened))
        return opened;
    DescriptorSink sink(target.descriptor());
    const Status written = write_table(sink, table, form, flags);
    const Status finished = target.finish(succeeded(written));
    return succeeded(written) ? finished : written;
}

} // namespace gridvane_core::io
