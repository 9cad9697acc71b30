// The reply parser fed with byte frames: what it stores in the hardware model, what it
// reports, and what it refuses.
#include "tests/support/Frames.h"

#include "device/base/HardwareState.h"
#include "device/link/DataParser.h"
#include "device/protocol/CommandCodes.h"
#include "device/sensors/RemoteConfiguration.h"
#include "device/sensors/Sensor.h"
#include "device/storage/AcquisitionStack.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class DataParserTest : public ::testing::Test {
protected:
    RecordingListener listener;
    HardwareState state;
    AcquisitionStack stack{&listener, &state, nullptr};
    PacketQueue receiveQueue;
    DataParser parser{&listener, &state, &stack, &receiveQueue};
    int aborts = 0;

    void SetUp() override {
        parser.setAbortHandler([this] { ++aborts; });
    }

    void feed(const std::vector<uint8_t>& bytes) { parser.handleFrame(bytes); }
    Reply lastReply() { return listener.replies.back(); }
};

TEST_F(DataParserTest, DongleStatusStoresMaskIdentifierAndVersion) {
    feed({0x02, 0x14, 0x06, 0x00, 0x05, 0x05, 0x01, 0x02, 0x03, 0x0A});
    EXPECT_EQ(state.fwVersion, 5);
    EXPECT_EQ(state.dongleMode, 16);
    EXPECT_EQ(state.dongleID, 66051);
    EXPECT_TRUE(listener.hasLog("DataParser::getDongleStatus: fwVersion: 5 - dongleMode: 16 - dongleID: 66051"));
    EXPECT_EQ(lastReply(), (Reply{0x14, 16, 1}));

    feed(frame(0x14, {0x00, 0x05, 0x04, 0x01, 0x02, 0x03}));
    EXPECT_EQ(state.dongleMode, 8);
}

TEST_F(DataParserTest, LeavingDataModeStopsRecordingAndRecalibratesOnce) {
    ASSERT_TRUE(stack.addRemote(1, 2, 77)); // accelerometer at 400 Hz
    feed(frame(0x14, {0x00, 0x05, 0x05, 0x00, 0x00, 0x01}));
    feed(frame(ACK, {START_DATA}));
    EXPECT_EQ(parser.getRawQueue()->flag(), 0);

    feed(frame(0x14, {0x00, 0x05, 0x04, 0x00, 0x00, 0x01}));
    EXPECT_EQ(parser.getRawQueue()->flag(), 1);
    EXPECT_TRUE(listener.hasLog("DataParser::getDongleStatus: (STOP_DATA) => sensors recalibration"));

    size_t logsBefore = listener.logs.size();
    feed(frame(0x14, {0x00, 0x05, 0x04, 0x00, 0x00, 0x01}));
    for (size_t i = logsBefore; i < listener.logs.size(); ++i)
        EXPECT_EQ(listener.logs[i].find("recalibration"), std::string::npos);
}

TEST_F(DataParserTest, AckWithoutPendingOutputChangeOnlyLogsAndAnswers) {
    feed({0x02, 0xAA, 0x01, 0x24, 0x0A});
    EXPECT_TRUE(listener.hasLog("DataParser::getAck: SET_OUTPUT_CONFIG "));
    EXPECT_EQ(lastReply(), (Reply{0xAA, 0x24, -1}));
    EXPECT_EQ(listener.count("hardwareStateChanged"), 0);
}

TEST_F(DataParserTest, OutputChangeAcknowledgementAppliesTheLinkedWheelKeys) {
    state.outputConfigBusyRemote = 2;
    state.outputConfig(2)->pendingSensor = 20;
    state.outputConfig(2)->pendingSetting = 0x21; // key 1, value 1
    feed(frame(ACK, {SET_OUTPUT_CONFIG}));
    auto settings = state.outputConfig(2)->settingsCopy();
    EXPECT_EQ(settings[20][1], 1);
    EXPECT_EQ(settings[20][0], 2); // 0x21 also sets key 0 to 2
    EXPECT_EQ(state.outputConfigBusyRemote, 0);
    EXPECT_EQ(listener.count("hardwareStateChanged"), 1);

    state.outputConfigBusyRemote = 2;
    state.outputConfig(2)->pendingSetting = 0x00; // key 0, value 0 also sets key 1 to 0
    feed(frame(ACK, {SET_OUTPUT_CONFIG}));
    settings = state.outputConfig(2)->settingsCopy();
    EXPECT_EQ(settings[20][0], 0);
    EXPECT_EQ(settings[20][1], 0);
}

