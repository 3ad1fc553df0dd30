// Children started by a test end with the test, even when it stops half-way
// on a failed assertion: the guard kills and waits for every child it holds
// that still runs.
#pragma once

#include <deque>
#include <mutex>

#include "platform/process.h"

namespace kavo::testing {

class ChildGuard {
  public:
    ChildGuard() = default;
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;

    ~ChildGuard() {
        for (auto& child : children_) {
            // Killing a child that has ended (or was reaped) changes nothing.
            const auto ended = child.poll();
            if (!ended || !ended->has_value()) {
                static_cast<void>(child.terminate(1));
            }
            static_cast<void>(child.wait());
        }
    }

    // Takes the child over; the reference stays valid for the guard's life.
    // Children may be added from several threads.
    ChildProcess& add(ChildProcess child) {
        const std::lock_guard lock(mutex_);
        return children_.emplace_back(std::move(child));
    }

    std::size_t size() const {
        const std::lock_guard lock(mutex_);
        return children_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::deque<ChildProcess> children_;
};

}  // namespace kavo::testing
