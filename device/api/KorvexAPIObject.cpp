#include "device/api/KorvexAPIObject.h"

#include "device/api/EventDispatch.h"
#include "device/hardware/HardwareState.h"
#include "device/link/protocol/Protocol.h"

#include <boost/format.hpp>

namespace {

// "%1%", "%2%", ... replaced by the decimal values in order.
template <typename... Values>
std::string formatLine(const char* text, Values... values) {
    boost::format line(text);
    (line % ... % values);
    return line.str();
}

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
        // The work-file folders, the calibration store, the acquisition stack (with its
        // first, empty current acquisition) and the hardware controller come next, in that
        // order, with the controller integration. Until then commands are queued on an
        // encoder of our own.
        ownProtocol = std::make_unique<Protocol>();
    } catch (...) {
        releaseParts();
        throw;
    }
}

KorvexAPI::~KorvexAPI() { releaseParts(); }

void KorvexAPI::releaseParts() {
    // The controller goes first so that no worker is left reporting into, or reading,
    // the parts released after it. The model is released here and only here.
    ownProtocol.reset();
    delete hardwareState;
    hardwareState = nullptr;
    delete dispatch;
    dispatch = nullptr;
}

Protocol* KorvexAPI::protocol() { return ownProtocol.get(); }

PacketQueue* KorvexAPI::commandQueue() {
    Protocol* encoder = protocol();
    return encoder ? encoder->getCommandQueue() : nullptr;
}

bool KorvexAPI::unavailable(const char* operation, const char* what) {
    dispatch->log(std::string("KorvexAPI::") + operation + " - " + what + " is not available");
    return false;
}

void KorvexAPI::emptyDocument(bson_t* result) {
    if (result)
        bson_init(result);
}

void KorvexAPI::startAPI() {
    if (!hardware)
        unavailable("startAPI", "the hardware controller");
}

bool KorvexAPI::isDongleConnected() { return hardwareState->donglePlugged; }

bool KorvexAPI::isRemoteConnected(int remote) {
    RemoteStatus* status = hardwareState->remoteStatus(remote);
    return status && status->rfStatus == 1;
}

bool KorvexAPI::newAcquisition() {
    dispatch->log("KorvexAPI::newAcquisition");
    if (hardwareState->dongleMode == DongleModeData)
        return dispatch->error(14, "");
    if (!acquisitionStack)
        return unavailable("newAcquisition", "the acquisition stack");
    return false;
}

bool KorvexAPI::setFixedConfig(int remote, int config) {
    dispatch->log(formatLine("KorvexAPI::setFixedConfig - remote: %1% - config: %2%", remote, config));
    if (hardwareState->dongleMode != DongleModeConnected)
        return dispatch->error(15, "");
    if (!isRemoteConnected(remote))
        return dispatch->error(16, "");
    if (!acquisitionStack || !hardware)
        return unavailable("setFixedConfig", "the acquisition stack");
    return false;
}

bool KorvexAPI::stackAcquisition() {
    dispatch->log("KorvexAPI::stackAcquisition");
    if (hardwareState->dongleMode == DongleModeData)
        return dispatch->error(17, "");
    if (!acquisitionStack)
        return unavailable("stackAcquisition", "the acquisition stack");
    return false;
}

bool KorvexAPI::deleteAcquisition() {
    dispatch->log("KorvexAPI::deleteAcquisition");
    if (hardwareState->dongleMode == DongleModeData)
        return dispatch->error(18, "");
    if (!acquisitionStack)
        return unavailable("deleteAcquisition", "the acquisition stack");
    return false;
}

void KorvexAPI::startDataAcquisition() {
    dispatch->log("KorvexAPI::startDataAcquisition");
    if (!hardware)
        unavailable("startDataAcquisition", "the hardware controller");
}

void KorvexAPI::stopDataAcquisition() {
    dispatch->log("KorvexAPI::stopDataAcquisition");
    if (!hardware)
        unavailable("stopDataAcquisition", "the hardware controller");
}

void KorvexAPI::remotePowerDown(int remote) {
    dispatch->log(formatLine("KorvexAPI::remotePowerDown - remote: %1%", remote));
    if (!HardwareState::isValidRemote(remote)) {
        dispatch->error(7, "");
        return;
    }
    if (!hardware)
        unavailable("remotePowerDown", "the hardware controller");
}

