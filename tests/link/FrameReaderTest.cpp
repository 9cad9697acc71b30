#include "device/link/FrameReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::initializer_list<uint8_t> list) { return Bytes(list); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes status = bytes({0x02, 0x14, 0x06, 0x00, 0x05, 0x05, 0x01, 0x02, 0x03, 0x0A});
const Bytes ack = bytes({0x02, 0xAA, 0x01, 0x24, 0x0A});
const Bytes radio = bytes({0x02, 0x40, 0x02, 0x01, 0x01, 0x0A});

// A data frame of remote 1 with the largest payload the length byte allows.
Bytes longFrame() {
    Bytes f = {0x02, 0x41, 0xFF};
    for (int i = 0; i < 255; ++i)
        f.push_back(uint8_t(i + 1));
    f.push_back(0x0A);
    return f;
}

// Feeds `stream` cut at the given offsets and collects the frames with the number of
// feeds that produced at least one (the transport wakes the parser once per such read).
struct FeedResult {
    std::vector<Bytes> frames;
    int wakes = 0;
};

FeedResult feedInPieces(FrameReader& reader, const Bytes& stream, std::vector<size_t> cuts) {
    FeedResult run;
    size_t from = 0;
    cuts.push_back(stream.size());
    for (size_t to : cuts) {
        size_t n = reader.feed(stream.data() + from, to - from,
                               [&](const uint8_t* d, size_t s) { run.frames.emplace_back(d, d + s); });
        if (n > 0)
            ++run.wakes;
        from = to;
    }
    return run;
}

// A data frame as the dongle streams it: remote, counter, a spare byte, one 12-byte
// accelerometer slot. Its samples hold 0x02 and 0x0A bytes, and even a data frame header
// (02 41 0A) that names no remote, as real samples may.
Bytes dataFrame(uint8_t counter) {
    return bytes({0x02, 0x41, 18,   0x01, counter, 0x00, 0x01, 0x01, 12,   0x02, 0x0A,
                  0x07, 0xFF, 0x02, 0x41, 0x0A,    0x00, 0x08, 0x02, 0x09, 0x0A, 0x0A});
}

struct Cut {
    std::vector<Bytes> frames;
    uint64_t errors = 0;
    uint64_t dropped = 0;
    size_t pending = 0;
};

Cut cutInPieces(const Bytes& stream, size_t piece) {
    FrameReader reader;
    Cut cut;
    for (size_t at = 0; at < stream.size(); at += piece)
        reader.feed(stream.data() + at, std::min(piece, stream.size() - at),
                    [&](const uint8_t* d, size_t s) { cut.frames.emplace_back(d, d + s); });
    cut.errors = reader.framingErrors();
    cut.dropped = reader.droppedBytes();
    cut.pending = reader.pendingBytes();
    EXPECT_EQ(reader.frameCount(), cut.frames.size());
    return cut;
}

// The stream in one feed; every piece size from 1 byte up must cut it the same way.
Cut cutEveryWay(const Bytes& stream) {
    Cut whole = cutInPieces(stream, stream.size());
    for (size_t piece = 1; piece < stream.size(); ++piece) {
        Cut cut = cutInPieces(stream, piece);
        EXPECT_EQ(cut.frames, whole.frames) << "pieces of " << piece;
        EXPECT_EQ(cut.errors, whole.errors) << "pieces of " << piece;
        EXPECT_EQ(cut.dropped, whole.dropped) << "pieces of " << piece;
        if (::testing::Test::HasFailure())
            break;
    }
    return whole;
}

// Frames of every kind, in turn.
Bytes goodFrame(size_t i) {
    switch (i % 4) {
    case 0: return dataFrame(uint8_t(10 + i));
    case 1: return ack;
    case 2: return status;
    default: return longFrame();
    }
}

} // namespace

TEST(FrameReader, FrameSplitOverThreeReadsIsQueuedOnceWhole) {
    FrameReader reader;
    EXPECT_TRUE(reader.feed(bytes({0x02, 0x14})).empty());
    EXPECT_TRUE(reader.feed(bytes({0x06, 0x00, 0x05})).empty());
    auto frames = reader.feed(bytes({0x05, 0x01, 0x02, 0x03, 0x0A}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], status);
}

TEST(FrameReader, EverySplitOfAStreamYieldsTheSameFramesInOrder) {
    const Bytes stream = concat({status, ack, longFrame(), radio, status});
    const std::vector<Bytes> expected = {status, ack, longFrame(), radio, status};

    // One byte per read, the hardest case for the header and seam handling.
    {
        FrameReader reader;
        std::vector<size_t> cuts;
        for (size_t i = 1; i < stream.size(); ++i)
            cuts.push_back(i);
        EXPECT_EQ(feedInPieces(reader, stream, cuts).frames, expected);
    }
    // Every two-piece split (5 + rest among them), and reads of the transport's 128 bytes.
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameReader reader;
        EXPECT_EQ(feedInPieces(reader, stream, {cut}).frames, expected) << "cut at " << cut;
    }
    {
        FrameReader reader;
        std::vector<size_t> cuts;
        for (size_t i = 128; i < stream.size(); i += 128)
            cuts.push_back(i);
        EXPECT_EQ(feedInPieces(reader, stream, cuts).frames, expected);
        EXPECT_EQ(reader.frameCount(), 5u);
        EXPECT_EQ(reader.droppedBytes(), 0u);
    }
}

