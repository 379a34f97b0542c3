// The ASCII channel format. The reader takes its source in large blocks and
// finds lines in memory; every line, however long, is handed whole to the
// host's Parse, with a token array large enough for any line. Rows are
// gathered in one pass and the row index is the list that gathered them.
#include "formats.hpp"
#include "messages.hpp"
#include "number_text.hpp"
#include "stream_output.hpp"

#include "host/failure.hpp"
#include "host/growable.hpp"
#include "host/heap.hpp"
#include "host/tools.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>

namespace gridvane::formats {

namespace {

enum class Next { line, end, no_memory, read_error };

// Lines of a source, each NUL-terminated in place without its newline.
class LineSource {
public:
    explicit LineSource(Source &source) : source_(source) {}

    Next next(char *&line, std::size_t &length)
    {
        for (;;) {
            void *newline = end_ > scanned_ ? std::memchr(text() + scanned_, '\n', end_ - scanned_) : nullptr;
            if (newline != nullptr) {
                auto *nl = static_cast<char *>(newline);
                *nl = '\0';
                line = text() + begin_;
                length = static_cast<std::size_t>(nl - line);
                begin_ = scanned_ = static_cast<std::size_t>(nl - text()) + 1;
                return Next::line;
            }
            scanned_ = end_;
            if (at_end_) {
                if (begin_ == end_)
                    return read_error_ ? Next::read_error : Next::end;
                text()[end_] = '\0'; // a last line without newline
                line = text() + begin_;
                length = end_ - begin_;
                begin_ = scanned_ = end_;
                return Next::line;
            }
            const Next refilled = refill();
            if (refilled != Next::line)
                return refilled;
        }
    }

private:
    // Reads start small and grow to large blocks as the input proves large.
    static constexpr std::size_t largest_block = 1 << 20;
    // Before the data, zeros; after it, the terminator of a last line
    // without newline, then more: numbers are read a word at a time.
    static constexpr std::size_t front = token_front;
    static constexpr std::size_t spare = 1 + token_padding;

    char *text() { return buffer_.data() + front; }
    void clear_spare() { std::memset(text() + end_, 0, spare); }

    // Room for bytes of text, with the margins around it.
    bool reserve(std::size_t bytes)
    {
        const bool first = buffer_.capacity() == 0;
        if (!buffer_.reserve(front + bytes + spare))
            return false;
        if (first)
            std::memset(buffer_.data(), 0, front);
        return true;
    }

    Next refill()
    {
        if (begin_ != 0 && end_ > begin_)
            std::memmove(text(), text() + begin_, end_ - begin_);
        end_ -= begin_;
        scanned_ -= begin_;
        begin_ = 0;
        if (!reserve(end_ + block_))
            return Next::no_memory;
        block_ = std::min(block_ * 2, largest_block);
        const std::size_t wanted = buffer_.capacity() - front - end_ - spare;
        const std::size_t got = source_.read(text() + end_, wanted);
        end_ += got;
        clear_spare();
        if (got < wanted) {
            at_end_ = true;
            read_error_ = source_.failed();
        }
        return Next::line;
    }

    Source &source_;
    Growable<char> buffer_;
    std::size_t block_ = 1 << 16;
    std::size_t begin_ = 0, end_ = 0, scanned_ = 0;
    bool at_end_ = false, read_error_ = false;
};

// The samples of n tokens. Tokens normally lie in the line, which has
// margins around it in the buffer; a host's Parse may put them elsewhere.
[[gnu::always_inline]] inline void convert_tokens(char *const *tokens, std::size_t n, const char *line,
                                                  const char *line_end, float *out)
{
    const std::less<const char *> before;
    for (std::size_t i = 0; i < n; ++i) {
        const char *token = tokens[i];
        out[i] = !before(token, line) && before(token, line_end)
                     ? padded_sample(token, line_end)
                     : static_cast<float>(token_value(token, token + std::strlen(token)));
    }
}

#if defined(__x86_64__)
// The same compiled for processors with AVX2 and BMI2: the vector code of
// the short decimal reader takes fewer instructions in their encoding.
__attribute__((target("avx2,bmi,bmi2"))) void convert_tokens_avx2(char *const *tokens, std::size_t n,
                                                                 const char *line, const char *line_end, float *out)
{
    convert_tokens(tokens, n, line, line_end, out);
}
// (Asked once, when the library is loaded; the processor's description may
// not have been read yet at that moment, hence the explicit start.)
const bool has_avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
}();
#endif

void convert(char *const *tokens, std::size_t n, const char *line, const char *line_end, float *out)
{
#if defined(__x86_64__)
    if (has_avx2)
        return convert_tokens_avx2(tokens, n, line, line_end, out);
#endif
    convert_tokens(tokens, n, line, line_end, out);
}

enum class Form { undecided, header, before_data, table, plain };

class AsciiReader {
public:
    AsciiReader(Source &source, bool packed) : lines_(source), packed_(packed) {}

    // Releases the rows of a failed read; a finished one has handed them on.
    ~AsciiReader()
    {
        heap::release_row_blocks(rows_.data(), static_cast<std::int64_t>(rows_.size()),
                                 static_cast<std::int64_t>(width_), packed_);
    }

