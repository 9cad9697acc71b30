#include "device/sensors/SensorClasses.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>

// Stored calibration records are applied through CalibrationData::setCalibration.
#include "device/sensors/CalibrationData.h"

namespace {

inline int16_t be16(const uint8_t* p) { return static_cast<int16_t>((p[0] << 8) | p[1]); }

inline int32_t be32(const uint8_t* p) {
    return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                                (uint32_t{p[2]} << 8) | uint32_t{p[3]});
}

void applyRecord(CalibrationData* store, int32_t remoteHardwareId, Sensor* sensor) {
    if (store)
        store->setCalibration(remoteHardwareId, sensor);
}

bool usableScale(float s) { return std::isfinite(s) && s != 0.0f; }

} // namespace

// ---- three axes ---------------------------------------------------------------------------

TriaxialSensor::TriaxialSensor(int32_t remote, int32_t type, double nominalRate,
                               CalibrationData* store, std::array<AxisWord, 3> axisWords)
    : Sensor(remote, type, nominalRate, store), axisWords(axisWords) {}

void TriaxialSensor::setDefaults(const std::array<float, 3>& o, const std::array<float, 3>& s) {
    Sensor::reset();
    auto editor = samples.edit();
    offset = o;
    scale = s;
}

void TriaxialSensor::parse(std::span<const uint8_t> frame, uint16_t position, size_t slotLength) {
    auto block = openBlock(frame, position, slotLength);
    if (!block)
        return;
    auto& [payload, editor, remoteNumber, counter] = *block;
    const size_t count = payload.size() / 6;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = payload.data() + 6 * i;
        const int32_t words[3] = {be16(p), be16(p + 2), be16(p + 4)};
        int32_t raw[3];
        float values[3];
        for (int k = 0; k < 3; ++k) {
            raw[k] = axisWords[k].sign * words[axisWords[k].word];
            values[k] = (static_cast<float>(raw[k]) - offset[k]) / scale[k];
        }
        advanceTime();
        editor.append(raw, values, remoteNumber, counter, static_cast<uint8_t>(i),
                      static_cast<uint32_t>(frameTotal));
    }
}

void TriaxialSensor::recalibrate() {
    recalibrateWith([this](SampleCollection::Editor& e, size_t i) {
        const int32_t* raw = e.rawRow(i);
        float* values = e.valueRow(i);
        for (int k = 0; k < 3; ++k)
            values[k] = (static_cast<float>(raw[k]) - offset[k]) / scale[k];
    });
}

void TriaxialSensor::applyStoredCalibration(int32_t remoteHardwareId) {
    if (calibrationStore)
        applyRecord(calibrationStore, remoteHardwareId, this);
}

bool TriaxialSensor::setCalibration(const std::array<float, 3>& o, const std::array<float, 3>& s) {
    for (int k = 0; k < 3; ++k)
        if (!std::isfinite(o[k]) || !usableScale(s[k]))
            return false;
    auto editor = samples.edit();
    offset = o;
    scale = s;
    return true;
}

Accelerometer::Accelerometer(int32_t remote, double rate, CalibrationData* store)
    : TriaxialSensor(remote, SensorAccelerometer, rate, store, {{{1, -1}, {0, 1}, {2, 1}}}) {
    reset();
}
void Accelerometer::reset() {
    setDefaults({-228.5f, -109.0f, -169.5f}, {838.58307f, 842.3038f, 844.08765f});
}

Magnetometer::Magnetometer(int32_t remote, double rate, CalibrationData* store)
    : TriaxialSensor(remote, SensorMagnetometer, rate, store, {{{0, -1}, {1, -1}, {2, -1}}}) {
    reset();
}
void Magnetometer::reset() { setDefaults({-3504.0f, 3453.0f, 2953.5f}, {77.04f, 86.59f, 81.7f}); }

