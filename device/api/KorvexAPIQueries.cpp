// The report, data-query, calibration, export and acquisition-management slots of the API
// object.
#include "device/api/KorvexAPIObject.h"

#include "device/api/EventDispatch.h"
#include "device/hardware/HardwareState.h"

namespace {

std::string sensorDetail(int remote, int sensorType) {
    return std::to_string(remote) + " " + std::to_string(sensorType);
}

} // namespace

void KorvexAPI::acquisitionManagement(bson_t* result, int command, const char* acquisitionID) {
    emptyDocument(result);
    unavailable("acquisitionManagement", "the acquisition stack");
}

void KorvexAPI::calibrationManagement(bson_t* result, int command) {
    // The caller's document carries the request; it is left as it is.
    unavailable("calibrationManagement", "the calibration store");
}

void KorvexAPI::getAcquisitionStack(bson_t* result) {
    dispatch->log("KorvexAPI::getAcquisitionStack");
    emptyDocument(result);
    unavailable("getAcquisitionStack", "the acquisition stack");
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

// No calibration store yet: sensors take their default constants.
CalibrationData* KorvexAPI::createCalibrationStore() { return nullptr; }

void KorvexAPI::releaseCalibrationStore() { calibrationData = nullptr; }
