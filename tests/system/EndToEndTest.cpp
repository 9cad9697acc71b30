// A teacher's run, end to end: the library finds the simulated dongle, configures both
// remotes, streams, stops, and leaves a recording; the dongle pulled and plugged back, also
// in the middle of a run.
#include "tests/support/KitFixture.h"

namespace {

class EndToEndTest : public KitFixture {};

// Both remotes paired to the dongle but switched off when the library attaches.
class RemotesOffTest : public KitFixture {
protected:
    RemotesOffTest() { options.state = DongleSim::StartState::Paired; }
};

TEST_F(EndToEndTest, TwoRemoteRunIsRecordedWhole) {
    ASSERT_TRUE(configureBoth(3, 4));
    EXPECT_GE(ScriptLog::count("hardwareStateChanged"), 1);
    ASSERT_TRUE(stream(300)); // 1.5 s of both remotes
    EXPECT_EQ(dongleMode(), 8);

    // Every data frame the kit sent is in the raw file, byte for byte in size.
    ASSERT_TRUE(recordedWhole());
    EXPECT_GT(framesOf(1).size(), 100u); // 100 frames per second each
    EXPECT_GT(framesOf(2).size(), 100u);
    fs::path meta = recordings(".raw")[0];
    EXPECT_TRUE(fs::exists(meta.replace_extension(".bson")));

    // The acquisition can be kept and a new one starts empty.
    EXPECT_TRUE(api->stackAcquisition());
    EXPECT_FALSE(hardwareBool("remote1.configured"));
}

TEST_F(EndToEndTest, PulledDongleIsNoticedAndFoundAgain) {
    ASSERT_TRUE(waitFor(10s, [&] { return api->isDongleConnected(); }));
    auto pulled = std::chrono::steady_clock::now();
    sim->unplug();
    ASSERT_TRUE(waitFor(5s, [&] { return !api->isDongleConnected(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - pulled, 3s);
    EXPECT_EQ(dongleMode(), 1);
    sim->replug();
    ASSERT_TRUE(waitFor(10s, [&] { return api->isDongleConnected() && dongleMode() == 8; }));
}

TEST_F(EndToEndTest, PulledDongleEndsTheRunAndKeepsTheRecording) {
    ASSERT_TRUE(configureBoth(2, 0));
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(waitFrames(50));
    sim->unplug();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    auto raws = recordings(".raw");
    ASSERT_EQ(raws.size(), 1u);
    // The file holds whole data frames only, the kit's own, and the run's samples were re-timed.
    const size_t recorded = expectRecordingIsPrefixOfSent(raws[0]);
    EXPECT_GT(recorded, 20u);
    for (const auto& frame : splitFrames(readBytes(raws[0])))
        EXPECT_EQ(frame[1], 0x41);
    Series samples = query(1, 1);
    ASSERT_GT(samples.size(), 0u);
    EXPECT_NEAR(samples.rate(), 400.0, 12.0);
}

TEST_F(EndToEndTest, RemotesAlreadyOnAreFoundByAskingThemNotByAnAnnouncement) {
    ASSERT_TRUE(waitReady());
    EXPECT_EQ(sim->stats().connectionFramesSent, 0u);
    EXPECT_GE(commandsSeen("GET_REMOTE_STATUS").size(), 2u);
    // Found that way they are as usable as announced ones.
    ASSERT_TRUE(configure(1, 2));
    ASSERT_TRUE(stream(30));
}

TEST_F(RemotesOffTest, ARemoteThatDoesNotAnswerStaysDisconnectedUntilItComes) {
    ASSERT_TRUE(waitFor(10s, [&] { return ScriptLog::count("DataParser::getNAck: GET_REMOTE_STATUS") == 2; }));
    EXPECT_FALSE(api->isRemoteConnected(1));
    EXPECT_FALSE(api->isRemoteConnected(2));
    sim->radioReturn(1);
    ASSERT_TRUE(waitFor(5s, [&] { return api->isRemoteConnected(1) && dongleMode() == 8; }));
    EXPECT_FALSE(api->isRemoteConnected(2));
}

} // namespace
