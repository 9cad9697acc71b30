#include "device/api/KorvexAPIObject.h"

#include "device/base/LogLine.h"
#include "device/api/EventDispatch.h"
#include "device/hardware/HardwareAPI.h"
#include "device/base/HardwareState.h"
#include "device/protocol/Protocol.h"
#include "device/sensors/RemoteConfiguration.h"
#include "device/sensors/Sensor.h"
#include "device/storage/AcquisitionStack.h"
#include "device/base/FileSystem.h"

namespace {

// One remote slot of the hardware state report: link, packet layout and output settings.
// The model may change underneath (the parser thread writes it); every field is read once
// and the per-sensor maps are copied under their own lock, so the report is always whole.
void appendRemoteSlot(bson_t* document, const char* key, const HardwareState& state, int remote) {
    const RemoteStatus& status = *state.remoteStatus(remote);
    const RemotePacketConfig& packet = *state.packetConfig(remote);
    bson_t slot;
    bson_append_document_begin(document, key, -1, &slot);
    bson_append_int32(&slot, "remoteID", -1, status.remoteID);
    bson_append_int32(&slot, "rfStatus", -1, status.rfStatus);
    bson_append_int32(&slot, "pairStatus", -1, status.pairStatus);
    bson_append_int32(&slot, "fixedConfig", -1, packet.fixedConfig);
    bson_append_bool(&slot, "configured", -1, packet.configured);
    bson_append_double(&slot, "batteryVoltage", -1, status.batteryVoltage);

    bson_t sensors;
    bson_append_array_begin(&slot, "outputConfig", -1, &sensors);
    int sensorIndex = 0;
    for (const auto& [sensorType, keyValues] : state.outputConfig(remote)->settingsCopy()) {
        const std::string sensorKey = std::to_string(sensorIndex++);
        bson_t sensor;
        bson_append_document_begin(&sensors, sensorKey.c_str(), -1, &sensor);
        bson_append_int32(&sensor, "sensor", -1, sensorType);
        bson_t pairs;
        bson_append_array_begin(&sensor, "keyValues", -1, &pairs);
        int pairIndex = 0;
        for (const auto& [settingKey, value] : keyValues) {
            const std::string pairKey = std::to_string(pairIndex++);
            bson_t pair;
            bson_append_document_begin(&pairs, pairKey.c_str(), -1, &pair);
            bson_append_int32(&pair, "key", -1, settingKey);
            bson_append_int32(&pair, "value", -1, value);
            bson_append_document_end(&pairs, &pair);
        }
        bson_append_array_end(&sensor, &pairs);
        bson_append_document_end(&sensors, &sensor);
    }
    bson_append_array_end(&slot, &sensors);
    bson_append_document_end(document, &slot);
}

std::string sensorDetail(int remote, int sensorType) {
    return std::to_string(remote) + " " + std::to_string(sensorType);
}

} // namespace

void appendHardwareState(bson_t* document, const HardwareState& state) {
    bson_append_int32(document, "dongleID", -1, state.dongleID);
    bson_append_int32(document, "fwVersion", -1, state.fwVersion);
    bson_append_int32(document, "dongleMode", -1, state.dongleMode);
    bson_append_int32(document, "donglePlugged", -1, state.donglePlugged ? 1 : 0);
    appendRemoteSlot(document, "remote1", state, 1);
    appendRemoteSlot(document, "remote2", state, 2);
}

KorvexAPI::KorvexAPI(IKorvexListener* listener) {
    try {
        dispatch = new EventDispatch(listener);
        hardwareState = new HardwareState();
        fileSystem = new FileSystem(dispatch);
        calibrationData = createCalibrationStore();
        // The stack sets up its first, empty current acquisition itself, so an acquisition
        // with a fresh identifier exists before the host's first call.
        acquisitionStack = new AcquisitionStack(dispatch, hardwareState, calibrationData);
        hardware = new HardwareAPI(dispatch, hardwareState, acquisitionStack, fileSystem);
    } catch (...) {
        releaseParts();
        throw;
    }
}

KorvexAPI::~KorvexAPI() { releaseParts(); }

void KorvexAPI::releaseParts() {
    // The controller goes first so that no worker is left reporting into, or reading,
    // the parts released after it. The model is released here and only here.
    delete hardware;
    hardware = nullptr;
    delete acquisitionStack;
    acquisitionStack = nullptr;
    releaseCalibrationStore();
    delete fileSystem;
    fileSystem = nullptr;
    delete hardwareState;
    hardwareState = nullptr;
    delete dispatch;
    dispatch = nullptr;
}

