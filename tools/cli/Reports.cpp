#include "Reports.h"

#include <algorithm>
#include <cmath>

namespace {

bool find(const bson_t* doc, const char* path, bson_iter_t& found) {
    bson_iter_t iter;
    return doc && bson_iter_init(&iter, doc) && bson_iter_find_descendant(&iter, path, &found);
}

int intOr(const bson_t* doc, const char* path, int fallback = 0) {
    auto v = bsonNumber(doc, path);
    return v ? static_cast<int>(*v) : fallback;
}

} // namespace

std::optional<double> bsonNumber(const bson_t* doc, const char* path) {
    bson_iter_t found;
    if (!find(doc, path, found))
        return std::nullopt;
    switch (bson_iter_type(&found)) {
    case BSON_TYPE_INT32: return bson_iter_int32(&found);
    case BSON_TYPE_INT64: return static_cast<double>(bson_iter_int64(&found));
    case BSON_TYPE_DOUBLE: return bson_iter_double(&found);
    case BSON_TYPE_BOOL: return bson_iter_bool(&found) ? 1.0 : 0.0;
    default: return std::nullopt;
    }
}

std::optional<std::string> bsonString(const bson_t* doc, const char* path) {
    bson_iter_t found;
    if (!find(doc, path, found) || !BSON_ITER_HOLDS_UTF8(&found))
        return std::nullopt;
    uint32_t length = 0;
    const char* text = bson_iter_utf8(&found, &length);
    return std::string(text, length);
}

std::optional<bool> bsonBool(const bson_t* doc, const char* path) {
    bson_iter_t found;
    if (!find(doc, path, found))
        return std::nullopt;
    if (BSON_ITER_HOLDS_BOOL(&found))
        return bson_iter_bool(&found);
    if (BSON_ITER_HOLDS_INT32(&found))
        return bson_iter_int32(&found) != 0;
    return std::nullopt;
}

std::string bsonToJson(const bson_t* doc) {
    if (!doc)
        return "{}";
    size_t length = 0;
    char* json = bson_as_relaxed_extended_json(doc, &length);
    if (!json)
        return "{}";
    std::string text(json, length);
    bson_free(json);
    return text;
}

HardwareReport readHardwareReport(const bson_t* doc) {
    HardwareReport r;
    r.dongleID = intOr(doc, "dongleID");
    r.fwVersion = intOr(doc, "fwVersion");
    r.dongleMode = intOr(doc, "dongleMode");
    r.donglePlugged = intOr(doc, "donglePlugged") != 0;
    for (int slot = 1; slot <= 2; ++slot) {
        std::string prefix = "remote" + std::to_string(slot) + ".";
        RemoteSlot& s = r.remotes[slot - 1];
        s.remoteID = intOr(doc, (prefix + "remoteID").c_str());
        s.rfStatus = intOr(doc, (prefix + "rfStatus").c_str());
        s.pairStatus = intOr(doc, (prefix + "pairStatus").c_str());
        s.fixedConfig = intOr(doc, (prefix + "fixedConfig").c_str());
        s.configured = bsonBool(doc, (prefix + "configured").c_str()).value_or(false);
        s.batteryVoltage = bsonNumber(doc, (prefix + "batteryVoltage").c_str()).value_or(0.0);
    }
    return r;
}

AcquisitionReport readAcquisitionReport(const bson_t* doc) {
    AcquisitionReport r;
    r.id = bsonString(doc, "ID").value_or("");
    r.fromDB = bsonBool(doc, "fromDB").value_or(false);
    r.lastStartDate = bsonString(doc, "lastStartDate").value_or("");
    for (int remote = 1; remote <= 2; ++remote) {
        std::string key = "remote" + std::to_string(remote);
        auto config = bsonNumber(doc, (key + ".config").c_str());
        if (!config)
            continue;
        r.configs[remote] = static_cast<int>(*config);
        bson_iter_t sensors;
        if (!find(doc, (key + ".sensors").c_str(), sensors))
            continue;
        forEachDocument(sensors, [&](const bson_t* sensor) {
            AcquisitionSensor s;
            s.remote = remote;
            s.sensorType = intOr(sensor, "sensorType");
            s.sampleSize = intOr(sensor, "sampleSize");
            if (s.sensorType > 0)
                r.sensors.push_back(s);
        });
    }
    return r;
}

