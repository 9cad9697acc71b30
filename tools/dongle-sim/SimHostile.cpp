#include "tools/dongle-sim/SimHostile.h"
#include "tools/dongle-sim/SimSignals.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"

#include <array>

namespace {

constexpr std::array<const char*, hostileKindCount> kindNames = {
    "garbage", "fake-header", "junk-inside", "flip", "truncate", "duplicate", "counter-jump"};

// False starts carry a command from 0x60..0x7F: the dongle never sends one, so a complete
// false frame is something a reader must pass over, not a reply or a radio event.
constexpr uint8_t falseCommandBase = 0x60;

// Inclusive; modulo rather than a distribution so that the bytes are the same with every
// standard library.
int between(std::mt19937_64& random, int low, int high) {
    return low + static_cast<int>(random() % static_cast<uint64_t>(high - low + 1));
}

uint8_t anyByte(std::mt19937_64& random) { return static_cast<uint8_t>(random()); }

uint8_t byteButStart(std::mt19937_64& random) {
    uint8_t v = anyByte(random);
    return v == FRAME_SOP ? 0x55 : v;
}

std::vector<uint8_t> fakeHeaderJunk(const std::vector<uint8_t>& frame, std::mt19937_64& random,
                                    HostileAct& act) {
    const int size = between(random, 6, 24);
    std::vector<uint8_t> junk(static_cast<std::size_t>(size));
    for (uint8_t& b : junk)
        b = byteButStart(random);
    const int start = between(random, 0, size - 3);
    junk[start] = FRAME_SOP;
    junk[start + 1] = static_cast<uint8_t>(falseCommandBase + random() % 32);

    // The false frame's end byte lies at start + 3 + length; the junk ends at size - 1 and
    // F follows.
    const int frameSize = static_cast<int>(frame.size());
    int length = -1;
    switch (random() % 4) {
    case 0: // a whole false frame inside the junk
        if (size - 4 - start >= 0) {
            length = between(random, 0, size - 4 - start);
            junk[start + 3 + length] = FRAME_EOP;
        }
        break;
    case 1: { // ends inside F on a byte that is not 0x0A: a reader that keeps the rule loses
              // nothing
        int offset = between(random, 0, frameSize - 2);
        for (int tries = 0; tries < frameSize && frame[offset] == FRAME_EOP; ++tries)
            offset = (offset + 1) % (frameSize - 1);
        if (frame[offset] != FRAME_EOP)
            length = size + offset - start - 3;
        break;
    }
    case 2: // ends on F's end byte: F is swallowed
        length = size + frameSize - 1 - start - 3;
        break;
    default: break;
    }
    // A length byte of 0x02 would be a second false start, beyond the act's plan.
    if (length < 0 || length > 255 || length == FRAME_SOP) {
        length = between(random, 0, 254);
        length += length >= FRAME_SOP;
    }
    junk[start + 2] = static_cast<uint8_t>(length);
    // A stray end byte outside the false header.
    int stray = between(random, 0, size - 4);
    junk[stray < start ? stray : stray + 3] = FRAME_EOP;
    act.position = start;
    act.count = size;
    return junk;
}

} // namespace

const char* hostileKindName(HostileKind kind) { return kindNames[static_cast<std::size_t>(kind)]; }

std::optional<HostileKind> parseHostileKind(const std::string& name) {
    for (std::size_t i = 0; i < kindNames.size(); ++i)
        if (name == kindNames[i])
            return static_cast<HostileKind>(i);
    return std::nullopt;
}

std::mt19937_64 hostileGenerator(uint64_t seed, int remote, uint64_t frameNumber) {
    return std::mt19937_64(splitmix(splitmix(seed ^ 0x686F7374696C65ull) ^
                                    (static_cast<uint64_t>(remote) << 56) ^ frameNumber));
}

