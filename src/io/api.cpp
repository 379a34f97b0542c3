// The exported stream and file functions: argument checks, then the roads
// of loading.hpp and saving.hpp, and the outcome worded as hosts of the 20
// functions see it.
#include "gridvane.h"

#include "common/failure.hpp"
#include "host/tools.hpp"
#include "loading.hpp"
#include "messages.hpp"
#include "descriptors.hpp"
#include "formats/forms.hpp"
#include "formats/messages.hpp"
#include "saving.hpp"
#include "registry/registry.hpp"

#include <cerrno>
#include <cstring>

using namespace gridvane_core;

extern "C" {

GRIDVANE_API ArrayNode *ArrayRead(FILE *stream, int32_t type)
{
    return guarded(static_cast<ArrayNode *>(nullptr), [&]() -> ArrayNode * {
        if (stream == nullptr)
            return fail<ArrayNode *>(nullptr, EINVAL);
        formats::StdioSource source(stream);
        const io::Loaded loaded = io::read_form(source, type, nullptr);
        if (loaded.node == nullptr)
            io::tell_host_of_load_failure(loaded, nullptr);
        return loaded.node;
    });
}

GRIDVANE_API int32_t ArrayWrite(FILE *stream, ArrayNode *record, int32_t type)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (stream == nullptr || record == nullptr)
            return fail(-1, EINVAL);
        if (formats::file_form(type) == nullptr)
            return -1;
        formats::StdioSink sink(stream);
        const int before = errno;
        return formats::written_for_host(io::write_record(sink, *record, type), before);
    });
}

GRIDVANE_API int32_t ArrayLoad(const char *name)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (name == nullptr || name[0] == '\0')
            return fail(-1, EINVAL);
        int32_t code = GetHalvicFileType(name);
        if (code == -1)
            code = 0;
        if (formats::file_form(code) == nullptr)
            return GRIDVANE_FAIL(-1, EINVAL, io::msg::load_bad_suffix, name);
        io::Loaded loaded;
        if (std::strncmp(name, "stdin", 5) == 0) {
            io::BinaryMode binary(stdin);
            loaded = io::read_shared_stream(stdin, code, nullptr);
        } else {
            loaded = io::load_file(name, code, nullptr);
        }
        if (loaded.node == nullptr) {
            io::tell_host_of_load_failure(loaded, name);
            return -1;
        }
        return loaded.node->id;
    });
}

GRIDVANE_API int32_t ArraySave(int32_t id, const char *name, int32_t fallbackType)
{
    return guarded(int32_t(-1), [&]() -> int32_t {
        if (name == nullptr || name[0] == '\0')
            return name == nullptr ? GRIDVANE_FAIL(-1, EINVAL, io::msg::save_null_pointer)
                                   : GRIDVANE_FAIL(-1, EINVAL, io::msg::save_null_name);
        int32_t code = GetHalvicFileType(name);
        if (code == -1)
            code = fallbackType;
        const formats::Form *form = formats::file_form(code);
        if (form == nullptr)
            return GRIDVANE_FAIL(-1, EINVAL, io::msg::save_bad_suffix, name);
        // Looked up before the file is touched: an unknown handle never creates
        // or empties it. (ENOMEM is the error number hosts have always seen.)
        registry::Record *table = registry::find(id);
        if (table == nullptr)
            return fail(-1, ENOMEM);

        if (std::strncmp(name, "stdout", 6) == 0) {
            io::BinaryMode binary(stdout);
            formats::StdioSink sink(stdout);
            const int before = errno;
            return formats::written_for_host(io::write_record(sink, table->node, form->code), before);
        }
        const Status saved = io::save_table(*table, name, form->code);
        if (saved.code == GRIDVANE_E_OPEN)
            return GRIDVANE_FAIL(-1, saved.error, io::msg::save_cant_open, name, std::strerror(saved.error));
        return succeeded(saved) ? 0 : fail(-1, saved.error);
    });
}

} // extern "C"
