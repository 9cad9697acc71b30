// Fills a sensor's recording with `count` samples, `perFrame` to a frame, of a sawtooth
// in raw counts and its converted values: the recordings the query benchmarks work on.
#pragma once

#include "device/sensors/Sensor.h"

inline void fillSensor(Sensor* sensor, int count, int perFrame) {
    const int valueCount = sensorTypeInfo(sensor->sensorType)->valueCount;
    Sample s(sensor->sensorType, valueCount);
    s.remote = 1;
    for (int i = 0; i < count; ++i) {
        const uint32_t frame = 1 + i / perFrame;
        for (int k = 0; k < valueCount; ++k) {
            s.raw[k] = 2047 + (i % 400) - 200 + k;
            s.values[k] = float(s.raw[k] - 2047) / -120.0f;
        }
        s.frame = static_cast<int16_t>(frame & 0xFF);
        s.index = static_cast<int16_t>(i % perFrame);
        s.frameTotal = frame;
        sensor->samples.append(s);
    }
}
