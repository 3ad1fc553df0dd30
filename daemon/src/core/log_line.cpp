#include "core/log_line.h"

#include <cstdint>
#include <cstring>

#include "core/redact.h"
#include "platform/utf.h"

namespace kavo {

void truncate_with_marker(std::string& text) {
    text.resize(utf8_floor_boundary(text, TRUNCATED_TEXT_LEN));
    text.append(TRUNCATED_MARKER);
}

namespace {

std::string_view without_carriage_return(std::string_view bytes) {
    if (!bytes.empty() && bytes.back() == '\r') {
        bytes.remove_suffix(1);
    }
    return bytes;
}

bool is_ascii(std::string_view bytes) {
    // Eight bytes at a time: the high bit of any of them shows in the OR.
    std::uint64_t high = 0;
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + at, sizeof word);
        high |= word;
    }
    for (; at < bytes.size(); ++at) {
        high |= static_cast<unsigned char>(bytes[at]);
    }
    return (high & 0x8080808080808080u) == 0;
}

}  // namespace

std::string decode_raw_line(const RawLine& line) {
    const std::string_view bytes = without_carriage_return(line.bytes);
    // Most output is ASCII, which needs no decoding.
    std::string text = is_ascii(bytes) ? std::string(bytes) : utf8_lossy(bytes);
    if (line.truncated) {
        truncate_with_marker(text);
    }
    return text;
}

std::string redact_log_line(std::string_view text) {
    std::string redacted = redact_line(text);
    if (redacted.size() > MAX_RAW_LINE_LEN) {
        truncate_with_marker(redacted);
    }
    return redacted;
}

void CoreLogBatch::add_output_line(const RawLine& line) {
    const std::size_t start = text_.size();
    const std::string_view bytes = without_carriage_return(line.bytes);
    if (!line.truncated && is_ascii(bytes)) {
        // Decoding would copy the bytes unchanged; redact them in place.
        redact_line_into(bytes, text_);
    } else {
        redact_line_into(decode_raw_line(line), text_);
    }
    if (text_.size() - start > MAX_RAW_LINE_LEN) {
        const std::string_view redacted = std::string_view(text_).substr(start);
        text_.resize(start + utf8_floor_boundary(redacted, TRUNCATED_TEXT_LEN));
        text_.append(TRUNCATED_MARKER);
    }
    end_line();
}

void CoreLogBatch::add_text_line(std::string_view text) {
    text_.append(text);
    end_line();
}

void CoreLogBatch::end_line() {
    text_.push_back('\n');
    ends_.push_back(text_.size());
}

void CoreLogBatch::clear() {
    text_.clear();
    ends_.clear();
}

std::string_view CoreLogBatch::line(std::size_t i) const {
    const std::size_t start = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(start, ends_[i] - start);
}

}  // namespace kavo
