#include "ipc/json_writer.h"

#include <charconv>

namespace kavo {

JsonWriter::JsonWriter() {
    out_.reserve(JSON_INITIAL_CAPACITY);
}

JsonWriter& JsonWriter::string(std::string_view text) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    out_.push_back('"');
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '"':
                out_ += "\\\"";
                break;
            case '\\':
                out_ += "\\\\";
                break;
            case 0x08:
                out_ += "\\b";
                break;
            case 0x09:
                out_ += "\\t";
                break;
            case 0x0A:
                out_ += "\\n";
                break;
            case 0x0C:
                out_ += "\\f";
                break;
            case 0x0D:
                out_ += "\\r";
                break;
            default:
                if (byte < 0x20) {
                    out_ += "\\u00";
                    out_.push_back(DIGITS[byte >> 4]);
                    out_.push_back(DIGITS[byte & 0x0F]);
                } else {
                    out_.push_back(c);
                }
        }
    }
    out_.push_back('"');
    return *this;
}

JsonWriter& JsonWriter::unsigned_number(std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, end);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    out_ += "null";
    return *this;
}

JsonWriter& JsonWriter::raw(std::string_view text) {
    out_ += text;
    return *this;
}

JsonWriter& JsonWriter::member(std::string_view name, bool first) {
    if (!first) {
        out_.push_back(',');
    }
    string(name);
    out_.push_back(':');
    return *this;
}

}  // namespace kavo
