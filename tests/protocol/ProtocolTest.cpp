#include "device/protocol/Protocol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

// Everything the encoders queued, oldest first.
std::vector<Bytes> queued(Protocol& protocol) {
    std::vector<Bytes> frames;
    for (auto& packet : protocol.getCommandQueue()->drain())
        frames.push_back(packet->vector());
    return frames;
}

Bytes onlyFrame(Protocol& protocol) {
    auto frames = queued(protocol);
    EXPECT_EQ(frames.size(), 1u);
    return frames.empty() ? Bytes{} : frames.front();
}

TEST(ProtocolEncoders, ByteVectorsOfEachFrameShape) {
    Protocol protocol;
    EXPECT_TRUE(protocol.encodeCommand(GET_DONGLE_STATUS));
    EXPECT_EQ(onlyFrame(protocol), (Bytes{0x02, 0x14, 0x00, 0x0A}));

    EXPECT_TRUE(protocol.encodeRemoteCommand(GET_PACKET_CONFIG, 2));
    EXPECT_EQ(onlyFrame(protocol), (Bytes{0x02, 0x28, 0x01, 0x02, 0x0A}));

    EXPECT_TRUE(protocol.encodeTwoByteCommand(SET_FIXED_CONFIG, 1, 47));
    EXPECT_EQ(onlyFrame(protocol), (Bytes{0x02, 0x26, 0x02, 0x01, 0x2F, 0x0A}));

    EXPECT_TRUE(protocol.startPairing(1, 1, 0x123456));
    EXPECT_EQ(onlyFrame(protocol), (Bytes{0x02, 0x10, 0x05, 0x01, 0x01, 0x12, 0x34, 0x56, 0x0A}));

    EXPECT_TRUE(protocol.setOutputConfig(2, 20, 1, 1));
    EXPECT_EQ(onlyFrame(protocol), (Bytes{0x02, 0x24, 0x04, 0x02, 0x01, 0x14, 0x21, 0x0A}));
}

TEST(ProtocolEncoders, OutputValueKeepsOnlyFiveBits) {
    Protocol protocol;
    EXPECT_TRUE(protocol.setOutputConfig(2, 20, 1, 33));
    EXPECT_TRUE(protocol.setOutputConfig(2, 20, 7, 31));
    EXPECT_TRUE(protocol.setOutputConfig(1, 20, 0, 32));
    auto frames = queued(protocol);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0][6], 0x21); // 33 is sent as 1
    EXPECT_EQ(frames[1][6], 0xFF); // largest key and value fill the byte
    EXPECT_EQ(frames[2][6], 0x00);

    EXPECT_EQ(Protocol::outputSettingKey(0xFF), 7);
    EXPECT_EQ(Protocol::outputSettingValue(0x21), 1);
}

TEST(ProtocolEncoders, OutputKeyBeyondThreeBitsIsRefusedRatherThanSentAsAnotherKey) {
    Protocol protocol;
    EXPECT_FALSE(protocol.setOutputConfig(1, 20, 8, 1)); // would become key 0
    EXPECT_FALSE(protocol.setOutputConfig(1, 20, -1, 1));
    EXPECT_TRUE(protocol.getCommandQueue()->empty());
}

