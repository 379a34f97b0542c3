// The ASCII channel format. The reader takes its source in large blocks and
// finds lines in memory; every line, however long, is handed whole to the
// host's Parse, with a token array large enough for any line. Rows are
// gathered in one pass and the row index is the list that gathered them.
#include "binary_header.hpp"
#include "formats.hpp"
#include "number_text.hpp"
#include "stream_output.hpp"

#include "common/cpu.hpp"
#include "common/growable.hpp"
#include "growth.hpp"
#include "common/heap.hpp"
#include "host/tools.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <type_traits>

#if defined(__SSE2__) && defined(__x86_64__)
#    include <emmintrin.h>
#endif

namespace gridvane_core::formats {

namespace {

// Lines of a source, each NUL-terminated in place without its newline, with
// where each stands in the input.
class LineSource {
public:
    LineSource(Source &source, const ReadStart &start)
        : source_(source), number_(start.line - 1), base_(start.offset), first_column_(start.column),
          at_start_(start.offset == 0)
    {
    }

    // The next line; false at the end of the input or on a failure, which
    // status() then tells.
    [[gnu::always_inline]] bool next(char *&line, std::size_t &length)
    {
        for (;;) {
            void *newline = end_ > scanned_ ? std::memchr(text() + scanned_, '\n', end_ - scanned_) : nullptr;
            if (skipping_) [[unlikely]] {
                // The rest of a line after its NUL, which nothing reads.
                begin_ = scanned_ = newline != nullptr ? static_cast<std::size_t>(static_cast<char *>(newline) - text()) + 1
                                                       : end_;
                skipping_ = newline == nullptr;
                if (skipping_ && at_end_)
                    return false;
                if (skipping_ && !refill())
                    return false;
                continue;
            }
            if (newline != nullptr) {
                auto *nl = static_cast<char *>(newline);
                *nl = '\0';
                line = text() + begin_;
                length = static_cast<std::size_t>(nl - line);
                begin_ = scanned_ = static_cast<std::size_t>(nl - text()) + 1;
                return found(line, length);
            }
            // A line that goes on past what is buffered ends, for the
            // reader, at its first NUL (nothing reads past one): it is given
            // as it stands, the NUL last, and the rest skipped, so that an
            // endless stream of zeros or noise takes no more memory than a
            // block and meets the reader's NUL finding at once.
            if (const void *nul = end_ > scanned_ ? std::memchr(text() + scanned_, '\0', end_ - scanned_) : nullptr) {
                line = text() + begin_;
                length = static_cast<std::size_t>(static_cast<const char *>(nul) - line) + 1;
                begin_ = scanned_ = static_cast<std::size_t>(line + length - text());
                skipping_ = true;
                return found(line, length);
            }
            scanned_ = end_;
            if (at_end_) {
                if (begin_ == end_) {
                    if (read_error_)
                        status_ = failure_at(GRIDVANE_E_READ, number_ + 1, 1, base_ + static_cast<std::int64_t>(end_),
                                             source_.error());
                    return false;
                }
                text()[end_] = '\0'; // a last line without newline
                line = text() + begin_;
                length = end_ - begin_;
                begin_ = scanned_ = end_;
                return found(line, length);
            }
            if (!refill())
                return false;
        }
    }

    const Status &status() const { return status_; }
    // The current line's number, from 1.
    std::int64_t number() const { return number_; }
    // Where a byte of the current line stands: its column from 1 and its
    // offset in the input.
    std::int64_t column_of(const char *p) const { return p - line_ + 1 + column_shift_; }
    std::int64_t offset_of(const char *p) const { return base_ + (p - text()); }
    bool in_line(const char *p) const
    {
        const std::less<const char *> before;
        return !before(p, line_) && !before(line_end_, p);
    }
    // Whether the current line is the first of the whole input.
    bool first_of_input() const { return at_start_ && number_ == 1; }
    // The offset of the first byte after the lines given so far (the rest
    // of a line cut at its NUL skipped first).
    std::int64_t consumed()
    {
        while (skipping_) {
            const void *newline = end_ > scanned_ ? std::memchr(text() + scanned_, '\n', end_ - scanned_) : nullptr;
            begin_ = scanned_ =
                newline != nullptr ? static_cast<std::size_t>(static_cast<const char *>(newline) - text()) + 1 : end_;
            skipping_ = newline == nullptr && !at_end_;
            if (skipping_ && !refill())
                break;
        }
        return base_ + static_cast<std::int64_t>(begin_);
    }

private:
    // Reads start small and grow to large blocks as the input proves large.
    static constexpr std::size_t largest_block = 1 << 20;
    // Before the data, zeros; after it, the terminator of a last line
    // without newline, then more: numbers are read a word at a time.
    static constexpr std::size_t front = token_front;
    static constexpr std::size_t spare = 1 + token_padding;

    char *text() { return buffer_.data() + front; }
    const char *text() const { return const_cast<LineSource *>(this)->text(); }
    void clear_spare() { std::memset(text() + end_, 0, spare); }

    [[gnu::always_inline]] bool found(char *&line, std::size_t &length)
    {
        column_shift_ = number_ + 1 == first_line() ? first_column_ : 0;
        ++number_;
        // A UTF-8 byte-order mark, as some editors begin text with, is no
        // part of the table.
        if (first_of_input() && length >= 3 && std::memcmp(line, "\xEF\xBB\xBF", 3) == 0) {
            line += 3;
            length -= 3;
        }
        line_ = line;
        line_end_ = line + length;
        return true;
    }
    std::int64_t first_line() const { return first_line_; }

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

