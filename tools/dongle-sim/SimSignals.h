// The physical world behind a simulated remote, and its encoding into sensor bytes.
//
// Every sensor of a remote watches one scene: a hand-held box tilted and shaken under
// gravity, the earth's field, a slow rotation, a force probe pressed in pulses, a cart on
// a wheel encoder, a 440 Hz tone, a mains-flickering lamp, room air at about 101.3 kPa and
// 22 degrees, a heartbeat on the ECG electrodes, slow ramps on the analog inputs, a
// battery slowly running down. Each value is turned into the raw words the remote would
// send, so that a host decoding them with the constants the remote reports (its own factory
// constants for the barometer and thermometer, the host's defaults for the rest) gets the
// scene back (within one raw step).
//
// Signals are pure functions of (seed, remote, sensor, sample number): the same seed gives
// the same bytes whatever the order or pace in which frames are built.
#pragma once

#include <cstdint>
#include <vector>

// The host's default barometer and thermometer constants.
// A 64-bit mixing step (splitmix64): seeds and hashes of the simulated kit, the same on
// every platform.
inline uint64_t splitmix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline constexpr int16_t SIM_BAROMETER_A0 = 17442;
inline constexpr int16_t SIM_BAROMETER_B1 = -21149;
inline constexpr int16_t SIM_BAROMETER_B2 = -17190;
inline constexpr int16_t SIM_BAROMETER_C12 = 15032;
inline constexpr uint16_t SIM_THERMOMETER_AT85 = 2607;
inline constexpr uint16_t SIM_THERMOMETER_AT30 = 2280;

// The factory constants a remote reports through its calibration reply. Real remotes each
// carry their own; a host that never stores them, or applies one remote's to the other,
// decodes pressure and temperature slightly wrong, which only shows when they differ.
struct SimCalibration {
    int16_t barometer[4] = {SIM_BAROMETER_A0, SIM_BAROMETER_B1, SIM_BAROMETER_B2,
                            SIM_BAROMETER_C12};
    uint16_t thermometerAt85 = SIM_THERMOMETER_AT85; // raw reading at 85 degrees
    uint16_t thermometerAt30 = SIM_THERMOMETER_AT30; // raw reading at 30 degrees

    // Constants of remote `remote` under `seed`: near the defaults (a few percent off, as
    // parts differ), so that room air still reads about 101 kPa and 22 degrees.
    static SimCalibration forRemote(uint64_t seed, int remote);
    bool operator==(const SimCalibration&) const = default;
};

class RemoteSignals {
public:
    // `calibration`: the remote's factory constants; by default its own for this seed.
    RemoteSignals(uint64_t seed, int remote);
    RemoteSignals(uint64_t seed, int remote, const SimCalibration& calibration);

    // Appends the bytes of sample `sampleNumber` of sensor `type`, streamed at `rate` in
    // fixed configuration `config`, to `out`, and returns the values a host decoding them
    // with the reported constants obtains (per sensor: the axes, the channel value,
    // pressure and temperature, wheel position and velocity, or the 8 digital lines).
    // A type the remote cannot stream appends nothing and returns no values.
    std::vector<double> encode(int type, int config, int rate, int64_t sampleNumber,
                               std::vector<uint8_t>& out) const;

    // The scene itself at time t (seconds since the stream started), before quantisation:
    // what the decoded values approximate. Same value layout as encode().
    std::vector<double> physical(int type, int config, double t) const;

    // Battery voltage `seconds` after the remote was switched on.
    double batteryVolts(double seconds) const;

    const SimCalibration& calibration() const { return constants; }

    // Decoding of the barometer's words with this remote's coefficients, and of the
    // thermometer's raw reading with its constants, as a host does it.
    double barometerPressure(int padc, int tadc) const;
    static double barometerTemperature(int tadc);
    double thermometerTemperature(uint32_t raw) const;

private:
    // Uniform noise in [-1, 1], a pure function of its arguments.
    double noise(int type, int axis, int64_t sampleNumber) const;
    double ecgWave(double t) const;

    uint64_t seed;
    int remote;
    double phase;        // per-remote phase offset of the motion
    double heartPeriod;  // seconds per beat
    double batteryStart; // volts when switched on
    SimCalibration constants;
    double a0, b1, b2, c12; // the barometer's coefficients, derived from its words
};
