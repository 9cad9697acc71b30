#include "tools/dongle-sim/SimCommandReader.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"

#include <algorithm>

std::vector<SimCommandReader::Event> SimCommandReader::feed(std::span<const uint8_t> bytes,
                                                            Clock::time_point now) {
    std::vector<Event> events = expire(now);
    if (!bytes.empty()) {
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        lastByte = now;
    }
    drain(events);
    return events;
}

void SimCommandReader::drain(std::vector<Event>& events) {
    std::size_t start = 0;
    while (start < buffer.size()) {
        if (buffer[start] != FRAME_SOP) {
            ++skipped;
            ++start;
            continue;
        }
        if (buffer.size() - start < FRAME_HEADER_SIZE)
            break;
        const std::size_t size = frameSizeFromHeader(std::span(buffer).subspan(start));
        if (buffer.size() - start < size)
            break;
        Event event;
        if (buffer[start + size - 1] == FRAME_EOP) {
            event.frame.assign(buffer.begin() + start, buffer.begin() + start + size);
            start += size;
        } else {
            event.isFrame = false;
            event.command = buffer[start + 1];
            event.error = NACK_INVALID_EOP;
            ++start; // look for the next start byte inside what was taken for a frame
        }
        events.push_back(std::move(event));
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(start));
}

std::vector<SimCommandReader::Event> SimCommandReader::expire(Clock::time_point now) {
    std::vector<Event> events;
    if (buffer.empty() || now - lastByte < timeout)
        return events;
    Event event;
    event.isFrame = false;
    event.command = buffer.size() > 1 ? buffer[1] : 0;
    event.error = NACK_INVALID_PACKET_LENGTH;
    events.push_back(event);
    buffer.clear();
    return events;
}

SimCommandReader::Clock::time_point SimCommandReader::deadline() const {
    return buffer.empty() ? Clock::time_point::max() : lastByte + timeout;
}