    bool refill()
    {
        if (begin_ != 0 && end_ > begin_)
            std::memmove(text(), text() + begin_, end_ - begin_);
        base_ += static_cast<std::int64_t>(begin_);
        end_ -= begin_;
        scanned_ -= begin_;
        begin_ = 0;
        if (!reserve(end_ + block_)) {
            status_ = failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
            return false;
        }
        block_ = std::min(block_ * 2, largest_block);
        const std::size_t wanted = buffer_.capacity() - front - end_ - spare;
        const std::size_t got = source_.read(text() + end_, wanted);
        end_ += got;
        clear_spare();
        if (got < wanted) {
            at_end_ = true;
            read_error_ = source_.failed();
        }
        return true;
    }

    Source &source_;
    Growable<char> buffer_;
    std::size_t block_ = 1 << 16;
    std::size_t begin_ = 0, end_ = 0, scanned_ = 0;
    bool at_end_ = false, read_error_ = false;
    bool skipping_ = false; // the rest of the line after a NUL
    Status status_ = ok_status();
    std::int64_t number_;
    const std::int64_t first_line_ = number_ + 1;
    std::int64_t base_;
    std::int64_t first_column_, column_shift_ = 0;
    bool at_start_;
    const char *line_ = nullptr, *line_end_ = nullptr;
};

// Converts n tokens into samples. Tokens normally lie in the line, which has
// margins around it in the buffer; a host's Parse may put them elsewhere.
// Short decimals, nearly every sample, are whole numbers that need no
// judging; every other token's sample is handed to judge, which is false
// when the read must stop.
// The judge of the plain reader: every sample stands.
struct Trusting {
    bool operator()(const char *, float, std::size_t) const { return true; }
};

template <typename Judge>
[[gnu::always_inline]] inline bool convert_tokens(char *const *tokens, std::size_t n, const char *line,
                                                  const char *line_end, float *out, Judge &judge)
{
    const std::less<const char *> before;
    for (std::size_t i = 0; i < n; ++i) {
        const char *token = tokens[i];
        if (!before(token, line) && before(token, line_end)) {
            detail::Decimal d;
            if (detail::short_decimal(token, d)) {
                out[i] = decimal_sample(d);
                // A number past 2^24 may round, whole or not: the watching
                // judge looks (the plain reader's never does).
                if constexpr (!std::is_same_v<Judge, Trusting>)
                    if (std::fabs(out[i]) >= 16777216.0f && !judge(token, out[i], i))
                        return false;
                continue;
            }
            out[i] = static_cast<float>(token_value(token, line_end));
        } else {
            out[i] = static_cast<float>(token_value(token, token + std::strlen(token)));
        }
        if (!judge(token, out[i], i))
            return false;
    }
    return true;
}

#if defined(__x86_64__)
// The same compiled for processors with AVX2 and BMI2: the vector code of
// the short decimal reader takes fewer instructions in their encoding.
template <typename Judge>
GRIDVANE_AVX2 bool convert_tokens_avx2(char *const *tokens, std::size_t n,
                                                                 const char *line, const char *line_end, float *out,
                                                                 Judge &judge)
{
    return convert_tokens(tokens, n, line, line_end, out, judge);
}
#endif

template <typename Judge>
bool convert(char *const *tokens, std::size_t n, const char *line, const char *line_end, float *out, Judge &judge)
{
#if defined(__x86_64__)
    if (cpu::has_avx2())
        return convert_tokens_avx2(tokens, n, line, line_end, out, judge);
#endif
    return convert_tokens(tokens, n, line, line_end, out, judge);
}

bool is_bar(const char *token) { return token[0] == '|' && token[1] == '\0'; }

// What the watching reader looks for in a line before it is split: where
// what the reader sees of it ends (at the comment's '#' or a NUL, whichever
// comes first, else at the line's end), whether a NUL ends it, and before
// that end the second of the first two tabs in a row and the first
// carriage return.
struct LineMarks {
    const char *end;
    bool nul;
    const char *empty_cell;      // null when there is none
    const char *carriage_return; // null when there is none
};

LineMarks marks_of(const char *line, std::size_t length)
{
    LineMarks m{line + length, false, nullptr, nullptr};
#if defined(__SSE2__) && defined(__x86_64__)
    // One pass, 16 bytes at a time, each compared with its neighbour for
    // the pairs of tabs; it reads up to 16 bytes past the line, which the
    // reader's buffer always has after one. The loop leaves at the block
    // where the end is, with that block's marks.
    const auto bits = [](__m128i x) { return static_cast<std::uint32_t>(_mm_movemask_epi8(x)); };
    const auto below = [](int n) { return n <= 0 ? 0u : n >= 16 ? 0xFFFFu : (1u << n) - 1; };
    const __m128i hash = _mm_set1_epi8('#'), tab = _mm_set1_epi8('\t'), cr = _mm_set1_epi8('\r');
    std::uint32_t stops = 0, returns = 0, pairs = 0;
    const char *p = line;
    std::ptrdiff_t left = static_cast<std::ptrdiff_t>(length);
    for (; left > 0; p += 16, left -= 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        stops = bits(_mm_or_si128(_mm_cmpeq_epi8(here, hash), _mm_cmpeq_epi8(here, _mm_setzero_si128())));
        returns = bits(_mm_cmpeq_epi8(here, cr));
        pairs = bits(_mm_and_si128(_mm_cmpeq_epi8(here, tab), _mm_cmpeq_epi8(next, tab)));
        if (stops != 0 || left <= 16)
            break;
        // A block wholly before the end: its marks all count.
        if ((returns | pairs) != 0) [[unlikely]] {
            if (m.carriage_return == nullptr && returns != 0)
                m.carriage_return = p + std::countr_zero(returns);
            if (m.empty_cell == nullptr && pairs != 0)
                m.empty_cell = p + std::countr_zero(pairs) + 1;
        }
    }
    if (left > 0) { // the block where the end is: the marks before it
        stops &= below(static_cast<int>(std::min<std::ptrdiff_t>(left, 16)));
        const int visible = stops != 0 ? std::countr_zero(stops) : static_cast<int>(std::min<std::ptrdiff_t>(left, 16));
        returns &= below(visible);
        pairs &= below(visible - 1); // the second tab before the end too
        if (m.carriage_return == nullptr && returns != 0)
            m.carriage_return = p + std::countr_zero(returns);
        if (m.empty_cell == nullptr && pairs != 0)
            m.empty_cell = p + std::countr_zero(pairs) + 1;
        m.end = p + visible;
        m.nul = stops != 0 && *m.end == '\0';
    }
#else
    if (const auto *hash = static_cast<const char *>(std::memchr(line, '#', length)))
        m.end = hash;
    if (const auto *nul = static_cast<const char *>(std::memchr(line, '\0', static_cast<std::size_t>(m.end - line)))) {
        m.end = nul;
        m.nul = true;
    }
    for (const char *t = line; t + 1 < m.end && (t = static_cast<const char *>(std::memchr(t, '\t', m.end - t - 1)));
         ++t)
        if (t[1] == '\t') {
            m.empty_cell = t + 1;
            break;
        }
    m.carriage_return = static_cast<const char *>(std::memchr(line, '\r', static_cast<std::size_t>(m.end - line)));
#endif
    return m;
}

// Whether a NUL-terminated text is UTF-8 (shortest forms, no surrogates).
bool is_utf8(const char *text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        const unsigned char c = *p;
        const int more = c < 0x80 ? 0 : c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
        if (more < 0)
            return false;
        const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        for (int i = 1; i <= more; ++i)
            if (p[i] < (i == 1 ? low : 0x80) || p[i] > (i == 1 ? high : 0xBF))
                return false;
        p += more + 1;
    }
    return true;
}

// Whether the digits before an exponent hold one that is not zero (a
// number so small even the double is 0, "1e-99999").
bool has_nonzero_digit(const char *digits)
{
    const bool hex = digits[0] == '0' && (digits[1] | 0x20) == 'x';
    for (const char *p = digits + (hex ? 2 : 0); *p != '\0'; ++p) {
        const char c = static_cast<char>(*p | 0x20);
        if (c == (hex ? 'p' : 'e'))
            break;
        if ((*p >= '1' && *p <= '9') || (hex && c >= 'a' && c <= 'f'))
            return true;
    }
    return false;
}

bool starts_number(const char *token)
{
    const char *end;
    atof_c(token, &end);
    return end != token;
}

// names: the line of names a reading asked for is read, the first row not yet.
enum class Form { undecided, names, header, before_data, table, plain };

// The reader. Observed: it tells an observer what it takes other than as
// written; the plain reader has none of that code.
// What a read covers: the whole input; the head of a load split into parts
// (up to and including the first data row); or a part that goes on from a
// head.
enum class Reach { whole, head, part };

template <bool Observed> class AsciiReader {
public:
    AsciiReader(Source &source, storage::Layout layout, Observer *observer, const ReadStart &start,
                const Reading &reading, Reach reach = Reach::whole, Span *span = nullptr)
        : lines_(source, start), layout_(layout), growth_(reach == Reach::part ? start.offset : 0), reach_(reach),
          span_(span), observer_(observer), reading_(reading),
          summaries_(span != nullptr ? &span->summaries : &own_summaries_)
    {
        if (reach_ == Reach::part) {
            form_ = span_->table_form ? Form::table : Form::plain;
            width_ = span_->width;
        }
        if (span_ != nullptr)
            span_->frames_refused_falling = reading_.frames_column >= 0;
    }

    // Releases what a failed read gathered; a finished one has handed it on.
    ~AsciiReader()
    {
        storage::release_row_blocks(rows_.data(), static_cast<std::int64_t>(rows_.size()),
                                 static_cast<std::int64_t>(width_), layout_);
        storage::release_names(names_);
    }

    AsciiRead read()
    {
        char *line;
        std::size_t length;
        while (lines_.next(line, length)) {
            if (!take(line, length))
                return failed();
            if (reach_ == Reach::head && rows_.size() != 0)
                break;
        }
        if (span_ != nullptr) {
            span_->end_offset = lines_.consumed();
            span_->lines = lines_.number();
            span_->table_form = form_ == Form::table;
            span_->width = width_;
            span_->last_frame = last_frame_;
            span_->last_frame_line = last_frame_line_;
            span_->told_carriage_return = told_carriage_return_;
            span_->growth_peak = growth_.peak();
        }
        if (!succeeded(lines_.status())) {
            status_ = lines_.status();
            return failed();
        }
        if (form_ == Form::names) {
            status_ = with_counts(names_end_, 0, GRIDVANE_FINDING_NO_VALUES);
            return failed();
        }
        if (form_ != Form::table && form_ != Form::plain) {
            status_ = form_ == Form::header        ? failure_at(GRIDVANE_E_NO_RULE_LINE, header_line_, 1, -1)
                      : form_ == Form::before_data ? failure_at(GRIDVANE_E_NO_DATA_AFTER_RULE, rule_line_, 1, -1)
                                                   : with_counts(failure_at(GRIDVANE_E_NO_DATA,
                                                                            std::max<std::int64_t>(lines_.number(), 1), 1,
                                                                            -1),
                                                                 0, lines_.consumed());
            return failed();
        }
        if constexpr (Observed)
            if (reach_ == Reach::whole && !summaries_->tell(*observer_)) {
                status_ = observer_->stopped();
                return failed();
            }
        AsciiRead out;
        out.table_form = form_ == Form::table;
        out.frames_column = reading_.frames_column >= 0;
        out.rows.count = static_cast<std::int64_t>(rows_.size());
        out.rows.width = static_cast<std::int64_t>(width_);
        out.rows.layout = layout_;
        out.rows.index = rows_.release_trimmed();
        out.names = names_;
        out.comments = comments_;
        names_ = {};
        return out;
    }

private:
    AsciiRead failed()
    {
        AsciiRead out;
        out.status = status_;
        return out;
    }

    bool out_of_memory()
    {
        status_ = failure(GRIDVANE_E_NO_MEMORY, ENOMEM);
        return false;
    }

    // One line in the state it finds the reader in; false when the read
    // must stop (status_ says why).
    bool take(char *line, std::size_t length)
    {
        // Binary data read as text is no plain text a reading applies to.
        if (reading_.any() && lines_.first_of_input() && magic_order(line, length) != 0)
            return against_reading(0, 0, line);
        if constexpr (Observed)
            if (lines_.first_of_input() && !observe_first_bytes(line, length))
                return false;
        if (form_ == Form::header) {
            // Header lines are looked at only for the rule that ends them.
            if (line[0] == '-') {
                form_ = Form::before_data;
                rule_line_ = lines_.number();
            } else if constexpr (Observed) {
                const char *first = line + std::strspn(line, " \t\r\v\f");
                if (*first == '-' && !tell(at(GRIDVANE_FINDING_RULE_INDENTED, first)))
                    return false;
            }
            return true;
        }
        if (line[0] == '#') {
            ++comments_;
            return true;
        }
        if constexpr (Observed)
            if (!observe_line(line, length))
                return false;
        read_through_ = lines_.offset_of(line + length) + 1;
        if (!split(line, length))
            return out_of_memory();
        const std::size_t count = count_;
        if (count == 0)
            return true;

        switch (form_) {
        case Form::undecided:
            if (reading_.any() && is_bar(tokens_[0]))
                return against_reading(0, 0, tokens_[0]);
            if (reading_.names_first_line)
                return take_names(count, line + length);
            if (is_bar(tokens_[0])) {
                form_ = Form::header;
                header_line_ = lines_.number();
                names_ = storage::make_names(tokens_.data() + 1, nullptr, static_cast<std::int32_t>(count - 1));
                if (count > 1 && names_.list == nullptr)
                    return out_of_memory();
                return observe_names(1, count);
            }
            [[fallthrough]];
        case Form::names:
            if (!first_plain_row(count, line + length))
                return false;
            break;
        case Form::before_data:
            if (is_bar(tokens_[0]))
                return true;
            // Values plus the frame slot; a lone frame number still gets
            // its slot.
            form_ = Form::table;
            width_ = count > 2 ? count - 1 : 1;
            if constexpr (Observed)
                if (!observe_first_data_line())
                    return false;
            break;
        default: break;
        }
        return add_row(count, line, line + length);
    }

    // Cuts the comment and splits the rest; false when memory ran out.
    bool split(char *line, std::size_t &length)
    {
        char *hash = comment_known_ ? (comment_ != nullptr ? line + (comment_ - line) : nullptr)
                                    : static_cast<char *>(std::memchr(line, '#', length));
        comment_known_ = false;
        if (hash != nullptr) {
            *hash = '\0';
            length = static_cast<std::size_t>(hash - line);
            ++comments_;
        }
        // n characters hold at most (n + 1) / 2 tokens. The room beyond
        // that changes no count: it lets a Parse that splits a block of
        // bytes at once (32 of them, up to 32 tokens) do so to the line's
        // end, where without it a short line would be split byte by byte.
        constexpr std::size_t block_of_tokens = 32;
        std::size_t room = (length + 1) / 2 + 1 + block_of_tokens;
        if (room > INT_MAX)
            room = INT_MAX;
        if (!tokens_.reserve(room))
            return false;
        const int count = Parse(line, tokens_.data(), static_cast<int>(room));
        count_ = count < 0 ? 0 : static_cast<std::size_t>(count);
        return true;
    }

    std::size_t rows_in_pack(std::size_t pack) const
    {
        return layout_ == storage::Layout::packs
                   ? static_cast<std::size_t>(
                         storage::pack_rows(static_cast<std::int64_t>(pack), static_cast<std::int64_t>(width_)))
                   : 1;
    }

    // The next row's storage: the rest of the current pack, or a new one.
    float *new_row()
    {
        if (left_in_pack_ == 0) {
            const std::size_t rows = rows_in_pack(packs_);
            pack_rest_ = storage::allocate_pack(static_cast<std::int64_t>(rows), static_cast<std::int64_t>(width_));
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
            return out_of_memory();
        if (!growth_.take(static_cast<std::int64_t>(width_ * sizeof(float)), read_through_)) {
            status_ = with_counts(failure_at(GRIDVANE_E_OUT_OF_PROPORTION, lines_.number(), 1, lines_.offset_of(line)),
                                  growth_.factor(), growth_.table());
            return false;
        }
        float *row = new_row();
        if (row == nullptr)
            return out_of_memory();
        rows_.push(row);
        if constexpr (Observed)
            return observed_row(count, line, line_end, row);
        Trusting trusting;
        if (form_ == Form::table) {
            const std::size_t values = width_ - 1;
            const std::size_t given = std::min(values, count > 2 ? count - 2 : 0);
            convert(tokens_.data() + 2, given, line, line_end, row, trusting);
            std::fill(row + given, row + values, 0.0f);
            convert(tokens_.data(), 1, line, line_end, row + values, trusting);
        } else {
            const std::size_t given = std::min(width_, count);
            convert(tokens_.data(), given, line, line_end, row, trusting);
            std::fill(row + given, row + width_, 0.0f);
        }
        return true;
    }

    // ---- What a reading asks for (gridvane_reading) ----------------------

    // The read fails at p: the input breaks the rule kind names.
    bool against_reading(std::int32_t kind, std::int64_t expected, const char *p)
    {
        const gridvane_finding f = at(kind, p);
        status_ = with_counts(failure_at(GRIDVANE_E_AGAINST_READING, f.line, f.column, f.offset), expected, kind);
        return false;
    }

    // The line of names, kept with where each name stands and where the
    // line ends, for a first row of another count.
    bool take_names(std::size_t count, const char *line_end)
    {
        form_ = Form::names;
        names_ = storage::make_names(tokens_.data(), nullptr, static_cast<std::int32_t>(count));
        if (names_.list == nullptr || !name_columns_.reserve(count))
            return out_of_memory();
        for (std::size_t i = 0; i < count; ++i)
            name_columns_.push(at(0, tokens_[i]));
        const gridvane_finding end = at(0, line_end);
        names_end_ = failure_at(GRIDVANE_E_AGAINST_READING, end.line, end.column, end.offset);
        return observe_names(0, count);
    }

    // The first row of the plain form: the width, and what a reading asks
    // of it.
    bool first_plain_row(std::size_t count, const char *line_end)
    {
        form_ = Form::plain;
        width_ = count;
        const auto values = static_cast<std::int64_t>(count);
        if (reading_.names_first_line && names_.count != values) {
            // At the first name too many, or where a name is missing.
            Status place = names_.count > values ? ok_status() : names_end_;
            if (names_.count > values) {
                const gridvane_finding &f = name_columns_[count];
                place = failure_at(GRIDVANE_E_AGAINST_READING, f.line, f.column, f.offset);
            }
            status_ = with_counts(place, values, GRIDVANE_FINDING_NAMES_MISMATCH);
            return false;
        }
        const std::int64_t frames = reading_.frames_column;
        if (frames >= values)
            return against_reading(GRIDVANE_FINDING_SHORT_ROW, values, line_end);
        if (frames >= 0 && names_.count > 0) { // the frame column's name is no column's
            std::copy(names_.list + frames + 1, names_.list + names_.count, names_.list + frames);
            --names_.count;
        }
        if constexpr (Observed)
            return observe_first_row(count);
        return true;
    }

    // ---- What the observed reader adds ----------------------------------

    bool observe_names(std::size_t first, std::size_t count)
    {
        if constexpr (Observed)
            for (std::size_t i = first; i < count; ++i)
                if (!is_utf8(tokens_[i])) {
                    gridvane_finding f = at(GRIDVANE_FINDING_NAME_NOT_UTF8, tokens_[i]);
                    f.text = tokens_[i];
                    if (!tell(f))
                        return false;
                }
        return true;
    }

    bool tell(gridvane_finding f)
    {
        if (observer_->tell(f))
            return true;
        status_ = observer_->stopped();
        return false;
    }

    // A finding at a byte of the current line (a token may lie elsewhere,
    // where a host's Parse put it: it then has no place).
    gridvane_finding at(std::int32_t kind, const char *p) const
    {
        const bool here = lines_.in_line(p);
        return finding_at(kind, lines_.number(), here ? lines_.column_of(p) : 0, here ? lines_.offset_of(p) : -1);
    }

    gridvane_finding counted(std::int32_t kind, const char *p, std::int64_t expected, std::int64_t found) const
    {
        gridvane_finding f = at(kind, p);
        f.expected = expected;
        f.found = found;
        return f;
    }

    // Bytes that make the line other than its tokens show: a NUL ends what
    // the reader sees of it, and a carriage return inside it joins what
    // look like two lines.
    bool observe_line(const char *line, std::size_t length)
    {
        const LineMarks marks = marks_of(line, length);
        if (marks.nul && !tell(at(GRIDVANE_FINDING_NUL_BYTE, marks.end)))
            return false;
        visible_end_ = marks.end;
        // Without a NUL the marks end at the comment's '#' or at the line's
        // end: the split takes that instead of looking for the '#' again.
        comment_known_ = !marks.nul;
        comment_ = marks.end < line + length ? marks.end : nullptr;
        // Two tabs in a row are a cell left empty, which the split drops:
        // told with the row, once its form is known (the split overwrites
        // the tabs).
        empty_cell_ = marks.empty_cell;
        const char *cr = marks.carriage_return;
        if (cr != nullptr && cr + 1 < line + length && !told_carriage_return_) {
            told_carriage_return_ = true;
            return tell(at(GRIDVANE_FINDING_CARRIAGE_RETURN, cr));
        }
        return true;
    }

    // Bytes that begin no text at all: binary channel data, compressed
    // data, text of two or four bytes a character.
    bool observe_first_bytes(const char *line, std::size_t length)
    {
        if (magic_order(line, length) != 0)
            return tell(finding_at(GRIDVANE_FINDING_BINARY_AS_TEXT, lines_.number(), 1, 0));
        if (const std::int32_t other = not_plain_text(reinterpret_cast<const unsigned char *>(line), length)) {
            gridvane_finding f = finding_at(GRIDVANE_FINDING_NOT_PLAIN_TEXT, lines_.number(), 1, 0);
            f.found = other;
            return tell(f);
        }
        return true;
    }

    bool observe_first_row(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i)
            if (starts_number(tokens_[i]))
                return true;
        names_row_ = true;
        return tell(at(GRIDVANE_FINDING_NAMES_AS_ROW, tokens_[0]));
    }

    bool observe_first_data_line()
    {
        const auto values = static_cast<std::int64_t>(width_) - 1;
        if (values == 0 && !tell(at(GRIDVANE_FINDING_NO_VALUES, tokens_[0])))
            return false;
        if (names_.count != values &&
            !tell(counted(GRIDVANE_FINDING_NAMES_MISMATCH, tokens_[0], names_.count, values)))
            return false;
        return true;
    }

    // What a token's sample says of it: nothing for a whole number the
    // float holds, else a finding.
    bool judge(const char *token, float taken, bool frame, std::size_t column = 0)
    {
        std::int32_t kind = 0;
        const char *end;
        const double whole = atof_c(token, &end);
        const char *digits = token + (token[0] == '-' || token[0] == '+');
        if (is_bar(token))
            kind = frame ? GRIDVANE_FINDING_BAR_AS_DATA : GRIDVANE_FINDING_EXTRA_SEPARATOR;
        else if (end == token)
            kind = GRIDVANE_FINDING_NOT_A_NUMBER;
        else if (*end != '\0')
            kind = std::strchr(end + 1, ',') != nullptr && *end == ',' ? GRIDVANE_FINDING_COMMA_SEPARATED
                   : *end == ',' && end[1] >= '0' && end[1] <= '9'    ? GRIDVANE_FINDING_DECIMAL_COMMA
                                                                       : GRIDVANE_FINDING_PARTIAL_NUMBER;
        else if (std::isnan(taken))
            kind = GRIDVANE_FINDING_NAN;
        else if (std::isinf(taken))
            kind = std::isinf(whole) && (digits[0] | 0x20) == 'i' ? GRIDVANE_FINDING_INFINITE
                                                                  : GRIDVANE_FINDING_BEYOND_RANGE;
        else if (taken == 0.0f && (whole != 0.0 || has_nonzero_digit(digits)))
            kind = GRIDVANE_FINDING_BELOW_RANGE;
        else if (digits[0] == '0' && (digits[1] | 0x20) == 'x')
            kind = GRIDVANE_FINDING_HEXADECIMAL; // a number in range, only spelled otherwise
        else if (static_cast<double>(taken) != whole && digits[std::strspn(digits, "0123456789")] == '\0')
            // A whole number the float rounds: a frame then names another
            // frame than the one written.
            kind = frame ? GRIDVANE_FINDING_INEXACT_FRAME : GRIDVANE_FINDING_ROUNDED_WHOLE_NUMBER;
        else if (!frame && static_cast<double>(taken) != whole && std::fabs(whole) >= 16777216.0)
            // Past 2^24 a float keeps no fraction, and not every whole
            // number: a column of Unix times collapses to a few values.
            kind = GRIDVANE_FINDING_ROUNDED_WHOLE_PART;
        if (kind == 0)
            return true;
        gridvane_finding f = at(kind, token);
        f.text = token;
        f.taken = taken;
        f.frame = frame;
        if (ColumnSummaries::sums_up(kind))
            return summaries_->note(f, static_cast<std::int64_t>(column)) || out_of_memory();
        return tell(f);
    }

    // The row as the plain reader fills it, the tokens judged in the order
    // they stand.
    bool observed_row(std::size_t count, const char *line, const char *line_end, float *row)
    {
        if (empty_cell_ != nullptr && !tell(at(GRIDVANE_FINDING_EMPTY_CELL, empty_cell_)))
            return false;
        if (form_ != Form::table && reading_.frames_column >= 0)
            return framed_row(count, line, line_end, row);
        auto value_judge = values_judge(0);
        if (form_ != Form::table) {
            const std::size_t given = std::min(width_, count);
            if (!convert(tokens_.data(), given, line, line_end, row, value_judge))
                return false;
            std::fill(row + given, row + width_, 0.0f);
            names_row_ = false;
            return compare_width(count, width_, 0, visible_end_);
        }
        const std::size_t values = width_ - 1;
        auto frame_judge = [this](const char *token, float taken, std::size_t) {
            return names_row_ || judge(token, taken, true);
        };
        if (!convert(tokens_.data(), 1, line, line_end, row + values, frame_judge))
            return false;
        if (!follow_frame(row[values], tokens_[0]))
            return false;
        if (count >= 2 && !is_bar(tokens_[1])) {
            gridvane_finding f = at(starts_number(tokens_[1]) ? GRIDVANE_FINDING_VALUE_AS_SEPARATOR
                                                              : GRIDVANE_FINDING_OTHER_SEPARATOR,
                                    tokens_[1]);
            f.text = tokens_[1];
            if (!tell(f))
                return false;
        }
        const std::size_t given = std::min(values, count > 2 ? count - 2 : 0);
        if (!convert(tokens_.data() + 2, given, line, line_end, row, value_judge))
            return false;
        std::fill(row + given, row + values, 0.0f);
        return compare_width(count > 2 ? count - 2 : 0, values, 2, visible_end_);
    }

    // The judge of values that stand from a table column on.
    auto values_judge(std::size_t first_column)
    {
        return [this, first_column](const char *token, float taken, std::size_t i) {
            return names_row_ || judge(token, taken, false, first_column + i);
        };
    }

    // A frame after the one before: told when it does not rise, or refused
    // when a reading's frame column holds it. The first frame of a part is
    // compared when the parts are joined.
    bool follow_frame(float frame, const char *token)
    {
        if (!std::isnan(frame) && std::isnan(last_frame_) && reach_ == Reach::part) {
            // The frame before this part's first is the part before's: where
            // the comparison belongs among the findings is kept for later.
            span_->first_frame = at(GRIDVANE_FINDING_FRAME_NOT_RISING, token);
            span_->first_frame.taken = frame;
            span_->first_frame.found = static_cast<std::int64_t>(rows_.size()) - 1;
            span_->first_frame.frame = 1;
            span_->first_frame_told = observer_->errors() + observer_->warnings();
            span_->first_frame_seen = true;
        }
        if (!std::isnan(frame) && !std::isnan(last_frame_) && !(frame > last_frame_)) {
            if (reading_.frames_column >= 0)
                return against_reading(GRIDVANE_FINDING_FRAME_NOT_RISING, last_frame_line_, token);
            gridvane_finding f = counted(GRIDVANE_FINDING_FRAME_NOT_RISING, token, last_frame_line_,
                                         static_cast<std::int64_t>(rows_.size()) - 1);
            f.taken = frame;
            f.previous = last_frame_;
            f.frame = 1;
            if (!tell(f))
                return false;
        }
        if (!std::isnan(frame)) {
            last_frame_ = frame;
            last_frame_line_ = lines_.number();
        }
        return true;
    }

    // A plain row whose frame stands in a column (a reading's): the values
    // before and after it, judged in the order they stand, the frame last
    // in the row. A frame must be a whole number a float keeps exactly.
    bool framed_row(std::size_t count, const char *line, const char *line_end, float *row)
    {
        const auto c = static_cast<std::size_t>(reading_.frames_column);
        const std::size_t values = width_ - 1;
        auto before = values_judge(0);
        if (!convert(tokens_.data(), std::min(c, count), line, line_end, row, before))
            return false;
        if (count <= c)
            return against_reading(GRIDVANE_FINDING_SHORT_ROW, static_cast<std::int64_t>(count), visible_end_);
        const char *token = tokens_[c];
        Trusting trusting;
        convert(tokens_.data() + c, 1, line, line_end, row + values, trusting);
        const float frame = row[values];
        const char *end;
        const double written = atof_c(token, &end);
        if (end == token || *end != '\0' || !std::isfinite(written) || written != std::trunc(written) ||
            static_cast<double>(frame) != written)
            return against_reading(GRIDVANE_FINDING_INEXACT_FRAME, 0, token);
        if (!follow_frame(frame, token) || !judge(token, frame, true))
            return false;
        const std::size_t given = std::min(values - c, count - c - 1);
        auto after = values_judge(c);
        if (!convert(tokens_.data() + c + 1, given, line, line_end, row + c, after))
            return false;
        std::fill(row + c + given, row + values, 0.0f);
        return compare_width(count, width_, 0, visible_end_);
    }

    // A row with more or fewer values than the first.
    bool compare_width(std::size_t values, std::size_t wanted, std::size_t first, const char *line_end)
    {
        const auto v = static_cast<std::int64_t>(values), w = static_cast<std::int64_t>(wanted);
        if (values > wanted)
            return tell(counted(GRIDVANE_FINDING_LONG_ROW, tokens_[first + wanted], w, v));
        if (values < wanted)
            return tell(counted(GRIDVANE_FINDING_SHORT_ROW, line_end, w, v));
        return true;
    }

    LineSource lines_;
    Growable<char *> tokens_;
    Growable<float *> rows_;
    std::size_t count_ = 0;
    Form form_ = Form::undecided;
    std::size_t width_ = 0;
    storage::Layout layout_;
    Growth growth_;
    std::int64_t read_through_ = 0; // the offset after the current line
    std::size_t packs_ = 0, left_in_pack_ = 0;
    float *pack_rest_ = nullptr;
    storage::Names names_;
    Status status_ = ok_status();
    std::int64_t header_line_ = 0, rule_line_ = 0;
    Reach reach_;
    Span *span_;
    // Observed only.
    Observer *observer_;
    bool names_row_ = false, told_carriage_return_ = false;
    const char *visible_end_ = nullptr; // where the reader stops seeing the current line
    const char *empty_cell_ = nullptr;  // the second of two tabs in a row on the current line
    const char *comment_ = nullptr;     // the current line's '#' (null: none), when comment_known_
    bool comment_known_ = false;        // the watching reader found it before the split
    std::int64_t comments_ = 0;         // lines with a comment, which no table keeps
    float last_frame_ = NAN;
    std::int64_t last_frame_line_ = 0;
    // A reading's.
    Reading reading_;
    Growable<gridvane_finding> name_columns_; // where each name of a line of names stands
    Status names_end_ = ok_status();          // where that line ends
    ColumnSummaries own_summaries_;
    ColumnSummaries *summaries_; // a span's, for a head or a part
};

} // namespace

