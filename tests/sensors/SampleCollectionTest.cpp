#include "device/sensors/SampleCollection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

// A stored one-axis recording at `rate`: sample k (from 1) has raw 100 * k and value k,
// frame total k * framesPerSample.
std::unique_ptr<SampleCollection> recording(double rate, int count, int samplesPerFrame = 1) {
    auto c = std::make_unique<SampleCollection>(SampleLayout{7, 1, rate}, 1);
    for (int k = 1; k <= count; ++k) {
        Sample s(7, 1);
        s.raw[0] = 100 * k;
        s.values[0] = static_cast<float>(k);
        s.remote = 1;
        s.frameTotal = static_cast<uint32_t>((k - 1) / samplesPerFrame + 1);
        c->append(s);
    }
    return c;
}

Sample record(double time, uint32_t frameTotal, int raw, float value) {
    Sample s(1, 1);
    s.time = time;
    s.frameTotal = frameTotal;
    s.raw[0] = raw;
    s.values[0] = value;
    return s;
}

std::string stderrOf(const std::function<void()>& fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

} // namespace

TEST(SampleCollection, StoredSamplesGiveBackEveryFieldAndFollowTheRate) {
    SampleCollection c(SampleLayout{1, 3, 400}, 3);
    Sample s(1, 3);
    s.raw = {-200, 100, 300};
    s.values = {1.5f, -2.5f, 3.25f};
    s.remote = 2;
    s.frame = 255;
    s.index = 7;
    s.frameTotal = 123456;
    c.append(s);
    c.append(&s);
    ASSERT_EQ(c.size(), 2u);
    const Sample back = c.at(1);
    EXPECT_EQ(back.sensorType, 1);
    EXPECT_EQ(back.valueCount, 3);
    EXPECT_EQ(back.raw, s.raw);
    EXPECT_EQ(back.values, s.values);
    EXPECT_EQ(back.remote, 2);
    EXPECT_EQ(back.frame, 255);
    EXPECT_EQ(back.index, 7);
    EXPECT_EQ(back.frameTotal, 123456u);
    EXPECT_DOUBLE_EQ(back.time, 2.0 / 400);
    c.edit().setTimeRate(397);
    EXPECT_DOUBLE_EQ(c.at(1).time, 2.0 / 397);
    EXPECT_THROW(c.append(static_cast<const Sample*>(nullptr)), std::invalid_argument);
    EXPECT_THROW(c.append(Sample(1, 1)), std::length_error);
    EXPECT_THROW(c.at(2), std::out_of_range);
    EXPECT_THROW(Sample(1, -1), std::length_error);
}

TEST(SampleCollection, StoredSamplesSurviveManyChunks) {
    auto c = recording(4800, 100000);
    ASSERT_EQ(c->size(), 100000u);
    for (size_t i : {size_t{0}, size_t{4095}, size_t{4096}, size_t{65537}, size_t{99999}}) {
        const Sample s = c->at(i);
        EXPECT_EQ(s.raw[0], static_cast<int32_t>(100 * (i + 1)));
        EXPECT_EQ(s.values[0], static_cast<float>(i + 1));
    }
}

TEST(SampleCollection, NegativeStartAndEndCountBackFromTheLastSample) {
    auto c = recording(100, 1000); // 0.01 .. 10.00 s
    SampleCollection out;
    c->rangeInto(out, -2, -1);
    ASSERT_EQ(out.size(), 201u);
    EXPECT_DOUBLE_EQ(out.at(0).time, 8.0);
    EXPECT_DOUBLE_EQ(out.at(200).time, 10.0);

    // Counting back further than the recording starts at 0.
    SampleCollection all;
    c->rangeInto(all, -50, -1);
    EXPECT_EQ(all.size(), 1000u);
}

TEST(SampleCollection, WindowIncludesTheFirstSampleAfterItsEnd) {
    auto c = recording(100, 10);
    SampleCollection out;
    c->rangeInto(out, 0.015, 0.035);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_DOUBLE_EQ(out.at(0).time, 0.02);
    EXPECT_DOUBLE_EQ(out.at(2).time, 0.04);
    // A rate of 0 is no resampling rather than an infinite period.
    SampleCollection zero(0);
    c->rangeInto(zero, 0.015, 0.035);
    EXPECT_EQ(zero.size(), 3u);
}

