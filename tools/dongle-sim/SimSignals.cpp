#include "tools/dongle-sim/SimSignals.h"

#include "tools/dongle-sim/SimLayout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr double twoPi = 6.283185307179586;

// The host's default constants (single-precision, as the host holds them). The barometer's
// and thermometer's are the remote's own: see SimCalibration.
constexpr float accelOffset[3] = {-228.5f, -109.0f, -169.5f};
constexpr float accelScale[3] = {838.58307f, 842.3038f, 844.08765f};
constexpr float magOffset[3] = {-3504.0f, 3453.0f, 2953.5f};
constexpr float magScale[3] = {77.04f, 86.59f, 81.7f};
constexpr float gyroOffset[3] = {-15.0f, -70.0f, 78.0f};
constexpr float gyroScale[3] = {938.7f, 938.7f, 938.7f};
constexpr float ecgOffset = 2047.0f;
constexpr float ecgScale = 477.0f;
constexpr float audioScale = 500.0f; // microphone and light
constexpr float batteryScale = 682.5f;
constexpr float highGainOffset = 2047.0f;
constexpr float highGainScale = 1911.0f;
constexpr float analogScale = 1365.0f;
constexpr float analogScale12 = 1240.909f; // 4095 / 3.3, the scale of configuration 12
constexpr float forceOffset = 2047.0f;
constexpr float forceScale = -120.0f;
constexpr float wheelScale = 1000.0f;
constexpr float thermoNumerator = 50.0f;
constexpr float thermoDenominator = 400.0f;

double unitFromHash(uint64_t h) {
    return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0); // [0, 1)
}

int32_t quantise(double value, int32_t low, int32_t high) {
    if (!std::isfinite(value))
        return low;
    return static_cast<int32_t>(std::clamp<double>(std::lround(value), low, high));
}

void appendWord(std::vector<uint8_t>& out, int32_t value) {
    auto word = static_cast<uint16_t>(static_cast<int16_t>(value));
    out.push_back(static_cast<uint8_t>(word >> 8));
    out.push_back(static_cast<uint8_t>(word & 0xFF));
}

double gauss(double x, double width) { return std::exp(-(x * x) / (2.0 * width * width)); }

// Encodes three axes as the remote orders them for the host's axis mapping, and returns
// what the host decodes. `mapping` 0: host raw = (-w1, w0, w2); 1: (-w0, -w1, -w2);
// 2: (w0, w1, w2).
std::vector<double> encodeTriple(const double physical[3], const float offset[3],
                                 const float scale[3], int mapping, std::vector<uint8_t>& out) {
    int32_t raw[3];
    std::vector<double> decoded(3);
    for (int k = 0; k < 3; ++k) {
        raw[k] = quantise(physical[k] * scale[k] + offset[k], -32767, 32767);
        decoded[k] = (static_cast<double>(raw[k]) - offset[k]) / scale[k];
    }
    int32_t w[3];
    switch (mapping) {
    case 0:
        w[0] = raw[1];
        w[1] = -raw[0];
        w[2] = raw[2];
        break;
    case 1:
        w[0] = -raw[0];
        w[1] = -raw[1];
        w[2] = -raw[2];
        break;
    default:
        w[0] = raw[0];
        w[1] = raw[1];
        w[2] = raw[2];
        break;
    }
    for (int32_t word : w)
        appendWord(out, word);
    return decoded;
}

double encodeChannel(double physical, float offset, float scale, int32_t low, int32_t high,
                     std::vector<uint8_t>& out) {
    int32_t raw = quantise(physical * scale + offset, low, high);
    appendWord(out, raw);
    return (static_cast<double>(raw) - offset) / scale;
}

} // namespace

