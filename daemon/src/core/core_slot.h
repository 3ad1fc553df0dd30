// Core runtime, driven: the one record shared by the pipe server and every
// connection task: the running core, the service lease and the stop flag,
// behind one first-come-first-served asynchronous mutex that is held across
// waits. The lock is the only way to the fields.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "async/async_mutex.h"
#include "async/blocking_pool.h"
#include "core/managed_core.h"
#include "platform/native_string.h"

namespace kavo {

using MonotonicInstant = std::chrono::steady_clock::time_point;
// The monotonic clock the slot reads "now" from; tests pass a fake one.
using MonotonicClock = std::function<MonotonicInstant()>;

// The client lease currently granted.
struct ServiceLease {
    std::string lease_id;
    // The lease's active runtime directory, present while a core started
    // under the lease has one.
    std::optional<NativeString> runtime_dir;
    // The lease is expired once the clock reaches this instant.
    MonotonicInstant expires_at;
};

class CoreSlot : public std::enable_shared_from_this<CoreSlot> {
  public:
    // Holds the slot's mutex for as long as it lives and is the one way to
    // the fields. It keeps the slot alive, so it may outlive the caller's
    // reference. Moves, never copies.
    class Access {
      public:
        Access(Access&&) noexcept = default;
        // Gives back the lock it held while that slot is still alive, then
        // lets go of the slot (which may be the last reference to it).
        Access& operator=(Access&& other) noexcept;
        Access(const Access&) = delete;
        Access& operator=(const Access&) = delete;
        ~Access() = default;

        std::optional<ManagedCore>& core() { return slot_->core_; }
        std::optional<ServiceLease>& lease() { return slot_->lease_; }
        // A stop is in progress, or a stop failed: starts are refused and
        // the reclaim of an expired lease does nothing.
        bool& stop_pending() { return slot_->stop_pending_; }

        // The slot's monotonic clock.
        MonotonicInstant now() const { return slot_->clock_(); }
        // Where every blocking step runs (process waits, staging, hashing,
        // directory removal, sweeps).
        BlockingPool& pool() const { return slot_->pool_; }

      private:
        friend class CoreSlot;
        Access(std::shared_ptr<CoreSlot> slot, AsyncMutex::Guard guard)
            : slot_(std::move(slot)), guard_(std::move(guard)) {}

        // Members go in reverse order: the lock is given back before the
        // slot can go.
        std::shared_ptr<CoreSlot> slot_;
        AsyncMutex::Guard guard_;
    };

    // The slot with no core, no lease and the flag clear. `pool` must
    // outlive the slot.
    static std::shared_ptr<CoreSlot> create(BlockingPool& pool,
                                            MonotonicClock clock = std::chrono::steady_clock::now);

    // The last reference may go on an I/O thread (a connection task that
    // ends after the pipe server has returned): a core still held then is
    // handed to the pool, where its end may wait for the process.
    ~CoreSlot();
    CoreSlot(const CoreSlot&) = delete;
    CoreSlot& operator=(const CoreSlot&) = delete;

    // Completes once the mutex is ours, after every earlier waiter had it.
    asio::awaitable<Access> lock();
    // The mutex at once if it is free and nobody waits for it.
    std::optional<Access> try_lock();

  private:
    CoreSlot(BlockingPool& pool, MonotonicClock clock);

    AsyncMutex mutex_;
    BlockingPool& pool_;
    MonotonicClock clock_;
    std::optional<ManagedCore> core_;
    std::optional<ServiceLease> lease_;
    bool stop_pending_ = false;
};

}  // namespace kavo
