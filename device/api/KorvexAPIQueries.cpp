// The report, data-query, calibration, export and acquisition-management slots of the API
// object.
#include "device/base/LogLine.h"
#include "device/api/KorvexAPIObject.h"

#include "device/api/EventDispatch.h"
#include "device/api/Reports.h"
#include "device/base/FileSystem.h"
#include "device/base/HardwareState.h"
#include "device/hardware/HardwareAPI.h"
#include "device/sensors/CalibrationData.h"
#include "device/sensors/RemoteConfiguration.h"
#include "device/sensors/SampleCollection.h"
#include "device/sensors/Sensor.h"
#include "device/storage/AcquisitionManagement.h"
#include "device/storage/AcquisitionStack.h"
#include "device/storage/CsvExport.h"

#include <filesystem>

namespace {

std::string sensorDetail(int remote, int sensorType) {
    return std::to_string(remote) + " " + std::to_string(sensorType);
}

// libbson marks a document made over someone else's bytes (bson_init_static) read-only with
// this flag; the constant is not in its public headers.
constexpr uint32_t bsonReadOnlyFlag = 1u << 2;

// Replaces the content of a caller's document (which may be read-only static data over the
// request's bytes) by the content of `with`.
void replaceDocument(bson_t* result, const bson_t* with) {
    if (result->flags & bsonReadOnlyFlag)
        bson_init(result);
    else
        bson_reinit(result);
    bson_concat(result, with);
}

void replaceWithOutcome(bson_t* result, bool success, const std::string& errorText) {
    bson_t outcome;
    bson_init(&outcome);
    bson_append_bool(&outcome, "success", -1, success);
    bson_append_utf8(&outcome, "error", -1, success ? "" : errorText.c_str(), -1);
    replaceDocument(result, &outcome);
    bson_destroy(&outcome);
}

// A stored acquisition can be reloaded when both of its files are there and the raw file
// holds at least one frame's worth of bytes.
bool storedAcquisitionExists(const FileSystem& files, const std::string& acquisitionID) {
    const std::string folder = files.getDirectory(FileSystem::RawData);
    std::error_code ec;
    const auto rawSize =
        std::filesystem::file_size(std::filesystem::u8path(folder + acquisitionID + ".raw"), ec);
    if (ec || rawSize < 2)
        return false;
    return std::filesystem::is_regular_file(
        std::filesystem::u8path(folder + acquisitionID + ".bson"), ec);
}

// A query that cannot finish (a buffer too large for memory) answers like one without data
// instead of letting the exception cross the library boundary.
template <typename Body>
void guardedQuery(IKorvexListener* dispatch, const char* operation, bson_t* result,
                  bufferArray* data, Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        dispatch->log(std::string("KorvexAPI::") + operation + " - ERROR - " + e.what());
        if (data) {
            delete[] data->data;
            *data = bufferArray{};
        }
        if (result)
            bson_reinit(result);
    }
}

} // namespace

// ---- acquisitions --------------------------------------------------------------------------

void KorvexAPI::acquisitionManagement(bson_t* result, int command, const char* acquisitionID) {
    const std::string id = acquisitionID ? acquisitionID : "";
    bson_t scratch;
    if (!result)
        result = &scratch;

    switch (command) {
    case AcquisitionManagement::GetList:
        dispatch->log("KorvexAPI::acquisitionManagement - GetList");
        AcquisitionManagement::list(*fileSystem, result);
        break;

    case AcquisitionManagement::Reload:
        dispatch->log(logLine("KorvexAPI::acquisitionManagement - Reload - %1%", id));
        bson_init(result);
        if (hardwareState->dongleMode == DongleModeData) {
            dispatch->error(19, "");
            break;
        }
        // Checked before anything changes: a name from the page never reaches a file
        // outside the recordings folder, and the current acquisition is not discarded
        // for a reload that cannot happen.
        if (!AcquisitionManagement::isValidIdentifier(id)) {
            dispatch->log("KorvexAPI::acquisitionManagement - Invalid acquisition identifier");
            dispatch->error(27, "");
            break;
        }
        if (!storedAcquisitionExists(*fileSystem, id)) {
            dispatch->log(
                logLine("KorvexAPI::acquisitionManagement - No stored acquisition %1%", id));
            dispatch->error(27, "");
            break;
        }
        if (acquisitionStack->hasRemote(1) || acquisitionStack->hasRemote(2))
            deleteAcquisition();
        hardware->reloadAcquisition(id);
        break;

    case AcquisitionManagement::Delete:
        dispatch->log(logLine("KorvexAPI::acquisitionManagement - Delete - %1%", id));
        AcquisitionManagement::deleteFiles(*fileSystem, dispatch, id);
        AcquisitionManagement::list(*fileSystem, result);
        break;

    default:
        dispatch->log("KorvexAPI::acquisitionManagement - Command not supported");
        bson_init(result);
        break;
    }
    if (result == &scratch)
        bson_destroy(&scratch);
}

