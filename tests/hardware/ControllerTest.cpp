// The controller's decisions, seen as the commands it queues, with the workers not started.
#include "tests/support/Frames.h"

#include "device/base/FileSystem.h"
#include "device/base/HardwareState.h"
#include "device/hardware/HardwareAPI.h"
#include "device/hardware/HardwareDispatch.h"
#include "device/protocol/CommandCodes.h"
#include "device/protocol/Protocol.h"
#include "device/sensors/RemoteConfiguration.h"
#include "device/storage/AcquisitionStack.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <bson/bson.h>
#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace std::chrono_literals;
using Frames = std::vector<std::vector<uint8_t>>;

class ControllerTest : public ::testing::Test {
protected:
    TempDir documents;
    ScopedEnv documentsDir{"KORVEX_DOCUMENTS_DIR", documents.str()};
    RecordingListener listener;
    HardwareState state;
    FileSystem files{&listener};
    AcquisitionStack stack{&listener, &state, nullptr};
    HardwareAPI hardware{&listener, &state, &stack, &files};

    Frames queued() { return drained(hardware.protocol->getCommandQueue()); }

    void connect(int remote, int fixedConfig = 0, bool configured = false) {
        state.remoteStatus(remote)->rfStatus = 1;
        state.packetConfig(remote)->fixedConfig = fixedConfig;
        if (configured)
            state.packetConfig(remote)->setSensorDataLen(1, 12);
    }
};

std::vector<uint8_t> cmd(uint8_t code) { return Protocol::buildCommand(code); }
std::vector<uint8_t> cmd(uint8_t code, int remote) { return Protocol::buildRemoteCommand(code, remote); }

TEST_F(ControllerTest, StartChoosesAsymmetricStartForTheOnlyConfiguredSide) {
    state.dongleMode = DongleModeConnected;
    connect(1, 3, true);
    connect(2);
    ASSERT_TRUE(hardware.startDataAcquisition());
    EXPECT_EQ(queued(), Frames{cmd(START_ASYMETRIC_DATA, 1)});

    state.packetConfig(1)->clear();
    connect(2, 4, true);
    ASSERT_TRUE(hardware.startDataAcquisition());
    EXPECT_EQ(queued(), Frames{cmd(START_ASYMETRIC_DATA, 2)});

    connect(1, 3, true);
    ASSERT_TRUE(hardware.startDataAcquisition());
    EXPECT_EQ(queued(), Frames{cmd(START_DATA)});
}

TEST_F(ControllerTest, StartDropsAGoneRemoteFromAnAcquisitionThatNeverRan) {
    state.dongleMode = DongleModeConnected;
    state.packetConfig(1)->fixedConfig = 3;
    ASSERT_TRUE(stack.addRemote(1, 3, 11));
    ASSERT_TRUE(stack.addRemote(2, 4, 12));
    connect(2, 4, true);
    ASSERT_TRUE(hardware.startDataAcquisition());
    EXPECT_EQ(state.packetConfig(1)->fixedConfig, 0);
    EXPECT_FALSE(stack.hasRemote(1));
    EXPECT_TRUE(stack.hasRemote(2));
    EXPECT_EQ(queued(), Frames{cmd(START_DATA)});
}

TEST_F(ControllerTest, RefusalsQueueNothing) {
    EXPECT_FALSE(hardware.startDataAcquisition());
    state.dongleMode = DongleModeConnected;
    EXPECT_FALSE(hardware.startDataAcquisition()); // nobody connected
    connect(1);
    EXPECT_FALSE(hardware.startDataAcquisition()); // connected, not configured
    EXPECT_FALSE(hardware.stopDataAcquisition());  // not streaming
    EXPECT_FALSE(hardware.setFixedConfiguration(2, 3));
    EXPECT_FALSE(hardware.remotePowerDown(2));
    EXPECT_FALSE(hardware.remotePowerDown(7));
    EXPECT_EQ(listener.errorCodes(), (std::vector<int>{3, 2, 4, 6, 1, 7, 7}));
    EXPECT_TRUE(queued().empty());
}

TEST_F(ControllerTest, SecondOutputChangeBeforeTheAnswerIsRefusedForEitherRemote) {
    state.dongleMode = DongleModeData;
    connect(1);
    connect(2);
    ASSERT_TRUE(hardware.setOutputConfig(1, 20, 1, 1));
    EXPECT_EQ(state.outputConfigBusyRemote, 1);
    EXPECT_EQ(state.outputConfig(1)->pendingSetting, 0x21);
    EXPECT_FALSE(hardware.setOutputConfig(2, 20, 0, 2));
    EXPECT_FALSE(hardware.setOutputConfig(1, 20, 0, 2));
    EXPECT_EQ(listener.errorCodes(), (std::vector<int>{10, 10}));
    EXPECT_EQ(queued(), Frames{Protocol::buildSetOutputConfig(1, 20, 1, 1)});
}

