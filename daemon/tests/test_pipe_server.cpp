#include "test_pipe_server.h"

#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "ipc/exchange.h"
#include "platform/hex.h"
#include "platform/pipe_listener.h"
#include "platform/random.h"
#include "service/service_pipe.h"

namespace kavo::testing {

std::string unique_pipe_name() {
    std::array<std::uint8_t, 12> random{};
    if (!fill_random(random)) {
        return "\\\\.\\pipe\\kavo-test-no-random";
    }
    return "\\\\.\\pipe\\kavo-test-" + hex_lower(random);
}

TestPipeServer::TestPipeServer(std::string name, SecretBytes secret, IpcResponse answer,
                               int threads)
    : name_(std::move(name)), secret_(std::move(secret)), answer_(std::move(answer)) {
    asio::co_spawn(io_, serve(), asio::detached);
    for (int i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { io_.run(); });
    }
}

TestPipeServer::~TestPipeServer() {
    stopping_ = true;
    for (auto& thread : threads_) {
        thread.join();
    }
}

std::vector<IpcRequest> TestPipeServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::optional<OsError> TestPipeServer::create_error() const {
    std::lock_guard lock(mutex_);
    return create_error_;
}

asio::awaitable<void> TestPipeServer::serve() {
    PipeEndpoint endpoint(io_.get_executor(), name_);
    const RequestHandler handler = [this](IpcRequest request) -> asio::awaitable<IpcResponse> {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
        co_return answer_;
    };
    // As the service does: one instance listens, and the next one exists
    // before a client that took the last one is served.
    auto create = [&]() -> std::optional<PipeInstance> {
        auto instance = endpoint.create_instance();
        if (!instance) {
            std::lock_guard lock(mutex_);
            create_error_ = std::move(instance).error();
            return std::nullopt;
        }
        return std::move(instance).value();
    };
    std::optional<PipeInstance> listening = create();
    while (!stopping_ && listening) {
        auto outcome = co_await wait_for_client(*listening, ACCEPT_POLL_INTERVAL);
        if (auto* stream = std::get_if<LocalStream>(&outcome)) {
            listening = create();
            asio::co_spawn(io_, serve_exchange(std::move(*stream), secret_, handler),
                           asio::detached);
        }
    }
}

}  // namespace kavo::testing
