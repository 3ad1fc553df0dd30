// Core runtime, driven: the one record shared by the pipe server and every
// connection task: the running core with its runtime directory, the service
// lease and the stop flag, behind one first-come-first-served asynchronous
// mutex that is held across waits. The lock is the only way to the record,
// and the record changes only along the lease state table.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <asio/awaitable.hpp>

#include "async/async_mutex.h"
#include "async/blocking_pool.h"
#include "core/lease.h"
#include "core/managed_core.h"
#include "platform/native_string.h"

namespace kavo {

// The monotonic clock the slot reads "now" from; tests pass a fake one.
using MonotonicClock = std::function<MonotonicInstant()>;

inline constexpr std::string_view DEFERRED_RUNTIME_CLEANUP =
    "Deferred cleanup of an KAVO protected runtime directory";

// What the slot holds of a core: the core, if one is recorded, and the
// runtime directory of the core started under the lease. They leave the slot
// together for a stop and come back together when the stop fails.
struct CoreRemains {
    std::optional<ManagedCore> core;
    std::optional<NativeString> runtime_dir;
};

// What a stop did. When it did not complete, the remains are handed back.
struct StopOutcome {
    CoreRemains kept;
    bool stopped = false;
    bool cleanup_deferred = false;  // the directory could not be removed
};

class CoreSlot : public std::enable_shared_from_this<CoreSlot> {
  public:
    // Holds the slot's mutex for as long as it lives and is the one way to
    // the record. It keeps the slot alive, so it may outlive the caller's
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

        const LeaseState& lease() const { return slot_->lease_; }
        // The recorded core, to poll; none when no core is recorded.
        ManagedCore* core() { return slot_->remains_.core ? &*slot_->remains_.core : nullptr; }
        // The slot's monotonic clock.
        MonotonicInstant now() const { return slot_->clock_(); }
        // Where every blocking step runs (process waits, staging, hashing,
        // directory removal, sweeps).
        BlockingPool& pool() const { return slot_->pool_; }

        // A new lease, or the lease renewed, on the clock's now.
        void grant(std::string lease_id) { slot_->lease_.grant(std::move(lease_id), now()); }
        void renew() { slot_->lease_.renew(now()); }
        // A poll of the core failed: stuck, with core and lease kept.
        void mark_stuck() { slot_->lease_.begin_stop(); }
        // A stop begins: the flag is set and the remains leave for the stop.
        CoreRemains begin_stop() {
            slot_->lease_.begin_stop();
            return take_remains();
        }
        // The remains leave without a stop (a core found ended, retired),
        // and none are left behind, not even moved-from ones.
        CoreRemains take_remains() { return std::exchange(slot_->remains_, CoreRemains{}); }
        // Records what the remains hold (a started core and its directory).
        void record(CoreRemains remains);
        // Applies what a stop of the remains did; true when it completed
        // (the lease released unless `release_lease` is false, as for a core
        // retired within a start; the deferred-cleanup line written when
        // due). Otherwise the remains come back, stuck.
        bool settle(StopOutcome outcome, bool release_lease = true);

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
    CoreRemains remains_;
    LeaseState lease_;
};

}  // namespace kavo
