// The simulated remotes' bytes, decoded here the way the host decodes them, must give
// back the scene: gravity, the earth's field, room air, a heartbeat.
#include "tools/dongle-sim/SimLayout.h"
#include "tools/dongle-sim/SimSignals.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

int16_t word(const std::vector<uint8_t>& b, std::size_t at) { return static_cast<int16_t>((b[at] << 8) | b[at + 1]); }

// Host decoding with default constants, and the remote's own ones for the barometer and
// thermometer, written independently of the encoder.
std::vector<double> hostDecode(int type, int config, const std::vector<uint8_t>& b, const SimCalibration& k) {
    switch (type) {
    case SIM_ACCELEROMETER:
        return {(-word(b, 2) + 228.5) / 838.58307, (word(b, 0) + 109.0) / 842.3038, (word(b, 4) + 169.5) / 844.08765};
    case SIM_MAGNETOMETER:
        return {(-word(b, 0) + 3504.0) / 77.04, (-word(b, 2) - 3453.0) / 86.59, (-word(b, 4) - 2953.5) / 81.7};
    case SIM_GYROSCOPE: return {(-word(b, 2) + 15.0) / 938.7, (word(b, 0) + 70.0) / 938.7, (word(b, 4) - 78.0) / 938.7};
    case SIM_ECG: return {(word(b, 0) - 2047.0) / 477, (word(b, 2) - 2047.0) / 477, (word(b, 4) - 2047.0) / 477};
    case SIM_FORCE: return {(word(b, 0) - 2047.0) / -120.0};
    case SIM_MICROPHONE:
    case SIM_LIGHT: return {word(b, 0) / 500.0};
    case SIM_BATTERY: return {word(b, 0) / 682.5};
    case SIM_HIGH_GAIN: return {(word(b, 0) - 2047.0) / 1911.0};
    case SIM_ANALOG7:
    case SIM_ANALOG8:
    case SIM_ANALOG9:
        if (config == 47)
            return {(word(b, 0) - 2047.0) / 477};
        return {word(b, 0) / (config == 12 ? 1240.909 : 1365.0)};
    case SIM_BAROMETER: {
        int padc = ((b[0] << 2) & 0x3FF) | (b[1] >> 6);
        int tadc = ((b[2] << 2) & 0x3FF) | (b[3] >> 6);
        // Every word is a signed magnitude in units of 1/8, 2^-13, 2^-14 and (above two
        // unused bits) 2^-22.
        auto scaled = [](int16_t w, double unit, int unused = 0) {
            return (w < 0 ? -1 : 1) * double(std::abs(int(w)) >> unused) * unit;
        };
        double a0 = scaled(k.barometer[0], 1.0 / 8), b1 = scaled(k.barometer[1], 1.0 / 8192),
               b2 = scaled(k.barometer[2], 1.0 / 16384), c12 = scaled(k.barometer[3], 1.0 / (1 << 22), 2);
        return {(a0 + (b1 + c12 * tadc) * padc + b2 * tadc) * 65 / 1023 + 50, (tadc - 605.75) / -5.35};
    }
    case SIM_THERMOMETER: {
        uint32_t raw = (uint32_t(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
        return {((raw * 50.0 / 400.0) - k.thermometerAt30) * 55 / (k.thermometerAt85 - k.thermometerAt30) + 30};
    }
    case SIM_DIGITAL: {
        std::vector<double> lines;
        for (int j = 0; j < 8; ++j)
            lines.push_back(j + 0.5 * ((b[0] >> j) & 1));
        return lines;
    }
    default: return {};
    }
}

// How far a decoded value may sit from the scene: noise plus one raw step.
double tolerance(int type, int config) {
    switch (type) {
    case SIM_ACCELEROMETER: return 0.006;
    case SIM_MAGNETOMETER: return 0.35;
    case SIM_GYROSCOPE: return 0.007;
    case SIM_ECG: return 0.013;
    case SIM_FORCE: return 0.03;
    case SIM_BAROMETER: return 0.4; // 10-bit pressure steps are about 0.14 kPa, 0.2 degree
    case SIM_THERMOMETER: return 0.05;
    case SIM_DIGITAL: return 0;
    case SIM_ANALOG7:
    case SIM_ANALOG8:
    case SIM_ANALOG9: return config == 47 ? 0.013 : 0.003;
    default: return 0.01;
    }
}

} // namespace

TEST(SimSignals, HostDecodingOfEveryBlockGivesTheSceneBack) {
    // A remote with its own constants, and one with the defaults.
    for (const RemoteSignals& signals : {RemoteSignals(7, 1), RemoteSignals(7, 2, SimCalibration{})}) {
        for (int config : simConfigurations()) {
            for (const auto& block : simBlockLayout(config)) {
                SCOPED_TRACE("config " + std::to_string(config) + " type " + std::to_string(block.type));
                for (int64_t n : {0, 1, 37, 250, 1999}) {
                    std::vector<uint8_t> bytes;
                    auto decoded = signals.encode(block.type, config, block.rate, n, bytes);
                    ASSERT_EQ(bytes.size(), static_cast<std::size_t>(block.sampleSize));
                    if (block.type == SIM_WHEEL)
                        continue; // needs the running sum: its own test
                    auto host = hostDecode(block.type, config, bytes, signals.calibration());
                    auto scene = signals.physical(block.type, config, double(n) / block.rate);
                    ASSERT_EQ(decoded.size(), host.size());
                    ASSERT_EQ(scene.size(), host.size());
                    for (std::size_t k = 0; k < host.size(); ++k) {
                        EXPECT_NEAR(decoded[k], host[k], 1e-4) << "axis " << k;
                        EXPECT_NEAR(host[k], scene[k], tolerance(block.type, config)) << "axis " << k;
                    }
                }
            }
        }
    }
}

// A host that drops a remote's constants, or uses the other remote's, reads room air wrong:
// the remotes of every seed differ from the defaults and from each other by far more than
// the end-to-end tests tolerate, yet read the same plausible scene with their own.
TEST(SimSignals, EveryRemoteHasItsOwnFactoryConstants) {
    int unusedBitsSet = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        const SimCalibration own[2] = {SimCalibration::forRemote(seed, 1), SimCalibration::forRemote(seed, 2)};
        EXPECT_EQ(own[0], SimCalibration::forRemote(seed, 1));
        EXPECT_NE(own[0], SimCalibration::forRemote(seed + 1, 1));
        unusedBitsSet += (own[0].barometer[3] & 3) != 0;
        for (int r = 0; r < 2; ++r) {
            RemoteSignals signals(seed, r + 1);
            std::vector<uint8_t> baro, thermo;
            auto pressure = signals.encode(SIM_BAROMETER, 6, 100, 5, baro)[0];
            auto temperature = signals.encode(SIM_THERMOMETER, 6, 50, 5, thermo)[0];
            EXPECT_NEAR(pressure, 101.3, 0.4);
            EXPECT_NEAR(temperature, 22.5, 0.3);
            EXPECT_NEAR(hostDecode(SIM_BAROMETER, 6, baro, own[r])[0], pressure, 1e-9);
            EXPECT_NEAR(hostDecode(SIM_THERMOMETER, 6, thermo, own[r])[0], temperature, 1e-9);
            for (const SimCalibration& wrong : {SimCalibration{}, own[1 - r]}) {
                EXPECT_GT(std::fabs(hostDecode(SIM_BAROMETER, 6, baro, wrong)[0] - pressure), 0.01);
                EXPECT_GT(std::fabs(hostDecode(SIM_THERMOMETER, 6, thermo, wrong)[0] - temperature), 0.01);
            }
        }
    }
    EXPECT_GT(unusedBitsSet, 10) << "the bits a host must ignore are set";
}