TEST(SampleCollection, EmptyWindowsAndFedOutputsAreRefusedWithTheirMessages) {
    auto c = recording(100, 10);
    SampleCollection out;
    EXPECT_EQ(stderrOf([&] { c->rangeInto(out, 1.0, 1.0); }), "ERROR getSampleCollection:: startTime >= endTime1 1\n");
    EXPECT_EQ(stderrOf([&] { c->averageFramesInRangeInto(out, 0.5, 0.2); }),
              "ERROR getSampleCollectionByFrame:: startTime >= endTime0.5 0.2\n");
    EXPECT_EQ(out.size(), 0u);

    out.append(record(0, 0, 0, 0));
    EXPECT_EQ(stderrOf([&] { c->copyLastInto(out); }), "ERROR getLastSample::resampling: input vector already fed!");
    EXPECT_EQ(stderrOf([&] { c->averageFramesInto(out); }), "ERROR SampleCollection:: input vector already fed!\n");
    EXPECT_EQ(stderrOf([&] { c->averageFramesInRangeInto(out, 0, 1); }),
              "ERROR getTimeFrameSamples:: input vector already fed!\n");
    EXPECT_EQ(stderrOf([&] { c->rangeInto(out, 0, 1); }), "ERROR getTimeFrameSamples:: input vector already fed!\n");
    EXPECT_EQ(out.size(), 1u);
}

TEST(SampleCollection, EmptySourceGivesNothingAndReadsNothing) {
    SampleCollection empty(SampleLayout{7, 1, 100}, 1);
    auto out = std::make_shared<SampleCollection>(25);
    empty.copyLastInto(out);
    empty.rangeInto(out, -1, -1);
    empty.rangeInto(out, 0, 5);
    empty.averageFramesInto(out);
    empty.averageFramesInRangeInto(out, -3, -1);
    EXPECT_EQ(out->size(), 0u);
}

TEST(SampleCollection, AveragingWindowsWeighEachSampleByItsInterval) {
    auto c = recording(100, 100); // 0.01 .. 1.00 s, values 1..100, raw 100..10000
    SampleCollection out(25);
    c->rangeInto(out, 0, 1);
    ASSERT_GE(out.size(), 24u);
    const Sample first = out.at(0);
    EXPECT_NEAR(first.time, 0.04, 1e-12);
    EXPECT_NEAR(first.values[0], 2.5, 1e-5); // mean of 1, 2, 3, 4
    EXPECT_EQ(first.raw[0], 250);            // quarter shares of 100 .. 400
    EXPECT_EQ(first.frameTotal, 1u);         // metadata of the window's first sample
    const Sample second = out.at(1);
    EXPECT_NEAR(second.time, 0.08, 1e-12);
    EXPECT_NEAR(second.values[0], 6.5, 1e-4); // mean of 5 .. 8
    EXPECT_EQ(second.frameTotal, 5u);
}

TEST(SampleCollection, AveragedRawIsTruncatedOnceTowardZero) {
    // Four samples share the first 40 ms window a quarter each. Raw 2, 2, 2, 4 sum to 2.5,
    // which truncates to 2; truncating after every share would leave at most 1. Negated, the
    // result truncates toward zero (-2, not -3).
    for (int sign : {1, -1}) {
        SampleCollection c(SampleLayout{7, 1, 100}, 1);
        for (int raw : {2, 2, 2, 4, 4, 4, 4, 4}) {
            Sample s(7, 1);
            s.raw[0] = sign * raw;
            s.values[0] = static_cast<float>(sign * raw);
            s.remote = 1;
            s.frameTotal = 1;
            c.append(s);
        }
        SampleCollection out(25);
        c.rangeInto(out, 0, 0.08);
        ASSERT_GE(out.size(), 1u);
        EXPECT_EQ(out.at(0).raw[0], sign * 2) << sign;
        EXPECT_NEAR(out.at(0).values[0], sign * 2.5, 1e-5) << sign;
    }
}

