#include "loading.hpp"

#include "descriptors.hpp"
#include "common/failure.hpp"
#include "messages.hpp"
#include "platform/system.hpp"
#include "formats/forms.hpp"
#include "registry/registry.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace gridvane_core::io {

namespace {

Loaded failed(Step step, const Status &status, std::int32_t form = 0)
{
    Loaded out;
    out.step = step;
    out.status = status;
    out.form = form;
    return out;
}

} // namespace

Loaded registered(std::int32_t type, const storage::Rows &rows, std::uint32_t flags, const storage::Names &names,
                  std::int32_t kind)
{
    Status status;
    const registry::Registered made = registry::register_table(type, flags, rows, names, status);
    if (made.table == nullptr) {
        Loaded out = failed(Step::registration, status, type);
        out.registry_was_empty = made.registry_was_empty;
        return out;
    }
    Loaded out;
    out.node = &made.table->node;
    out.form = type;
    out.kind = kind;
    return out;
}

bool reading_of(const gridvane_reading *given, formats::Reading &reading)
{
    reading = {};
    if (given == nullptr)
        return true;
    if ((given->flags & ~std::uint32_t{GRIDVANE_READ_NAMES_FIRST_LINE}) != 0 || given->frames_column < -1)
        return false;
    reading.names_first_line = (given->flags & GRIDVANE_READ_NAMES_FIRST_LINE) != 0;
    reading.frames_column = given->frames_column;
    return true;
}

std::int32_t decided_by_reading(std::int32_t form, const formats::Reading &reading)
{
    return form == 0 && reading.names_first_line ? CHAN_ASCII : form;
}

Loaded read_form(formats::Source &source, std::int32_t form, formats::Observer *observer,
                 const formats::ReadStart &start, const formats::Reading &reading)
{
    const formats::Form *f = formats::form_of(form);
    if (f == nullptr || f->read == nullptr) // another family: a table without samples
        return registered(form, {}, 0, {}, GRIDVANE_KIND_UNKNOWN);
    if (const Status takes = formats::takes_reading(*f, reading); !succeeded(takes))
        return failed(Step::read, takes, form);
    const formats::Read read = f->read(source, observer, start, reading);
    if (!succeeded(read.status))
        return failed(Step::read, read.status, form);
    Loaded out = registered(form, read.rows, read.flags, read.names, read.kind);
    out.comments = read.comments;
    return out;
}

Loaded read_deciding(formats::Source &source, std::int32_t form, formats::Observer *observer,
                     const formats::Reading &reading)
{
    form = decided_by_reading(form, reading);
    if (form != 0)
        return read_form(source, form, observer, {}, reading);
    // The bytes the decision read are given back to the reader, so that a
    // binary file is still read straight into its rows.
    formats::ContentBlock block;
    const formats::Decision d = block.decide(source);
    if (d.form == 0)
        return failed(Step::decide, d.status);
    formats::ReplaySource replay(block.kept(), source);
    return read_form(replay, d.form, observer, d.start, reading);
}

Loaded read_shared_stream(std::FILE *stream, std::int32_t form, formats::Observer *observer,
                          const formats::Reading &reading)
{
    formats::Decision d;
    d.form = form = decided_by_reading(form, reading);
    if (form == 0) {
        d = formats::decide_by_content(stream);
        if (d.form == 0)
            return failed(Step::decide, d.status);
    }
    formats::StdioSource source(stream);
    formats::ReplaySource replay(std::string_view(d.taken, d.taken_size), source);
    return read_form(replay, d.form, observer, d.start, reading);
}

Loaded load_file(const char *name, std::int32_t form, formats::Observer *observer, const formats::Reading &reading)
{
    // Through the descriptor: nothing passes through a stream's buffer.
    const int fd = platform::open_read(name);
    if (fd < 0)
        return failed(Step::open, failure(GRIDVANE_E_OPEN, errno));
    DescriptorSource source(fd);
    const Loaded loaded = read_deciding(source, form, observer, reading);
    close_keeping_errno(fd);
    return loaded;
}

void tell_host_of_load_failure(const Loaded &loaded, const char *name)
{
    const Status &s = loaded.status;
    switch (loaded.step) {
    case Step::open: GRIDVANE_FAIL(0, s.error, msg::load_cant_open, name, std::strerror(s.error)); return;
    // A read that fails before any significant byte looks like the end.
    case Step::decide:
        if (s.code == GRIDVANE_E_INVALID_FORMAT)
            GRIDVANE_FAIL(0, EIO, msg::load_invalid_format);
        else
            GRIDVANE_FAIL(0, EIO, msg::load_premature_eof);
        return;
    case Step::read:
        if (const formats::Form *f = formats::form_of(loaded.form))
            f->tell_host(s);
        return;
    case Step::registration:
        if (loaded.registry_was_empty)
            GRIDVANE_FAIL(0, ENOMEM, msg::read_no_first_node);
        else
            GRIDVANE_FAIL(0, ENOMEM, msg::read_no_next_node);
        return;
    }
}

} // namespace gridvane_core::io
