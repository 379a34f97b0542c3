// The extension interface's loading and saving: the roads the 20 functions
// take, with the outcome handed back as a status instead of a message.
#include "gridvane_ext.h"

#include "common/failure.hpp"
#include "host/tools.hpp"
#include "loading.hpp"
#include "replace.hpp"
#include "saving.hpp"
#include "formats/forms.hpp"
#include "registry/registry.hpp"

#include <cerrno>
#include <new>

using namespace gridvane_core;

namespace {

// A caller's reading as the readers take it; false when it asks what they
// do not know.
bool rules_of(const gridvane_reading *reading, formats::Reading &rules) { return io::reading_of(reading, rules); }

// The outcome of a read, into a report: the new handle, or -1 with status.
int32_t reported(const io::Loaded &loaded, const formats::Observer *observer, Status &status, gridvane_report &report)
{
    report.kind = loaded.kind;
    report.comments = loaded.comments;
    report.errors = observer != nullptr ? observer->errors() : 0;
    report.warnings = observer != nullptr ? observer->warnings() : 0;
    status = loaded.status;
    return loaded.node != nullptr ? loaded.node->id : -1;
}

// Reads a source in a form, telling an observer (which may be null).
int32_t read_reported(formats::Source &source, int32_t form, const formats::Reading &reading,
                      gridvane_observer observer, void *context, Status &status, gridvane_report &report)
{
    formats::Observer watching(observer, context);
    formats::Observer *watcher = observer != nullptr ? &watching : nullptr;
    return reported(io::read_deciding(source, form, watcher, reading), watcher, status, report);
}

// Writes a table to a sink, the caller's errno kept on success (the
// stream's writes may touch it on their way).
int32_t write_reported(formats::Sink &sink, int32_t id, int32_t form, uint32_t flags, Status &status)
{
    registry::Record *table = registry::find(id);
    if (table == nullptr)
        return refuse(status, GRIDVANE_E_UNKNOWN_HANDLE);
    const int errno_before = errno;
    int32_t resolved = 0;
    status = io::resolve_form(*table, form, flags, resolved);
    if (succeeded(status))
        status = io::write_table(sink, *table, resolved, flags);
    errno = errno_before;
    return succeeded(status) ? 0 : -1;
}

} // namespace

extern "C" {

GRIDVANE_API int32_t gridvane_form_of_name(const char *name, int32_t purpose, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (name == nullptr || (purpose != GRIDVANE_PURPOSE_LOAD && purpose != GRIDVANE_PURPOSE_SAVE))
            return refuse(s, GRIDVANE_E_ARGUMENT);
        const int code = GetHalvicFileType(name);
        if (code == -1)
            return GRIDVANE_FORM_DECIDE;
        const formats::Form *form = formats::file_form(code);
        if (form == nullptr)
            return refuse(s, with_counts(failure(GRIDVANE_E_BAD_SUFFIX), 0, code));
        // Type 0: the first form to save, the content to load.
        return code == 0 && purpose == GRIDVANE_PURPOSE_LOAD ? GRIDVANE_FORM_DECIDE : form->code;
    });
}

GRIDVANE_API int32_t gridvane_form_to_save(const char *name, int32_t form, uint32_t flags, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (name == nullptr || name[0] == '\0')
            return refuse(s, GRIDVANE_E_ARGUMENT);
        const int32_t named = gridvane_form_of_name(name, GRIDVANE_PURPOSE_SAVE, &s);
        if (named < 0)
            return -1;
        if (form == GRIDVANE_FORM_DECIDE)
            return named != GRIDVANE_FORM_DECIDE ? named : refuse(s, GRIDVANE_E_UNNAMED_FORM);
        // A reader would take the file by its name.
        const formats::Form *asked = formats::form_of(form);
        if (named != GRIDVANE_FORM_DECIDE && asked != nullptr && asked->type != formats::form_of(named)->type &&
            (flags & GRIDVANE_WRITE_ANY_NAME) == 0)
            return refuse(s, with_counts(failure(GRIDVANE_E_FORM_AGAINST_NAME), form, named));
        return form;
    });
}

