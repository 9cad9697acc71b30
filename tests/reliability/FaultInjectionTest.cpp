// Faults a teacher's kit meets, played by the simulated kit while the library runs: the
// dongle pulled out, a remote out of radio range, noise on the line, commands that get no
// answer or a refusal, a disk that fills up, folders that cannot be written, and stray or
// hostile files where the library keeps its recordings and calibrations.
#include "tests/support/KitFixture.h"

#include "device/protocol/CommandCodes.h"

#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using FaultInjection = KitFixture;

TEST_F(FaultInjection, PulledDongleEndsTheRunKeepsItReadableAndANewRunWorksAfterReplug) {
    ASSERT_TRUE(configureBoth(3, 4));
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(waitFrames(120)); // both remotes stream 100 frames a second: some 0.6 s
    const std::string interrupted = currentAcquisitionID();
    sim->unplug();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    EXPECT_FALSE(api->isDongleConnected());

    // Everything the kit sent before the plug came out is in the file, whole.
    auto raws = recordings(".raw");
    ASSERT_EQ(raws.size(), 1u);
    EXPECT_EQ(raws[0].stem(), interrupted);
    const size_t recorded = expectRecordingIsPrefixOfSent(raws[0]);
    // Bytes still in the line when the plug came out are lost with it, nothing else (the
    // prefix check above): a loaded machine may be some 50 ms of frames behind the kit.
    EXPECT_GE(recorded + 10, sentCount());
    EXPECT_GT(recorded, 80u);
    auto listed = listedAcquisitions();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), interrupted), 1);

    // Plugged back in: found again, and a new run goes to a new file.
    sim->replug();
    ASSERT_TRUE(api->stackAcquisition());
    ASSERT_TRUE(configureBoth(3, 0));
    ASSERT_TRUE(stream(20));
    ASSERT_TRUE(waitFor(3s, [&] { return recordings(".raw").size() == 2; }));
    fs::path second = recordings(".raw")[0].stem() == interrupted ? recordings(".raw")[1] : recordings(".raw")[0];
    EXPECT_EQ(splitFrames(readBytes(raws[0])).size(), recorded) << "the interrupted run's file grew";
    EXPECT_GT(fs::file_size(second), 0u);

    // The interrupted run reloads with every recorded frame decoded.
    ASSERT_TRUE(api->stackAcquisition());
    EXPECT_TRUE(reload(interrupted));
    for (int type : sensorTypes(1))
        EXPECT_GT(samplesOf(1, type), 0) << "sensor " << type;
}

TEST_F(FaultInjection, RemoteLeavingRadioRangeMidRunLeavesTheOtherRecordingAndReturns) {
    ASSERT_TRUE(configureBoth(3, 4));
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(waitFrames(60));
    sim->radioDrop(2);
    ASSERT_TRUE(waitFor(3s, [&] { return !api->isRemoteConnected(2); }));
    const size_t atDrop = sentCount();
    // Remote 1 streams on alone: 50 frames (0.5 s) and whatever remote 2 sent meanwhile.
    ASSERT_TRUE(waitFrames(50));
    // Remote 1 streamed on alone, and the run is still on.
    auto all = sentFrames();
    size_t fromOne = 0, fromTwo = 0;
    for (size_t i = atDrop; i < all.size(); ++i)
        (all[i].remote == 1 ? fromOne : fromTwo)++;
    EXPECT_GT(fromOne, 30u);
    EXPECT_LE(fromTwo, 2u);
    EXPECT_EQ(dongleMode(), 16);
    EXPECT_TRUE(api->isRemoteConnected(1));

    sim->radioReturn(2);
    ASSERT_TRUE(waitFor(5s, [&] { return api->isRemoteConnected(2); }));
    // Configured again, remote 2 streams again in the same run.
    const size_t fromTwoBefore = framesOf(2).size();
    ASSERT_TRUE(waitFor(5s, [&] { return framesOf(2).size() >= fromTwoBefore + 10; }));
    ASSERT_TRUE(stopRun());
    EXPECT_EQ(dongleMode(), 8);
    ASSERT_TRUE(recordedWhole()) << "frames sent and recorded differ";
    expectRecordingIsPrefixOfSent(recordings(".raw")[0]);
}