Gyroscope::Gyroscope(int32_t remote, double rate, CalibrationData* store)
    : TriaxialSensor(remote, SensorGyroscope, rate, store, {{{1, -1}, {0, 1}, {2, 1}}}) {
    reset();
}
void Gyroscope::reset() { setDefaults({-15.0f, -70.0f, 78.0f}, {938.7f, 938.7f, 938.7f}); }

Ecg::Ecg(int32_t remote, double rate)
    : TriaxialSensor(remote, SensorEcg, rate, nullptr, {{{0, 1}, {1, 1}, {2, 1}}}) {
    reset();
}
void Ecg::reset() { setDefaults({2047.0f, 2047.0f, 2047.0f}, {477.0f, 477.0f, 477.0f}); }

// ---- one axis -----------------------------------------------------------------------------

ScalarSensor::ScalarSensor(int32_t remote, int32_t type, double rate, float defaultOffset,
                           float defaultScale)
    : Sensor(remote, type, rate, nullptr), defaultOffset(defaultOffset),
      defaultScale(defaultScale) {}

void ScalarSensor::reset() {
    Sensor::reset();
    auto editor = samples.edit();
    offset = defaultOffset;
    scale = defaultScale;
}

void ScalarSensor::parse(std::span<const uint8_t> frame, uint16_t position, size_t slotLength) {
    auto block = openBlock(frame, position, slotLength);
    if (!block)
        return;
    auto& [payload, editor, remoteNumber, counter] = *block;
    const uint32_t total = static_cast<uint32_t>(frameTotal);
    const float o = offset, s = scale;
    const size_t count = payload.size() / 2;
    for (size_t i = 0; i < count; ++i) {
        const int32_t raw = be16(payload.data() + 2 * i);
        const float value = (static_cast<float>(raw) - o) / s;
        advanceTime();
        editor.append(&raw, &value, remoteNumber, counter, static_cast<uint8_t>(i), total);
    }
}

void ScalarSensor::recalibrate() {
    recalibrateWith([this](SampleCollection::Editor& e, size_t i) {
        e.valueRow(i)[0] = (static_cast<float>(e.rawRow(i)[0]) - offset) / scale;
    });
}

bool ScalarSensor::setScale(float s) {
    if (!usableScale(s))
        return false;
    auto editor = samples.edit();
    scale = s;
    return true;
}

Microphone::Microphone(int32_t remote, double rate)
    : ScalarSensor(remote, SensorMicrophone, rate, 0.0f, 500.0f) {
    reset();
}
Light::Light(int32_t remote, double rate) : ScalarSensor(remote, SensorLight, rate, 0.0f, 500.0f) {
    reset();
}
Battery::Battery(int32_t remote, double rate)
    : ScalarSensor(remote, SensorBattery, rate, 0.0f, 682.5f) {
    reset();
}
HighGain::HighGain(int32_t remote, double rate)
    : ScalarSensor(remote, SensorHighGain, rate, 2047.0f, 1911.0f) {
    reset();
}
Analog7::Analog7(int32_t remote, double rate)
    : ScalarSensor(remote, SensorAnalog7, rate, 0.0f, 1365.0f) {
    reset();
}
Analog8::Analog8(int32_t remote, double rate)
    : ScalarSensor(remote, SensorAnalog8, rate, 0.0f, 1365.0f) {
    reset();
}
Analog9::Analog9(int32_t remote, double rate)
    : ScalarSensor(remote, SensorAnalog9, rate, 0.0f, 1365.0f) {
    reset();
}

// ---- force --------------------------------------------------------------------------------

Force::Force(int32_t remote, double rate, CalibrationData* store)
    : Sensor(remote, SensorForce, rate, store) {
    reset();
}

void Force::reset() {
    Sensor::reset();
    auto editor = samples.edit();
    offset = 2047.0f;
    tare = 0.0f;
    scale = -120.0f;
}

