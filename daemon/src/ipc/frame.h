// IPC protocol, pure: frame decisions. A frame is a 4-byte little-endian body
// length followed by the body; bodies are 1 to MAX_FRAME_LEN bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kavo {

inline constexpr std::uint32_t MAX_FRAME_LEN = 65536;
inline constexpr std::size_t FRAME_PREFIX_LEN = 4;

using FramePrefix = std::array<std::uint8_t, FRAME_PREFIX_LEN>;

FramePrefix encode_frame_length(std::uint32_t length);
std::uint32_t decode_frame_length(const FramePrefix& prefix);
// An inbound length of 0 is as invalid as one above the maximum.
bool is_valid_frame_length(std::uint64_t length);

// Incremental view of buffered input: what the bytes seen so far amount to.
enum class FrameScan {
    need_more,
    complete,
    invalid_length,
};

struct FrameScanResult {
    FrameScan state = FrameScan::need_more;
    // The body length once the prefix is complete.
    std::uint32_t body_length = 0;
    // Prefix plus body, for a complete frame.
    std::size_t frame_size = 0;
};

FrameScanResult scan_frame(std::span<const std::uint8_t> buffered);

}  // namespace kavo