namespace {

// The observed reader for an observer, or for a reading's rules (which only
// it checks, with an observer that tells no one); else the plain one.
AsciiRead read_with(Source &source, storage::Layout layout, Observer *observer, const ReadStart &start,
                    const Reading &reading, Reach reach, Span *span)
{
    if (observer != nullptr)
        return AsciiReader<true>(source, layout, observer, start, reading, reach, span).read();
    if (reading.any()) {
        Observer no_one(nullptr, nullptr);
        return AsciiReader<true>(source, layout, &no_one, start, reading, reach, span).read();
    }
    return AsciiReader<false>(source, layout, nullptr, start, reading, reach, span).read();
}

} // namespace

AsciiRead read_ascii(Source &source, storage::Layout layout, Observer *observer, ReadStart start,
                     const Reading &reading)
{
    return read_with(source, layout, observer, start, reading, Reach::whole, nullptr);
}

AsciiRead read_ascii_head(Source &source, Observer *observer, ReadStart start, Span &span, const Reading &reading)
{
    return read_with(source, storage::Layout::packs, observer, start, reading, Reach::head, &span);
}

AsciiRead read_ascii_part(Source &source, Observer *observer, ReadStart start, Span &span, const Reading &reading)
{
    return read_with(source, storage::Layout::packs, observer, start, reading, Reach::part, &span);
}

