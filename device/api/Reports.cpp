#include "device/api/Reports.h"

#include "device/sensors/RemoteConfiguration.h"
#include "device/sensors/SampleCollection.h"
#include "device/sensors/Sensor.h"
#include "device/sensors/SensorClasses.h"
#include "device/storage/AcquisitionStack.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// BSON array element keys: "0", "1", ... without leading zeros.
class IndexKey {
public:
    const char* operator()(uint32_t i) {
        bson_uint32_to_string(i, &key, buffer, sizeof buffer);
        return key;
    }

private:
    char buffer[16];
    const char* key = nullptr;
};

// The rate a result reports: the resampling target, or the sensor's own rate (truncated)
// when nothing was resampled. A target of 0 also means "not resampled".
int32_t reportedRate(const SampleCollection& samples, const Sensor& sensor) {
    if (samples.rate == -1 || samples.rate == 0)
        return static_cast<int32_t>(std::trunc(sensor.sampleRate.load()));
    return samples.rate;
}

void appendSensorElement(bson_t* array, const char* key, const RemoteConfiguration& config,
                         Sensor& sensor) {
    // The frame counters are written by the parser under the sensor's exclusive lock;
    // reading them under it gives a matching pair.
    int32_t frames = 0, packets = 0;
    {
        auto editor = sensor.samples.edit();
        frames = sensor.frameTotal;
        packets = sensor.packetCount;
    }
    bson_t element;
    bson_append_document_begin(array, key, -1, &element);
    bson_append_int32(&element, "remote", -1, config.remote);
    bson_append_int32(&element, "config", -1, config.fixedConfig);
    bson_append_int32(&element, "sensorType", -1, sensor.sensorType);
    bson_append_int32(&element, "sampleSize", -1, sensor.axisCount);
    bson_append_int32(&element, "frames", -1, frames);
    bson_append_int32(&element, "packets", -1, packets);
    bson_append_document_end(array, &element);
}

} // namespace

