// IPC protocol, driven: frames on a local stream. Reads are bounded in time,
// writes are not. Both take the stream and the body by reference, so they
// are for callers that await them; a task that is not awaited owns its
// stream and calls these from its own frame.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "platform/local_stream.h"
#include "platform/result.h"

namespace kavo {

// Each of the two reads of a frame (prefix, then body) gets this long.
inline constexpr std::chrono::milliseconds FRAME_READ_TIMEOUT{2000};

enum class FrameReadError {
    timed_out,
    end_of_stream,
    io_error,
    invalid_length,
};

inline constexpr std::string_view FRAME_TOO_LONG_ERROR =
    "The frame body is longer than 65536 bytes";
inline constexpr std::string_view ZERO_BYTE_WRITE_ERROR = "The pipe accepted no bytes";
inline constexpr std::string_view WRITE_ERROR_PREFIX = "Failed to write to the pipe: ";

// The 4-byte length within `limit`, then a zero-filled body of that length
// within a fresh `limit` counted from the length's arrival. An invalid length
// is refused before any of the body is read.
asio::awaitable<Result<std::string, FrameReadError>> read_frame(
    LocalStream& stream, std::chrono::milliseconds limit = FRAME_READ_TIMEOUT);

// The length and the body, resuming after partial writes; a write that
// accepts nothing is an error rather than a reason to spin.
asio::awaitable<Result<void>> write_frame(LocalStream& stream, std::string_view body);

}  // namespace kavo
