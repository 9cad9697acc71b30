// The averaging resampler works on the stored columns of a sensor's recording; a record-form
// collection holding the same samples goes through the per-record path. Both must give the
// same windows bit for bit: values, raw sums (kept exact, truncated once), times and metadata.
#include "device/sensors/SampleCollection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

struct Recording {
    SampleCollection stored;
    SampleCollection records;
    Recording(int axes, double rate) : stored(SampleLayout{5, axes, rate}, axes) {}
};

// `count` random samples; every few hundred a frame total step, values and raw values of
// both signs, now and then large enough to reach the truncation limits.
void fill(Recording& r, int axes, size_t count, std::mt19937& rng) {
    std::uniform_int_distribution<int32_t> small(-5000, 5000);
    std::uniform_int_distribution<int32_t> huge(-2000000000, 2000000000);
    std::uniform_real_distribution<float> value(-300.f, 300.f);
    std::uniform_int_distribution<int> pick(0, 99);
    Sample s(5, axes);
    s.remote = 2;
    for (size_t i = 0; i < count; ++i) {
        for (int k = 0; k < axes; ++k) {
            s.raw[k] = pick(rng) == 0 ? huge(rng) : small(rng);
            s.values[k] = value(rng);
        }
        s.frame = static_cast<int16_t>((i / 48) & 0xFF);
        s.index = static_cast<int16_t>(i % 48);
        s.frameTotal = static_cast<uint32_t>(i / 48 + 1);
        r.stored.append(s);
    }
    // The record form gets the stored samples back, times included.
    r.stored.forEach([&](const Sample& back) { r.records.append(back); });
}

void expectSame(const SampleCollection& a, const SampleCollection& b, const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (size_t i = 0; i < a.size(); ++i) {
        const Sample x = a.at(i), y = b.at(i);
        ASSERT_EQ(x.raw, y.raw) << what << " output " << i;
        ASSERT_EQ(0, std::memcmp(x.values.data(), y.values.data(), sizeof(x.values)))
            << what << " output " << i;
        ASSERT_EQ(0, std::memcmp(&x.time, &y.time, sizeof x.time)) << what << " output " << i;
        ASSERT_EQ(x.frameTotal, y.frameTotal) << what;
        ASSERT_EQ(x.frame, y.frame) << what;
        ASSERT_EQ(x.index, y.index) << what;
        ASSERT_EQ(x.remote, y.remote) << what;
        ASSERT_EQ(x.valueCount, y.valueCount) << what;
        ASSERT_EQ(x.sensorType, y.sensorType) << what;
    }
}

} // namespace

TEST(ResamplingEquivalence, StoredColumnsAverageExactlyLikeRecords) {
    std::mt19937 rng(20240611);
    const double rates[] = {4800, 1000, 397.6, 100, 8000.0 / 3};
    const int32_t targets[] = {1, 3, 25, 99, 250, 999, 1000, 4000};
    for (int axes : {1, 3, 8}) {
        for (double rate : rates) {
            Recording r(axes, rate);
            fill(r, axes, 20000 + rng() % 5000, rng);
            const double length = r.stored.at(r.stored.size() - 1).time;
            std::uniform_real_distribution<double> at(-length, length * 1.1);
            for (int32_t target : targets) {
                if (target > rate) // interpolation shares one path for both forms
                    continue;
                for (int trial = 0; trial < 6; ++trial) {
                    double start = at(rng), end = at(rng);
                    if (trial == 0)
                        start = 0, end = -1; // the whole recording
                    if (trial == 1)
                        start = -2, end = -1; // the last two seconds
                    SampleCollection fromStore(target), fromRecords(target);
                    testing::internal::CaptureStderr(); // empty windows print a message
                    r.stored.rangeInto(fromStore, start, end);
                    r.records.rangeInto(fromRecords, start, end);
                    testing::internal::GetCapturedStderr();
                    expectSame(fromStore, fromRecords,
                               "axes " + std::to_string(axes) + " rate " + std::to_string(rate) +
                                   " target " + std::to_string(target) + " window " +
                                   std::to_string(start) + " .. " + std::to_string(end));
                }
            }
        }
    }
}

TEST(ResamplingEquivalence, RecalibratedRecordingAveragesOnItsNewTimes) {
    std::mt19937 rng(7);
    Recording r(1, 800);
    fill(r, 1, 20000, rng);
    r.stored.edit().setTimeRate(797.3);
    SampleCollection records;
    r.stored.forEach([&](const Sample& s) { records.append(s); });
    SampleCollection fromStore(50), fromRecords(50);
    r.stored.rangeInto(fromStore, 0, -1);
    records.rangeInto(fromRecords, 0, -1);
    ASSERT_GT(fromStore.size(), 1000u);
    expectSame(fromStore, fromRecords, "recalibrated");
}

// Averaging 4800 Hz down to 1 Hz gives each sample a share of 1/4800 of its window: the raw
// sum must keep those shares, not truncate each one away.
TEST(ResamplingEquivalence, HeavilyAveragedRawValuesKeepTheirLevel) {
    Recording r(1, 4800.0);
    Sample s(5, 1);
    for (size_t i = 0; i < 4800 * 5; ++i) {
        s.raw[0] = 1000;
        s.values[0] = 2.5f;
        s.frameTotal = static_cast<uint32_t>(i / 48 + 1);
        r.stored.append(s);
    }
    r.stored.forEach([&](const Sample& back) { r.records.append(back); });
    SampleCollection fromStored(1), fromRecords(1);
    r.stored.rangeInto(fromStored, 0.0, -1.0);
    r.records.rangeInto(fromRecords, 0.0, -1.0);
    expectSame(fromStored, fromRecords, "1 Hz");
    ASSERT_GE(fromStored.size(), 4u);
    for (size_t i = 0; i + 1 < fromStored.size(); ++i) {
        EXPECT_NEAR(fromStored.at(i).raw[0], 1000, 1) << i;
        EXPECT_NEAR(fromStored.at(i).values[0], 2.5f, 1e-3) << i;
    }
}
