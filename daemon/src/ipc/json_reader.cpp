#include "ipc/json_reader.h"

#include <exception>
#include <vector>

namespace kavo {
namespace {

// Builds the document tree from the parser's events, refusing what the
// library itself would accept: repeated members and excessive nesting. The
// library's parser keeps its own state on the heap, so deep input cannot
// exhaust the stack before the depth check refuses it.
class StrictTreeBuilder {
  public:
    using number_integer_t = JsonValue::number_integer_t;
    using number_unsigned_t = JsonValue::number_unsigned_t;
    using number_float_t = JsonValue::number_float_t;
    using string_t = JsonValue::string_t;
    using binary_t = JsonValue::binary_t;

    bool null() { return put(JsonValue(nullptr)) != nullptr; }
    bool boolean(bool value) { return put(JsonValue(value)) != nullptr; }
    bool number_integer(number_integer_t value) { return put(JsonValue(value)) != nullptr; }
    bool number_unsigned(number_unsigned_t value) { return put(JsonValue(value)) != nullptr; }
    bool number_float(number_float_t value, const string_t&) {
        return put(JsonValue(value)) != nullptr;
    }
    bool string(string_t& value) { return put(JsonValue(std::move(value))) != nullptr; }
    bool binary(binary_t&) {
        failure_ = std::string(JSON_SYNTAX_ERROR);
        return false;
    }

    bool start_object(std::size_t) { return open(JsonValue::object()); }
    bool start_array(std::size_t) { return open(JsonValue::array()); }
    bool end_object() {
        open_.pop_back();
        return true;
    }
    bool end_array() {
        open_.pop_back();
        return true;
    }

    bool key(string_t& name) {
        if (open_.back()->contains(name)) {
            failure_ = duplicate_member_error(name);
            return false;
        }
        pending_key_ = std::move(name);
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        failure_ = std::string(JSON_SYNTAX_ERROR);
        return false;
    }

    JsonValue take_root() { return std::move(root_); }
    const std::string& failure() const { return failure_; }

  private:
    bool open(JsonValue container) {
        if (open_.size() >= MAX_JSON_DEPTH) {
            failure_ = std::string(JSON_TOO_DEEP_ERROR);
            return false;
        }
        JsonValue* placed = put(std::move(container));
        open_.push_back(placed);
        return true;
    }

    // Containers on the stack are never appended to while a child is open,
    // so the pointers held there stay valid.
    JsonValue* put(JsonValue value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        JsonValue& parent = *open_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        JsonValue& slot = parent[pending_key_];
        slot = std::move(value);
        return &slot;
    }

    JsonValue root_;
    std::vector<JsonValue*> open_;
    string_t pending_key_;
    std::string failure_;
};

std::string quoted(std::string_view prefix, std::string_view name) {
    std::string text(prefix);
    text += '"';
    text += name;
    text += '"';
    return text;
}

}  // namespace

std::string duplicate_member_error(std::string_view name) {
    return quoted("The message repeats the member ", name);
}

std::string missing_member_error(std::string_view name) {
    return quoted("The message lacks the member ", name);
}

std::string wrong_type_error(std::string_view name) {
    return quoted("The message has the wrong type for ", name);
}

std::string unknown_variant_error(std::string_view name) {
    return quoted("The message names an unknown variant ", name);
}

bool is_json_white_space(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

std::size_t json_value_end(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && is_json_white_space(text[at])) {
        ++at;
    }
    if (at == text.size()) {
        return at;
    }
    const char first = text[at];
    if (first != '{' && first != '[' && first != '"') {
        while (at < text.size() && !is_json_white_space(text[at])) {
            ++at;
        }
        return at;
    }
    std::size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (; at < text.size(); ++at) {
        const char byte = text[at];
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (byte == '\\') {
                escaped = true;
            } else if (byte == '"') {
                in_string = false;
                if (depth == 0) {
                    return at + 1;
                }
            }
        } else if (byte == '"') {
            in_string = true;
        } else if (byte == '{' || byte == '[') {
            ++depth;
        } else if ((byte == '}' || byte == ']') && depth > 0 && --depth == 0) {
            return at + 1;
        }
    }
    return text.size();
}

