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

}  // namespace kavo
