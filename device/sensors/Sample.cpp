#include "device/sensors/Sample.h"

#include <cmath>
#include <limits>
#include <stdexcept>

int32_t truncToInt32(double v) {
    if (std::isnan(v))
        return 0;
    if (v >= 2147483647.0)
        return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

Sample::Sample(int32_t sensorType, int valueCount) : sensorType(sensorType) {
    if (valueCount < 0 || valueCount > maxValues)
        throw std::length_error("Sample: value count out of range");
    this->valueCount = static_cast<int16_t>(valueCount);
}

void Sample::add(const Sample& other) {
    for (int i = 0; i < valueCount; ++i) {
        // Wrap like the 32-bit sum it is, without the undefined overflow.
        raw[i] = static_cast<int32_t>(static_cast<uint32_t>(raw[i]) +
                                      static_cast<uint32_t>(other.raw[i]));
        values[i] += other.values[i];
    }
}

void Sample::divideBy(uint32_t n) {
    if (n == 0)
        return;
    for (int i = 0; i < valueCount; ++i) {
        raw[i] = static_cast<int32_t>(static_cast<int64_t>(raw[i]) / static_cast<int64_t>(n));
        values[i] = values[i] / static_cast<float>(n);
    }
}

Sample Sample::interpolate(const Sample& a, const Sample& b, double t) {
    Sample out = b;
    out.time = t;
    if (a.time == b.time)
        return out;
    const double span = b.time - a.time;
    for (int i = 0; i < out.valueCount; ++i) {
        const double rawDelta = static_cast<double>(static_cast<int64_t>(b.raw[i]) - a.raw[i]);
        out.raw[i] = truncToInt32(a.raw[i] + (t - a.time) * rawDelta / span);
        out.values[i] =
            static_cast<float>(a.values[i] + (t - a.time) * (b.values[i] - a.values[i]) / span);
    }
    return out;
}

Sample Sample::windowStart(const Sample& s, double period, double windowEnd,
                           std::array<double, maxValues>& rawSum) {
    Sample out = s;
    double w = (s.time - (windowEnd - period)) / period;
    if (!(w > 0))
        w = 0;
    rawSum.fill(0.0);
    for (int i = 0; i < out.valueCount; ++i) {
        rawSum[i] = w * s.raw[i];
        out.raw[i] = truncToInt32(rawSum[i]);
        out.values[i] = static_cast<float>(w * s.values[i]);
    }
    return out;
}

void Sample::windowAccumulate(const Sample& s, double period, double windowEnd,
                              std::array<double, maxValues>& rawSum) {
    const double until = s.time < windowEnd ? s.time : windowEnd;
    const double w = (until - time) / period;
    for (int i = 0; i < valueCount && i < s.valueCount; ++i) {
        rawSum[i] += w * s.raw[i];
        raw[i] = truncToInt32(rawSum[i]);
        values[i] = static_cast<float>(values[i] + w * s.values[i]);
    }
    time = until;
}

BoundingBoxData::BoundingBoxData(int count)
    : max(count > 0 ? count : 0, -std::numeric_limits<float>::max()),
      min(count > 0 ? count : 0, std::numeric_limits<float>::max()), count(count > 0 ? count : 0) {}

void BoundingBoxData::update(int axis, float value) {
    if (axis < 0 || axis >= count)
        return;
    if (value > max[axis])
        max[axis] = value;
    if (value < min[axis])
        min[axis] = value;
}

void BoundingBoxData::update(const float* v, int n) {
    const int axes = n < count ? n : count;
    for (int i = 0; i < axes; ++i)
        update(i, v[i]);
}

void BoundingBoxData::update(const Sample& s) { update(s.values.data(), s.valueCount); }
