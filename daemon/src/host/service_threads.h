// The service's threads: one io_context run by one worker thread per
// logical processor, and the pool of threads for blocking work.
// The service entry runs the pipe server on it and blocks until that ends;
// connection tasks still running at shutdown are abandoned.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "async/blocking_pool.h"
#include "platform/result.h"

namespace kavo {

inline constexpr std::string_view RUNTIME_BUILD_FAILED = "Failed to build the service runtime: ";

// One per logical processor, at least one.
std::size_t default_worker_count();

class ServiceThreads {
  public:
    // Starts the worker threads; fails when the system refuses a thread.
    static Result<std::unique_ptr<ServiceThreads>> build(
        std::size_t workers = default_worker_count(),
        std::size_t max_blocking_threads = MAX_BLOCKING_THREADS);

    // Shuts down if shutdown() was not called.
    ~ServiceThreads();
    ServiceThreads(const ServiceThreads&) = delete;
    ServiceThreads& operator=(const ServiceThreads&) = delete;

    BlockingPool& blocking_pool() { return *pool_; }

    // Runs `task` on the workers; the calling thread blocks until it has
    // completed and gets its value. An exception that escapes the task is
    // rethrown here.
    template <class T>
    T run(asio::awaitable<T> task) {
        std::optional<T> value;
        run_to_completion(store(std::move(task), value));
        return std::move(*value);
    }
    void run(asio::awaitable<void> task) { run_to_completion(std::move(task)); }

    // In this order: stops the io_context and joins its threads, joins the
    // blocking pool, destroys the io_context with whatever tasks it still
    // holds, then the pool. Idempotent; the threads are of no further use
    // afterwards.
    void shutdown();

  private:
    explicit ServiceThreads(std::size_t max_blocking_threads);

    template <class T>
    static asio::awaitable<void> store(asio::awaitable<T> task, std::optional<T>& out) {
        out.emplace(co_await std::move(task));
    }
    void run_to_completion(asio::awaitable<void> task);

    std::unique_ptr<asio::io_context> io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keep_running_;
    std::vector<std::thread> workers_;
    // Joined before the io_context goes, destroyed after it: a joined pool
    // keeps nothing of the io_context, and the tasks destroyed with the
    // io_context may still hand it what they held.
    std::unique_ptr<BlockingPool> pool_;
};

}  // namespace kavo
