#include "core/log_line.h"

#include "core/redact.h"
#include "platform/utf.h"

namespace kavo {

void truncate_with_marker(std::string& text) {
    text.resize(utf8_floor_boundary(text, TRUNCATED_TEXT_LEN));
    text.append(TRUNCATED_MARKER);
}

std::string decode_raw_line(const RawLine& line) {
    std::string_view bytes = line.bytes;
    if (!bytes.empty() && bytes.back() == '\r') {
        bytes.remove_suffix(1);
    }
    // Most output is ASCII, which needs no decoding.
    bool ascii = true;
    for (const char c : bytes) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    std::string text = ascii ? std::string(bytes) : utf8_lossy(bytes);
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

}  // namespace kavo