TEST_F(FaultInjection, LoneRemoteBackBeforeTheDongleSaysItsRunEndedStillEndsTheRun) {
    ASSERT_TRUE(configureBoth(8, 0));
    sim->radioDrop(2);
    ASSERT_TRUE(waitFor(3s, [&] { return !api->isRemoteConnected(2); }));
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(waitFrames(40));
    const fs::path first = rawFolder() / (currentAcquisitionID() + ".raw");
    // The only streaming remote leaves, so the dongle ends the run; its answer to the status
    // question that follows comes only once the remote is back.
    sim->lateAnswers(1, 500);
    sim->radioDrop(1);
    ASSERT_TRUE(waitFor(3s, [&] { return !api->isRemoteConnected(1); }));
    sim->radioReturn(1);
    ASSERT_TRUE(waitFor(3s, [&] { return api->isRemoteConnected(1); }));
    ASSERT_TRUE(waitFor(3s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    ASSERT_TRUE(waitFor(3s, [&] { return dongleMode() == 8 && hardwareBool("remote1.configured"); }));

    // The ended run's file is closed with all of it, and the next run gets a file of its own.
    ASSERT_TRUE(recordedWhole());
    const size_t frames = expectRecordingIsPrefixOfSent(first);
    EXPECT_EQ(frames, sentCount());
    ASSERT_TRUE(api->stackAcquisition());
    ASSERT_TRUE(api->setFixedConfig(1, 8));
    ASSERT_TRUE(commandBarrier());
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(waitFrames(30));
    ASSERT_TRUE(stopRun());
    EXPECT_EQ(splitFrames(readBytes(first)).size(), frames) << "the ended run's file grew";
    EXPECT_EQ(recordings(".raw").size(), 2u);
}

TEST_F(FaultInjection, NoiseOnTheLineNeverBecomesData) {
    ASSERT_TRUE(configureBoth(3, 4));
    std::atomic<bool> noisy{true};
    std::atomic<uint64_t> junk{0}, bursts{0};
    ASSERT_TRUE(startRun());
    // A burst of 1 to 8 junk bytes after every second frame the kit sends: about one frame
    // in two has junk in front of it.
    std::thread noise([&] {
        uint32_t seed = 7;
        while (noisy) {
            const size_t until = sentCount() + 2;
            waitFor(1s, [&] { return !noisy || sentCount() >= until; });
            seed = seed * 1103515245u + 12345u;
            const int n = 1 + int((seed >> 16) % 8);
            if (noisy) {
                sim->garbage(n);
                junk += uint64_t(n);
                ++bursts;
            }
        }
    });
    const bool streamed = waitFrames(360); // 1.8 s: below the frame counter's wrap (2.56 s)
    noisy = false;
    noise.join();
    ASSERT_TRUE(streamed);
    ASSERT_TRUE(stopRun());
    EXPECT_GT(bursts.load(), 50u);

    // The junk holds no start byte, so it costs no frame at all: the recording is every
    // frame the kit sent, in order, and nothing else.
    ASSERT_TRUE(recordedWhole()) << "frames sent and recorded differ";
    EXPECT_EQ(expectRecordingIsPrefixOfSent(recordings(".raw")[0]), sentCount());

    // Every decoded value is one the kit encoded, at the sample it encoded it in.
    for (int remote : {1, 2})
        for (int type : sensorTypes(remote)) {
            if (type == 9)
                continue; // the wheel integrates from where the run began
            SCOPED_TRACE("remote " + std::to_string(remote) + " sensor " + std::to_string(type));
            std::string name = "noise-" + std::to_string(remote) + "-" + std::to_string(type) + ".csv";
            int rows = expectValuesMatchTruth(remote, type, name);
            EXPECT_GT(rows, 0);
        }
}

TEST_F(FaultInjection, UnansweredAndRefusedCommandsLeaveTheLibraryWorking) {
    ASSERT_TRUE(waitReady());

    // The first answer is lost: the second attempt of the command gets through.
    sim->dropAnswers(1);
    ASSERT_TRUE(configure(1, 2));

    // A refused start leaves the dongle out of Data mode and says why.
    // (With one remote configured the start is the asymmetric one. Only the start is refused:
    // a status poll going out first must not take the refusal.)
    sim->nackNext(START_ASYMETRIC_DATA, NACK_INVALID_STATE, 1);
    api->startDataAcquisition();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("DataParser::getNAck: START_") >= 1; }));
    ASSERT_TRUE(commandBarrier()); // a start sent again would be answered by now
    EXPECT_EQ(ScriptLog::count("dataStarted"), 0);
    EXPECT_EQ(dongleMode(), 8);

    // Late answers: still one run, started and stopped.
    sim->lateAnswers(2, 200);
    ASSERT_TRUE(stream(30));
    EXPECT_EQ(dongleMode(), 8);

    // No answer at all for a while (two commands, two attempts each): the library keeps
    // answering its caller at once, and the commands queued behind go out afterwards.
    sim->dropAnswers(4);
    const size_t statusAsked = commandsSeen("GET_DONGLE_STATUS").size();
    api->sendCommand(GET_DONGLE_STATUS);
    api->sendCommand(GET_PAIRING);
    ASSERT_TRUE(waitFor(5s, [&] { return commandsSeen("GET_DONGLE_STATUS").size() > statusAsked; }));
    auto asked = Clock::now();
    bson_t doc;
    api->getHardwareState(&doc);
    bson_destroy(&doc);
    EXPECT_LT(Clock::now() - asked, 100ms);
    api->startDataAcquisition();
    ASSERT_TRUE(waitFor(8s, [&] { return ScriptLog::count("dataStarted") >= 2; }));
    ASSERT_TRUE(waitFrames(20));
    ASSERT_TRUE(stopRun());
    EXPECT_EQ(dongleMode(), 8);
}

