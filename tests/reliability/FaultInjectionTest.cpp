// Faults a teacher's kit meets, played by the simulated kit while the library runs: the
// dongle pulled out, a remote out of radio range, noise on the line, commands that get no
// answer or a refusal, a disk that fills up, folders that cannot be written, and stray or
// hostile files where the library keeps its recordings and calibrations.
#include "KitFixture.h"

#include "device/protocol/CommandCodes.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace reliability {
namespace {

using namespace std::chrono_literals;

class FaultInjection : public KitFixture {
protected:
    void SetUp() override {
        KitFixture::SetUp();
        startKit();
        startApi();
    }

    // Every frame of the recording is a frame the kit sent, in the order it sent them, and
    // the file holds nothing else.
    void expectRecordingIsPrefixOfSent(const fs::path& raw, size_t* framesInFile = nullptr) {
        Bytes rest;
        std::vector<Bytes> frames = splitFrames(readBytes(raw), &rest);
        EXPECT_TRUE(rest.empty()) << "raw file ends inside a frame";
        std::vector<SentFrame> all = sentFrames();
        ASSERT_LE(frames.size(), all.size());
        for (size_t i = 0; i < frames.size(); ++i)
            ASSERT_EQ(frames[i], all[i].bytes) << "frame " << i << " of the recording";
        if (framesInFile) *framesInFile = frames.size();
    }
};

TEST_F(FaultInjection, PulledDongleEndsTheRunKeepsItReadableAndANewRunWorksAfterReplug) {
    configure(3, 4);
    startRun();
    // Both remotes stream 100 frames a second: some 0.6 s of them.
    ASSERT_TRUE(waitFor(10s, [&] { return sentFrames().size() >= 120; }));
    const std::string interrupted = currentAcquisitionID();
    sim->unplug();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    EXPECT_FALSE(api->isDongleConnected());

    // Everything the kit sent before the plug came out is in the file, whole.
    auto raws = rawFiles();
    ASSERT_EQ(raws.size(), 1u);
    EXPECT_EQ(raws[0].stem(), interrupted);
    size_t recorded = 0;
    expectRecordingIsPrefixOfSent(raws[0], &recorded);
    // Bytes still in the line when the plug came out may be lost, nothing else.
    EXPECT_GE(recorded + 3, sentFrames().size());
    EXPECT_GT(recorded, 80u);
    auto listed = listedAcquisitions();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), interrupted), 1);

    // Plugged back in: found again, and a new run goes to a new file.
    sim->replug();
    ASSERT_TRUE(api->stackAcquisition());
    configure(3, 0);
    const size_t before = sentFrames().size();
    startRun(2);
    ASSERT_TRUE(waitFor(10s, [&] { return sentFrames().size() > before + 20; }));
    stopRun(2);
    ASSERT_TRUE(waitFor(3s, [&] { return rawFiles().size() == 2; }));
    EXPECT_GT(sentFrames().size(), before + 20);
    fs::path second = rawFiles()[0].stem() == interrupted ? rawFiles()[1] : rawFiles()[0];
    EXPECT_EQ(splitFrames(readBytes(raws[0])).size(), recorded) << "the interrupted run's file grew";
    EXPECT_GT(fs::file_size(second), 0u);

    // The interrupted run reloads with every recorded frame decoded.
    ASSERT_TRUE(api->stackAcquisition());
    bson_t doc;
    api->acquisitionManagement(&doc, 1, interrupted.c_str());
    bson_destroy(&doc);
    EXPECT_EQ(currentAcquisitionID(), interrupted);
    for (int type : sensorTypes(1)) EXPECT_GT(samplesOf(1, type), 0) << "sensor " << type;
}

