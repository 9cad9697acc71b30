// A program killed in the middle of a run (SIGKILL: no chance to flush or close) leaves a
// recording that is listed and reloads with every frame up to at most 100 ms before the
// kill.
//
// The kit runs in this process; the recording program is this same test binary started
// again with KORVEX_RECORD_UNTIL_KILLED set, which runs the RecordingChild case: it starts
// the library, configures both remotes, starts a run, says "recording" on its standard
// output and waits to be killed.
#include "KitFixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

extern char** environ;

namespace reliability {
namespace {

using namespace std::chrono_literals;

TEST(CrashSafetyChild, RecordingChild) {
    if (!std::getenv("KORVEX_RECORD_UNTIL_KILLED")) GTEST_SKIP() << "started only by CrashSafety";
    IKorvexAPI* api = getConcreteIKorvexAPI(ScriptLog::capture);
    api->startAPI();
    auto mode = [&] {
        bson_t doc;
        api->getHardwareState(&doc);
        int m = int32Or(&doc, "dongleMode", -1);
        bson_destroy(&doc);
        return m;
    };
    auto configured = [&](int remote) {
        bson_t doc;
        api->getHardwareState(&doc);
        bool c = boolOr(&doc, ("remote" + std::to_string(remote) + ".configured").c_str(), false);
        bson_destroy(&doc);
        return c;
    };
    if (!waitFor(10s, [&] { return api->isRemoteConnected(1) && api->isRemoteConnected(2) && mode() == 8; }))
        _exit(3);
    api->setFixedConfig(1, 3);
    api->setFixedConfig(2, 4);
    // The configuration's own reply is the last of its follow-ups: then a start does not overtake them.
    auto fixedConfig = [&](int remote) {
        bson_t doc;
        api->getHardwareState(&doc);
        int c = int32Or(&doc, ("remote" + std::to_string(remote) + ".fixedConfig").c_str(), -1);
        bson_destroy(&doc);
        return c;
    };
    if (!waitFor(10s, [&] { return configured(1) && configured(2) && fixedConfig(1) == 3 && fixedConfig(2) == 4; }))
        _exit(4);
    api->startDataAcquisition();
    if (!waitFor(5s, [&] { return ScriptLog::count("dataStarted") == 1; })) _exit(5);
    std::printf("recording\n");
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(1s);
}

class CrashSafety : public KitFixture {};

TEST_F(CrashSafety, KilledRecorderLeavesAListedRecordingComplete100msBeforeTheKill) {
    startKit();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=CrashSafetyChild.RecordingChild";
    char* argv[] = {self.data(), filter.data(), nullptr};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.emplace_back("KORVEX_RECORD_UNTIL_KILLED=1");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);

    // Wait (bounded) for the child's "recording" line.
    std::string said;
    auto deadline = Clock::now() + 20s;
    while (said.find("recording") == std::string::npos && Clock::now() < deadline) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(out[0], &set);
        timeval tv{0, 100000};
        if (select(out[0] + 1, &set, nullptr, nullptr, &tv) > 0) {
            char buffer[256];
            ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            said.append(buffer, size_t(n));
        }
    }
    close(out[0]);
    if (said.find("recording") == std::string::npos) {
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        FAIL() << "the recording child did not start its run (exit " << WEXITSTATUS(status) << "): " << said;
    }

    // Some 1.2 s of frames from both remotes, then the kill.
    ASSERT_TRUE(waitFor(10s, [&] { return sentFrames().size() >= 240; }));
    // The 100 ms below is the durability under test: frames that old must be on disk.
    const auto killedAt = Clock::now();
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    sim->stop();

    // The file holds exactly the frames the kit sent, in order, whole, up to the kill.
    auto raws = rawFiles();
    ASSERT_EQ(raws.size(), 1u);
    Bytes rest;
    std::vector<Bytes> frames = splitFrames(readBytes(raws[0]), &rest);
    EXPECT_TRUE(rest.empty()) << "the file ends inside a frame";
    std::vector<SentFrame> all = sentFrames();
    ASSERT_LE(frames.size(), all.size());
    for (size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(frames[i], all[i].bytes) << "frame " << i;
    size_t dueBy = 0;
    for (auto& f : all)
        if (f.at <= killedAt - 100ms) ++dueBy;
    EXPECT_GE(frames.size(), dueBy) << "frames sent 100 ms before the kill are missing";
    EXPECT_GT(frames.size(), 150u);

    // A new program finds it, and the reload decodes every frame.
    startApi();
    const std::string id = raws[0].stem().string();
    auto listed = listedAcquisitions();
    ASSERT_EQ(std::count(listed.begin(), listed.end(), id), 1) << "the killed run is not listed";
    bson_t doc;
    api->acquisitionManagement(&doc, 1, id.c_str());
    bson_destroy(&doc);
    ASSERT_EQ(currentAcquisitionID(), id);
    // Samples the recorded frames carry, per remote and sensor.
    std::map<std::pair<int, int>, int> expected;
    // A sensor starts with the remote's frame counter at 10 (the run's first frames are
    // left out, live as on a reload), and the run is shorter than a counter wrap.
    for (size_t i = 0; i < frames.size(); ++i)
        if (all[i].bytes[4] >= 10)
            for (auto [type, n] : all[i].samples) expected[{all[i].remote, type}] += n;
    ASSERT_FALSE(expected.empty());
    for (auto [key, n] : expected) {
        auto [remote, type] = key;
        EXPECT_NEAR(samplesOf(remote, type), n, 1 + n / 100) << "remote " << remote << " sensor " << type;
    }
}

}  // namespace
}  // namespace reliability
