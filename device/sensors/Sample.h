#pragma once

#include <array>
#include <cstdint>
#include <vector>

// One decoded sample of one sensor, in the record form handed to queries.
//
// The values live inline (no per-sample heap arrays): the widest sample any sensor makes
// is the digital input's eight lines, so a record is a fixed 88 bytes and copying one is
// a plain memberwise copy.
struct Sample {
    static constexpr int maxValues = 8;

    std::array<int32_t, maxValues> raw{};  // raw values; entries from valueCount on stay 0
    std::array<float, maxValues> values{}; // converted values
    int32_t sensorType = 0;
    int16_t valueCount = 0;
    int16_t remote = 0;
    int16_t frame = 0;       // the packet's 8-bit frame counter
    int16_t index = 0;       // position within its packet block
    double time = 0.0;       // seconds on the sensor's time base
    uint32_t frameTotal = 0; // 10 ms frames elapsed when the sample was decoded

    Sample() = default;
    // Throws std::length_error for a negative count or one above maxValues.
    Sample(int32_t sensorType, int valueCount);

    // raw[i] += other.raw[i], values[i] += other.values[i] for every value.
    void add(const Sample& other);
    // raw truncates toward zero; n == 0 leaves the sample unchanged.
    void divideBy(uint32_t n);

    // Linear interpolation between a and b at time t; metadata come from b.
    static Sample interpolate(const Sample& a, const Sample& b, double t);
    // First contribution to an averaging window (windowEnd - period, windowEnd].
    // `rawSum` keeps the window's raw sums exactly; `raw` holds them truncated. Truncating
    // after every step instead would lose every share below one count, so a window of many
    // small shares (4800 Hz averaged to 1 Hz) would read as 0.
    static Sample windowStart(const Sample& s, double period, double windowEnd,
                              std::array<double, maxValues>& rawSum);
    // Adds s's share of the window up to min(s.time, windowEnd) and moves time there.
    void windowAccumulate(const Sample& s, double period, double windowEnd,
                          std::array<double, maxValues>& rawSum);
};

// Truncation toward zero that stays defined for NaN and for values beyond int32.
int32_t truncToInt32(double v);

// Per-axis extremes of converted values.
struct BoundingBoxData {
    std::vector<float> max;
    std::vector<float> min;
    int32_t count = 0;

    explicit BoundingBoxData(int count = 0);
    void update(const Sample& s);            // axes below count from s.values
    void update(int axis, float value);      // ignored for an axis outside [0, count)
    void update(const float* values, int n); // axes below min(n, count)
};
