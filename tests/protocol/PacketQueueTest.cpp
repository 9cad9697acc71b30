#include "device/protocol/PacketQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::unique_ptr<Packet> numbered(uint8_t n) {
    const uint8_t payload[] = {n};
    return Packet::frame(0x41, payload);
}

uint8_t numberOf(const std::unique_ptr<Packet>& packet) {
    return packet->payload()[0];
}

TEST(PacketQueue, KeepsFirstInFirstOutOrder) {
    PacketQueue queue;
    for (uint8_t n = 0; n < 5; ++n)
        queue.push(numbered(n));
    EXPECT_EQ(queue.size(), 5u);
    EXPECT_EQ(numberOf(queue.tryPop()), 0);
    EXPECT_EQ(numberOf(queue.popWait(std::stop_token{})), 1);
    auto rest = queue.drain();
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_EQ(numberOf(rest[0]), 2);
    EXPECT_EQ(numberOf(rest[2]), 4);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.tryPop(), nullptr);
}

TEST(PacketQueue, NullPacketIsRefusedWithItsMessageAndChangesNothing) {
    PacketQueue queue;
    queue.push(numbered(1));
    try {
        queue.push_back(nullptr);
        FAIL() << "a null packet was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Null pointer in 'push_back()'");
    }
    EXPECT_EQ(queue.size(), 1u);
}

TEST(PacketQueue, WaitingConsumerWakesOnPush) {
    PacketQueue queue;
    std::jthread producer([&] {
        std::this_thread::sleep_for(20ms);
        queue.push(numbered(7));
    });
    auto packet = queue.popWaitFor(std::stop_token{}, 5s);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(numberOf(packet), 7);
}

// The frames completed by one read arrive together: a woken consumer never sees part of
// them, and a null frame refuses the whole batch.
TEST(PacketQueue, BatchArrivesWholeWithOneWake) {
    PacketQueue queue;
    std::size_t seenAtWake = 0;
    std::jthread consumer([&] {
        queue.waitUntil(std::stop_token{}, 5000ms, [&](std::size_t size, uint8_t) {
            if (size > 0 && seenAtWake == 0)
                seenAtWake = size;
            return size > 0;
        });
    });
    std::this_thread::sleep_for(20ms);
    std::vector<std::unique_ptr<Packet>> batch;
    for (int i = 1; i <= 3; ++i)
        batch.push_back(numbered(i));
    queue.pushAll(std::move(batch));
    consumer.join();
    EXPECT_EQ(seenAtWake, 3u);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(numberOf(queue.tryPop()), i);

    std::vector<std::unique_ptr<Packet>> broken;
    broken.push_back(numbered(4));
    broken.push_back(nullptr);
    EXPECT_THROW(queue.pushAll(std::move(broken)), std::invalid_argument);
    EXPECT_TRUE(queue.empty());
}

TEST(PacketQueue, StopRequestEndsAnUntimedWait) {
    PacketQueue queue;
    std::stop_source stop;
    std::atomic<bool> returned = false;
    std::unique_ptr<Packet> result = numbered(0);
    std::jthread consumer([&] {
        result = queue.popWait(stop.get_token());
        returned = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned);
    stop.request_stop();
    consumer.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(result, nullptr);
}

TEST(PacketQueue, StopEndsTimedWaitsEarlyAndKeepsQueuedPackets) {
    PacketQueue queue;
    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(20ms);
        stop.request_stop();
    });
    auto start = PacketQueue::Clock::now();
    EXPECT_EQ(queue.popWaitFor(stop.get_token(), 30s), nullptr);
    EXPECT_LT(PacketQueue::Clock::now() - start, 10s);

    queue.setFlag(1);
    EXPECT_FALSE(queue.waitFlagClear(stop.get_token(), 30s));

    // Already stopped: a queued packet is still handed out, nothing is discarded.
    queue.push(numbered(3));
    queue.push(numbered(4));
    EXPECT_EQ(numberOf(queue.popWait(stop.get_token())), 3);
    EXPECT_EQ(queue.size(), 1u);
}

TEST(PacketQueue, TimedWaitsGiveUpAfterTheirBound) {
    PacketQueue queue;
    auto start = PacketQueue::Clock::now();
    EXPECT_EQ(queue.popWaitFor(std::stop_token{}, 30ms), nullptr);
    EXPECT_GE(PacketQueue::Clock::now() - start, 30ms);

    queue.setFlag(1);
    EXPECT_FALSE(queue.waitFlagClear(std::stop_token{}, 10ms));
    queue.clearFlag();
    EXPECT_FALSE(queue.waitFlagSet(std::stop_token{}, 10ms));
    EXPECT_TRUE(queue.waitFlagClear(std::stop_token{}, 10ms));
}

TEST(PacketQueue, FlagChangeWakesAWaiterForPacketsOrFlag) {
    PacketQueue queue;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(20ms);
        queue.setFlag(1);
    });
    bool woke = queue.waitUntil(std::stop_token{}, 5s,
                                [](std::size_t count, uint8_t flag) { return count > 0 || flag; });
    EXPECT_TRUE(woke);
    EXPECT_EQ(queue.flag(), 1);
    EXPECT_TRUE(queue.empty());
}

TEST(PacketQueue, ManyProducersOneConsumerLoseNothingAndKeepEachProducersOrder) {
    PacketQueue queue;
    constexpr int producers = 4;
    constexpr int perProducer = 2000;
    {
        std::vector<std::jthread> threads;
        for (int p = 0; p < producers; ++p)
            threads.emplace_back([&queue, p] {
                for (int i = 0; i < perProducer; ++i) {
                    const uint8_t payload[] = {uint8_t(p), uint8_t(i >> 8), uint8_t(i)};
                    queue.push(Packet::frame(0x41, payload));
                }
            });
        std::vector<int> next(producers, 0);
        for (int received = 0; received < producers * perProducer; ++received) {
            auto packet = queue.popWaitFor(std::stop_token{}, 5s);
            ASSERT_NE(packet, nullptr) << "after " << received << " packets";
            auto payload = packet->payload();
            int producer = payload[0];
            int index = (payload[1] << 8) | payload[2];
            ASSERT_EQ(index, next[producer]) << "producer " << producer;
            ++next[producer];
        }
    }
    EXPECT_TRUE(queue.empty());
}

} // namespace
