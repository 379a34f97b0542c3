// Loading and saving: streams and file names joined to the formats and the
// registry.
#include "gridvane.h"

#include "formats/formats.hpp"
#include "host/failure.hpp"
#include "host/heap.hpp"
#include "content.hpp"
#include "descriptor.hpp"
#include "messages.hpp"
#include "platform.hpp"
#include "replace.hpp"
#include "registry/registry.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

#if !defined(_WIN32)
#    include <fcntl.h>
#    include <unistd.h>
#endif

using namespace gridvane;
using registry::Table;

namespace {

bool is_channel_code(int32_t code) { return code == 0 || code == CHAN_BIN || code == CHAN_ASCII; }

// Writes a record's countU x countV samples; for a registered table the
// counts never reach beyond the storage it really has.
int write_table(formats::Sink &sink, const ArrayNode &node, int32_t code)
{
    Table *table = registry::find(node.id);
    const bool registered = table != nullptr && &table->node == &node;
    const int64_t rows = registered ? registry::row_extent(*table).whole : registry::truncated_count(node.countV);
    const int64_t columns =
        registered ? registry::column_extent(*table).whole : registry::truncated_count(node.countU);
    const auto count_u = static_cast<int32_t>(columns);
    const auto count_v = static_cast<int32_t>(rows);
    if (code == CHAN_BIN)
        return formats::write_binary_checked(sink, node.rows, count_u, count_v);
    return formats::write_ascii_checked(sink, node.rows, count_u, count_v);
}

// Reads a table with the reader the type names and registers it; other
// types read nothing and register a table without samples.
ArrayNode *read_and_register(formats::Source &source, int32_t type)
{
    heap::Rows rows;
    uint32_t flags = 0;
    if (type == CHAN_ASCII) {
        // Text tables, often of many short rows, keep their rows in packs.
        const formats::AsciiRead read = formats::read_ascii(source, true);
        rows = read.rows;
        flags = read.table_form ? ARRAY_FRAME : 0;
    } else if (type == CHAN_BIN) {
        int32_t count_u = 0, count_v = 0;
        rows.index = formats::read_binary(source, count_u, count_v, true);
        rows.count = count_v;
        rows.width = count_u;
        rows.packed = true;
    }
    if ((type == CHAN_ASCII || type == CHAN_BIN) && rows.index == nullptr)
        return nullptr;
    const registry::Registration r = registry::register_table(type, flags, rows);
    if (r.table == nullptr)
        return fail<ArrayNode *>(nullptr, ENOMEM, r.was_empty ? io::msg::read_no_first_node : io::msg::read_no_next_node);
    return &r.table->node;
}

// Loads from a source the bytes `taken` from it belong before.
int32_t load(formats::Source &source, int32_t code, std::string_view taken = {})
{
    formats::ReplaySource replay(taken, source);
    const ArrayNode *node = read_and_register(replay, code);
    return node == nullptr ? -1 : node->id;
}

// Loads from a stream others may read on from (standard input): the
// decision takes one byte at a time, and the reader no more than it needs.
int32_t load_stream(std::FILE *stream, int32_t code)
{
    io::Decision d;
    d.code = code;
    if (code == 0)
        d = io::decide_by_content(stream);
    if (d.code == -1)
        return -1;
    formats::StdioSource source(stream);
    return load(source, d.code, std::string_view(d.taken, d.taken_size));
}

// Loads a file by name: through its descriptor where there is one, so that
// nothing passes through a stream's buffer.
int32_t load_file(const char *name, int32_t code)
{
#if !defined(_WIN32)
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(-1, errno, io::msg::load_cant_open, name, std::strerror(errno));
    io::DescriptorSource source(fd);
    int32_t id = -1;
    if (code != 0) {
        id = load(source, code);
    } else {
        // The bytes the decision read are given back to the reader, so that
        // a binary file is still read straight into its rows.
        io::ContentBlock block;
        code = block.decide(source);
        if (code != -1)
            id = load(source, code, block.kept());
    }
    const KeepErrno keep;
    ::close(fd);
    return id;
#else
    std::FILE *stream = std::fopen(name, "rb");
    if (stream == nullptr)
        return fail(-1, errno, io::msg::load_cant_open, name, std::strerror(errno));
    const int32_t id = load_stream(stream, code);
    io::close_keeping_errno(stream);
    return id;
#endif
}

// Saves into the stream of a save target: a file of our own, or the target
// itself, which nothing has written to yet, so its descriptor may be
// written directly.
int save_to(const io::SaveTarget &target, const ArrayNode &node, int32_t code)
{
#if !defined(_WIN32)
    io::DescriptorSink sink(::fileno(target.stream()));
#else
    formats::StdioSink sink(target.stream());
#endif
    return write_table(sink, node, code);
}

} // namespace

extern "C" {

GRIDVANE_API ArrayNode *ArrayRead(FILE *stream, int32_t type)
{
    if (stream == nullptr)
        return fail<ArrayNode *>(nullptr, EINVAL);
    formats::StdioSource source(stream);
    return read_and_register(source, type);
}

GRIDVANE_API int32_t ArrayWrite(FILE *stream, ArrayNode *record, int32_t type)
{
    if (stream == nullptr || record == nullptr)
        return fail(-1, EINVAL);
    if (type != 0 && type != CHAN_ASCII && type != CHAN_BIN)
        return -1;
    formats::StdioSink sink(stream);
    return write_table(sink, *record, type);
}

GRIDVANE_API int32_t ArrayLoad(const char *name)
{
    if (name == nullptr || name[0] == '\0')
        return fail(-1, EINVAL);
    int32_t code = GetHalvicFileType(name);
    if (code == -1)
        code = 0;
    if (!is_channel_code(code))
        return fail(-1, EINVAL, io::msg::load_bad_suffix, name);
    if (std::strncmp(name, "stdin", 5) == 0) {
        io::BinaryMode binary(stdin);
        return load_stream(stdin, code);
    }
    return load_file(name, code);
}

GRIDVANE_API int32_t ArraySave(int32_t id, const char *name, int32_t fallbackType)
{
    if (name == nullptr || name[0] == '\0')
        return fail(-1, EINVAL, name == nullptr ? io::msg::save_null_pointer : io::msg::save_null_name);
    int32_t code = GetHalvicFileType(name);
    if (code == -1)
        code = fallbackType;
    if (!is_channel_code(code))
        return fail(-1, EINVAL, io::msg::save_bad_suffix, name);
    // Looked up before the file is touched: an unknown handle never creates
    // or empties it.
    Table *table = registry::find(id);
    if (table == nullptr)
        return fail(-1, ENOMEM);

    if (std::strncmp(name, "stdout", 6) == 0) {
        io::BinaryMode binary(stdout);
        formats::StdioSink sink(stdout);
        return write_table(sink, table->node, code);
    }
    io::SaveTarget target;
    if (!target.open(name))
        return fail(-1, errno, io::msg::save_cant_open, name, std::strerror(errno));
    const bool written = save_to(target, table->node, code) == 0;
    return target.finish(written) ? 0 : -1;
}

} // extern "C"
