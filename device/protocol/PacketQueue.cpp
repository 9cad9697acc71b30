#include "device/protocol/PacketQueue.h"

#include <stdexcept>

void PacketQueue::push(std::unique_ptr<Packet> packet) {
    if (!packet)
        throw std::invalid_argument("Null pointer in 'push_back()'");
    {
        std::lock_guard lock(mutex);
        packets.push_back(std::move(packet));
    }
    condition.notify_all();
}

void PacketQueue::pushAll(std::vector<std::unique_ptr<Packet>> batch) {
    if (batch.empty())
        return;
    for (const auto& packet : batch)
        if (!packet)
            throw std::invalid_argument("Null pointer in 'push_back()'");
    {
        std::lock_guard lock(mutex);
        for (auto& packet : batch)
            packets.push_back(std::move(packet));
    }
    condition.notify_all();
}

std::unique_ptr<Packet> PacketQueue::tryPop() {
    std::lock_guard lock(mutex);
    if (packets.empty())
        return nullptr;
    auto packet = std::move(packets.front());
    packets.pop_front();
    return packet;
}

std::unique_ptr<Packet> PacketQueue::popWait(std::stop_token stop) {
    std::unique_lock lock(mutex);
    if (!condition.wait(lock, stop, [this] { return !packets.empty(); }))
        return nullptr;
    auto packet = std::move(packets.front());
    packets.pop_front();
    return packet;
}

std::unique_ptr<Packet> PacketQueue::popWaitFor(std::stop_token stop,
                                                std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    if (!condition.wait_for(lock, stop, timeout, [this] { return !packets.empty(); }))
        return nullptr;
    auto packet = std::move(packets.front());
    packets.pop_front();
    return packet;
}

std::deque<std::unique_ptr<Packet>> PacketQueue::drain() {
    std::deque<std::unique_ptr<Packet>> taken;
    {
        std::lock_guard lock(mutex);
        taken.swap(packets);
    }
    condition.notify_all();
    return taken;
}

void PacketQueue::clear() {
    // Free the frames outside the lock.
    drain();
}

std::size_t PacketQueue::size() const {
    std::lock_guard lock(mutex);
    return packets.size();
}

bool PacketQueue::empty() const {
    std::lock_guard lock(mutex);
    return packets.empty();
}

uint8_t PacketQueue::flag() const {
    std::lock_guard lock(mutex);
    return flagValue;
}

void PacketQueue::setFlag(uint8_t value) {
    {
        std::lock_guard lock(mutex);
        flagValue = value;
    }
    condition.notify_all();
}

bool PacketQueue::waitFlagClear(std::stop_token stop, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return condition.wait_for(lock, stop, timeout, [this] { return flagValue == 0; });
}

bool PacketQueue::waitFlagSet(std::stop_token stop, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return condition.wait_for(lock, stop, timeout, [this] { return flagValue != 0; });
}

void PacketQueue::notifyAll() {
    { std::lock_guard lock(mutex); }
    condition.notify_all();
}