namespace Reports {

void appendAcquisition(bson_t* document, const Acquisition& acquisition) {
    bson_append_utf8(document, "ID", -1, acquisition.acquisitionID.c_str(), -1);
    if (acquisition.fromDB)
        bson_append_bool(document, "fromDB", -1, true);
    const std::string started = boost::posix_time::to_iso_string(acquisition.lastStartDate());
    bson_append_utf8(document, "lastStartDate", -1, started.c_str(), -1);
    for (const auto& [remote, config] : acquisition.remoteConfigurations) {
        if (!config)
            continue;
        const std::string remoteKey = "remote" + std::to_string(remote);
        bson_t remoteDocument;
        bson_append_document_begin(document, remoteKey.c_str(), -1, &remoteDocument);
        bson_append_int32(&remoteDocument, "config", -1, config->fixedConfig);
        bson_t sensors;
        bson_append_array_begin(&remoteDocument, "sensors", -1, &sensors);
        IndexKey key;
        uint32_t index = 0;
        for (const auto& [type, sensor] : config->sensors)
            if (sensor)
                appendSensorElement(&sensors, key(index++), *config, *sensor);
        bson_append_array_end(&remoteDocument, &sensors);
        bson_append_document_end(document, &remoteDocument);
    }
}

void appendBoundingBox(bson_t* document, const BoundingBoxData* box) {
    bson_t boxDocument, max, min;
    const int count = box ? box->count : 0;
    IndexKey key;
    bson_append_document_begin(document, "boundingBox", -1, &boxDocument);
    bson_append_array_begin(&boxDocument, "max", -1, &max);
    for (int i = 0; i < count; ++i)
        bson_append_double(&max, key(i), -1, box->max[i]);
    bson_append_array_end(&boxDocument, &max);
    bson_append_array_begin(&boxDocument, "min", -1, &min);
    for (int i = 0; i < count; ++i)
        bson_append_double(&min, key(i), -1, box->min[i]);
    bson_append_array_end(&boxDocument, &min);
    bson_append_document_end(document, &boxDocument);
}

bool isValidAxis(const Sensor& sensor, int axis) {
    if (axis == -1)
        return true;
    if (axis < 0)
        return false;
    if (sensor.sensorType == SensorEcg6)
        return axis < Ecg6::leadCount;
    const SensorTypeInfo* info = sensorTypeInfo(sensor.sensorType);
    const int values = info ? info->valueCount : sensor.axisCount;
    return axis < values;
}

void formatSensorData(bson_t* document, bufferArray* data, SampleCollection& samples,
                      const Sensor& sensor, bool raw, int axis) {
    const bool usable = isValidAxis(sensor, axis);
    const int G = (axis == -1) ? sensor.axisCount : 1;
    const size_t E = usable ? samples.size() : 0;
    BoundingBoxData& box = samples.ensureBox(G);
    const bool lead = sensor.sensorType == SensorEcg6 && axis >= 0;

    if (data) {
        const size_t columns = raw ? 2 * static_cast<size_t>(G) + 1 : static_cast<size_t>(G) + 1;
        const size_t total = columns * E;
        if (total > UINT32_MAX)
            throw std::length_error("result larger than a buffer can describe");
        float* out = new float[total];
        data->data = out;
        data->size = static_cast<uint32_t>(total);
        size_t i = 0;
        if (E > 0) {
            samples.forEach([&](const Sample& s) {
                if (i >= E)
                    return;
                out[i] = static_cast<float>(s.time);
                float leads[Ecg6::leadCount];
                if (lead)
                    Ecg6::leads(s.values.data(), leads);
                for (int j = 1; j <= G; ++j) {
                    float value;
                    float rawValue;
                    if (axis == -1) {
                        value = s.values[j - 1];
                        rawValue = static_cast<float>(s.raw[j - 1]);
                    } else if (lead) {
                        value = leads[axis];
                        rawValue = 0.0f;
                    } else {
                        value = s.values[axis];
                        rawValue = static_cast<float>(s.raw[axis]);
                    }
                    out[j * E + i] = value;
                    if (raw)
                        out[(G + j) * E + i] = rawValue;
                    box.update(j - 1, value);
                }
                ++i;
            });
        }
    }

    bson_append_int32(document, "remote", -1, sensor.remote);
    bson_append_int32(document, "sensorType", -1, sensor.sensorType);
    bson_append_int32(document, "sampleSize", -1, G);
    bson_append_int32(document, "sampleRate", -1, reportedRate(samples, sensor));
    bson_append_int32(document, "datalength", -1, static_cast<int32_t>(E));
    bson_append_bool(document, "rawdata", -1, raw);
    appendBoundingBox(document, &box);
}

void formatSensorPair(bson_t* document, bufferArray* data, const SampleCollection& first,
                      const SampleCollection& second, const Sensor& firstSensor,
                      const Sensor& secondSensor) {
    const int A = firstSensor.axisCount, B = secondSensor.axisCount;
    std::vector<Sample> a, b;
    if (!first.empty() && !second.empty()) {
        a.reserve(first.size());
        b.reserve(second.size());
        first.forEach([&](const Sample& s) { a.push_back(s); });
        second.forEach([&](const Sample& s) { b.push_back(s); });
    }
    // Merge-join on equal times: both sides are frame averages stamped at whole frames,
    // so samples of the same 10 ms frame carry exactly the same time.
    std::vector<std::pair<size_t, size_t>> matches;
    for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        if (a[i].time == b[j].time)
            matches.emplace_back(i++, j++);
        else if (a[i].time < b[j].time)
            ++i;
        else
            ++j;
    }
    const size_t C = matches.size();
    if (data && !a.empty() && !b.empty()) {
        const size_t total = C * static_cast<size_t>(A + B + 1);
        if (total > UINT32_MAX)
            throw std::length_error("result larger than a buffer can describe");
        float* out = new float[total];
        data->data = out;
        data->size = static_cast<uint32_t>(total);
        for (size_t i = 0; i < C; ++i) {
            const Sample& s = a[matches[i].first];
            const Sample& t = b[matches[i].second];
            out[i] = static_cast<float>(s.time);
            for (int j = 0; j < A; ++j)
                out[(1 + j) * C + i] = j < s.valueCount ? s.values[j] : 0.0f;
            for (int j = 0; j < B; ++j)
                out[(A + 1 + j) * C + i] = j < t.valueCount ? t.values[j] : 0.0f;
        }
    }

    bson_t types, sizes;
    bson_append_int32(document, "remote", -1, firstSensor.remote);
    bson_append_int32(document, "sampleRate", -1, 100);
    bson_append_array_begin(document, "sensorType", -1, &types);
    bson_append_double(&types, "0", -1, firstSensor.sensorType);
    bson_append_double(&types, "1", -1, secondSensor.sensorType);
    bson_append_array_end(document, &types);
    bson_append_array_begin(document, "sampleSize", -1, &sizes);
    bson_append_double(&sizes, "0", -1, A);
    bson_append_double(&sizes, "1", -1, B);
    bson_append_array_end(document, &sizes);
    bson_append_int32(document, "datalength", -1, static_cast<int32_t>(C));
}

} // namespace Reports
