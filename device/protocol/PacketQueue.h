// PacketQueue: owned frames in first-in first-out order, a one-byte flag, one mutex and
// one condition variable.
//
// Producers on any thread push and notify; one consumer pops. The flag's meaning belongs
// to the queue's user: "waiting for the dongle's answer" on the command queue, "stop
// recording" on the raw data queue; the receive queue leaves it alone. Every change of the
// packets or the flag notifies all waiters, so a waiter on either wakes.
//
// Unbounded: frames are small and every queue has a consumer that drains it at the rate the
// dongle produces; nothing is ever dropped here.
//
// Stopping: every wait takes a std::stop_token and returns as soon as a stop is requested.
// A packet already queued is still handed out by a pop that is asked while stop is
// requested (a consumer that must not lose frames can drain with it); a pop on an empty
// queue returns null at once. Stopping never discards queued packets: they stay until
// popped, drained or cleared, and are freed with the queue.
#pragma once

#include "device/protocol/Packet.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

class PacketQueue {
public:
    using Clock = std::chrono::steady_clock;

    PacketQueue() = default;
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Appends a frame and wakes the waiters (notifying after the lock is released).
    // A null packet is a programming error: throws std::invalid_argument with the text
    // "Null pointer in 'push_back()'" and leaves the queue unchanged.
    void push(std::unique_ptr<Packet> packet);
    void push_back(std::unique_ptr<Packet> packet) { push(std::move(packet)); }
    // Several frames in order under one lock, with one wake-up for the consumer (a read
    // that completed several frames wakes the parser once). All or nothing on a null frame.
    void pushAll(std::vector<std::unique_ptr<Packet>> batch);

    // Takes the oldest frame, or null when there is none. Never waits.
    std::unique_ptr<Packet> tryPop();

    // Waits until a frame is queued and takes it. Returns null only when `stop` was
    // requested and the queue is empty.
    std::unique_ptr<Packet> popWait(std::stop_token stop);

    // As popWait, but gives up after `timeout`: null on timeout or stop with nothing queued.
    std::unique_ptr<Packet> popWaitFor(std::stop_token stop, std::chrono::milliseconds timeout);

    // Takes every queued frame at once, oldest first.
    std::deque<std::unique_ptr<Packet>> drain();
    void clear();

    std::size_t size() const;
    bool empty() const;

    // The flag. Setting or clearing it wakes every waiter.
    uint8_t flag() const;
    void setFlag(uint8_t value);
    void clearFlag() { setFlag(0); }

    // Waits until the flag is clear (0). True when it is clear; false on timeout or stop.
    // The command sender uses it to wait for the dongle's answer.
    bool waitFlagClear(std::stop_token stop, std::chrono::milliseconds timeout);

    // Waits until the flag is set (non-zero). True when set; false on timeout or stop.
    bool waitFlagSet(std::stop_token stop, std::chrono::milliseconds timeout);

    // Waits until `ready(queuedCount, flag)` holds, evaluated under the lock. True when it
    // holds; false on timeout or stop. For consumers that wait on a mix of the two (the
    // raw writer waits for a frame or the stop-recording flag).
    template <typename Ready>
    bool waitUntil(std::stop_token stop, std::chrono::milliseconds timeout, Ready ready) {
        std::unique_lock lock(mutex);
        return condition.wait_for(lock, stop, timeout,
                                  [&] { return ready(packets.size(), flagValue); });
    }

    // Wakes every waiter without changing anything (they re-check their conditions).
    void notifyAll();

private:
    mutable std::mutex mutex;
    std::condition_variable_any condition;
    std::deque<std::unique_ptr<Packet>> packets;
    uint8_t flagValue = 0;
};
