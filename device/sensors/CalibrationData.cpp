#include "device/sensors/CalibrationData.h"

#include "device/base/LogLine.h"
#include "device/base/IKorvexListener.h"
#include "device/sensors/SensorClasses.h"
#include "device/base/FileSystem.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

namespace {

// A number of any BSON numeric type, as a double.
bool readNumber(const bson_iter_t* iter, double& value) {
    switch (bson_iter_type(iter)) {
    case BSON_TYPE_DOUBLE: value = bson_iter_double(iter); return true;
    case BSON_TYPE_INT32: value = bson_iter_int32(iter); return true;
    case BSON_TYPE_INT64: value = static_cast<double>(bson_iter_int64(iter)); return true;
    default: return false;
    }
}

// An identifier field: an integer (or an integral double) within int32.
bool readInteger(const bson_t* document, const char* key, int32_t& value) {
    bson_iter_t iter;
    if (!bson_iter_init_find(&iter, document, key))
        return false;
    double number = 0;
    if (!readNumber(&iter, number) || !std::isfinite(number) || number != std::trunc(number) ||
        number < std::numeric_limits<int32_t>::min() ||
        number > std::numeric_limits<int32_t>::max())
        return false;
    value = static_cast<int32_t>(number);
    return true;
}

// "calOffset"/"calScale": one number, or an array of numbers. Fills up to 3 values and
// gives how many the key held (4 means "more than three").
bool readValues(const bson_t* document, const char* key, std::array<double, 3>& values, int& count,
                bool& isArray, std::string& errorText) {
    bson_iter_t iter;
    count = 0;
    isArray = false;
    if (!bson_iter_init_find(&iter, document, key)) {
        errorText = std::string("CalibrationData - missing key ") + key;
        return false;
    }
    double number = 0;
    if (readNumber(&iter, number)) {
        values[0] = number;
        count = 1;
    } else if (BSON_ITER_HOLDS_ARRAY(&iter)) {
        isArray = true;
        bson_iter_t element;
        if (!bson_iter_recurse(&iter, &element)) {
            errorText = std::string("CalibrationData - unreadable ") + key;
            return false;
        }
        while (bson_iter_next(&element)) {
            if (!readNumber(&element, number)) {
                errorText =
                    std::string("CalibrationData - ") + key + " holds a value that is not a number";
                return false;
            }
            if (count < 3)
                values[count] = number;
            if (++count > 3)
                break;
        }
    } else {
        errorText = std::string("CalibrationData - ") + key + " is not a number or an array";
        return false;
    }
    for (int i = 0; i < std::min(count, 3); ++i)
        if (!std::isfinite(static_cast<float>(values[i]))) {
            errorText =
                std::string("CalibrationData - ") + key + " holds a value that is not finite";
            return false;
        }
    return true;
}

} // namespace

CalibrationData::CalibrationData(IKorvexListener* dispatch, FileSystem* fileSystem)
    : dispatch(dispatch), fileSystem(fileSystem) {}

void CalibrationData::log(const std::string& line) const {
    if (dispatch)
        dispatch->log(line);
}

std::string CalibrationData::sensorName(int32_t sensorType) {
    switch (sensorType) {
    case SensorAccelerometer: return "Accel";
    case SensorMagnetometer: return "Magn";
    case SensorGyroscope: return "Gyro";
    case SensorForce: return "Force";
    default: return "sensor" + std::to_string(sensorType);
    }
}

bool CalibrationData::isCalibratedType(int32_t sensorType) {
    return sensorType == SensorAccelerometer || sensorType == SensorMagnetometer ||
           sensorType == SensorGyroscope || sensorType == SensorForce;
}

std::string CalibrationData::recordFileName(int32_t remoteHardwareId, int32_t sensorType) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%06x", static_cast<uint32_t>(remoteHardwareId));
    return std::string("cal_0x") + hex + "_" + sensorName(sensorType) + ".bson";
}

std::string CalibrationData::calibrationFilename(int32_t remoteHardwareId,
                                                 int32_t sensorType) const {
    std::string folder = fileSystem ? fileSystem->getDirectory(FileSystem::Calibration) : "";
    std::string path = folder + recordFileName(remoteHardwareId, sensorType);
    log(logLine("CalibrationData::calibrationFilename - filename: %1%", path));
    return path;
}

bool CalibrationData::readIdentity(const bson_t* document, int32_t& remoteID, int32_t& sensor,
                                   std::string& errorText) {
    if (!document) {
        errorText = "CalibrationData - no document";
        return false;
    }
    if (!readInteger(document, "remoteID", remoteID)) {
        errorText = "CalibrationData - missing or invalid key remoteID";
        return false;
    }
    if (!readInteger(document, "sensor", sensor)) {
        errorText = "CalibrationData - missing or invalid key sensor";
        return false;
    }
    return true;
}

