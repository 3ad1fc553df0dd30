#include "host/stop_channel.h"

namespace kavo {

void StopSender::send() const noexcept {
    if (!state_) {
        return;
    }
    // What the sender did before the stop happens before what the receiver
    // does after taking it.
    state_->pending.fetch_add(1, std::memory_order_release);
}

bool StopReceiver::try_receive() noexcept {
    if (!state_) {
        return false;
    }
    std::uint64_t pending = state_->pending.load(std::memory_order_acquire);
    while (pending > 0) {
        if (state_->pending.compare_exchange_weak(pending, pending - 1, std::memory_order_acquire,
                                                  std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}

StopChannel StopChannel::create() {
    auto state = std::make_shared<stop_channel_detail::State>();
    return StopChannel{StopSender(state), StopReceiver(state)};
}

}  // namespace kavo
