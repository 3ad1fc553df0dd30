#include "ipc/frame.h"

namespace kavo {

FramePrefix encode_frame_length(std::uint32_t length) {
    return {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

std::uint32_t decode_frame_length(const FramePrefix& prefix) {
    return static_cast<std::uint32_t>(prefix[0]) | static_cast<std::uint32_t>(prefix[1]) << 8 |
           static_cast<std::uint32_t>(prefix[2]) << 16 |
           static_cast<std::uint32_t>(prefix[3]) << 24;
}

bool is_valid_frame_length(std::uint64_t length) {
    return length >= 1 && length <= MAX_FRAME_LEN;
}

FrameScanResult scan_frame(std::span<const std::uint8_t> buffered) {
    if (buffered.size() < FRAME_PREFIX_LEN) {
        return {};
    }
    FramePrefix prefix;
    for (std::size_t i = 0; i < FRAME_PREFIX_LEN; ++i) {
        prefix[i] = buffered[i];
    }
    const std::uint32_t length = decode_frame_length(prefix);
    if (!is_valid_frame_length(length)) {
        return {FrameScan::invalid_length, length, 0};
    }
    const std::size_t frame_size = FRAME_PREFIX_LEN + length;
    if (buffered.size() < frame_size) {
        return {FrameScan::need_more, length, 0};
    }
    return {FrameScan::complete, length, frame_size};
}

}  // namespace kavo
