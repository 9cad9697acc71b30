#include "device/base/HardwareState.h"
#include "device/sensors/RemoteConfiguration.h"
#include "tests/sensors/Frames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

std::string stderrOf(const std::function<void()>& fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

void feed(Sensor& s, const Bytes& frame) { s.parse(frame, 7); }

} // namespace

TEST(FrameBookkeeping, FirstFramesBelowTenAreIgnoredAndTheFirstAcceptedCountsOne) {
    Light light(1, 400);
    EXPECT_FALSE(light.acceptFrame(5));
    EXPECT_TRUE(light.awaitingFirstFrame);
    EXPECT_TRUE(light.acceptFrame(12));
    EXPECT_EQ(light.frameTotal, 1);
    EXPECT_DOUBLE_EQ(light.elapsedTime, 0.01);
    EXPECT_EQ(light.packetCount, 1);
}

TEST(FrameBookkeeping, CounterWrapsAndRepeatsAndGaps) {
    Light light(1, 400);
    for (int c : {254, 255, 0, 1})
        EXPECT_TRUE(light.acceptFrame(static_cast<uint8_t>(c)));
    EXPECT_EQ(light.frameTotal, 4);     // the first counts one, then three more across the wrap
    EXPECT_FALSE(light.acceptFrame(1)); // a repeat adds nothing
    EXPECT_EQ(light.frameTotal, 4);

    Light gaps(1, 400);
    gaps.acceptFrame(10);
    gaps.acceptFrame(13); // two packets, four frames
    EXPECT_EQ(gaps.frameTotal, 4);
    EXPECT_EQ(gaps.packetCount, 2);

    // A new run in the same acquisition may begin with the counter the last one ended on.
    gaps.awaitingFirstFrame = true;
    EXPECT_TRUE(gaps.acceptFrame(13));
    EXPECT_EQ(gaps.frameTotal, 5);
}

TEST(Decoding, AccelerometerPayloadOf13BytesGivesTwoSamples) {
    Accelerometer acc(1, 400, nullptr);
    Bytes payload = words({100, 200, 300, 1, 2, 3});
    payload.push_back(0x7F);
    feed(acc, dataFrame(1, 20, 1, payload));
    ASSERT_EQ(acc.samples.size(), 2u);
    const Sample s = acc.samples.at(0);
    EXPECT_EQ(s.raw[0], -200);
    EXPECT_EQ(s.raw[1], 100);
    EXPECT_EQ(s.raw[2], 300);
    EXPECT_EQ(s.values[0], (-200 + 228.5f) / 838.58307f);
    EXPECT_EQ(s.values[1], (100 + 109.0f) / 842.3038f);
    EXPECT_EQ(s.values[2], (300 + 169.5f) / 844.08765f);
    EXPECT_DOUBLE_EQ(s.time, 1.0 / 400);
    EXPECT_EQ(s.remote, 1);
    EXPECT_EQ(s.frame, 20);
    EXPECT_EQ(s.index, 0);
    EXPECT_EQ(s.frameTotal, 1u);
    const Sample t = acc.samples.at(1);
    EXPECT_EQ(t.index, 1);
    EXPECT_DOUBLE_EQ(t.time, 2.0 / 400);
    EXPECT_DOUBLE_EQ(acc.lastSampleTime, 2.0 / 400);
    EXPECT_EQ(acc.sampleCount, 2);
}

TEST(Decoding, AxisWordsMapPerSensorClass) {
    Magnetometer magn(1, 80, nullptr);
    feed(magn, dataFrame(1, 10, 2, words({1, -2, 3})));
    Gyroscope gyro(1, 95, nullptr);
    feed(gyro, dataFrame(1, 10, 3, words({1, -2, 3})));
    Ecg ecg(1, 400);
    feed(ecg, dataFrame(1, 10, 0x80 | 10, words({1, -2, 3}))); // top bit of the type is ignored
    EXPECT_EQ(magn.samples.at(0).raw, (std::array<int32_t, 8>{-1, 2, -3}));
    EXPECT_EQ(gyro.samples.at(0).raw, (std::array<int32_t, 8>{2, 1, 3}));
    EXPECT_EQ(ecg.samples.at(0).raw, (std::array<int32_t, 8>{1, -2, 3}));
}