Protocol* KorvexAPI::protocol() { return hardware ? hardware->protocol : nullptr; }

PacketQueue* KorvexAPI::commandQueue() {
    Protocol* encoder = protocol();
    return encoder ? encoder->getCommandQueue() : nullptr;
}

void KorvexAPI::emptyDocument(bson_t* result) {
    if (result)
        bson_init(result);
}

void KorvexAPI::startAPI() { hardware->start(); }

bool KorvexAPI::isDongleConnected() { return hardwareState->donglePlugged; }

bool KorvexAPI::isRemoteConnected(int remote) {
    RemoteStatus* status = hardwareState->remoteStatus(remote);
    return status && status->rfStatus == 1;
}

bool KorvexAPI::newAcquisition() {
    dispatch->log("KorvexAPI::newAcquisition");
    if (hardwareState->dongleMode == DongleModeData)
        return dispatch->error(14, "");
    // A recording is never dropped here: the stack refuses while the current acquisition
    // holds a remote, and the message asks to save or delete it first.
    if (!acquisitionStack->setUpNewAcquisition())
        return dispatch->error(12, "");
    return true;
}

bool KorvexAPI::setFixedConfig(int remote, int config) {
    dispatch->log(logLine("KorvexAPI::setFixedConfig - remote: %1% - config: %2%", remote, config));
    if (hardwareState->dongleMode != DongleModeConnected)
        return dispatch->error(15, "");
    if (!isRemoteConnected(remote))
        return dispatch->error(16, "");
    // Refused before the acquisition is touched: a configuration the library cannot build
    // sensors for must not cost the remote the one it has.
    if (config != 0 && !fixedConfiguration(config))
        return dispatch->error(38, "");
    Acquisition* current = acquisitionStack->getCurrent();
    RemoteConfiguration* recorded =
        current && current->hasRecording() ? current->remoteConfiguration(remote) : nullptr;
    if (recorded && (config == 0 || config == recorded->fixedConfig)) {
        // A remote with recorded samples keeps them: taking it out of the next run only
        // stops configuring it, and the same configuration again records beside them.
        if (config == 0) {
            hardwareState->packetConfig(remote)->clear();
            dispatch->hardwareStateChanged();
        } else {
            hardware->setFixedConfiguration(remote, config);
        }
        dispatch->acquisitionStackChanged();
        return true;
    }
    if (recorded && !keepRecordingForNewConfiguration(remote))
        return dispatch->error(12, "");
    acquisitionStack->removeRemote(remote);
    if (config == 0) {
        hardwareState->packetConfig(remote)->clear();
        dispatch->hardwareStateChanged();
    } else {
        if (!acquisitionStack->addRemote(remote, config, -1))
            return dispatch->error(13, "");
        hardware->setFixedConfiguration(remote, config);
    }
    dispatch->acquisitionStackChanged();
    return true;
}

bool KorvexAPI::keepRecordingForNewConfiguration(int remote) {
    // Another configuration for a remote that has recorded samples: what is recorded stays
    // as it was (on the stack, readable with its own layout) and the remotes go on in a new
    // acquisition, the other remote with the configuration it has now.
    Acquisition* old = acquisitionStack->getCurrent();
    std::string kept = old->acquisitionID;
    std::map<int, std::pair<int32_t, int32_t>> carried; // remote -> configuration, identifier
    for (auto& [number, configuration] : old->remoteConfigurations)
        if (number != remote && hardwareState->packetConfig(number)->configured)
            carried[number] = {configuration->fixedConfig, configuration->remoteId};
    if (!acquisitionStack->stackCurrent() || !acquisitionStack->setUpNewAcquisition())
        return false;
    for (auto& [number, configuration] : carried)
        acquisitionStack->addRemote(number, configuration.first, configuration.second);
    dispatch->log(logLine(
        "KorvexAPI::setFixedConfig - %1% keeps its recording and goes on the stack; remote %2% "
        "records into %3%",
        kept, remote, acquisitionStack->currentAcquisitionID()));
    return true;
}

bool KorvexAPI::stackAcquisition() {
    dispatch->log("KorvexAPI::stackAcquisition");
    if (hardwareState->dongleMode == DongleModeData)
        return dispatch->error(17, "");
    if (!acquisitionStack->stackCurrent())
        return dispatch->error(20, "");
    return finishAcquisitionChange();
}

