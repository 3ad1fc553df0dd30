// Platform seam: the local byte stream that one pipe connection runs on (a
// named pipe instance on Windows, a Unix stream socket on Linux), driven by
// Asio on the completion port or the reactor.
#pragma once

#include <asio/any_io_executor.hpp>

#if defined(_WIN32)
#include <asio/windows/stream_handle.hpp>
#else
#include <asio/local/stream_protocol.hpp>
#endif

#include <string>

#include "platform/result.h"

namespace kavo {

#if defined(_WIN32)
using LocalStream = asio::windows::stream_handle;
#else
using LocalStream = asio::local::stream_protocol::socket;
#endif

struct LocalStreamPair {
    // The end that plays the service: a named pipe server instance on Windows.
    LocalStream server;
    // The end that plays the client.
    LocalStream client;
};

inline constexpr std::string_view LOCAL_STREAM_PAIR_ERROR_PREFIX =
    "Failed to create a local stream pair: ";

// Two connected ends of a real OS stream, for tests and for a client that
// talks to an in-process service. On Windows this is a uniquely named pipe.
Result<LocalStreamPair> make_local_stream_pair(const asio::any_io_executor& executor);

}  // namespace kavo