SimCalibration SimCalibration::forRemote(uint64_t seed, int remote) {
    uint64_t h = splitmix(splitmix(seed ^ 0x63616C6962ull) + static_cast<uint64_t>(remote));
    auto draw = [&h](double low, double high) {
        h = splitmix(h);
        return low + (high - low) * unitFromHash(h);
    };
    // Each word is a sign and a fixed-point magnitude: a0 in eighths, b1 in 2^-13, b2 in
    // 2^-14, c12 in 2^-22 above two bits the host ignores (set at random: a host that
    // reads them is wrong). The defaults sit between the ranges of remote 1 (below) and
    // remote 2 (above) for a0 and the 30-degree reading, so that the two remotes and the
    // defaults always differ.
    const double side = remote == 1 ? -1.0 : 1.0;
    SimCalibration c;
    c.barometer[0] = static_cast<int16_t>(std::lround((2180.25 + side * draw(2.0, 100.0)) * 8));
    c.barometer[1] = static_cast<int16_t>(-std::lround(draw(2.50, 2.66) * 8192));
    c.barometer[2] = static_cast<int16_t>(-std::lround(draw(1.00, 1.10) * 16384));
    c.barometer[3] =
        static_cast<int16_t>((std::lround(draw(3570.0, 3946.0)) << 2) | static_cast<long>(h >> 62));
    c.thermometerAt30 =
        static_cast<uint16_t>(std::lround(SIM_THERMOMETER_AT30 + side * draw(2.0, 50.0)));
    c.thermometerAt85 = static_cast<uint16_t>(c.thermometerAt30 + std::lround(draw(300.0, 360.0)));
    return c;
}

RemoteSignals::RemoteSignals(uint64_t seedValue, int remoteNumber)
    : RemoteSignals(seedValue, remoteNumber, SimCalibration::forRemote(seedValue, remoteNumber)) {}

RemoteSignals::RemoteSignals(uint64_t seedValue, int remoteNumber,
                             const SimCalibration& calibration)
    : seed(seedValue), remote(remoteNumber), constants(calibration) {
    uint64_t h = splitmix(seed * 31 + static_cast<uint64_t>(remote));
    phase = twoPi * unitFromHash(h);
    heartPeriod = 60.0 / (64.0 + 16.0 * unitFromHash(splitmix(h + 1))); // 64..80 beats a minute
    batteryStart = 3.90 + 0.15 * unitFromHash(splitmix(h + 2));

    // The host's derivation of the barometer's floating coefficients from its four words.
    auto sign = [](int16_t w) { return w < 0 ? -1.0 : 1.0; };
    auto mag = [](int16_t w) { return static_cast<uint32_t>(std::abs(static_cast<int32_t>(w))); };
    const int16_t* words = constants.barometer;
    uint32_t m = mag(words[0]);
    a0 = sign(words[0]) * ((m & 7) * 0.125 + ((m >> 3) & 0xFFF));
    m = mag(words[1]);
    b1 = sign(words[1]) * ((m & 0x1FFF) * std::ldexp(1.0, -13) + ((m >> 13) & 3));
    m = mag(words[2]);
    b2 = sign(words[2]) * ((m & 0x3FFF) * std::ldexp(1.0, -14) + ((m >> 14) & 1));
    c12 = sign(words[3]) * ((mag(words[3]) >> 2) & 0x1FFF) * std::ldexp(1.0, -22);
}

double RemoteSignals::noise(int type, int axis, int64_t sampleNumber) const {
    uint64_t h = splitmix(
        seed ^ splitmix(static_cast<uint64_t>(remote) << 56 ^ static_cast<uint64_t>(type) << 48 ^
                        static_cast<uint64_t>(axis) << 40 ^ static_cast<uint64_t>(sampleNumber)));
    return 2.0 * unitFromHash(h) - 1.0;
}

double RemoteSignals::batteryVolts(double seconds) const {
    // About 70 mV an hour, never below a flat cell.
    return std::max(3.3, batteryStart - 0.00002 * seconds);
}

double RemoteSignals::ecgWave(double t) const {
    double beat = std::fmod(t / heartPeriod + phase / twoPi, 1.0);
    return 0.15 * gauss(beat - 0.20, 0.025)    // P
           - 0.10 * gauss(beat - 0.33, 0.010)  // Q
           + 1.20 * gauss(beat - 0.36, 0.012)  // R
           - 0.25 * gauss(beat - 0.39, 0.010)  // S
           + 0.30 * gauss(beat - 0.60, 0.040); // T
}

double RemoteSignals::barometerPressure(int padc, int tadc) const {
    return (a0 + (b1 + c12 * tadc) * padc + b2 * tadc) * 65.0 / 1023.0 + 50.0;
}

double RemoteSignals::barometerTemperature(int tadc) { return (tadc - 605.75) / -5.35; }

double RemoteSignals::thermometerTemperature(uint32_t raw) const {
    double reading = static_cast<double>(raw) * thermoNumerator / thermoDenominator;
    const double at30 = constants.thermometerAt30, at85 = constants.thermometerAt85;
    return (reading - at30) * 55.0 / (at85 - at30) + 30.0;
}

