// An in-process service for tests: cycle after cycle it offers one instance
// of a pipe and serves every client that connects with the real exchange and
// a fixed answer, on threads of its own, until it is destroyed.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipc/records.h"
#include "platform/os_error.h"
#include "platform/secret.h"

namespace kavo::testing {

// A pipe name no other test uses: names are machine-wide on Windows.
std::string unique_pipe_name();

class TestPipeServer {
  public:
    TestPipeServer(std::string name, SecretBytes secret, IpcResponse answer, int threads = 2);
    // Stops offering instances and waits for the exchanges in progress.
    ~TestPipeServer();
    TestPipeServer(const TestPipeServer&) = delete;
    TestPipeServer& operator=(const TestPipeServer&) = delete;

    const std::string& name() const { return name_; }
    // The requests the handler was asked, in order.
    std::vector<IpcRequest> requests() const;
    // Why the server stopped offering instances, if it did.
    std::optional<OsError> create_error() const;

  private:
    asio::awaitable<void> serve();

    std::string name_;
    SecretBytes secret_;
    IpcResponse answer_;
    asio::io_context io_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<IpcRequest> requests_;
    std::optional<OsError> create_error_;
    std::vector<std::thread> threads_;
};

}  // namespace kavo::testing
