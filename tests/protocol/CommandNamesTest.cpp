#include "device/protocol/CommandNames.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandNames, EveryCommandCodeHasItsName) {
    CommandNames names;
    const std::map<int, std::string> expected = {
        {0x10, "START_PAIRING"},     {0x11, "STOP_PAIRING"},      {0x12, "GET_PAIRING"},
        {0x13, "FIND_REMOTE"},       {0x14, "GET_DONGLE_STATUS"}, {0x20, "START_DATA"},
        {0x21, "STOP_DATA"},         {0x22, "SET_SENSOR_CONFIG"}, {0x23, "GET_SENSOR_CONFIG"},
        {0x24, "SET_OUTPUT_CONFIG"}, {0x25, "GET_OUTPUT_CONFIG"}, {0x26, "SET_FIXED_CONFIG"},
        {0x27, "GET_FIXED_CONFIG"},  {0x28, "GET_PACKET_CONFIG"}, {0x29, "GET_CALIBRATION"},
        {0x2A, "GET_REMOTE_STATUS"}, {0x2B, "POWER_DOWN"},        {0x2C, "START_ASYMETRIC_DATA"},
        {0x40, "RF_CONNECTION"},     {0x41, "DATA_FROM_REMOTE"},  {0x50, "ENTER_BOOTLOADER"},
        {0xAA, "ACK"},               {0xBB, "NACK"},
    };
    EXPECT_EQ(names.commands(), expected);
    EXPECT_EQ(names.commandName(0x2C), "START_ASYMETRIC_DATA");
}

TEST(CommandNames, NackTextsCoverCodesOneToThirteenOnly) {
    CommandNames names;
    EXPECT_EQ(names.nackTexts().size(), 13u);
    EXPECT_EQ(names.nackText(1), "Invalid command");
    EXPECT_EQ(names.nackText(4),
              "Invalid state; dongle is not in the proper state to accept the command");
    EXPECT_EQ(names.nackText(9), "Invalid packet EOP");
    EXPECT_EQ(names.nackText(12), "Invalid remote firmware version for current command");
    EXPECT_EQ(names.nackText(13), "Error performing command");
    EXPECT_EQ(names.nackText(0), "");
    EXPECT_EQ(names.nackText(14), "");
}

TEST(CommandNames, ModeAndPairingNamesAndUnknownKeys) {
    CommandNames names;
    EXPECT_EQ(names.modeName(1), "Idle");
    EXPECT_EQ(names.modeName(2), "Pairing");
    EXPECT_EQ(names.modeName(3), "Paired");
    EXPECT_EQ(names.modeName(4), "Connected");
    EXPECT_EQ(names.modeName(5), "Data");
    EXPECT_EQ(names.modeName(0), "");
    EXPECT_EQ(names.modeName(6), "");
    EXPECT_EQ(names.pairingStatusName(0), "Not paired");
    EXPECT_EQ(names.pairingStatusName(1), "Paired");
    EXPECT_EQ(names.pairingStatusName(2), "");
    EXPECT_EQ(names.commandName(0x15), "");
    EXPECT_EQ(names.commandName(-1), "");
}

TEST(CommandNames, ModeNumbersBecomeMasksAndOutOfRangeNumbersHaveNone) {
    EXPECT_EQ(dongleModeMask(1), MODE_MASK_IDLE);
    EXPECT_EQ(dongleModeMask(3), MODE_MASK_PAIRED);
    EXPECT_EQ(dongleModeMask(4), 8);
    EXPECT_EQ(dongleModeMask(5), 16);
    EXPECT_EQ(dongleModeMask(0), 0);
    EXPECT_EQ(dongleModeMask(6), 0);
    EXPECT_EQ(dongleModeMask(255), 0);
}

} // namespace