void KorvexAPI::getAcquisitionStack(bson_t* result) {
    dispatch->log("KorvexAPI::getAcquisitionStack");
    if (!result)
        return;
    bson_init(result);
    if (Acquisition* current = acquisitionStack->getCurrent()) {
        Reports::appendAcquisition(result, *current);
    } else {
        // Only between a discard and the next set-up; the page still gets a whole report.
        bson_append_utf8(result, "ID", -1, "", -1);
        bson_append_utf8(result, "lastStartDate", -1, "not-a-date-time", -1);
    }
}

// ---- calibrations --------------------------------------------------------------------------

void KorvexAPI::calibrationManagement(bson_t* result, int command) {
    if (command == 0) {
        dispatch->log("KorvexAPI::calibrationManagement - GetList");
        if (!result)
            return;
        bson_t list;
        calibrationData->list(&list);
        replaceDocument(result, &list);
        bson_destroy(&list);
        return;
    }
    if (command != 2 && command != 3) {
        dispatch->log("KorvexAPI::calibrationManagement - Command not supported");
        return;
    }
    if (!result)
        return;

    const bool save = command == 3;
    int32_t remoteID = 0, sensorType = 0;
    std::string errorText;
    if (!CalibrationData::readIdentity(result, remoteID, sensorType, errorText)) {
        dispatch->log(logLine("KorvexAPI::calibrationManagement - %1% - %2%",
                              save ? "Save" : "Delete", errorText));
        replaceWithOutcome(result, false, errorText);
        return;
    }
    dispatch->log(
        logLine(save ? "KorvexAPI::calibrationManagement - Save - remoteID %1% - sensor %2%"
                     : "KorvexAPI::calibrationManagement - Delete - remoteID %1% - sensor %2%",
                remoteID, sensorType));
    const bool done = save ? calibrationData->save(result, errorText)
                           : calibrationData->remove(remoteID, sensorType, errorText);
    if (!done)
        dispatch->log(logLine("KorvexAPI::calibrationManagement - %1%", errorText));

    if (done) {
        // The record takes effect at once for the remote with that identifier in the
        // current acquisition; later acquisitions pick it up when they are built.
        if (Acquisition* current = acquisitionStack->getCurrent()) {
            for (auto& [remote, config] : current->remoteConfigurations) {
                if (!config || config->remoteId != remoteID)
                    continue;
                Sensor* sensor = config->sensor(sensorType);
                if (!sensor)
                    continue;
                sensor->applyStoredCalibration(remoteID);
                sensor->recalibrate();
                dispatch->sensorRecalibrated(remote, sensorType);
            }
        }
    }
    replaceWithOutcome(result, done, errorText);
}

// ---- data queries --------------------------------------------------------------------------

void KorvexAPI::formatDataBson(bson_t* result, bufferArray* data,
                               std::shared_ptr<SampleCollection> samples, Sensor* sensor, bool raw,
                               int axis) {
    if (!result || !samples || !sensor)
        return;
    Reports::formatSensorData(result, data, *samples, *sensor, raw, axis);
}

void KorvexAPI::formatDataBson(bson_t* result, bufferArray* data,
                               std::shared_ptr<SampleCollection> first,
                               std::shared_ptr<SampleCollection> second, Sensor* firstSensor,
                               Sensor* secondSensor) {
    if (!result || !first || !second || !firstSensor || !secondSensor)
        return;
    Reports::formatSensorPair(result, data, *first, *second, *firstSensor, *secondSensor);
}

void KorvexAPI::bson_append_boundingBox(bson_t* document, BoundingBoxData* box) {
    if (document)
        Reports::appendBoundingBox(document, box);
}

void KorvexAPI::getLastSample(bson_t* result, bufferArray* data, int remote, int sensorType) {
    emptyDocument(result);
    if (data)
        *data = bufferArray{};
    Sensor* sensor = HardwareState::isValidRemote(remote)
                         ? acquisitionStack->getSensor(remote, sensorType)
                         : nullptr;
    if (!sensor) {
        dispatch->error(22, sensorDetail(remote, sensorType));
        return;
    }
    guardedQuery(dispatch, "getLastSample", result, data, [&] {
        auto samples = std::make_shared<SampleCollection>(-1);
        if (sensor->samples.empty())
            dispatch->log(
                logLine("KorvexAPI::getLastSensorData - No data for sensor %1%", sensorType));
        else
            sensor->samples.copyLastInto(samples);
        formatDataBson(result, data, samples, sensor, false, -1);
    });
}