std::vector<double> RemoteSignals::physical(int type, int config, double t) const {
    switch (type) {
    case SIM_ACCELEROMETER: {
        // Gravity on a box tilting back and forth, plus a shake, in g.
        double tilt = 0.3 * std::sin(twoPi * 0.25 * t + phase);
        return {std::sin(tilt) + 0.10 * std::sin(twoPi * 1.7 * t),
                0.05 * std::sin(twoPi * 0.9 * t + 2.0 * phase),
                std::cos(tilt) + 0.15 * std::sin(twoPi * 1.1 * t)};
    }
    case SIM_MAGNETOMETER:
        return {20.0, -5.0, -43.0}; // the earth's field in the box's frame, microtesla
    case SIM_GYROSCOPE: {
        // The tilt rate about y, and a slow turn about the vertical, rad/s.
        double tiltRate = 0.3 * twoPi * 0.25 * std::cos(twoPi * 0.25 * t + phase);
        return {0.3 * std::sin(twoPi * 0.5 * t), tiltRate, 1.2 * std::sin(twoPi * 0.2 * t + phase)};
    }
    case SIM_FORCE: {
        // A half-sine push of 10 N for 0.5 s every 2 s.
        double inPeriod = std::fmod(t + phase / twoPi, 2.0);
        return {inPeriod < 0.5 ? 10.0 * std::sin(3.141592653589793 * inPeriod / 0.5) : 0.0};
    }
    case SIM_WHEEL: {
        // A cart rolling out 0.6 m and back every 5 s: position (m) and velocity (m/s).
        double w = twoPi * 0.2;
        return {0.3 * (1.0 - std::cos(w * t)), 0.3 * w * std::sin(w * t)};
    }
    case SIM_MICROPHONE: return {0.4 * std::sin(twoPi * 440.0 * t)};
    case SIM_LIGHT:
        return {1.2 + 0.3 * std::sin(twoPi * 100.0 * t)}; // a lamp flickering at twice the mains
    case SIM_BATTERY: return {batteryVolts(t)};
    case SIM_HIGH_GAIN: return {0.25 * std::sin(twoPi * 2.0 * t + phase)};
    case SIM_DIGITAL: {
        std::vector<double> lines(8);
        for (int j = 0; j < 8; ++j) {
            bool bit = static_cast<int64_t>(std::floor(t * 0.5 * (j + 1))) % 2 != 0;
            lines[j] = j + (bit ? 0.5 : 0.0);
        }
        return lines;
    }
    case SIM_ECG: {
        // Right arm, left arm, left leg electrodes, millivolts.
        double e = ecgWave(t);
        return {-0.35 * e, 0.15 * e, 0.65 * e};
    }
    case SIM_ANALOG7:
    case SIM_ANALOG8:
    case SIM_ANALOG9: {
        int channel = type - SIM_ANALOG7;
        if (config == 47) {
            // Chest electrodes of the six-channel ECG, millivolts.
            static constexpr double gain[3] = {0.5, 0.9, 1.1};
            return {gain[channel] * ecgWave(t - 0.01 * channel)};
        }
        return {1.5 + 1.0 * std::sin(twoPi * 0.5 * t + channel * twoPi / 3.0)}; // volts
    }
    case SIM_BAROMETER:
        return {101.3 + 0.03 * std::sin(twoPi * 0.05 * t), 22.0 + 0.1 * std::sin(twoPi * 0.01 * t)};
    case SIM_THERMOMETER: return {22.5 + 0.2 * std::sin(twoPi * t / 60.0)};
    default: return {};
    }
}