void Force::parse(std::span<const uint8_t> frame, uint16_t position, size_t slotLength) {
    auto block = openBlock(frame, position, slotLength);
    if (!block)
        return;
    auto& [payload, editor, remoteNumber, counter] = *block;
    const size_t count = payload.size() / 2;
    for (size_t i = 0; i < count; ++i) {
        const int32_t raw = be16(payload.data() + 2 * i);
        const float value = (static_cast<float>(raw) - offset - tare) / scale;
        advanceTime();
        editor.append(&raw, &value, remoteNumber, counter, static_cast<uint8_t>(i),
                      static_cast<uint32_t>(frameTotal));
    }
}

void Force::recalibrate() {
    recalibrateWith([this](SampleCollection::Editor& e, size_t i) {
        e.valueRow(i)[0] = (static_cast<float>(e.rawRow(i)[0]) - offset - tare) / scale;
    });
}

void Force::applyStoredCalibration(int32_t remoteHardwareId) {
    if (calibrationStore)
        applyRecord(calibrationStore, remoteHardwareId, this);
}

void Force::resetOffset(double startTime, double endTime) {
    if (samples.empty())
        return;
    const SampleCollection::RawSum selected = samples.rawSumInRange(startTime, endTime, 0);
    if (selected.count == 0)
        return;
    auto editor = samples.edit();
    tare = static_cast<float>(selected.sum) / static_cast<float>(selected.count) - offset;
}

bool Force::setCalibration(float t, float s) {
    if (!std::isfinite(t) || !usableScale(s))
        return false;
    auto editor = samples.edit();
    tare = t;
    scale = s;
    return true;
}

// ---- wheel --------------------------------------------------------------------------------

Wheel::Wheel(int32_t remote, double rate) : Sensor(remote, SensorWheel, rate, nullptr) { reset(); }

void Wheel::reset() {
    Sensor::reset();
    auto editor = samples.edit();
    position = 0;
    lastCount = 0;
    scale = 1000.0f;
    halfWindow = 5;
}

double Wheel::velocitySlope(const SampleCollection::Editor& samples, long s, long e, double rate,
                            float scale) {
    if (e < s)
        return std::numeric_limits<double>::quiet_NaN();
    double sumT = 0, sumV = 0, sumTV = 0, sumTT = 0;
    for (long i = s; i <= e; ++i) {
        const double v = rate * samples.rawRow(static_cast<size_t>(i))[1] / scale;
        const double t = i / rate;
        sumT += t;
        sumV += v;
        sumTV += t * v;
        sumTT += t * t;
    }
    const double n = static_cast<double>(e - s + 1);
    return (sumTV - sumV * sumT / n) / (sumTT - sumT * sumT / n);
}

void Wheel::parse(std::span<const uint8_t> frame, uint16_t at, size_t slotLength) {
    auto block = openBlock(frame, at, slotLength);
    if (!block)
        return;
    auto& [payload, editor, remoteNumber, counter] = *block;
    const double rate = sampleRate;
    const size_t count = payload.size() / 2;
    for (size_t i = 0; i < count; ++i) {
        const int32_t c = be16(payload.data() + 2 * i);
        // The running position wraps like the 32-bit counter it is.
        position = static_cast<int32_t>(static_cast<uint32_t>(position) + static_cast<uint32_t>(c));
        const int32_t raw[3] = {position, c, c - lastCount};
        lastCount = c;
        const float values[3] = {position / scale, static_cast<float>(c / scale * rate), 0.0f};
        advanceTime();
        editor.append(raw, values, remoteNumber, counter, static_cast<uint8_t>(i),
                      static_cast<uint32_t>(frameTotal));
        // The acceleration of the sample halfWindow back now has its full window (or as
        // much of it as the start of the recording allows).
        const long n = static_cast<long>(editor.size());
        if (halfWindow >= 0 && n > halfWindow) {
            const long centre = n - halfWindow - 1;
            const long from = std::max(0L, n - 2L * halfWindow - 1);
            editor.valueRow(static_cast<size_t>(centre))[2] =
                static_cast<float>(velocitySlope(editor, from, n - 1, rate, scale));
        }
    }
}