std::vector<LinePiece> hostilePieces(HostileKind kind, const std::vector<uint8_t>& frame,
                                     std::mt19937_64& random, HostileAct& act) {
    using What = LinePiece::What;
    act.kind = kind;
    const int size = static_cast<int>(frame.size());
    if (size < 2)
        return {{What::Frame, frame}};
    switch (kind) {
    case HostileKind::Garbage: {
        std::vector<uint8_t> junk(static_cast<std::size_t>(between(random, 1, 32)));
        for (uint8_t& b : junk)
            b = byteButStart(random);
        act.count = static_cast<int>(junk.size());
        return {{What::Junk, std::move(junk)}, {What::Frame, frame}};
    }
    case HostileKind::FakeHeader:
        return {{What::Junk, fakeHeaderJunk(frame, random, act)}, {What::Frame, frame}};
    case HostileKind::JunkInside: {
        act.count = between(random, 1, 16);
        act.position = between(random, 1, size - 1);
        std::vector<uint8_t> bytes(frame.begin(), frame.begin() + act.position);
        for (int i = 0; i < act.count; ++i)
            bytes.push_back(anyByte(random));
        bytes.insert(bytes.end(), frame.begin() + act.position, frame.end());
        return {{What::Altered, std::move(bytes)}};
    }
    case HostileKind::BitFlip: {
        act.position = between(random, 0, size - 1);
        act.bit = between(random, 0, 7);
        std::vector<uint8_t> bytes = frame;
        bytes[static_cast<std::size_t>(act.position)] ^= static_cast<uint8_t>(1u << act.bit);
        return {{What::Altered, std::move(bytes)}};
    }
    case HostileKind::Truncate:
        act.position = between(random, 1, size - 1);
        return {{What::Altered, std::vector<uint8_t>(frame.begin(), frame.begin() + act.position)}};
    case HostileKind::Duplicate: return {{What::Frame, frame}, {What::Copy, frame}};
    case HostileKind::CounterJump: act.count = between(random, 1, 20); return {};
    }
    return {{What::Frame, frame}};
}

// --- LineAudit ---------------------------------------------------------------------------------

void LineAudit::frame(std::span<const uint8_t> bytes, bool isData) {
    add(bytes, isData ? Role::Data : Role::Other);
}

void LineAudit::altered(std::span<const uint8_t> bytes, HostileKind kind) {
    ++totals.damaged[static_cast<int>(kind)];
    add(bytes, Role::Altered, static_cast<int8_t>(kind));
}

void LineAudit::copy(std::span<const uint8_t> bytes) { add(bytes, Role::Copy); }

void LineAudit::junk(std::span<const uint8_t> bytes, HostileKind kind) {
    add(bytes, Role::Junk, static_cast<int8_t>(kind));
}

void LineAudit::lineLost() {
    window.clear();
    acts.clear();
    windowStart = end;
    frames.clear();
    offBy.reset();
}

void LineAudit::add(std::span<const uint8_t> bytes, Role role, int8_t act) {
    if (role != Role::Junk) {
        frames.push_back({end, bytes.size(), role});
        if (role == Role::Data)
            ++totals.pending;
    }
    window.insert(window.end(), bytes.begin(), bytes.end());
    acts.insert(acts.end(), bytes.size(), act);
    end += bytes.size();
    read();
}

void LineAudit::read() {
    for (;;) {
        if (window.empty())
            return;
        if (window[0] != FRAME_SOP) {
            thrownOff();
            consume(1);
            continue;
        }
        if (window.size() < FRAME_HEADER_SIZE)
            return;
        const std::size_t size = window[2] + FRAME_OVERHEAD;
        if (window.size() < size)
            return;
        if (window[size - 1] != FRAME_EOP) {
            thrownOff();
            consume(1);
            continue;
        }
        if (window[1] == DATA_FROM_REMOTE)
            ++totals.found;
        // A frame found where it was written puts the reader back on the boundaries (a
        // damaged one too, when its damage kept the framing).
        if (!frames.empty() && frames.front().start == windowStart && frames.front().size == size) {
            if (frames.front().role == Role::Data) {
                ++totals.intact;
                --totals.pending;
            }
            frames.pop_front();
            offBy.reset();
        } else {
            thrownOff();
        }
        consume(size);
    }
}

void LineAudit::thrownOff() {
    if (!offBy)
        offBy = static_cast<HostileKind>(acts.front() == clean ? 0 : acts.front());
}

void LineAudit::consume(std::size_t count) {
    window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(count));
    acts.erase(acts.begin(), acts.begin() + static_cast<std::ptrdiff_t>(count));
    windowStart += count;
    // Every frame whose start the reader has passed without finding it there is lost.
    while (!frames.empty() && frames.front().start < windowStart) {
        const Role role = frames.front().role;
        if (role == Role::Data) {
            --totals.pending;
            ++totals.cost[static_cast<int>(offBy.value_or(HostileKind::Garbage))];
        } else if (role == Role::Other) {
            ++totals.otherCost;
        }
        frames.pop_front();
    }
}
