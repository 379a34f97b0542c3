// One token through the sample reader's path for short decimals and through
// the general reader (from_chars, then the atof rules) narrowed to float:
// both must give the same sample, bit for bit. The token sits in a
// block that starts right at the margin the fast path may read before it and
// ends right after the padding it may read after it, so that any read beyond
// either is caught.
#include "formats/number_text.hpp"

#include "harness.hpp"

#include <memory>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto *text = reinterpret_cast<const char *>(data);
    const std::string_view token_text(text, strnlen(text, size));
    constexpr std::size_t front = gridvane_core::formats::token_front;
    const auto block = std::make_unique<char[]>(front + token_text.size() + 1 + gridvane_core::formats::token_padding);
    // Digits before the token must not leak into its value.
    std::memset(block.get(), '9', front);
    char *token = block.get() + front;
    token_text.copy(token, token_text.size());
    const char *end = token + token_text.size();
    const float fast = gridvane_core::formats::padded_sample(token, end);
    const auto general = static_cast<float>(gridvane_core::formats::token_value(token, end));
    if (std::memcmp(&fast, &general, sizeof fast) != 0)
        gvfuzz::property_failed("the short decimal reader and the general reader disagree");
    return 0;
}