void Wheel::recalibrate() {
    recalibrateWith([this](SampleCollection::Editor& e, size_t index) {
        const long n = static_cast<long>(e.size());
        const long i = static_cast<long>(index);
        const double rate = sampleRate;
        const int32_t* raw = e.rawRow(index);
        float* values = e.valueRow(index);
        values[0] = raw[0] / scale;
        values[1] = static_cast<float>(rate * raw[1] / scale);
        const long hw = std::max(0, halfWindow);
        values[2] = static_cast<float>(
            velocitySlope(e, std::max(0L, i - hw), std::min(n - 1, i + hw), rate, scale));
    });
}

void Wheel::resetOffset(double, double) {
    auto editor = samples.edit();
    position = 0;
}

// ---- barometer ----------------------------------------------------------------------------

Barometer::Barometer(int32_t remote, double rate) : Sensor(remote, SensorBarometer, rate, nullptr) {
    reset();
}

void Barometer::reset() {
    Sensor::reset();
    auto editor = samples.edit();
    A0 = 17442;
    B1 = -21149;
    B2 = -17190;
    C12 = 15032;
    a0 = b1 = b2 = c12 = 0.0f;
    coefficientsDerived = false;
}

void Barometer::deriveCoefficients() {
    // Each word is a sign and a fixed-point magnitude with its own split between integer
    // and fraction bits.
    auto sign = [](int16_t w) { return w < 0 ? -1.0 : 1.0; };
    const int mA0 = std::abs(static_cast<int>(A0));
    const int mB1 = std::abs(static_cast<int>(B1));
    const int mB2 = std::abs(static_cast<int>(B2));
    const int k = std::abs(static_cast<int>(C12) >> 2);
    a0 = static_cast<float>(sign(A0) * ((mA0 & 7) * 0.125 + ((mA0 >> 3) & 0xFFF)));
    b1 = static_cast<float>(sign(B1) * ((mB1 & 0x1FFF) * std::ldexp(1.0, -13) + ((mB1 >> 13) & 3)));
    b2 = static_cast<float>(sign(B2) * ((mB2 & 0x3FFF) * std::ldexp(1.0, -14) + ((mB2 >> 14) & 1)));
    c12 = static_cast<float>(sign(C12) * (k & 0x1FFF) * std::ldexp(1.0, -22));
    coefficientsDerived = true;
}

void Barometer::setCoefficientWords(int16_t a0Word, int16_t b1Word, int16_t b2Word,
                                    int16_t c12Word) {
    auto editor = samples.edit();
    A0 = a0Word;
    B1 = b1Word;
    B2 = b2Word;
    C12 = c12Word;
    deriveCoefficients();
}

int32_t Barometer::adcValue(uint8_t hi, uint8_t lo) { return ((hi << 2) & 0x3FF) | (lo >> 6); }

float Barometer::pressure(int32_t padc, int32_t tadc) const {
    return (a0 + (b1 + c12 * tadc) * padc + b2 * tadc) * 65 / 1023 + 50;
}

float Barometer::temperature(int32_t tadc) { return static_cast<float>((tadc - 605.75) / -5.35); }

void Barometer::parse(std::span<const uint8_t> frame, uint16_t position, size_t slotLength) {
    auto block = openBlock(frame, position, slotLength);
    if (!block)
        return;
    auto& [payload, editor, remoteNumber, counter] = *block;
    const size_t count = payload.size() / 4;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = payload.data() + 4 * i;
        const int32_t raw[2] = {adcValue(p[0], p[1]), adcValue(p[2], p[3])};
        if (!coefficientsDerived)
            deriveCoefficients();
        const float values[2] = {pressure(raw[0], raw[1]), temperature(raw[1])};
        advanceTime();
        editor.append(raw, values, remoteNumber, counter, static_cast<uint8_t>(i),
                      static_cast<uint32_t>(frameTotal));
    }
}

