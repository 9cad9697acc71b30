#include "KorvexAPI.h"
#include "device/api/KorvexAPIObject.h"
#include "device/base/HardwareState.h"
#include "device/storage/AcquisitionStack.h"
#include "device/protocol/PacketQueue.h"

#include "tests/support/ScriptLog.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytes(std::initializer_list<uint8_t> values) { return values; }

class KorvexAPIObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        ScriptLog::clear();
        api = static_cast<KorvexAPI*>(getConcreteIKorvexAPI(ScriptLog::capture));
        ASSERT_NE(api, nullptr);
        // Construction logs where the work files are and the first acquisition's identifier.
        constructionScripts = ScriptLog::all();
        ScriptLog::clear();
    }
    void TearDown() override { releaseConcreteIKorvexAPI(api); }

    std::vector<std::vector<uint8_t>> queued() {
        std::vector<std::vector<uint8_t>> frames;
        for (auto& packet : api->commandQueue()->drain())
            frames.push_back(packet->vector());
        return frames;
    }

    KorvexAPI* api = nullptr;
    std::vector<std::string> constructionScripts;
};

} // namespace

TEST(KorvexAPIFactory, EachCallMakesAnIndependentObjectAndReleaseIsSafe) {
    IKorvexAPI* first = getConcreteIKorvexAPI(nullptr);
    IKorvexAPI* second = getConcreteIKorvexAPI(nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    static_cast<KorvexAPI*>(first)->hardwareState->donglePlugged = true;
    EXPECT_TRUE(first->isDongleConnected());
    EXPECT_FALSE(second->isDongleConnected());
    releaseConcreteIKorvexAPI(first);         // never started
    releaseConcreteIKorvexAPI(first);         // twice: ignored
    releaseConcreteIKorvexAPI(nullptr);       // ignored
    second->broadcast("stillAlive", nullptr); // null callback: dropped
    releaseConcreteIKorvexAPI(second);
}

TEST_F(KorvexAPIObjectTest, CreatesTheDispatcherAndModelAndStartsNothing) {
    ASSERT_NE(api->dispatch, nullptr);
    ASSERT_NE(api->hardwareState, nullptr);
    EXPECT_FALSE(api->isDongleConnected());
    EXPECT_EQ(api->hardwareState->dongleMode, 1);
    EXPECT_TRUE(api->commandQueue()->empty());
    // Log lines only: no event before the host starts the object.
    for (const auto& script : constructionScripts)
        EXPECT_EQ(script.rfind("console.log(", 0), 0u) << script;
    EXPECT_TRUE(ScriptLog::all().empty());
}

TEST_F(KorvexAPIObjectTest, RemoteIsConnectedOnlyWhenItsRadioStatusIsOne) {
    for (int remote : {0, 1, 2, 3, -1})
        EXPECT_FALSE(api->isRemoteConnected(remote)) << remote;
    api->hardwareState->remoteStatus(2)->rfStatus = 1;
    EXPECT_TRUE(api->isRemoteConnected(2));
    EXPECT_FALSE(api->isRemoteConnected(1));
    api->hardwareState->remoteStatus(2)->rfStatus = 2;
    EXPECT_FALSE(api->isRemoteConnected(2));
}

TEST_F(KorvexAPIObjectTest, PairRemoteQueuesStartPairingWithTheGivenOrRecordedIdentifier) {
    api->pairRemote(1, 1, 0x123456);
    api->hardwareState->remoteStatus(2)->remoteID = 0xABCDEF;
    api->pairRemote(2, 0, 0x111111);   // any other action uses the recorded identifier
    api->pairRemote(1, 1, 0x7F123456); // only 24 bits travel
    auto frames = queued();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], bytes({0x02, 0x10, 0x05, 0x01, 0x01, 0x12, 0x34, 0x56, 0x0A}));
    EXPECT_EQ(frames[1], bytes({0x02, 0x10, 0x05, 0x02, 0x00, 0xAB, 0xCD, 0xEF, 0x0A}));
    EXPECT_EQ(frames[2], bytes({0x02, 0x10, 0x05, 0x01, 0x01, 0x12, 0x34, 0x56, 0x0A}));
    EXPECT_TRUE(ScriptLog::all().empty()); // no log line for a pairing step
}

TEST_F(KorvexAPIObjectTest, PairRemoteRefusesOtherRemoteNumbers) {
    api->pairRemote(3, 1, 0x123456);
    api->pairRemote(0, 1, 0x123456);
    EXPECT_TRUE(api->commandQueue()->empty());
    EXPECT_TRUE(ScriptLog::count("KorvexAPI::pairRemote - Remote 3 does not exist") > 0);
}

