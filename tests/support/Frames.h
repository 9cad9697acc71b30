// Frames for the parser and controller tests: a frame builder and a look into the command queue.
#pragma once

#include "device/protocol/Packet.h"
#include "device/protocol/PacketQueue.h"
#include "tests/support/RecordingListener.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <vector>

inline std::vector<uint8_t> frame(uint8_t command, std::vector<uint8_t> payload) {
    return buildFrame(command, payload);
}

// Every frame queued so far, as byte vectors, oldest first; the queue is left empty.
inline std::vector<std::vector<uint8_t>> drained(PacketQueue* queue) {
    std::vector<std::vector<uint8_t>> frames;
    for (auto& packet : queue->drain())
        frames.push_back(packet->vector());
    return frames;
}