TEST_F(ControllerTest, RequestsTheEncoderRefusesAreErrorsThatLockNothingAndQueueNothing) {
    state.dongleMode = DongleModeConnected;
    connect(1);
    connect(2);
    EXPECT_FALSE(hardware.setOutputConfig(1, 20, 8, 1));  // a key has three bits
    EXPECT_FALSE(hardware.setOutputConfig(2, 256, 1, 1)); // a sensor type has one byte
    EXPECT_FALSE(hardware.setFixedConfiguration(1, 300));
    EXPECT_FALSE(hardware.setFixedConfiguration(1, 11)); // fits its byte, has no sensors
    EXPECT_EQ(listener.errorCodes(), (std::vector<int>{37, 37, 38, 38}));
    EXPECT_EQ(state.outputConfigBusyRemote, 0);
    EXPECT_TRUE(queued().empty());
    ASSERT_TRUE(hardware.setOutputConfig(2, 20, 7, 31));
    EXPECT_EQ(queued(), Frames{Protocol::buildSetOutputConfig(2, 20, 7, 31)});
}

TEST_F(ControllerTest, SettingNeverAnsweredFreesTheRemoteWhenTheSenderGivesUp) {
    // The sender gives up after about 650 ms: long enough for the refusal below to come
    // first on a loaded machine.
    HardwareAPI quick{&listener, &state, &stack, &files, AnswerTiming{50ms, 6, 50ms}};
    std::jthread sender([&](std::stop_token stop) { quick.commandSender->listenLoop(stop); });
    state.dongleMode = DongleModeData;
    connect(1);
    connect(2);
    ASSERT_TRUE(quick.setOutputConfig(1, 20, 1, 1));
    EXPECT_FALSE(quick.setOutputConfig(2, 20, 0, 2)); // still waiting for the answer
    ASSERT_TRUE(waitFor(5000ms, [&] { return state.outputConfigBusyRemote == 0; }));
    EXPECT_TRUE(listener.hasLogContaining("SET_OUTPUT_CONFIG for remote 1 never answered"));
    EXPECT_TRUE(state.outputConfig(1)->settingsCopy().empty()); // nothing confirmed it
    ASSERT_TRUE(quick.setOutputConfig(2, 20, 0, 2));
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{10});
}

TEST_F(ControllerTest, FixedConfigurationAsksForTheCalibrationItsSensorsNeed) {
    state.dongleMode = DongleModeConnected;
    connect(1);
    ASSERT_TRUE(stack.addRemote(1, 6, 5)); // thermometer and barometer
    ASSERT_TRUE(hardware.setFixedConfiguration(1, 6));
    EXPECT_EQ(queued(), (Frames{Protocol::buildTwoByteCommand(SET_FIXED_CONFIG, 1, 6), cmd(GET_PACKET_CONFIG, 1),
                                Protocol::buildTwoByteCommand(GET_CALIBRATION, 1, 4), cmd(GET_FIXED_CONFIG, 1),
                                Protocol::buildTwoByteCommand(GET_CALIBRATION, 1, 26)}));
}

TEST_F(ControllerTest, ReturningRemoteGetsItsConfigurationAgainWithoutEndingTheRun) {
    state.dongleMode = DongleModeData;
    connect(2, 5);
    hardware.listener->replyReceived(RF_CONNECTION, 2, 1);
    // Only the dongle's status ends a run; the one asked for may still be on its way.
    EXPECT_EQ(state.dongleMode, DongleModeData);
    EXPECT_EQ(queued(), (Frames{cmd(GET_DONGLE_STATUS), Protocol::buildTwoByteCommand(SET_FIXED_CONFIG, 2, 5),
                                cmd(GET_PACKET_CONFIG, 2), cmd(GET_FIXED_CONFIG, 2)}));
}

TEST_F(ControllerTest, DispatcherFollowUps) {
    PacketQueue* commands = hardware.protocol->getCommandQueue();
    hardware.listener->donglePluggedIn();
    EXPECT_TRUE(state.donglePlugged);
    EXPECT_EQ(queued(), (Frames{cmd(GET_PAIRING), cmd(GET_DONGLE_STATUS)}));

    connect(2);
    commands->setFlag(1);
    hardware.listener->replyReceived(GET_DONGLE_STATUS, 8, 1);
    EXPECT_EQ(queued(), Frames{cmd(GET_REMOTE_STATUS, 2)});
    EXPECT_EQ(commands->flag(), 0); // the answer ends the sender's wait

    hardware.listener->replyReceived(ACK, START_PAIRING, -1);
    EXPECT_EQ(queued(), (Frames{cmd(GET_PAIRING), cmd(GET_DONGLE_STATUS)}));

    commands->setFlag(1);
    hardware.listener->replyReceived(RF_CONNECTION, 1, 2);
    hardware.listener->replyReceived(DATA_FROM_REMOTE, 1, -1);
    EXPECT_EQ(queued(), Frames{cmd(GET_PAIRING)});
    EXPECT_EQ(commands->flag(), 1); // unsolicited frames answer nothing

    hardware.listener->abortDataStream();
    EXPECT_EQ(queued(), (Frames{cmd(STOP_DATA), cmd(GET_PAIRING), cmd(GET_DONGLE_STATUS)}));
}

