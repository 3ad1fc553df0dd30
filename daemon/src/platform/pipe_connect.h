// Platform seam: the client side of the service pipe. A server offers one
// instance at a time, so a client can arrive while none exists; the
// connecting loop retries for a bounded time in that case only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "platform/local_stream.h"
#include "platform/os_error.h"

namespace kavo {

struct PipeRetryPolicy {
    // No new attempt starts later than this after the first.
    std::chrono::milliseconds limit{5000};
    std::chrono::milliseconds pause{10};
};

struct PipeConnection {
    LocalStream stream;
    // Attempts that found no instance before the one that connected.
    std::uint32_t retries = 0;
};

struct PipeConnectFailure {
    // The error of the last attempt.
    OsError error;
    std::uint32_t retries = 0;
};

// One attempt to open the pipe `name`. On Windows the server may identify
// the client but not impersonate it.
OsResult<LocalStream> open_pipe(const asio::any_io_executor& executor, std::string_view name);

// Whether an open failed only because no instance was free to take it.
bool pipe_instance_absent(const OsError& error);

// Opens `name`, retrying while no instance is free, until `policy.limit`.
// Any other error ends the attempts at once.
asio::awaitable<Result<PipeConnection, PipeConnectFailure>> connect_pipe(
    std::string name, PipeRetryPolicy policy = {});

}  // namespace kavo
