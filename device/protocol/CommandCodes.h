// Command codes, refusal codes and status values of the dongle's framed protocol.
//
// Plain constants rather than scoped enums: the codes travel as bytes, are compared with
// frame bytes and are passed around as int by the API, so they must mix freely with both.
#pragma once

#include <cstdint>

// Host to dongle.
inline constexpr uint8_t START_PAIRING = 0x10;
inline constexpr uint8_t STOP_PAIRING = 0x11;
inline constexpr uint8_t GET_PAIRING = 0x12;
inline constexpr uint8_t FIND_REMOTE = 0x13;
inline constexpr uint8_t GET_DONGLE_STATUS = 0x14;
inline constexpr uint8_t START_DATA = 0x20;
inline constexpr uint8_t STOP_DATA = 0x21;
inline constexpr uint8_t SET_SENSOR_CONFIG = 0x22;
inline constexpr uint8_t GET_SENSOR_CONFIG = 0x23;
inline constexpr uint8_t SET_OUTPUT_CONFIG = 0x24;
inline constexpr uint8_t GET_OUTPUT_CONFIG = 0x25;
inline constexpr uint8_t SET_FIXED_CONFIG = 0x26;
inline constexpr uint8_t GET_FIXED_CONFIG = 0x27;
inline constexpr uint8_t GET_PACKET_CONFIG = 0x28;
inline constexpr uint8_t GET_CALIBRATION = 0x29;
inline constexpr uint8_t GET_REMOTE_STATUS = 0x2A;
inline constexpr uint8_t POWER_DOWN = 0x2B;
inline constexpr uint8_t START_ASYMETRIC_DATA = 0x2C;
inline constexpr uint8_t ENTER_BOOTLOADER = 0x50;

// Dongle to host.
inline constexpr uint8_t RF_CONNECTION = 0x40;
inline constexpr uint8_t DATA_FROM_REMOTE = 0x41;
inline constexpr uint8_t ACK = 0xAA;
inline constexpr uint8_t NACK = 0xBB;

// Error codes carried in the second payload byte of a NACK.
inline constexpr uint8_t NACK_INVALID_COMMAND = 1;
inline constexpr uint8_t NACK_INVALID_PAYLOAD_LENGTH = 2;
inline constexpr uint8_t NACK_INVALID_PAYLOAD_VALUE = 3;
inline constexpr uint8_t NACK_INVALID_STATE = 4;
inline constexpr uint8_t NACK_REMOTE_BUSY = 5;
inline constexpr uint8_t NACK_NO_RESPONSE = 6;
inline constexpr uint8_t NACK_INVALID_SOP = 7;
inline constexpr uint8_t NACK_INVALID_PACKET_LENGTH = 8;
inline constexpr uint8_t NACK_INVALID_EOP = 9;
inline constexpr uint8_t NACK_INVALID_TX_LENGTH = 10;
inline constexpr uint8_t NACK_INVALID_TX_STATE = 11;
inline constexpr uint8_t NACK_INVALID_REMOTE_FIRMWARE = 12;
inline constexpr uint8_t NACK_COMMAND_ERROR = 13;

// Mode numbers as the dongle reports them in its status reply...
inline constexpr uint8_t DONGLE_MODE_IDLE = 1;
inline constexpr uint8_t DONGLE_MODE_PAIRING = 2;
inline constexpr uint8_t DONGLE_MODE_PAIRED = 3;
inline constexpr uint8_t DONGLE_MODE_CONNECTED = 4;
inline constexpr uint8_t DONGLE_MODE_DATA = 5;

// ...and the masks the host keeps instead of the numbers.
inline constexpr uint8_t MODE_MASK_IDLE = 1;
inline constexpr uint8_t MODE_MASK_PAIRING = 2;
inline constexpr uint8_t MODE_MASK_PAIRED = 4;
inline constexpr uint8_t MODE_MASK_CONNECTED = 8;
inline constexpr uint8_t MODE_MASK_DATA = 16;

// The mask kept for a reported mode number: 1 shifted left by (number - 1). A number
// outside 1..5 has no mask and yields 0, so a corrupt status byte never becomes a
// plausible mode (or an undefined shift).
constexpr uint8_t dongleModeMask(int modeNumber) {
    return (modeNumber >= DONGLE_MODE_IDLE && modeNumber <= DONGLE_MODE_DATA)
               ? static_cast<uint8_t>(1u << (modeNumber - 1))
               : 0;
}

// Pairing status of a remote slot in the pairing table.
inline constexpr uint8_t PAIRING_STATUS_NOT_PAIRED = 0;
inline constexpr uint8_t PAIRING_STATUS_PAIRED = 1;

// Radio status in RF_CONNECTION: 1 is connected; 2 and every other value mean not.
inline constexpr uint8_t RF_STATUS_CONNECTED = 1;
inline constexpr uint8_t RF_STATUS_DISCONNECTED = 2;

// The pairing action that pairs the remote whose identifier is given.
inline constexpr uint8_t PAIRING_ACTION_PAIR = 1;
