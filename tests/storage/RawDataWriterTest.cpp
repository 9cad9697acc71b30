#include "device/storage/RawDataWriter.h"

#include "device/base/FileSystem.h"
#include "device/protocol/PacketQueue.h"
#include "device/storage/AcquisitionStack.h"
#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A data frame of `size` bytes (payload size - 4) whose payload bytes carry `mark`.
std::vector<uint8_t> dataFrame(std::size_t size, uint8_t mark) {
    std::vector<uint8_t> bytes = {0x02, 0x41, static_cast<uint8_t>(size - 4)};
    for (std::size_t i = 0; i < size - 4; ++i)
        bytes.push_back(static_cast<uint8_t>(mark + i));
    bytes.push_back(0x0A);
    return bytes;
}

class RawDataWriterTest : public ::testing::Test {
protected:
    RawDataWriterTest()
        : override("KORVEX_DOCUMENTS_DIR", temp.str()), files(&listener), stack(&listener, nullptr, nullptr),
          writer(&listener, &stack, &queue, &files) {
        writer.setAbortHandler([this] { ++aborts; });
    }
    ~RawDataWriterTest() override { stopThread(); }

    void startThread() {
        thread = std::jthread([this](std::stop_token stop) { writer.listenLoop(stop); });
    }
    void stopThread() {
        if (thread.joinable()) {
            thread.request_stop();
            thread.join();
        }
    }

    fs::path rawFolder() const { return temp.path() / "Korvex-WorkFiles" / "rawdata"; }
    fs::path rawFile() const { return rawFolder() / (stack.currentAcquisitionID() + ".raw"); }

    // What the parser does for one streaming run: clear the flag on the start
    // acknowledgement, queue each data frame, raise the flag when streaming has ended.
    std::vector<uint8_t> run(const std::vector<std::vector<uint8_t>>& frames) {
        std::vector<uint8_t> all;
        queue.clearFlag();
        for (const auto& frame : frames) {
            queue.push(std::make_unique<Packet>(frame));
            all.insert(all.end(), frame.begin(), frame.end());
        }
        queue.setFlag(1);
        return all;
    }
    // A run that lasts until its frames are on disk, as every real run does (a run after a
    // failed one is only recognised once the writer has seen the flag down).
    std::vector<uint8_t> longRun(const std::vector<std::vector<uint8_t>>& frames) {
        std::vector<uint8_t> all;
        uint64_t before = writer.counters().framesWritten;
        queue.clearFlag();
        for (const auto& frame : frames) {
            queue.push(std::make_unique<Packet>(frame));
            all.insert(all.end(), frame.begin(), frame.end());
        }
        EXPECT_TRUE(waitFor(5000ms, [&] { return writer.counters().framesWritten == before + frames.size(); }));
        queue.setFlag(1);
        return all;
    }
    bool closedFiles(uint64_t count) {
        return waitFor(5000ms, [&] { return writer.counters().filesClosed >= count; });
    }

    TempDir temp;
    ScopedEnv override;
    RecordingListener listener;
    FileSystem files;
    AcquisitionStack stack;
    PacketQueue queue;
    RawDataWriter writer;
    std::atomic<int> aborts{0};
    std::jthread thread;
};

TEST_F(RawDataWriterTest, ThreeFramesMakeOneFileOf63Bytes) {
    startThread();
    std::vector<uint8_t> expected = run({dataFrame(20, 1), dataFrame(20, 50), dataFrame(23, 100)});
    ASSERT_TRUE(closedFiles(1));

    std::vector<uint8_t> bytes = fileBytes(rawFile());
    ASSERT_EQ(bytes.size(), 63u);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(bytes[0], 0x02);
    EXPECT_EQ(bytes[1], 0x41);
    EXPECT_EQ(bytes.back(), 0x0A);
    std::string id = stack.currentAcquisitionID();
    EXPECT_TRUE(listener.hasLog("RawDataWriter::listenLoop: Open file " + id + ".raw"));
    EXPECT_TRUE(listener.hasLog("RawDataWriter::listenLoop: Close file " + id + ".raw"));
    EXPECT_TRUE(listener.errorCodes().empty());
    EXPECT_EQ(writer.counters().filesOpened, 1u);
}

TEST_F(RawDataWriterTest, RunsAppendUntilTheAcquisitionIsStacked) {
    startThread();
    std::vector<uint8_t> first = run({dataFrame(20, 1), dataFrame(20, 2)});
    ASSERT_TRUE(closedFiles(1));
    std::vector<uint8_t> second = run({dataFrame(23, 3)});
    ASSERT_TRUE(closedFiles(2));

    fs::path firstFile = rawFile();
    std::vector<uint8_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(fileBytes(firstFile), both);

    ASSERT_TRUE(stack.stackCurrent());
    ASSERT_TRUE(stack.setUpNewAcquisition());
    std::vector<uint8_t> third = longRun({dataFrame(21, 4)});
    ASSERT_TRUE(closedFiles(3));
    ASSERT_NE(rawFile(), firstFile);
    EXPECT_EQ(fileBytes(rawFile()), third);
    EXPECT_EQ(fileBytes(firstFile), both);
}

