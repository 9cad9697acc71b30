// Protocol: the command encoders and the command queue they fill.
//
// Each encoder builds one frame, wraps it in a Packet, appends it to the command queue and
// wakes the command sender; none waits for the dongle. Frames leave in the order they were
// queued, from whichever thread queued them.
//
// Each encoder accepts only its own command codes. A wrong code is a programming error:
// debug builds stop on an assertion; release builds refuse the frame (nothing is queued,
// the encoder returns false, a line goes to standard error). Code that forwards a code it
// did not choose itself (a page request) checks it with the matching accepts...() first.
//
// The frame builders are pure and static so that the other side of the link (a device
// that answers the host) builds its frames with the same code.
#pragma once

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"
#include "device/protocol/PacketQueue.h"

#include <cstdint>
#include <memory>
#include <vector>

class Protocol {
public:
    // Creates the command queue, empty with its flag clear.
    Protocol();
    ~Protocol();
    Protocol(const Protocol&) = delete;
    Protocol& operator=(const Protocol&) = delete;

    // The command queue, owned by this object; the command sender drains it.
    PacketQueue* getCommandQueue() { return commandQueue.get(); }
    // The dongle answered the command being sent: clears the queue's flag and wakes the
    // sender that waits for the answer.
    void commandAnswered();

    // 02 cmd 00 0A. Codes: STOP_PAIRING, GET_PAIRING, FIND_REMOTE, GET_DONGLE_STATUS,
    // START_DATA, STOP_DATA, GET_OUTPUT_CONFIG, ENTER_BOOTLOADER.
    bool encodeCommand(int cmdCode);
    // 02 cmd 01 remote 0A. Codes: GET_SENSOR_CONFIG, GET_OUTPUT_CONFIG, GET_FIXED_CONFIG,
    // GET_PACKET_CONFIG, GET_REMOTE_STATUS, POWER_DOWN, START_ASYMETRIC_DATA.
    bool encodeRemoteCommand(int cmdCode, int remote);
    // 02 cmd 02 first second 0A. Codes: SET_FIXED_CONFIG, GET_CALIBRATION.
    bool encodeTwoByteCommand(int cmdCode, int first, int second);
    // 02 10 05 remote action id23..16 id15..8 id7..0 0A: the low 24 bits of remoteID.
    bool startPairing(int remote, int action, uint32_t remoteID);
    // 02 24 04 remote 01 sensorType (key << 5 | value & 0x1F) 0A. Only five bits of the
    // value are sent; a key outside 0..7 has no place in the byte and is refused.
    bool setOutputConfig(int remote, int sensorType, int key, int value);

    // Per-command wrappers.
    bool stopPairing() { return encodeCommand(STOP_PAIRING); }
    bool getPairing() { return encodeCommand(GET_PAIRING); }
    bool findRemote() { return encodeCommand(FIND_REMOTE); }
    bool getDongleStatus() { return encodeCommand(GET_DONGLE_STATUS); }
    bool startData() { return encodeCommand(START_DATA); }
    bool stopData() { return encodeCommand(STOP_DATA); }
    bool startAsymetricData(int remote) {
        return encodeRemoteCommand(START_ASYMETRIC_DATA, remote);
    }
    bool getFixedConfig(int remote) { return encodeRemoteCommand(GET_FIXED_CONFIG, remote); }
    bool getPacketConfig(int remote) { return encodeRemoteCommand(GET_PACKET_CONFIG, remote); }
    bool getOutputConfig(int remote) { return encodeRemoteCommand(GET_OUTPUT_CONFIG, remote); }
    bool getRemoteStatus(int remote) { return encodeRemoteCommand(GET_REMOTE_STATUS, remote); }
    bool powerDown(int remote) { return encodeRemoteCommand(POWER_DOWN, remote); }
    bool setFixedConfig(int remote, int config) {
        return encodeTwoByteCommand(SET_FIXED_CONFIG, remote, config);
    }
    bool getCalibration(int remote, int sensorType) {
        return encodeTwoByteCommand(GET_CALIBRATION, remote, sensorType);
    }

    // Which codes each encoder accepts.
    static bool acceptsCommand(int cmdCode);
    static bool acceptsRemoteCommand(int cmdCode);
    static bool acceptsTwoByteCommand(int cmdCode);

    // Pure frame builders. They return an empty vector for an argument that does not fit
    // its byte (a code not accepted by the matching encoder, a byte argument outside
    // 0..255, a key outside 0..7); the queueing encoders above refuse the same inputs.
    static std::vector<uint8_t> buildCommand(int cmdCode);
    static std::vector<uint8_t> buildRemoteCommand(int cmdCode, int remote);
    static std::vector<uint8_t> buildTwoByteCommand(int cmdCode, int first, int second);
    static std::vector<uint8_t> buildStartPairing(int remote, int action, uint32_t remoteID);
    static std::vector<uint8_t> buildSetOutputConfig(int remote, int sensorType, int key,
                                                     int value);

    // Device-side frames.
    static std::vector<uint8_t> buildAck(uint8_t acknowledgedCode);
    static std::vector<uint8_t> buildNack(uint8_t refusedCode, uint8_t errorCode);
    static std::vector<uint8_t> buildRfConnection(uint8_t remote, uint8_t status);

    // The key/value byte of output settings: key in the top three bits, value in the low
    // five. pack keeps only what fits: (key << 5) + (value & 0x1F), truncated to 8 bits.
    static uint8_t packOutputSetting(int key, int value);
    static int outputSettingKey(uint8_t packed) { return packed >> 5; }
    static int outputSettingValue(uint8_t packed) { return packed & 0x1F; }

private:
    bool queueFrame(std::vector<uint8_t> frame);

    std::unique_ptr<PacketQueue> commandQueue;
};
