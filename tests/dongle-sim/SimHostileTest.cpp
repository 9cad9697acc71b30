// The hostile acts do to a data frame's bytes what they say, the same for the same seed,
// and LineAudit tells frames a reader keeping the framing rule must find from those it
// cannot.
#include "tools/dongle-sim/SimHostile.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <set>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes dataFrame(uint8_t counter, std::size_t payload = 24) {
    Bytes p(payload, 0x33);
    p[0] = 1;
    p[1] = counter;
    return buildFrame(DATA_FROM_REMOTE, p);
}

struct Done {
    std::vector<LinePiece> pieces;
    HostileAct act;
};

Done apply(HostileKind kind, const Bytes& frame, uint64_t seed) {
    auto random = hostileGenerator(seed, 1, 0);
    Done d;
    d.pieces = hostilePieces(kind, frame, random, d.act);
    return d;
}

Bytes join(const std::vector<LinePiece>& pieces) {
    Bytes all;
    for (const auto& p : pieces)
        all.insert(all.end(), p.bytes.begin(), p.bytes.end());
    return all;
}

} // namespace

TEST(SimHostile, EveryKindDoesToTheFrameWhatItSays) {
    using What = LinePiece::What;
    const Bytes f = dataFrame(7);
    std::set<std::string> fakeEnds;
    for (uint64_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(seed);
        Done g = apply(HostileKind::Garbage, f, seed);
        ASSERT_EQ(g.pieces.size(), 2u);
        EXPECT_EQ(g.pieces[0].what, What::Junk);
        EXPECT_EQ(int(g.pieces[0].bytes.size()), g.act.count);
        EXPECT_EQ(std::count(g.pieces[0].bytes.begin(), g.pieces[0].bytes.end(), FRAME_SOP), 0);
        EXPECT_EQ(g.pieces[1].bytes, f);

        // One false start, a command the dongle never sends, a stray end byte; F unchanged.
        Done h = apply(HostileKind::FakeHeader, f, seed);
        ASSERT_EQ(h.pieces.size(), 2u);
        const Bytes& junk = h.pieces[0].bytes;
        ASSERT_EQ(int(junk.size()), h.act.count);
        EXPECT_EQ(std::count(junk.begin(), junk.end(), FRAME_SOP), 1);
        ASSERT_EQ(junk[h.act.position], FRAME_SOP);
        EXPECT_GE(junk[h.act.position + 1], 0x60);
        EXPECT_LE(junk[h.act.position + 1], 0x7F);
        EXPECT_GE(std::count(junk.begin(), junk.end(), FRAME_EOP) - (junk[h.act.position + 2] == FRAME_EOP), 1);
        EXPECT_EQ(h.pieces[1].bytes, f);
        const std::size_t end = h.act.position + 3 + junk[h.act.position + 2]; // of the false frame
        const Bytes line = join(h.pieces);
        fakeEnds.insert(end < junk.size()        ? (line[end] == FRAME_EOP ? "junk frame" : "in junk")
                        : end == line.size() - 1 ? "on F's end"
                        : end < line.size()      ? (line[end] == FRAME_EOP ? "in F on 0x0A" : "in F")
                                                 : "past F");

        Done i = apply(HostileKind::JunkInside, f, seed);
        ASSERT_EQ(i.pieces.size(), 1u);
        EXPECT_EQ(i.pieces[0].what, What::Altered);
        ASSERT_GE(i.act.position, 1);
        ASSERT_LE(i.act.position, int(f.size()) - 1);
        ASSERT_EQ(i.pieces[0].bytes.size(), f.size() + i.act.count);
        Bytes without = i.pieces[0].bytes;
        without.erase(without.begin() + i.act.position, without.begin() + i.act.position + i.act.count);
        EXPECT_EQ(without, f);

        Done b = apply(HostileKind::BitFlip, f, seed);
        ASSERT_EQ(b.pieces.size(), 1u);
        int bits = 0;
        for (std::size_t k = 0; k < f.size(); ++k)
            bits += std::popcount(unsigned(f[k] ^ b.pieces[0].bytes[k]));
        EXPECT_EQ(bits, 1);
        EXPECT_EQ(b.pieces[0].bytes[b.act.position] ^ f[b.act.position], 1 << b.act.bit);

        Done t = apply(HostileKind::Truncate, f, seed);
        ASSERT_EQ(t.pieces.size(), 1u);
        ASSERT_GE(t.act.position, 1);
        ASSERT_LT(t.act.position, int(f.size()));
        EXPECT_EQ(t.pieces[0].bytes, Bytes(f.begin(), f.begin() + t.act.position));

        Done d = apply(HostileKind::Duplicate, f, seed);
        EXPECT_EQ(join(d.pieces), join({{What::Frame, f}, {What::Frame, f}}));

        Done j = apply(HostileKind::CounterJump, f, seed);
        EXPECT_TRUE(j.pieces.empty());
        EXPECT_GE(j.act.count, 1);
        EXPECT_LE(j.act.count, 20);

        // Same seed, same bytes.
        EXPECT_EQ(join(apply(HostileKind::JunkInside, f, seed).pieces), join(i.pieces));
        EXPECT_EQ(join(apply(HostileKind::FakeHeader, f, seed).pieces), join(h.pieces));
    }
    // The false frame ends everywhere a reader can stumble.
    for (const char* where : {"junk frame", "in junk", "on F's end", "in F", "past F"})
        EXPECT_TRUE(fakeEnds.count(where)) << where;
    EXPECT_NE(join(apply(HostileKind::FakeHeader, f, 1).pieces), join(apply(HostileKind::FakeHeader, f, 2).pieces));
}