TEST_F(FaultInjection, RemoteLeavingRadioRangeMidRunLeavesTheOtherRecordingAndReturns) {
    configure(3, 4);
    startRun();
    ASSERT_TRUE(waitFor(10s, [&] { return sentFrames().size() >= 60; }));
    sim->radioDrop(2);
    ASSERT_TRUE(waitFor(3s, [&] { return !api->isRemoteConnected(2); }));
    const size_t atDrop = sentFrames().size();
    // Remote 1 streams on alone: 50 frames (0.5 s) and whatever remote 2 sent meanwhile.
    ASSERT_TRUE(waitFor(10s, [&] { return sentFrames().size() >= atDrop + 50; }));
    // Remote 1 streamed on alone, and the run is still on.
    auto all = sentFrames();
    size_t fromOne = 0, fromTwo = 0;
    for (size_t i = atDrop; i < all.size(); ++i) (all[i].remote == 1 ? fromOne : fromTwo)++;
    EXPECT_GT(fromOne, 30u);
    EXPECT_LE(fromTwo, 2u);
    EXPECT_EQ(dongleMode(), 16);
    EXPECT_TRUE(api->isRemoteConnected(1));

    sim->radioReturn(2);
    ASSERT_TRUE(waitFor(5s, [&] { return api->isRemoteConnected(2); }));
    std::this_thread::sleep_for(300ms);
    stopRun();
    EXPECT_EQ(dongleMode(), 8);
    ASSERT_TRUE(waitFor(3s, [&] {
        auto raws = rawFiles();
        return raws.size() == 1 && fs::file_size(raws[0]) == sentBytes();
    })) << "frames sent and recorded differ";
    expectRecordingIsPrefixOfSent(rawFiles()[0]);
}

TEST_F(FaultInjection, NoiseOnTheLineNeverBecomesData) {
    configure(3, 4);
    std::atomic<bool> noisy{true};
    std::atomic<uint64_t> junk{0}, bursts{0};
    startRun();
    // A burst of 1 to 8 junk bytes every 10 ms or so (both remotes send a frame per 10 ms):
    // about one frame in two has junk in front of it.
    std::thread noise([&] {
        uint32_t seed = 7;
        while (noisy) {
            std::this_thread::sleep_for(10ms);
            seed = seed * 1103515245u + 12345u;
            const int n = 1 + int((seed >> 16) % 8);
            if (noisy) {
                sim->garbage(n);
                junk += uint64_t(n);
                ++bursts;
            }
        }
    });
    std::this_thread::sleep_for(1800ms);   // below the frame counter's wrap (2.56 s)
    noisy = false;
    noise.join();
    stopRun();
    EXPECT_GT(bursts.load(), 50u);

    // The junk holds no start byte, so it costs no frame at all: the recording is every
    // frame the kit sent, in order, and nothing else.
    const std::vector<SentFrame> all = sentFrames();
    waitFor(3s, [&] { auto raws = rawFiles(); return raws.size() == 1 && fs::file_size(raws[0]) >= sentBytes(); });
    auto raws = rawFiles();
    ASSERT_EQ(raws.size(), 1u);
    Bytes rest;
    std::vector<Bytes> frames = splitFrames(readBytes(raws[0]), &rest);
    EXPECT_TRUE(rest.empty());
    EXPECT_EQ(frames.size(), all.size()) << "frames sent " << all.size() << ", recorded " << frames.size();
    for (size_t i = 0; i < std::min(frames.size(), all.size()); ++i)
        ASSERT_EQ(frames[i], all[i].bytes) << "frame " << i << " of the recording";

    // Every decoded value is one the kit encoded, at the sample it encoded it in.
    for (int remote : {1, 2})
        for (int type : sensorTypes(remote)) {
            if (type == 9) continue;   // the wheel integrates from where the run began
            SCOPED_TRACE("remote " + std::to_string(remote) + " sensor " + std::to_string(type));
            std::string name = "noise-" + std::to_string(remote) + "-" + std::to_string(type) + ".csv";
            int rows = expectValuesMatchTruth(remote, type, name);
            EXPECT_GT(rows, 0);
        }
}

