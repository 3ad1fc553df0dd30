// IPC protocol, pure: strict JSON input. The document must be the whole text
// (surrounding space, tab, line feed and carriage return allowed), no byte may
// be NUL, no member may appear twice, and nesting stops at 128 levels. These
// rules are checked here, not left to the library. Library exceptions never
// pass this boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/result.h"

namespace kavo {

inline constexpr std::size_t MAX_JSON_DEPTH = 128;

inline constexpr std::string_view JSON_SYNTAX_ERROR = "The message is not valid JSON";
inline constexpr std::string_view JSON_TOO_DEEP_ERROR = "The message nests deeper than 128 levels";
inline constexpr std::string_view JSON_NUL_BYTE_ERROR = "The message holds a NUL byte";
inline constexpr std::string_view JSON_TRAILING_TEXT_ERROR =
    "The message continues after the document";
std::string duplicate_member_error(std::string_view name);
std::string missing_member_error(std::string_view name);
std::string wrong_type_error(std::string_view name);
std::string unknown_variant_error(std::string_view name);

using JsonValue = nlohmann::json;

// Space, tab, line feed and carriage return; nothing else counts as white
// space around a document.
bool is_json_white_space(char byte);

// Where the top-level value that follows any leading white space ends: one
// past its closing quote or bracket (strings and escapes tracked, brackets
// counted), or at the first white-space byte for a bare scalar. The size of
// the text when the value never closes. Only the extent is found here; the
// syntax is the parser's business.
std::size_t json_value_end(std::string_view text);

Result<JsonValue> parse_strict_json(std::string_view text);

// A body that must hold one object; `name` is the record named in the error.
Result<JsonValue> parse_strict_object(std::string_view body, std::string_view name);
Result<void> expect_object(const JsonValue& value, std::string_view name);

// A variant with data: an object with exactly one member, named after the
// variant. `what` is named in the error.
struct JsonTagged {
    std::string name;
    const JsonValue* content = nullptr;
};
Result<JsonTagged> single_member(const JsonValue& value, std::string_view what);

// Members of a record object, by exact name and JSON type.
Result<const JsonValue*> find_member(const JsonValue& object, std::string_view name);
Result<std::string> string_member(const JsonValue& object, std::string_view name);
Result<bool> bool_member(const JsonValue& object, std::string_view name);
Result<std::uint64_t> unsigned_member(const JsonValue& object, std::string_view name);
// Present but possibly null; an unsigned number above `max` has the wrong type.
Result<std::optional<std::string>> optional_string_member(const JsonValue& object,
                                                          std::string_view name);
Result<std::optional<std::uint64_t>> optional_unsigned_member(const JsonValue& object,
                                                              std::string_view name,
                                                              std::uint64_t max);

}  // namespace kavo