TEST_F(DataParserTest, NackOfFindRemoteReportsNoRemoteAndFreesOutputChange) {
    feed(frame(NACK, {FIND_REMOTE, 6}));
    EXPECT_EQ(listener.count("findRemoteResult 0"), 1);
    EXPECT_TRUE(listener.hasLog("DataParser::getNAck: FIND_REMOTE - No response from remote"));
    EXPECT_EQ(lastReply(), (Reply{0xBB, FIND_REMOTE, -1}));

    state.outputConfigBusyRemote = 1;
    feed(frame(NACK, {SET_OUTPUT_CONFIG, 4}));
    EXPECT_EQ(state.outputConfigBusyRemote, 0);
}

TEST_F(DataParserTest, PairingTableRecordsNoIdentifierForAnUnpairedSlot) {
    feed(frame(GET_PAIRING, {0, 0x12, 0x34, 0x56, 1, 0x00, 0x01, 0x02}));
    EXPECT_EQ(state.remoteStatus(1)->pairStatus, 0);
    EXPECT_EQ(state.remoteStatus(1)->remoteID, 0);
    EXPECT_EQ(state.remoteStatus(2)->pairStatus, 1);
    EXPECT_EQ(state.remoteStatus(2)->remoteID, 258);
    EXPECT_TRUE(listener.hasLog("DataParser::getPairing: status1: 0 ID1: 1193046 - status2: 1 ID2: 258"));
}

TEST_F(DataParserTest, FoundRemoteAlreadyPairedWarnsAndStillReports) {
    state.remoteStatus(2)->remoteID = 0x0A0B0C;
    size_t repliesBefore = listener.replies.size();
    feed(frame(FIND_REMOTE, {0x0A, 0x0B, 0x0C}));
    ASSERT_EQ(listener.warnings.size(), 1u);
    EXPECT_EQ(listener.warnings[0].first, 35);
    EXPECT_EQ(listener.count("findRemoteResult " + std::to_string(0x0A0B0C)), 1);
    // No reply report: the search's answer does not end the sender's wait.
    EXPECT_EQ(listener.replies.size(), repliesBefore);
}

TEST_F(DataParserTest, RemoteStatusConvertsTheBatteryAndMarksTheRemoteConnected) {
    feed(frame(GET_REMOTE_STATUS, {2, 0x00, 0x07, 0x00, 0x03, 0x0A, 0xAA}));
    EXPECT_DOUBLE_EQ(state.remoteStatus(2)->batteryVoltage, 4.0);
    EXPECT_EQ(state.remoteStatus(2)->rfStatus, 1);
    EXPECT_EQ(state.remoteStatus(2)->sensorFwVersion, 7);
    EXPECT_EQ(state.remoteStatus(2)->rfFwVersion, 3);
    EXPECT_TRUE(
        listener.hasLog("DataParser::getRemoteStatus: rfFwVersion: 3 - sensorFwVerion: 7 - batteryVoltage: 2730"));
    // The reply is what made the remote connected: the dispatcher is told so (second 1)...
    EXPECT_EQ(lastReply(), (Reply{0x2A, 2, 1}));
    // ...and only once.
    feed(frame(GET_REMOTE_STATUS, {2, 0x00, 0x07, 0x00, 0x03, 0x0A, 0xAA}));
    EXPECT_EQ(lastReply(), (Reply{0x2A, 2, -1}));
}

