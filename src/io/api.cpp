// Loading and saving: streams and file names joined to the formats and the
// registry.
#include "gridvane.h"

#include "formats/formats.hpp"
#include "formats/number_text.hpp"
#include "host/heap.hpp"
#include "host/tools.hpp"
#include "content.hpp"
#include "messages.hpp"
#include "platform.hpp"
#include "replace.hpp"
#include "registry/registry.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

using namespace gridvane;
using registry::Table;

namespace {

bool is_channel_code(int32_t code) { return code == 0 || code == CHAN_BIN || code == CHAN_ASCII; }

// Writes a record's countU x countV samples; for a registered table the
// counts never reach beyond the storage it really has.
int write_table(std::FILE *stream, const ArrayNode &node, int32_t code, bool direct = false)
{
    Table *table = registry::find(node.id);
    const bool registered = table != nullptr && &table->node == &node;
    const int64_t rows = registered ? registry::row_extent(*table).whole : registry::truncated_count(node.countV);
    const int64_t columns =
        registered ? registry::column_extent(*table).whole : registry::truncated_count(node.countU);
    const auto count_u = static_cast<int32_t>(columns);
    const auto count_v = static_cast<int32_t>(rows);
    if (code == CHAN_BIN)
        return formats::write_binary_checked(stream, node.rows, count_u, count_v, direct);
    return ChanWriteAscii(stream, node.rows, count_u, count_v);
}

int fail(int error, int result = -1)
{
    errno = error;
    return result;
}

// Reads a table with the reader the type names and registers it; other
// types read nothing and register a table without samples.
ArrayNode *read_and_register(std::FILE *stream, int32_t type, std::string_view taken = {}, bool direct = false)
{
    heap::Rows rows;
    uint32_t flags = 0;
    if (type == CHAN_ASCII) {
        // Text tables, often of many short rows, keep their rows in packs.
        const formats::AsciiRead read = formats::read_ascii(stream, taken, true);
        rows = read.rows;
        flags = read.table_form ? ARRAY_FRAME : 0;
    } else if (type == CHAN_BIN) {
        int32_t count_u = 0, count_v = 0;
        rows.index = formats::read_binary(stream, count_u, count_v, direct);
        rows.count = count_v;
        rows.width = count_u;
    }
    if ((type == CHAN_ASCII || type == CHAN_BIN) && rows.index == nullptr)
        return nullptr;
    const registry::Registration r = registry::register_table(type, flags, rows);
    if (r.table == nullptr) {
        Libprintf(r.was_empty ? io::msg::read_no_first_node : io::msg::read_no_next_node);
        errno = ENOMEM;
        return nullptr;
    }
    return &r.table->node;
}

int32_t load(std::FILE *stream, int32_t code, bool direct = false)
{
    io::Decision d;
    d.code = code;
    if (code == 0)
        d = io::decide_by_content(stream);
    if (d.code == -1)
        return -1;
    ArrayNode *node = read_and_register(stream, d.code, std::string_view(d.taken, d.taken_size), direct);
    return node == nullptr ? -1 : node->id;
}

} // namespace

extern "C" {

GRIDVANE_API ArrayNode *ArrayRead(FILE *stream, int32_t type)
{
    if (stream == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return read_and_register(stream, type);
}

GRIDVANE_API int32_t ArrayWrite(FILE *stream, ArrayNode *record, int32_t type)
{
    if (stream == nullptr || record == nullptr)
        return fail(EINVAL);
    if (type != 0 && type != CHAN_ASCII && type != CHAN_BIN)
        return -1;
    return write_table(stream, *record, type);
}

GRIDVANE_API int32_t ArrayLoad(const char *name)
{
    if (name == nullptr || name[0] == '\0')
        return fail(EINVAL);
    int32_t code = GetHalvicFileType(name);
    if (code == -1)
        code = 0;
    if (!is_channel_code(code)) {
        Libprintf(io::msg::load_bad_suffix, name);
        return fail(EINVAL);
    }
    if (std::strncmp(name, "stdin", 5) == 0) {
        io::BinaryMode binary(stdin);
        return load(stdin, code);
    }
    std::FILE *stream = std::fopen(name, "rb");
    if (stream == nullptr) {
        const int error = errno;
        Libprintf(io::msg::load_cant_open, name, std::strerror(error));
        return fail(error);
    }
    // A file known to be binary is read without the stream's buffer: the
    // reader fills the row blocks straight from the file.
    const bool direct = code == CHAN_BIN && std::setvbuf(stream, nullptr, _IONBF, 0) == 0;
    const int32_t id = load(stream, code, direct);
    io::close_keeping_errno(stream);
    return id;
}

GRIDVANE_API int32_t ArraySave(int32_t id, const char *name, int32_t fallbackType)
{
    if (name == nullptr || name[0] == '\0') {
        Libprintf(name == nullptr ? io::msg::save_null_pointer : io::msg::save_null_name);
        return fail(EINVAL);
    }
    int32_t code = GetHalvicFileType(name);
    if (code == -1)
        code = fallbackType;
    if (!is_channel_code(code)) {
        Libprintf(io::msg::save_bad_suffix, name);
        return fail(EINVAL);
    }
    // Looked up before the file is touched: an unknown handle never creates
    // or empties it.
    Table *table = registry::find(id);
    if (table == nullptr)
        return fail(ENOMEM);

    if (std::strncmp(name, "stdout", 6) == 0) {
        io::BinaryMode binary(stdout);
        return write_table(stdout, table->node, code);
    }
    io::SaveTarget target;
    if (!target.open(name)) {
        const int error = errno;
        Libprintf(io::msg::save_cant_open, name, std::strerror(error));
        return fail(error);
    }
    const bool written = write_table(target.stream(), table->node, code, target.replacing()) == 0;
    return target.finish(written) ? 0 : -1;
}

} // extern "C"
