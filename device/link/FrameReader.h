// FrameReader: cuts the dongle's byte stream into frames.
//
// A frame is 0x02, a command byte, a length byte N, N payload bytes and 0x0A. The serial
// port hands us whatever it has, so a frame may arrive in any number of pieces and one read
// may hold several frames; the reader keeps the unfinished tail between calls and hands out
// every whole frame exactly once, in stream order.
//
// Noise on the line must never cost the frames around it, so a length byte alone proves
// nothing. A candidate is a frame when
//  - it starts with 0x02, its command is one the dongle sends and its length is one that
//    command can have (a data frame also names remote 1 or 2);
//  - the byte at its stated end is 0x0A;
//  - no whole frame of that kind lies inside it. A stray 0x02 with a long length would
//    otherwise swallow the frames behind it, while a real payload practically never holds
//    a whole plausible frame of its own.
// Anything else is a framing error: the candidate's first byte is dropped and the reader
// hunts for the next 0x02 after it, so the frames inside a bad candidate are found again.
// Junk that holds no 0x02 therefore costs nothing but itself, and a candidate is refused
// as soon as the bytes it has rule it out, without waiting for the rest of it.
//
// Every judgement rests on the bytes alone, never on how they were cut into reads: one byte
// per feed gives the same frames, errors and counts as the whole stream in one feed. The
// one exception is abandonPending(), the transport's answer to a line gone quiet.
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

    // The line went quiet while an unfinished frame was held: the dongle sends a frame in
    // one go, so those bytes will never be completed. Each held candidate becomes a framing
    // error and the bytes after its first are cut again; returns the frames handed out.
    // Nothing is held afterwards.
    size_t abandonPending(const FrameHandler& onFrame, const ErrorHandler& onError = nullptr);

    // Forgets any unfinished frame (a new port starts a new stream); its bytes count as
    // dropped. Counters are kept.
    void reset();

    // Bytes of an unfinished frame held over for the next call.
    size_t pendingBytes() const { return pending.size(); }
    // True while bytes are skipped to find the next 0x02 after a framing error.
    bool resynchronising() const { return hunting; }

    uint64_t frameCount() const { return frames; }
    uint64_t framingErrors() const { return errors; }
    uint64_t droppedBytes() const { return dropped; }

private:
    enum class Verdict { Frame, Bad, Unfinished };

    // What the `available` bytes at `candidate` (which starts with 0x02) are; `size` is the
    // frame's size when they are a frame.
    static Verdict judge(const uint8_t* candidate, size_t available, size_t& size);

    // Cuts `bytes`, of which the first `carried` were held over from earlier calls; an
    // unfinished tail is kept in `pending`.
    size_t cut(const uint8_t* bytes, size_t size, size_t carried, const FrameHandler& onFrame,
               const ErrorHandler& onError);

    // Counts a framing error and drops the bad candidate's first byte; hunting then skips
    // the following bytes up to the next start byte.
    void framingError(bool acrossReads, const ErrorHandler& onError);

    std::vector<uint8_t> pending; // the unfinished frame, fewer than maxFrameSize bytes
    std::vector<uint8_t> joined;  // held bytes and new input, cut as one stretch
    bool hunting = false;
    uint64_t frames = 0;
    uint64_t errors = 0;
    uint64_t dropped = 0;
};
