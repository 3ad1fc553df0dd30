// The slot's asynchronous mutex and the pool for blocking work, on real
// io_contexts with one and with several threads.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/async_mutex.h"
#include "core/blocking_pool.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

// Runs `io` on `threads` threads until it has no more work.
void run_on_threads(asio::io_context& io, unsigned threads) {
    std::vector<std::thread> runners;
    for (unsigned i = 1; i < threads; ++i) {
        runners.emplace_back([&io] { io.run(); });
    }
    io.run();
    for (auto& runner : runners) {
        runner.join();
    }
}

// Polls `condition` for up to `limit`; the limit only keeps a broken build
// from hanging.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class AsyncMutexTest : public ::testing::TestWithParam<unsigned> {};

INSTANTIATE_TEST_SUITE_P(Threads, AsyncMutexTest, ::testing::Values(1u, 4u));

// Waiters queue in a known order while the lock is held from outside; each
// then holds the lock across a suspension. They must get it exactly in the
// order they asked, one at a time.
TEST_P(AsyncMutexTest, HandsTheLockOverInArrivalOrder) {
    constexpr int WAITERS = 64;
    asio::io_context io;
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    ASSERT_TRUE(held.has_value());

    std::mutex order_mutex;
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    for (int i = 0; i < WAITERS; ++i) {
        asio::co_spawn(
            io,
            [&, i]() -> asio::awaitable<void> {
                auto guard = co_await mutex.lock();
                if (inside.fetch_add(1) != 0) {
                    ++overlaps;
                }
                {
                    std::lock_guard lock(order_mutex);
                    order.push_back(i);
                }
                // Hold the lock across a real suspension.
                asio::steady_timer pause(co_await asio::this_coro::executor, 1ms);
                co_await pause.async_wait(asio::use_awaitable);
                inside.fetch_sub(1);
            },
            asio::detached);
        // One at a time into the queue, so the arrival order is known.
        while (mutex.waiting() < static_cast<std::size_t>(i + 1)) {
            io.run_one();
        }
    }
    // A newcomer may not overtake the queue, even at the moment of release.
    EXPECT_FALSE(mutex.try_lock().has_value());
    held->unlock();
    EXPECT_FALSE(mutex.try_lock().has_value());

    run_on_threads(io, GetParam());
    ASSERT_EQ(order.size(), static_cast<std::size_t>(WAITERS));
    for (int i = 0; i < WAITERS; ++i) {
        EXPECT_EQ(order[i], i);
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_TRUE(mutex.try_lock().has_value());
}

// A holder that suspends keeps the lock: the contender only gets it after the
// holder's suspension ended and it let go.
TEST_P(AsyncMutexTest, AHolderThatSuspendsKeepsIt) {
    asio::io_context io;
    AsyncMutex mutex;
    std::mutex events_mutex;
    std::vector<std::string> events;
    auto record = [&](std::string event) {
        std::lock_guard lock(events_mutex);
        events.push_back(std::move(event));
    };
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            auto guard = co_await mutex.lock();
            record("holder locked");
            asio::steady_timer pause(co_await asio::this_coro::executor, 50ms);
            co_await pause.async_wait(asio::use_awaitable);
            record("holder unlocks");
        },
        asio::detached);
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            // Let the holder go first.
            asio::steady_timer pause(co_await asio::this_coro::executor, 5ms);
            co_await pause.async_wait(asio::use_awaitable);
            record("contender waits");
            auto guard = co_await mutex.lock();
            record("contender locked");
        },
        asio::detached);
    run_on_threads(io, GetParam());
    const std::vector<std::string> expected = {"holder locked", "contender waits", "holder unlocks",
                                               "contender locked"};
    EXPECT_EQ(events, expected);
}

// A waiter whose runtime goes away leaves the queue; one that had just been
// handed the lock passes it on. Either way the lock is free afterwards.
TEST(AsyncMutexLifetimeTest, AbandonedWaitersDoNotKeepTheLock) {
    for (const bool handed_over : {false, true}) {
        AsyncMutex mutex;
        auto held = mutex.try_lock();
        ASSERT_TRUE(held.has_value());
        {
            asio::io_context io;
            bool acquired = false;
            asio::co_spawn(
                io,
                [&]() -> asio::awaitable<void> {
                    auto guard = co_await mutex.lock();
                    acquired = true;
                },
                asio::detached);
            while (mutex.waiting() == 0) {
                io.run_one();
            }
            if (handed_over) {
                // Granted, but the waiter never runs again.
                held->unlock();
            }
            EXPECT_FALSE(acquired);
        }
        EXPECT_EQ(mutex.waiting(), 0u) << handed_over;
        if (!handed_over) {
            held->unlock();
        }
        EXPECT_TRUE(mutex.try_lock().has_value()) << handed_over;
    }
}

TEST(BlockingPoolTest, RunsWorkOffTheIoThreadAndResumesTheCaller) {
    asio::io_context io;
    BlockingPool pool(4, 50ms);
    const auto io_thread = std::this_thread::get_id();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool worked_elsewhere = false;
    bool resumed_on_io = false;
    bool timer_fired_meanwhile = false;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            // Blocks its pool thread until the timer below has fired.
            const auto worker = co_await pool.run([&] {
                released.wait();
                return std::this_thread::get_id();
            });
            worked_elsewhere = worker != io_thread;
            resumed_on_io = std::this_thread::get_id() == io_thread;
        },
        asio::detached);
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            // The single I/O thread stays free while the work blocks.
            asio::steady_timer pause(co_await asio::this_coro::executor, 20ms);
            co_await pause.async_wait(asio::use_awaitable);
            timer_fired_meanwhile = true;
            release.set_value();
        },
        asio::detached);
    io.run();
    EXPECT_TRUE(worked_elsewhere);
    EXPECT_TRUE(resumed_on_io);
    EXPECT_TRUE(timer_fired_meanwhile);
}

TEST(BlockingPoolTest, StaysWithinItsBoundAndLetsIdleThreadsGo) {
    constexpr std::size_t BOUND = 3;
    constexpr int JOBS = 12;
    asio::io_context io;
    BlockingPool pool(BOUND, 50ms);
    std::atomic<int> busy{0};
    std::atomic<int> most{0};
    std::atomic<int> done{0};
    for (int i = 0; i < JOBS; ++i) {
        asio::co_spawn(
            io,
            [&, i]() -> asio::awaitable<void> {
                const int value = co_await pool.run([&, i] {
                    const int now = ++busy;
                    int seen = most.load();
                    while (now > seen && !most.compare_exchange_weak(seen, now)) {
                    }
                    std::this_thread::sleep_for(10ms);
                    --busy;
                    return i;
                });
                if (value == i) {
                    ++done;
                }
            },
            asio::detached);
    }
    io.run();
    EXPECT_EQ(done.load(), JOBS);
    EXPECT_LE(most.load(), static_cast<int>(BOUND));
    EXPECT_GE(most.load(), 2) << "the jobs never ran side by side";
    EXPECT_TRUE(eventually([&] { return pool.thread_count() == 0; }))
        << pool.thread_count() << " threads still alive";
}

}  // namespace
}  // namespace kavo
