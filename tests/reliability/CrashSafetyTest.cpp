// A program killed in the middle of a run (SIGKILL: no chance to flush or close) leaves a
// recording that is listed and reloads with every frame it was given.
//
// The kit runs in this process; the recording program is this same test binary started
// again with KORVEX_RECORD_UNTIL_KILLED set, which runs the RecordingChild case: it starts
// the library, configures both remotes, starts a run, says "recording" on its standard
// output and waits to be killed.
#include "tests/support/KitFixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

extern char** environ;

namespace {

TEST(CrashSafetyChild, RecordingChild) {
    if (!std::getenv("KORVEX_RECORD_UNTIL_KILLED"))
        GTEST_SKIP() << "started only by CrashSafety";
    IKorvexAPI* api = getConcreteIKorvexAPI(ScriptLog::capture);
    api->startAPI();
    auto field = [&](const std::string& path) { // an int or bool of the hardware state, -1 while missing
        bson_t doc;
        api->getHardwareState(&doc);
        const int value = int32Or(&doc, path.c_str(), boolOr(&doc, path.c_str(), false) ? 1 : -1);
        bson_destroy(&doc);
        return value;
    };
    if (!waitFor(10s,
                 [&] { return api->isRemoteConnected(1) && api->isRemoteConnected(2) && field("dongleMode") == 8; }))
        _exit(3);
    api->setFixedConfig(1, 3);
    api->setFixedConfig(2, 4);
    // The configuration's own reply is the last of its follow-ups: then a start does not overtake them.
    if (!waitFor(10s, [&] {
            return field("remote1.configured") == 1 && field("remote2.configured") == 1 &&
                   field("remote1.fixedConfig") == 3 && field("remote2.fixedConfig") == 4;
        }))
        _exit(4);
    api->startDataAcquisition();
    if (!waitFor(5s, [&] { return ScriptLog::count("dataStarted") == 1; }))
        _exit(5);
    std::printf("recording\n");
    std::fflush(stdout);
    for (;;)
        pause(); // until the kill
}

class CrashSafety : public KitFixture {
protected:
    CrashSafety() { apiAtSetUp = false; } // the child runs the library, until the test's own reload
};

TEST_F(CrashSafety, KilledRecorderLeavesAListedRecordingOfEveryFrameItWasGiven) {
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
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    env.emplace_back("KORVEX_RECORD_UNTIL_KILLED=1");
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);

    // Wait (bounded) for the child's "recording" line.
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (said.find("recording") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(out[0], &set);
        timeval tv{0, 100000};
        if (select(out[0] + 1, &set, nullptr, nullptr, &tv) > 0) {
            char buffer[256];
            ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
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

    // Some 1.2 s of frames from both remotes. Then the kit falls silent with the run still on:
    // both remotes leave radio range. A writer that keeps frames back until more come, until
    // a buffer fills or until the file is closed now never writes them; one that hands each
    // frame to the system as it comes writes them all, however slow the machine. So the file
    // must come to hold every frame the kit sent while the recorder still runs, and the kill
    // must not take any of them back.
    ASSERT_TRUE(waitFrames(240));
    sim->radioDrop(1);
    sim->radioDrop(2);
    const bool caughtUp = waitFor(10s, [&] {
        auto raws = recordings(".raw");
        return raws.size() == 1 && fs::file_size(raws[0]) == sentBytes();
    });
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    sim->stop();
    EXPECT_TRUE(caughtUp) << "the recorder held frames back while it ran";
    EXPECT_TRUE(commandsSeen("STOP_DATA").empty()) << "the run was stopped before the kill";

    // The file holds exactly the frames the kit sent, in order, whole.
    auto raws = recordings(".raw");
    ASSERT_EQ(raws.size(), 1u);
    EXPECT_EQ(expectRecordingIsPrefixOfSent(raws[0]), sentCount());

    // A new program finds it, and the reload decodes every frame: the samples the kit sent
    // from each remote's frame counter 10 on (the run's first frames are left out, live as
    // on a reload; the run is shorter than a counter wrap).
    startApi();
    const std::string id = raws[0].stem().string();
    auto listed = listedAcquisitions();
    ASSERT_EQ(std::count(listed.begin(), listed.end(), id), 1) << "the killed run is not listed";
    ASSERT_TRUE(reload(id));
    for (int remote : {1, 2}) {
        const Truth truth = truthOf(framesOf(remote));
        ASSERT_FALSE(truth.samples.empty());
        for (const auto& [type, samples] : truth.samples) {
            const int n = int(samples.size());
            EXPECT_NEAR(samplesOf(remote, type), n, 1 + n / 100) << "remote " << remote << " sensor " << type;
        }
    }
}

} // namespace