TEST_F(DataParserTest, PacketConfigReplacesTheLayoutAndClearsTheConfigurationNumber) {
    state.packetConfig(1)->fixedConfig = 3;
    state.packetConfig(1)->setSensorDataLen(9, 4);
    feed(frame(GET_PACKET_CONFIG, {1, 2, 1, 12, 3, 12}));
    RemotePacketConfig* config = state.packetConfig(1);
    EXPECT_EQ(config->fixedConfig, 0);
    EXPECT_TRUE(config->configured);
    EXPECT_EQ(config->sensorDataLens(), (std::map<int32_t, int32_t>{{1, 12}, {3, 12}}));
    feed(frame(GET_FIXED_CONFIG, {1, 34}));
    EXPECT_EQ(config->fixedConfig, 34);
    EXPECT_EQ(lastReply(), (Reply{0x27, 1, 34}));
}

TEST_F(DataParserTest, RadioLossKeepsTheConfigurationButMarksItUnconfigured) {
    state.packetConfig(2)->fixedConfig = 5;
    state.packetConfig(2)->setSensorDataLen(1, 6);
    state.outputConfig(2)->setSetting(20, 0x21);
    state.outputConfigBusyRemote = 2;
    state.dongleMode = DongleModeData;
    feed(frame(RF_CONNECTION, {2, 0}));
    EXPECT_EQ(state.remoteStatus(2)->rfStatus, 0);
    EXPECT_FALSE(state.packetConfig(2)->configured);
    EXPECT_EQ(state.packetConfig(2)->fixedConfig, 5);
    EXPECT_TRUE(state.outputConfig(2)->settingsCopy().empty());
    EXPECT_EQ(state.outputConfigBusyRemote, 0);
    EXPECT_EQ(listener.count("hardwareStateChanged"), 1);
    EXPECT_EQ(lastReply(), (Reply{0x40, 2, 0}));
}

TEST_F(DataParserTest, BadEndByteIsRejectedAndNotRecorded) {
    feed({0x02, 0x41, 0x04, 0x01, 0x0C, 0x00, 0x00, 0x0B});
    ASSERT_EQ(listener.errorCodes(), std::vector<int>{31});
    EXPECT_EQ(listener.errors[0].second, "{0x02, 0x41, 0x04, 0x01, 0x0c, 0x00, 0x00, 0x0b} 8");
    EXPECT_TRUE(parser.getRawQueue()->empty());
}

TEST_F(DataParserTest, UnknownAndUnhandledCodes) {
    feed(frame(0x77, {}));
    feed(frame(SET_SENSOR_CONFIG, {}));
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{32});
    EXPECT_EQ(listener.errors[0].second, "119");
    ASSERT_EQ(listener.warnings.size(), 1u);
    EXPECT_EQ(listener.warnings[0], (std::pair<int, std::string>{34, "SET_SENSOR_CONFIG"}));
    EXPECT_TRUE(listener.replies.empty());
}

// Frames shorter than their code's layout must never be read past their end: each is
// dropped with a log line and nothing in the model changes.
TEST_F(DataParserTest, ShortFramesAreDroppedWithoutTouchingTheModel) {
    const std::vector<std::vector<uint8_t>> shortFrames = {frame(ACK, {}),
                                                           frame(NACK, {FIND_REMOTE}),
                                                           frame(GET_PAIRING, {1, 2, 3}),
                                                           frame(FIND_REMOTE, {1}),
                                                           frame(GET_DONGLE_STATUS, {0, 5, 5}),
                                                           frame(GET_FIXED_CONFIG, {1}),
                                                           frame(GET_PACKET_CONFIG, {1, 3, 1, 12}),
                                                           frame(GET_OUTPUT_CONFIG, {1, 2, 20}),
                                                           frame(GET_CALIBRATION, {1, 4, 8, 0, 1}),
                                                           frame(GET_REMOTE_STATUS, {1, 0, 1}),
                                                           frame(RF_CONNECTION, {1}),
                                                           frame(DATA_FROM_REMOTE, {1, 12})};
    for (const auto& bytes : shortFrames)
        feed(bytes);
    EXPECT_EQ(parser.droppedFrames(), shortFrames.size());
    EXPECT_TRUE(listener.replies.empty());
    EXPECT_EQ(state.dongleMode, 1);
    EXPECT_EQ(state.dongleID, 0);
    EXPECT_FALSE(state.packetConfig(1)->configured);
    EXPECT_EQ(state.remoteStatus(1)->rfStatus, 0);
}

