// IPC protocol, pure: strict JSON input. The document must be the whole text
// (surrounding space, tab, line feed and carriage return allowed), no member
// may appear twice, and nesting stops at 128 levels. Library exceptions never
// pass this boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/result.h"

namespace kavo {

inline constexpr std::size_t MAX_JSON_DEPTH = 128;

inline constexpr std::string_view JSON_SYNTAX_ERROR = "The message is not valid JSON";
inline constexpr std::string_view JSON_TOO_DEEP_ERROR = "The message nests deeper than 128 levels";
std::string duplicate_member_error(std::string_view name);
std::string missing_member_error(std::string_view name);
std::string wrong_type_error(std::string_view name);
std::string unknown_variant_error(std::string_view name);

using JsonValue = nlohmann::json;

Result<JsonValue> parse_strict_json(std::string_view text);

// Members of a record object, by exact name and JSON type.
Result<const JsonValue*> find_member(const JsonValue& object, std::string_view name);
Result<std::string> string_member(const JsonValue& object, std::string_view name);
Result<bool> bool_member(const JsonValue& object, std::string_view name);
Result<std::uint64_t> unsigned_member(const JsonValue& object, std::string_view name);

}  // namespace kavo
