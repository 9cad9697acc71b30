#include "device/link/DataParser.h"

#include "device/base/LogLine.h"
#include "device/base/IKorvexListener.h"
#include "device/base/HardwareState.h"
#include "device/sensors/RemoteConfiguration.h"
#include "device/sensors/Sensor.h"
#include "device/sensors/SensorClasses.h"
#include "device/storage/AcquisitionStack.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstdio>
#include <iostream>

namespace {

// Byte offsets inside a frame: SOP, command, payload length, payload...
constexpr std::size_t P = FRAME_HEADER_SIZE;

int be16(std::span<const uint8_t> b, std::size_t at) { return (b[at] << 8) | b[at + 1]; }
int be16s(std::span<const uint8_t> b, std::size_t at) { return int16_t(uint16_t(be16(b, at))); }
int be24(std::span<const uint8_t> b, std::size_t at) {
    return (b[at] << 16) | (b[at + 1] << 8) | b[at + 2];
}

std::string renderFrame(std::span<const uint8_t> b) {
    std::string text = "{";
    char hex[8];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(hex, sizeof hex, "0x%02x", b[i]);
        if (i)
            text += ", ";
        text += hex;
    }
    text += "} " + std::to_string(b.size());
    return text;
}

// Applies one packed output setting the way the dongle stores it: key in the top three bits,
// value in the low five.
void applySetting(RemoteOutputConfig* config, int sensorType, int packed) {
    config->setSetting(sensorType, packed);
}

} // namespace

DataParser::DataParser(IKorvexListener* listener, HardwareState* hardwareState,
                       AcquisitionStack* acquisitionStack, PacketQueue* receiveQueue)
    : listener(listener), hardwareState(hardwareState), acquisitionStack(acquisitionStack),
      receiveQueue(receiveQueue), rawQueue(std::make_unique<PacketQueue>()) {
    // Nothing is recorded until the dongle acknowledges a start.
    rawQueue->setFlag(1);
}

DataParser::~DataParser() = default;

void DataParser::listenLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        std::unique_ptr<Packet> frame = receiveQueue->popWait(stop);
        if (!frame)
            return;
        try {
            handleFrame(frame->bytes());
        } catch (const std::exception& e) {
            // A handler must never take the parser thread down: report and go on.
            listener->log(logLine("DataParser::listenLoop - frame handling failed: %1%", e.what()));
        }
    }
}

bool DataParser::hasPayload(std::span<const uint8_t> b, std::size_t payload, const char* handler) {
    // The framer guarantees b.size() == length byte + 4; check the layout against it.
    if (b.size() >= payload + FRAME_OVERHEAD)
        return true;
    ++dropped;
    listener->log(
        logLine("DataParser::%1% - frame too short, dropped: %2%", handler, renderFrame(b)));
    return false;
}

bool DataParser::knownRemote(int remote, const char* handler) {
    if (HardwareState::isValidRemote(remote))
        return true;
    ++dropped;
    listener->log(
        logLine("DataParser::%1% - reply for unknown remote %2% ignored", handler, remote));
    return false;
}

void DataParser::handleFrame(std::span<const uint8_t> b) {
    if (b.size() < FRAME_OVERHEAD || b[0] != FRAME_SOP || b[b.size() - 1] != FRAME_EOP ||
        b[2] + FRAME_OVERHEAD != b.size()) {
        std::string text = renderFrame(b);
        listener->error(31, text);
        std::cout << text << std::endl;
        return;
    }
    switch (b[1]) {
    case GET_PAIRING: getPairing(b); break;
    case FIND_REMOTE: findRemote(b); break;
    case GET_DONGLE_STATUS: getDongleStatus(b); break;
    case GET_OUTPUT_CONFIG: getOutputConfig(b); break;
    case GET_FIXED_CONFIG: getFixedConfig(b); break;
    case GET_PACKET_CONFIG: getPacketConfig(b); break;
    case GET_CALIBRATION: getCalibration(b); break;
    case GET_REMOTE_STATUS: getRemoteStatus(b); break;
    case RF_CONNECTION: rfConnection(b); break;
    case DATA_FROM_REMOTE: {
        // Recording never waits for decoding: the copy is queued first. Queueing and
        // decoding happen under one hold of the structure lock, so a run's start (which
        // notes where its frames begin in the raw file) sees every frame on one side of it.
        std::lock_guard structure(acquisitionStack->structure());
        rawQueue->push(std::make_unique<Packet>(b));
        dataFromRemote(b);
        break;
    }
    case ACK: getAck(b); break;
    case NACK: getNAck(b); break;
    default: {
        std::string name = names.commandName(b[1]);
        if (!name.empty())
            listener->warning(34, name);
        else
            listener->error(32, std::to_string(b[1]));
    }
    }
}

