// The pieces the words of statuses and findings are made of, so that both
// quote a token, print a number and count a noun alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gridvane_core::formats {

// A token or a few bytes as a message shows them: control bytes escaped, a
// long token cut; NULL as ''.
std::string quoted(const char *text, std::size_t size);
std::string quoted(const char *text);

// The shortest text that reads back as the same float; a whole number as
// people write it (20000004, not 2e+07).
std::string number(double x);

// "1 value", "2 values".
std::string count_of(std::int64_t n, const char *noun);

// Copies text into out as snprintf does; returns text's length.
std::size_t copy_out(const std::string &text, char *out, std::size_t size);

} // namespace gridvane_core::formats
