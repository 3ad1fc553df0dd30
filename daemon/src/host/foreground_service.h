// Service host: the daemon as a foreground process, the service mode of the
// Linux backend. The configuration comes from the command line as for the
// service; SIGTERM or SIGINT becomes one stop message for the pipe server.
#pragma once

#include <string_view>

#include <asio/awaitable.hpp>

#include "host/pipe_server.h"
#include "host/service_lifecycle.h"

namespace kavo {

// Runs the pipe server with a stop channel fed by SIGTERM and SIGINT; why it
// ended.
asio::awaitable<PipeServerEnd> serve_until_signalled(ServiceConfig config,
                                                     PipeServerOptions options);

// Loads the configuration, builds the runtime and serves until a signal asks
// to stop: 0 once the pipe server has stopped, 1 with one "KAVO service
// failed: " line when the configuration or the runtime cannot be had, and 1
// after the pipe server's own line when its start-up check or its first pipe
// instance failed.
int run_foreground_service();

}  // namespace kavo
