// CalibrationData: the user calibrations of remotes' accelerometer, magnetometer, gyroscope
// and force sensor, one small BSON file per physical remote and sensor type in the
// calibration folder.
//
// A record is the document the page sends, stored unchanged:
//   { "remoteID": int32, "sensor": int32, "calOffset": ..., "calScale": ..., anything else }
// For types 1 to 3 "calOffset" and "calScale" are arrays of three numbers (x, y, z); for
// the force sensor (8) each is one number (the tare and the scale). Numbers may be any BSON
// numeric type. A record is checked before it is saved or applied: a record with a missing
// key, a wrong shape, a value that is not finite or a zero scale is refused, so a bad
// record can neither reach the disk from the page nor turn a sensor's values into
// infinities when a stray file is found there.
//
// Threads: setCalibration runs wherever a RemoteConfiguration is built (the host's thread,
// or the parser's during a reload); the sensors' setters take the sensor's own lock.
#pragma once

#include <bson/bson.h>

#include <array>
#include <cstdint>
#include <string>

class IKorvexListener;
class FileSystem;
class Sensor;

// The numbers of one record, after checking.
struct CalibrationRecord {
    int32_t remoteID = 0;
    int32_t sensor = 0;
    int count = 0; // 3 for types 1-3, 1 for type 8
    std::array<double, 3> offset{};
    std::array<double, 3> scale{};
};

class CalibrationData {
public:
    // Neither is owned; `dispatch` may be null (nothing is logged).
    CalibrationData(IKorvexListener* dispatch, FileSystem* fileSystem);

    CalibrationData(const CalibrationData&) = delete;
    CalibrationData& operator=(const CalibrationData&) = delete;

    // "<calibration folder>cal_0x<id in lowercase hex, at least 6 digits>_<name>.bson".
    // Logs the path.
    std::string calibrationFilename(int32_t remoteHardwareId, int32_t sensorType) const;
    // The file name part alone (no folder, no log line).
    static std::string recordFileName(int32_t remoteHardwareId, int32_t sensorType);
    // "Accel", "Magn", "Gyro", "Force", else "sensor" + the type in decimal.
    static std::string sensorName(int32_t sensorType);
    // Sensor types that take a stored calibration.
    static bool isCalibratedType(int32_t sensorType);

    // Applies the stored record of that remote and the sensor's type, if there is a valid
    // one; otherwise the sensor keeps its constants. Stored samples are not re-converted
    // here (the caller recalibrates when it wants them to follow).
    void setCalibration(int32_t remoteHardwareId, Sensor* sensor);

    // Checks a record. False with a text saying what is wrong; `record` (may be null) gets
    // the numbers on success.
    static bool validateRecord(const bson_t* document, CalibrationRecord* record,
                               std::string& errorText);
    // Reads only "remoteID" and "sensor" (both int32), for a delete request.
    static bool readIdentity(const bson_t* document, int32_t& remoteID, int32_t& sensor,
                             std::string& errorText);

    // Checks and writes the record unchanged to its file. False with the error text of the
    // check or of the file system.
    bool save(const bson_t* record, std::string& errorText) const;
    // Removes the record file of that remote and type.
    bool remove(int32_t remoteHardwareId, int32_t sensorType, std::string& errorText) const;
    // { "calibrationList": [ stored records ] }; `document` must not be initialised.
    void list(bson_t* document) const;

    IKorvexListener* dispatch;
    FileSystem* fileSystem;

private:
    void log(const std::string& line) const;
};
