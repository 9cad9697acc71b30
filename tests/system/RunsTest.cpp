// Several runs in one acquisition, and recording again into an acquisition that already
// holds runs: every run must reload with exactly the samples, times and rates it had live,
// and nothing written to a raw file may become unreadable. Expected counts come from what
// the kit says it sent, not from the library.
#include "tests/system/KitFixture.h"
#include "tools/dongle-sim/SimLayout.h"

#include <bit>
#include <cmath>

using namespace kit;

namespace {

// Samples per sensor type the library must take from `frames`: every run (a run restarts the
// kit's frame index) skips its warm-up frames (counter below 10) and takes the rest.
struct Expected {
    std::map<int, size_t> samples;
    int64_t frames = 0;   // 10 ms frames from each run's first taken frame to its last
    double rate(int type) const { return frames ? double(samples.at(type)) * 100.0 / double(frames) : 0.0; }
};

Expected expectedOf(const std::vector<SimDataFrame>& frames) {
    Expected out;
    int64_t first = -1, last = -1, previousIndex = -1;
    auto closeRun = [&] {
        if (first >= 0) out.frames += last - first + 1;
        first = last = -1;
    };
    for (const auto& frame : frames) {
        if (frame.frameIndex <= previousIndex) closeRun();
        previousIndex = frame.frameIndex;
        if (first < 0 && frame.counter < 10) continue;
        if (first < 0) first = frame.frameIndex;
        last = frame.frameIndex;
        for (const auto& s : frame.samples) ++out.samples[s.type];
    }
    closeRun();
    return out;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](float x, float y) { return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y); });
}

using Snapshot = std::map<std::pair<int, int>, Series>;   // (remote, sensor type) -> samples

class RunsTest : public KitTest {
protected:
    // The non-digital sensors of configurations 38 and 6 (one series each is enough here).
    Snapshot snapshot(const std::map<int, std::vector<int>>& sensors) {
        Snapshot out;
        for (const auto& [remote, types] : sensors)
            for (int type : types) out[{remote, type}] = query(remote, type);
        return out;
    }

    void expectSame(const Snapshot& live, const Snapshot& reloaded) {
        for (const auto& [key, series] : live) {
            SCOPED_TRACE("remote " + std::to_string(key.first) + " sensor " + std::to_string(key.second));
            const Series& other = reloaded.at(key);
            ASSERT_GT(series.size(), 0u);
            EXPECT_EQ(series.size(), other.size());
            EXPECT_EQ(series.reportedRate, other.reportedRate);
            EXPECT_TRUE(sameBits(series.time, other.time)) << "times differ";
            ASSERT_EQ(series.values.size(), other.values.size());
            for (size_t a = 0; a < series.values.size(); ++a) {
                EXPECT_TRUE(sameBits(series.values[a], other.values[a])) << "axis " << a;
                EXPECT_TRUE(sameBits(series.raw[a], other.raw[a])) << "raw axis " << a;
            }
        }
    }

    void reload(const std::string& id) {
        bson_t result;
        api->acquisitionManagement(&result, 1, id.c_str());
        bson_destroy(&result);
        ASSERT_EQ(currentAcquisitionID(), id);
    }
};

const std::map<int, std::vector<int>> sensors38And6 = {{1, {SIM_ACCELEROMETER, SIM_WHEEL, SIM_FORCE, SIM_BAROMETER}},
                                                       {2, {SIM_LIGHT, SIM_BAROMETER, SIM_THERMOMETER}}};