void KorvexAPI::getSensorData(bson_t* result, bufferArray* data, int remote, int sensorType,
                              double start, double end, bool raw, int axis, int rate) {
    emptyDocument(result);
    if (data)
        *data = bufferArray{};
    auto samples = std::make_shared<SampleCollection>(rate);
    Sensor* sensor = HardwareState::isValidRemote(remote)
                         ? acquisitionStack->getSensor(remote, sensorType)
                         : nullptr;
    if (!sensor) {
        dispatch->log(logLine("KorvexAPI::getSensorData - The sensor %1% for remote %2% is not "
                              "defined (NULL)",
                              sensorType, remote));
        return;
    }
    guardedQuery(dispatch, "getSensorData", result, data, [&] {
        if (sensor->samples.empty())
            dispatch->log(logLine("KorvexAPI::getSensorData - No data for sensor %1%, remote %2% ",
                                  sensorType, remote));
        else if (Reports::isValidAxis(*sensor, axis))
            sensor->samples.rangeInto(samples, start, end, raw);
        formatDataBson(result, data, samples, sensor, raw, axis);
    });
}

void KorvexAPI::getSensorData2(bson_t* result, bufferArray* data, int remote, int sensorType1,
                               int sensorType2, double start, double end) {
    emptyDocument(result);
    if (data)
        *data = bufferArray{};
    const bool validRemote = HardwareState::isValidRemote(remote);
    Sensor* first = validRemote ? acquisitionStack->getSensor(remote, sensorType1) : nullptr;
    Sensor* second = validRemote ? acquisitionStack->getSensor(remote, sensorType2) : nullptr;
    if (!first)
        dispatch->error(22, sensorDetail(remote, sensorType1));
    if (!second)
        dispatch->error(22, sensorDetail(remote, sensorType2));
    if (!first || !second)
        return;

    guardedQuery(dispatch, "getSensorData2", result, data, [&] {
        auto firstSamples = std::make_shared<SampleCollection>(-1);
        auto secondSamples = std::make_shared<SampleCollection>(-1);
        if (first->samples.empty() || second->samples.empty()) {
            dispatch->log(
                logLine("KorvexAPI::getSensorData - No data for sensor %1%", sensorType1));
            dispatch->log(
                logLine("KorvexAPI::getSensorData - No data for sensor %1%", sensorType2));
        } else if (start == 0 && end == -1) {
            first->samples.averageFramesInto(firstSamples);
            second->samples.averageFramesInto(secondSamples);
        } else {
            first->samples.averageFramesInRangeInto(firstSamples, start, end);
            second->samples.averageFramesInRangeInto(secondSamples, start, end);
        }
        formatDataBson(result, data, firstSamples, secondSamples, first, second);
    });
}

// ---- export --------------------------------------------------------------------------------

void KorvexAPI::exportData(bson_t* result, int remote, int sensorType, const char* fileName) {
    // The caller initialises and finishes the document; only the outcome is appended.
    dispatch->log(
        logLine("KorvexAPI::exportData - remote %1% - sensor type %2%", remote, sensorType));
    bson_t scratch;
    bson_init(&scratch);
    bson_t* out = result ? result : &scratch;
    auto refuse = [&](const std::string& errorText) {
        bson_append_bool(out, "success", -1, false);
        bson_append_utf8(out, "error", -1, errorText.c_str(), -1);
    };

    Sensor* sensor = HardwareState::isValidRemote(remote)
                         ? acquisitionStack->getSensor(remote, sensorType)
                         : nullptr;
    const std::string name = fileName ? fileName : "";
    if (!sensor) {
        dispatch->error(22, sensorDetail(remote, sensorType));
        refuse("The sensor is not configured");
    } else if (sensor->samples.empty()) {
        dispatch->log(
            logLine("KorvexAPI::exportData - ERROR - No data for sensor %1%", sensorType));
        refuse("There is no data to export");
    } else if (!CsvExport::isSafeName(name)) {
        // A name from the page stays inside the export folder.
        dispatch->log(logLine("KorvexAPI::exportData - ERROR - Invalid file name %1%", name));
        refuse("Invalid file name " + name);
    } else {
        const std::string path =
            CsvExport::exportPath(fileSystem->getDirectory(FileSystem::Export), name,
                                  acquisitionStack->currentAcquisitionID(), remote, sensorType);
        CsvExport::Result written;
        try {
            written = CsvExport::write(sensor->samples, sensor->axisCount, path);
        } catch (const std::exception& e) {
            dispatch->log(logLine("KorvexAPI::exportData - ERROR - %1%", e.what()));
            written.opened = true; // reported as a failed write
            written.written = false;
        }
        if (!written.opened) {
            dispatch->log(logLine("KorvexAPI::exportData - ERROR - Cannot open file %1%", path));
            refuse("Cannot open file " + path);
        } else if (!written.written) {
            // A full disk must not be reported as a finished export.
            dispatch->log(logLine("KorvexAPI::exportData - ERROR - Cannot write file %1%", path));
            refuse("Cannot write file " + path);
        } else {
            bson_append_bool(out, "success", -1, true);
            bson_append_utf8(out, "path", -1, path.c_str(), -1);
        }
    }
    bson_destroy(&scratch);
}

// ---- calibration store life cycle ----------------------------------------------------------

CalibrationData* KorvexAPI::createCalibrationStore() {
    return new CalibrationData(dispatch, fileSystem);
}

void KorvexAPI::releaseCalibrationStore() {
    delete calibrationData;
    calibrationData = nullptr;
}
