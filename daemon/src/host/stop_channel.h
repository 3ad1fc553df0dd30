// The stop channel between the service control handler and the pipe server:
// unbounded, any number of senders, one receiver, messages without data.
// Sending never blocks and never fails in a way the sender must handle; the
// receiver only ever tests it, never waits on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace kavo {

namespace stop_channel_detail {

struct State {
    // Messages sent and not yet received.
    std::atomic<std::uint64_t> pending{0};
};

}  // namespace stop_channel_detail

class StopSender {
  public:
    // Queues one stop message. With the receiver gone the message is dropped.
    void send() const noexcept;

  private:
    friend struct StopChannel;
    explicit StopSender(std::shared_ptr<stop_channel_detail::State> state)
        : state_(std::move(state)) {}

    std::shared_ptr<stop_channel_detail::State> state_;
};

class StopReceiver {
  public:
    StopReceiver(StopReceiver&&) noexcept = default;
    StopReceiver& operator=(StopReceiver&&) noexcept = default;
    StopReceiver(const StopReceiver&) = delete;
    StopReceiver& operator=(const StopReceiver&) = delete;

    // Takes one message if there is one. An empty channel, also one whose
    // senders are all gone, answers false: carry on.
    bool try_receive() noexcept;

  private:
    friend struct StopChannel;
    explicit StopReceiver(std::shared_ptr<stop_channel_detail::State> state)
        : state_(std::move(state)) {}

    std::shared_ptr<stop_channel_detail::State> state_;
};

struct StopChannel {
    StopSender sender;
    StopReceiver receiver;

    static StopChannel create();
};

}  // namespace kavo
