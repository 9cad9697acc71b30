// The library's report documents read into plain structures, and what a user needs to
// know about each sensor type (name, axes, units) to read its numbers.
#pragma once

#include <bson/bson.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

struct RemoteSlot {
    int remoteID = 0;
    int rfStatus = 0;
    int pairStatus = 0;
    int fixedConfig = 0;
    bool configured = false;
    double batteryVoltage = 0;
};

struct HardwareReport {
    int dongleID = 0;
    int fwVersion = 0;
    int dongleMode = 0;
    bool donglePlugged = false;
    RemoteSlot remotes[2];
    RemoteSlot remote(int r) const { return remotes[r == 2 ? 1 : 0]; }
};

struct AcquisitionSensor {
    int remote = 0;
    int sensorType = 0;
    int sampleSize = 0;
};

struct AcquisitionReport {
    std::string id;
    bool fromDB = false;
    std::string lastStartDate;
    std::map<int, int> configs;             // remote -> fixed configuration
    std::vector<AcquisitionSensor> sensors; // ascending remote, then sensor type
};

// One sensor's data as getSensorData returns it: times and one column per value.
struct SensorSeries {
    int remote = 0;
    int sensorType = 0;
    int sampleRate = 0; // as reported (truncated)
    std::vector<float> times;
    std::vector<std::vector<float>> columns;
};

HardwareReport readHardwareReport(const bson_t* doc);
AcquisitionReport readAcquisitionReport(const bson_t* doc);
// Reads a single-sensor data document and its buffer; a buffer shorter than the document
// announces gives an empty series rather than a read past its end.
SensorSeries readSensorSeries(const bson_t* doc, const float* data, uint32_t size);

// Field readers that accept any numeric type; nullopt when missing or not a number.
std::optional<double> bsonNumber(const bson_t* doc, const char* dottedPath);
std::optional<std::string> bsonString(const bson_t* doc, const char* dottedPath);
std::optional<bool> bsonBool(const bson_t* doc, const char* dottedPath);

// The document as JSON text (relaxed extended JSON).
std::string bsonToJson(const bson_t* doc);

// Calls fn(const bson_t*) with every element of the array `array` that is a readable
// document, in order; other elements are skipped. False when `array` does not hold an array.
template <typename Fn>
bool forEachDocument(const bson_iter_t& array, Fn fn) {
    bson_iter_t element;
    if (!BSON_ITER_HOLDS_ARRAY(&array) || !bson_iter_recurse(&array, &element))
        return false;
    while (bson_iter_next(&element)) {
        if (!BSON_ITER_HOLDS_DOCUMENT(&element))
            continue;
        uint32_t length = 0;
        const uint8_t* data = nullptr;
        bson_iter_document(&element, &length, &data);
        bson_t document;
        if (bson_init_static(&document, data, length))
            fn(static_cast<const bson_t*>(&document));
    }
    return true;
}

struct SensorKind {
    std::string name;
    std::vector<std::string> axes; // one per value of a sample as the library returns it
    std::vector<std::string> units;
};
SensorKind sensorKind(int sensorType);
std::string dongleModeName(int mask);

struct AxisStats {
    double min = 0;
    double max = 0;
};

struct SensorSummary {
    int remote = 0;
    int sensorType = 0;
    std::size_t samples = 0;
    double measuredRate = 0; // samples / time of the last sample
    double lastTime = 0;
    std::vector<AxisStats> axes;
};
SensorSummary summarise(const SensorSeries& series);