    AsciiRead read()
    {
        char *line;
        std::size_t length;
        for (;;) {
            const Next next = lines_.next(line, length);
            if (next == Next::end)
                break;
            // The input failed part way: what was read is not the whole
            // table.
            if (next == Next::read_error)
                return fail(AsciiRead{}, EIO);
            if (next == Next::no_memory || !take(line, length))
                return fail(AsciiRead{}, 0, msg::ascii_no_space);
        }
        if (form_ != Form::table && form_ != Form::plain)
            return fail(AsciiRead{}, 0, msg::ascii_eof);
        AsciiRead out;
        out.table_form = form_ == Form::table;
        out.rows.count = static_cast<std::int64_t>(rows_.size());
        out.rows.width = static_cast<std::int64_t>(width_);
        out.rows.packed = packed_;
        out.rows.index = rows_.release_trimmed();
        return out;
    }

private:
    // One line in the state it finds the reader in; false when memory ran out.
    bool take(char *line, std::size_t length)
    {
        if (form_ == Form::header) {
            // Header lines are looked at only for the rule that ends them.
            if (line[0] == '-')
                form_ = Form::before_data;
            return true;
        }
        if (line[0] == '#')
            return true;
        const std::size_t count = split(line, length);
        if (count == SIZE_MAX)
            return false;
        if (count == 0)
            return true;

        switch (form_) {
        case Form::undecided:
            if (std::strcmp(tokens_[0], "|") == 0) {
                form_ = Form::header;
                return true;
            }
            form_ = Form::plain;
            width_ = count;
            break;
        case Form::before_data:
            if (std::strcmp(tokens_[0], "|") == 0)
                return true;
            // Values plus the frame slot; a lone frame number still gets
            // its slot.
            form_ = Form::table;
            width_ = count > 2 ? count - 1 : 1;
            break;
        default: break;
        }
        return add_row(count, line, line + length);
    }

    // Cuts the comment and splits the rest; SIZE_MAX when memory ran out.
    std::size_t split(char *line, std::size_t length)
    {
        if (auto *hash = static_cast<char *>(std::memchr(line, '#', length))) {
            *hash = '\0';
            length = static_cast<std::size_t>(hash - line);
        }
        // n characters hold at most (n + 1) / 2 tokens.
        std::size_t room = (length + 1) / 2 + 1;
        if (room > INT_MAX)
            room = INT_MAX;
        if (!tokens_.reserve(room))
            return SIZE_MAX;
        const int count = Parse(line, tokens_.data(), static_cast<int>(room));
        return count < 0 ? 0 : static_cast<std::size_t>(count);
    }

    std::size_t rows_in_pack(std::size_t pack) const
    {
        return packed_ ? static_cast<std::size_t>(heap::pack_rows(static_cast<std::int64_t>(pack),
                                                                  static_cast<std::int64_t>(width_)))
                       : 1;
    }

    // The next row's storage: the rest of the current pack, or a new one.
    float *new_row()
    {
        if (left_in_pack_ == 0) {
            const std::size_t rows = rows_in_pack(packs_);
            pack_rest_ = heap::allocate_pack(static_cast<std::int64_t>(rows), static_cast<std::int64_t>(width_));
            if (pack_rest_ == nullptr)
                return nullptr;
            ++packs_;
            left_in_pack_ = rows;
        }
        float *row = pack_rest_;
        pack_rest_ += width_;
        --left_in_pack_;
        return row;
    }

    bool add_row(std::size_t count, const char *line, const char *line_end)
    {
        // The index has room before a row is taken, so that every pack is
        // listed (by its first row) as soon as it exists.
        if (rows_.size() >= INT32_MAX || !rows_.reserve(rows_.size() + 1))
            return false;
        float *row = new_row();
        if (row == nullptr)
            return false;
        rows_.push(row);
        if (form_ == Form::table) {
            const std::size_t values = width_ - 1;
            const std::size_t given = std::min(values, count > 2 ? count - 2 : 0);
            convert(tokens_.data() + 2, given, line, line_end, row);
            std::fill(row + given, row + values, 0.0f);
            convert(tokens_.data(), 1, line, line_end, row + values);
        } else {
            const std::size_t given = std::min(width_, count);
            convert(tokens_.data(), given, line, line_end, row);
            std::fill(row + given, row + width_, 0.0f);
        }
        return true;
    }

    LineSource lines_;
    Growable<char *> tokens_;
    Growable<float *> rows_;
    Form form_ = Form::undecided;
    std::size_t width_ = 0;
    bool packed_;
    std::size_t packs_ = 0, left_in_pack_ = 0;
    float *pack_rest_ = nullptr;
};

} // namespace

AsciiRead read_ascii(Source &source, bool packed)
{
    AsciiReader reader(source, packed);
    return reader.read();
}

int write_ascii(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v)
{
    const auto values =
        static_cast<std::size_t>(count_u > 0 ? count_u : 0) * static_cast<std::size_t>(count_v > 0 ? count_v : 0);
    StreamOutput out(sink, values * 20 + static_cast<std::size_t>(count_v > 0 ? count_v : 0));
    for (std::int32_t r = 0; r < count_v && !out.failed(); ++r) {
        const float *row = count_u > 0 ? rows[r] : nullptr;
        for (std::int32_t c = 0; c < count_u; ++c) {
            char *p = out.room(g15_max_chars + 1);
            *p++ = '\t';
            out.commit(format_g15(p, static_cast<double>(row[c])));
        }
        char *p = out.room(1);
        *p++ = '\n';
        out.commit(p);
    }
    return out.finish();
}

} // namespace gridvane::formats