TEST_F(KorvexAPIObjectTest, SendCommandQueuesPayloadlessCommandsInOrderAndRefusesOthers) {
    api->sendCommand(0x14);
    api->sendCommand(0x12);
    api->sendCommand(0x26);  // needs a payload
    api->sendCommand(0x114); // not a byte
    api->sendCommand(-1);
    auto frames = queued();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], bytes({0x02, 0x14, 0x00, 0x0A}));
    EXPECT_EQ(frames[1], bytes({0x02, 0x12, 0x00, 0x0A}));
    EXPECT_TRUE(ScriptLog::count("KorvexAPI::sendCommand - Command 38 cannot be sent on its own") > 0);
    EXPECT_TRUE(ScriptLog::count("KorvexAPI::sendCommand - Command 276 cannot be sent on its own") > 0);
}

TEST_F(KorvexAPIObjectTest, BroadcastDeliversTheEventScript) {
    api->broadcast("repositoryChanged", nullptr);
    api->broadcast("selection", "{ remote: 2 }");
    api->broadcast("quoted", "");
    api->broadcast(nullptr, "1"); // refused, no crash
    ASSERT_EQ(ScriptLog::all().size(), 4u);
    EXPECT_EQ(ScriptLog::all()[0], "KorvexEventHandler.sendEvent({ name: 'repositoryChanged' })");
    EXPECT_EQ(ScriptLog::all()[1], "KorvexEventHandler.sendEvent({ name: 'selection', args: { remote: 2 } })");
    EXPECT_EQ(ScriptLog::all()[2], "KorvexEventHandler.sendEvent({ name: 'quoted' })");
    EXPECT_NE(ScriptLog::all()[3].find("KorvexAPI::broadcast - No event name"), std::string::npos);
}

TEST_F(KorvexAPIObjectTest, AcquisitionOperationsRefuseWhileStreaming) {
    api->hardwareState->dongleMode = DongleModeData;
    EXPECT_FALSE(api->newAcquisition());
    EXPECT_FALSE(api->stackAcquisition());
    EXPECT_FALSE(api->deleteAcquisition());
    EXPECT_TRUE(0 < ScriptLog::count("** ERROR => KorvexAPI::setUpNewAcquisition - Impossible to perform "
                                     "that operation, the dongle is in DATA mode"));
    EXPECT_TRUE(0 < ScriptLog::count("** ERROR => KorvexAPI::SaveAcquisition - Impossible to perform that "
                                     "operation, the dongle is in DATA mode"));
    EXPECT_TRUE(0 < ScriptLog::count("** ERROR => KorvexAPI::deleteAcquisition - Impossible to perform "
                                     "that operation, the dongle is in DATA mode"));
    EXPECT_TRUE(ScriptLog::count(" KorvexAPI::stackAcquisition')") > 0);
}

TEST_F(KorvexAPIObjectTest, SetFixedConfigChecksModeThenRemoteAndLogsItsArguments) {
    EXPECT_FALSE(api->setFixedConfig(1, 3));
    EXPECT_TRUE(ScriptLog::count(" KorvexAPI::setFixedConfig - remote: 1 - config: 3')") > 0);
    EXPECT_TRUE(ScriptLog::count("the dongle is not in CONNECTED mode") > 0);
    ScriptLog::clear();
    api->hardwareState->dongleMode = DongleModeConnected;
    EXPECT_FALSE(api->setFixedConfig(3, 3));
    EXPECT_TRUE(ScriptLog::count("** ERROR => KorvexAPI::start_data_acquisition - Remote not connected") > 0);
}

TEST_F(KorvexAPIObjectTest, ConfigurationTheLibraryCannotBuildIsRefusedBeforeTheAcquisitionChanges) {
    api->hardwareState->dongleMode = DongleModeConnected;
    api->hardwareState->remoteStatus(1)->rfStatus = 1;
    ASSERT_TRUE(api->setFixedConfig(1, 3));
    queued();
    ScriptLog::clear();
    EXPECT_FALSE(api->setFixedConfig(1, 300));
    EXPECT_FALSE(api->setFixedConfig(1, 11));
    EXPECT_TRUE(ScriptLog::count("** ERROR => HardwareAPI::set_fixed_config - Fixed configuration not managed") > 0);
    EXPECT_TRUE(queued().empty());
    EXPECT_TRUE(api->acquisitionStack->hasSensor(1, 1)); // configuration 3 stays as it was
}