TEST(SimSignals, ValuesArePhysicallyPlausible) {
    RemoteSignals signals(3, 2);
    double gravity = 0, field = 0, pressureLow = 1e9, pressureHigh = 0, forcePeak = 0;
    const int rate = 100;
    for (int64_t n = 0; n < 10 * rate; ++n) {
        std::vector<uint8_t> b;
        auto a = signals.encode(SIM_ACCELEROMETER, 3, rate, n, b);
        gravity += std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) / (10 * rate);
        auto m = signals.encode(SIM_MAGNETOMETER, 3, rate, n, b);
        field += std::sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]) / (10 * rate);
        auto p = signals.encode(SIM_BAROMETER, 6, rate, n, b);
        pressureLow = std::min(pressureLow, p[0]);
        pressureHigh = std::max(pressureHigh, p[0]);
        EXPECT_NEAR(p[1], 22.0, 0.5);
        forcePeak = std::max(forcePeak, signals.encode(SIM_FORCE, 4, rate, n, b)[0]);
    }
    EXPECT_NEAR(gravity, 1.0, 0.1); // g
    EXPECT_NEAR(field, 47.0, 3.0);  // microtesla, the earth's field
    EXPECT_GT(pressureLow, 100.5);  // kPa, room air
    EXPECT_LT(pressureHigh, 102.0);
    EXPECT_NEAR(forcePeak, 10.0, 0.5); // N, the pushes
    std::vector<uint8_t> b;
    EXPECT_NEAR(signals.encode(SIM_THERMOMETER, 6, 50, 0, b)[0], 22.5, 0.3);
    EXPECT_GT(signals.batteryVolts(0), 3.8);
    EXPECT_LT(signals.batteryVolts(0), 4.1);
}

TEST(SimSignals, WheelCountsSumToTheCartPosition) {
    RemoteSignals signals(1, 1);
    const int rate = 100;
    long position = 0;
    for (int64_t n = 0; n < 5 * rate; ++n) {
        std::vector<uint8_t> b;
        auto v = signals.encode(SIM_WHEEL, 4, rate, n, b);
        int16_t count = word(b, 0);
        position += count;
        EXPECT_NEAR(v[0], position / 1000.0, 1e-9);
        EXPECT_NEAR(v[1], count / 1000.0 * rate, 1e-9);
        EXPECT_NEAR(position / 1000.0, signals.physical(SIM_WHEEL, 4, double(n) / rate)[0], 0.0006);
    }
    EXPECT_NEAR(position / 1000.0, 0.0, 0.002); // the cart is back after one 5 s trip
}

TEST(SimSignals, SameSeedSameBytesOtherSeedOtherNoise) {
    RemoteSignals a(11, 1), b(11, 1), c(12, 1);
    std::vector<uint8_t> ba, bb, bc;
    for (int64_t n = 0; n < 50; ++n) {
        a.encode(SIM_ACCELEROMETER, 2, 400, n, ba);
        b.encode(SIM_ACCELEROMETER, 2, 400, n, bb);
        c.encode(SIM_ACCELEROMETER, 2, 400, n, bc);
    }
    EXPECT_EQ(ba, bb);
    EXPECT_NE(ba, bc);
}