void DataParser::getNAck(std::span<const uint8_t> b) {
    if (!hasPayload(b, 2, "getNAck"))
        return;
    int command = b[P];
    int errorCode = b[P + 1];
    if (command == FIND_REMOTE)
        listener->findRemoteResult(0);
    if (command == SET_OUTPUT_CONFIG)
        hardwareState->outputConfigBusyRemote = 0;
    listener->log(logLine("DataParser::getNAck: %1% - %2%", names.commandName(command),
                          names.nackText(errorCode)));
    listener->replyReceived(NACK, command, -1);
}

void DataParser::getAck(std::span<const uint8_t> b) {
    if (!hasPayload(b, 1, "getAck"))
        return;
    int command = b[P];
    if (command == START_DATA || command == START_ASYMETRIC_DATA) {
        hardwareState->dongleMode = DongleModeData;
        {
            std::lock_guard structure(acquisitionStack->structure());
            if (Acquisition* current = acquisitionStack->getCurrent())
                current->setLastStartDate(boost::posix_time::microsec_clock::local_time());
        }
        // Frames of the previous run were all written before its file closed; nothing of it
        // may remain queued into this one.
        rawQueue->setFlag(0);
        rawQueue->notifyAll();
        notConfiguredReported = false;
        unknownBlocks[0] = unknownBlocks[1] = 0;
    } else if (command == SET_OUTPUT_CONFIG) {
        int remote = hardwareState->outputConfigBusyRemote;
        if (remote != 0 && HardwareState::isValidRemote(remote)) {
            RemoteOutputConfig* config = hardwareState->outputConfig(remote);
            int sensor = config->pendingSensor;
            int setting = config->pendingSetting;
            applySetting(config, sensor, setting);
            // The wheel-related output (sensor 20) has two linked keys: switching one mode
            // sets the other as the remote does.
            if (sensor == 20) {
                if (setting == 0x00)
                    applySetting(config, sensor, 0x20);
                if (setting == 0x21)
                    applySetting(config, sensor, 0x02);
            }
            hardwareState->outputConfigBusyRemote = 0;
            listener->hardwareStateChanged();
        }
    }
    listener->log(logLine("DataParser::getAck: %1% ", names.commandName(command)));
    listener->replyReceived(ACK, command, -1);
}

void DataParser::getPairing(std::span<const uint8_t> b) {
    if (!hasPayload(b, 8, "getPairing"))
        return;
    int status1 = b[P], id1 = be24(b, P + 1);
    int status2 = b[P + 4], id2 = be24(b, P + 5);
    RemoteStatus* r1 = hardwareState->remoteStatus(1);
    RemoteStatus* r2 = hardwareState->remoteStatus(2);
    r1->pairStatus = status1;
    r1->remoteID = status1 ? id1 : 0;
    r2->pairStatus = status2;
    r2->remoteID = status2 ? id2 : 0;
    listener->log(logLine("DataParser::getPairing: status1: %1% ID1: %2% - status2: %3% ID2: %4%",
                          status1, id1, status2, id2));
    listener->replyReceived(GET_PAIRING, -1, -1);
}

void DataParser::findRemote(std::span<const uint8_t> b) {
    if (!hasPayload(b, 3, "findRemote"))
        return;
    int id = be24(b, P);
    if (id == hardwareState->remoteStatus(1)->remoteID ||
        id == hardwareState->remoteStatus(2)->remoteID)
        listener->warning(35, std::to_string(id));
    listener->log(logLine("DataParser::findRemote: remoteID: %1%", id));
    listener->findRemoteResult(id);
}

void DataParser::stopRecording() {
    rawQueue->setFlag(1);
    rawQueue->notifyAll();
}

void DataParser::endOfRun() {
    stopRecording();
    std::lock_guard structure(acquisitionStack->structure());
    if (Acquisition* current = acquisitionStack->getCurrent())
        for (auto& [remote, configuration] : current->remoteConfigurations)
            configuration->recalibrateAll();
    listener->log("DataParser::getDongleStatus: (STOP_DATA) => sensors recalibration");
}

void DataParser::getDongleStatus(std::span<const uint8_t> b) {
    if (!hasPayload(b, 6, "getDongleStatus"))
        return;
    int old = hardwareState->dongleMode;
    int fw = be16(b, P);
    int modeNumber = b[P + 2];
    int id = be24(b, P + 3);
    // Mode numbers 1..5 become masks 1..16; anything else cannot be a mode of this dongle
    // and must not turn into an undefined shift.
    int mask = (modeNumber >= 1 && modeNumber <= 5) ? (1 << (modeNumber - 1)) : 0;
    hardwareState->fwVersion = fw;
    hardwareState->dongleID = id;
    hardwareState->dongleMode = mask;
    if (old == DongleModeData && mask != DongleModeData)
        endOfRun();
    listener->log(
        logLine("DataParser::getDongleStatus: fwVersion: %1% - dongleMode: %2% - dongleID: %3%", fw,
                mask, id));
    listener->replyReceived(GET_DONGLE_STATUS, mask, old);
}