TEST_F(ControllerTest, PairingReplyAfterPlugInAsksPairedRemotesForTheirStatusOnce) {
    hardware.listener->donglePluggedIn();
    queued();
    state.remoteStatus(1)->pairStatus = 1;
    state.remoteStatus(2)->pairStatus = 1;
    connect(2); // announced itself already
    hardware.listener->replyReceived(GET_PAIRING, -1, -1);
    EXPECT_EQ(queued(), Frames{cmd(GET_REMOTE_STATUS, 1)});
    hardware.listener->replyReceived(GET_PAIRING, -1, -1); // after a pairing step, say
    EXPECT_TRUE(queued().empty());

    // A reply that connects the remote is followed up as its radio connection would be.
    connect(1, 5);
    hardware.listener->replyReceived(GET_REMOTE_STATUS, 1, 1);
    EXPECT_EQ(state.dongleMode, DongleModeConnected);
    EXPECT_EQ(queued(), (Frames{cmd(GET_DONGLE_STATUS), Protocol::buildTwoByteCommand(SET_FIXED_CONFIG, 1, 5),
                                cmd(GET_PACKET_CONFIG, 1), cmd(GET_FIXED_CONFIG, 1)}));
    hardware.listener->replyReceived(GET_REMOTE_STATUS, 1, -1); // a remote already known
    hardware.listener->replyReceived(NACK, GET_REMOTE_STATUS, -1);
    EXPECT_TRUE(queued().empty());
}

TEST_F(ControllerTest, UnpluggedDongleResetsTheModel) {
    state.donglePlugged = true;
    state.dongleMode = DongleModeConnected;
    state.outputConfigBusyRemote = 1; // its answer was lost with the dongle
    connect(1, 3, true);
    state.remoteStatus(1)->batteryVoltage = 3.9;
    hardware.listener->dongleNotPluggedIn();
    EXPECT_FALSE(state.donglePlugged);
    EXPECT_EQ(state.dongleMode, 1);
    EXPECT_EQ(state.remoteStatus(1)->rfStatus, 0);
    EXPECT_EQ(state.remoteStatus(1)->batteryVoltage, 0.0);
    EXPECT_FALSE(state.packetConfig(1)->configured);
    EXPECT_EQ(state.outputConfigBusyRemote, 0);
    EXPECT_EQ(listener.count("hardwareStateChanged"), 1);
}