namespace {

// A value as the writer was asked to spell it; returns the end of the text.
char *format_value(char *out, float value, Digits digits)
{
    if (digits == Digits::g15)
        return format_g15(out, static_cast<double>(value));
    if (std::isnan(value)) // as "%.15g" spells it, which the content decision knows
        return std::copy_n(std::signbit(value) ? "-nan" : "nan", std::signbit(value) ? 4 : 3, out);
    return std::to_chars(out, out + g15_max_chars, value).ptr;
}

} // namespace

Status write_ascii(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v, Digits digits,
                   std::int64_t frame_slot)
{
    const auto values =
        static_cast<std::size_t>(count_u > 0 ? count_u : 0) * static_cast<std::size_t>(count_v > 0 ? count_v : 0);
    StreamOutput out(sink, values * 20 + static_cast<std::size_t>(count_v > 0 ? count_v : 0));
    for (std::int32_t r = 0; r < count_v && !out.failed(); ++r) {
        const float *row = count_u > 0 || frame_slot >= 0 ? rows[r] : nullptr;
        if (frame_slot >= 0) { // the frame as a column of its own, the first
            char *p = out.room(g15_max_chars + 1);
            *p++ = '\t';
            out.commit(format_value(p, row[frame_slot], digits));
        }
        for (std::int32_t c = 0; c < count_u; ++c) {
            char *p = out.room(g15_max_chars + 1);
            *p++ = '\t';
            out.commit(format_value(p, row[c], digits));
        }
        char *p = out.room(1);
        *p++ = '\n';
        out.commit(p);
    }
    return out.finish();
}

