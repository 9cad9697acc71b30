#include "device/sensors/RemoteConfiguration.h"

#include "device/base/HardwareState.h"

#include <iostream>

namespace {

// The fixed configurations: the sensors each one streams, in creation order, with their
// nominal rates. Configuration 12 is configuration 8 with the analog inputs scaled for a
// 3.3 V reference (4095 / 3.3 counts per volt) instead of 3.0 V.
const FixedConfiguration fixedConfigurations[] = {
    {1, {{SensorGyroscope, 380}}, 0},
    {2, {{SensorAccelerometer, 400}}, 0},
    {3,
     {{SensorAccelerometer, 100},
      {SensorMagnetometer, 80},
      {SensorGyroscope, 95},
      {SensorHighGain, 100}},
     0},
    {4, {{SensorAccelerometer, 200}, {SensorWheel, 100}, {SensorForce, 200}}, 0},
    {5, {{SensorAccelerometer, 100}, {SensorGyroscope, 95}, {SensorForce, 100}}, 0},
    {6,
     {{SensorThermometer, 50}, {SensorBarometer, 100}, {SensorBattery, 50}, {SensorLight, 400}},
     0},
    {7, {{SensorEcg, 400}}, 0},
    {8,
     {{SensorAnalog7, 100},
      {SensorAnalog8, 100},
      {SensorAnalog9, 100},
      {SensorDigital, 100},
      {SensorHighGain, 200}},
     0},
    {9, {{SensorMicrophone, 2400}}, 0},
    {10, {{SensorMagnetometer, 80}, {SensorHighGain, 400}}, 0},
    {12,
     {{SensorAnalog7, 100},
      {SensorAnalog8, 100},
      {SensorAnalog9, 100},
      {SensorDigital, 100},
      {SensorHighGain, 200}},
     1240.909f},
    {32, {{SensorGyroscope, 760}}, 0},
    {33, {{SensorAccelerometer, 800}}, 0},
    {34, {{SensorAccelerometer, 400}, {SensorMagnetometer, 80}, {SensorGyroscope, 190}}, 0},
    {35,
     {{SensorAccelerometer, 200}, {SensorGyroscope, 190}, {SensorWheel, 100}, {SensorForce, 200}},
     0},
    {36,
     {{SensorEcg, 200},
      {SensorAccelerometer, 200},
      {SensorMagnetometer, 80},
      {SensorGyroscope, 190}},
     0},
    {37, {{SensorAccelerometer, 200}, {SensorGyroscope, 190}, {SensorForce, 200}}, 0},
    {38,
     {{SensorMagnetometer, 80},
      {SensorAccelerometer, 100},
      {SensorWheel, 100},
      {SensorForce, 100},
      {SensorGyroscope, 95},
      {SensorLight, 100},
      {SensorBattery, 100},
      {SensorHighGain, 100},
      {SensorAnalog7, 100},
      {SensorDigital, 100},
      {SensorBarometer, 100}},
     0},
    {39, {{SensorMicrophone, 4800}}, 0},
    {40, {{SensorLight, 4800}}, 0},
    {41, {{SensorLight, 800}, {SensorAccelerometer, 800}}, 0},
    {42, {{SensorForce, 800}, {SensorAccelerometer, 800}}, 0},
    {43, {{SensorLight, 2400}, {SensorMicrophone, 2400}}, 0},
    {44, {{SensorEcg, 800}}, 0},
    {45, {{SensorHighGain, 4800}}, 0},
    {46, {{SensorForce, 4800}}, 0},
    {47, {{SensorEcg6, 400}}, 0},
};

bool isAnalogInput(int32_t type) {
    return type == SensorAnalog7 || type == SensorAnalog8 || type == SensorAnalog9;
}

} // namespace

const FixedConfiguration* fixedConfiguration(int32_t number) {
    for (const FixedConfiguration& row : fixedConfigurations)
        if (row.number == number)
            return &row;
    return nullptr;
}

RemoteConfiguration::RemoteConfiguration(int32_t remote, int32_t remoteId, int32_t fixedConfig,
                                         HardwareState* hardwareState,
                                         CalibrationData* calibrationStore)
    : remote(remote), fixedConfig(fixedConfig), remoteId(remoteId), hardwareState(hardwareState),
      calibrationStore(calibrationStore) {
    // The remote table never changes after construction, so finding an entry is safe here.
    if (this->remoteId <= 0 && hardwareState) {
        auto it = hardwareState->remotes.find(remote);
        if (it != hardwareState->remotes.end() && it->second)
            this->remoteId = it->second->remoteID;
    }
    const FixedConfiguration* row = fixedConfiguration(fixedConfig);
    if (!row) {
        std::cerr << "ERROR: fixed configuration not managed!!!\n";
        return;
    }
    for (const FixedConfiguration::Entry& entry : row->sensors) {
        std::unique_ptr<Sensor> sensor =
            createSensor(entry.type, remote, entry.rate, calibrationStore);
        if (row->analogScale != 0 && isAnalogInput(entry.type))
            static_cast<ScalarSensor*>(sensor.get())->setScale(row->analogScale);
        sensors[entry.type] = std::move(sensor);
    }
    applyStoredCalibrationAll();
}

RemoteConfiguration::~RemoteConfiguration() = default;

Sensor* RemoteConfiguration::sensor(int32_t type) const {
    auto it = sensors.find(type);
    return it == sensors.end() ? nullptr : it->second.get();
}

void RemoteConfiguration::applyStoredCalibrationAll() {
    if (!calibrationStore)
        return;
    for (auto& [type, sensor] : sensors)
        sensor->applyStoredCalibration(remoteId);
}

void RemoteConfiguration::recalibrateAll() {
    for (auto& [type, sensor] : sensors)
        sensor->recalibrate();
}

void RemoteConfiguration::setSensorDataLength(int32_t type, int32_t length) {
    std::lock_guard<std::mutex> guard(lengthsLock);
    configured = true;
    sensorDataLen[type] = length;
}

int32_t RemoteConfiguration::sensorDataLength(int32_t type) const {
    std::lock_guard<std::mutex> guard(lengthsLock);
    auto it = sensorDataLen.find(type);
    return it == sensorDataLen.end() ? 0 : it->second;
}

std::map<int32_t, int32_t> RemoteConfiguration::sensorDataLengths() const {
    std::lock_guard<std::mutex> guard(lengthsLock);
    return sensorDataLen;
}

void RemoteConfiguration::replaceSensorDataLengths(const std::map<int32_t, int32_t>& lengths,
                                                   bool isConfigured) {
    std::lock_guard<std::mutex> guard(lengthsLock);
    sensorDataLen = lengths;
    configured = isConfigured;
}
