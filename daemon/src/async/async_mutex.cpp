#include "async/async_mutex.h"

#include <algorithm>
#include <utility>

#include <asio/experimental/as_tuple.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace kavo {

AsyncMutex::Guard::Guard(Guard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}

AsyncMutex::Guard& AsyncMutex::Guard::operator=(Guard&& other) noexcept {
    if (this != &other) {
        unlock();
        mutex_ = std::exchange(other.mutex_, nullptr);
    }
    return *this;
}

AsyncMutex::Guard::~Guard() {
    unlock();
}

void AsyncMutex::Guard::unlock() {
    if (mutex_ != nullptr) {
        std::exchange(mutex_, nullptr)->unlock();
    }
}

// A waiter's place in the queue for as long as its coroutine frame lives. A
// frame destroyed while still waiting (its runtime shut down) leaves the
// queue; one destroyed after the lock was handed to it passes the lock on, so
// a dead waiter never keeps it.
class AsyncMutex::QueuedWaiter {
  public:
    QueuedWaiter(AsyncMutex& mutex, Waiter& waiter) : mutex_(&mutex), waiter_(&waiter) {}
    QueuedWaiter(const QueuedWaiter&) = delete;
    QueuedWaiter& operator=(const QueuedWaiter&) = delete;
    ~QueuedWaiter() {
        if (mutex_ == nullptr) {
            return;
        }
        bool pass_on = false;
        {
            std::lock_guard lock(mutex_->state_);
            if (waiter_->granted) {
                pass_on = true;
            } else {
                auto& queue = mutex_->waiters_;
                queue.erase(std::remove(queue.begin(), queue.end(), waiter_), queue.end());
            }
        }
        if (pass_on) {
            mutex_->unlock();
        }
    }
    // The lock now belongs to the Guard the waiter returns.
    void taken() { mutex_ = nullptr; }

  private:
    AsyncMutex* mutex_;
    Waiter* waiter_;
};

asio::awaitable<AsyncMutex::Guard> AsyncMutex::lock() {
    if (take_if_free()) {
        co_return Guard(this);
    }
    WakeChannel wake(co_await asio::this_coro::executor, 1);
    Waiter waiter{&wake, false};
    {
        std::lock_guard lock(state_);
        if (!locked_) {
            // Released between the first try and now, with nobody queued.
            locked_ = true;
            co_return Guard(this);
        }
        waiters_.push_back(&waiter);
    }
    QueuedWaiter queued(*this, waiter);
    for (;;) {
        // Only unlock sends, but check under the lock anyway.
        co_await wake.async_receive(asio::experimental::as_tuple(asio::use_awaitable));
        std::lock_guard lock(state_);
        if (waiter.granted) {
            break;
        }
    }
    queued.taken();
    co_return Guard(this);
}

bool AsyncMutex::take_if_free() {
    std::lock_guard lock(state_);
    if (locked_ || !waiters_.empty()) {
        return false;
    }
    locked_ = true;
    return true;
}

std::optional<AsyncMutex::Guard> AsyncMutex::try_lock() {
    if (!take_if_free()) {
        return std::nullopt;
    }
    return Guard(this);
}

std::size_t AsyncMutex::waiting() const {
    std::lock_guard lock(state_);
    return waiters_.size();
}

void AsyncMutex::unlock() {
    std::lock_guard lock(state_);
    if (waiters_.empty()) {
        locked_ = false;
        return;
    }
    // The lock passes straight to the first waiter and stays taken, so a
    // newcomer calling try_lock meanwhile cannot slip in ahead of it. The
    // waiter resumes on its own executor, never on our stack.
    Waiter* next = waiters_.front();
    waiters_.pop_front();
    next->granted = true;
    next->wake->try_send(asio::error_code(), true);
}

}  // namespace kavo