TEST_F(KorvexAPIObjectTest, MissingSensorIsError22WithRemoteSpaceTypeAsDetail) {
    EXPECT_FALSE(api->recalibrateSensor(5, 8));
    EXPECT_TRUE(ScriptLog::count(" KorvexAPI::calibrateSensor - remote 5 - sensor type 8')") > 0);
    EXPECT_TRUE(
        0 < ScriptLog::count("** ERROR => KorvexAPI::getSensorData - Sensor not defined for the this acquisition 5 8"));
}

TEST_F(KorvexAPIObjectTest, RefusedQueriesAnswerWithAnEmptyDocumentAndNoBuffer) {
    bson_t result;
    bufferArray data;
    data.data = reinterpret_cast<float*>(0x1); // whatever the caller left there
    data.size = 9;
    api->getSensorData(&result, &data, 3, 1, 0.0, 1.0, false, -1, 0);
    EXPECT_EQ(bson_count_keys(&result), 0u);
    EXPECT_EQ(data.data, nullptr);
    EXPECT_EQ(data.size, 0u);
    bson_destroy(&result);
    api->getHardwareState(nullptr); // ignored
}

namespace {
std::string json(const bson_t* document) {
    char* text = bson_as_relaxed_extended_json(document, nullptr);
    std::string out = text ? text : "";
    bson_free(text);
    return out;
}
} // namespace

TEST_F(KorvexAPIObjectTest, HardwareStateReportBeforeStartSaysIdleAndUnplugged) {
    bson_t result;
    api->getHardwareState(&result);
    EXPECT_EQ(json(&result), "{ \"dongleID\" : 0, \"fwVersion\" : 0, \"dongleMode\" : 1, \"donglePlugged\" : 0, "
                             "\"remote1\" : { \"remoteID\" : 0, \"rfStatus\" : 0, \"pairStatus\" : 0, "
                             "\"fixedConfig\" : 0, \"configured\" : false, \"batteryVoltage\" : 0.0, "
                             "\"outputConfig\" : [  ] }, "
                             "\"remote2\" : { \"remoteID\" : 0, \"rfStatus\" : 0, \"pairStatus\" : 0, "
                             "\"fixedConfig\" : 0, \"configured\" : false, \"batteryVoltage\" : 0.0, "
                             "\"outputConfig\" : [  ] } }");
    bson_destroy(&result);
    EXPECT_TRUE(ScriptLog::count(" KorvexAPI::getHardwareState')") > 0);
}

TEST_F(KorvexAPIObjectTest, HardwareStateReportListsOutputSettingsInAscendingOrder) {
    HardwareState& state = *api->hardwareState;
    state.donglePlugged = true;
    state.dongleMode = DongleModeConnected;
    state.dongleID = 0x123456;
    state.remoteStatus(2)->rfStatus = 1;
    state.remoteStatus(2)->batteryVoltage = 3.5;
    state.packetConfig(2)->fixedConfig = 4;
    state.packetConfig(2)->setSensorDataLen(1, 6);
    state.outputConfig(2)->setSetting(20, (2 << 5) | 7);
    state.outputConfig(2)->setSetting(3, (1 << 5) | 1);
    state.outputConfig(2)->setSetting(20, (0 << 5) | 9);
    bson_t result;
    api->getHardwareState(&result);
    EXPECT_EQ(json(&result),
              "{ \"dongleID\" : 1193046, \"fwVersion\" : 0, \"dongleMode\" : 8, \"donglePlugged\" : 1, "
              "\"remote1\" : { \"remoteID\" : 0, \"rfStatus\" : 0, \"pairStatus\" : 0, "
              "\"fixedConfig\" : 0, \"configured\" : false, \"batteryVoltage\" : 0.0, "
              "\"outputConfig\" : [  ] }, "
              "\"remote2\" : { \"remoteID\" : 0, \"rfStatus\" : 1, \"pairStatus\" : 0, "
              "\"fixedConfig\" : 4, \"configured\" : true, \"batteryVoltage\" : 3.5, "
              "\"outputConfig\" : [ { \"sensor\" : 3, \"keyValues\" : [ { \"key\" : 1, \"value\" : 1 } ] }, "
              "{ \"sensor\" : 20, \"keyValues\" : [ { \"key\" : 0, \"value\" : 9 }, "
              "{ \"key\" : 2, \"value\" : 7 } ] } ] } }");
    bson_destroy(&result);
}

TEST_F(KorvexAPIObjectTest, FreeBufferArrayReleasesOnceAndResets) {
    bufferArray data;
    data.data = new float[4]{1, 2, 3, 4};
    data.size = 4;
    api->freeBufferArray(&data);
    EXPECT_EQ(data.data, nullptr);
    EXPECT_EQ(data.size, 0u);
    api->freeBufferArray(&data); // second release is harmless
    api->freeBufferArray(nullptr);
}
