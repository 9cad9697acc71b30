// The averaging resampler works on the stored columns of a sensor's recording, several
// windows at a time in SIMD lanes and on the query workers, a lock hold at a time; a
// record-form collection holding the same samples goes through the per-record path, one
// sample after the other (Sample::windowStart / windowAccumulate), which is the reference.
// Both must give the same windows bit for bit: values, raw sums (kept exact, truncated
// once), times and metadata. Frame averages likewise.
#include "device/sensors/SampleCollection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

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

void expectSame(const SampleCollection& a, const SampleCollection& b, const std::string& what, bool withRaw = true) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (size_t i = 0; i < a.size(); ++i) {
        const Sample x = a.at(i), y = b.at(i);
        if (withRaw) {
            ASSERT_EQ(x.raw, y.raw) << what << " output " << i;
        }
        ASSERT_EQ(0, std::memcmp(x.values.data(), y.values.data(), sizeof(x.values))) << what << " output " << i;
        ASSERT_EQ(0, std::memcmp(&x.time, &y.time, sizeof x.time)) << what << " output " << i;
        ASSERT_EQ(x.frameTotal, y.frameTotal) << what;
        ASSERT_EQ(x.frame, y.frame) << what;
        ASSERT_EQ(x.index, y.index) << what;
        ASSERT_EQ(x.remote, y.remote) << what;
        ASSERT_EQ(x.valueCount, y.valueCount) << what;
        ASSERT_EQ(x.sensorType, y.sensorType) << what;
    }
}

// Query tuning for one test: tiny holds and workers for every query exercise the pieces,
// the threads and lane groups cut at block edges on small recordings.
struct Tuning {
    SampleCollection::QueryTuning saved = SampleCollection::queryTuning();
    explicit Tuning(size_t samplesPerHold) { SampleCollection::setQueryTuning({samplesPerHold, 0}); }
    ~Tuning() { SampleCollection::setQueryTuning(saved); }
};

void compareRanges(std::initializer_list<int> axesList, int trials, std::mt19937& rng) {
    const double rates[] = {4800, 1000, 397.6, 100, 8000.0 / 3};
    const int32_t targets[] = {1, 3, 25, 99, 250, 999, 1000, 4000};
    // Two empty results agree about nothing: count the comparisons that had samples.
    int compared = 0, withSamples = 0;
    for (int axes : axesList) {
        for (double rate : rates) {
            Recording r(axes, rate);
            fill(r, axes, 20000 + rng() % 5000, rng);
            const double length = r.stored.at(r.stored.size() - 1).time;
            std::uniform_real_distribution<double> at(-length, length * 1.1);
            SampleCollection framesFromStore, framesFromRecords;
            const double from = at(rng), to = at(rng);
            testing::internal::CaptureStderr();
            r.stored.averageFramesInRangeInto(framesFromStore, from, to);
            r.records.averageFramesInRangeInto(framesFromRecords, from, to);
            testing::internal::GetCapturedStderr();
            expectSame(framesFromStore, framesFromRecords, "frames");
            for (int32_t target : targets) {
                if (target > rate) // interpolation shares one path for both forms
                    continue;
                for (int trial = 0; trial < trials; ++trial) {
                    double start = at(rng), end = at(rng);
                    if (trial == 0)
                        start = 0, end = -1; // the whole recording
                    if (trial == 1)
                        start = -2, end = -1; // the last two seconds
                    SampleCollection fromStore(target), fromRecords(target), valuesOnly(target);
                    testing::internal::CaptureStderr(); // empty windows print a message
                    r.stored.rangeInto(fromStore, start, end);
                    r.records.rangeInto(fromRecords, start, end);
                    r.stored.rangeInto(valuesOnly, start, end, false);
                    testing::internal::GetCapturedStderr();
                    const std::string what = "axes " + std::to_string(axes) + " rate " + std::to_string(rate) +
                                             " target " + std::to_string(target) + " window " + std::to_string(start) +
                                             " .. " + std::to_string(end);
                    // The whole recording and its last two seconds always hold samples.
                    if (trial < 2) {
                        ASSERT_FALSE(fromRecords.empty()) << what;
                    }
                    ++compared;
                    withSamples += !fromRecords.empty();
                    expectSame(fromStore, fromRecords, what);
                    expectSame(valuesOnly, fromRecords, what + " values only", false);
                }
            }
        }
    }
    EXPECT_GT(withSamples * 3, compared * 2) << withSamples << " of " << compared << " windows had samples";
}

} // namespace

TEST(ResamplingEquivalence, StoredColumnsAverageExactlyLikeRecords) {
    std::mt19937 rng(20240611);
    compareRanges({1, 3, 8}, 6, rng);
}

TEST(ResamplingEquivalence, PiecesWorkersAndLanesAverageExactlyLikeRecords) {
    const Tuning tiny(3000);
    std::mt19937 rng(99);
    compareRanges({1, 3}, 3, rng);
}

// The parser appends and a recalibration re-times the recording while long extractions are
// read in small pieces: each result is that of one whole recording, at one of its rates.
TEST(ResamplingEquivalence, PiecedExtractionsStayWholeWhileTheRecordingChanges) {
    const Tuning tiny(2000);
    std::mt19937 rng(5);
    Recording r(3, 4800);
    fill(r, 3, 40000, rng);
    // References from record copies at both rates; 0.5 .. 7.5 s lies within the first
    // 36000 samples at either rate, so what the writer appends never reaches it.
    SampleCollection slow(25), fast(25), frames;
    r.stored.edit().setTimeRate(4790);
    SampleCollection recordsSlow;
    r.stored.forEach([&](const Sample& s) { recordsSlow.append(s); });
    recordsSlow.rangeInto(slow, 0.5, 7.5);
    r.stored.edit().setTimeRate(4800);
    r.records.rangeInto(fast, 0.5, 7.5);
    r.records.averageFramesInRangeInto(frames, 0.5, 7.5);
    ASSERT_GT(fast.size(), 150u);

    std::atomic<bool> done{false};
    std::jthread writer([&] {
        Sample s(5, 3);
        for (int block = 0; !done && block < 5000; ++block) {
            {
                auto editor = r.stored.edit();
                for (int i = 0; i < 48; ++i)
                    editor.append(s.raw.data(), s.values.data(), 2, 0, static_cast<uint8_t>(i),
                                  static_cast<uint32_t>(40000 / 48 + 2 + block));
                if (block % 8 == 0)
                    editor.setTimeRate(block % 16 == 0 ? 4790 : 4800);
            }
            std::this_thread::yield();
        }
    });
    auto sameWindows = [](const SampleCollection& a, const SampleCollection& b) {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i) {
            const Sample x = a.at(i), y = b.at(i);
            if (x.raw != y.raw || std::memcmp(x.values.data(), y.values.data(), sizeof x.values) ||
                std::memcmp(&x.time, &y.time, sizeof x.time) || x.frameTotal != y.frameTotal)
                return false;
        }
        return true;
    };
    for (int query = 0; query < 40; ++query) {
        SampleCollection out(25), averaged;
        r.stored.rangeInto(out, 0.5, 7.5);
        EXPECT_TRUE(sameWindows(out, fast) || sameWindows(out, slow)) << "query " << query;
        r.stored.averageFramesInRangeInto(averaged, 0.5, 7.5);
        expectSame(averaged, frames, "frames " + std::to_string(query));
    }
    done = true;
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
