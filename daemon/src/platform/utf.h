// Platform seam, pure: UTF-8 and UTF-16 conversions, shared by both backends.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kavo {

bool is_valid_utf8(std::string_view bytes);
// Each invalid sequence (its maximal ill-formed subpart) becomes U+FFFD.
std::string utf8_lossy(std::string_view bytes);
// The largest length <= limit that does not cut a UTF-8 sequence of valid text.
std::size_t utf8_floor_boundary(std::string_view text, std::size_t limit);

// Strict conversions: nullopt on invalid input (bad UTF-8, unpaired surrogate).
std::optional<std::u16string> utf8_to_utf16(std::string_view bytes);
std::optional<std::string> utf16_to_utf8(std::u16string_view units);
// Invalid UTF-8 becomes U+FFFD.
std::u16string utf8_to_utf16_lossy(std::string_view bytes);

// The Unicode White_Space property: U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_unicode_white_space(char32_t code_point);
// `text` (valid UTF-8) without leading and trailing Unicode white space.
std::string_view trim_unicode_white_space(std::string_view text);

}  // namespace kavo
