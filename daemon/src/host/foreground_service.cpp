#include "host/foreground_service.h"

#include <csignal>
#include <string>
#include <utility>

#include <asio/signal_set.hpp>
#include <asio/this_coro.hpp>

#include "host/service_threads.h"
#include "platform/diagnostics.h"

namespace kavo {

asio::awaitable<PipeServerEnd> serve_until_signalled(ServiceConfig config,
                                                     PipeServerOptions options) {
    auto channel = StopChannel::create();
    asio::signal_set signals(co_await asio::this_coro::executor, SIGINT, SIGTERM);
    // One signal is enough: the pipe server sees the message within a cycle.
    signals.async_wait([sender = channel.sender](const asio::error_code& error, int) {
        if (!error) {
            sender.send();
        }
    });
    const PipeServerEnd end = co_await run_pipe_server(std::move(channel.receiver),
                                                       std::move(config), std::move(options));
    signals.cancel();
    co_return end;
}

int run_foreground_service() {
    auto config = load_service_config();
    if (!config) {
        write_error_line(std::string(SERVICE_FAILED_PREFIX) + config.error());
        return 1;
    }
    auto threads = ServiceThreads::build();
    if (!threads) {
        write_error_line(std::string(SERVICE_FAILED_PREFIX) + threads.error());
        return 1;
    }
    PipeServerOptions options;
    options.pool = &(*threads)->blocking_pool();
    const PipeServerEnd end =
        (*threads)->run(serve_until_signalled(std::move(config).value(), std::move(options)));
    (*threads)->shutdown();
    return end == PipeServerEnd::stopped ? 0 : 1;
}

}  // namespace kavo
