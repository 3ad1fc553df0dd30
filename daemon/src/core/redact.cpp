#include "core/redact.h"

#include <array>
#include <cstdint>

namespace kavo {
namespace {

// Keys whose value is a credential, tried in this order.
constexpr std::array<std::string_view, 6> SECRET_KEYS = {
    "token", "authorization", "password", "secret", "subscription_url", "subscription-url",
};

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// `text` equals `lower_word` (already lower case) ignoring ASCII letter case.
bool iequals(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (ascii_lower(text[i]) != lower_word[i]) {
            return false;
        }
    }
    return true;
}

bool istarts_with(std::string_view text, std::string_view lower_word) {
    return text.size() >= lower_word.size() &&
           iequals(text.substr(0, lower_word.size()), lower_word);
}

bool iends_with(std::string_view text, std::string_view lower_word) {
    return text.size() >= lower_word.size() &&
           iequals(text.substr(text.size() - lower_word.size()), lower_word);
}

bool is_quote(char c) {
    return c == '\'' || c == '"';
}

bool is_key_opener(char c) {
    return c == '[' || c == '{' || c == '(' || is_quote(c);
}

bool is_value_closer(char c) {
    return c == ']' || c == '}' || c == ')' || c == ',' || is_quote(c);
}

template <class Predicate>
std::string_view trim_both(std::string_view text, Predicate strip) {
    while (!text.empty() && strip(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && strip(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The length of the Unicode white-space character at the start of `text`, or
// 0 when it does not start with one. Every White_Space character above ASCII
// begins with 0xC2, 0xE1, 0xE2 or 0xE3, which are lead bytes, so a match is
// always a whole character.
std::size_t white_space_length(std::string_view text, std::size_t at) {
    const auto byte = static_cast<std::uint8_t>(text[at]);
    if (byte < 0x80) {
        return (byte == ' ' || (byte >= 0x09 && byte <= 0x0D)) ? 1 : 0;
    }
    const std::size_t left = text.size() - at;
    const auto next = [&](std::size_t k) { return static_cast<std::uint8_t>(text[at + k]); };
    switch (byte) {
        case 0xC2:  // U+0085, U+00A0
            return (left >= 2 && (next(1) == 0x85 || next(1) == 0xA0)) ? 2 : 0;
        case 0xE1:  // U+1680
            return (left >= 3 && next(1) == 0x9A && next(2) == 0x80) ? 3 : 0;
        case 0xE2:
            if (left < 3) {
                return 0;
            }
            if (next(1) == 0x80) {
                // U+2000..U+200A, U+2028, U+2029, U+202F
                const auto last = next(2);
                return ((last >= 0x80 && last <= 0x8A) || last == 0xA8 || last == 0xA9 ||
                        last == 0xAF)
                           ? 3
                           : 0;
            }
            return (next(1) == 0x81 && next(2) == 0x9F) ? 3 : 0;  // U+205F
        case 0xE3:                                                // U+3000
            return (left >= 3 && next(1) == 0x80 && next(2) == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

// What a byte can be at the start of a character: most bytes are neither
// white space nor the lead byte of a white-space character, and the scan of a
// token passes over them without looking further.
enum class ByteClass : std::uint8_t { plain, space, maybe_space };

constexpr std::array<ByteClass, 256> make_byte_classes() {
    std::array<ByteClass, 256> classes{};
    for (const int byte : {0x20, 0x09, 0x0A, 0x0B, 0x0C, 0x0D}) {
        classes[static_cast<std::size_t>(byte)] = ByteClass::space;
    }
    for (const int byte : {0xC2, 0xE1, 0xE2, 0xE3}) {
        classes[static_cast<std::size_t>(byte)] = ByteClass::maybe_space;
    }
    return classes;
}

constexpr std::array<ByteClass, 256> BYTE_CLASSES = make_byte_classes();

ByteClass byte_class(std::string_view text, std::size_t at) {
    return BYTE_CLASSES[static_cast<std::uint8_t>(text[at])];
}

// The end of the token that starts at `at` (which is not white space).
std::size_t token_end(std::string_view text, std::size_t at) {
    while (at < text.size()) {
        const ByteClass cls = byte_class(text, at);
        if (cls == ByteClass::space ||
            (cls == ByteClass::maybe_space && white_space_length(text, at) != 0)) {
            break;
        }
        ++at;
    }
    return at;
}

enum class KeyMatch { none, value_follows, value_missing };

// A key directly followed by optional quotes and '=' or ':'. The result tells
// whether the value in the same token was empty or "bearer", in which case
// the credential is the next token.
KeyMatch match_secret_key(std::string_view token) {
    std::size_t start = 0;
    while (start < token.size() && is_key_opener(token[start])) {
        ++start;
    }
    const std::string_view rest = token.substr(start);
    // Every key starts with one of these letters; most tokens stop here.
    const char first = rest.empty() ? '\0' : ascii_lower(rest.front());
    if (first != 't' && first != 'a' && first != 'p' && first != 's') {
        return KeyMatch::none;
    }
    for (const std::string_view key : SECRET_KEYS) {
        if (!istarts_with(rest, key)) {
            continue;
        }
        std::size_t at = key.size();
        while (at < rest.size() && is_quote(rest[at])) {
            ++at;
        }
        if (at >= rest.size() || (rest[at] != '=' && rest[at] != ':')) {
            continue;
        }
        const std::string_view value = trim_both(rest.substr(at + 1), is_value_closer);
        return (value.empty() || iequals(value, "bearer")) ? KeyMatch::value_missing
                                                           : KeyMatch::value_follows;
    }
    return KeyMatch::none;
}

// The output for one token; updates `redact_next`.
std::string_view redact_token(std::string_view token, bool& redact_next) {
    if (redact_next) {
        redact_next = iequals(trim_both(token, is_quote), "bearer");
        return REDACTED_TOKEN;
    }
    if (iequals(token, "bearer") || iends_with(token, ":bearer")) {
        redact_next = true;
        return REDACTED_TOKEN;
    }
    const KeyMatch key = match_secret_key(token);
    if (key != KeyMatch::none) {
        redact_next = key == KeyMatch::value_missing;
        return REDACTED_TOKEN;
    }
    if (istarts_with(token, "http://") || istarts_with(token, "https://")) {
        return REDACTED_URL_TOKEN;
    }
    return token;
}

}  // namespace

std::string redact_line(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    redact_line_into(text, out);
    return out;
}

void redact_line_into(std::string_view text, std::string& out) {
    const std::size_t line_start = out.size();
    bool redact_next = false;
    std::size_t at = 0;
    while (at < text.size()) {
        const ByteClass cls = byte_class(text, at);
        if (cls == ByteClass::space) {
            ++at;
            continue;
        }
        if (cls == ByteClass::maybe_space) {
            if (const std::size_t skip = white_space_length(text, at); skip != 0) {
                at += skip;
                continue;
            }
        }
        const std::size_t token_start = at;
        at = token_end(text, at);
        if (out.size() != line_start) {
            out.push_back(' ');
        }
        out.append(redact_token(text.substr(token_start, at - token_start), redact_next));
    }
}

}  // namespace kavo
