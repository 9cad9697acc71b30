#include "device/sensors/Sensor.h"
#include "device/sensors/SensorClasses.h"

#include <iostream>
#include <stdexcept>

namespace {

// Every sensor class with its value counts, once.
constexpr SensorTypeInfo sensorTypes[] = {
    {SensorAccelerometer, "Accelerometer", 3, 3, 3, true},
    {SensorMagnetometer, "Magnetometer", 3, 3, 3, true},
    {SensorGyroscope, "Gyroscope", 3, 3, 3, true},
    {SensorBarometer, "Barometer", 2, 2, 2, false},
    {SensorMicrophone, "Microphone", 1, 1, 1, false},
    {SensorLight, "Light", 1, 1, 1, false},
    {SensorForce, "Force", 1, 1, 1, true},
    {SensorWheel, "Wheel", 3, 3, 3, false},
    {SensorEcg, "Ecg", 3, 3, 3, false},
    {SensorBattery, "Battery", 1, 1, 1, false},
    {SensorHighGain, "HighGain", 1, 1, 1, false},
    {SensorDigital, "Digital", 1, 8, 1, false},
    {SensorAnalog7, "Analog7", 1, 1, 1, false},
    {SensorAnalog8, "Analog8", 1, 1, 1, false},
    {SensorAnalog9, "Analog9", 1, 1, 1, false},
    {SensorThermometer, "Thermometer", 1, 1, 1, false},
    {SensorEcg6, "Ecg6", 6, 6, 9, false},
};

const SensorTypeInfo& requireInfo(int32_t type) {
    const SensorTypeInfo* info = sensorTypeInfo(type);
    if (!info)
        throw std::invalid_argument("Sensor: no class for sensor type " + std::to_string(type));
    return *info;
}

SampleLayout layoutOf(int32_t type, double rate) {
    const SensorTypeInfo& info = requireInfo(type);
    return SampleLayout{type, info.valueCount, rate};
}

} // namespace

const SensorTypeInfo* sensorTypeInfo(int32_t type) {
    for (const SensorTypeInfo& info : sensorTypes)
        if (info.type == type)
            return &info;
    return nullptr;
}

Sensor::Sensor(int32_t remote, int32_t type, double nominalRate, CalibrationData* store)
    : remote(remote), nominalRate(nominalRate), sensorType(type),
      axisCount(static_cast<uint16_t>(requireInfo(type).axisCount)),
      calibrationStore(requireInfo(type).usesCalibrationStore ? store : nullptr),
      samples(layoutOf(type, nominalRate), requireInfo(type).boxWidth) {
    sampleRate = nominalRate;
}

Sensor::~Sensor() = default;

void Sensor::reset() {
    auto editor = samples.edit();
    elapsedTime = 0.0;
    lastSampleTime = 0.0;
    awaitingFirstFrame = true;
    minFirstFrame = 10;
    lastFrame = 0;
    frameTotal = 0;
    spare = 0;
    packetCount = 0;
    sampleCount = 0;
    sampleRate = nominalRate;
    editor.setTimeRate(nominalRate);
}

bool Sensor::acceptFrame(uint8_t frameCounter) {
    auto editor = samples.edit();
    return acceptFrameLocked(frameCounter);
}

bool Sensor::acceptFrameLocked(uint8_t frameCounter) {
    const int counter = frameCounter;
    if (awaitingFirstFrame && counter < minFirstFrame)
        return false;
    // A repeated counter is a frame we already have; the first frame of a run has nothing
    // before it in the run, whatever the previous run ended with.
    if (!awaitingFirstFrame && counter == lastFrame)
        return false;
    const int previous = awaitingFirstFrame ? counter - 1 : lastFrame;
    awaitingFirstFrame = false;
    int frames = counter - previous;
    if (counter < previous)
        frames += 256; // the 8-bit counter wrapped
    frameTotal += frames;
    ++packetCount;
    lastFrame = static_cast<uint16_t>(counter);
    elapsedTime = frameTotal * 0.01;
    return true;
}

