// The extension interface's loading and saving: the roads the 20 functions
// take, with the outcome handed back as a status instead of a message.
#include "gridvane_ext.h"

#include "common/failure.hpp"
#include "host/tools.hpp"
#include "loading.hpp"
#include "replace.hpp"
#include "saving.hpp"
#include "formats/formats.hpp"
#include "registry/registry.hpp"

#include <cerrno>
#include <new>

using namespace gridvane;

namespace {

// Where a function's status goes: the caller's, or nowhere.
class StatusOut {
public:
    explicit StatusOut(gridvane_status *out) : out_(out != nullptr ? out : &ignored_) { *out_ = ok_status(); }
    // Records a failure, sets errno to its error number and returns result.
    template <typename Result> Result fail(Result result, const Status &status)
    {
        *out_ = status;
        errno = status.error;
        return result;
    }
    gridvane_status &get() { return *out_; }

private:
    gridvane_status ignored_;
    gridvane_status *out_;
};

bool is_read_form(int32_t form)
{
    return form == GRIDVANE_FORM_DECIDE || form == GRIDVANE_FORM_ASCII || form == GRIDVANE_FORM_BINARY;
}

// The outcome of a read, into a report.
int32_t reported(const io::Loaded &loaded, const formats::Observer *observer, gridvane_report *report)
{
    gridvane_report ignored;
    gridvane_report &r = report != nullptr ? *report : ignored;
    r.status = loaded.status;
    r.kind = loaded.kind;
    r.errors = observer != nullptr ? observer->errors() : 0;
    r.warnings = observer != nullptr ? observer->warnings() : 0;
    if (loaded.node == nullptr) {
        errno = loaded.status.error;
        return -1;
    }
    return loaded.node->id;
}

int32_t read_failure(const Status &status, gridvane_report *report)
{
    io::Loaded loaded;
    loaded.status = status;
    return reported(loaded, nullptr, report);
}

} // namespace

extern "C" {

GRIDVANE_API int32_t gridvane_form_of_name(const char *name, int32_t save)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (name == nullptr)
            return -1;
        switch (const int code = GetHalvicFileType(name)) {
        case -1: return GRIDVANE_FORM_DECIDE;
        case 0: return save != 0 ? GRIDVANE_FORM_ASCII : GRIDVANE_FORM_DECIDE; // ASCII to save, the content to load
        case CHAN_BIN:
        case CHAN_ASCII: return code;
        default: return -1;
        }
    });
}

GRIDVANE_API int32_t gridvane_load(const char *name, int32_t form, gridvane_observer observer, void *context,
                                   gridvane_report *report)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (name == nullptr || name[0] == '\0' || !is_read_form(form))
            return read_failure(failure(GRIDVANE_E_ARGUMENT, EINVAL), report);
        if (form == GRIDVANE_FORM_DECIDE) {
            form = gridvane_form_of_name(name, 0);
            if (form == -1)
                return read_failure(with_counts(failure(GRIDVANE_E_BAD_SUFFIX, EINVAL), 0, GetHalvicFileType(name)),
                                    report);
        }
        formats::Observer watching(observer, context);
        formats::Observer *watcher = observer != nullptr ? &watching : nullptr;
        return reported(io::load_file(name, form, watcher), watcher, report);
    });
}

GRIDVANE_API int32_t gridvane_read(FILE *stream, int32_t form, gridvane_observer observer, void *context,
                                   gridvane_report *report)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (stream == nullptr || !is_read_form(form))
            return read_failure(failure(GRIDVANE_E_ARGUMENT, EINVAL), report);
        formats::Observer watching(observer, context);
        formats::Observer *watcher = observer != nullptr ? &watching : nullptr;
        formats::StdioSource source(stream);
        return reported(io::read_deciding(source, form, watcher), watcher, report);
    });
}

GRIDVANE_API int32_t gridvane_write(FILE *stream, int32_t id, int32_t form, uint32_t flags, gridvane_status *status)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        StatusOut out(status);
        if (stream == nullptr)
            return out.fail(-1, failure(GRIDVANE_E_ARGUMENT, EINVAL));
        registry::Record *table = registry::find(id);
        if (table == nullptr)
            return out.fail(-1, failure(GRIDVANE_E_UNKNOWN_HANDLE, EINVAL));
        const int errno_before = errno; // the stream's writes may touch it on their way to success
        int32_t resolved = 0;
        Status s = io::resolve_form(*table, form, flags, resolved);
        if (succeeded(s)) {
            formats::StdioSink sink(stream);
            s = io::write_table(sink, *table, resolved);
        }
        if (!succeeded(s))
            return out.fail(-1, s);
        errno = errno_before;
        return 0;
    });
}