TEST(ProtocolEncoders, PairingIdentifierKeepsItsLow24Bits) {
    Protocol protocol;
    EXPECT_TRUE(protocol.startPairing(2, 3, 0xFFABCDEF));
    EXPECT_TRUE(protocol.startPairing(1, 0, 0));
    EXPECT_TRUE(protocol.startPairing(1, 1, 0xFFFFFF));
    auto frames = queued(protocol);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (Bytes{0x02, 0x10, 0x05, 0x02, 0x03, 0xAB, 0xCD, 0xEF, 0x0A}));
    EXPECT_EQ(frames[1], (Bytes{0x02, 0x10, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(frames[2], (Bytes{0x02, 0x10, 0x05, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0x0A}));
    EXPECT_EQ(readBigEndian24(frames[0], 5), 0xABCDEFu);
}

TEST(ProtocolEncoders, ByteArgumentsOutsideAByteAreRefused) {
    Protocol protocol;
    EXPECT_FALSE(protocol.getRemoteStatus(257)); // would go out as remote 1
    EXPECT_FALSE(protocol.getRemoteStatus(-1));
    EXPECT_FALSE(protocol.setFixedConfig(1, 300));
    EXPECT_FALSE(protocol.getCalibration(1, -4));
    EXPECT_FALSE(protocol.startPairing(1, 256, 1));
    EXPECT_TRUE(protocol.getCommandQueue()->empty());
}

TEST(ProtocolEncoders, WrappersSendTheirOwnCodesInCallOrder) {
    Protocol protocol;
    const std::vector<std::pair<std::function<bool()>, Bytes>> cases = {
        {[&] { return protocol.stopPairing(); }, {0x02, 0x11, 0x00, 0x0A}},
        {[&] { return protocol.getPairing(); }, {0x02, 0x12, 0x00, 0x0A}},
        {[&] { return protocol.findRemote(); }, {0x02, 0x13, 0x00, 0x0A}},
        {[&] { return protocol.getDongleStatus(); }, {0x02, 0x14, 0x00, 0x0A}},
        {[&] { return protocol.startData(); }, {0x02, 0x20, 0x00, 0x0A}},
        {[&] { return protocol.stopData(); }, {0x02, 0x21, 0x00, 0x0A}},
        {[&] { return protocol.startAsymetricData(1); }, {0x02, 0x2C, 0x01, 0x01, 0x0A}},
        {[&] { return protocol.getFixedConfig(2); }, {0x02, 0x27, 0x01, 0x02, 0x0A}},
        {[&] { return protocol.getPacketConfig(1); }, {0x02, 0x28, 0x01, 0x01, 0x0A}},
        {[&] { return protocol.getOutputConfig(2); }, {0x02, 0x25, 0x01, 0x02, 0x0A}},
        {[&] { return protocol.getRemoteStatus(1); }, {0x02, 0x2A, 0x01, 0x01, 0x0A}},
        {[&] { return protocol.powerDown(2); }, {0x02, 0x2B, 0x01, 0x02, 0x0A}},
        {[&] { return protocol.setFixedConfig(2, 12); }, {0x02, 0x26, 0x02, 0x02, 0x0C, 0x0A}},
        {[&] { return protocol.getCalibration(1, 26); }, {0x02, 0x29, 0x02, 0x01, 0x1A, 0x0A}},
    };
    for (const auto& [encode, bytes] : cases)
        EXPECT_TRUE(encode());
    auto frames = queued(protocol);
    ASSERT_EQ(frames.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(frames[i], cases[i].second) << "frame " << i;
}

TEST(ProtocolEncoders, EachEncoderAcceptsExactlyItsOwnCodes) {
    const std::vector<int> payloadless = {STOP_PAIRING, GET_PAIRING, FIND_REMOTE,       GET_DONGLE_STATUS,
                                          START_DATA,   STOP_DATA,   GET_OUTPUT_CONFIG, ENTER_BOOTLOADER};
    const std::vector<int> oneByte = {GET_SENSOR_CONFIG, GET_OUTPUT_CONFIG, GET_FIXED_CONFIG,    GET_PACKET_CONFIG,
                                      GET_REMOTE_STATUS, POWER_DOWN,        START_ASYMETRIC_DATA};
    const std::vector<int> twoByte = {SET_FIXED_CONFIG, GET_CALIBRATION};
    auto in = [](const std::vector<int>& list, int code) {
        return std::find(list.begin(), list.end(), code) != list.end();
    };
    // Every int a caller could pass, including ones that truncate to a valid byte.
    for (int code = -1; code <= 0x1FF; ++code) {
        EXPECT_EQ(Protocol::acceptsCommand(code), in(payloadless, code)) << code;
        EXPECT_EQ(Protocol::acceptsRemoteCommand(code), in(oneByte, code)) << code;
        EXPECT_EQ(Protocol::acceptsTwoByteCommand(code), in(twoByte, code)) << code;
    }
}

#ifdef NDEBUG
TEST(ProtocolEncoders, WrongCodeIsRefusedAndNothingIsQueued) {
    Protocol protocol;
    EXPECT_FALSE(protocol.encodeCommand(START_PAIRING));
    EXPECT_FALSE(protocol.encodeCommand(0x114)); // truncates to GET_DONGLE_STATUS
    EXPECT_FALSE(protocol.encodeRemoteCommand(START_DATA, 1));
    EXPECT_FALSE(protocol.encodeTwoByteCommand(GET_FIXED_CONFIG, 1, 2));
    EXPECT_TRUE(protocol.getCommandQueue()->empty());
}
#else
TEST(ProtocolEncodersDeathTest, WrongCodeStopsOnTheAssertion) {
    Protocol protocol;
    EXPECT_DEATH(protocol.encodeCommand(START_PAIRING), "cmdCode == STOP_PAIRING");
    EXPECT_DEATH(protocol.encodeRemoteCommand(START_DATA, 1), "cmdCode == GET_SENSOR_CONFIG");
    EXPECT_DEATH(protocol.encodeTwoByteCommand(GET_FIXED_CONFIG, 1, 2),
                 "cmdCode == SET_FIXED_CONFIG \\|\\| cmdCode == GET_CALIBRATION");
}
#endif

TEST(ProtocolEncoders, CommandAnsweredClearsTheFlagAndWakesTheWaitingSender) {
    Protocol protocol;
    PacketQueue* queue = protocol.getCommandQueue();
    queue->setFlag(1);
    // The waiter has looked at the flag under the queue's lock before it sleeps: once
    // `waiting` is set, the answer below has to wake it.
    std::atomic<bool> waiting = false;
    bool cleared = false;
    std::jthread sender([&] {
        cleared = queue->waitUntil(std::stop_token{}, std::chrono::seconds(5), [&](std::size_t, uint8_t flag) {
            waiting = true;
            return flag == 0;
        });
    });
    while (!waiting)
        std::this_thread::yield();
    protocol.commandAnswered();
    sender.join();
    EXPECT_TRUE(cleared);
    EXPECT_EQ(queue->flag(), 0);
}

TEST(DeviceFrames, AckNackAndRadioConnectionBytes) {
    EXPECT_EQ(Protocol::buildAck(START_DATA), (Bytes{0x02, 0xAA, 0x01, 0x20, 0x0A}));
    EXPECT_EQ(Protocol::buildNack(SET_FIXED_CONFIG, NACK_INVALID_STATE), (Bytes{0x02, 0xBB, 0x02, 0x26, 0x04, 0x0A}));
    EXPECT_EQ(Protocol::buildRfConnection(2, RF_STATUS_CONNECTED), (Bytes{0x02, 0x40, 0x02, 0x02, 0x01, 0x0A}));
    // Builders refuse what the encoders refuse, so a device side can test its own checks.
    EXPECT_TRUE(Protocol::buildCommand(GET_CALIBRATION).empty());
    EXPECT_TRUE(Protocol::buildRemoteCommand(GET_REMOTE_STATUS, 256).empty());
}

} // namespace
