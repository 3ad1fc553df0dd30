#include "core/core_slot.h"

#include <utility>

#include "platform/diagnostics.h"

namespace kavo {

CoreSlot::CoreSlot(BlockingPool& pool, MonotonicClock clock)
    : pool_(pool), clock_(std::move(clock)) {}

CoreSlot::~CoreSlot() {
    if (remains_.core) {
        pool_.dispose(std::move(*remains_.core));
        remains_.core.reset();
    }
}

CoreSlot::Access& CoreSlot::Access::operator=(Access&& other) noexcept {
    if (this != &other) {
        // In this order: the defaulted one would let go of the slot first
        // and then unlock a mutex that may have gone with it.
        guard_ = std::move(other.guard_);
        slot_ = std::move(other.slot_);
    }
    return *this;
}

void CoreSlot::Access::record(CoreRemains remains) {
    if (remains.core) {
        slot_->remains_.core = std::move(remains.core);
    }
    if (remains.runtime_dir) {
        slot_->remains_.runtime_dir = std::move(remains.runtime_dir);
    }
}

bool CoreSlot::Access::settle(StopOutcome outcome, bool release_lease) {
    if (!outcome.stopped) {
        record(std::move(outcome.kept));
        slot_->lease_.begin_stop();
        return false;
    }
    if (release_lease) {
        slot_->lease_.release();
    }
    if (outcome.cleanup_deferred) {
        // The directory stays until the next sweep.
        write_error_line(DEFERRED_RUNTIME_CLEANUP);
    }
    return true;
}

std::shared_ptr<CoreSlot> CoreSlot::create(BlockingPool& pool, MonotonicClock clock) {
    return std::shared_ptr<CoreSlot>(new CoreSlot(pool, std::move(clock)));
}

asio::awaitable<CoreSlot::Access> CoreSlot::lock() {
    auto self = shared_from_this();
    AsyncMutex::Guard guard = co_await mutex_.lock();
    co_return Access(std::move(self), std::move(guard));
}

std::optional<CoreSlot::Access> CoreSlot::try_lock() {
    auto guard = mutex_.try_lock();
    if (!guard) {
        return std::nullopt;
    }
    return Access(shared_from_this(), std::move(*guard));
}

}  // namespace kavo