TEST_F(RawDataWriterTest, FramesQueuedWhenTheStopFlagRisesAreAllWritten) {
    // The whole run is queued and stopped before the writer gets to it.
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 300; ++i)
        frames.push_back(dataFrame(20 + i % 5, static_cast<uint8_t>(i)));
    std::vector<uint8_t> expected = run(frames);
    startThread();
    ASSERT_TRUE(closedFiles(1));
    EXPECT_EQ(fileBytes(rawFile()), expected);
    EXPECT_EQ(writer.counters().framesWritten, 300u);
    EXPECT_EQ(writer.counters().framesDropped, 0u);

    // The same while the writer is busy with the run.
    ASSERT_TRUE(stack.stackCurrent());
    ASSERT_TRUE(stack.setUpNewAcquisition());
    expected = run(frames);
    ASSERT_TRUE(closedFiles(2));
    EXPECT_EQ(fileBytes(rawFile()), expected);
}

TEST_F(RawDataWriterTest, AFrameArrivingAfterTheCloseIsWrittenBeforeTheNextRun) {
    startThread();
    std::vector<uint8_t> all = run({dataFrame(20, 1)});
    ASSERT_TRUE(closedFiles(1));

    // A late frame after the close, while nothing records.
    auto late = dataFrame(30, 9);
    queue.push(std::make_unique<Packet>(late));
    ASSERT_TRUE(closedFiles(2));
    all.insert(all.end(), late.begin(), late.end());
    EXPECT_EQ(fileBytes(rawFile()), all);

    std::vector<uint8_t> second = run({dataFrame(22, 2)});
    ASSERT_TRUE(closedFiles(3));
    all.insert(all.end(), second.begin(), second.end());
    EXPECT_EQ(fileBytes(rawFile()), all);
    EXPECT_EQ(writer.counters().framesDropped, 0u);
}

TEST_F(RawDataWriterTest, ShutdownWritesWhatIsQueuedAndClosesPromptly) {
    startThread();
    queue.clearFlag();
    std::vector<uint8_t> expected;
    for (int i = 0; i < 100; ++i) {
        auto frame = dataFrame(24, static_cast<uint8_t>(i));
        expected.insert(expected.end(), frame.begin(), frame.end());
        queue.push(std::make_unique<Packet>(frame));
    }
    // Streaming is still on: only the shutdown ends the run.
    auto before = std::chrono::steady_clock::now();
    stopThread();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_EQ(writer.counters().filesClosed, 1u);
    EXPECT_EQ(fileBytes(rawFile()), expected);

    // An idle writer ends at once.
    startThread();
    before = std::chrono::steady_clock::now();
    stopThread();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
}

TEST_F(RawDataWriterTest, UnusableFolderGivesError24AndStopsStreaming) {
    fs::remove_all(rawFolder());
    writeBytes(rawFolder(), {1}); // a file where the folder should be
    startThread();
    queue.clearFlag();
    queue.push(std::make_unique<Packet>(dataFrame(20, 1)));
    queue.push(std::make_unique<Packet>(dataFrame(20, 2)));
    ASSERT_TRUE(waitFor(5000ms, [&] { return aborts == 1; }));
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{24});
    EXPECT_NE(queue.flag(), 0);
    ASSERT_TRUE(waitFor(5000ms, [&] { return queue.empty(); }));

    // Nothing more is attempted until the next start, and nothing is left for it: the
    // frames still coming in while the dongle stops are dropped (and counted).
    queue.push(std::make_unique<Packet>(dataFrame(20, 3)));
    ASSERT_TRUE(waitFor(5000ms, [&] { return queue.empty(); }));
    EXPECT_EQ(aborts, 1);
    EXPECT_EQ(writer.counters().framesDropped, 3u);

    // With the folder back, the next run records only its own frames.
    fs::remove(rawFolder());
    std::vector<uint8_t> next = longRun({dataFrame(20, 4)});
    ASSERT_TRUE(closedFiles(1));
    EXPECT_EQ(fileBytes(rawFile()), next);
}

TEST_F(RawDataWriterTest, WriteFailureGivesError25AndStopsStreaming) {
    files.getDirectory(FileSystem::RawData);
    fs::create_symlink("/dev/full", rawFile());
    startThread();
    run({dataFrame(20, 1), dataFrame(20, 2)});
    ASSERT_TRUE(waitFor(5000ms, [&] { return aborts == 1; }));
    ASSERT_TRUE(closedFiles(1));
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{25});
    EXPECT_EQ(writer.counters().framesWritten, 0u);
    EXPECT_TRUE(fs::is_symlink(rawFile()));
}