GRIDVANE_API int32_t gridvane_load_with(const char *name, int32_t form, const gridvane_reading *reading,
                                        gridvane_observer observer, void *context, gridvane_report *report)
{
    return at_edge(report, int32_t(-1), [&](Status &s, gridvane_report &r) -> int32_t {
        formats::Reading rules;
        if (name == nullptr || name[0] == '\0' || !formats::readable(form) || !rules_of(reading, rules))
            return refuse(s, GRIDVANE_E_ARGUMENT);
        if (form == GRIDVANE_FORM_DECIDE && (form = gridvane_form_of_name(name, GRIDVANE_PURPOSE_LOAD, &s)) < 0)
            return -1;
        formats::Observer watching(observer, context);
        formats::Observer *watcher = observer != nullptr ? &watching : nullptr;
        return reported(io::load_file(name, form, watcher, rules), watcher, s, r);
    });
}

GRIDVANE_API int32_t gridvane_load(const char *name, int32_t form, gridvane_observer observer, void *context,
                                   gridvane_report *report)
{
    return gridvane_load_with(name, form, nullptr, observer, context, report);
}

GRIDVANE_API int32_t gridvane_read_with(FILE *stream, int32_t form, const gridvane_reading *reading,
                                        gridvane_observer observer, void *context, gridvane_report *report)
{
    return at_edge(report, int32_t(-1), [&](Status &s, gridvane_report &r) -> int32_t {
        formats::Reading rules;
        if (stream == nullptr || !formats::readable(form) || !rules_of(reading, rules))
            return refuse(s, GRIDVANE_E_ARGUMENT);
        formats::StdioSource source(stream);
        return read_reported(source, form, rules, observer, context, s, r);
    });
}

GRIDVANE_API int32_t gridvane_read(FILE *stream, int32_t form, gridvane_observer observer, void *context,
                                   gridvane_report *report)
{
    return gridvane_read_with(stream, form, nullptr, observer, context, report);
}

GRIDVANE_API int32_t gridvane_read_io_with(const gridvane_io *io, int32_t form, const gridvane_reading *reading,
                                           gridvane_observer observer, void *context, gridvane_report *report)
{
    return at_edge(report, int32_t(-1), [&](Status &s, gridvane_report &r) -> int32_t {
        formats::Reading rules;
        if (io == nullptr || io->read == nullptr || !formats::readable(form) || !rules_of(reading, rules))
            return refuse(s, GRIDVANE_E_ARGUMENT);
        formats::CallbackSource source(*io);
        const int32_t id = read_reported(source, form, rules, observer, context, s, r);
        if (source.threw())
            s = failure(GRIDVANE_E_OBSERVER);
        return id;
    });
}

GRIDVANE_API int32_t gridvane_read_io(const gridvane_io *io, int32_t form, gridvane_observer observer, void *context,
                                      gridvane_report *report)
{
    return gridvane_read_io_with(io, form, nullptr, observer, context, report);
}

GRIDVANE_API int32_t gridvane_write(FILE *stream, int32_t id, int32_t form, uint32_t flags, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (stream == nullptr)
            return refuse(s, GRIDVANE_E_ARGUMENT);
        formats::StdioSink sink(stream);
        return write_reported(sink, id, form, flags, s);
    });
}

GRIDVANE_API int32_t gridvane_write_io(const gridvane_io *io, int32_t id, int32_t form, uint32_t flags,
                                       gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (io == nullptr || io->write == nullptr)
            return refuse(s, GRIDVANE_E_ARGUMENT);
        formats::CallbackSink sink(*io);
        return write_reported(sink, id, form, flags, s);
    });
}

