#include "device/protocol/CommandNames.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandNames, EveryCommandCodeHasItsName) {
    CommandNames names;
    const std::map<int, std::string> expected = {
        {0x10, "START_PAIRING"},
        {0x11, "STOP_PAIRING"},
        {0x12, "GET_PAIRING"},
        {0x13, "FIND_REMOTE"},
        {0x14, "GET_DONGLE_STATUS"},
        {0x20, "START_DATA"},
        {0x21, "STOP_DATA"},
        {0x22, "SET_SENSOR_CONFIG"},
        {0x23, "GET_SENSOR_CONFIG"},
        {0x24, "SET_OUTPUT_CONFIG"},
        {0x25, "GET_OUTPUT_CONFIG"},
        {0x26, "SET_FIXED_CONFIG"},
        {0x27, "GET_FIXED_CONFIG"},
        {0x28, "GET_PACKET_CONFIG"},
        {0x29, "GET_CALIBRATION"},
        {0x2A, "GET_REMOTE_STATUS"},
        {0x2B, "POWER_DOWN"},
        {0x2C, "START_ASYMETRIC_DATA"},
        {0x40, "RF_CONNECTION"},
        {0x41, "DATA_FROM_REMOTE"},
        {0x50, "ENTER_BOOTLOADER"},
        {0xAA, "ACK"},
        {0xBB, "NACK"},
    };
    EXPECT_EQ(names.commands(), expected);
    EXPECT_EQ(names.commandName(0x2C), "START_ASYMETRIC_DATA");
}

TEST(CommandNames, NackTextsCoverCodesOneToThirteenOnly) {
    CommandNames names;
    EXPECT_EQ(names.nackTexts().size(), 13u);
    EXPECT_EQ(names.nackText(1), "Invalid command");
    EXPECT_EQ(names.nackText(4), "Invalid state; dongle is not in the proper state to accept the command");
    EXPECT_EQ(names.nackText(9), "Invalid packet EOP");
    EXPECT_EQ(names.nackText(12), "Invalid remote firmware version for current command");
    EXPECT_EQ(names.nackText(13), "Error performing command");
    EXPECT_EQ(names.nackText(0), "");
    EXPECT_EQ(names.nackText(14), "");
}

// Modes 1 to 5 are bits 0 to 4 of the status mask; numbers outside have no name or mask.
TEST(CommandNames, ModeAndPairingNamesMasksAndUnknownKeys) {
    CommandNames names;
    const std::vector<std::string> modes = {"", "Idle", "Pairing", "Paired", "Connected", "Data", ""};
    for (int mode = 0; mode < int(modes.size()); ++mode) {
        EXPECT_EQ(names.modeName(mode), modes[mode]) << mode;
        EXPECT_EQ(dongleModeMask(mode), mode >= 1 && mode <= 5 ? 1 << (mode - 1) : 0) << mode;
    }
    EXPECT_EQ(dongleModeMask(255), 0);
    EXPECT_EQ(names.pairingStatusName(0), "Not paired");
    EXPECT_EQ(names.pairingStatusName(1), "Paired");
    EXPECT_EQ(names.pairingStatusName(2), "");
    EXPECT_EQ(names.commandName(0x15), "");
    EXPECT_EQ(names.commandName(-1), "");
}

} // namespace