TEST(FrameReader, FramesOfOneReadComeFromOneFeedAndABoundaryLeavesNothingPending) {
    FrameReader reader;
    FeedResult run = feedInPieces(reader, concat({ack, status}), {});
    EXPECT_EQ(run.frames, (std::vector<Bytes>{ack, status}));
    EXPECT_EQ(run.wakes, 1);

    run = feedInPieces(reader, concat({ack, status, radio}), {ack.size()});
    EXPECT_EQ(run.frames, (std::vector<Bytes>{ack, status, radio}));
    EXPECT_EQ(run.wakes, 2);
    EXPECT_EQ(reader.pendingBytes(), 0u);
    // The next read starts a fresh frame at its first byte.
    EXPECT_EQ(reader.feed(radio), std::vector<Bytes>{radio});
}

TEST(FrameReader, BadEndByteResynchronisesOnTheNextStartByte) {
    FrameReader reader;
    int errors = 0;
    // 02 14 02 ... would be a 6-byte frame ending in 0x02: wrong. Its third byte is a 0x02
    // that must be tried too (it fails as well), then the real frames follow.
    const Bytes bad = bytes({0x02, 0x14, 0x02, 0x55, 0x03});
    const Bytes stream = concat({bad, ack, status});
    std::vector<Bytes> frames;
    reader.feed(
        stream.data(), stream.size(), [&](const uint8_t* d, size_t s) { frames.emplace_back(d, d + s); },
        [&](bool) { ++errors; });
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], ack);
    EXPECT_EQ(frames[1], status);
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(reader.framingErrors(), 2u);
    // Every byte before the ack frame was dropped and counted.
    EXPECT_EQ(reader.droppedBytes(), bad.size());
    EXPECT_FALSE(reader.resynchronising());
}

TEST(FrameReader, FalseStartWithALongLengthDelaysButLosesNoFrameBehindIt) {
    // A stray 0x02 claiming a 0x66-byte payload swallows the frames behind it until enough
    // bytes have come to prove it wrong; then they are found again inside the held bytes.
    FrameReader reader;
    const Bytes stray = bytes({0x02, 0x55, 0x66});
    Bytes stream = stray;
    std::vector<Bytes> expected;
    for (int i = 0; i < 20; ++i) {
        const Bytes& f = (i % 2) ? ack : status;
        stream.insert(stream.end(), f.begin(), f.end());
        expected.push_back(f);
    }
    for (size_t cut : {size_t(1), size_t(7), size_t(64), stream.size()}) {
        FrameReader r;
        std::vector<size_t> cuts;
        for (size_t i = cut; i < stream.size(); i += cut)
            cuts.push_back(i);
        EXPECT_EQ(feedInPieces(r, stream, cuts).frames, expected) << "reads of " << cut;
        EXPECT_EQ(r.droppedBytes(), stray.size());
        EXPECT_EQ(r.framingErrors(), 1u);
    }
}

TEST(FrameReader, BadFrameAcrossReadsIsReportedAsSuchAndReadingGoesOn) {
    FrameReader reader;
    std::vector<bool> across;
    std::vector<Bytes> frames;
    auto onFrame = [&](const uint8_t* d, size_t s) { frames.emplace_back(d, d + s); };
    auto onError = [&](bool a) { across.push_back(a); };
    // An acknowledgement cut short, then a good frame starts where its end byte should
    // be: the good frame is found inside the held-over bytes.
    const Bytes first = bytes({0x02, 0xAA, 0x01, 0x21});
    const Bytes second = concat({ack, status});
    reader.feed(first.data(), first.size(), onFrame, onError);
    reader.feed(second.data(), second.size(), onFrame, onError);
    ASSERT_EQ(across.size(), 1u);
    EXPECT_TRUE(across[0]);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], ack);
    EXPECT_EQ(frames[1], status);
    EXPECT_EQ(reader.droppedBytes(), 4u);
}

TEST(FrameReader, JunkWithoutStartBytesBetweenFramesCostsNothing) {
    // Bursts of 1 to 8 bytes in front of most frames (the first one included); they hold
    // end bytes, command codes and length bytes, never a 0x02.
    std::mt19937 random(11);
    Bytes stream;
    std::vector<Bytes> sent;
    uint64_t junk = 0, bursts = 0;
    for (size_t i = 0; i < 40; ++i) {
        if (i % 3 != 2) {
            const size_t n = 1 + random() % 8;
            for (size_t k = 0; k < n; ++k) {
                const uint8_t b = uint8_t(random());
                stream.push_back(b == FrameReader::startByte ? 0x0A : b);
            }
            junk += n;
            ++bursts;
        }
        sent.push_back(goodFrame(i));
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }
    Cut cut = cutEveryWay(stream);
    EXPECT_EQ(cut.frames, sent);
    EXPECT_EQ(cut.dropped, junk);
    EXPECT_EQ(cut.errors, bursts); // one per burst: the bytes after its first are skipped
    EXPECT_EQ(cut.pending, 0u);
}