GRIDVANE_API int32_t gridvane_save(int32_t id, const char *name, int32_t form, uint32_t flags,
                                   gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        const int32_t chosen = gridvane_form_to_save(name, form, flags, &s);
        if (chosen < 0)
            return -1;
        // Everything that can be refused is refused before the file is touched.
        registry::Record *table = registry::find(id);
        if (table == nullptr)
            return refuse(s, GRIDVANE_E_UNKNOWN_HANDLE);
        // The name's type given, the table's frames choose its form (the
        // table form for an ASCII name).
        if (form == GRIDVANE_FORM_DECIDE)
            form = formats::written_form(chosen, table->has_frame())->code;
        int32_t resolved = 0;
        s = io::resolve_form(*table, form, flags, resolved);
        if (succeeded(s))
            s = io::save_table(*table, name, resolved, flags);
        return succeeded(s) ? 0 : -1;
    });
}

GRIDVANE_API int32_t gridvane_set_column_names(int32_t id, int32_t count, const char *const *names,
                                               gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (count < 0 || (count > 0 && names == nullptr))
            return refuse(s, GRIDVANE_E_ARGUMENT);
        // A name past the last column would name none.
        if (const registry::Record *table = registry::find(id);
            table != nullptr && count > registry::exact_columns(*table))
            return refuse(s, with_counts(failure(GRIDVANE_E_ARGUMENT), registry::exact_columns(*table), count));
        for (int32_t i = 0; i < count; ++i)
            if (!formats::name_fits_table_form(names[i]))
                return refuse(s, with_counts(failure(GRIDVANE_E_BAD_NAME), 0, i));
        const storage::Names kept = storage::make_names(names, nullptr, count);
        if (count > 0 && kept.list == nullptr)
            s = failure(GRIDVANE_E_NO_MEMORY);
        else if (!registry::set_names(id, kept))
            s = failure(GRIDVANE_E_UNKNOWN_HANDLE);
        return succeeded(s) ? 0 : -1;
    });
}

} // extern "C"

// A client's file, replaced as ArraySave replaces one.
struct gridvane_file {
    io::SaveTarget target;
};

extern "C" {

GRIDVANE_API gridvane_file *gridvane_file_open(const char *name, gridvane_status *status)
{
    return at_edge(status, static_cast<gridvane_file *>(nullptr), [&](Status &s) -> gridvane_file * {
        if (name == nullptr || name[0] == '\0')
            return refuse(s, GRIDVANE_E_ARGUMENT);
        auto *file = new (std::nothrow) gridvane_file;
        if (file == nullptr)
            return refuse(s, GRIDVANE_E_NO_MEMORY);
        s = file->target.open(name);
        if (succeeded(s))
            return file;
        delete file;
        return nullptr;
    });
}

GRIDVANE_API int32_t gridvane_file_write(gridvane_file *file, const void *data, size_t size, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (file == nullptr || (data == nullptr && size > 0))
            return refuse(s, GRIDVANE_E_ARGUMENT);
        s = file->target.write(data, size);
        return succeeded(s) ? 0 : -1;
    });
}

GRIDVANE_API FILE *gridvane_file_stream(gridvane_file *file)
{
    return guarded(static_cast<FILE *>(nullptr), [&] { return file == nullptr ? nullptr : file->target.stream(); });
}

GRIDVANE_API const char *gridvane_file_temporary_name(const gridvane_file *file)
{
    return file == nullptr ? nullptr : file->target.temporary_name();
}

GRIDVANE_API int32_t gridvane_file_commit(gridvane_file *file, gridvane_status *status)
{
    return at_edge(status, int32_t(-1), [&](Status &s) -> int32_t {
        if (file == nullptr)
            return refuse(s, GRIDVANE_E_ARGUMENT);
        s = file->target.finish(true);
        delete file;
        return succeeded(s) ? 0 : -1;
    });
}

GRIDVANE_API void gridvane_file_abandon(gridvane_file *file)
{
    if (file == nullptr)
        return;
    const KeepErrno keep;
    guarded(0, [&] {
        file->target.finish(false);
        return 0;
    });
    delete file;
}

} // extern "C"