TEST_F(DataParserTest, RepliesForAnUnknownRemoteAreIgnored) {
    feed(frame(GET_FIXED_CONFIG, {3, 7}));
    feed(frame(RF_CONNECTION, {0, 1}));
    feed(frame(GET_REMOTE_STATUS, {9, 0, 1, 0, 1, 0x0A, 0xAA}));
    EXPECT_EQ(state.packetConfig(1)->fixedConfig, 0);
    EXPECT_EQ(state.packetConfig(2)->fixedConfig, 0);
    EXPECT_EQ(state.remoteStatus(1)->rfStatus, 0);
    EXPECT_TRUE(listener.hasLogContaining("unknown remote 3"));
    // Answers still end the wait for the command in flight; the radio frame does not.
    EXPECT_EQ(listener.replies.size(), 2u);
}

TEST_F(DataParserTest, BarometerAndThermometerConstantsReachTheirSensors) {
    ASSERT_TRUE(stack.addRemote(1, 6, 5)); // thermometer, barometer, battery, light
    feed(frame(GET_CALIBRATION, {1, 4, 8, 0x44, 0x22, 0xAD, 0x63, 0xBC, 0xDA, 0x3A, 0xB8}));
    auto* barometer = dynamic_cast<Barometer*>(stack.getSensor(1, 4));
    ASSERT_NE(barometer, nullptr);
    EXPECT_EQ(barometer->A0, 0x4422);
    EXPECT_EQ(barometer->B1, int16_t(0xAD63));
    EXPECT_TRUE(barometer->coefficientsDerived);
    EXPECT_TRUE(listener.hasLogContaining("DataParser::getCalibration - Barometer - remote: 1 - A0: "));

    feed(frame(GET_CALIBRATION, {1, 26, 4, 0x0A, 0x2F, 0x08, 0xE8}));
    auto* thermometer = dynamic_cast<Thermometer*>(stack.getSensor(1, 26));
    ASSERT_NE(thermometer, nullptr);
    EXPECT_FLOAT_EQ(thermometer->calAt85degrees, 2607.0f);
    EXPECT_FLOAT_EQ(thermometer->calAt30degrees, 2280.0f);
    EXPECT_EQ(lastReply(), (Reply{0x29, -1, -1}));
}

// Data frames: remote 1 in configuration 5 (accelerometer, gyroscope, force), 12-byte
// accelerometer and gyroscope slots and a 4-byte force slot.
class DataStreamTest : public DataParserTest {
protected:
    void SetUp() override {
        DataParserTest::SetUp();
        ASSERT_TRUE(stack.addRemote(1, 5, 5));
        RemoteConfiguration* rc = stack.getCurrent()->remoteConfiguration(1);
        rc->replaceSensorDataLengths({{1, 12}, {3, 12}, {8, 4}}, true);
    }
    // Blocks in slots of their announced length; `count` bytes are valid in each.
    static std::vector<uint8_t> dataFrame(uint8_t counter, bool withGyroSample = true) {
        std::vector<uint8_t> p = {1, counter, 0, 3};
        std::vector<uint8_t> accel = {0x81, 6, 0x00, 0x10, 0x03, 0x48, 0x00, 0x20};
        accel.resize(2 + 12);
        std::vector<uint8_t> gyro = {0x03, uint8_t(withGyroSample ? 6 : 0), 0x00, 0x01, 0x00, 0x02, 0x00, 0x03};
        gyro.resize(2 + 12);
        std::vector<uint8_t> force = {0x08, 2, 0x08, 0x00};
        force.resize(2 + 4);
        for (auto* block : {&accel, &gyro, &force})
            p.insert(p.end(), block->begin(), block->end());
        return frame(DATA_FROM_REMOTE, p);
    }
};