std::vector<double> RemoteSignals::encode(int type, int config, int rate, int64_t sampleNumber,
                                          std::vector<uint8_t>& out) const {
    if (rate <= 0)
        return {};
    double t = static_cast<double>(sampleNumber) / rate;
    std::vector<double> p = physical(type, config, t);
    auto jitter = [&](int axis, double amplitude) {
        return amplitude * noise(type, axis, sampleNumber);
    };

    switch (type) {
    case SIM_ACCELEROMETER: {
        double v[3] = {p[0] + jitter(0, 0.004), p[1] + jitter(1, 0.004), p[2] + jitter(2, 0.004)};
        return encodeTriple(v, accelOffset, accelScale, 0, out);
    }
    case SIM_MAGNETOMETER: {
        double v[3] = {p[0] + jitter(0, 0.3), p[1] + jitter(1, 0.3), p[2] + jitter(2, 0.3)};
        return encodeTriple(v, magOffset, magScale, 1, out);
    }
    case SIM_GYROSCOPE: {
        double v[3] = {p[0] + jitter(0, 0.005), p[1] + jitter(1, 0.005), p[2] + jitter(2, 0.005)};
        return encodeTriple(v, gyroOffset, gyroScale, 0, out);
    }
    case SIM_ECG: {
        double v[3] = {p[0] + jitter(0, 0.01), p[1] + jitter(1, 0.01), p[2] + jitter(2, 0.01)};
        const float offsets[3] = {ecgOffset, ecgOffset, ecgOffset};
        const float scales[3] = {ecgScale, ecgScale, ecgScale};
        return encodeTriple(v, offsets, scales, 2, out);
    }
    case SIM_FORCE:
        return {encodeChannel(p[0] + jitter(0, 0.02), forceOffset, forceScale, 0, 4095, out)};
    case SIM_MICROPHONE:
        return {encodeChannel(p[0] + jitter(0, 0.005), 0.0f, audioScale, -32768, 32767, out)};
    case SIM_LIGHT:
        return {encodeChannel(p[0] + jitter(0, 0.004), 0.0f, audioScale, 0, 32767, out)};
    case SIM_BATTERY: return {encodeChannel(p[0], 0.0f, batteryScale, 0, 32767, out)};
    case SIM_HIGH_GAIN:
        return {
            encodeChannel(p[0] + jitter(0, 0.002), highGainOffset, highGainScale, 0, 4095, out)};
    case SIM_ANALOG7:
    case SIM_ANALOG8:
    case SIM_ANALOG9:
        if (config == 47)
            return {encodeChannel(p[0] + jitter(0, 0.01), ecgOffset, ecgScale, 0, 4095, out)};
        return {encodeChannel(p[0] + jitter(0, 0.002), 0.0f,
                              config == 12 ? analogScale12 : analogScale, 0, 4095, out)};
    case SIM_DIGITAL: {
        uint8_t byte = 0;
        for (int j = 0; j < 8; ++j)
            if (p[j] > j + 0.25)
                byte |= static_cast<uint8_t>(1u << j);
        out.push_back(byte);
        return p;
    }
    case SIM_WHEEL: {
        // Counts in this sample: the change of the rounded count position since the
        // previous sample, so that the running sum is the position itself.
        double previous = static_cast<double>(sampleNumber - 1) / rate;
        double before = physical(type, config, previous)[0];
        int32_t count =
            static_cast<int32_t>(std::lround(p[0] * wheelScale) - std::lround(before * wheelScale));
        count = std::clamp(count, -32768, 32767);
        appendWord(out, count);
        double position =
            static_cast<double>(std::lround(p[0] * wheelScale) -
                                std::lround(physical(type, config, -1.0 / rate)[0] * wheelScale));
        return {position / wheelScale, count / static_cast<double>(wheelScale) * rate};
    }
    case SIM_BAROMETER: {
        int tadc = quantise(605.75 - 5.35 * (p[1] + jitter(1, 0.05)), 0, 1023);
        double target = (p[0] + jitter(0, 0.02) - 50.0) * 1023.0 / 65.0;
        int padc = quantise((target - a0 - b2 * tadc) / (b1 + c12 * tadc), 0, 1023);
        appendWord(out, padc << 6);
        appendWord(out, tadc << 6);
        return {barometerPressure(padc, tadc), barometerTemperature(tadc)};
    }
    case SIM_THERMOMETER: {
        const double at30 = constants.thermometerAt30, at85 = constants.thermometerAt85;
        double reading = (p[0] + jitter(0, 0.02) - 30.0) * (at85 - at30) / 55.0 + at30;
        auto raw = static_cast<uint32_t>(
            std::max<long>(0, std::lround(reading * thermoDenominator / thermoNumerator)));
        out.push_back(static_cast<uint8_t>(raw >> 24));
        out.push_back(static_cast<uint8_t>(raw >> 16));
        out.push_back(static_cast<uint8_t>(raw >> 8));
        out.push_back(static_cast<uint8_t>(raw));
        return {thermometerTemperature(raw)};
    }
    default: return {};
    }
}
