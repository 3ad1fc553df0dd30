#include "platform/pipe_connect.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace kavo {

asio::awaitable<Result<PipeConnection, PipeConnectFailure>> connect_pipe(std::string name,
                                                                         PipeRetryPolicy policy) {
    const auto executor = co_await asio::this_coro::executor;
    const auto deadline = std::chrono::steady_clock::now() + policy.limit;
    asio::steady_timer pause(executor);
    std::uint32_t retries = 0;
    for (;;) {
        auto opened = open_pipe(executor, name);
        if (opened) {
            co_return PipeConnection{std::move(opened).value(), retries};
        }
        OsError error = std::move(opened).error();
        if (!pipe_instance_absent(error) ||
            std::chrono::steady_clock::now() + policy.pause > deadline) {
            co_return fail(PipeConnectFailure{std::move(error), retries});
        }
        pause.expires_after(policy.pause);
        co_await pause.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
        ++retries;
    }
}

}  // namespace kavo