TEST(SimHostile, AuditCountsWhatAReaderKeepingTheRuleFinds) {
    LineAudit audit;
    const Bytes a = dataFrame(1), b = dataFrame(2), c = dataFrame(3);
    audit.frame(a, true);
    audit.junk(Bytes{0x55, 0x0A, 0xFF}, HostileKind::Garbage);
    audit.frame(b, true);
    EXPECT_EQ(audit.counts().intact, 2u);

    // A false start whose end byte lands inside the next frame on something else than 0x0A
    // costs nothing: the reader skips one byte and finds the frame.
    audit.junk(Bytes{0x02, 0x61, uint8_t(4 + 5)}, HostileKind::FakeHeader); // ends on c's 10th byte
    audit.frame(c, true);
    EXPECT_EQ(audit.counts().intact, 3u);
    // One that ends exactly on the next frame's end byte swallows it.
    audit.junk(Bytes{0x02, 0x62, uint8_t(c.size() - 1)}, HostileKind::FakeHeader);
    audit.frame(c, true);
    EXPECT_EQ(audit.counts().intact, 3u);
    EXPECT_EQ(audit.counts().cost[int(HostileKind::FakeHeader)], 1u);

    // A cut frame claims bytes that have not come yet: what follows is pending until they do.
    const Bytes longer = dataFrame(4, 56);
    audit.altered(Bytes(longer.begin(), longer.begin() + 10), HostileKind::Truncate);
    audit.frame(b, true);
    EXPECT_EQ(audit.counts().pending, 1u);
    audit.frame(c, true);
    const auto& n = audit.counts();
    EXPECT_EQ(n.damaged[int(HostileKind::Truncate)], 1u);
    EXPECT_EQ(n.pending, 0u);
    // Every data frame in exactly one fate; the reader passed on every data command it met.
    uint64_t touched = 0;
    for (int k = 0; k < hostileKindCount; ++k)
        touched += n.damaged[k] + n.cost[k];
    EXPECT_EQ(n.intact + n.pending + touched, 7u);
    EXPECT_EQ(n.found, n.intact);
}
