// Core runtime, driven: the asynchronous mutex that guards the shared core
// slot. It is held across co_await (a core stop, the startup watch), serves
// its waiters strictly first come, first served, and hands the lock straight
// to the next waiter on unlock, so nobody can overtake a queued waiter.
#pragma once

#include <deque>
#include <mutex>
#include <optional>

#include <asio/awaitable.hpp>
#include <asio/error_code.hpp>
#include <asio/experimental/concurrent_channel.hpp>

namespace kavo {

class AsyncMutex {
  public:
    // Holds the lock until destroyed (or released); moves, never copies.
    class Guard {
      public:
        Guard(Guard&& other) noexcept;
        Guard& operator=(Guard&& other) noexcept;
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard();

        void unlock();

      private:
        friend class AsyncMutex;
        explicit Guard(AsyncMutex* mutex) : mutex_(mutex) {}
        AsyncMutex* mutex_;
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    // Completes once the lock is ours, after every earlier waiter has had it.
    asio::awaitable<Guard> lock();

    // The lock at once if it is free and nobody waits for it.
    std::optional<Guard> try_lock();

    // Waiters queued at this moment, for tests and diagnostics.
    std::size_t waiting() const;

  private:
    // A queued waiter's wake-up: one message, sent under the state lock by
    // the unlock that hands the lock over. The channel is safe to send to
    // from any thread, and the waiter takes the state lock before its frame
    // (and the channel in it) can go, so the send is always finished by then.
    using WakeChannel = asio::experimental::concurrent_channel<void(asio::error_code, bool)>;

    struct Waiter {
        WakeChannel* wake = nullptr;
        // Set by unlock when the lock passes to this waiter.
        bool granted = false;
    };
    class QueuedWaiter;

    bool take_if_free();
    void unlock();

    mutable std::mutex state_;
    bool locked_ = false;
    std::deque<Waiter*> waiters_;
};

}  // namespace kavo
