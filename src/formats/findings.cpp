#include "findings.hpp"

#include "content.hpp"
#include "observer.hpp"
#include "wording.hpp"

#include <cstdint>
#include <iterator>

namespace gridvane_core::formats {

namespace {

constexpr std::int32_t WARNING = GRIDVANE_SEVERITY_WARNING;
constexpr std::int32_t ERROR = GRIDVANE_SEVERITY_ERROR;

using F = const gridvane_finding &;

// "frame " before a value that is a frame number.
std::string what(F f) { return f.frame ? "frame " : ""; }
std::string token(F f) { return quoted(f.text); }

// A binary sample has no token, only a cell.
bool binary(F f) { return f.text == nullptr; }
std::string cell(F f) { return " at row " + std::to_string(f.expected) + ", column " + std::to_string(f.found); }

// a - b, held to the range of int64_t: a finding built by hand may carry
// counts no file gives, and its words cannot fail.
std::int64_t difference(std::int64_t a, std::int64_t b)
{
    if (b < 0 ? a > INT64_MAX + b : a < INT64_MIN + b)
        return b < 0 ? INT64_MAX : INT64_MIN;
    return a - b;
}

// A finding that sums its column up: how many more numbers of the column
// it stands for.
std::string more_in_column(F f)
{
    if (f.found <= 1)
        return "";
    return ", and rounds " + std::to_string(f.found - 1) + " more in column " + std::to_string(f.expected);
}

std::string dropped_separator(F f) { return token(f) + " stands where the separator '|' belongs: the reader drops it"; }

// In the order of the codes, from 1.
constexpr FindingKind kinds[] = {
    {GRIDVANE_FINDING_NOT_A_NUMBER, "not_a_number", ERROR,
     [](F f) { return what(f) + token(f) + " is not a number: the reader takes 0"; }},
    {GRIDVANE_FINDING_PARTIAL_NUMBER, "partial_number", ERROR,
     [](F f) { return what(f) + token(f) + " has text after the number: the reader takes " + number(f.taken); }},
    {GRIDVANE_FINDING_DECIMAL_COMMA, "decimal_comma", ERROR,
     [](F f) {
         return what(f) + token(f) + " has text after the number: the reader takes " + number(f.taken) +
                " (a decimal comma)";
     }},
    {GRIDVANE_FINDING_HEXADECIMAL, "hexadecimal", WARNING,
     [](F f) { return what(f) + token(f) + " is a hexadecimal number: the reader takes " + number(f.taken); }},
    {GRIDVANE_FINDING_BEYOND_RANGE, "beyond_range", ERROR,
     [](F f) { return what(f) + token(f) + " is beyond the float range: the reader takes " + number(f.taken); }},
    {GRIDVANE_FINDING_BELOW_RANGE, "below_range", WARNING,
     [](F f) { return what(f) + token(f) + " is below the float range: the reader takes 0"; }},
    {GRIDVANE_FINDING_NAN, "nan", WARNING, [](F f) { return binary(f) ? "NaN" + cell(f) : what(f) + "NaN"; }},
    {GRIDVANE_FINDING_INFINITE, "infinite", WARNING,
     [](F f) { return binary(f) ? "infinite value" + cell(f) : what(f) + "infinite value " + token(f); }},
    {GRIDVANE_FINDING_NAMES_AS_ROW, "names_as_row", ERROR,
     [](F) -> std::string { return "a line of names read as a row of zeros: a table-form header begins with '|'"; }},
    {GRIDVANE_FINDING_VALUE_AS_SEPARATOR, "value_as_separator", ERROR, dropped_separator},
    {GRIDVANE_FINDING_OTHER_SEPARATOR, "other_separator", WARNING, dropped_separator},
    {GRIDVANE_FINDING_EXTRA_SEPARATOR, "extra_separator", ERROR,
     [](F) -> std::string { return "'|' stands where a value belongs: the reader takes 0"; }},
    {GRIDVANE_FINDING_SHORT_ROW, "short_row", ERROR,
     [](F f) {
         return count_of(f.found, "value") + " where the first row has " + std::to_string(f.expected) +
                ": the reader reads the missing " + std::to_string(difference(f.expected, f.found)) + " as 0";
     }},
    {GRIDVANE_FINDING_LONG_ROW, "long_row", ERROR,
     [](F f) {
         return count_of(f.found, "value") + " where the first row has " + std::to_string(f.expected) +
                ": the reader ignores the last " + std::to_string(difference(f.found, f.expected));
     }},
    {GRIDVANE_FINDING_FRAME_NOT_RISING, "frame_not_rising", WARNING,
     [](F f) {
         return "frame " + number(f.taken) + " does not increase (line " + std::to_string(f.expected) + " has " +
                number(f.previous) + "): frame lookups expect rising frames";
     }},
    {GRIDVANE_FINDING_NO_VALUES, "no_values", WARNING,
     [](F) -> std::string { return "the first data line has no values: the table gets no columns, only frames"; }},
    {GRIDVANE_FINDING_NAMES_MISMATCH, "names_mismatch", WARNING,
     [](F f) { return count_of(f.found, "value") + ", but the header names " + count_of(f.expected, "column"); }},
    {GRIDVANE_FINDING_RULE_INDENTED, "rule_indented", WARNING,
     [](F) -> std::string {
         return "the rule line must begin with '-' in its first column: this line stays in the header";
     }},
    {GRIDVANE_FINDING_BAR_AS_DATA, "bar_as_data", ERROR,
     [](F) -> std::string {
         return "a line beginning with '|' after the first data line is data: its frame reads as 0";
     }},
    {GRIDVANE_FINDING_NUL_BYTE, "nul_byte", ERROR,
     [](F) -> std::string { return "NUL byte: the reader ignores the rest of the line"; }},
    {GRIDVANE_FINDING_CARRIAGE_RETURN, "carriage_return", ERROR,
     [](F) -> std::string { return "carriage return inside a line: the reader ends lines only at a line feed"; }},
    {GRIDVANE_FINDING_BINARY_AS_TEXT, "binary_as_text", ERROR,
     [](F) -> std::string { return "binary channel data under a text name or form: the reader takes it as text"; }},
    {GRIDVANE_FINDING_TRAILING_BYTES, "trailing_bytes", WARNING,
     [](F f) { return count_of(f.found, "byte") + " after the last sample are ignored"; }},
    {GRIDVANE_FINDING_NO_SAMPLES, "no_samples", WARNING,
     [](F f) {
         return "no samples: " + std::to_string(f.expected) + " columns x " + std::to_string(f.found) + " rows";
     }},
    {GRIDVANE_FINDING_EMPTY_CELL, "empty_cell", ERROR,
     [](F) -> std::string {
         return "two tabs in a row leave a cell empty: the reader drops it and moves the values after it left";
     }},
    {GRIDVANE_FINDING_INEXACT_FRAME, "inexact_frame", ERROR,
     [](F f) {
         return "frame " + token(f) + " is a whole number a float cannot hold: the reader takes " + number(f.taken) +
                ", and frame lookups find another frame";
     }},
    {GRIDVANE_FINDING_ROUNDED_WHOLE_NUMBER, "rounded_whole_number", WARNING,
     [](F f) {
         return token(f) + " is a whole number a float cannot hold: the reader takes " + number(f.taken) +
                more_in_column(f);
     }},
    {GRIDVANE_FINDING_COMMA_SEPARATED, "comma_separated", ERROR,
     [](F f) {
         return what(f) + token(f) + " holds values separated by commas: the reader takes " + number(f.taken) +
                " (it separates values at blanks)";
     }},
    {GRIDVANE_FINDING_NOT_PLAIN_TEXT, "not_plain_text", ERROR,
     [](F f) {
         return std::string(not_plain_text_name(static_cast<std::int32_t>(f.found))) +
                " read as text: the reader takes its bytes for numbers";
     }},
    {GRIDVANE_FINDING_NAME_NOT_UTF8, "name_not_utf8", WARNING,
     [](F f) {
         return "column name " + token(f) + " is not UTF-8 (another encoding?): the table keeps its bytes as they are";
     }},
    {GRIDVANE_FINDING_ROUNDED_WHOLE_PART, "rounded_whole_part", WARNING,
     [](F f) {
         return token(f) +
                " is past 16777216, where a float keeps no fraction and not every whole number: the reader takes " +
                number(f.taken) + more_in_column(f);
     }},
};

constexpr bool in_code_order()
{
    for (std::size_t i = 0; i < std::size(kinds); ++i)
        if (kinds[i].code != static_cast<std::int32_t>(i + 1))
            return false;
    return true;
}
static_assert(in_code_order(), "the list of findings runs in the order of their codes, from 1");

} // namespace

const FindingKind *finding_kind(std::int32_t code)
{
    return code >= 1 && code <= static_cast<std::int32_t>(std::size(kinds)) ? &kinds[code - 1] : nullptr;
}

std::string finding_text(const gridvane_finding &f)
{
    const FindingKind *kind = finding_kind(f.kind);
    return kind != nullptr ? kind->words(f) : "unknown finding " + std::to_string(f.kind);
}

std::int32_t Observer::severity_of(std::int32_t code)
{
    const FindingKind *kind = finding_kind(code);
    return kind != nullptr ? kind->severity : GRIDVANE_SEVERITY_ERROR;
}

} // namespace gridvane_core::formats

extern "C" {

GRIDVANE_API size_t gridvane_finding_message(const gridvane_finding *finding, char *out, size_t size)
{
    using namespace gridvane_core::formats;
    try {
        return copy_out(finding == nullptr ? std::string("invalid argument") : finding_text(*finding), out, size);
    } catch (...) { // out of memory: no text
        return copy_out({}, out, size);
    }
}

GRIDVANE_API const char *gridvane_finding_name(int32_t kind)
{
    const gridvane_core::formats::FindingKind *row = gridvane_core::formats::finding_kind(kind);
    return row != nullptr ? row->name : nullptr;
}

} // extern "C"
