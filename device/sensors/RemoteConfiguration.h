// RemoteConfiguration: the sensors one remote streams in one acquisition, built from its
// fixed configuration number, and the per-sensor data lengths of its frames.
#pragma once

#include "device/sensors/SensorClasses.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class HardwareState;
class CalibrationData;

// One row of the fixed-configuration table.
struct FixedConfiguration {
    struct Entry {
        int32_t type;
        double rate; // nominal rate, Hz
    };
    int32_t number;
    std::vector<Entry> sensors; // in creation order
    float analogScale;          // scale of Analog7/8/9 when not 0 (else their default)
};
// The row of a configuration number, or null (0, 11, 13 to 31, anything outside 1..47).
const FixedConfiguration* fixedConfiguration(int32_t number);

class RemoteConfiguration {
public:
    // Builds the sensors of `fixedConfig` and applies the stored calibrations. A
    // `remoteId` of zero or less is taken from `hardwareState`'s record of `remote` (kept
    // as given when there is none, so no stored calibration matches). A configuration
    // without a row builds nothing and writes
    // "ERROR: fixed configuration not managed!!!" to the error stream. `hardwareState`
    // and `calibrationStore` are not owned and may be null.
    RemoteConfiguration(int32_t remote, int32_t remoteId, int32_t fixedConfig,
                        HardwareState* hardwareState, CalibrationData* calibrationStore);
    ~RemoteConfiguration();

    RemoteConfiguration(const RemoteConfiguration&) = delete;
    RemoteConfiguration& operator=(const RemoteConfiguration&) = delete;

    int32_t remote;
    int32_t fixedConfig;
    int32_t remoteId;
    std::atomic<bool> configured{true};
    // Sensor type -> sensor, ascending type. Built once; never changes afterwards.
    std::map<int32_t, std::unique_ptr<Sensor>> sensors;
    HardwareState* hardwareState;
    CalibrationData* calibrationStore;

    // The sensor of this type, or null.
    Sensor* sensor(int32_t type) const;

    void applyStoredCalibrationAll();
    void recalibrateAll();

    // Data lengths per sensor type (guarded: the parser reads them while the API thread
    // replaces them at the start of a run).
    void setSensorDataLength(int32_t type, int32_t length); // also sets configured
    int32_t sensorDataLength(int32_t type) const;           // 0 when unknown
    std::map<int32_t, int32_t> sensorDataLengths() const;   // a copy
    // Replaces the whole map and the configured flag (start of a live run).
    void replaceSensorDataLengths(const std::map<int32_t, int32_t>& lengths, bool configured);

private:
    mutable std::mutex lengthsLock;
    std::map<int32_t, int32_t> sensorDataLen;
};