TEST_F(DataStreamTest, BlocksAreWalkedByTheirAnnouncedSlots) {
    feed(dataFrame(12));
    feed(dataFrame(13));
    EXPECT_EQ(stack.getSensor(1, 1)->samples.size(), 2u); // type byte 0x81 reads as 1
    EXPECT_EQ(stack.getSensor(1, 3)->samples.size(), 2u); // second block found at 7 + 14
    EXPECT_EQ(stack.getSensor(1, 8)->samples.size(), 2u);
    Sample gyro = stack.getSensor(1, 3)->samples.at(0);
    EXPECT_EQ(gyro.raw[0], -2); // -w1
    EXPECT_EQ(gyro.raw[1], 1);  // w0
    EXPECT_EQ(gyro.raw[2], 3);
    EXPECT_EQ(parser.getRawQueue()->size(), 2u);
    EXPECT_EQ(lastReply(), (Reply{0x41, 1, -1}));
}

TEST_F(DataStreamTest, FrameWithoutBlocksOnlyNotifies) {
    feed(frame(DATA_FROM_REMOTE, {1, 12, 0, 0}));
    EXPECT_EQ(listener.replies.size(), 1u);
    EXPECT_TRUE(stack.getSensor(1, 1)->samples.empty());
}

TEST_F(DataStreamTest, UnconfiguredRemoteStopsTheRunOnce) {
    feed(frame(ACK, {START_DATA}));
    std::vector<uint8_t> fromRemote2 = dataFrame(12);
    fromRemote2[3] = 2;
    feed(fromRemote2);
    feed(fromRemote2);
    EXPECT_EQ(aborts, 1);
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{33});
    EXPECT_TRUE(listener.hasLog("DataParser::dataFromRemote: Remote 2 is not configured (0)!"));
    // Both frames are still recorded.
    EXPECT_EQ(parser.getRawQueue()->size(), 2u);

    // A new start re-arms the report.
    feed(frame(ACK, {START_DATA}));
    feed(fromRemote2);
    EXPECT_EQ(aborts, 2);
}

TEST_F(DataStreamTest, SlotRunningPastTheFrameIsNotRead) {
    std::vector<uint8_t> bytes = dataFrame(12);
    bytes.resize(7 + 14 + 5); // cut inside the gyroscope's slot
    bytes.push_back(0x0A);
    bytes[2] = uint8_t(bytes.size() - 4);
    feed(bytes);
    EXPECT_EQ(stack.getSensor(1, 1)->samples.size(), 1u);
    EXPECT_TRUE(stack.getSensor(1, 3)->samples.empty());
    EXPECT_EQ(parser.droppedFrames(), 1u);
}

TEST_F(DataStreamTest, CountLargerThanItsSlotReadsNothingOfTheNextBlock) {
    std::vector<uint8_t> bytes = dataFrame(12);
    bytes[8] = 18; // the accelerometer claims three samples in its 12-byte slot
    feed(bytes);
    EXPECT_TRUE(stack.getSensor(1, 1)->samples.empty());
    ASSERT_EQ(stack.getSensor(1, 3)->samples.size(), 1u);
    EXPECT_EQ(stack.getSensor(1, 3)->samples.at(0).raw[1], 1);
    EXPECT_EQ(stack.getSensor(1, 8)->samples.size(), 1u);
    EXPECT_EQ(parser.getRawQueue()->size(), 1u); // recorded as it came
}

TEST_F(DataStreamTest, ThreadQueuesEveryDataFrameForRecordingInOrder) {
    std::jthread worker([this](std::stop_token stop) { parser.listenLoop(stop); });
    for (uint8_t counter = 12; counter < 22; ++counter)
        receiveQueue.push(std::make_unique<Packet>(dataFrame(counter)));
    PacketQueue* raw = parser.getRawQueue();
    ASSERT_TRUE(
        raw->waitUntil({}, std::chrono::milliseconds(2000), [](std::size_t size, uint8_t) { return size == 10; }));
    worker.request_stop();
    worker.join();
    auto frames = drained(raw);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(frames[i][4], 12 + i);
}

} // namespace
