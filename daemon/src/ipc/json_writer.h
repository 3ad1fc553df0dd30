// IPC protocol, pure: compact JSON output with the pipe's exact escaping.
// Everything the daemon writes, and the canonical request that proofs cover,
// goes through here, so both ends can reproduce the bytes exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavo {

// Serialisation buffers start at this capacity and grow as needed.
inline constexpr std::size_t JSON_INITIAL_CAPACITY = 128;

// Appends compact JSON tokens to a string. Callers write the punctuation of
// objects themselves so that member order is visible where records are
// written.
class JsonWriter {
  public:
    JsonWriter();

    // Quote and backslash escaped, \b \t \n \f \r for those bytes, other
    // bytes below 0x20 as \u00xx; every other byte, including '/', 0x7F and
    // non-ASCII, is copied unchanged.
    JsonWriter& string(std::string_view text);
    JsonWriter& unsigned_number(std::uint64_t value);
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    // Raw punctuation such as "{", ":" or "}".
    JsonWriter& raw(std::string_view text);
    // ,"name": or "name": for the first member of an object.
    JsonWriter& member(std::string_view name, bool first = false);

    const std::string& text() const& { return out_; }
    std::string take() && { return std::move(out_); }

  private:
    std::string out_;
};

}  // namespace kavo
