// SimCommandReader: cuts the bytes the host writes into command frames, as the dongle's
// firmware does.
//
// Bytes before a start byte are skipped (and counted). A frame whose end byte is wrong is
// refused with "Invalid packet EOP" and reading resumes at the next start byte after the
// refused one. A frame left incomplete for longer than the inter-byte timeout is dropped
// with "Invalid packet data length", so that one lost byte cannot swallow the commands
// that follow it.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

class SimCommandReader {
public:
    using Clock = std::chrono::steady_clock;

    struct Event {
        bool isFrame = true;
        std::vector<uint8_t> frame; // a well-formed frame
        uint8_t command = 0;        // for a refusal: the command byte, 0 when unknown
        uint8_t error = 0;          // for a refusal: the NACK error code
    };

    explicit SimCommandReader(
        std::chrono::milliseconds interByteTimeout = std::chrono::milliseconds(200))
        : timeout(interByteTimeout) {}

    std::vector<Event> feed(std::span<const uint8_t> bytes, Clock::time_point now);
    // Drops an incomplete frame whose last byte is older than the timeout.
    std::vector<Event> expire(Clock::time_point now);
    // When expire() has something to do, or time_point::max().
    Clock::time_point deadline() const;

    std::size_t skippedBytes() const { return skipped; }
    void reset() { buffer.clear(); }

private:
    void drain(std::vector<Event>& events);

    std::chrono::milliseconds timeout;
    std::vector<uint8_t> buffer;
    Clock::time_point lastByte{};
    std::size_t skipped = 0;
};
