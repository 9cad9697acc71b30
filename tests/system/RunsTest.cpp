// Several runs in one acquisition, and recording again into an acquisition that already
// holds runs: every run must reload with exactly the samples, times and rates it had live,
// and nothing written to a raw file may become unreadable. Expected counts come from what
// the kit says it sent, not from the library.
#include "tests/support/KitFixture.h"
#include "tools/dongle-sim/SimLayout.h"

namespace {

class RunsTest : public KitFixture {};

// The non-digital sensors of configurations 38 and 6 (one series each is enough here).
const std::map<int, std::vector<int>> sensors38And6 = {{1, {SIM_ACCELEROMETER, SIM_WHEEL, SIM_FORCE, SIM_BAROMETER}},
                                                       {2, {SIM_LIGHT, SIM_BAROMETER, SIM_THERMOMETER}}};

// Start, stop, start again, three times, without keeping: one acquisition, three runs. The
// live samples are what the kit sent (each run skipping its own warm-up, the pauses not
// counted as time), and the reload gives them back bit for bit.
TEST_F(RunsTest, SeveralRunsReloadAsTheyWereLive) {
    ASSERT_TRUE(configureBoth(38, 6));
    for (int run = 0; run < 3; ++run)
        ASSERT_TRUE(stream(60)) << run;
    const std::string id = currentAcquisitionID();
    ASSERT_TRUE(recordedWhole()) << "every frame recorded";

    Snapshot live = snapshot(sensors38And6);
    for (const auto& [remote, types] : sensors38And6) {
        const Truth expected = truthOf(framesOf(remote));
        for (int type : types) {
            SCOPED_TRACE("remote " + std::to_string(remote) + " sensor " + std::to_string(type));
            const Series& series = live[{remote, type}];
            const double rate = expected.measuredRate(type);
            ASSERT_EQ(series.size(), expected.count(type));
            EXPECT_NEAR(series.rate(), rate, rate * 1e-5); // float times
            EXPECT_NEAR(series.time.back(), series.size() / rate, 1e-3);
        }
    }

    ASSERT_TRUE(api->stackAcquisition());
    ASSERT_TRUE(reload(id));
    expectSameSamples(live, snapshot(sensors38And6));
    EXPECT_TRUE(commandsSeen("STOP_DATA").size() == 3u) << "the reload sent nothing to the dongle";
}

// Another configuration for a remote of a recorded acquisition keeps that acquisition whole
// on the stack; the next run records into a new one. Both reload as they were live.
TEST_F(RunsTest, AnotherConfigurationKeepsTheRecordedRun) {
    ASSERT_TRUE(configureBoth(38, 6));
    ASSERT_TRUE(stream(60));
    const std::string first = currentAcquisitionID();
    Snapshot firstLive = snapshot(sensors38And6);

    ASSERT_TRUE(configure(1, 45));
    const std::string second = currentAcquisitionID();
    ASSERT_NE(second, first);
    ASSERT_TRUE(stream(60));
    const std::map<int, std::vector<int>> sensors45And6 = {{1, {SIM_HIGH_GAIN}}, {2, {SIM_LIGHT, SIM_BAROMETER}}};
    Snapshot secondLive = snapshot(sensors45And6);
    // The carried remote starts afresh in the new acquisition: only the second run's samples.
    EXPECT_LT(secondLive[std::pair(2, SIM_LIGHT)].size(), firstLive[std::pair(2, SIM_LIGHT)].size() * 3 / 2);

    ASSERT_TRUE(api->stackAcquisition());
    ASSERT_TRUE(reload(first));
    expectSameSamples(firstLive, snapshot(sensors38And6));
    ASSERT_TRUE(api->stackAcquisition());
    ASSERT_TRUE(reload(second));
    expectSameSamples(secondLive, snapshot(sensors45And6));
}

// A reloaded two-remote recording, recorded into again with one remote and the same
// configuration: the other remote's samples stay, the reload gives every run back, and the
// reload never disturbs the dongle.
TEST_F(RunsTest, RecordingIntoAReloadedRunWithOneRemote) {
    ASSERT_TRUE(configureBoth(38, 6));
    ASSERT_TRUE(stream(60));
    const std::string id = currentAcquisitionID();
    Snapshot before = snapshot(sensors38And6);
    ASSERT_TRUE(api->stackAcquisition());
    ASSERT_TRUE(reload(id));
    expectSameSamples(before, snapshot(sensors38And6));

    ASSERT_TRUE(configure(1, 38));
    ASSERT_EQ(currentAcquisitionID(), id) << "the same layout records beside the earlier run";
    ASSERT_TRUE(stream(30));
    Snapshot live = snapshot(sensors38And6);
    EXPECT_GT(live[std::pair(1, SIM_ACCELEROMETER)].size(), before[std::pair(1, SIM_ACCELEROMETER)].size());
    EXPECT_EQ(live[std::pair(2, SIM_LIGHT)].size(), before[std::pair(2, SIM_LIGHT)].size());

    ASSERT_TRUE(api->stackAcquisition());
    ASSERT_TRUE(reload(id));
    expectSameSamples(live, snapshot(sensors38And6));
    EXPECT_EQ(ScriptLog::count("ERROR"), 0) << "no remote was left without a layout";
    EXPECT_EQ(commandsSeen("STOP_DATA").size(), 2u);
}

} // namespace
