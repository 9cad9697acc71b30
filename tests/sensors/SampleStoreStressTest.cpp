// The parser appends while a query thread extracts windows and a third thread recalibrates:
// every extraction must see whole samples of one consistent recording. Run it under
// ThreadSanitizer with scripts/sanitize.sh.
#include "device/sensors/SensorClasses.h"
#include "tests/sensors/Frames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

namespace {

constexpr int samplesPerBlock = 48; // a 4800 Hz sensor
constexpr int packets = 4000;

// Sample k of the recording (from 0) has raw value k modulo 30000.
Bytes lightFrame(int packet) {
    Bytes payload;
    for (int i = 0; i < samplesPerBlock; ++i) {
        const Bytes w = words({(packet * samplesPerBlock + i) % 30000});
        payload.insert(payload.end(), w.begin(), w.end());
    }
    return dataFrame(1, (10 + packet) & 0xFF, 7, payload);
}

// Consecutive samples of one extraction: raw values count up by one, times by one period,
// values are the conversion of the raw value, frame totals never go back.
void checkRun(const SampleCollection& out, std::atomic<int>& failures) {
    const size_t n = out.size();
    for (size_t i = 1; i < n; ++i) {
        const Sample a = out.at(i - 1), b = out.at(i);
        if ((a.raw[0] + 1) % 30000 != b.raw[0] || b.values[0] != b.raw[0] / 500.0f || b.frameTotal < a.frameTotal ||
            !(b.time > a.time))
            ++failures;
    }
    if (n > 2) {
        const double period = out.at(1).time - out.at(0).time;
        const double last = out.at(n - 1).time - out.at(n - 2).time;
        if (std::abs(period - last) > 1e-9)
            ++failures;
    }
}

} // namespace

TEST(SampleStoreStress, AppendExtractAndRecalibrateConcurrently) {
    Light light(1, 4800);
    std::vector<Bytes> frames;
    for (int p = 0; p < packets; ++p)
        frames.push_back(lightFrame(p));

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<int> extractions{0};
    std::atomic<int> recalibrations{0};

    std::latch start(3);
    std::jthread parser([&] {
        start.arrive_and_wait();
        for (int p = 0; p < packets; ++p) {
            light.parse(frames[p], 7);
            if (p % 64 == 0)
                std::this_thread::yield(); // let the others in at varying points
        }
        done = true;
    });
    std::jthread reader([&] {
        start.arrive_and_wait();
        do {
            SampleCollection window;
            light.samples.rangeInto(window, -0.05, -1);
            checkRun(window, failures);
            SampleCollection frames;
            light.samples.averageFramesInRangeInto(frames, 0, -1);
            if (frames.size() > 0 && frames.at(frames.size() - 1).frameTotal < frames.at(0).frameTotal)
                ++failures;
            SampleCollection last;
            if (!light.samples.empty())
                light.samples.copyLastInto(last);
            (void)light.sampleRate.load();
            ++extractions;
        } while (!done);
    });
    std::jthread recalibrator([&] {
        start.arrive_and_wait();
        do {
            light.recalibrate();
            ++recalibrations;
            std::this_thread::yield();
        } while (!done);
    });
    parser.join();
    reader.join();
    recalibrator.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(extractions.load(), 0);
    EXPECT_GT(recalibrations.load(), 0);
    ASSERT_EQ(light.samples.size(), static_cast<size_t>(packets * samplesPerBlock));
    light.recalibrate();
    SampleCollection all;
    light.samples.rangeInto(all, 0, -1);
    EXPECT_EQ(all.size(), light.samples.size());
    checkRun(all, failures);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_DOUBLE_EQ(light.sampleRate, packets * samplesPerBlock / (packets * 0.01));
}