bool CalibrationData::validateRecord(const bson_t* document, CalibrationRecord* record,
                                     std::string& errorText) {
    CalibrationRecord r;
    if (!readIdentity(document, r.remoteID, r.sensor, errorText))
        return false;
    int offsets = 0, scales = 0;
    bool offsetArray = false, scaleArray = false;
    if (!readValues(document, "calOffset", r.offset, offsets, offsetArray, errorText) ||
        !readValues(document, "calScale", r.scale, scales, scaleArray, errorText))
        return false;
    if (r.sensor == SensorForce) {
        if (offsetArray || scaleArray) {
            errorText =
                "CalibrationData - calOffset and calScale of the force sensor are single numbers";
            return false;
        }
        r.count = 1;
    } else if (r.sensor == SensorAccelerometer || r.sensor == SensorMagnetometer ||
               r.sensor == SensorGyroscope) {
        if (!offsetArray || !scaleArray || offsets != 3 || scales != 3) {
            errorText = "CalibrationData - calOffset and calScale need three numbers each";
            return false;
        }
        r.count = 3;
    } else {
        // Other sensor types take no calibration; their records are kept as sent.
        if (offsets != scales || offsets < 1 || offsets > 3) {
            errorText = "CalibrationData - calOffset and calScale do not match";
            return false;
        }
        r.count = offsets;
    }
    for (int i = 0; i < r.count; ++i)
        if (static_cast<float>(r.scale[i]) == 0.0f) {
            errorText = "CalibrationData - a scale of zero is not allowed";
            return false;
        }
    if (record)
        *record = r;
    return true;
}

void CalibrationData::setCalibration(int32_t remoteHardwareId, Sensor* sensor) {
    if (!sensor || !fileSystem)
        return;
    const std::string path = calibrationFilename(remoteHardwareId, sensor->sensorType);
    // Most remotes carry no record: a missing file is the normal case and only logged,
    // not reported as a failed read.
    std::error_code ec;
    bson_t document;
    std::string errorText;
    if (!std::filesystem::is_regular_file(std::filesystem::u8path(path), ec) ||
        !fileSystem->readBson(&document, path, errorText)) {
        log(logLine("CalibrationData::setCalibration - no calibration found for sensor %1% - "
                    "remoteID %2%",
                    sensor->sensorType, remoteHardwareId));
        return;
    }
    CalibrationRecord record;
    const bool valid = validateRecord(&document, &record, errorText);
    bson_destroy(&document);
    if (!valid) {
        log(logLine("CalibrationData::setCalibration - invalid record %1% - %2%", path, errorText));
        return;
    }
    if (record.sensor != sensor->sensorType) {
        log(logLine("CalibrationData::setCalibration - record %1% is for sensor %2%", path,
                    record.sensor));
        return;
    }

    if (auto* triaxial = dynamic_cast<TriaxialSensor*>(sensor);
        triaxial && record.count == 3 && isCalibratedType(sensor->sensorType)) {
        const std::array<float, 3> offset = {float(record.offset[0]), float(record.offset[1]),
                                             float(record.offset[2])};
        const std::array<float, 3> scale = {float(record.scale[0]), float(record.scale[1]),
                                            float(record.scale[2])};
        if (!triaxial->setCalibration(offset, scale))
            return;
        log(logLine("CalibrationData::setCalibration - sensor %1% - remoteID %2% - OffSet "
                    "%3%/%4%/%5% - Scale %6%/%7%/%8%",
                    sensor->sensorType, remoteHardwareId, offset[0], offset[1], offset[2], scale[0],
                    scale[1], scale[2]));
    } else if (auto* force = dynamic_cast<Force*>(sensor); force && record.count == 1) {
        const float tare = float(record.offset[0]), scale = float(record.scale[0]);
        if (!force->setCalibration(tare, scale))
            return;
        log(logLine("CalibrationData::setCalibration - sensor %1% - remoteID %2% - OffSet %3% "
                    "- Scale %4%",
                    sensor->sensorType, remoteHardwareId, tare, scale));
    }
}

bool CalibrationData::save(const bson_t* record, std::string& errorText) const {
    int32_t remoteID = 0, sensor = 0;
    if (!validateRecord(record, nullptr, errorText))
        return false;
    readIdentity(record, remoteID, sensor, errorText);
    if (!fileSystem) {
        errorText = "CalibrationData - no work-file folder";
        return false;
    }
    return fileSystem->saveBson(record, calibrationFilename(remoteID, sensor), errorText);
}

bool CalibrationData::remove(int32_t remoteHardwareId, int32_t sensorType,
                             std::string& errorText) const {
    if (!fileSystem) {
        errorText = "CalibrationData - no work-file folder";
        return false;
    }
    return fileSystem->deleteFile(calibrationFilename(remoteHardwareId, sensorType), errorText);
}

void CalibrationData::list(bson_t* document) const {
    if (fileSystem) {
        fileSystem->calibrationList(document);
        return;
    }
    bson_init(document);
    bson_t empty;
    bson_append_array_begin(document, "calibrationList", -1, &empty);
    bson_append_array_end(document, &empty);
}
