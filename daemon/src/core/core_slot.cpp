#include "core/core_slot.h"

#include <utility>

namespace kavo {

CoreSlot::CoreSlot(BlockingPool& pool, MonotonicClock clock)
    : pool_(pool), clock_(std::move(clock)) {}

CoreSlot::~CoreSlot() {
    if (core_) {
        pool_.dispose(std::move(*core_));
        core_.reset();
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
