#include "device/link/FrameReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::initializer_list<uint8_t> list) { return Bytes(list); }

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes status = bytes({0x02, 0x14, 0x06, 0x00, 0x05, 0x05, 0x01, 0x02, 0x03, 0x0A});
const Bytes ack = bytes({0x02, 0xAA, 0x01, 0x24, 0x0A});
const Bytes empty = bytes({0x02, 0x12, 0x00, 0x0A});

// A frame with the largest payload the length byte allows.
Bytes longFrame()
{
    Bytes f = {0x02, 0x41, 0xFF};
    for (int i = 0; i < 255; ++i)
        f.push_back(uint8_t(i));
    f.push_back(0x0A);
    return f;
}

// Feeds `stream` cut at the given offsets and collects the frames with the number of
// feeds that produced at least one (the transport wakes the parser once per such read).
struct FeedResult {
    std::vector<Bytes> frames;
    int wakes = 0;
};

FeedResult feedInPieces(FrameReader& reader, const Bytes& stream, std::vector<size_t> cuts)
{
    FeedResult run;
    size_t from = 0;
    cuts.push_back(stream.size());
    for (size_t to : cuts) {
        size_t n = reader.feed(stream.data() + from, to - from, [&](const uint8_t* d, size_t s) {
            run.frames.emplace_back(d, d + s);
        });
        if (n > 0)
            ++run.wakes;
        from = to;
    }
    return run;
}

} // namespace

TEST(FrameReader, FrameSplitOverThreeReadsIsQueuedOnceWhole)
{
    FrameReader reader;
    EXPECT_TRUE(reader.feed(bytes({0x02, 0x14})).empty());
    EXPECT_TRUE(reader.feed(bytes({0x06, 0x00, 0x05})).empty());
    auto frames = reader.feed(bytes({0x05, 0x01, 0x02, 0x03, 0x0A}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], status);
}

TEST(FrameReader, EverySplitOfAStreamYieldsTheSameFramesInOrder)
{
    const Bytes stream = concat({status, ack, longFrame(), empty, status});
    const std::vector<Bytes> expected = {status, ack, longFrame(), empty, status};

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

TEST(FrameReader, TwoFramesInOneReadComeOutInOrderFromOneFeed)
{
    FrameReader reader;
    FeedResult run = feedInPieces(reader, concat({ack, status}), {});
    ASSERT_EQ(run.frames.size(), 2u);
    EXPECT_EQ(run.frames[0], ack);
    EXPECT_EQ(run.frames[1], status);
    EXPECT_EQ(run.wakes, 1);
}

TEST(FrameReader, ReadEndingOnAFrameBoundaryLeavesNothingPending)
{
    FrameReader reader;
    FeedResult run = feedInPieces(reader, concat({ack, status, empty}), {ack.size()});
    EXPECT_EQ(run.frames.size(), 3u);
    EXPECT_EQ(run.wakes, 2);
    EXPECT_EQ(reader.pendingBytes(), 0u);
    // The next read starts a fresh frame at its first byte.
    auto frames = reader.feed(empty);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], empty);
}

TEST(FrameReader, BadEndByteResynchronisesOnTheNextStartByte)
{
    FrameReader reader;
    int errors = 0;
    // 02 14 02 ... would be a 6-byte frame ending in 0x02: wrong. Its third byte is a 0x02
    // that must be tried too (it fails as well), then the real frames follow.
    const Bytes bad = bytes({0x02, 0x14, 0x02, 0x55, 0x03});
    const Bytes stream = concat({bad, ack, status});
    std::vector<Bytes> frames;
    reader.feed(stream.data(), stream.size(),
                [&](const uint8_t* d, size_t s) { frames.emplace_back(d, d + s); },
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

TEST(FrameReader, FalseStartWithALongLengthDelaysButLosesNoFrameBehindIt)
{
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

TEST(FrameReader, GarbageBeforeTheFirstFrameIsDroppedAndCounted)
{
    FrameReader reader;
    // 0x41 0x00 0x99 would claim a 3-byte payload; its "end byte" is not 0x0A.
    const Bytes garbage = bytes({0x41, 0x00, 0x03, 0x99, 0x98, 0x97, 0x96});
    FeedResult run = feedInPieces(reader, concat({garbage, status, ack}), {3, 9});
    ASSERT_EQ(run.frames.size(), 2u);
    EXPECT_EQ(run.frames[0], status);
    EXPECT_EQ(run.frames[1], ack);
    EXPECT_EQ(reader.droppedBytes(), garbage.size());
}

TEST(FrameReader, BadFrameAcrossReadsIsReportedAsSuchAndReadingGoesOn)
{
    FrameReader reader;
    std::vector<bool> across;
    std::vector<Bytes> frames;
    auto onFrame = [&](const uint8_t* d, size_t s) { frames.emplace_back(d, d + s); };
    auto onError = [&](bool a) { across.push_back(a); };
    // A header claiming 4 payload bytes, then a good frame starts where its end byte should
    // be: the good frame is found inside the held-over bytes.
    const Bytes first = bytes({0x02, 0x40, 0x04, 0x01});
    const Bytes second = concat({bytes({0x01}), ack, status});
    reader.feed(first.data(), first.size(), onFrame, onError);
    reader.feed(second.data(), second.size(), onFrame, onError);
    ASSERT_EQ(across.size(), 1u);
    EXPECT_TRUE(across[0]);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], ack);
    EXPECT_EQ(frames[1], status);
    EXPECT_EQ(reader.droppedBytes(), 5u);
}
