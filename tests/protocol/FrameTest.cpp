#include "device/protocol/Packet.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Frame, BuildFramesAnyCodeAndPayloadAndRefusesAPayloadOver255Bytes) {
    EXPECT_EQ(buildFrame(0x14), (Bytes{0x02, 0x14, 0x00, 0x0A}));
    const Bytes payload = {0x01, 0xFF, 0x0A, 0x02};
    EXPECT_EQ(buildFrame(0x41, payload), (Bytes{0x02, 0x41, 0x04, 0x01, 0xFF, 0x0A, 0x02, 0x0A}));

    Bytes largest(255, 0x55);
    auto frame = buildFrame(0x41, largest);
    ASSERT_EQ(frame.size(), FRAME_MAX_SIZE);
    EXPECT_EQ(frame[2], 255);
    EXPECT_EQ(frame.back(), FRAME_EOP);

    Bytes tooLarge(256, 0x55);
    EXPECT_TRUE(buildFrame(0x41, tooLarge).empty());
    EXPECT_EQ(Packet::frame(0x41, tooLarge), nullptr);
}

TEST(Frame, CheckFindsEachKindOfDamage) {
    EXPECT_EQ(checkFrame(Bytes{0x02, 0x14, 0x00, 0x0A}), FrameError::None);
    EXPECT_EQ(checkFrame(Bytes{}), FrameError::TooShort);
    EXPECT_EQ(checkFrame(Bytes{0x02, 0x14, 0x00}), FrameError::TooShort);
    EXPECT_EQ(checkFrame(Bytes{0x03, 0x14, 0x00, 0x0A}), FrameError::BadSOP);
    EXPECT_EQ(checkFrame(Bytes{0x02, 0x14, 0x00, 0x0B}), FrameError::BadEOP);
    // The length byte announces more than is there: never read past the end.
    EXPECT_EQ(checkFrame(Bytes{0x02, 0xAA, 0x05, 0x01, 0x0A}), FrameError::TooShort);
    EXPECT_EQ(checkFrame(Bytes{0x02, 0xAA, 0x01, 0x14, 0x0A, 0x0A}), FrameError::TooLong);
    // A payload byte equal to the end byte does not end the frame early.
    EXPECT_EQ(checkFrame(Bytes{0x02, 0xAA, 0x01, 0x0A, 0x0A}), FrameError::None);
}

TEST(Frame, SizeFromHeaderNeedsThreeBytes) {
    EXPECT_EQ(frameSizeFromHeader(Bytes{0x02, 0x41}), 0u);
    EXPECT_EQ(frameSizeFromHeader(Bytes{0x02, 0x41, 0x00}), 4u);
    EXPECT_EQ(frameSizeFromHeader(Bytes{0x02, 0x41, 0xFF}), 259u);
}

TEST(Frame, PacketViewsNeverReadPastTheEnd) {
    Packet whole(Bytes{0x02, 0xBB, 0x02, 0x26, 0x04, 0x0A});
    EXPECT_TRUE(whole.isWellFormed());
    EXPECT_EQ(whole.command(), 0xBB);
    EXPECT_EQ(whole.payloadLength(), 2);
    EXPECT_EQ(Bytes(whole.payload().begin(), whole.payload().end()), (Bytes{0x26, 0x04}));

    Packet cut(Bytes{0x02, 0x41, 0x10, 0x01});
    EXPECT_EQ(cut.check(), FrameError::TooShort);
    EXPECT_EQ(cut.payload().size(), 1u);

    Packet tiny(Bytes{0x02});
    EXPECT_EQ(tiny.command(), 0);
    EXPECT_EQ(tiny.payloadLength(), 0);
    EXPECT_TRUE(tiny.payload().empty());

    Packet fromNull(nullptr, 10);
    EXPECT_TRUE(fromNull.empty());
}

TEST(Frame, BigEndianHelpersRoundTripAndStayInBounds) {
    Bytes out;
    appendBigEndian16(out, 0xBEEF);
    appendBigEndian24(out, 0x12345678); // only the low 24 bits are sent
    EXPECT_EQ(out, (Bytes{0xBE, 0xEF, 0x34, 0x56, 0x78}));
    EXPECT_EQ(readBigEndian16(out, 0), 0xBEEF);
    EXPECT_EQ(readBigEndian24(out, 2), 0x345678u);
    EXPECT_EQ(readBigEndian24(out, 3), 0u);
    EXPECT_EQ(readBigEndian16(out, 4), 0u);
    EXPECT_EQ(readBigEndian16(out, 99), 0u);
}

} // namespace
