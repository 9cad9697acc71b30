#include "device/protocol/Packet.h"

const char* frameErrorText(FrameError error) {
    switch (error) {
    case FrameError::None: return "well-formed frame";
    case FrameError::TooShort: return "frame shorter than its length byte announces";
    case FrameError::TooLong: return "frame longer than its length byte announces";
    case FrameError::BadSOP: return "frame does not start with 0x02";
    case FrameError::BadEOP: return "frame does not end with 0x0A";
    }
    return "unknown frame error";
}

std::size_t frameSizeFromHeader(std::span<const uint8_t> header) {
    if (header.size() < FRAME_HEADER_SIZE)
        return 0;
    return header[2] + FRAME_OVERHEAD;
}

FrameError checkFrame(std::span<const uint8_t> bytes) {
    if (bytes.size() < FRAME_OVERHEAD)
        return FrameError::TooShort;
    if (bytes[0] != FRAME_SOP)
        return FrameError::BadSOP;
    std::size_t expected = frameSizeFromHeader(bytes);
    if (bytes.size() < expected)
        return FrameError::TooShort;
    if (bytes.size() > expected)
        return FrameError::TooLong;
    if (bytes[expected - 1] != FRAME_EOP)
        return FrameError::BadEOP;
    return FrameError::None;
}

std::vector<uint8_t> buildFrame(uint8_t command, std::span<const uint8_t> payload) {
    if (payload.size() > FRAME_MAX_PAYLOAD)
        return {};
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + FRAME_OVERHEAD);
    frame.push_back(FRAME_SOP);
    frame.push_back(command);
    frame.push_back(static_cast<uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(FRAME_EOP);
    return frame;
}

uint16_t readBigEndian16(std::span<const uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2)
        return 0;
    return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

uint32_t readBigEndian24(std::span<const uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 3)
        return 0;
    return (uint32_t(bytes[offset]) << 16) | (uint32_t(bytes[offset + 1]) << 8) | bytes[offset + 2];
}

void appendBigEndian16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void appendBigEndian24(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

// A null source gives an empty packet rather than a read through null.
Packet::Packet(const uint8_t* bytes, std::size_t count) {
    if (bytes)
        buffer.assign(bytes, bytes + count);
}

Packet::Packet(std::vector<uint8_t> bytes) : buffer(std::move(bytes)) {}

Packet::Packet(std::span<const uint8_t> bytes) : buffer(bytes.begin(), bytes.end()) {}

std::unique_ptr<Packet> Packet::frame(uint8_t command, std::span<const uint8_t> payload) {
    auto bytes = buildFrame(command, payload);
    if (bytes.empty())
        return nullptr;
    return std::make_unique<Packet>(std::move(bytes));
}

uint8_t Packet::command() const { return buffer.size() > 1 ? buffer[1] : 0; }

uint8_t Packet::payloadLength() const { return buffer.size() > 2 ? buffer[2] : 0; }

std::span<const uint8_t> Packet::payload() const {
    if (buffer.size() <= FRAME_HEADER_SIZE)
        return {};
    std::size_t available = buffer.size() - FRAME_HEADER_SIZE;
    std::size_t count = payloadLength() < available ? payloadLength() : available;
    return std::span<const uint8_t>(buffer).subspan(FRAME_HEADER_SIZE, count);
}
