#include "device/base/HardwareState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(HardwareState, StartsIdleUnpluggedWithBothRemoteSlots) {
    HardwareState state;
    EXPECT_FALSE(state.donglePlugged);
    EXPECT_EQ(state.dongleMode, 1);
    EXPECT_EQ(state.dongleID, 0);
    EXPECT_EQ(state.fwVersion, 0);
    EXPECT_EQ(state.outputConfigBusyRemote, 0);
    for (int remote : {1, 2}) {
        ASSERT_NE(state.remoteStatus(remote), nullptr);
        EXPECT_EQ(state.remoteStatus(remote)->remote, remote);
        EXPECT_EQ(state.remoteStatus(remote)->rfStatus, 0);
        EXPECT_EQ(state.remoteStatus(remote)->batteryVoltage, 0.0);
        ASSERT_NE(state.packetConfig(remote), nullptr);
        EXPECT_FALSE(state.packetConfig(remote)->configured);
        EXPECT_EQ(state.packetConfig(remote)->fixedConfig, 0);
        ASSERT_NE(state.outputConfig(remote), nullptr);
        EXPECT_TRUE(state.outputConfig(remote)->settingsCopy().empty());
    }
    EXPECT_EQ(state.remotes.size(), 2u);
    EXPECT_EQ(state.packetConfigs.size(), 2u);
    EXPECT_EQ(state.outputConfigs.size(), 2u);
}

TEST(HardwareState, OtherRemoteNumbersHaveNoEntryAndAreNeverInserted) {
    HardwareState state;
    for (int remote : {0, 3, -1, 255}) {
        EXPECT_EQ(state.remoteStatus(remote), nullptr);
        EXPECT_EQ(state.packetConfig(remote), nullptr);
        EXPECT_EQ(state.outputConfig(remote), nullptr);
        EXPECT_FALSE(HardwareState::isValidRemote(remote));
    }
    EXPECT_EQ(state.remotes.size(), 2u);
}

TEST(RemotePacketConfig, SettingALengthConfiguresAndClearForgetsEverything) {
    RemotePacketConfig config(1);
    config.fixedConfig = 3;
    config.setSensorDataLen(1, 6);
    config.setSensorDataLen(12, 2);
    config.setSensorDataLen(1, 12); // overwrites
    EXPECT_TRUE(config.configured);
    EXPECT_EQ(config.sensorDataLenOf(1), 12);
    EXPECT_EQ(config.sensorDataLenOf(2), std::nullopt);
    EXPECT_EQ(config.sensorDataLens(), (std::map<int32_t, int32_t>{{1, 12}, {12, 2}}));
    config.clear();
    EXPECT_FALSE(config.configured);
    EXPECT_EQ(config.fixedConfig, 0);
    EXPECT_TRUE(config.sensorDataLens().empty());
}

TEST(RemoteOutputConfig, PackedSettingsSplitIntoKeyAndFiveBitValue) {
    EXPECT_EQ(RemoteOutputConfig::packSetting(1, 1), 33);
    EXPECT_EQ(RemoteOutputConfig::packSetting(1, 33), 33); // only five bits of the value
    EXPECT_EQ(RemoteOutputConfig::packSetting(9, 0), 32);  // only three bits of the key
    RemoteOutputConfig config(2);
    config.setSetting(20, 33);            // key 1, value 1
    config.setSetting(20, (7 << 5) | 31); // key 7, value 31
    config.setSetting(20, (1 << 5) | 4);  // key 1 overwritten
    config.setSetting(3, 0);
    auto settings = config.settingsCopy();
    EXPECT_EQ(settings[20], (std::map<int32_t, int32_t>{{1, 4}, {7, 31}}));
    EXPECT_EQ(settings[3], (std::map<int32_t, int32_t>{{0, 0}}));
    config.clear();
    EXPECT_TRUE(config.settingsCopy().empty());
}

TEST(HardwareState, ResetForgetsTheDongleAndTheSettingInFlightButKeepsAnUnconfiguredFixedConfig) {
    HardwareState state;
    state.donglePlugged = true;
    state.dongleID = 0xABCDEF;
    state.fwVersion = 0x0102;
    state.dongleMode = DongleModeData;
    state.outputConfigBusyRemote = 2;
    auto* status = state.remoteStatus(1);
    status->pairStatus = 1;
    status->remoteID = 0x123456;
    status->rfStatus = 1;
    status->rfFwVersion = 3;
    status->sensorFwVersion = 4;
    status->batteryVoltage = 3.7;
    state.packetConfig(1)->fixedConfig = 5;
    state.packetConfig(1)->setSensorDataLen(1, 6);
    state.packetConfig(2)->fixedConfig = 7; // chosen but not yet confirmed by the remote
    state.outputConfig(1)->setSetting(1, 33);

    state.reset();

    EXPECT_FALSE(state.donglePlugged);
    EXPECT_EQ(state.dongleID, 0);
    EXPECT_EQ(state.fwVersion, 0);
    EXPECT_EQ(state.dongleMode, DongleModeIdle);
    EXPECT_EQ(state.outputConfigBusyRemote, 0); // its answer can no longer come
    EXPECT_EQ(status->remote, 1);
    EXPECT_EQ(status->pairStatus, 0);
    EXPECT_EQ(status->remoteID, 0);
    EXPECT_EQ(status->rfStatus, 0);
    EXPECT_EQ(status->rfFwVersion, 0);
    EXPECT_EQ(status->sensorFwVersion, 0);
    EXPECT_EQ(status->batteryVoltage, 0.0);
    EXPECT_FALSE(state.packetConfig(1)->configured);
    EXPECT_EQ(state.packetConfig(1)->fixedConfig, 0);
    EXPECT_TRUE(state.packetConfig(1)->sensorDataLens().empty());
    EXPECT_EQ(state.packetConfig(2)->fixedConfig, 7);
    EXPECT_TRUE(state.outputConfig(1)->settingsCopy().empty());
    // The entries themselves survive: pointers held by readers stay valid.
    EXPECT_EQ(state.remoteStatus(1), status);
}

TEST(HardwareState, AReaderSeesWholeValuesWhileTheParserWrites) {
    HardwareState state;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            state.dongleMode = (i % 2) ? DongleModeConnected : DongleModeData;
            state.packetConfig(1)->setSensorDataLen(i % 5, i);
            if (i % 100 == 0)
                state.packetConfig(1)->clear();
            state.outputConfig(2)->setSetting(i % 3, i & 0xFF);
        }
        done = true;
    });
    size_t reads = 0;
    while (!done) {
        int mode = state.dongleMode;
        EXPECT_TRUE(mode == DongleModeConnected || mode == DongleModeData || mode == DongleModeIdle);
        for (auto& [type, length] : state.packetConfig(1)->sensorDataLens())
            EXPECT_TRUE(type >= 0 && type < 5 && length >= 0);
        reads += state.outputConfig(2)->settingsCopy().size();
    }
    writer.join();
    SUCCEED() << reads;
}