TEST_F(RawDataWriterTest, WriteFailureKeepsEverythingWrittenAndEndsOnAFrameBoundary) {
    startThread();
    std::vector<uint8_t> first = run({dataFrame(20, 1), dataFrame(20, 2)});
    ASSERT_TRUE(closedFiles(1));

    // The file may grow by 10 more bytes only: the next frame is cut short by the system.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = first.size() + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    run({dataFrame(20, 3)});
    bool aborted = waitFor(5000ms, [&] { return aborts == 1; });
    bool closed = closedFiles(2);
    setrlimit(RLIMIT_FSIZE, &saved);
    ASSERT_TRUE(aborted);
    ASSERT_TRUE(closed);

    EXPECT_EQ(listener.errorCodes(), std::vector<int>{25});
    EXPECT_EQ(fileBytes(rawFile()), first);

    // A later run appends whole frames after the earlier ones.
    std::vector<uint8_t> third = longRun({dataFrame(21, 4)});
    ASSERT_TRUE(closedFiles(3));
    std::vector<uint8_t> both = first;
    both.insert(both.end(), third.begin(), third.end());
    EXPECT_EQ(fileBytes(rawFile()), both);
}

TEST_F(RawDataWriterTest, MetadataIsWrittenBesideTheRawFileAndListed) {
    bson_t document = BSON_INITIALIZER;
    std::string id = stack.currentAcquisitionID();
    BSON_APPEND_UTF8(&document, "acquisitionID", id.c_str());
    BSON_APPEND_INT32(&document, "dongleID", 42);
    ASSERT_TRUE(writer.writeMetadata(&document));
    fs::path metadata = rawFolder() / (id + ".bson");
    EXPECT_EQ(fileBytes(metadata),
              std::vector<uint8_t>(bson_get_data(&document), bson_get_data(&document) + document.len));
    bson_destroy(&document);

    bson_t list;
    files.acquisitionList(&list);
    EXPECT_EQ(bson_count_keys(&list), 1u);
    bson_iter_t iter;
    ASSERT_TRUE(bson_iter_init_find(&iter, &list, "acquisitionList"));
    uint32_t length = 0;
    const uint8_t* data = nullptr;
    bson_iter_array(&iter, &length, &data);
    EXPECT_EQ(length, 5u) << "not listed before its raw file exists";
    bson_destroy(&list);

    startThread();
    run({dataFrame(20, 1)});
    ASSERT_TRUE(closedFiles(1));
    files.acquisitionList(&list);
    ASSERT_TRUE(bson_iter_init_find(&iter, &list, "acquisitionList"));
    bson_iter_array(&iter, &length, &data);
    EXPECT_GT(length, 5u);
    bson_destroy(&list);
}

// A recording process killed in the middle of a run leaves every frame the writer had
// seen in the file: nothing waits in a buffer of the process.
TEST(RawDataWriterCrash, KilledMidRunTheFileHoldsEveryFrameQueuedBeforeTheKill) {
    TempDir temp;
    ScopedEnv override("KORVEX_DOCUMENTS_DIR", temp.str());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    constexpr int frameCount = 50;

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        FileSystem files(nullptr);
        AcquisitionStack stack(nullptr, nullptr, nullptr);
        PacketQueue queue;
        RawDataWriter writer(nullptr, &stack, &queue, &files);
        std::jthread thread([&](std::stop_token stop) { writer.listenLoop(stop); });
        for (int i = 0; i < frameCount; ++i)
            queue.push(std::make_unique<Packet>(dataFrame(20, static_cast<uint8_t>(i))));
        std::string id = stack.currentAcquisitionID() + "\n";
        if (write(ready[1], id.data(), id.size()) < 0)
            _exit(2);
        // The run goes on until the parent kills this process.
        for (;;)
            pause();
    }
    close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    bool signalled = poll(&wait, 1, 5000) == 1;
    char id[64] = {};
    ssize_t got = signalled ? read(ready[0], id, sizeof id - 1) : 0;
    close(ready[0]);
    // The writer's latency is milliseconds; 100 ms after the last frame was queued it
    // must be on disk.
    std::this_thread::sleep_for(100ms);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_GT(got, 1);
    std::string name(id, static_cast<std::size_t>(got) - 1);
    fs::path raw = temp.path() / "Korvex-WorkFiles" / "rawdata" / (name + ".raw");
    EXPECT_EQ(fileBytes(raw).size(), static_cast<std::size_t>(frameCount) * 20);
}

} // namespace
