#include "device/link/FrameReader.h"

#include <algorithm>
#include <array>
#include <cstring>

FrameReader::FrameReader()
{
    pending.reserve(maxFrameSize);
}

void FrameReader::reset()
{
    pending.clear();
    hunting = false;
}

void FrameReader::framingError(bool acrossReads, const ErrorHandler& onError)
{
    ++errors;
    // The candidate's first byte is certainly not a frame start we can use; a real frame
    // may begin anywhere after it, so hunt from the next byte on.
    ++dropped;
    hunting = true;
    if (onError)
        onError(acrossReads);
}

size_t FrameReader::feed(const uint8_t* data, size_t size, const FrameHandler& onFrame,
                         const ErrorHandler& onError)
{
    size_t count = 0;
    size_t i = 0;
    while (i < size) {
        if (hunting) {
            const void* hit = std::memchr(data + i, startByte, size - i);
            if (!hit) {
                dropped += size - i;
                return count;
            }
            size_t at = static_cast<const uint8_t*>(hit) - data;
            dropped += at - i;
            i = at;
            hunting = false;
        }

        if (!pending.empty()) {
            // Finish the frame that began in an earlier read: first its header, then the rest.
            if (pending.size() < headerSize) {
                size_t take = std::min(headerSize - pending.size(), size - i);
                pending.insert(pending.end(), data + i, data + i + take);
                i += take;
                if (pending.size() < headerSize)
                    return count;
            }
            size_t need = size_t(pending[2]) + 4;
            size_t take = std::min(need - pending.size(), size - i);
            pending.insert(pending.end(), data + i, data + i + take);
            i += take;
            if (pending.size() < need)
                return count;
            if (pending.back() == endByte) {
                onFrame(pending.data(), need);
                ++frames;
                ++count;
                pending.clear();
                continue;
            }
            // The held-over bytes were not a frame. They may still contain the start of one,
            // so look through them again (without their first byte) before the new input.
            std::array<uint8_t, maxFrameSize> rest;
            size_t restSize = pending.size() - 1;
            std::memcpy(rest.data(), pending.data() + 1, restSize);
            pending.clear();
            framingError(true, onError);
            count += feed(rest.data(), restSize, onFrame, onError);
            continue;
        }

        size_t avail = size - i;
        if (avail < headerSize) {
            pending.assign(data + i, data + size);
            return count;
        }
        size_t need = size_t(data[i + 2]) + 4;
        if (avail < need) {
            pending.assign(data + i, data + size);
            return count;
        }
        if (data[i + need - 1] == endByte) {
            onFrame(data + i, need);
            ++frames;
            ++count;
            i += need;
        } else {
            framingError(false, onError);
            i += 1;
        }
    }
    return count;
}

std::vector<std::vector<uint8_t>> FrameReader::feed(const std::vector<uint8_t>& bytes)
{
    std::vector<std::vector<uint8_t>> out;
    feed(bytes.data(), bytes.size(),
         [&out](const uint8_t* data, size_t size) { out.emplace_back(data, data + size); });
    return out;
}