// The raw folder fills up mid-run: the process may write only so many bytes to a file.
TEST_F(FaultInjection, FullDiskStopsTheRunWithError25AndKeepsEveryWholeFrame) {
    ASSERT_TRUE(configureBoth(3, 4));
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 20000; // about a second of both remotes
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool stopped = startRun() && waitFor(6s, [&] { return ScriptLog::count("dataStopped") == 1; });
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(stopped) << "the run did not stop on a full disk";
    EXPECT_GE(ScriptLog::count("Cannot write to raw data file"), 1);
    EXPECT_EQ(dongleMode(), 8);

    auto raws = recordings(".raw");
    ASSERT_EQ(raws.size(), 1u);
    EXPECT_LE(fs::file_size(raws[0]), 20000u);
    const size_t recorded = expectRecordingIsPrefixOfSent(raws[0]);
    // Every frame that fitted is there: less than one more frame would have.
    EXPECT_GT(fs::file_size(raws[0]) + 200, 20000u);
    EXPECT_GT(recorded, 50u);
    auto listed = listedAcquisitions();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), raws[0].stem().string()), 1) << "the recording is not listed";

    // With room again, the next run of the same acquisition appends readable frames.
    ASSERT_TRUE(stream(60));
    Bytes rest;
    auto frames = splitFrames(readBytes(raws[0]), &rest);
    EXPECT_TRUE(rest.empty());
    EXPECT_GT(frames.size(), recorded + 20);
}

TEST_F(FaultInjection, DeviceThatRefusesEveryWriteStopsTheRunAtOnce) {
    ASSERT_TRUE(configureBoth(2, 0));
    const std::string id = currentAcquisitionID();
    fs::create_directories(rawFolder());
    fs::create_symlink("/dev/full", rawFolder() / (id + ".raw"));
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    EXPECT_GE(ScriptLog::count("Cannot write to raw data file"), 1);
    EXPECT_EQ(dongleMode(), 8);
}

// A work-file folder nothing can be created in (root may write anywhere, so the folder is
// a link to /proc, where nobody can create files).
TEST_F(FaultInjection, UnwritableRecordingsFolderStopsTheRunAndRecordingResumesWhenFixed) {
    ASSERT_TRUE(configureBoth(2, 0));
    fs::create_directories(workFiles());
    fs::remove_all(rawFolder());
    fs::create_directory_symlink("/proc", rawFolder());
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    EXPECT_GE(ScriptLog::count("Cannot open the raw data file"), 1);
    EXPECT_EQ(dongleMode(), 8);
    bson_t doc;
    api->acquisitionManagement(&doc, 0, ""); // lists nothing, and says so calmly
    bson_destroy(&doc);

    fs::remove(rawFolder());
    fs::create_directories(rawFolder());
    ASSERT_TRUE(stream(30));
    ASSERT_TRUE(
        waitFor(3s, [&] { return recordings(".raw").size() == 1 && fs::file_size(recordings(".raw")[0]) > 0; }));
}

} // namespace
