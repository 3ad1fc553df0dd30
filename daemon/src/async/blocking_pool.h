// Core runtime, driven: threads for blocking work (waits for a terminated
// process, staging, hashing), so that such work never occupies the I/O
// worker threads and one stuck stop cannot stall other connections.
//
// Threads are started on demand up to a bound and end after a while without
// work, so an idle daemon keeps none. Every piece of work ends in a result
// for its awaiter: its value, or an error when it threw or the pool had
// stopped. Once joined, the pool holds nothing of any io_context, so it may
// outlive the io_contexts its results were posted to, or be destroyed
// before them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/result.h"

namespace kavo {

inline constexpr std::size_t MAX_BLOCKING_THREADS = 512;
inline constexpr std::chrono::seconds BLOCKING_THREAD_IDLE_LIMIT{10};

// The errors a piece of work ends with when it did not return. The first is
// followed by what the exception said.
inline constexpr std::string_view BLOCKING_WORK_FAILED = "Failed to carry out blocking work: ";
inline constexpr std::string_view BLOCKING_WORK_UNKNOWN_EXCEPTION = "an unknown exception";
inline constexpr std::string_view BLOCKING_POOL_STOPPED = "The blocking pool has stopped";

namespace blocking_detail {

template <class Value>
struct Outcome {
    using type = Result<Value>;
};
template <>
struct Outcome<void> {
    using type = Result<void>;
};
// Work that returns a Result already keeps it: its own error and the pool's
// share the one error text.
template <class Value>
struct Outcome<Result<Value>> {
    using type = Result<Value>;
};

// One queued piece of work; exactly one of the two is called.
class Task {
  public:
    virtual ~Task() = default;
    // On a pool thread: does the work and hands its outcome over.
    virtual void run() noexcept = 0;
    // On the submitting thread, once the pool has stopped: the work is not
    // done.
    virtual void refuse() noexcept = 0;
};

}  // namespace blocking_detail

// What awaiting `Work` on the pool yields: its value or an error text.
template <class Work>
using BlockingResult = typename blocking_detail::Outcome<std::invoke_result_t<Work&>>::type;

class BlockingPool {
  public:
    explicit BlockingPool(std::size_t max_threads = MAX_BLOCKING_THREADS,
                          std::chrono::milliseconds idle_limit = BLOCKING_THREAD_IDLE_LIMIT);
    ~BlockingPool();
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Runs `work` on a pool thread and resumes the caller on its own executor
    // with the result, or with an error when the work threw (BLOCKING_WORK_FAILED
    // and what it said) or the pool had stopped (BLOCKING_POOL_STOPPED).
    // Whatever the work holds is destroyed on the pool thread before the
    // caller resumes. Work queues when every thread is busy. Name a lambda
    // before awaiting this: gcc 12 destroys a closure that is a temporary
    // inside a co_await expression twice.
    template <class Work>
    asio::awaitable<BlockingResult<Work>> run(Work work) {
        using Outcome = BlockingResult<Work>;
        co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(Outcome)>(
            [this](auto handler, Work job) {
                using Handler = decltype(handler);
                submit(
                    std::make_unique<WorkTask<Work, Handler>>(std::move(job), std::move(handler)));
            },
            asio::use_awaitable, std::move(work));
    }

    // Destroys `value` on a pool thread, for things whose end blocks (a
    // core that is terminated and waited for) and whose owner may go on an
    // I/O thread. Once the pool has stopped, no I/O thread is left to keep
    // free, and the value goes at once on the caller's thread.
    template <class T>
    void dispose(T value) {
        submit(std::make_unique<DisposeTask<T>>(std::move(value)));
    }

    // Finishes the work already queued, then ends every thread. Work
    // submitted later is refused (run) or done on the caller's thread
    // (dispose).
    void join();

    // Threads alive now (busy or idle), for tests and diagnostics.
    std::size_t thread_count() const;

  private:
    using TaskPtr = std::unique_ptr<blocking_detail::Task>;
    using ThreadList = std::list<std::thread>;

    template <class Work, class Handler>
    class WorkTask final : public blocking_detail::Task {
      public:
        using Outcome = BlockingResult<Work>;

        WorkTask(Work work, Handler handler)
            : work_(std::move(work)),
              handler_(std::move(handler)),
              // The caller's io_context keeps running until the result is
              // back, even with nothing else to do.
              guard_(asio::make_work_guard(asio::get_associated_executor(handler_))) {}

        void run() noexcept override { finish(invoke()); }
        void refuse() noexcept override {
            finish(Outcome(fail(std::string(BLOCKING_POOL_STOPPED))));
        }

      private:
        Outcome invoke() noexcept {
            try {
                if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
                    std::invoke(*work_);
                    return Outcome(ok());
                } else {
                    return Outcome(std::invoke(*work_));
                }
            } catch (const std::exception& error) {
                return Outcome(fail(std::string(BLOCKING_WORK_FAILED) + error.what()));
            } catch (...) {
                return Outcome(fail(std::string(BLOCKING_WORK_FAILED) +
                                    std::string(BLOCKING_WORK_UNKNOWN_EXCEPTION)));
            }
        }

        void finish(Outcome outcome) noexcept {
            // What the work captured goes here, before its awaiter resumes
            // and perhaps relies on its end.
            work_.reset();
            auto target = guard_.get_executor();
            asio::post(target,
                       [handler = std::move(handler_), outcome = std::move(outcome)]() mutable {
                           std::move(handler)(std::move(outcome));
                       });
            guard_.reset();
        }

        std::optional<Work> work_;
        Handler handler_;
        asio::executor_work_guard<asio::associated_executor_t<Handler>> guard_;
    };

    template <class T>
    class DisposeTask final : public blocking_detail::Task {
      public:
        explicit DisposeTask(T value) : value_(std::move(value)) {}
        void run() noexcept override { value_.reset(); }
        void refuse() noexcept override { value_.reset(); }

      private:
        std::optional<T> value_;
    };

    void submit(TaskPtr task);
    void worker(ThreadList::iterator self);

    const std::size_t max_threads_;
    const std::chrono::milliseconds idle_limit_;
    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::deque<TaskPtr> queue_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
    // One entry per live thread; a thread that ends for lack of work removes
    // and detaches its own entry, join() joins the rest.
    ThreadList threads_list_;
};

}  // namespace kavo
