// Line assembly and redaction of the core log over arbitrary pipe bytes: no
// line longer than the limit, always valid UTF-8, no crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/log_line.h"
#include "platform/utf.h"

namespace {

void check(const kavo::RawLine& line) {
    if (line.bytes.size() > kavo::MAX_RAW_LINE_LEN) {
        std::abort();
    }
    const std::string text = kavo::redact_log_line(kavo::decode_raw_line(line));
    if (text.size() > kavo::MAX_RAW_LINE_LEN || !kavo::is_valid_utf8(text)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the read size, so lines cross reads in many ways;
    // a small line limit is reached by repeating the input.
    const std::size_t chunk = 1 + data[0];
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const int repeats = (data[0] & 0x80) ? 1 + static_cast<int>(70000 / (input.size() + 1)) : 1;
    kavo::LineAssembler assembler;
    for (int r = 0; r < repeats; ++r) {
        for (std::size_t at = 0; at < input.size(); at += chunk) {
            assembler.feed(input.substr(at, chunk), check);
        }
    }
    if (const auto tail = assembler.finish()) {
        check(*tail);
    }
    return 0;
}
