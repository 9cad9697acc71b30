#include "tools/dongle-sim/SimLayout.h"

#include <map>

namespace {

struct SensorRate {
    int type;
    int rate;
};

// Fixed configurations: the sensors each one streams, in frame order, with their rates.
// Configuration 12 streams the same blocks as 8 (only the host's analog scale differs).
const std::map<int, std::vector<SensorRate>> fixedConfigurations = {
    {1, {{SIM_GYROSCOPE, 380}}},
    {2, {{SIM_ACCELEROMETER, 400}}},
    {3,
     {{SIM_ACCELEROMETER, 100}, {SIM_MAGNETOMETER, 80}, {SIM_GYROSCOPE, 95}, {SIM_HIGH_GAIN, 100}}},
    {4, {{SIM_ACCELEROMETER, 200}, {SIM_WHEEL, 100}, {SIM_FORCE, 200}}},
    {5, {{SIM_ACCELEROMETER, 100}, {SIM_GYROSCOPE, 95}, {SIM_FORCE, 100}}},
    {6, {{SIM_THERMOMETER, 50}, {SIM_BAROMETER, 100}, {SIM_BATTERY, 50}, {SIM_LIGHT, 400}}},
    {7, {{SIM_ECG, 400}}},
    {8,
     {{SIM_ANALOG7, 100},
      {SIM_ANALOG8, 100},
      {SIM_ANALOG9, 100},
      {SIM_DIGITAL, 100},
      {SIM_HIGH_GAIN, 200}}},
    {9, {{SIM_MICROPHONE, 2400}}},
    {10, {{SIM_MAGNETOMETER, 80}, {SIM_HIGH_GAIN, 400}}},
    {12,
     {{SIM_ANALOG7, 100},
      {SIM_ANALOG8, 100},
      {SIM_ANALOG9, 100},
      {SIM_DIGITAL, 100},
      {SIM_HIGH_GAIN, 200}}},
    {32, {{SIM_GYROSCOPE, 760}}},
    {33, {{SIM_ACCELEROMETER, 800}}},
    {34, {{SIM_ACCELEROMETER, 400}, {SIM_MAGNETOMETER, 80}, {SIM_GYROSCOPE, 190}}},
    {35, {{SIM_ACCELEROMETER, 200}, {SIM_GYROSCOPE, 190}, {SIM_WHEEL, 100}, {SIM_FORCE, 200}}},
    {36, {{SIM_ECG, 200}, {SIM_ACCELEROMETER, 200}, {SIM_MAGNETOMETER, 80}, {SIM_GYROSCOPE, 190}}},
    {37, {{SIM_ACCELEROMETER, 200}, {SIM_GYROSCOPE, 190}, {SIM_FORCE, 200}}},
    {38,
     {{SIM_MAGNETOMETER, 80},
      {SIM_ACCELEROMETER, 100},
      {SIM_WHEEL, 100},
      {SIM_FORCE, 100},
      {SIM_GYROSCOPE, 95},
      {SIM_LIGHT, 100},
      {SIM_BATTERY, 100},
      {SIM_HIGH_GAIN, 100},
      {SIM_ANALOG7, 100},
      {SIM_DIGITAL, 100},
      {SIM_BAROMETER, 100}}},
    {39, {{SIM_MICROPHONE, 4800}}},
    {40, {{SIM_LIGHT, 4800}}},
    {41, {{SIM_LIGHT, 800}, {SIM_ACCELEROMETER, 800}}},
    {42, {{SIM_FORCE, 800}, {SIM_ACCELEROMETER, 800}}},
    {43, {{SIM_LIGHT, 2400}, {SIM_MICROPHONE, 2400}}},
    {44, {{SIM_ECG, 800}}},
    {45, {{SIM_HIGH_GAIN, 4800}}},
    {46, {{SIM_FORCE, 4800}}},
    // The combined ECG: the electrodes first (the host sizes the frame from this block),
    // then the three analog inputs, all at the same rate.
    {47, {{SIM_ECG, 400}, {SIM_ANALOG7, 400}, {SIM_ANALOG8, 400}, {SIM_ANALOG9, 400}}},
};

std::map<int, std::vector<SimBlockLayout>> buildLayouts() {
    std::map<int, std::vector<SimBlockLayout>> layouts;
    for (const auto& [config, sensors] : fixedConfigurations) {
        auto& blocks = layouts[config];
        for (const auto& sensor : sensors) {
            SimBlockLayout block;
            block.type = sensor.type;
            block.rate = sensor.rate;
            block.sampleSize = simSampleSize(sensor.type);
            block.slotLength = simMaxSamplesPerFrame(sensor.rate) * block.sampleSize;
            blocks.push_back(block);
        }
    }
    return layouts;
}

const std::map<int, std::vector<SimBlockLayout>>& layouts() {
    static const auto table = buildLayouts();
    return table;
}

} // namespace

int simSampleSize(int type) {
    switch (type) {
    case SIM_ACCELEROMETER:
    case SIM_MAGNETOMETER:
    case SIM_GYROSCOPE:
    case SIM_ECG: return 6;
    case SIM_BAROMETER:
    case SIM_THERMOMETER: return 4;
    case SIM_MICROPHONE:
    case SIM_LIGHT:
    case SIM_FORCE:
    case SIM_WHEEL:
    case SIM_BATTERY:
    case SIM_HIGH_GAIN:
    case SIM_ANALOG7:
    case SIM_ANALOG8:
    case SIM_ANALOG9: return 2;
    case SIM_DIGITAL: return 1;
    default: return 0;
    }
}

int simMaxSamplesPerFrame(int rate) {
    if (rate <= 0)
        return 0;
    return (rate + SIM_FRAMES_PER_SECOND - 1) / SIM_FRAMES_PER_SECOND;
}

const std::vector<SimBlockLayout>& simBlockLayout(int config) {
    static const std::vector<SimBlockLayout> none;
    auto it = layouts().find(config);
    return it == layouts().end() ? none : it->second;
}

const std::vector<int>& simConfigurations() {
    static const std::vector<int> numbers = [] {
        std::vector<int> all;
        for (const auto& entry : layouts())
            all.push_back(entry.first);
        return all;
    }();
    return numbers;
}

int simDataPayloadSize(int config) {
    const auto& blocks = simBlockLayout(config);
    if (blocks.empty())
        return 0;
    int size = SIM_DATA_HEADER_SIZE;
    for (const auto& block : blocks)
        size += 2 + block.slotLength;
    return size;
}

int64_t simFirstSampleOfFrame(int rate, int64_t frameIndex) {
    // Sample k is due at k / rate s; frame i covers [i / 100, (i + 1) / 100). The first
    // sample at or after i / 100 is ceil(i * rate / 100).
    if (frameIndex <= 0)
        return 0;
    return (frameIndex * rate + SIM_FRAMES_PER_SECOND - 1) / SIM_FRAMES_PER_SECOND;
}

int simSamplesInFrame(int rate, int64_t frameIndex) {
    if (frameIndex < 0 || rate <= 0)
        return 0;
    return static_cast<int>(simFirstSampleOfFrame(rate, frameIndex + 1) -
                            simFirstSampleOfFrame(rate, frameIndex));
}
