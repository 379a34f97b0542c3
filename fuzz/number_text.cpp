// One token through the sample reader's word-at-a-time path for short
// decimals and through the general reader (from_chars, then the atof
// rules): both must give the same double, bit for bit. The token sits in a
// block that ends right after the padding the fast path may read, so that
// any read beyond it is caught.
#include "formats/number_text.hpp"

#include "harness.hpp"

#include <memory>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto *text = reinterpret_cast<const char *>(data);
    const std::string_view token_text(text, strnlen(text, size));
    const auto token = std::make_unique<char[]>(token_text.size() + 1 + gridvane::formats::token_padding);
    token_text.copy(token.get(), token_text.size());
    const char *end = token.get() + token_text.size();
    const double fast = gridvane::formats::padded_token_value(token.get(), end);
    const double general = gridvane::formats::token_value(token.get(), end);
    if (std::memcmp(&fast, &general, sizeof fast) != 0)
        gvfuzz::property_failed("the short decimal reader and the general reader disagree");
    return 0;
}
