#include "device/link/FrameReader.h"

#include "device/protocol/CommandCodes.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// What the first payload byte of a frame must be.
enum class First : uint8_t { Anything, HostCommand, Remote };

// A frame the dongle sends: its command and the payload lengths it can have, which is
// `fixed` plus `perEntry` times the count byte at payload offset `countAt` (none when
// negative); `exact` frames have exactly that length, the others at least that.
struct FrameShape {
    uint8_t command;
    uint8_t fixed;
    int8_t countAt;
    uint8_t perEntry;
    bool exact;
    First first;
};

constexpr FrameShape dongleFrames[] = {
    {GET_PAIRING, 8, -1, 0, true, First::Anything},
    {FIND_REMOTE, 3, -1, 0, true, First::Anything},
    {GET_DONGLE_STATUS, 6, -1, 0, true, First::Anything},
    {GET_OUTPUT_CONFIG, 2, 1, 2, true, First::Anything},
    {GET_FIXED_CONFIG, 2, -1, 0, true, First::Anything},
    {GET_PACKET_CONFIG, 2, 1, 2, true, First::Anything},
    {GET_CALIBRATION, 3, 2, 1, true, First::Anything},
    {GET_REMOTE_STATUS, 7, -1, 0, true, First::Anything},
    {RF_CONNECTION, 2, -1, 0, true, First::Anything},
    // Remote, counter, a spare byte, the block count, then at least two bytes per block.
    // A data frame of a remote the dongle does not have would stop the run: it is noise.
    {DATA_FROM_REMOTE, 4, 3, 2, false, First::Remote},
    {ACK, 1, -1, 0, true, First::HostCommand},
    {NACK, 2, -1, 0, true, First::HostCommand},
};

const FrameShape* shapeOf(uint8_t command) {
    for (const FrameShape& shape : dongleFrames)
        if (shape.command == command)
            return &shape;
    return nullptr;
}

bool hostCommand(uint8_t code) {
    return (code >= START_PAIRING && code <= GET_DONGLE_STATUS) ||
           (code >= START_DATA && code <= START_ASYMETRIC_DATA) || code == ENTER_BOOTLOADER;
}

// False when the `available` bytes of a candidate starting with 0x02 already rule out every
// frame the dongle sends; bytes not there yet rule out nothing.
bool plausibleSoFar(const uint8_t* c, size_t available) {
    if (available < 2)
        return true;
    const FrameShape* shape = shapeOf(c[1]);
    if (!shape)
        return false;
    if (available < FrameReader::headerSize)
        return true;
    const size_t length = c[2];
    if (length < shape->fixed || (shape->exact && shape->countAt < 0 && length != shape->fixed))
        return false;
    const uint8_t* payload = c + FrameReader::headerSize;
    const size_t present = available - FrameReader::headerSize;
    if (present > 0) {
        if (shape->first == First::Remote && payload[0] != 1 && payload[0] != 2)
            return false;
        if (shape->first == First::HostCommand && !hostCommand(payload[0]))
            return false;
    }
    if (shape->countAt >= 0 && present > size_t(shape->countAt)) {
        const size_t needed = shape->fixed + size_t(shape->perEntry) * payload[shape->countAt];
        if (shape->exact ? length != needed : length < needed)
            return false;
    }
    return true;
}

} // namespace

FrameReader::FrameReader() {
    pending.reserve(maxFrameSize);
    joined.reserve(2 * maxFrameSize);
}

void FrameReader::reset() {
    dropped += pending.size();
    pending.clear();
    hunting = false;
}

void FrameReader::framingError(bool acrossReads, const ErrorHandler& onError) {
    ++errors;
    // The candidate's first byte is certainly not a frame start we can use; a real frame
    // may begin anywhere after it, so hunt from the next byte on.
    ++dropped;
    hunting = true;
    if (onError)
        onError(acrossReads);
}

FrameReader::Verdict FrameReader::judge(const uint8_t* c, size_t available, size_t& size) {
    if (!plausibleSoFar(c, available))
        return Verdict::Bad;
    if (available < headerSize)
        return Verdict::Unfinished;
    size = size_t(c[2]) + 4;
    // A whole plausible frame inside this candidate's span, within the bytes we have.
    // Only bytes inside the span are looked at, so the answer does not depend on how much
    // of the stream has arrived beyond it.
    const size_t seen = std::min(available, size);
    size_t at = 1;
    while (at + 4 <= seen) {
        const void* hit = std::memchr(c + at, startByte, seen - 3 - at);
        if (!hit)
            break;
        at = size_t(static_cast<const uint8_t*>(hit) - c);
        const size_t inner = size_t(c[at + 2]) + 4;
        if (at + inner <= seen && c[at + inner - 1] == endByte && plausibleSoFar(c + at, inner))
            return Verdict::Bad;
        ++at;
    }
    if (available < size)
        return Verdict::Unfinished;
    return c[size - 1] == endByte ? Verdict::Frame : Verdict::Bad;
}

size_t FrameReader::cut(const uint8_t* bytes, size_t size, size_t carried,
                        const FrameHandler& onFrame, const ErrorHandler& onError) {
    size_t count = 0;
    size_t i = 0;
    while (i < size) {
        if (hunting) {
            const void* hit = std::memchr(bytes + i, startByte, size - i);
            const size_t at = hit ? size_t(static_cast<const uint8_t*>(hit) - bytes) : size;
            dropped += at - i;
            i = at;
            if (!hit)
                break;
            hunting = false;
        }
        if (bytes[i] != startByte) {
            // Right after a frame, where the next one should begin.
            framingError(i < carried, onError);
            ++i;
            continue;
        }
        size_t frameSize = 0;
        switch (judge(bytes + i, size - i, frameSize)) {
        case Verdict::Frame:
            onFrame(bytes + i, frameSize);
            ++frames;
            ++count;
            i += frameSize;
            break;
        case Verdict::Bad:
            framingError(i < carried, onError);
            ++i;
            break;
        case Verdict::Unfinished: pending.assign(bytes + i, bytes + size); return count;
        }
    }
    return count;
}

size_t FrameReader::feed(const uint8_t* data, size_t size, const FrameHandler& onFrame,
                         const ErrorHandler& onError) {
    if (pending.empty())
        return cut(data, size, 0, onFrame, onError);
    // The held bytes and the new ones are judged as one stretch of the stream.
    std::swap(joined, pending);
    pending.clear();
    const size_t carried = joined.size();
    joined.insert(joined.end(), data, data + size);
    return cut(joined.data(), joined.size(), carried, onFrame, onError);
}

size_t FrameReader::abandonPending(const FrameHandler& onFrame, const ErrorHandler& onError) {
    size_t count = 0;
    while (!pending.empty()) {
        std::swap(joined, pending);
        pending.clear();
        framingError(true, onError);
        count += cut(joined.data() + 1, joined.size() - 1, joined.size() - 1, onFrame, onError);
    }
    return count;
}

std::vector<std::vector<uint8_t>> FrameReader::feed(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> out;
    feed(bytes.data(), bytes.size(),
         [&out](const uint8_t* data, size_t size) { out.emplace_back(data, data + size); });
    return out;
}
