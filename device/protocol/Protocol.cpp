#include "device/protocol/Protocol.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>

namespace {

constexpr std::array payloadlessCodes = {STOP_PAIRING,      GET_PAIRING,     FIND_REMOTE,
                                         GET_DONGLE_STATUS, START_DATA,      STOP_DATA,
                                         GET_OUTPUT_CONFIG, ENTER_BOOTLOADER};
constexpr std::array remoteCodes = {GET_SENSOR_CONFIG,   GET_OUTPUT_CONFIG, GET_FIXED_CONFIG,
                                    GET_PACKET_CONFIG,   GET_REMOTE_STATUS, POWER_DOWN,
                                    START_ASYMETRIC_DATA};
constexpr std::array twoByteCodes = {SET_FIXED_CONFIG, GET_CALIBRATION};

template <std::size_t N>
bool contains(const std::array<uint8_t, N>& codes, int code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

bool fitsByte(int value) { return value >= 0 && value <= 0xFF; }

uint8_t byte(int value) { return static_cast<uint8_t>(value); }

// A code outside an encoder's list is the caller's bug. Debug builds stop right there;
// release builds must not take the whole program down for it (the API forwards codes it is
// given), so the frame is refused and the mistake is written where a developer looks.
bool codeAccepted(bool accepted, const char* condition, int code) {
    if (!accepted) {
        std::fprintf(stderr, "Protocol - assertion failed: %s (cmdCode = 0x%X); frame not sent\n",
                     condition, static_cast<unsigned>(code));
        assert(accepted && "command code not accepted by this encoder");
    }
    return accepted;
}

} // namespace

Protocol::Protocol() : commandQueue(std::make_unique<PacketQueue>()) {}

Protocol::~Protocol() = default;

void Protocol::commandAnswered() { commandQueue->clearFlag(); }

bool Protocol::acceptsCommand(int cmdCode) { return contains(payloadlessCodes, cmdCode); }

bool Protocol::acceptsRemoteCommand(int cmdCode) { return contains(remoteCodes, cmdCode); }

bool Protocol::acceptsTwoByteCommand(int cmdCode) { return contains(twoByteCodes, cmdCode); }

std::vector<uint8_t> Protocol::buildCommand(int cmdCode) {
    if (!acceptsCommand(cmdCode))
        return {};
    return buildFrame(byte(cmdCode));
}

std::vector<uint8_t> Protocol::buildRemoteCommand(int cmdCode, int remote) {
    if (!acceptsRemoteCommand(cmdCode) || !fitsByte(remote))
        return {};
    const uint8_t payload[] = {byte(remote)};
    return buildFrame(byte(cmdCode), payload);
}

std::vector<uint8_t> Protocol::buildTwoByteCommand(int cmdCode, int first, int second) {
    if (!acceptsTwoByteCommand(cmdCode) || !fitsByte(first) || !fitsByte(second))
        return {};
    const uint8_t payload[] = {byte(first), byte(second)};
    return buildFrame(byte(cmdCode), payload);
}

std::vector<uint8_t> Protocol::buildStartPairing(int remote, int action, uint32_t remoteID) {
    if (!fitsByte(remote) || !fitsByte(action))
        return {};
    std::vector<uint8_t> payload = {byte(remote), byte(action)};
    appendBigEndian24(payload, remoteID);
    return buildFrame(START_PAIRING, payload);
}

uint8_t Protocol::packOutputSetting(int key, int value) {
    return static_cast<uint8_t>((key << 5) + (value & 0x1F));
}

std::vector<uint8_t> Protocol::buildSetOutputConfig(int remote, int sensorType, int key,
                                                    int value) {
    // The value is cut to five bits by design of the byte; a key that does not fit three
    // bits would silently become another key, so it is refused instead.
    if (!fitsByte(remote) || !fitsByte(sensorType) || key < 0 || key > 7)
        return {};
    const uint8_t payload[] = {byte(remote), 1, byte(sensorType), packOutputSetting(key, value)};
    return buildFrame(SET_OUTPUT_CONFIG, payload);
}

std::vector<uint8_t> Protocol::buildAck(uint8_t acknowledgedCode) {
    const uint8_t payload[] = {acknowledgedCode};
    return buildFrame(ACK, payload);
}

std::vector<uint8_t> Protocol::buildNack(uint8_t refusedCode, uint8_t errorCode) {
    const uint8_t payload[] = {refusedCode, errorCode};
    return buildFrame(NACK, payload);
}

std::vector<uint8_t> Protocol::buildRfConnection(uint8_t remote, uint8_t status) {
    const uint8_t payload[] = {remote, status};
    return buildFrame(RF_CONNECTION, payload);
}

bool Protocol::queueFrame(std::vector<uint8_t> frame) {
    if (frame.empty())
        return false;
    commandQueue->push(std::make_unique<Packet>(std::move(frame)));
    return true;
}

bool Protocol::encodeCommand(int cmdCode) {
    if (!codeAccepted(acceptsCommand(cmdCode),
                      "cmdCode == STOP_PAIRING || cmdCode == GET_PAIRING || cmdCode == FIND_REMOTE"
                      " || cmdCode == GET_DONGLE_STATUS || cmdCode == START_DATA"
                      " || cmdCode == STOP_DATA || cmdCode == GET_OUTPUT_CONFIG"
                      " || cmdCode == ENTER_BOOTLOADER",
                      cmdCode))
        return false;
    return queueFrame(buildCommand(cmdCode));
}

bool Protocol::encodeRemoteCommand(int cmdCode, int remote) {
    if (!codeAccepted(acceptsRemoteCommand(cmdCode),
                      "cmdCode == GET_SENSOR_CONFIG || cmdCode == GET_OUTPUT_CONFIG"
                      " || cmdCode == GET_FIXED_CONFIG || cmdCode == GET_PACKET_CONFIG"
                      " || cmdCode == GET_REMOTE_STATUS || cmdCode == POWER_DOWN"
                      " || cmdCode == START_ASYMETRIC_DATA",
                      cmdCode))
        return false;
    return queueFrame(buildRemoteCommand(cmdCode, remote));
}

bool Protocol::encodeTwoByteCommand(int cmdCode, int first, int second) {
    if (!codeAccepted(acceptsTwoByteCommand(cmdCode),
                      "cmdCode == SET_FIXED_CONFIG || cmdCode == GET_CALIBRATION", cmdCode))
        return false;
    return queueFrame(buildTwoByteCommand(cmdCode, first, second));
}

bool Protocol::startPairing(int remote, int action, uint32_t remoteID) {
    return queueFrame(buildStartPairing(remote, action, remoteID));
}

bool Protocol::setOutputConfig(int remote, int sensorType, int key, int value) {
    return queueFrame(buildSetOutputConfig(remote, sensorType, key, value));
}