TEST(Decoding, DigitalByteGivesEightLines) {
    Digital digital(1, 100);
    feed(digital, dataFrame(1, 10, 13, Bytes{0x05}));
    const Sample s = digital.samples.at(0);
    ASSERT_EQ(s.valueCount, 8);
    EXPECT_EQ(s.raw, (std::array<int32_t, 8>{1, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(s.values, (std::array<float, 8>{0.5f, 1, 2.5f, 3, 4, 5, 6, 7}));
}

TEST(Decoding, BarometerCoefficientsAndCompensation) {
    Barometer baro(1, 100);
    baro.deriveCoefficients();
    EXPECT_EQ(baro.a0, 2180.25f);
    EXPECT_EQ(baro.c12, static_cast<float>(3758 * std::ldexp(1.0, -22)));
    EXPECT_FLOAT_EQ(baro.b1, -(4765 / 8192.0f + 2));
    EXPECT_FLOAT_EQ(baro.b2, -(806 / 16384.0f + 1));

    // Padc 0x2A5 (677) from bytes A9 40, Tadc 0x1F0 (496) from 7C 00.
    baro.reset();
    feed(baro, dataFrame(1, 10, 4, Bytes{0xA9, 0x40, 0x7C, 0x00}));
    const Sample s = baro.samples.at(0);
    EXPECT_EQ(s.raw[0], 677);
    EXPECT_EQ(s.raw[1], 496);
    EXPECT_TRUE(baro.coefficientsDerived);
    // Worked by hand from the coefficients above: 2180.25 + (-2.58166504 + 0.00089598 * 496)
    // * 677 - 1.04919434 * 496 = 212.92429; * 65 / 1023 + 50 = 63.52891 kPa.
    EXPECT_NEAR(s.values[0], 63.52891, 1e-4);
    EXPECT_FLOAT_EQ(s.values[1], static_cast<float>((496 - 605.75) / -5.35));

    // A negative coefficient word keeps its sign.
    baro.setCoefficientWords(-17442, 21149, 17190, -15032);
    EXPECT_EQ(baro.a0, -2180.25f);
    EXPECT_EQ(baro.c12, static_cast<float>(-3758 * std::ldexp(1.0, -22)));
}

TEST(Decoding, ThermometerReadingOnTheCalibrationLine) {
    Thermometer thermo(1, 50);
    feed(thermo, dataFrame(1, 10, 26, Bytes{0x00, 0x00, 0x4E, 0x20})); // 20000
    const Sample s = thermo.samples.at(0);
    EXPECT_EQ(s.raw[0], 20000);
    EXPECT_NEAR(s.values[0], (2500.0 - 2280) * 55 / 327 + 30, 1e-4);
    // Equal readings would divide by zero: refused, constants kept.
    EXPECT_FALSE(thermo.setCalibrationPoints(2300, 2300));
    EXPECT_EQ(thermo.calAt85degrees, 2607.0f);
    EXPECT_TRUE(thermo.setCalibrationPoints(2700, 2300));
    EXPECT_EQ(thermo.calAt30degrees, 2300.0f);
}

namespace {

// Slope of velocity over indices [s, e] computed the long way.
double referenceSlope(const std::vector<int>& counts, long s, long e, double rate, double scale) {
    const double n = e - s + 1;
    double mt = 0, mv = 0;
    for (long i = s; i <= e; ++i) {
        mt += i / rate / n;
        mv += rate * counts[i] / scale / n;
    }
    double num = 0, den = 0;
    for (long i = s; i <= e; ++i) {
        num += (i / rate - mt) * (rate * counts[i] / scale - mv);
        den += (i / rate - mt) * (i / rate - mt);
    }
    return num / den;
}

} // namespace

TEST(Decoding, WheelAccelerationIsFilledHalfAWindowLate) {
    Wheel wheel(1, 100);
    std::vector<int> counts;
    for (int i = 0; i < 14; ++i)
        counts.push_back(i * i - 3 * i);
    for (int i = 0; i < 14; ++i) {
        feed(wheel, dataFrame(1, 10 + i, 9, words({counts[i]})));
        if (i == 4) { // five samples: nothing has its window yet
            EXPECT_EQ(wheel.samples.at(0).values[2], 0.0f);
        }
    }
    EXPECT_NEAR(wheel.samples.at(0).values[2], referenceSlope(counts, 0, 5, 100, 1000), 1e-3);
    EXPECT_NEAR(wheel.samples.at(3).values[2], referenceSlope(counts, 0, 8, 100, 1000), 1e-3);
    EXPECT_NEAR(wheel.samples.at(5).values[2], referenceSlope(counts, 0, 10, 100, 1000), 1e-3);
    EXPECT_NEAR(wheel.samples.at(8).values[2], referenceSlope(counts, 3, 13, 100, 1000), 1e-3);
    EXPECT_EQ(wheel.samples.at(9).values[2], 0.0f); // still waiting for later samples

    const Sample s = wheel.samples.at(3);
    EXPECT_EQ(s.raw[0], 0 - 2 - 2 + 0);
    EXPECT_EQ(s.raw[1], 0);
    EXPECT_EQ(s.raw[2], 0 - (-2));
    EXPECT_FLOAT_EQ(s.values[0], -4 / 1000.0f);

    // Recalibrating gives every sample its centred window, clipped at both ends.
    wheel.recalibrate(); // 14 samples over 14 frames: the rate stays 100
    EXPECT_NEAR(wheel.sampleRate, 100.0, 1e-9);
    EXPECT_NEAR(wheel.samples.at(9).values[2], referenceSlope(counts, 4, 13, 100, 1000), 1e-3);
    EXPECT_NEAR(wheel.samples.at(0).values[2], referenceSlope(counts, 0, 5, 100, 1000), 1e-3);

    wheel.resetOffset(0, -1);
    feed(wheel, dataFrame(1, 30, 9, words({7})));
    EXPECT_EQ(wheel.samples.at(14).raw[0], 7);
}

TEST(Recalibrate, MeasuredRateRetimesToTheFrameClock) {
    Light light(1, 400);
    // 100 frames (1.00 s) carrying 397 samples: 97 frames of 4, 3 of 3.
    for (int f = 0; f < 100; ++f) {
        const int n = f < 97 ? 4 : 3;
        Bytes payload;
        for (int i = 0; i < n; ++i) {
            Bytes w = words({100 + f});
            payload.insert(payload.end(), w.begin(), w.end());
        }
        feed(light, dataFrame(1, (10 + f) & 0xFF, 7, payload));
    }
    ASSERT_EQ(light.samples.size(), 397u);
    EXPECT_DOUBLE_EQ(light.elapsedTime, 1.0);
    light.setScale(250);
    light.recalibrate();
    EXPECT_DOUBLE_EQ(light.sampleRate, 397.0);
    EXPECT_EQ(light.samples.at(396).time, 1.0);
    EXPECT_EQ(light.samples.at(0).values[0], 100 / 250.0f); // re-converted
    const auto box = light.samples.boxSnapshot();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->max[0], 199 / 250.0f);

    // Running it again changes nothing.
    const Sample before = light.samples.at(200);
    light.recalibrate();
    const Sample after = light.samples.at(200);
    EXPECT_EQ(after.time, before.time);
    EXPECT_EQ(after.values, before.values);
    EXPECT_EQ(light.samples.boxSnapshot()->max, box->max);
    EXPECT_EQ(light.samples.boxSnapshot()->min, box->min);
}

TEST(Recalibrate, WithoutAnyAcceptedFrameTheNominalRateStays) {
    Force force(1, 200, nullptr);
    force.recalibrate();
    EXPECT_DOUBLE_EQ(force.sampleRate, 200.0);
    EXPECT_TRUE(std::isfinite(force.sampleRate));
}

TEST(OffsetReset, ForceTareIsTheWindowMeanMinusTheOffset) {
    Force force(1, 100, nullptr);
    feed(force, dataFrame(1, 10, 8, words({2000})));
    feed(force, dataFrame(1, 11, 8, words({2100})));
    feed(force, dataFrame(1, 12, 8, words({2110})));
    force.resetOffset(0.015, 0.03); // selects the samples at 0.02 and 0.03
    EXPECT_EQ(force.tare, 58.0f);
    // Stored samples keep their values until recalibrate.
    EXPECT_EQ(force.samples.at(2).values[0], (2110 - 2047.0f) / -120.0f);
    force.recalibrate();
    EXPECT_EQ(force.samples.at(2).values[0], (2110 - 2047.0f - 58.0f) / -120.0f);

    Force empty(1, 100, nullptr);
    empty.resetOffset(0, 1);
    EXPECT_EQ(empty.tare, 0.0f);
}

TEST(Decoding, MalformedBlocksAreRefusedWithoutCountingTheFrame) {
    Accelerometer acc(1, 400, nullptr);
    EXPECT_EQ(stderrOf([&] { feed(acc, dataFrame(1, 20, 3, words({1, 2, 3}))); }), "** ERROR Wrong sensor type");
    Bytes truncated = dataFrame(1, 20, 1, words({1, 2, 3, 4, 5, 6}));
    truncated.resize(12); // the payload claims 12 bytes but the frame ends early
    EXPECT_FALSE(stderrOf([&] { acc.parse(truncated, 7); }).empty());
    EXPECT_FALSE(stderrOf([&] { acc.parse(Bytes{0x02, 0x41}, 7); }).empty());
    EXPECT_FALSE(stderrOf([&] { acc.parse(dataFrame(1, 20, 1, words({1, 2, 3})), 60000); }).empty());
    EXPECT_EQ(acc.samples.size(), 0u);
    EXPECT_TRUE(acc.awaitingFirstFrame);
    EXPECT_EQ(acc.packetCount, 0);
}

TEST(Decoding, CountLargerThanItsSlotIsRefusedAndTheNextBlockStillDecodes) {
    // One accelerometer sample in a 6-byte slot, then a light and a battery block; the
    // count byte claims 12 bytes, which would make the next blocks' bytes a second sample.
    Bytes frame = dataFrame(1, 20, {Block{1, words({1, 2, 3})}, Block{7, words({500})}, Block{11, words({600, 700})}});
    frame[8] = 12;
    Accelerometer acc(1, 400, nullptr);
    EXPECT_FALSE(stderrOf([&] { acc.parse(frame, 7, 6); }).empty());
    EXPECT_EQ(acc.samples.size(), 0u);
    EXPECT_EQ(acc.packetCount, 0);
    Light light(1, 400);
    light.parse(frame, 7 + 2 + 6, 2); // a count as large as its slot is whole
    ASSERT_EQ(light.samples.size(), 1u);
    EXPECT_EQ(light.samples.at(0).raw[0], 500);
}

TEST(CombinedEcg, CountLargerThanTheElectrodeSlotIsRefused) {
    Ecg6 ecg6(1, 400);
    const std::map<int32_t, int32_t> lengths = {{10, 12}, {21, 6}, {22, 6}, {23, 6}};
    Bytes frame = dataFrame(1, 15,
                            {Block{10, words({1, 2, 3, 4, 5, 6})}, Block{21, words({7, 8, 9})},
                             Block{22, words({7, 8, 9})}, Block{23, words({7, 8, 9})}});
    frame[8] = 18; // three samples in a slot of two: the third would be the next block's bytes
    EXPECT_FALSE(stderrOf([&] { ecg6.parseCombined(frame, lengths); }).empty());
    EXPECT_EQ(ecg6.samples.size(), 0u);
    EXPECT_EQ(ecg6.packetCount, 0);
}

TEST(FixedConfigurations, Configuration12ScalesTheAnalogInputsFor3Volts3) {
    RemoteConfiguration c8(1, 77, 8, nullptr, nullptr);
    RemoteConfiguration c12(1, 77, 12, nullptr, nullptr);
    ASSERT_EQ(c8.sensors.size(), 5u);
    ASSERT_EQ(c12.sensors.size(), 5u);
    for (auto& [type, sensor] : c8.sensors) {
        Sensor* other = c12.sensor(type);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(other->nominalRate, sensor->nominalRate);
    }
    for (int type : {21, 22, 23}) {
        feed(*c8.sensor(type), dataFrame(1, 10, type, words({4095})));
        feed(*c12.sensor(type), dataFrame(1, 10, type, words({4095})));
        EXPECT_FLOAT_EQ(c8.sensor(type)->samples.at(0).values[0], 3.0f);
        EXPECT_FLOAT_EQ(c12.sensor(type)->samples.at(0).values[0], 3.3f);
    }
    EXPECT_EQ(static_cast<ScalarSensor*>(c12.sensor(12))->scale, 1911.0f); // only the analog ones
}

TEST(FixedConfigurations, TableRowsBuildTheirSensorsAndUnknownNumbersNone) {
    RemoteConfiguration c38(2, 77, 38, nullptr, nullptr);
    EXPECT_EQ(c38.sensors.size(), 11u);
    EXPECT_EQ(c38.sensor(2)->nominalRate, 80.0);
    EXPECT_EQ(c38.sensor(4)->remote, 2);
    EXPECT_EQ(c38.sensor(26), nullptr);

    for (int config : {0, 11, 13, 31, 48, -1}) {
        std::unique_ptr<RemoteConfiguration> c;
        EXPECT_EQ(stderrOf([&] { c = std::make_unique<RemoteConfiguration>(1, 77, config, nullptr, nullptr); }),
                  "ERROR: fixed configuration not managed!!!\n");
        EXPECT_TRUE(c->sensors.empty());
    }
    std::unique_ptr<RemoteConfiguration> c47;
    EXPECT_EQ(stderrOf([&] { c47 = std::make_unique<RemoteConfiguration>(1, 77, 47, nullptr, nullptr); }), "");
    ASSERT_EQ(c47->sensors.size(), 1u);
    EXPECT_EQ(c47->sensor(241)->axisCount, 6);
    EXPECT_EQ(c47->sensor(241)->samples.boxSnapshot()->count, 9);
}

TEST(FixedConfigurations, RemoteIdComesFromTheHardwareStateWhenNotGiven) {
    HardwareState state;
    state.remoteStatus(2)->remoteID = 0x12AB;
    RemoteConfiguration fromState(2, 0, 2, &state, nullptr);
    EXPECT_EQ(fromState.remoteId, 0x12AB);
    RemoteConfiguration given(2, 0x55, 2, &state, nullptr);
    EXPECT_EQ(given.remoteId, 0x55);
    RemoteConfiguration none(2, 0, 2, nullptr, nullptr);
    EXPECT_EQ(none.remoteId, 0);

    none.setSensorDataLength(1, 12);
    EXPECT_EQ(none.sensorDataLength(1), 12);
    EXPECT_EQ(none.sensorDataLength(3), 0);
    none.replaceSensorDataLengths({{3, 6}}, false);
    EXPECT_EQ(none.sensorDataLength(1), 0);
    EXPECT_FALSE(none.configured);
}

TEST(CombinedEcg, Configuration47AssemblesSixChannelsFromFourBlocks) {
    RemoteConfiguration c47(1, 77, 47, nullptr, nullptr);
    Sensor* ecg6 = c47.sensor(241);
    ASSERT_NE(ecg6, nullptr);
    const std::map<int32_t, int32_t> lengths = {{10, 12}, {21, 4}, {22, 4}, {23, 4}};
    // Two samples: the first block's 12 bytes / 6. Blocks keep their reserved slots.
    const Bytes frame = dataFrame(1, 15,
                                  {Block{10, words({2047, 2524, 1093, 0, 477, 2047})}, Block{21, words({100, 200})},
                                   Block{22, words({300}), 4}, // one valid word, padded
                                   Block{23, words({500, 600})}});
    ecg6->parse(frame, 7); // ignored: the combined sensor decodes whole frames only
    EXPECT_EQ(ecg6->samples.size(), 0u);
    ecg6->parseCombined(frame, lengths);
    ASSERT_EQ(ecg6->samples.size(), 2u);
    const Sample s = ecg6->samples.at(0);
    EXPECT_EQ(s.sensorType, 241);
    EXPECT_EQ(s.valueCount, 6);
    EXPECT_EQ(s.raw, (std::array<int32_t, 8>{2047, 2524, 1093, 100, 300, 500}));
    EXPECT_EQ(s.values[0], 0.0f);
    EXPECT_EQ(s.values[1], 1.0f);
    EXPECT_EQ(s.values[2], -2.0f);
    const Sample t = ecg6->samples.at(1);
    EXPECT_EQ(t.raw[3], 200);
    EXPECT_EQ(t.raw[4], static_cast<int16_t>(0xEEEE)); // padding of a short block is read as is
    EXPECT_EQ(t.index, 1);

    float leads[9];
    Ecg6::leads(s.values.data(), leads);
    const float c3 = (100 - 2047) / 477.0f;
    EXPECT_FLOAT_EQ(leads[0], -1.0f);
    EXPECT_FLOAT_EQ(leads[1], 2.0f);
    EXPECT_FLOAT_EQ(leads[2], 3.0f);
    EXPECT_FLOAT_EQ(leads[3], -0.5f);
    EXPECT_FLOAT_EQ(leads[4], -2.0f);
    EXPECT_FLOAT_EQ(leads[5], 2.5f);
    EXPECT_FLOAT_EQ(leads[6], (0.0f + 1.0f - 2.0f) / 3 - c3);

    ecg6->recalibrate();
    const auto box = ecg6->samples.boxSnapshot();
    EXPECT_FLOAT_EQ(box->max[2], 3.0f);
    EXPECT_FLOAT_EQ(box->min[3], std::min(-0.5f, (t.values[1] + t.values[2]) / 2 - t.values[0]));
}

TEST(CombinedEcg, ShortFramesAreRefusedBeforeTheFrameCounts) {
    Ecg6 ecg6(1, 400);
    const std::map<int32_t, int32_t> lengths = {{10, 12}, {21, 4}};
    Bytes frame = dataFrame(1, 15, {Block{10, words({1, 2, 3, 4, 5, 6})}, Block{21, words({7, 8})}});
    frame.resize(frame.size() - 4); // the analog block's second word is missing
    EXPECT_FALSE(stderrOf([&] { ecg6.parseCombined(frame, lengths); }).empty());
    EXPECT_EQ(ecg6.samples.size(), 0u);
    EXPECT_EQ(ecg6.packetCount, 0);
    // An empty first block accepts the frame and adds nothing.
    ecg6.parseCombined(dataFrame(1, 16, {Block{10, Bytes{}}}), lengths);
    EXPECT_EQ(ecg6.packetCount, 1);
    EXPECT_EQ(ecg6.samples.size(), 0u);
}