void KorvexAPI::pairRemote(int remote, int pairingAction, int remoteID) {
    RemoteStatus* status = hardwareState->remoteStatus(remote);
    if (!status) {
        dispatch->log(formatLine("KorvexAPI::pairRemote - Remote %1% does not exist", remote));
        return;
    }
    // Any action other than pairing a given remote acts on the remote already recorded
    // for the slot.
    if (pairingAction != PAIRING_ACTION_PAIR)
        remoteID = status->remoteID;
    if (!protocol()->startPairing(remote, pairingAction, static_cast<uint32_t>(remoteID)))
        dispatch->log(formatLine("KorvexAPI::pairRemote - Pairing action %1% cannot be sent",
                                 pairingAction));
}

void KorvexAPI::setOutputConfig(int remote, int sensorID, int key, int value) {
    dispatch->log(formatLine(
        "KorvexAPI::setOutputConfig - remote: %1% - sensorID %2% - Key %3% - Value %4%", remote,
        sensorID, key, value));
    if (!HardwareState::isValidRemote(remote)) {
        dispatch->error(9, "");
        return;
    }
    if (!hardware)
        unavailable("setOutputConfig", "the hardware controller");
}

void KorvexAPI::sendCommand(int command) {
    // The page may ask for any number; only the codes that travel without a payload make a
    // frame of their own. Anything else is refused here rather than reaching the encoder.
    if (!Protocol::acceptsCommand(command)) {
        dispatch->log(formatLine("KorvexAPI::sendCommand - Command %1% cannot be sent on its own",
                                 command));
        return;
    }
    protocol()->encodeCommand(command);
}

void KorvexAPI::acquisitionManagement(bson_t* result, int command, const char* acquisitionID) {
    emptyDocument(result);
    unavailable("acquisitionManagement", "the acquisition stack");
}

void KorvexAPI::calibrationManagement(bson_t* result, int command) {
    // The caller's document carries the request; it is left as it is.
    unavailable("calibrationManagement", "the calibration store");
}

void KorvexAPI::getHardwareState(bson_t* result) {
    dispatch->log("KorvexAPI::getHardwareState");
    if (!result)
        return;
    bson_init(result);
    appendHardwareState(result, *hardwareState);
}

void KorvexAPI::getAcquisitionStack(bson_t* result) {
    dispatch->log("KorvexAPI::getAcquisitionStack");
    emptyDocument(result);
    unavailable("getAcquisitionStack", "the acquisition stack");
}

bool KorvexAPI::recalibrateSensor(int remote, int sensorType) {
    dispatch->log(formatLine("KorvexAPI::calibrateSensor - remote %1% - sensor type %2%", remote,
                             sensorType));
    if (!HardwareState::isValidRemote(remote))
        return dispatch->error(22, sensorDetail(remote, sensorType));
    if (!acquisitionStack)
        return unavailable("recalibrateSensor", "the acquisition stack");
    return false;
}

void KorvexAPI::resetSensorOffset(int remote, int sensorType, double startTime, double endTime) {
    dispatch->log(formatLine("KorvexAPI::resetSensorOffset - remote %1% - sensor type %2%", remote,
                             sensorType));
    if (!HardwareState::isValidRemote(remote)) {
        dispatch->error(22, sensorDetail(remote, sensorType));
        return;
    }
    if (!acquisitionStack)
        unavailable("resetSensorOffset", "the acquisition stack");
}

void KorvexAPI::getLastSample(bson_t* result, bufferArray* data, int remote, int sensorType) {
    emptyDocument(result);
    if (data)
        *data = bufferArray{};
    if (!HardwareState::isValidRemote(remote)) {
        dispatch->error(22, sensorDetail(remote, sensorType));
        return;
    }
    unavailable("getLastSample", "the acquisition stack");
}

void KorvexAPI::getSensorData(bson_t* result, bufferArray* data, int remote, int sensorType,
                              double start, double end, bool raw, int axis, int rate) {
    emptyDocument(result);
    if (data)
        *data = bufferArray{};
    if (!HardwareState::isValidRemote(remote)) {
        dispatch->error(22, sensorDetail(remote, sensorType));
        return;
    }
    unavailable("getSensorData", "the acquisition stack");
}

void KorvexAPI::getSensorData2(bson_t* result, bufferArray* data, int remote, int sensorType1,
                               int sensorType2, double start, double end) {
    emptyDocument(result);
    if (data)
        *data = bufferArray{};
    if (!HardwareState::isValidRemote(remote)) {
        dispatch->error(22, sensorDetail(remote, sensorType1));
        return;
    }
    unavailable("getSensorData2", "the acquisition stack");
}

void KorvexAPI::exportData(bson_t* result, int remote, int sensorType, const char* fileName) {
    // The caller initialises and finishes the document; nothing is appended on refusal.
    unavailable("exportData", "the acquisition stack");
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