Status write_ascii_checked(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v, Digits digits)
{
    if (rows == nullptr && count_u > 0 && count_v > 0)
        return failure(GRIDVANE_E_ARGUMENT, EINVAL);
    return write_ascii(sink, rows, count_u, count_v, digits);
}

bool name_fits_table_form(const char *name)
{
    if (name == nullptr || name[0] == '\0' || is_bar(name))
        return false;
    for (const char *p = name; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c <= ' ' || c == 0x7F || c == '#')
            return false;
    }
    return true;
}

Status write_ascii_table(Sink &sink, float *const *rows, std::int32_t count_u, std::int32_t count_v,
                         std::int64_t frame_slot, const storage::Names &names, Digits digits)
{
    const auto values =
        static_cast<std::size_t>(count_u > 0 ? count_u : 0) * static_cast<std::size_t>(count_v > 0 ? count_v : 0);
    StreamOutput out(sink, values * 20 + static_cast<std::size_t>(count_v > 0 ? count_v : 0) * 24 + 64);
    // The header: "|" and a name per column, then a rule as long as it.
    std::size_t header_length = 1;
    const auto put = [&out](const char *text, std::size_t n) {
        while (n > 0) {
            const std::size_t step = std::min(n, StreamOutput::capacity);
            char *p = out.room(step);
            std::memcpy(p, text, step);
            out.commit(p + step);
            text += step;
            n -= step;
        }
    };
    put("|", 1);
    for (std::int32_t c = 0; c < count_u; ++c) {
        char own[32];
        const char *name = c < names.count ? names.list[c] : nullptr;
        if (name == nullptr) {
            std::snprintf(own, sizeof own, "column%d", static_cast<int>(c));
            name = own;
        }
        const std::size_t n = std::strlen(name);
        put(" ", 1);
        put(name, n);
        header_length += n + 1;
    }
    put("\n", 1);
    static constexpr char dashes[] = "----------------------------------------------------------------";
    for (std::size_t n = std::max<std::size_t>(header_length - 1, 4); n > 0;) {
        const std::size_t step = std::min(n, sizeof dashes - 1);
        put(dashes, step);
        n -= step;
    }
    put("\n", 1);
    for (std::int32_t r = 0; r < count_v && !out.failed(); ++r) {
        char *p = out.room(g15_max_chars + 2);
        p = format_value(p, rows[r][frame_slot], digits);
        *p++ = '\t';
        *p++ = '|';
        out.commit(p);
        for (std::int32_t c = 0; c < count_u; ++c) {
            p = out.room(g15_max_chars + 1);
            *p++ = '\t';
            out.commit(format_value(p, rows[r][c], digits));
        }
        p = out.room(1);
        *p++ = '\n';
        out.commit(p);
    }
    return out.finish();
}

} // namespace gridvane_core::formats