TEST(SampleCollection, InterpolationHitsSamplesExactlyAndIsLinearBetween) {
    // Sample spacing 1/256 s, output period 1/1024 s: both exact in binary.
    auto c = recording(256, 64);
    SampleCollection out(1024);
    c->rangeInto(out, 0, 0.05);
    ASSERT_GE(out.size(), 8u);
    // Output times 1/1024, 2/1024, ...; before the first sample they hold its values.
    EXPECT_DOUBLE_EQ(out.at(0).time, 1.0 / 1024);
    EXPECT_EQ(out.at(0).values[0], 1.0f);
    // 4/1024 is sample 1's time: its values exactly.
    EXPECT_DOUBLE_EQ(out.at(3).time, 4.0 / 1024);
    EXPECT_EQ(out.at(3).values[0], 1.0f);
    EXPECT_EQ(out.at(3).raw[0], 100);
    // 5/1024 is a quarter of the way from sample 1 to sample 2.
    EXPECT_FLOAT_EQ(out.at(4).values[0], 1.25f);
    EXPECT_EQ(out.at(4).raw[0], 125);
    EXPECT_EQ(out.at(4).frameTotal, 2u); // metadata of the later sample
    // Every output lies strictly before the window end.
    EXPECT_LT(out.at(out.size() - 1).time, 0.05);
}

TEST(SampleCollection, AbsurdResamplingRateIsRefused) {
    auto c = recording(100, 1000);
    SampleCollection out(std::numeric_limits<int32_t>::max());
    const std::string err = stderrOf([&] { c->rangeInto(out, 0, 10); });
    EXPECT_NE(err.find("resampling rate too high"), std::string::npos);
    EXPECT_EQ(out.size(), 0u);
}

TEST(SampleCollection, FrameAveragesTruncateRawTowardZero) {
    SampleCollection c;
    for (auto [raw, value] : {std::pair{-1, 1.f}, {-2, 2.f}, {-3, 3.f}, {-6, 6.f}})
        c.append(record(0.01, 7, raw, value));
    for (auto [raw, value] : {std::pair{-1, 0.f}, {-2, 0.f}, {-3, 0.f}, {-5, 0.f}})
        c.append(record(0.02, 8, raw, value));
    SampleCollection out;
    c.averageFramesInto(out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out.at(0).values[0], 3.0f);
    EXPECT_EQ(out.at(0).raw[0], -3);
    EXPECT_DOUBLE_EQ(out.at(0).time, 0.07);
    EXPECT_EQ(out.at(1).raw[0], -2); // -11 / 4 truncates toward zero, not down
}

TEST(SampleCollection, FrameAveragesOfLargeRawValuesDoNotWrap) {
    SampleCollection c;
    c.append(record(0.01, 1, 2000000000, 0));
    c.append(record(0.01, 1, 2000000000, 0));
    SampleCollection out;
    c.averageFramesInto(out);
    EXPECT_EQ(out.at(0).raw[0], 2000000000);
}

TEST(SampleCollection, FrameAveragesInAWindowEndWithTheLastFrame) {
    auto c = recording(400, 400, 4); // 4 samples per 10 ms frame, frames 1 .. 100
    SampleCollection out;
    c->averageFramesInRangeInto(out, 0.5, 99);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.at(0).frameTotal, 50u);
    EXPECT_EQ(out.at(out.size() - 1).frameTotal, 100u);
    EXPECT_EQ(out.size(), 51u);
    EXPECT_FLOAT_EQ(out.at(out.size() - 1).values[0], (397 + 398 + 399 + 400) / 4.0f);

    SampleCollection tail;
    c->averageFramesInRangeInto(tail, -0.1, -1); // the last 0.1 s: frames 90 .. 100
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.at(0).frameTotal, 90u);
    EXPECT_EQ(tail.at(tail.size() - 1).frameTotal, 100u);
}

TEST(SampleCollection, WholeRecordingFrameAveragesAreStampedByFrame) {
    auto c = recording(400, 12, 4);
    auto out = std::make_shared<SampleCollection>();
    c->averageFramesInto(out);
    ASSERT_EQ(out->size(), 3u);
    EXPECT_DOUBLE_EQ(out->at(2).time, 0.03);
    EXPECT_FLOAT_EQ(out->at(2).values[0], 10.5f);
}

TEST(BoundingBoxData, OutOfRangeAxesAreIgnored) {
    BoundingBoxData box(3);
    box.update(5, 1.0f);
    box.update(-1, 1.0f);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(box.max[i], -3.4028235e38f);
        EXPECT_EQ(box.min[i], 3.4028235e38f);
    }
    Sample s(9, 2);
    s.values = {4, -4};
    box.update(s);
    EXPECT_EQ(box.max[0], 4);
    EXPECT_EQ(box.min[1], -4);
    EXPECT_EQ(box.max[2], -3.4028235e38f); // the sample has no third value
}