SensorSeries readSensorSeries(const bson_t* doc, const float* data, uint32_t size) {
    SensorSeries s;
    s.remote = intOr(doc, "remote");
    s.sensorType = intOr(doc, "sensorType");
    s.sampleRate = intOr(doc, "sampleRate");
    int width = intOr(doc, "sampleSize");
    int length = intOr(doc, "datalength");
    bool raw = bsonBool(doc, "rawdata").value_or(false);
    if (width <= 0 || length <= 0 || !data)
        return s;
    const uint64_t needed =
        static_cast<uint64_t>(length) * static_cast<uint64_t>(raw ? 2 * width + 1 : width + 1);
    if (needed > size)
        return s;
    const auto n = static_cast<std::size_t>(length);
    s.times.assign(data, data + n);
    for (int j = 1; j <= width; ++j)
        s.columns.emplace_back(data + j * n, data + (j + 1) * n);
    return s;
}

SensorKind sensorKind(int type) {
    switch (type) {
    case 1: return {"Accelerometer", {"x", "y", "z"}, {"g", "g", "g"}};
    case 2: return {"Magnetometer", {"x", "y", "z"}, {"uT", "uT", "uT"}};
    case 3: return {"Gyroscope", {"x", "y", "z"}, {"rad/s", "rad/s", "rad/s"}};
    case 4: return {"Barometer", {"pressure", "temperature"}, {"kPa", "degC"}};
    case 6: return {"Microphone", {"level"}, {"a.u."}};
    case 7: return {"Light", {"level"}, {"a.u."}};
    case 8: return {"Force", {"force"}, {"N"}};
    case 9: return {"Wheel", {"position", "velocity", "acceleration"}, {"m", "m/s", "m/s2"}};
    case 10: return {"Ecg", {"RA", "LA", "LL"}, {"mV", "mV", "mV"}};
    case 11: return {"Battery", {"voltage"}, {"V"}};
    case 12: return {"HighGain", {"level"}, {"V"}};
    case 13: return {"Digital", {"line0"}, {"state"}};
    case 21: return {"Analog7", {"level"}, {"V"}};
    case 22: return {"Analog8", {"level"}, {"V"}};
    case 23: return {"Analog9", {"level"}, {"V"}};
    case 26: return {"Thermometer", {"temperature"}, {"degC"}};
    case 241:
        return {"Ecg6", {"RA", "LA", "LL", "V1", "V2", "V3"}, {"mV", "mV", "mV", "mV", "mV", "mV"}};
    default: return {"sensor" + std::to_string(type), {}, {}};
    }
}

std::string dongleModeName(int mask) {
    switch (mask) {
    case 1: return "idle";
    case 2: return "pairing";
    case 4: return "paired";
    case 8: return "connected";
    case 16: return "data";
    default: return "mode " + std::to_string(mask);
    }
}

SensorSummary summarise(const SensorSeries& series) {
    SensorSummary s;
    s.remote = series.remote;
    s.sensorType = series.sensorType;
    s.samples = series.times.size();
    if (s.samples > 0) {
        s.lastTime = series.times.back();
        // Sample k is stamped k / rate, so the last stamp is the recording's length.
        s.measuredRate = s.lastTime > 0 ? static_cast<double>(s.samples) / s.lastTime : 0.0;
    }
    for (const auto& column : series.columns) {
        AxisStats a;
        bool any = false;
        for (float v : column) {
            if (!std::isfinite(v))
                continue;
            a.min = any ? std::min<double>(a.min, v) : v;
            a.max = any ? std::max<double>(a.max, v) : v;
            any = true;
        }
        s.axes.push_back(a);
    }
    return s;
}