GRIDVANE_API int32_t gridvane_save(int32_t id, const char *name, int32_t form, uint32_t flags,
                                   gridvane_status *status)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        StatusOut out(status);
        if (name == nullptr || name[0] == '\0')
            return out.fail(-1, failure(GRIDVANE_E_ARGUMENT, EINVAL));
        const int32_t named = gridvane_form_of_name(name, 1);
        if (named == -1)
            return out.fail(-1, with_counts(failure(GRIDVANE_E_BAD_SUFFIX, EINVAL), 0, GetHalvicFileType(name)));
        if (form == GRIDVANE_FORM_DECIDE) {
            if (named == GRIDVANE_FORM_DECIDE)
                return out.fail(-1, failure(GRIDVANE_E_UNNAMED_FORM, EINVAL));
            // An ASCII name: the table form for a table with frames.
            form = named == GRIDVANE_FORM_BINARY ? GRIDVANE_FORM_BINARY : GRIDVANE_FORM_DECIDE;
        } else if (named != GRIDVANE_FORM_DECIDE && (named == GRIDVANE_FORM_BINARY) != (form == GRIDVANE_FORM_BINARY) &&
                   (flags & GRIDVANE_ANY_NAME) == 0) {
            return out.fail(-1, with_counts(failure(GRIDVANE_E_FORM_AGAINST_NAME, EINVAL), form, named));
        }
        // Everything that can be refused is refused before the file is touched.
        registry::Record *table = registry::find(id);
        if (table == nullptr)
            return out.fail(-1, failure(GRIDVANE_E_UNKNOWN_HANDLE, EINVAL));
        int32_t resolved = 0;
        Status s = io::resolve_form(*table, form, flags, resolved);
        if (succeeded(s))
            s = io::save_table(*table, name, resolved);
        return succeeded(s) ? 0 : out.fail(-1, s);
    });
}

GRIDVANE_API int32_t gridvane_set_column_names(int32_t id, int32_t count, const char *const *names,
                                               gridvane_status *status)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        StatusOut out(status);
        if (count < 0 || (count > 0 && names == nullptr))
            return out.fail(-1, failure(GRIDVANE_E_ARGUMENT, EINVAL));
        for (int32_t i = 0; i < count; ++i)
            if (!formats::name_fits_table_form(names[i]))
                return out.fail(-1, with_counts(failure(GRIDVANE_E_BAD_NAME, EINVAL), i, 0));
        const storage::Names kept = storage::make_names(names, nullptr, count);
        if (count > 0 && kept.list == nullptr)
            return out.fail(-1, failure(GRIDVANE_E_NO_MEMORY, ENOMEM));
        if (!registry::set_names(id, kept))
            return out.fail(-1, failure(GRIDVANE_E_UNKNOWN_HANDLE, EINVAL));
        return 0;
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
    return guarded(static_cast<gridvane_file *>(nullptr), [&]() -> gridvane_file * {
        StatusOut out(status);
        if (name == nullptr || name[0] == '\0')
            return out.fail<gridvane_file *>(nullptr, failure(GRIDVANE_E_ARGUMENT, EINVAL));
        auto *file = new (std::nothrow) gridvane_file;
        if (file == nullptr)
            return out.fail<gridvane_file *>(nullptr, failure(GRIDVANE_E_NO_MEMORY, ENOMEM));
        const Status opened = file->target.open(name);
        if (succeeded(opened) && file->target.stream() != nullptr)
            return file;
        const Status s = succeeded(opened) ? failure(GRIDVANE_E_OPEN, errno) : opened;
        delete file;
        return out.fail<gridvane_file *>(nullptr, s);
    });
}

GRIDVANE_API FILE *gridvane_file_stream(gridvane_file *file) {
    return guarded(static_cast<FILE *>(nullptr), [&]() -> FILE * {
    return file == nullptr ? nullptr : file->target.stream();
    });
}

GRIDVANE_API const char *gridvane_file_temporary_name(const gridvane_file *file)
{
    return guarded(static_cast<const char *>(nullptr), [&]() -> const char * {
    return file == nullptr ? nullptr : file->target.temporary_name();
    });
}

GRIDVANE_API int32_t gridvane_file_commit(gridvane_file *file, int32_t written, gridvane_status *status)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        StatusOut out(status);
        if (file == nullptr)
            return out.fail(-1, failure(GRIDVANE_E_ARGUMENT, EINVAL));
        const Status finished = file->target.finish(written != 0);
        delete file;
        if (written != 0 && !succeeded(finished))
            return out.fail(-1, finished);
        return 0;
    });
}

} // extern "C"
