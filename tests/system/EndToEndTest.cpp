// A teacher's run, end to end: the library finds the simulated dongle, configures both
// remotes, streams, stops, and leaves a recording; the dongle pulled and plugged back, also
// in the middle of a run.
#include "tests/system/KitFixture.h"

using namespace kit;

namespace {

class EndToEndTest : public KitTest {};

// Both remotes paired to the dongle but switched off when the library attaches.
class RemotesOffTest : public KitTest {
protected:
    RemotesOffTest() { options.state = DongleSim::StartState::Paired; }
};

TEST_F(EndToEndTest, TwoRemoteRunIsRecordedWhole) {
    ASSERT_TRUE(waitFor(10s, [&] { return api->isDongleConnected(); })) << "dongle not found";
    ASSERT_TRUE(waitReady());
    EXPECT_GE(ScriptLog::count("hardwareStateChanged"), 1);

    ASSERT_TRUE(configure(1, 3));
    ASSERT_TRUE(configure(2, 4));
    ASSERT_TRUE(stream(1500ms));
    EXPECT_EQ(dongleMode(), 8);

    // Every data frame the kit sent is in the raw file, byte for byte in size.
    std::vector<fs::path> raws;
    ASSERT_TRUE(waitFor(3s, [&] {
        raws = recordings(".raw");
        return raws.size() == 1 && fs::file_size(raws[0]) == dataBytesSent();
    }));
    EXPECT_GT(framesOf(1).size() + framesOf(2).size(), 200u);  // 100 frames per second each
    fs::path meta = raws[0];
    meta.replace_extension(".bson");
    EXPECT_TRUE(fs::exists(meta));

    // The acquisition can be kept and a new one starts empty.
    EXPECT_TRUE(api->stackAcquisition());
    EXPECT_FALSE(hardwareBool("remote1.configured"));
}

TEST_F(EndToEndTest, PulledDongleIsNoticedAndFoundAgain) {
    ASSERT_TRUE(waitFor(10s, [&] { return api->isDongleConnected(); }));
    auto pulled = std::chrono::steady_clock::now();
    sim->unplug();
    ASSERT_TRUE(waitFor(5s, [&] { return !api->isDongleConnected(); }));
    auto noticed = std::chrono::steady_clock::now();
    EXPECT_LT(noticed - pulled, 3s);
    EXPECT_EQ(dongleMode(), 1);
    sim->replug();
    ASSERT_TRUE(waitFor(10s, [&] { return api->isDongleConnected() && dongleMode() == 8; }));
}

TEST_F(EndToEndTest, PulledDongleEndsTheRunAndKeepsTheRecording) {
    ASSERT_TRUE(waitFor(10s, [&] { return api->isRemoteConnected(1) && dongleMode() == 8; }));
    ASSERT_TRUE(configure(1, 2));
    api->startDataAcquisition();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStarted") == 1; }));
    std::this_thread::sleep_for(500ms);
    sim->unplug();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    auto raws = recordings(".raw");
    ASSERT_EQ(raws.size(), 1u);
    // The file holds whole data frames only, and the run's samples were re-timed.
    auto frames = splitFrames(readBytes(raws[0]));
    EXPECT_GT(frames.size(), 20u);
    uint64_t bytes = 0;
    for (const auto& frame : frames) {
        bytes += frame.size();
        EXPECT_EQ(frame[1], 0x41);
    }
    EXPECT_EQ(bytes, fs::file_size(raws[0]));
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
    ASSERT_TRUE(stream(300ms));
}

TEST_F(RemotesOffTest, ARemoteThatDoesNotAnswerStaysDisconnectedUntilItComes) {
    ASSERT_TRUE(waitFor(10s, [&] { return ScriptLog::count("DataParser::getNAck: GET_REMOTE_STATUS") == 2; }));
    EXPECT_FALSE(api->isRemoteConnected(1));
    EXPECT_FALSE(api->isRemoteConnected(2));
    sim->radioReturn(1);
    ASSERT_TRUE(waitFor(5s, [&] { return api->isRemoteConnected(1) && dongleMode() == 8; }));
    EXPECT_FALSE(api->isRemoteConnected(2));
}

}  // namespace
