#include "device/protocol/PacketQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::unique_ptr<Packet> numbered(uint8_t n) {
    const uint8_t payload[] = {n};
    return Packet::frame(0x41, payload);
}

uint8_t numberOf(const std::unique_ptr<Packet>& packet) { return packet->payload()[0]; }

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

// A waiter in waitUntil has evaluated its condition under the queue's lock before it
// sleeps, so once `entered` is set, whatever the test does next wakes a real waiter.
struct Waiter {
    Waiter(PacketQueue& queue, std::function<bool(std::size_t, uint8_t)> ready, std::stop_token stop = {})
        : thread([&queue, ready, stop, this] {
              woke = queue.waitUntil(stop, 5s, [&](std::size_t size, uint8_t flag) {
                  entered = true;
                  bool done = ready(size, flag);
                  if (done && sizeAtWake == 0)
                      sizeAtWake = size;
                  return done;
              });
          }) {
        while (!entered)
            std::this_thread::yield();
    }
    std::atomic<bool> entered = false;
    std::size_t sizeAtWake = 0;
    bool woke = false;
    std::jthread thread;
};

// The frames completed by one read arrive together: a woken consumer never sees part of
// them, and a null frame refuses the whole batch. A flag change wakes a waiter too.
TEST(PacketQueue, BatchArrivesWholeWithOneWakeAndAFlagChangeWakesToo) {
    PacketQueue queue;
    {
        Waiter consumer(queue, [](std::size_t size, uint8_t) { return size > 0; });
        std::vector<std::unique_ptr<Packet>> batch;
        for (int i = 1; i <= 3; ++i)
            batch.push_back(numbered(i));
        queue.pushAll(std::move(batch));
        consumer.thread.join();
        EXPECT_TRUE(consumer.woke);
        EXPECT_EQ(consumer.sizeAtWake, 3u);
    }
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(numberOf(queue.tryPop()), i);

    std::vector<std::unique_ptr<Packet>> broken;
    broken.push_back(numbered(4));
    broken.push_back(nullptr);
    EXPECT_THROW(queue.pushAll(std::move(broken)), std::invalid_argument);
    EXPECT_TRUE(queue.empty());

    Waiter waiter(queue, [](std::size_t count, uint8_t flag) { return count > 0 || flag; });
    queue.setFlag(1);
    waiter.thread.join();
    EXPECT_TRUE(waiter.woke);
    EXPECT_EQ(waiter.sizeAtWake, 0u);
}

// Pops block until a packet comes or a stop is requested: a pop that returned null without
// a stop would leave `result` null where the pushed packet belongs.
TEST(PacketQueue, StopRequestEndsUntimedAndTimedWaitsAndKeepsQueuedPackets) {
    PacketQueue queue;
    {
        std::atomic<bool> started = false;
        std::unique_ptr<Packet> result;
        std::jthread consumer([&] {
            started = true;
            result = queue.popWait(std::stop_token{});
        });
        while (!started)
            std::this_thread::yield();
        queue.push(numbered(7));
        consumer.join();
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(numberOf(result), 7);
    }

    // A stop ends the untimed, the timed and the flag waits, whichever of them is waiting.
    std::stop_source stop;
    std::atomic<int> started = 0;
    std::unique_ptr<Packet> untimed = numbered(0), timed = numbered(0);
    bool flagClear = true;
    queue.setFlag(1);
    auto start = PacketQueue::Clock::now();
    {
        std::jthread a([&] {
            ++started;
            untimed = queue.popWait(stop.get_token());
        });
        std::jthread b([&] {
            ++started;
            timed = queue.popWaitFor(stop.get_token(), 30s);
        });
        std::jthread c([&] {
            ++started;
            flagClear = queue.waitFlagClear(stop.get_token(), 30s);
        });
        Waiter waiter(
            queue, [](std::size_t, uint8_t) { return false; }, stop.get_token());
        while (started < 3)
            std::this_thread::yield();
        stop.request_stop();
        waiter.thread.join();
        EXPECT_FALSE(waiter.woke);
    }
    EXPECT_LT(PacketQueue::Clock::now() - start, 10s);
    EXPECT_EQ(untimed, nullptr);
    EXPECT_EQ(timed, nullptr);
    EXPECT_FALSE(flagClear);

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
