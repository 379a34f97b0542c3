#include "saving.hpp"

#include "descriptors.hpp"
#include "replace.hpp"
#include "formats/forms.hpp"
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
    formats::Writing w;
    w.rows = node.rows;
    w.columns = registered ? columns_of(*table) : static_cast<std::int32_t>(registry::truncated_count(node.countU));
    w.count = registered ? rows_of(*table) : static_cast<std::int32_t>(registry::truncated_count(node.countV));
    w.digits = digits;
    return formats::file_form(code)->write(sink, w);
}

Status resolve_form(const registry::Record &table, std::int32_t form, std::uint32_t flags, std::int32_t &resolved)
{
    if ((flags & ~std::uint32_t{GRIDVANE_WRITE_DROP_FRAMES | GRIDVANE_WRITE_ANY_NAME | GRIDVANE_WRITE_SHORTEST |
                                GRIDVANE_WRITE_FRAMES_AS_COLUMN}) != 0)
        return failure(GRIDVANE_E_ARGUMENT, EINVAL);
    if (!table.has_sample_type())
        return failure(GRIDVANE_E_NO_SAMPLES, EINVAL);
    const formats::Form *f = form == GRIDVANE_FORM_DECIDE ? formats::written_form(CHAN_ASCII, table.has_frame())
                                                          : formats::form_of(form);
    if (f == nullptr)
        return failure(GRIDVANE_E_ARGUMENT, EINVAL);
    resolved = f->code;
    formats::Shape shape;
    shape.frames = table.has_frame();
    shape.frame_slot = registry::frame_slot(table) >= 0;
    shape.frames_first = frames_as_column(table, flags);
    shape.drop_frames = (flags & GRIDVANE_WRITE_DROP_FRAMES) != 0;
    shape.columns = columns_of(table);
    shape.rows = rows_of(table);
    return f->fits(shape);
}

Status write_table(formats::Sink &sink, const registry::Record &table, std::int32_t form, std::uint32_t flags)
{
    formats::Writing w;
    w.rows = table.node.rows;
    w.columns = columns_of(table);
    w.count = rows_of(table);
    w.frame_slot = table.has_frame() ? registry::frame_slot(table) : -1;
    w.frames_first = frames_as_column(table, flags);
    w.names = &table.names;
    w.digits = (flags & GRIDVANE_WRITE_SHORTEST) != 0 ? formats::Digits::shortest : formats::Digits::g15;
    return formats::form_of(form)->write(sink, w);
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
