// Platform seam, pure: hexadecimal text of bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kavo {

// Two lowercase digits per byte, high nibble first.
std::string hex_lower(std::span<const std::uint8_t> bytes);
bool is_hex_digit(char c);
// Digits of either case; nullopt on an odd length or a non-hex character.
std::optional<std::vector<std::uint8_t>> decode_hex(std::string_view digits);

}  // namespace kavo
