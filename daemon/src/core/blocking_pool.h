// Core runtime, driven: threads for blocking work (waits for a terminated
// process, staging, hashing), so that such work never occupies the I/O
// worker threads and one stuck stop cannot stall other connections.
//
// Threads are started on demand up to a bound and end after a while without
// work, so an idle daemon keeps none. The pool must be joined before the
// io_context its results are posted to is destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <future>
#include <list>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

namespace kavo {

inline constexpr std::size_t MAX_BLOCKING_THREADS = 512;
inline constexpr std::chrono::seconds BLOCKING_THREAD_IDLE_LIMIT{10};

class BlockingPool {
  public:
    explicit BlockingPool(std::size_t max_threads = MAX_BLOCKING_THREADS,
                          std::chrono::milliseconds idle_limit = BLOCKING_THREAD_IDLE_LIMIT);
    ~BlockingPool();
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Runs `work` on a pool thread and resumes the caller on its own executor
    // with the result. Work queues when every thread is busy. Name a lambda
    // before awaiting this: gcc 12 destroys a closure that is a temporary
    // inside a co_await expression twice.
    template <class Work>
    asio::awaitable<std::invoke_result_t<Work>> run(Work work) {
        using Value = std::invoke_result_t<Work>;
        static_assert(!std::is_void_v<Value>, "return a value, e.g. a Result<void>");
        co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(Value)>(
            [this](auto handler, Work job) {
                // The caller's io_context keeps running until the result is
                // back, even with nothing else to do.
                auto executor = asio::get_associated_executor(handler);
                auto guard = asio::make_work_guard(executor);
                submit(std::packaged_task<void()>([handler = std::move(handler),
                                                   guard = std::move(guard),
                                                   job = std::move(job)]() mutable {
                    Value value = job();
                    auto target = guard.get_executor();
                    asio::post(target,
                               [handler = std::move(handler), value = std::move(value)]() mutable {
                                   std::move(handler)(std::move(value));
                               });
                    guard.reset();
                }));
            },
            asio::use_awaitable, std::move(work));
    }

    // Finishes the work already queued, then ends every thread. Work
    // submitted later is never run.
    void join();

    // Threads alive now (busy or idle), for tests and diagnostics.
    std::size_t thread_count() const;

  private:
    using ThreadList = std::list<std::thread>;

    void submit(std::packaged_task<void()> task);
    void worker(ThreadList::iterator self);

    const std::size_t max_threads_;
    const std::chrono::milliseconds idle_limit_;
    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::deque<std::packaged_task<void()>> queue_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
    // One entry per live thread; a thread that ends for lack of work removes
    // and detaches its own entry, join() joins the rest.
    ThreadList threads_list_;
};

}  // namespace kavo
