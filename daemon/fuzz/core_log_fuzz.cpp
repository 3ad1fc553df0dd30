// Line assembly and redaction of the core log over arbitrary pipe bytes with
// credentials planted in them: no planted value survives, no line is longer
// than the limit or holds a line feed, the text is always valid UTF-8, and
// the lines do not depend on how the bytes were split into reads.
//
// Input: one byte for the read size, one flag byte (which may ask for a line
// beyond the limit), two bytes that seed the planted value, then the text. In the text the byte
// 0x01 plants a credential (the byte after it picks its form) and '#' is replaced, so that
// '#' reaches the output only through a planted value.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/log_line.h"
#include "platform/utf.h"

namespace {

constexpr char PLANT = '\x01';
constexpr char MARKER_EDGE = '#';
// A line beyond the limit only when asked for: it costs a thousand times a
// short one.
constexpr std::uint8_t LONG_LINE_FLAG = 0xA5;
constexpr std::size_t LONG_LINE_FILLER = 65400;

constexpr std::array<std::string_view, 6> KEYS = {
    "token", "authorization", "password", "secret", "subscription_url", "subscription-url",
};
// Unicode white space, without the line feed that would end the line.
constexpr std::array<std::string_view, 9> WHITE = {
    " ", "\t", "\r", "\x0B", "\x0C", "\xC2\xA0", "\xC2\x85", "\xE2\x80\x8A", "\xE3\x80\x80",
};
constexpr std::string_view OPENERS = "[{(\"'";
constexpr std::string_view QUOTES = "\"'";
constexpr std::string_view CLOSERS = "]}),\"'";
constexpr std::string_view VALUE_CHARS =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./+=:~";

// A small generator, so that one parameter byte gives a whole variant.
class Picks {
  public:
    explicit Picks(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
    std::uint32_t next(std::uint32_t bound) {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return bound == 0 ? 0 : state_ % bound;
    }
    char from(std::string_view set) { return set[next(static_cast<std::uint32_t>(set.size()))]; }
    std::string_view white() { return WHITE[next(WHITE.size())]; }
    void some(std::string& out, std::string_view set, std::uint32_t most) {
        for (std::uint32_t n = next(most + 1); n > 0; --n) {
            out.push_back(from(set));
        }
    }
    // `word` with each ASCII letter in a random case.
    void mixed_case(std::string& out, std::string_view word) {
        for (const char c : word) {
            const bool upper = c >= 'a' && c <= 'z' && next(2) == 1;
            out.push_back(upper ? static_cast<char>(c - 'a' + 'A') : c);
        }
    }

  private:
    std::uint32_t state_;
};

std::string make_marker(std::uint16_t seed) {
    Picks picks(0x10000u + seed);
    std::string marker(1, MARKER_EDGE);
    for (std::uint32_t n = 1 + picks.next(12); n > 0; --n) {
        marker.push_back(picks.from(VALUE_CHARS));
    }
    marker.push_back(MARKER_EDGE);
    return marker;
}

// A credential in one of the positions that redaction must cover. It starts
// with a throw-away token, so that a key or "bearer" left just before it
// takes that token as its value and the plant starts afresh.
void plant(std::string& out, std::uint8_t form, std::uint32_t count, const std::string& marker) {
    Picks picks((static_cast<std::uint32_t>(form) << 16) ^ count);
    out += " x ";
    const auto key_part = [&] {
        picks.some(out, OPENERS, 2);
        picks.mixed_case(out, KEYS[picks.next(KEYS.size())]);
        picks.some(out, QUOTES, 2);
        out.push_back(picks.next(2) == 0 ? '=' : ':');
    };
    const auto bearer = [&] { picks.mixed_case(out, "bearer"); };
    switch (form % 7) {
        case 0:  // the value in the key's token
            key_part();
            picks.some(out, VALUE_CHARS, 3);
            out += marker;
            picks.some(out, CLOSERS, 2);
            break;
        case 1:  // the separator ends the token, the value follows
            key_part();
            out += picks.white();
            out += marker;
            break;
        case 2:  // an empty quoted value, the next token is the credential
            key_part();
            picks.some(out, QUOTES, 2);
            picks.some(out, CLOSERS, 2);
            out += picks.white();
            out += marker;
            break;
        case 3:  // key=bearer, then the credential
            key_part();
            bearer();
            picks.some(out, CLOSERS, 2);
            out += picks.white();
            out += marker;
            break;
        case 4:  // "Authorization: Bearer <credential>", bearer maybe quoted
            key_part();
            out += picks.white();
            picks.some(out, QUOTES, 1);
            bearer();
            picks.some(out, QUOTES, 1);
            out += picks.white();
            out += marker;
            break;
        case 5:  // bearer alone
            bearer();
            out += picks.white();
            out += marker;
            break;
        default:  // something:bearer
            picks.some(out, VALUE_CHARS, 4);
            out.push_back(':');
            bearer();
            out += picks.white();
            out += marker;
            break;
    }
}

std::string build_stream(std::string_view script, const std::string& marker) {
    std::string out;
    std::uint32_t count = 0;
    for (std::size_t at = 0; at < script.size(); ++at) {
        const char c = script[at];
        if (c == PLANT) {
            const auto form = at + 1 < script.size() ? static_cast<std::uint8_t>(script[++at]) : 0;
            plant(out, form, count++, marker);
        } else {
            out.push_back(c == MARKER_EDGE ? '%' : c);
        }
    }
    return out;
}

std::string logged(const kavo::RawLine& line) {
    if (line.bytes.size() > kavo::MAX_RAW_LINE_LEN) {
        std::abort();
    }
    std::string text = kavo::redact_log_line(kavo::decode_raw_line(line));
    // The writer's batch takes a shortcut for ASCII; it must agree.
    kavo::CoreLogBatch batch;
    batch.add_output_line(line);
    if (batch.size() != 1 || batch.text().size() != text.size() + 1 ||
        batch.text().compare(0, text.size(), text) != 0 || batch.text().back() != '\n') {
        std::abort();
    }
    if (text.size() > kavo::MAX_LOG_LINE_LEN || !kavo::is_valid_utf8(text) ||
        text.find('\n') != std::string::npos || text.find(MARKER_EDGE) != std::string::npos) {
        std::abort();
    }
    return text;
}

std::vector<std::string> log_lines(std::string_view stream, std::size_t chunk) {
    std::vector<std::string> lines;
    kavo::LineAssembler assembler;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        assembler.feed(stream.substr(at, chunk),
                       [&](const kavo::RawLine& line) { lines.push_back(logged(line)); });
    }
    if (const auto tail = assembler.finish()) {
        lines.push_back(logged(*tail));
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    const bool long_line = data[1] == LONG_LINE_FLAG;
    // Short reads split lines in many ways; a long line is read in longer
    // pieces, up to a whole pipe read.
    const std::size_t chunk = (1 + std::size_t{data[0]}) * (long_line ? 32 : 1);
    const std::string marker = make_marker(static_cast<std::uint16_t>(data[2] << 8 | data[3]));
    const std::string_view script(reinterpret_cast<const char*>(data + 4), size - 4);

    std::string stream;
    if (long_line) {
        // One run of filler puts the start of the text around the cuts at
        // 65,525 and 65,536 bytes; the filler is the same in every long input,
        // so it adds no coverage of its own.
        stream.assign(LONG_LINE_FILLER + data[0], 'a');
    }
    stream += build_stream(script, marker);
    if (log_lines(stream, chunk) != log_lines(stream, stream.size() + 1)) {
        std::abort();
    }
    return 0;
}
