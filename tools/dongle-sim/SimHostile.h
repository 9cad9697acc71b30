// What a hostile line does to the data frames the simulated kit sends, and what it costs a
// reader that keeps the framing rule.
//
// The kinds, each applied to one data frame F:
//   garbage        1..32 junk bytes without 0x02 before F
//   fake-header    6..24 junk bytes before F holding a stray 0x0A and a false start: 0x02, a
//                  command the dongle never sends, and a length that ends the false frame
//                  inside the junk (on a 0x0A: a whole false frame), inside F, exactly on
//                  F's end byte (F is swallowed), or anywhere (any length)
//   junk-inside    1..16 junk bytes (any values) inserted between two bytes of F
//   flip           one bit of F inverted (any byte, start and end bytes included)
//   truncate       F cut after 1..size-1 bytes; the rest is never sent
//   duplicate      F sent twice in a row
//   counter-jump   F and the next 0..19 frames of its remote are lost in the air: the host
//                  sees the counter jump by 2..21
// Sizes, positions and bits are drawn from a generator seeded by the kit's seed, the remote
// and the remote's frame number, so the same seed gives the same bytes whatever the pace.
//
// LineAudit keeps the count. It reads the line as a reader that keeps the rule does: a frame
// starts with 0x02, its length byte says where its 0x0A must be; on a mismatch the reader
// skips one byte and looks for the next 0x02; it never times out. Every data frame put on
// the line ends in exactly one fate:
//   intact     written unaltered, and the reader finds it whole where it was written;
//   damaged    altered by an act (junk-inside, flip, truncate), counted per kind;
//   cost       written unaltered, but the reader cannot find it: a false frame started in
//              junk or in a damaged frame ran over its start. Counted per kind of the act
//              whose bytes first threw the reader off (fake-header junk that swallows F
//              costs F; so does a cut frame whose claimed length runs over the next one);
//   pending    not yet known: the reader waits for bytes that a false frame claims.
// So a library whose reader keeps the rule records at least `intact` data frames and at
// most `found` (intact ones, altered ones that kept their framing, second copies, and false
// frames with the data command).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

enum class HostileKind {
    Garbage,
    FakeHeader,
    JunkInside,
    BitFlip,
    Truncate,
    Duplicate,
    CounterJump
};
inline constexpr int hostileKindCount = 7;

const char* hostileKindName(HostileKind kind);
std::optional<HostileKind> parseHostileKind(const std::string& name);

// One act as it was done.
struct HostileAct {
    HostileKind kind = HostileKind::Garbage;
    int remote = 0;
    int counter = 0;         // F's counter (a jump: the first counter left out)
    int64_t frameIndex = 0;  // F's frames since its stream started
    uint64_t lineOffset = 0; // bytes written to the line before the act's first byte
    int position = 0;        // fake-header: the 0x02 within the junk; junk-inside: bytes of F
                             // before the junk; flip: the byte; truncate: the bytes kept
    int bit = 0;             // flip: the bit inverted
    int count = 0;           // junk bytes; frames left out by a jump
};

// One run of bytes for the line, in order.
struct LinePiece {
    enum class What { Frame, Altered, Copy, Junk };
    What what = What::Frame;
    std::vector<uint8_t> bytes;
};

// A generator for frame number `frameNumber` of `remote` under `seed`.
std::mt19937_64 hostileGenerator(uint64_t seed, int remote, uint64_t frameNumber);

// The pieces that replace data frame `frame` under act `kind`, with the act's details in
// `act`. Counter-jump gives no pieces (act.count: the frames to leave out, F included).
std::vector<LinePiece> hostilePieces(HostileKind kind, const std::vector<uint8_t>& frame,
                                     std::mt19937_64& random, HostileAct& act);

class LineAudit {
public:
    struct Counts {
        uint64_t intact = 0;
        uint64_t pending = 0;
        uint64_t damaged[hostileKindCount] = {};
        uint64_t cost[hostileKindCount] = {};
        uint64_t found = 0;     // frames with the data command the reader passes on
        uint64_t otherCost = 0; // answers and connection frames the reader cannot find
    };

    // An unaltered frame; a data frame's fate is counted, an answer's only when it is lost.
    void frame(std::span<const uint8_t> bytes, bool isData);
    // A data frame altered by `kind`.
    void altered(std::span<const uint8_t> bytes, HostileKind kind);
    // The second copy of a data frame.
    void copy(std::span<const uint8_t> bytes);
    void junk(std::span<const uint8_t> bytes, HostileKind kind);
    // The host went away with bytes on their way: the next host's reader starts afresh. The
    // frames still pending stay pending: nobody can tell what they would have cost.
    void lineLost();

    const Counts& counts() const { return totals; }

private:
    enum class Role { Data, Other, Copy, Altered, Junk };
    struct Pending {
        uint64_t start;
        std::size_t size;
        Role role;
    };
    static constexpr int8_t clean = -1;

    void add(std::span<const uint8_t> bytes, Role role, int8_t act = clean);
    void read();
    // The reader leaves the frame boundaries at the window's first byte.
    void thrownOff();
    void consume(std::size_t count);

    std::deque<uint8_t> window; // bytes the reader has not consumed
    std::deque<int8_t> acts;    // per byte of the window: the kind of act that wrote it, or clean
    uint64_t windowStart = 0;   // line position of window.front()
    uint64_t end = 0;           // line position after the last byte added
    std::deque<Pending> frames; // frames written whose start the reader has not passed
    std::optional<HostileKind> offBy; // what threw the reader off, until it finds a frame again
    Counts totals;
};
