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
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "async/async_mutex.h"
#include "async/blocking_pool.h"
#include "test_support.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

using testing::eventually;
using testing::run_on_threads;

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
            auto work = [&] {
                released.wait();
                return std::this_thread::get_id();
            };
            const auto worker = co_await pool.run(std::move(work));
            worked_elsewhere = worker && *worker != io_thread;
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
                auto work = [&, i] {
                    const int now = ++busy;
                    int seen = most.load();
                    while (now > seen && !most.compare_exchange_weak(seen, now)) {
                    }
                    std::this_thread::sleep_for(10ms);
                    --busy;
                    return i;
                };
                const auto value = co_await pool.run(std::move(work));
                if (value && *value == i) {
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

// Whatever becomes of a piece of work, its awaiter resumes with a result:
// a value, the work's own error, or an error saying why there is none.
TEST(BlockingPoolTest, EveryPieceOfWorkEndsInAResultForItsAwaiter) {
    struct Case {
        const char* what;
        std::function<Result<int>()> work;
        bool joined_first;
        Result<int> expected;
    } cases[] = {
        {"a value", [] { return Result<int>(7); }, false, Result<int>(7)},
        {"its own error", [] { return Result<int>(fail(std::string("own"))); }, false,
         Result<int>(fail(std::string("own")))},
        {"a thrown exception",
         []() -> Result<int> { throw std::runtime_error("the disk went away"); }, false,
         Result<int>(fail(std::string(BLOCKING_WORK_FAILED) + "the disk went away"))},
        {"something thrown that is no exception", []() -> Result<int> { throw 5; }, false,
         Result<int>(fail(std::string(BLOCKING_WORK_FAILED) +
                          std::string(BLOCKING_WORK_UNKNOWN_EXCEPTION)))},
        {"submitted after the join", [] { return Result<int>(7); }, true,
         Result<int>(fail(std::string(BLOCKING_POOL_STOPPED)))},
    };
    for (const auto& c : cases) {
        asio::io_context io;
        BlockingPool pool(2, 50ms);
        if (c.joined_first) {
            pool.join();
        }
        std::optional<Result<int>> got;
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                auto work = c.work;
                got = co_await pool.run(std::move(work));
            },
            asio::detached);
        io.run();
        ASSERT_TRUE(got.has_value()) << c.what << ": the awaiter never resumed";
        ASSERT_EQ(got->has_value(), c.expected.has_value()) << c.what;
        if (c.expected) {
            EXPECT_EQ(**got, *c.expected) << c.what;
        } else {
            EXPECT_EQ(got->error(), c.expected.error()) << c.what;
        }
    }

    // Work that returns nothing ends in success or in the same errors.
    asio::io_context io;
    BlockingPool pool(1, 50ms);
    std::optional<Result<void>> quiet;
    std::optional<Result<void>> thrown;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            auto nothing = [] {};
            quiet = co_await pool.run(std::move(nothing));
            auto throws = [] { throw std::runtime_error("no"); };
            thrown = co_await pool.run(std::move(throws));
        },
        asio::detached);
    io.run();
    ASSERT_TRUE(quiet.has_value() && thrown.has_value());
    EXPECT_TRUE(*quiet);
    ASSERT_FALSE(*thrown);
    EXPECT_EQ(thrown->error(), std::string(BLOCKING_WORK_FAILED) + "no");
}

// Records the thread that destroys it (only the last of its moved-from
// copies counts).
struct EndsOnAThread {
    std::shared_ptr<std::promise<std::thread::id>> ended;
    explicit EndsOnAThread(std::shared_ptr<std::promise<std::thread::id>> promise)
        : ended(std::move(promise)) {}
    EndsOnAThread(EndsOnAThread&&) noexcept = default;
    ~EndsOnAThread() {
        if (ended) {
            ended->set_value(std::this_thread::get_id());
        }
    }
};

// A value whose end blocks is ended on a pool thread, never on the thread
// that lets go of it; once the pool has stopped, it ends at once instead of
// being kept.
TEST(BlockingPoolTest, WhatIsDisposedOfEndsOnAPoolThreadWhileThePoolRuns) {
    const auto caller = std::this_thread::get_id();
    for (const bool joined_first : {false, true}) {
        BlockingPool pool(1, 50ms);
        if (joined_first) {
            pool.join();
        }
        auto ended = std::make_shared<std::promise<std::thread::id>>();
        auto where = ended->get_future();
        pool.dispose(EndsOnAThread(ended));
        ASSERT_EQ(where.wait_for(10s), std::future_status::ready) << joined_first;
        EXPECT_EQ(where.get() == caller, joined_first) << joined_first;
    }
}

}  // namespace
}  // namespace kavo