void Barometer::recalibrate() {
    recalibrateWith([this](SampleCollection::Editor& e, size_t i) {
        if (i == 0)
            coefficientsDerived = false; // derive again from the words, once
        if (!coefficientsDerived)
            deriveCoefficients();
        const int32_t* raw = e.rawRow(i);
        float* values = e.valueRow(i);
        values[0] = pressure(raw[0], raw[1]);
        values[1] = temperature(raw[1]);
    });
}

// ---- thermometer --------------------------------------------------------------------------

Thermometer::Thermometer(int32_t remote, double rate)
    : Sensor(remote, SensorThermometer, rate, nullptr) {
    reset();
}

void Thermometer::reset() {
    Sensor::reset();
    auto editor = samples.edit();
    calAt30degrees = 2280.0f;
    calAt85degrees = 2607.0f;
    rawScaleNumerator = 50.0f;
    rawScaleDenominator = 400.0f;
}

bool Thermometer::setCalibrationPoints(float at85degrees, float at30degrees) {
    if (!std::isfinite(at85degrees) || !std::isfinite(at30degrees) || at85degrees == at30degrees) {
        std::cerr << "** ERROR Thermometer calibration readings refused: " << at85degrees << " "
                  << at30degrees << "\n";
        return false;
    }
    auto editor = samples.edit();
    calAt85degrees = at85degrees;
    calAt30degrees = at30degrees;
    return true;
}

float Thermometer::temperature(int32_t raw) const {
    return (raw * rawScaleNumerator / rawScaleDenominator - calAt30degrees) * 55 /
               (calAt85degrees - calAt30degrees) +
           30;
}

void Thermometer::parse(std::span<const uint8_t> frame, uint16_t position, size_t slotLength) {
    auto block = openBlock(frame, position, slotLength);
    if (!block)
        return;
    auto& [payload, editor, remoteNumber, counter] = *block;
    const size_t count = payload.size() / 4;
    for (size_t i = 0; i < count; ++i) {
        const int32_t raw = be32(payload.data() + 4 * i);
        const float value = temperature(raw);
        advanceTime();
        editor.append(&raw, &value, remoteNumber, counter, static_cast<uint8_t>(i),
                      static_cast<uint32_t>(frameTotal));
    }
}

void Thermometer::recalibrate() {
    recalibrateWith([this](SampleCollection::Editor& e, size_t i) {
        e.valueRow(i)[0] = temperature(e.rawRow(i)[0]);
    });
}

// ---- digital lines ------------------------------------------------------------------------

Digital::Digital(int32_t remote, double rate) : Sensor(remote, SensorDigital, rate, nullptr) {
    reset();
}

void Digital::parse(std::span<const uint8_t> frame, uint16_t position, size_t slotLength) {
    auto block = openBlock(frame, position, slotLength);
    if (!block)
        return;
    auto& [payload, editor, remoteNumber, counter] = *block;
    for (size_t i = 0; i < payload.size(); ++i) {
        int32_t raw[8];
        float values[8];
        for (int j = 0; j < 8; ++j) {
            raw[j] = (payload[i] >> j) & 1;
            values[j] = static_cast<float>(j + 0.5 * raw[j]);
        }
        advanceTime();
        editor.append(raw, values, remoteNumber, counter, static_cast<uint8_t>(i),
                      static_cast<uint32_t>(frameTotal));
    }
}

void Digital::recalibrate() {
    // The lines' values never depend on constants: only times and the box change.
    recalibrateWith([](SampleCollection::Editor&, size_t) {});
}

// ---- combined ECG -------------------------------------------------------------------------

Ecg6::Ecg6(int32_t remote, double rate) : Sensor(remote, SensorEcg6, rate, nullptr) { reset(); }