TEST(FrameReader, JunkWithStartAndEndBytesCostsNoFrame) {
    const std::vector<Bytes> junk = {
        bytes({0x02}),
        bytes({0x02, 0x41, 0x30}),                         // a long data frame header
        bytes({0x02, 0x41, 0x19, 0x01, 0x07, 0x00, 0x00}), // ends on the next data frame's end
        bytes({0x0A, 0x0A, 0x02, 0x0A}),
        bytes({0x02, 0xAA, 0x01}), // an acknowledgement's header
        bytes({0x02, 0x14, 0x06, 0x00}),
        bytes({0x55, 0x02, 0x28, 0x04, 0x01}),
        bytes({0x02, 0x02, 0x02, 0x41}),
    };
    Bytes stream;
    std::vector<Bytes> sent;
    uint64_t junkBytes = 0;
    for (size_t i = 0; i < 32; ++i) {
        const Bytes& j = junk[i % junk.size()];
        stream.insert(stream.end(), j.begin(), j.end());
        junkBytes += j.size();
        sent.push_back(i % 2 ? goodFrame(i / 2) : dataFrame(uint8_t(i)));
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }
    Cut cut = cutEveryWay(stream);
    EXPECT_EQ(cut.frames, sent);
    EXPECT_EQ(cut.dropped, junkBytes);
}

TEST(FrameReader, DamagedFrameCostsOnlyItself) {
    const Bytes frame = dataFrame(20);
    std::vector<std::pair<std::string, Bytes>> damaged;
    for (size_t at : {size_t(0), size_t(1), size_t(2), frame.size() - 1})
        for (int bit = 0; bit < 8; ++bit) {
            Bytes d = frame;
            d[at] ^= uint8_t(1 << bit);
            damaged.emplace_back("bit " + std::to_string(bit) + " of byte " + std::to_string(at), d);
        }
    damaged.emplace_back("truncated", Bytes(frame.begin(), frame.begin() + 10));
    Bytes inside = frame;
    inside.insert(inside.begin() + 9, {0x55, 0x0A, 0x17});
    damaged.emplace_back("junk inside", inside);

    for (const auto& [what, bad] : damaged) {
        SCOPED_TRACE(what);
        const std::vector<Bytes> good = {dataFrame(19), ack, status, dataFrame(21), longFrame()};
        const Bytes stream = concat({good[0], bad, good[1], good[2], good[3], good[4]});
        Cut cut = cutEveryWay(stream);
        EXPECT_EQ(cut.frames, good);
        EXPECT_EQ(cut.dropped, bad.size());
        if (::testing::Test::HasFailure())
            break;
    }
}

TEST(FrameReader, ReplyBehindAFalseStartComesOutInTheSameFeed) {
    // The dongle's last data frame, a false start, then the answer to a stop: nothing more
    // will come, so the answer must not wait for later bytes.
    const Bytes stopAck = bytes({0x02, 0xAA, 0x01, 0x21, 0x0A});
    for (const Bytes& stray : {bytes({0x02, 0x41, 0x30}), bytes({0x02, 0x41, 0x30, 0x01, 0x07}),
                               bytes({0x02, 0x28, 0x08, 0x01, 0x03}), bytes({0x02})}) {
        FrameReader reader;
        auto frames = reader.feed(concat({dataFrame(30), stray, stopAck}));
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[1], stopAck);
        EXPECT_EQ(reader.pendingBytes(), 0u);
        EXPECT_EQ(reader.droppedBytes(), stray.size());
    }
}

TEST(FrameReader, AbandonedFrameDoesNotTakeTheNextFrameAlong) {
    // A data frame cut short, then the line goes quiet. Had the next frame been joined to
    // it, the old frame's stated end would fall on that frame's 0x0A at offset 10 and make
    // one bogus frame of the two.
    const Bytes head = bytes({0x02, 0x41, 0x0D, 0x01, 0x33, 0x00});
    FrameReader reader;
    std::vector<bool> across;
    std::vector<Bytes> frames;
    auto onFrame = [&](const uint8_t* d, size_t s) { frames.emplace_back(d, d + s); };
    auto onError = [&](bool a) { across.push_back(a); };
    reader.feed(head.data(), head.size(), onFrame, onError);
    EXPECT_EQ(reader.pendingBytes(), head.size());
    EXPECT_EQ(reader.abandonPending(onFrame, onError), 0u);
    EXPECT_EQ(reader.pendingBytes(), 0u);
    EXPECT_EQ(reader.framingErrors(), 1u);
    EXPECT_EQ(reader.droppedBytes(), head.size());
    EXPECT_EQ(across, std::vector<bool>{true});

    const Bytes next = dataFrame(31);
    reader.feed(next.data(), next.size(), onFrame, onError);
    EXPECT_EQ(frames, std::vector<Bytes>{next});
    EXPECT_EQ(reader.abandonPending(onFrame, onError), 0u); // nothing held: nothing counted
    EXPECT_EQ(reader.framingErrors(), 1u);
}
