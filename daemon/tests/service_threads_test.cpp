// The service runtime: the caller blocks until its task completes, the work
// runs on the workers and the blocking pool, and shutdown joins everything
// and abandons what is still running.
#include "host/service_threads.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

namespace kavo {
namespace {

using std::chrono::milliseconds;

// Only keeps a broken test from hanging.
constexpr milliseconds TEST_DEADLINE{20000};

std::unique_ptr<ServiceThreads> build_threads(std::size_t workers) {
    auto runtime = ServiceThreads::build(workers);
    EXPECT_TRUE(runtime) << (runtime ? "" : runtime.error());
    return runtime ? std::move(runtime).value() : nullptr;
}

TEST(ServiceThreadsTest, CallerGetsTheTasksValueOnceItCompletes) {
    auto runtime = build_threads(2);
    ASSERT_TRUE(runtime);
    const auto caller = std::this_thread::get_id();
    BlockingPool& pool = runtime->blocking_pool();
    struct Seen {
        std::thread::id task;
        std::thread::id blocking;
        int value = 0;
    };
    const Seen seen = runtime->run([&]() -> asio::awaitable<Seen> {
        asio::steady_timer timer(co_await asio::this_coro::executor, milliseconds(20));
        co_await timer.async_wait(asio::use_awaitable);
        Seen result;
        result.task = std::this_thread::get_id();
        auto which = [] { return std::this_thread::get_id(); };
        const auto blocking = co_await pool.run(std::move(which));
        if (blocking) {
            result.blocking = *blocking;
        }
        result.value = 42;
        co_return result;
    }());
    EXPECT_EQ(seen.value, 42);
    EXPECT_NE(seen.task, caller);
    EXPECT_NE(seen.blocking, caller);
    EXPECT_NE(seen.blocking, seen.task);
}

TEST(ServiceThreadsTest, WorkersRunAtTheSameTime) {
    auto runtime = build_threads(2);
    ASSERT_TRUE(runtime);
    // Each handler holds its worker until it has seen the other one arrive,
    // which only two threads running at once can do.
    std::atomic<int> arrived{0};
    std::atomic<int> met{0};
    auto rendezvous = [&] {
        ++arrived;
        const auto deadline = std::chrono::steady_clock::now() + TEST_DEADLINE;
        while (arrived < 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (arrived == 2) {
            ++met;
        }
    };
    runtime->run([&]() -> asio::awaitable<void> {
        auto executor = co_await asio::this_coro::executor;
        asio::post(executor, rendezvous);
        asio::post(executor, rendezvous);
        asio::steady_timer poll(executor);
        const auto deadline = std::chrono::steady_clock::now() + TEST_DEADLINE;
        while (met < 2 && std::chrono::steady_clock::now() < deadline) {
            poll.expires_after(milliseconds(5));
            co_await poll.async_wait(asio::use_awaitable);
        }
    }());
    EXPECT_EQ(met, 2);
}

// Sets its flag when destroyed, wherever the coroutine that holds it stood.
struct DestroyedFlag {
    std::shared_ptr<std::atomic<bool>> flag;
    ~DestroyedFlag() { *flag = true; }
};

using Flag = std::shared_ptr<std::atomic<bool>>;

// A connection task that would wait for an hour.
asio::awaitable<void> wait_an_hour(Flag abandoned) {
    DestroyedFlag guard{std::move(abandoned)};
    asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::hours(1));
    co_await timer.async_wait(asio::use_awaitable);
}

// A task in the middle of blocking work. The work is a named closure: gcc 12
// destroys a closure temporary of a co_await expression twice when the
// suspended coroutine is destroyed, as an abandoned task is.
asio::awaitable<void> block_for_a_while(BlockingPool& pool, Flag started, Flag done) {
    auto work = [started, done] {
        *started = true;
        std::this_thread::sleep_for(milliseconds(200));
        *done = true;
        return 0;
    };
    static_cast<void>(co_await pool.run(std::move(work)));
}

TEST(ServiceThreadsTest, ShutdownJoinsTheBlockingPoolAndAbandonsRunningTasks) {
    auto runtime = build_threads(2);
    ASSERT_TRUE(runtime);
    auto abandoned = std::make_shared<std::atomic<bool>>(false);
    auto blocking_done = std::make_shared<std::atomic<bool>>(false);
    auto blocking_started = std::make_shared<std::atomic<bool>>(false);
    BlockingPool& pool = runtime->blocking_pool();
    runtime->run([&]() -> asio::awaitable<void> {
        auto executor = co_await asio::this_coro::executor;
        asio::co_spawn(executor, wait_an_hour(abandoned), asio::detached);
        asio::co_spawn(executor, block_for_a_while(pool, blocking_started, blocking_done),
                       asio::detached);
        asio::steady_timer poll(executor);
        const auto deadline = std::chrono::steady_clock::now() + TEST_DEADLINE;
        while (!*blocking_started && std::chrono::steady_clock::now() < deadline) {
            poll.expires_after(milliseconds(5));
            co_await poll.async_wait(asio::use_awaitable);
        }
    }());
    ASSERT_TRUE(*blocking_started);
    EXPECT_FALSE(*abandoned);
    runtime->shutdown();
    EXPECT_TRUE(*blocking_done);
    EXPECT_TRUE(*abandoned);
    // A second shutdown, and the destructor's, find nothing left to do.
    runtime->shutdown();
}

TEST(ServiceThreadsTest, ExceptionFromTheTaskReachesTheCaller) {
    auto runtime = build_threads(1);
    ASSERT_TRUE(runtime);
    EXPECT_THROW(runtime->run([]() -> asio::awaitable<int> {
        throw std::runtime_error("task failed");
        co_return 0;
    }()),
                 std::runtime_error);
    // The runtime is still usable afterwards.
    EXPECT_EQ(runtime->run([]() -> asio::awaitable<int> { co_return 7; }()), 7);
}

}  // namespace
}  // namespace kavo