void DataParser::getFixedConfig(std::span<const uint8_t> b) {
    if (!hasPayload(b, 2, "getFixedConfig"))
        return;
    int remote = b[P], config = b[P + 1];
    if (knownRemote(remote, "getFixedConfig")) {
        hardwareState->packetConfig(remote)->fixedConfig = config;
        listener->log(
            logLine("DataParser::getFixedConfig: remote: %1% - fixed Config: %2%", remote, config));
    }
    listener->replyReceived(GET_FIXED_CONFIG, remote, config);
}

void DataParser::getOutputConfig(std::span<const uint8_t> b) {
    if (!hasPayload(b, 2, "getOutputConfig"))
        return;
    int remote = b[P], count = b[P + 1];
    if (!hasPayload(b, 2 + 2 * std::size_t(count), "getOutputConfig"))
        return;
    if (knownRemote(remote, "getOutputConfig")) {
        RemoteOutputConfig* config = hardwareState->outputConfig(remote);
        for (int i = 0; i < count; ++i)
            applySetting(config, b[P + 2 + 2 * i], b[P + 3 + 2 * i]);
        listener->log(
            logLine("DataParser::getOutputConfig: remote: %1% - nbrKeyValues: %2%", remote, count));
    }
    listener->replyReceived(GET_OUTPUT_CONFIG, -1, -1);
}

void DataParser::getPacketConfig(std::span<const uint8_t> b) {
    if (!hasPayload(b, 2, "getPacketConfig"))
        return;
    int remote = b[P], count = b[P + 1];
    if (!hasPayload(b, 2 + 2 * std::size_t(count), "getPacketConfig"))
        return;
    if (knownRemote(remote, "getPacketConfig")) {
        RemotePacketConfig* config = hardwareState->packetConfig(remote);
        config->clear();
        config->configured = true;
        for (int i = 0; i < count; ++i)
            config->setSensorDataLen(b[P + 2 + 2 * i], b[P + 3 + 2 * i]);
        listener->log(
            logLine("DataParser::getPacketConfig: remote: %1% - nbrSensor: %2%", remote, count));
    }
    listener->replyReceived(GET_PACKET_CONFIG, -1, -1);
}

void DataParser::getCalibration(std::span<const uint8_t> b) {
    if (!hasPayload(b, 3, "getCalibration"))
        return;
    int remote = b[P], type = b[P + 1];
    std::size_t m = b[P + 2];
    if (!hasPayload(b, 3 + m, "getCalibration"))
        return;
    const std::size_t c = P + 3;
    if (knownRemote(remote, "getCalibration")) {
        std::lock_guard structure(acquisitionStack->structure());
        Sensor* sensor = acquisitionStack->getSensor(remote, type);
        if (type == SensorBarometer && m > 7) {
            if (auto* barometer = dynamic_cast<Barometer*>(sensor)) {
                barometer->setCoefficientWords(int16_t(be16s(b, c)), int16_t(be16s(b, c + 2)),
                                               int16_t(be16s(b, c + 4)), int16_t(be16s(b, c + 6)));
                listener->log(logLine("DataParser::getCalibration - Barometer - remote: %1% - A0: "
                                      "%2% B1: %3% B2: %4% C12: %5%",
                                      remote, barometer->a0, barometer->b1, barometer->b2,
                                      barometer->c12));
            }
        } else if (type == SensorThermometer && m > 3) {
            if (auto* thermometer = dynamic_cast<Thermometer*>(sensor)) {
                thermometer->setCalibrationPoints(float(be16(b, c)), float(be16(b, c + 2)));
                listener->log(logLine("DataParser::getCalibration - Thermometer - remote: %1% - "
                                      "calAt85degrees: %2% calAt30degrees: %3%",
                                      remote, thermometer->calAt85degrees,
                                      thermometer->calAt30degrees));
            }
        }
    }
    listener->replyReceived(GET_CALIBRATION, -1, -1);
}

