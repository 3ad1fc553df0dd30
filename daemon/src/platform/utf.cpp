#include "platform/utf.h"

#include <cstdint>

namespace kavo {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

struct Decoded {
    char32_t code_point;  // REPLACEMENT when !valid
    std::size_t length;   // bytes consumed, at least 1
    bool valid;
};

bool in(std::uint8_t byte, std::uint8_t low, std::uint8_t high) {
    return byte >= low && byte <= high;
}

// Decodes one sequence at the start of `bytes` (not empty). An ill-formed
// sequence consumes its maximal subpart: the lead byte plus the continuation
// bytes that could still have completed it.
Decoded decode_one(std::string_view bytes) {
    const auto lead = static_cast<std::uint8_t>(bytes[0]);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t need = 0;
    std::uint8_t second_low = 0x80;
    std::uint8_t second_high = 0xBF;
    char32_t value = 0;
    if (in(lead, 0xC2, 0xDF)) {
        need = 1;
        value = lead & 0x1F;
    } else if (in(lead, 0xE0, 0xEF)) {
        need = 2;
        value = lead & 0x0F;
        if (lead == 0xE0)
            second_low = 0xA0;
        if (lead == 0xED)
            second_high = 0x9F;
    } else if (in(lead, 0xF0, 0xF4)) {
        need = 3;
        value = lead & 0x07;
        if (lead == 0xF0)
            second_low = 0x90;
        if (lead == 0xF4)
            second_high = 0x8F;
    } else {
        return {REPLACEMENT, 1, false};
    }
    std::size_t used = 1;
    for (std::size_t k = 0; k < need; ++k) {
        if (used >= bytes.size()) {
            return {REPLACEMENT, used, false};
        }
        const auto next = static_cast<std::uint8_t>(bytes[used]);
        const bool fits = k == 0 ? in(next, second_low, second_high) : in(next, 0x80, 0xBF);
        if (!fits) {
            return {REPLACEMENT, used, false};
        }
        value = (value << 6) | (next & 0x3F);
        ++used;
    }
    return {value, used, true};
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void append_utf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    while (!bytes.empty()) {
        const Decoded d = decode_one(bytes);
        if (!d.valid) {
            return false;
        }
        bytes.remove_prefix(d.length);
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const Decoded d = decode_one(bytes);
        if (d.valid) {
            out.append(bytes.substr(0, d.length));
        } else {
            append_utf8(out, REPLACEMENT);
        }
        bytes.remove_prefix(d.length);
    }
    return out;
}

std::size_t utf8_floor_boundary(std::string_view text, std::size_t limit) {
    if (limit >= text.size()) {
        return text.size();
    }
    // Step back over continuation bytes to the start of the cut sequence.
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<std::uint8_t>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

std::optional<std::u16string> utf8_to_utf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const Decoded d = decode_one(bytes);
        if (!d.valid) {
            return std::nullopt;
        }
        append_utf16(out, d.code_point);
        bytes.remove_prefix(d.length);
    }
    return out;
}

std::u16string utf8_to_utf16_lossy(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const Decoded d = decode_one(bytes);
        append_utf16(out, d.code_point);
        bytes.remove_prefix(d.length);
    }
    return out;
}

std::optional<std::string> utf16_to_utf8(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
                return std::nullopt;
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return std::nullopt;
        }
        append_utf8(out, unit);
    }
    return out;
}

bool is_unicode_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

namespace {

bool is_white_space_sequence(const Decoded& d) {
    return d.valid && is_unicode_white_space(d.code_point);
}

}  // namespace

std::string_view trim_unicode_white_space(std::string_view text) {
    while (!text.empty()) {
        const Decoded first = decode_one(text);
        if (!is_white_space_sequence(first)) {
            break;
        }
        text.remove_prefix(first.length);
    }
    while (!text.empty()) {
        // Find the start of the last sequence: at most four bytes back.
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 &&
               (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const Decoded last = decode_one(text.substr(start));
        if (last.length != text.size() - start || !is_white_space_sequence(last)) {
            break;
        }
        text.remove_suffix(last.length);
    }
    return text;
}

}  // namespace kavo