bool Sensor::blockPayload(std::span<const uint8_t> frame, uint16_t position, size_t slotLength,
                          std::span<const uint8_t>& payload) const {
    // The frame header (remote at 3, frame counter at 4) and the block header must lie
    // inside the frame before anything is read.
    if (frame.size() < 5 || static_cast<size_t>(position) + 2 > frame.size()) {
        std::cerr << "** ERROR Sensor block outside the frame\n";
        return false;
    }
    if ((frame[position] & 0x7F) != sensorType) {
        std::cerr << "** ERROR Wrong sensor type";
        return false;
    }
    const size_t length = frame[position + 1];
    if (length > slotLength) {
        std::cerr << "** ERROR Sensor block count " << length << " larger than its slot of "
                  << slotLength << " bytes\n";
        return false;
    }
    if (static_cast<size_t>(position) + 2 + length > frame.size()) {
        std::cerr << "** ERROR Sensor block longer than the frame\n";
        return false;
    }
    payload = frame.subspan(position + 2, length);
    return true;
}

std::optional<Sensor::OpenBlock> Sensor::openBlock(std::span<const uint8_t> frame,
                                                   uint16_t position, size_t slotLength) {
    std::span<const uint8_t> payload;
    if (!blockPayload(frame, position, slotLength, payload))
        return std::nullopt;
    std::optional<OpenBlock> block(std::in_place, payload, samples.edit(), frame[3], frame[4]);
    if (!acceptFrameLocked(frame[4]))
        return std::nullopt;
    return block;
}

void Sensor::advanceTime() {
    ++sampleCount;
    lastSampleTime = sampleCount / sampleRate.load(std::memory_order_relaxed);
}

double Sensor::measuredRate(size_t storedSamples) const {
    // No accepted frame means no measured time, no sample means nothing to measure: the
    // rate in force (the nominal one unless measured before) stays.
    if (storedSamples == 0 || !(elapsedTime > 0) || frameTotal <= 0)
        return sampleRate;
    // Samples per 10 ms frame, times 100: the same quotient as samples / elapsedTime, but
    // exact for a whole-number pace (963 samples over 963 frames is 100 Hz, where dividing
    // by 963 * 0.01 gives 99.99999999999999, reported truncated as 99).
    return static_cast<double>(storedSamples) * 100.0 / static_cast<double>(frameTotal);
}

void Sensor::recalibrateWith(const std::function<void(SampleCollection::Editor&, size_t)>& convert,
                             const std::function<int(const float*, float*)>& boxValues) {
    auto editor = samples.edit();
    const size_t n = editor.size();
    const double rate = measuredRate(n);
    sampleRate = rate;
    editor.setTimeRate(rate);
    if (n == 0)
        return;
    BoundingBoxData* box = editor.box();
    float boxed[Sample::maxValues + 2];
    const int valueCount = requireInfo(sensorType).valueCount;
    for (size_t i = 0; i < n; ++i) {
        convert(editor, i);
        if (!box)
            continue;
        if (boxValues) {
            const int k = boxValues(editor.valueRow(i), boxed);
            box->update(boxed, k);
        } else {
            box->update(editor.valueRow(i), valueCount);
        }
    }
}

std::unique_ptr<Sensor> createSensor(int32_t type, int32_t remote, double rate,
                                     CalibrationData* store) {
    switch (type) {
    case SensorAccelerometer: return std::make_unique<Accelerometer>(remote, rate, store);
    case SensorMagnetometer: return std::make_unique<Magnetometer>(remote, rate, store);
    case SensorGyroscope: return std::make_unique<Gyroscope>(remote, rate, store);
    case SensorBarometer: return std::make_unique<Barometer>(remote, rate);
    case SensorMicrophone: return std::make_unique<Microphone>(remote, rate);
    case SensorLight: return std::make_unique<Light>(remote, rate);
    case SensorForce: return std::make_unique<Force>(remote, rate, store);
    case SensorWheel: return std::make_unique<Wheel>(remote, rate);
    case SensorEcg: return std::make_unique<Ecg>(remote, rate);
    case SensorBattery: return std::make_unique<Battery>(remote, rate);
    case SensorHighGain: return std::make_unique<HighGain>(remote, rate);
    case SensorDigital: return std::make_unique<Digital>(remote, rate);
    case SensorAnalog7: return std::make_unique<Analog7>(remote, rate);
    case SensorAnalog8: return std::make_unique<Analog8>(remote, rate);
    case SensorAnalog9: return std::make_unique<Analog9>(remote, rate);
    case SensorThermometer: return std::make_unique<Thermometer>(remote, rate);
    case SensorEcg6: return std::make_unique<Ecg6>(remote, rate);
    default: return nullptr;
    }
}
