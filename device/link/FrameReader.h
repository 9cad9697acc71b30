// FrameReader: cuts the dongle's byte stream into frames.
//
// A frame is 0x02, a command byte, a length byte N, N payload bytes and 0x0A. The serial
// port hands us whatever it has, so a frame may arrive in any number of pieces and one read
// may hold several frames; the reader keeps the unfinished tail between calls and hands out
// every whole frame exactly once, in stream order.
//
// Frames are found by their length byte alone; only the end byte is checked here (the
// parser checks the start byte and reports a bad one). A wrong end byte means we lost our
// place in the stream: the bytes of the bad frame are dropped up to the next 0x02 after its
// first byte, and cutting starts again there. Dropped bytes are counted, never silent.
//
// No I/O and no locks: one thread feeds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class FrameReader {
public:
    static constexpr uint8_t startByte = 0x02;
    static constexpr uint8_t endByte = 0x0A;
    static constexpr size_t headerSize = 3;
    static constexpr size_t maxFrameSize = 255 + 4;

    // Receives one whole frame; the bytes are valid only during the call.
    using FrameHandler = std::function<void(const uint8_t* data, size_t size)>;
    // Told once per framing error; `acrossReads` is true when the bad frame had begun in an
    // earlier call to feed.
    using ErrorHandler = std::function<void(bool acrossReads)>;

    FrameReader();

    // Cuts the frames that `data` completes and returns how many were handed out.
    size_t feed(const uint8_t* data, size_t size, const FrameHandler& onFrame,
                const ErrorHandler& onError = nullptr);

    // Convenience for callers that want the frames as values.
    std::vector<std::vector<uint8_t>> feed(const std::vector<uint8_t>& bytes);

    // Forgets any unfinished frame (a new port starts a new stream). Counters are kept.
    void reset();

    // Bytes of an unfinished frame held over for the next call.
    size_t pendingBytes() const { return pending.size(); }
    // True while bytes are skipped to find the next 0x02 after a framing error.
    bool resynchronising() const { return hunting; }

    uint64_t frameCount() const { return frames; }
    uint64_t framingErrors() const { return errors; }
    uint64_t droppedBytes() const { return dropped; }

private:
    // Counts a framing error and drops the bad candidate's first byte; hunting then skips
    // the following bytes up to the next start byte.
    void framingError(bool acrossReads, const ErrorHandler& onError);

    std::vector<uint8_t> pending;   // the unfinished frame, at most maxFrameSize bytes
    bool hunting = false;
    uint64_t frames = 0;
    uint64_t errors = 0;
    uint64_t dropped = 0;
};