bool KorvexAPI::deleteAcquisition() {
    dispatch->log("KorvexAPI::deleteAcquisition");
    if (hardwareState->dongleMode == DongleModeData)
        return dispatch->error(18, "");
    if (!acquisitionStack->discardCurrent())
        return dispatch->error(21, "");
    return finishAcquisitionChange();
}

bool KorvexAPI::finishAcquisitionChange() {
    if (!acquisitionStack->setUpNewAcquisition())
        return dispatch->error(12, "");
    hardwareState->packetConfig(1)->clear();
    hardwareState->packetConfig(2)->clear();
    dispatch->hardwareStateChanged();
    dispatch->acquisitionStackChanged();
    return true;
}

void KorvexAPI::startDataAcquisition() {
    dispatch->log("KorvexAPI::startDataAcquisition");
    hardware->startDataAcquisition();
}

void KorvexAPI::stopDataAcquisition() {
    dispatch->log("KorvexAPI::stopDataAcquisition");
    hardware->stopDataAcquisition();
}

void KorvexAPI::remotePowerDown(int remote) {
    dispatch->log(logLine("KorvexAPI::remotePowerDown - remote: %1%", remote));
    hardware->remotePowerDown(remote);
}

void KorvexAPI::pairRemote(int remote, int pairingAction, int remoteID) {
    RemoteStatus* status = hardwareState->remoteStatus(remote);
    if (!status) {
        dispatch->log(logLine("KorvexAPI::pairRemote - Remote %1% does not exist", remote));
        return;
    }
    // Any action other than pairing a given remote acts on the remote already recorded
    // for the slot.
    if (pairingAction != PAIRING_ACTION_PAIR)
        remoteID = status->remoteID;
    if (!protocol()->startPairing(remote, pairingAction, static_cast<uint32_t>(remoteID)))
        dispatch->log(
            logLine("KorvexAPI::pairRemote - Pairing action %1% cannot be sent", pairingAction));
}

void KorvexAPI::setOutputConfig(int remote, int sensorID, int key, int value) {
    dispatch->log(
        logLine("KorvexAPI::setOutputConfig - remote: %1% - sensorID %2% - Key %3% - Value %4%",
                remote, sensorID, key, value));
    hardware->setOutputConfig(remote, sensorID, key, value);
}

void KorvexAPI::sendCommand(int command) {
    // The page may ask for any number; only the codes that travel without a payload make a
    // frame of their own. Anything else is refused here rather than reaching the encoder.
    if (!Protocol::acceptsCommand(command)) {
        dispatch->log(
            logLine("KorvexAPI::sendCommand - Command %1% cannot be sent on its own", command));
        return;
    }
    protocol()->encodeCommand(command);
}

void KorvexAPI::getHardwareState(bson_t* result) {
    dispatch->log("KorvexAPI::getHardwareState");
    if (!result)
        return;
    bson_init(result);
    appendHardwareState(result, *hardwareState);
}

bool KorvexAPI::recalibrateSensor(int remote, int sensorType) {
    dispatch->log(
        logLine("KorvexAPI::calibrateSensor - remote %1% - sensor type %2%", remote, sensorType));
    Sensor* sensor = HardwareState::isValidRemote(remote)
                         ? acquisitionStack->getSensor(remote, sensorType)
                         : nullptr;
    if (!sensor)
        return dispatch->error(22, sensorDetail(remote, sensorType));
    sensor->recalibrate();
    dispatch->sensorRecalibrated(remote, sensorType);
    return true;
}

void KorvexAPI::resetSensorOffset(int remote, int sensorType, double startTime, double endTime) {
    dispatch->log(
        logLine("KorvexAPI::resetSensorOffset - remote %1% - sensor type %2%", remote, sensorType));
    Sensor* sensor = HardwareState::isValidRemote(remote)
                         ? acquisitionStack->getSensor(remote, sensorType)
                         : nullptr;
    if (!sensor) {
        dispatch->error(22, sensorDetail(remote, sensorType));
        return;
    }
    // Force: tare over the window; wheel: position back to 0; others: nothing.
    if (sensorType == SensorForce || sensorType == SensorWheel)
        sensor->resetOffset(startTime, endTime);
}

void KorvexAPI::freeBufferArray(bufferArray* data) {
    if (!data)
        return;
    delete[] data->data;
    data->data = nullptr;
    data->size = 0;
}

void KorvexAPI::broadcast(const char* name, const char* args) {
    if (!name) {
        dispatch->log("KorvexAPI::broadcast - No event name");
        return;
    }
    dispatch->sendEvent(name, args ? args : "");
}
