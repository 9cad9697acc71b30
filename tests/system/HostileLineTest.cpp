// A run on a hostile line: the kit damages a share of its data frames in one way (junk
// before them, junk inside them, a flipped bit, a cut, a second copy, a counter jump). The
// frames that crossed the line untouched must all be in the raw file, nothing the kit did
// not build may appear there except the frames it damaged, the run must not be cut short,
// the stop must be answered at once, and the recording must reload as it was live. The
// counts come from the kit, not from the library.
#include "tests/support/KitFixture.h"
#include "tools/dongle-sim/SimLayout.h"

namespace {

class HostileLineTest : public KitFixture, public ::testing::WithParamInterface<HostileKind> {
protected:
    void SetUp() override {
        options.model.seed = 11;
        KitFixture::SetUp();
    }
};

TEST_P(HostileLineTest, CostsAtMostTheFramesItTouches) {
    const HostileKind kind = GetParam();
    const bool alters =
        kind == HostileKind::JunkInside || kind == HostileKind::BitFlip || kind == HostileKind::Truncate;
    ASSERT_TRUE(configureBoth(38, 6));

    ASSERT_TRUE(sim->hostileRate(kind, 15));
    const int stopped = ScriptLog::count("dataStopped");
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(waitFrames(160)); // 0.8 s of both remotes
    EXPECT_EQ(ScriptLog::count("dataStopped"), stopped) << "the run was cut short";
    // The last frames before the stop's answer get the act too: the answer must not wait
    // behind them.
    sim->hostileOff();
    sim->hostileNext(kind);
    sim->hostileNext(kind);
    const auto stopAsked = std::chrono::steady_clock::now();
    api->stopDataAcquisition();
    ASSERT_TRUE(waitFor(2s, [&] { return ScriptLog::count("dataStopped") == stopped + 1; })) << "the stop never ended";
    const auto stopTook =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopAsked);

    const Snapshot live = snapshot();
    const LineCount count = lineCount();
    const auto acts = sim->hostileActs();
    std::printf("hostile %s: %zu acts, %zu frames sent (%zu unaltered), %zu recorded, %zu missing, %zu foreign; "
                "stop answered in %lld ms\n",
                hostileKindName(kind), acts.size(), count.sent, count.unaltered, count.recorded, count.missing,
                count.foreign, static_cast<long long>(stopTook.count()));
    ASSERT_GE(acts.size(), 5u);
    EXPECT_EQ(count.missing, 0u) << "frames that crossed the line whole were lost";
    if (alters)
        EXPECT_LE(count.foreign, count.sent - count.unaltered);
    else
        EXPECT_EQ(count.foreign, 0u);

    // Untouched frames decode to exactly the samples the kit sent: a second copy adds none,
    // a jump loses only the frames that never came.
    if (!alters) {
        EXPECT_EQ(live.at({1, SIM_ACCELEROMETER}).size(), truthOf(framesOf(1)).count(SIM_ACCELEROMETER));
        EXPECT_EQ(live.at({2, SIM_LIGHT}).size(), truthOf(framesOf(2)).count(SIM_LIGHT));
    }

    const std::string id = currentAcquisitionID();
    api->stackAcquisition();
    ASSERT_TRUE(reload(id));
    expectSameSamples(live, snapshot());
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileLineTest,
                         ::testing::Values(HostileKind::Garbage, HostileKind::FakeHeader, HostileKind::JunkInside,
                                           HostileKind::BitFlip, HostileKind::Truncate, HostileKind::Duplicate,
                                           HostileKind::CounterJump),
                         [](const auto& info) {
                             std::string name = hostileKindName(info.param);
                             std::erase(name, '-');
                             return name;
                         });

} // namespace