void Ecg6::reset() {
    Sensor::reset();
    auto editor = samples.edit();
    offset = 2047.0f;
    scale = 477.0f;
}

void Ecg6::leads(const float* c, float* out) {
    const float w = (c[0] + c[1] + c[2]) / 3;
    out[0] = c[0] - c[1];
    out[1] = c[0] - c[2];
    out[2] = c[1] - c[2];
    out[3] = (c[1] + c[2]) / 2 - c[0];
    out[4] = (c[0] + c[2]) / 2 - c[1];
    out[5] = (c[0] + c[1]) / 2 - c[2];
    out[6] = w - c[3];
    out[7] = w - c[4];
    out[8] = w - c[5];
}

void Ecg6::parseCombined(std::span<const uint8_t> frame,
                         const std::map<int32_t, int32_t>& sensorDataLen) {
    auto slotLength = [&](int32_t type) {
        auto it = sensorDataLen.find(type);
        return it == sensorDataLen.end() ? 0 : std::max(0, it->second);
    };
    auto tooShort = [] { std::cerr << "** ERROR Combined ECG frame too short\n"; };
    if (frame.size() < 9)
        return tooShort();
    const int blockCount = frame[6];
    const size_t count = (frame[7] & 0x7F) == SensorEcg ? frame[8] / 6 : frame[8] / 2;

    // Every block header and every word the samples will read must lie inside the frame,
    // and inside its block's slot, before the frame is counted: the count comes from the
    // first block alone, and a count larger than a slot would read the next block's header
    // as samples. Meanwhile each channel's first word and the step between its samples are
    // noted; a channel no block carries stays 0.
    const uint8_t* channel[6] = {};
    size_t stride[6] = {};
    size_t position = 7;
    for (int b = 0; b < blockCount; ++b) {
        if (position + 2 > frame.size())
            return tooShort();
        const int32_t type = frame[position] & 0x7F;
        const uint8_t* words = frame.data() + position + 2;
        size_t needed = 0;
        if (type == SensorEcg) {
            needed = 6 * count;
            for (int k = 0; k < 3; ++k) {
                channel[k] = words + 2 * k;
                stride[k] = 6;
            }
        } else if (type >= SensorAnalog7 && type <= SensorAnalog9) {
            needed = 2 * count;
            channel[type - SensorAnalog7 + 3] = words;
            stride[type - SensorAnalog7 + 3] = 2;
        }
        if (needed > static_cast<size_t>(slotLength(type))) {
            std::cerr << "** ERROR Combined ECG block of sensor " << type << " needs " << needed
                      << " bytes, more than its slot of " << slotLength(type) << "\n";
            return;
        }
        if (position + 2 + needed > frame.size())
            return tooShort();
        position += static_cast<size_t>(slotLength(type)) + 2;
    }

    auto editor = samples.edit();
    if (!acceptFrameLocked(frame[4]))
        return;
    const uint8_t remoteNumber = frame[3], counter = frame[4];
    for (size_t d = 0; d < count; ++d) {
        int32_t raw[6];
        float values[6];
        for (int k = 0; k < 6; ++k) {
            raw[k] = channel[k] ? be16(channel[k] + stride[k] * d) : 0;
            values[k] = (static_cast<float>(raw[k]) - offset) / scale;
        }
        advanceTime();
        editor.append(raw, values, remoteNumber, counter, static_cast<uint8_t>(d),
                      static_cast<uint32_t>(frameTotal));
    }
}

void Ecg6::recalibrate() {
    recalibrateWith(
        [this](SampleCollection::Editor& e, size_t i) {
            const int32_t* raw = e.rawRow(i);
            float* values = e.valueRow(i);
            for (int k = 0; k < 6; ++k)
                values[k] = (static_cast<float>(raw[k]) - offset) / scale;
        },
        [](const float* values, float* out) {
            leads(values, out);
            return leadCount;
        });
}