TEST_F(ControllerTest, MetadataHoldsBothSlotsInOrder) {
    state.dongleID = 0x010203;
    state.fwVersion = 5;
    state.remoteStatus(1)->remoteID = 77;
    state.packetConfig(1)->fixedConfig = 5;
    state.packetConfig(1)->setSensorDataLen(8, 4);
    state.packetConfig(1)->setSensorDataLen(1, 12);
    bson_t document;
    bson_init(&document);
    hardware.buildMetadata(&document);
    char* json = bson_as_canonical_extended_json(&document, nullptr);
    std::string text = json;
    bson_free(json);
    bson_destroy(&document);
    std::string id = stack.currentAcquisitionID();
    std::string expectedStart = "{ \"acquisitionID\" : \"" + id +
                                "\", \"dongleID\" : { \"$numberInt\" : \"66051\" }, \"fwVersion\" : { \"$numberInt\" : "
                                "\"5\" }, \"lastStartDate\" : \"";
    EXPECT_EQ(text.substr(0, expectedStart.size()), expectedStart);
    EXPECT_NE(
        text.find(
            "\"remote1\" : { \"remoteID\" : { \"$numberInt\" : \"77\" }, \"rfFwVersion\" : { \"$numberInt\" : \"0\" }, "
            "\"sensorFwVersion\" : { \"$numberInt\" : \"0\" }, \"fixedConfig\" : { \"$numberInt\" : \"5\" }, "
            "\"sensorDataLen\" : { \"1\" : { \"$numberInt\" : \"12\" }, \"8\" : { \"$numberInt\" : \"4\" } } }"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find(
            "\"remote2\" : { \"remoteID\" : { \"$numberInt\" : \"0\" }, \"rfFwVersion\" : { \"$numberInt\" : \"0\" }, "
            "\"sensorFwVersion\" : { \"$numberInt\" : \"0\" }, \"fixedConfig\" : { \"$numberInt\" : \"0\" }, "
            "\"sensorDataLen\" : {  } }"),
        std::string::npos)
        << text;
}

// Reload from files written by hand: metadata naming only remote 2 and a raw file whose
// last frame is cut short.
class ReloadTest : public ControllerTest {
protected:
    std::string id = "0b6a7f52-3c1e-4d2a-9f3b-2b8c5d1e4f60";

    void writeMetadata(int config1, int config2) {
        bson_t doc, slot, lengths;
        bson_init(&doc);
        BSON_APPEND_UTF8(&doc, "acquisitionID", id.c_str());
        BSON_APPEND_INT32(&doc, "dongleID", 1);
        BSON_APPEND_INT32(&doc, "fwVersion", 5);
        BSON_APPEND_UTF8(&doc, "lastStartDate", "20250302T140509.125000");
        for (int remote : {1, 2}) {
            std::string key = "remote" + std::to_string(remote);
            bson_append_document_begin(&doc, key.c_str(), -1, &slot);
            BSON_APPEND_INT32(&slot, "remoteID", 40 + remote);
            BSON_APPEND_INT32(&slot, "rfFwVersion", 0);
            BSON_APPEND_INT32(&slot, "sensorFwVersion", 0);
            BSON_APPEND_INT32(&slot, "fixedConfig", remote == 1 ? config1 : config2);
            bson_append_document_begin(&slot, "sensorDataLen", -1, &lengths);
            BSON_APPEND_INT32(&lengths, "0", 9);
            BSON_APPEND_INT32(&lengths, "x", 9);
            BSON_APPEND_INT32(&lengths, "1", 12);
            bson_append_document_end(&slot, &lengths);
            bson_append_document_end(&doc, &slot);
        }
        std::string error;
        ASSERT_TRUE(files.saveBson(&doc, files.getDirectory(FileSystem::RawData) + id + ".bson", error)) << error;
        bson_destroy(&doc);
    }
    void writeRaw(const std::vector<std::vector<uint8_t>>& frames, std::size_t cut = 0) {
        std::ofstream out(files.getDirectory(FileSystem::RawData) + id + ".raw", std::ios::binary);
        for (const auto& f : frames)
            out.write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size()));
        if (cut)
            out.write(reinterpret_cast<const char*>(frames.back().data()), std::streamsize(cut));
    }
    static std::vector<uint8_t> accelFrame(uint8_t remote, uint8_t counter) {
        std::vector<uint8_t> p = {remote, counter, 0, 1, 0x01, 12};
        for (int i = 0; i < 12; ++i)
            p.push_back(uint8_t(i));
        return frame(DATA_FROM_REMOTE, p);
    }
};

TEST_F(ReloadTest, OnlyTheConfiguredRemoteIsReloadedWithItsCompleteFrames) {
    writeMetadata(0, 2);
    writeRaw({accelFrame(2, 12), accelFrame(2, 13), accelFrame(2, 14)}, 10);
    ASSERT_TRUE(hardware.reloadAcquisition(id));
    Acquisition* current = stack.getCurrent();
    EXPECT_TRUE(current->fromDB);
    EXPECT_EQ(current->acquisitionID, id);
    EXPECT_EQ(boost::posix_time::to_iso_string(current->lastStartDate()), "20250302T140509.125000");
    EXPECT_FALSE(stack.hasRemote(1));
    ASSERT_TRUE(stack.hasRemote(2));
    RemoteConfiguration* rc = current->remoteConfiguration(2);
    EXPECT_EQ(rc->remoteId, 42);
    EXPECT_EQ(rc->sensorDataLengths(), (std::map<int32_t, int32_t>{{1, 12}}));
    // Three whole frames of two samples each; the cut fourth is not decoded.
    EXPECT_EQ(stack.getSensor(2, 1)->samples.size(), 6u);
    EXPECT_TRUE(listener.hasLog("HardwareAPI::reloadAcquisition: config1 0 - config2 2"));
    EXPECT_EQ(listener.count("acquisitionStackChanged"), 1);
}

TEST_F(ReloadTest, RefusesMissingFilesAndEmptyConfigurations) {
    EXPECT_FALSE(hardware.reloadAcquisition(id)); // no raw file
    writeRaw({accelFrame(1, 12)});
    EXPECT_FALSE(hardware.reloadAcquisition(id)); // no metadata
    writeMetadata(0, 0);
    EXPECT_FALSE(hardware.reloadAcquisition(id));
    EXPECT_TRUE(listener.hasLog("HardwareAPI::reloadAcquisition - No fixed config in metadata"));
    EXPECT_FALSE(hardware.reloadAcquisition("../" + id));
    EXPECT_FALSE(stack.getCurrent()->fromDB);
    EXPECT_EQ(listener.errorCodes().front(), 27);
}

} // namespace