Result<JsonValue> parse_strict_json(std::string_view text) {
    // The library takes a NUL byte for the end of the input, so a document
    // followed by one and anything at all would pass. JSON text holds none:
    // not between tokens, and not raw inside a string.
    if (text.find('\0') != std::string_view::npos) {
        return fail(std::string(JSON_NUL_BYTE_ERROR));
    }
    // The library skips a leading byte order mark; the pipe allows only
    // white space around the document.
    if (!text.empty() && static_cast<unsigned char>(text.front()) == 0xEF) {
        return fail(std::string(JSON_SYNTAX_ERROR));
    }
    for (const char byte : text.substr(json_value_end(text))) {
        if (!is_json_white_space(byte)) {
            return fail(std::string(JSON_TRAILING_TEXT_ERROR));
        }
    }
    StrictTreeBuilder builder;
    try {
        if (!JsonValue::sax_parse(text.begin(), text.end(), &builder,
                                  JsonValue::input_format_t::json, true)) {
            if (builder.failure().empty()) {
                return fail(std::string(JSON_SYNTAX_ERROR));
            }
            return fail(builder.failure());
        }
    } catch (const std::exception&) {
        return fail(std::string(JSON_SYNTAX_ERROR));
    }
    return builder.take_root();
}

Result<JsonValue> parse_strict_object(std::string_view body, std::string_view name) {
    KAVO_TRY(JsonValue document, parse_strict_json(body));
    KAVO_TRY_OK(expect_object(document, name));
    return document;
}

Result<void> expect_object(const JsonValue& value, std::string_view name) {
    if (!value.is_object()) {
        return fail(wrong_type_error(name));
    }
    return ok();
}

Result<JsonTagged> single_member(const JsonValue& value, std::string_view what) {
    if (!value.is_object() || value.size() != 1) {
        return fail(wrong_type_error(what));
    }
    return JsonTagged{value.begin().key(), &value.begin().value()};
}

Result<const JsonValue*> find_member(const JsonValue& object, std::string_view name) {
    KAVO_TRY_OK(expect_object(object, name));
    const auto found = object.find(name);
    if (found == object.end()) {
        return fail(missing_member_error(name));
    }
    return &*found;
}

Result<std::string> string_member(const JsonValue& object, std::string_view name) {
    KAVO_TRY(const JsonValue* member, find_member(object, name));
    if (!member->is_string()) {
        return fail(wrong_type_error(name));
    }
    return member->get_ref<const std::string&>();
}

Result<bool> bool_member(const JsonValue& object, std::string_view name) {
    KAVO_TRY(const JsonValue* member, find_member(object, name));
    if (!member->is_boolean()) {
        return fail(wrong_type_error(name));
    }
    return member->get<bool>();
}

Result<std::uint64_t> unsigned_member(const JsonValue& object, std::string_view name) {
    KAVO_TRY(const JsonValue* member, find_member(object, name));
    if (!member->is_number_unsigned()) {
        return fail(wrong_type_error(name));
    }
    return member->get<std::uint64_t>();
}

Result<std::optional<std::string>> optional_string_member(const JsonValue& object,
                                                          std::string_view name) {
    KAVO_TRY(const JsonValue* member, find_member(object, name));
    if (member->is_null()) {
        return std::optional<std::string>();
    }
    if (!member->is_string()) {
        return fail(wrong_type_error(name));
    }
    return std::optional<std::string>(member->get_ref<const std::string&>());
}

Result<std::optional<std::uint64_t>> optional_unsigned_member(const JsonValue& object,
                                                              std::string_view name,
                                                              std::uint64_t max) {
    KAVO_TRY(const JsonValue* member, find_member(object, name));
    if (member->is_null()) {
        return std::optional<std::uint64_t>();
    }
    if (!member->is_number_unsigned() || member->get<std::uint64_t>() > max) {
        return fail(wrong_type_error(name));
    }
    return std::optional<std::uint64_t>(member->get<std::uint64_t>());
}

}  // namespace kavo