TEST_F(FaultInjection, UnansweredAndRefusedCommandsLeaveTheLibraryWorking) {
    ASSERT_TRUE(waitFor(10s, [&] { return api->isDongleConnected() && dongleMode() == 8; }));
    ASSERT_TRUE(waitFor(10s, [&] { return api->isRemoteConnected(1); }));

    // The first answer is lost: the second attempt of the command gets through.
    sim->dropAnswers(1);
    ASSERT_TRUE(api->setFixedConfig(1, 2));
    ASSERT_TRUE(waitFor(10s, [&] { return configured(1); }));
    std::this_thread::sleep_for(300ms);

    // A refused start leaves the dongle out of Data mode and says why.
    // (With one remote configured the start is the asymmetric one. Only the start is refused:
    // a status poll going out first must not take the refusal.)
    sim->nackNext(START_ASYMETRIC_DATA, NACK_INVALID_STATE, 1);
    api->startDataAcquisition();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("DataParser::getNAck: START_") >= 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ScriptLog::count("dataStarted"), 0);
    EXPECT_EQ(dongleMode(), 8);

    // Late answers: still one run, started and stopped.
    sim->lateAnswers(2, 200);
    startRun();
    std::this_thread::sleep_for(300ms);
    stopRun();
    EXPECT_EQ(dongleMode(), 8);

    // No answer at all for a while (two commands, two attempts each): the library keeps
    // answering its caller at once, and the commands queued behind go out afterwards.
    sim->dropAnswers(4);
    api->sendCommand(GET_DONGLE_STATUS);
    api->sendCommand(GET_PAIRING);
    std::this_thread::sleep_for(100ms);
    auto asked = Clock::now();
    bson_t doc;
    api->getHardwareState(&doc);
    bson_destroy(&doc);
    EXPECT_LT(Clock::now() - asked, 100ms);
    api->startDataAcquisition();
    ASSERT_TRUE(waitFor(8s, [&] { return ScriptLog::count("dataStarted") >= 2; }));
    std::this_thread::sleep_for(200ms);
    stopRun(2);
    EXPECT_EQ(dongleMode(), 8);
}

// The raw folder fills up mid-run: the process may write only so many bytes to a file.
TEST_F(FaultInjection, FullDiskStopsTheRunWithError25AndKeepsEveryWholeFrame) {
    configure(3, 4);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 20000;   // about a second of both remotes
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    startRun();
    bool stopped = waitFor(6s, [&] { return ScriptLog::count("dataStopped") == 1; });
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(stopped) << "the run did not stop on a full disk";
    EXPECT_GE(ScriptLog::count("Cannot write to raw data file"), 1);
    EXPECT_EQ(dongleMode(), 8);

    auto raws = rawFiles();
    ASSERT_EQ(raws.size(), 1u);
    EXPECT_LE(fs::file_size(raws[0]), 20000u);
    size_t recorded = 0;
    expectRecordingIsPrefixOfSent(raws[0], &recorded);
    // Every frame that fitted is there: less than one more frame would have.
    EXPECT_GT(fs::file_size(raws[0]) + 200, 20000u);
    EXPECT_GT(recorded, 50u);
    auto listed = listedAcquisitions();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), raws[0].stem().string()), 1)
        << "the recording is not listed";

    // With room again, the next run of the same acquisition appends readable frames.
    startRun(2);
    std::this_thread::sleep_for(300ms);
    stopRun(2);
    Bytes rest;
    auto frames = splitFrames(readBytes(raws[0]), &rest);
    EXPECT_TRUE(rest.empty());
    EXPECT_GT(frames.size(), recorded + 20);
}

TEST_F(FaultInjection, DeviceThatRefusesEveryWriteStopsTheRunAtOnce) {
    configure(2, 0);
    const std::string id = currentAcquisitionID();
    fs::create_directories(rawFolder());
    fs::create_symlink("/dev/full", rawFolder() / (id + ".raw"));
    startRun();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    EXPECT_GE(ScriptLog::count("Cannot write to raw data file"), 1);
    EXPECT_EQ(dongleMode(), 8);
}

// A work-file folder nothing can be created in (root may write anywhere, so the folder is
// a link to /proc, where nobody can create files).
TEST_F(FaultInjection, UnwritableRecordingsFolderStopsTheRunAndRecordingResumesWhenFixed) {
    configure(2, 0);
    fs::create_directories(workFiles());
    fs::remove_all(rawFolder());
    fs::create_directory_symlink("/proc", rawFolder());
    startRun();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    EXPECT_GE(ScriptLog::count("Cannot open the raw data file"), 1);
    EXPECT_EQ(dongleMode(), 8);
    bson_t doc;
    api->acquisitionManagement(&doc, 0, "");   // lists nothing, and says so calmly
    bson_destroy(&doc);

    fs::remove(rawFolder());
    fs::create_directories(rawFolder());
    startRun(2);
    std::this_thread::sleep_for(300ms);
    stopRun(2);
    ASSERT_TRUE(waitFor(3s, [&] { return rawFiles().size() == 1 && fs::file_size(rawFiles()[0]) > 0; }));
}

}  // namespace
}  // namespace reliability
