// The stop channel, tested without ever waiting on it.
#include "host/stop_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace kavo {
namespace {

TEST(StopChannelTest, EachMessageIsReceivedOnceAndEmptyMeansCarryOn) {
    struct Case {
        const char* what;
        int sent;
        bool senders_dropped;
    } cases[] = {
        {"nothing sent", 0, false},   {"nothing sent, senders gone", 0, true},
        {"one message", 1, false},    {"one message, its sender gone since", 1, true},
        {"three messages", 3, false},
    };
    for (const auto& c : cases) {
        auto channel = StopChannel::create();
        std::optional<StopSender> sender(channel.sender);
        for (int i = 0; i < c.sent; ++i) {
            sender->send();
        }
        if (c.senders_dropped) {
            sender.reset();
            channel.sender = StopChannel::create().sender;
        }
        int received = 0;
        while (channel.receiver.try_receive()) {
            ++received;
        }
        EXPECT_EQ(received, c.sent) << c.what;
        EXPECT_FALSE(channel.receiver.try_receive()) << c.what;
    }
}

TEST(StopChannelTest, ManySendersOneReceiverCounting) {
    constexpr int SENDERS = 8;
    constexpr int EACH = 5000;
    auto channel = StopChannel::create();
    std::atomic<int> finished{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < SENDERS; ++i) {
        // Every thread has a copy of its own.
        senders.emplace_back([sender = channel.sender, &finished] {
            for (int n = 0; n < EACH; ++n) {
                sender.send();
            }
            ++finished;
        });
    }
    // The receiver counts while the senders are still at it, and after.
    int received = 0;
    while (finished < SENDERS) {
        if (channel.receiver.try_receive()) {
            ++received;
        }
    }
    for (auto& thread : senders) {
        thread.join();
    }
    while (channel.receiver.try_receive()) {
        ++received;
    }
    EXPECT_EQ(received, SENDERS * EACH);
}

TEST(StopChannelTest, SendingWithTheReceiverGoneIsHarmless) {
    StopSender sender = [] {
        auto channel = StopChannel::create();
        return channel.sender;
    }();
    sender.send();
    StopSender copy = sender;
    copy.send();
}

}  // namespace
}  // namespace kavo