void DataParser::getRemoteStatus(std::span<const uint8_t> b) {
    if (!hasPayload(b, 7, "getRemoteStatus"))
        return;
    int remote = b[P];
    int sensorFw = be16s(b, P + 1);
    int rfFw = be16s(b, P + 3);
    int battery = be16s(b, P + 5);
    // Second value 1: this reply is how the library learnt the remote is on the radio (a
    // kit whose remotes were on before the port opened); the dispatcher follows it up.
    int connectedNow = -1;
    if (knownRemote(remote, "getRemoteStatus")) {
        RemoteStatus* status = hardwareState->remoteStatus(remote);
        status->sensorFwVersion = sensorFw;
        status->rfFwVersion = rfFw;
        status->batteryVoltage = battery / 682.5;
        int down = 0;
        if (status->rfStatus.compare_exchange_strong(down, 1))
            connectedNow = 1;
        listener->log(logLine("DataParser::getRemoteStatus: rfFwVersion: %1% - sensorFwVerion: %2% "
                              "- batteryVoltage: %3%",
                              rfFw, sensorFw, battery));
    }
    listener->replyReceived(GET_REMOTE_STATUS, remote, connectedNow);
}

void DataParser::rfConnection(std::span<const uint8_t> b) {
    if (!hasPayload(b, 2, "rfConnection"))
        return;
    int remote = b[P], status = b[P + 1];
    // An unsolicited frame about a slot the dongle does not have: nothing to update and no
    // follow-up to trigger.
    if (!knownRemote(remote, "rfConnection"))
        return;
    hardwareState->remoteStatus(remote)->rfStatus = status;
    if (status != 1) {
        hardwareState->packetConfig(remote)->configured = false;
        hardwareState->outputConfig(remote)->clear();
        int busy = remote;
        hardwareState->outputConfigBusyRemote.compare_exchange_strong(busy, 0);
        if (hardwareState->dongleMode == DongleModeData)
            listener->hardwareStateChanged();
    }
    listener->log(logLine("DataParser::rfConnection: remote: %1% - rfStatus: %2%", remote, status));
    listener->replyReceived(RF_CONNECTION, remote, status);
}

bool DataParser::dataFromRemote(std::span<const uint8_t> b, bool replay) {
    if (b.size() < FRAME_HEADER_SIZE + 4 + 1) {
        ++dropped;
        if (!replay)
            listener->log(logLine("DataParser::dataFromRemote - frame too short, dropped: %1%",
                                  renderFrame(b)));
        return false;
    }
    int remote = b[P];
    int blocks = b[P + 3];
    std::size_t position = P + 4;
    bool whole = true;
    std::lock_guard structure(acquisitionStack->structure());
    Acquisition* current = acquisitionStack->getCurrent();
    RemoteConfiguration* rc = (current && HardwareState::isValidRemote(remote))
                                  ? current->remoteConfiguration(remote)
                                  : nullptr;
    // The end byte is not block data: a block may run up to it, never over it.
    const std::size_t dataEnd = b.size() - 1;
    for (int i = 0; i < blocks; ++i) {
        if (position >= dataEnd)
            break;
        int type = b[position] & 0x7F;
        int length = rc ? rc->sensorDataLength(type) : 0;
        if (length == 0 || !rc->configured) {
            // A stored frame that cannot be walked is the replay's to count; only a live
            // stream from an unconfigured remote is stopped.
            whole = false;
            if (replay)
                break;
            // A configured remote's frame with a block its layout does not have was damaged
            // on the way (a flipped bit, junk inside it): it costs that frame only. A remote
            // that keeps sending such frames streams a layout we do not know.
            if (rc && rc->configured && ++unknownBlocks[remote - 1] < unknownBlocksTolerated) {
                ++dropped;
                listener->log(logLine(
                    "DataParser::dataFromRemote - block of unknown sensor %1% from remote %2%, "
                    "rest of the frame dropped: %3%",
                    type, remote, renderFrame(b)));
                break;
            }
            if (!notConfiguredReported.exchange(true)) {
                listener->log(
                    logLine("DataParser::dataFromRemote: Remote %1% is not configured (%2%)!",
                            remote, length));
                listener->error(33, "");
                if (abortDataStream)
                    abortDataStream();
            }
            break;
        }
        if (position + 2 + std::size_t(length) > dataEnd) {
            // The announced slot runs past the frame: decoding it would read foreign bytes.
            ++dropped;
            whole = false;
            if (!replay)
                listener->log(logLine(
                    "DataParser::dataFromRemote - block of sensor %1% overruns the frame, dropped",
                    type));
            break;
        }
        if (Sensor* sensor = current->getSensor(remote, type)) {
            sensor->parse(b, uint16_t(position), std::size_t(length));
        } else if (rc->fixedConfig == 47) {
            if (Sensor* combined = current->getSensor(remote, SensorEcg6)) {
                combined->parseCombined(b, rc->sensorDataLengths());
                break;
            }
        }
        position += std::size_t(length) + 2;
    }
    if (!replay && whole && rc)
        unknownBlocks[remote - 1] = 0;
    if (!replay)
        listener->replyReceived(DATA_FROM_REMOTE, remote, -1);
    return whole;
}
