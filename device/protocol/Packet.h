// Packet: the bytes of one frame, start byte to end byte, owned.
//
// Frame layout: 0x02, command code, payload length N (0..255), N payload bytes, 0x0A.
// There is no checksum and no escaping: a reader finds the end from the length byte and
// checks the start and end bytes only. Multi-byte numbers are big-endian.
//
// The pure helpers below serve both directions (the library's reader and encoders, and a
// device-side implementation that answers the host).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

inline constexpr uint8_t FRAME_SOP = 0x02;
inline constexpr uint8_t FRAME_EOP = 0x0A;
inline constexpr std::size_t FRAME_HEADER_SIZE = 3; // SOP, command, length
inline constexpr std::size_t FRAME_OVERHEAD = 4;    // header + EOP
inline constexpr std::size_t FRAME_MAX_PAYLOAD = 255;
inline constexpr std::size_t FRAME_MAX_SIZE = FRAME_MAX_PAYLOAD + FRAME_OVERHEAD;

// What is wrong with a byte sequence that should be exactly one frame.
enum class FrameError {
    None,     // a well-formed frame
    TooShort, // fewer than 4 bytes, or fewer than the length byte announces
    TooLong,  // more bytes than the length byte announces
    BadSOP,   // first byte is not 0x02
    BadEOP,   // the byte after the payload is not 0x0A
};

const char* frameErrorText(FrameError error);

// Checks that `bytes` is exactly one well-formed frame. Reads nothing past the end.
FrameError checkFrame(std::span<const uint8_t> bytes);

// The full size of the frame whose first three bytes are `header` (N + 4), or 0 when
// fewer than three bytes are given. For readers that cut a byte stream into frames.
std::size_t frameSizeFromHeader(std::span<const uint8_t> header);

// Builds the bytes of a frame with any command code and payload. Returns an empty vector
// when the payload does not fit the length byte (more than 255 bytes): such a frame
// cannot be expressed, and cutting it short would send something else.
std::vector<uint8_t> buildFrame(uint8_t command, std::span<const uint8_t> payload = {});

// Big-endian reads and writes. The readers return 0 when the value would run past the
// end of `bytes`; callers check lengths first, this only keeps a mistake from reading
// out of bounds.
uint16_t readBigEndian16(std::span<const uint8_t> bytes, std::size_t offset);
uint32_t readBigEndian24(std::span<const uint8_t> bytes, std::size_t offset);
void appendBigEndian16(std::vector<uint8_t>& out, uint16_t value);
// Appends the low 24 bits of `value`: (value >> 16), (value >> 8), value, each 8 bits.
void appendBigEndian24(std::vector<uint8_t>& out, uint32_t value);

class Packet {
public:
    Packet() = default;
    Packet(const uint8_t* bytes, std::size_t count);
    explicit Packet(std::vector<uint8_t> bytes);
    explicit Packet(std::span<const uint8_t> bytes);

    // A heap packet holding the frame for `command` and `payload`; null when the payload
    // is longer than 255 bytes.
    static std::unique_ptr<Packet> frame(uint8_t command, std::span<const uint8_t> payload = {});

    const uint8_t* data() const { return buffer.data(); }
    std::size_t size() const { return buffer.size(); }
    bool empty() const { return buffer.empty(); }
    std::span<const uint8_t> bytes() const { return buffer; }
    const std::vector<uint8_t>& vector() const { return buffer; }
    uint8_t operator[](std::size_t index) const { return buffer[index]; }

    // Frame view. These never read past the end: on a packet too short to hold the field
    // they return 0 or an empty span. Use check() to know whether the frame is sound.
    FrameError check() const { return checkFrame(buffer); }
    bool isWellFormed() const { return check() == FrameError::None; }
    uint8_t command() const;
    uint8_t payloadLength() const;
    // The payload bytes actually present, at most as many as the length byte announces.
    std::span<const uint8_t> payload() const;

    bool operator==(const Packet& other) const = default;

private:
    std::vector<uint8_t> buffer;
};
