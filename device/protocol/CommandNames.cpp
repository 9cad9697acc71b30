#include "device/protocol/CommandNames.h"

namespace {

std::string lookup(const std::map<int, std::string>& table, int key) {
    auto found = table.find(key);
    return found == table.end() ? std::string() : found->second;
}

} // namespace

CommandNames::CommandNames()
    : commandNames{
          {START_PAIRING, "START_PAIRING"},
          {STOP_PAIRING, "STOP_PAIRING"},
          {GET_PAIRING, "GET_PAIRING"},
          {FIND_REMOTE, "FIND_REMOTE"},
          {GET_DONGLE_STATUS, "GET_DONGLE_STATUS"},
          {START_DATA, "START_DATA"},
          {STOP_DATA, "STOP_DATA"},
          {SET_SENSOR_CONFIG, "SET_SENSOR_CONFIG"},
          {GET_SENSOR_CONFIG, "GET_SENSOR_CONFIG"},
          {SET_OUTPUT_CONFIG, "SET_OUTPUT_CONFIG"},
          {GET_OUTPUT_CONFIG, "GET_OUTPUT_CONFIG"},
          {SET_FIXED_CONFIG, "SET_FIXED_CONFIG"},
          {GET_FIXED_CONFIG, "GET_FIXED_CONFIG"},
          {GET_PACKET_CONFIG, "GET_PACKET_CONFIG"},
          {GET_CALIBRATION, "GET_CALIBRATION"},
          {GET_REMOTE_STATUS, "GET_REMOTE_STATUS"},
          {POWER_DOWN, "POWER_DOWN"},
          {START_ASYMETRIC_DATA, "START_ASYMETRIC_DATA"},
          {RF_CONNECTION, "RF_CONNECTION"},
          {DATA_FROM_REMOTE, "DATA_FROM_REMOTE"},
          {ENTER_BOOTLOADER, "ENTER_BOOTLOADER"},
          {ACK, "ACK"},
          {NACK, "NACK"},
      },
      nackErrorTexts{
          {NACK_INVALID_COMMAND, "Invalid command"},
          {NACK_INVALID_PAYLOAD_LENGTH, "Invalid payload data length"},
          {NACK_INVALID_PAYLOAD_VALUE, "Invalid payload data value"},
          {NACK_INVALID_STATE,
           "Invalid state; dongle is not in the proper state to accept the command"},
          {NACK_REMOTE_BUSY, "Remote interface is busy"},
          {NACK_NO_RESPONSE, "No response from remote"},
          {NACK_INVALID_SOP, "Invalid packet SOP"},
          {NACK_INVALID_PACKET_LENGTH, "Invalid packet data length"},
          {NACK_INVALID_EOP, "Invalid packet EOP"},
          {NACK_INVALID_TX_LENGTH, "Invalid transmit packet data length"},
          {NACK_INVALID_TX_STATE, "Invalid transmit packet state"},
          {NACK_INVALID_REMOTE_FIRMWARE, "Invalid remote firmware version for current command"},
          {NACK_COMMAND_ERROR, "Error performing command"},
      },
      modeNames{
          {DONGLE_MODE_IDLE, "Idle"},
          {DONGLE_MODE_PAIRING, "Pairing"},
          {DONGLE_MODE_PAIRED, "Paired"},
          {DONGLE_MODE_CONNECTED, "Connected"},
          {DONGLE_MODE_DATA, "Data"},
      },
      pairingStatusNames{
          {PAIRING_STATUS_NOT_PAIRED, "Not paired"},
          {PAIRING_STATUS_PAIRED, "Paired"},
      } {}

std::string CommandNames::commandName(int code) const { return lookup(commandNames, code); }

std::string CommandNames::nackText(int code) const { return lookup(nackErrorTexts, code); }

std::string CommandNames::modeName(int number) const { return lookup(modeNames, number); }

std::string CommandNames::pairingStatusName(int status) const {
    return lookup(pairingStatusNames, status);
}
