#include "device/hardware/HardwareDispatch.h"

#include "device/base/HardwareState.h"
#include "device/base/LogLine.h"
#include "device/hardware/HardwareAPI.h"
#include "device/protocol/Packet.h"
#include "device/protocol/Protocol.h"

HardwareDispatch::HardwareDispatch(IKorvexListener* listener, HardwareAPI* hardware,
                                   HardwareState* state, Protocol* protocol)
    : listener(listener), hardware(hardware), hardwareState(state), protocol(protocol) {}

HardwareDispatch::~HardwareDispatch() = default;

void HardwareDispatch::log(std::string line) { listener->log(std::move(line)); }

bool HardwareDispatch::error(int code, std::string detail) {
    return listener->error(code, std::move(detail));
}

void HardwareDispatch::warning(int code, std::string detail) {
    listener->warning(code, std::move(detail));
}

void HardwareDispatch::dropCommands() {
    // Requests queued for a dongle that is gone mean nothing to the next one, and the
    // sender must not go on waiting for an answer from it: the plug-in's own questions
    // come first, at once.
    protocol->getCommandQueue()->clear();
    protocol->commandAnswered();
}

void HardwareDispatch::donglePluggedIn() {
    listener->donglePluggedIn();
    hardwareState->donglePlugged = true;
    dropCommands();
    askPairedRemotes = true;
    protocol->getPairing();
    protocol->getDongleStatus();
}

void HardwareDispatch::dongleNotPluggedIn() {
    listener->dongleNotPluggedIn();
    // A dongle pulled in the middle of a run ends the run as a stop would: the raw file is
    // closed with every frame received and the sensors are re-timed.
    if (hardware)
        hardware->endInterruptedRun();
    dropCommands();
    hardwareState->reset();
    listener->hardwareStateChanged();
}

void HardwareDispatch::replyReceived(int command, int first, int second) {
    // The run's record is complete on disk before anyone hears that it stopped: a page may
    // keep or reload the acquisition the moment it does.
    if (command == GET_DONGLE_STATUS && second == DongleModeData && first != DongleModeData &&
        hardware)
        hardware->runEnded();
    listener->replyReceived(command, first, second);
    switch (command) {
    case GET_DONGLE_STATUS:
        for (int remote : {1, 2})
            if (hardwareState->remoteStatus(remote)->rfStatus == 1)
                protocol->getRemoteStatus(remote);
        listener->hardwareStateChanged();
        break;
    case GET_PAIRING:
        if (askPairedRemotes.exchange(false))
            for (int remote : {1, 2}) {
                RemoteStatus* status = hardwareState->remoteStatus(remote);
                if (status->pairStatus == 1 && status->rfStatus != 1)
                    protocol->getRemoteStatus(remote);
            }
        break;
    case GET_REMOTE_STATUS:
        // The parser says (second 1) when this reply is what made the remote connected.
        if (second == 1 && HardwareState::isValidRemote(first))
            remoteConnected(first);
        listener->hardwareStateChanged();
        break;
    case GET_OUTPUT_CONFIG:
    case GET_FIXED_CONFIG: listener->hardwareStateChanged(); break;
    case ACK:
        if (first == START_DATA || first == START_ASYMETRIC_DATA) {
            listener->hardwareStateChanged();
            listener->acquisitionStackChanged();
        } else if (first == START_PAIRING || first == STOP_PAIRING) {
            protocol->getPairing();
            protocol->getDongleStatus();
        }
        break;
    case RF_CONNECTION:
        if (second == 2)
            protocol->getPairing();
        else if (second == 1 && HardwareState::isValidRemote(first))
            remoteConnected(first);
        else if (second == 0 || second == 1)
            protocol->getDongleStatus();
        return; // unsolicited: the command in flight is still unanswered
    case DATA_FROM_REMOTE: return;
    default: break;
    }
    protocol->commandAnswered();
}

void HardwareDispatch::remoteConnected(int remote) {
    protocol->getDongleStatus();
    // A remote that comes back gets its configuration again. The mode is not lowered in the
    // middle of a run: the status asked for above may still be on its way, and only that
    // status ends the run (its raw file closed, its record written, the page told).
    int config = hardwareState->packetConfig(remote)->fixedConfig;
    if (config != 0 && hardware)
        hardware->configureReturningRemote(remote, config);
}

void HardwareDispatch::commandUnanswered(const Packet& frame) {
    // 02 24 04 remote 01 sensorType setting 0A
    if (frame.size() < 8 || frame[1] != SET_OUTPUT_CONFIG)
        return;
    int remote = frame[3];
    // Only the setting still waiting is dropped: after a state reset another one may have
    // taken its place while this frame was on its way.
    RemoteOutputConfig* output = hardwareState->outputConfig(remote);
    if (!output || output->pendingSensor != frame[5] || output->pendingSetting != frame[6])
        return;
    int busy = remote;
    if (hardwareState->outputConfigBusyRemote.compare_exchange_strong(busy, 0))
        log(logLine("HardwareDispatch::commandUnanswered - SET_OUTPUT_CONFIG for remote %1% never "
                    "answered; "
                    "the remote takes settings again",
                    remote));
}

void HardwareDispatch::hardwareStateChanged() { listener->hardwareStateChanged(); }
void HardwareDispatch::acquisitionStackChanged() { listener->acquisitionStackChanged(); }
void HardwareDispatch::findRemoteResult(int remoteID) { listener->findRemoteResult(remoteID); }

void HardwareDispatch::sensorRecalibrated(int remote, int sensorType) {
    listener->sensorRecalibrated(remote, sensorType);
}

void HardwareDispatch::sendEvent(std::string name, std::string args) {
    listener->sendEvent(std::move(name), std::move(args));
}

void HardwareDispatch::abortDataStream() {
    protocol->stopData();
    protocol->getPairing();
    protocol->getDongleStatus();
}