// Start, stop, start again, three times, without keeping: one acquisition, three runs. The
// live samples are what the kit sent (each run skipping its own warm-up, the pauses not
// counted as time), and the reload gives them back bit for bit.
TEST_F(RunsTest, SeveralRunsReloadAsTheyWereLive) {
    ASSERT_TRUE(waitReady());
    ASSERT_TRUE(configure(1, 38));
    ASSERT_TRUE(configure(2, 6));
    for (int run = 0; run < 3; ++run) ASSERT_TRUE(stream(300ms)) << run;
    const std::string id = currentAcquisitionID();
    auto raws = recordings(".raw");
    ASSERT_EQ(raws.size(), 1u);
    ASSERT_TRUE(waitFor([&] { return fs::file_size(raws[0]) == dataBytesSent(); }, 3s)) << "every frame recorded";

    Snapshot live = snapshot(sensors38And6);
    for (const auto& [remote, types] : sensors38And6) {
        Expected expected = expectedOf(framesOf(remote));
        for (int type : types) {
            SCOPED_TRACE("remote " + std::to_string(remote) + " sensor " + std::to_string(type));
            const Series& series = live[{remote, type}];
            ASSERT_EQ(series.size(), expected.samples[type]);
            EXPECT_NEAR(series.rate(), expected.rate(type), expected.rate(type) * 1e-5);   // float times
            EXPECT_NEAR(series.time.back(), series.size() / expected.rate(type), 1e-3);
        }
    }

    ASSERT_TRUE(api->stackAcquisition());
    reload(id);
    expectSame(live, snapshot(sensors38And6));
    EXPECT_TRUE(commandsSeen("STOP_DATA").size() == 3u) << "the reload sent nothing to the dongle";
}

// Another configuration for a remote of a recorded acquisition keeps that acquisition whole
// on the stack; the next run records into a new one. Both reload as they were live.
TEST_F(RunsTest, AnotherConfigurationKeepsTheRecordedRun) {
    ASSERT_TRUE(waitReady());
    ASSERT_TRUE(configure(1, 38));
    ASSERT_TRUE(configure(2, 6));
    ASSERT_TRUE(stream(300ms));
    const std::string first = currentAcquisitionID();
    Snapshot firstLive = snapshot(sensors38And6);

    ASSERT_TRUE(configure(1, 45));
    const std::string second = currentAcquisitionID();
    ASSERT_NE(second, first);
    ASSERT_TRUE(stream(300ms));
    const std::map<int, std::vector<int>> sensors45And6 = {{1, {SIM_HIGH_GAIN}}, {2, {SIM_LIGHT, SIM_BAROMETER}}};
    Snapshot secondLive = snapshot(sensors45And6);
    // The carried remote starts afresh in the new acquisition: only the second run's samples.
    EXPECT_LT(secondLive[std::pair(2, SIM_LIGHT)].size(), firstLive[std::pair(2, SIM_LIGHT)].size() * 3 / 2);

    ASSERT_TRUE(api->stackAcquisition());
    reload(first);
    expectSame(firstLive, snapshot(sensors38And6));
    ASSERT_TRUE(api->stackAcquisition());
    reload(second);
    expectSame(secondLive, snapshot(sensors45And6));
}

// A reloaded two-remote recording, recorded into again with one remote and the same
// configuration: the other remote's samples stay, the reload gives every run back, and the
// reload never disturbs the dongle.
TEST_F(RunsTest, RecordingIntoAReloadedRunWithOneRemote) {
    ASSERT_TRUE(waitReady());
    ASSERT_TRUE(configure(1, 38));
    ASSERT_TRUE(configure(2, 6));
    ASSERT_TRUE(stream(300ms));
    const std::string id = currentAcquisitionID();
    Snapshot before = snapshot(sensors38And6);
    ASSERT_TRUE(api->stackAcquisition());
    reload(id);
    expectSame(before, snapshot(sensors38And6));

    ASSERT_TRUE(configure(1, 38));
    ASSERT_EQ(currentAcquisitionID(), id) << "the same layout records beside the earlier run";
    ASSERT_TRUE(stream(300ms));
    Snapshot live = snapshot(sensors38And6);
    EXPECT_GT(live[std::pair(1, SIM_ACCELEROMETER)].size(), before[std::pair(1, SIM_ACCELEROMETER)].size());
    EXPECT_EQ(live[std::pair(2, SIM_LIGHT)].size(), before[std::pair(2, SIM_LIGHT)].size());

    ASSERT_TRUE(api->stackAcquisition());
    reload(id);
    expectSame(live, snapshot(sensors38And6));
    EXPECT_EQ(countScripts("ERROR"), 0) << "no remote was left without a layout";
    EXPECT_EQ(commandsSeen("STOP_DATA").size(), 2u);
}

}  // namespace
