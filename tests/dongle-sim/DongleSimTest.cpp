// The simulated kit over its real pseudo-terminal, as the library meets it.
#include "tools/dongle-sim/DongleSim.h"
#include "tools/dongle-sim/SimLayout.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"

#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <poll.h>
#include <sstream>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

Bytes frame(uint8_t command, Bytes payload = {}) { return buildFrame(command, payload); }

// The host's end of the terminal: raw mode, frames cut by their length byte.
class PortClient {
public:
    explicit PortClient(const std::string& path) {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            termios tio{};
            tcgetattr(fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
    }
    ~PortClient() {
        if (fd >= 0)
            close(fd);
    }
    bool isOpen() const { return fd >= 0; }

    void send(const Bytes& bytes) { ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    // Reads whatever arrives within `wait`. False when the other end has closed.
    bool pump(std::chrono::milliseconds wait) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait.count())) <= 0)
            return true;
        uint8_t chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return !(p.revents & POLLHUP) && n < 0 && errno == EAGAIN;
        ++reads;
        buffer.insert(buffer.end(), chunk, chunk + n);
        return true;
    }

    // The next whole frame, skipping (and counting) bytes that cannot start one.
    std::optional<Bytes> nextFrame(std::chrono::milliseconds timeout = 1000ms) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            while (!buffer.empty() && buffer[0] != FRAME_SOP) {
                buffer.erase(buffer.begin());
                ++skipped;
            }
            if (buffer.size() >= 3 && buffer.size() >= std::size_t(buffer[2]) + 4) {
                Bytes f(buffer.begin(), buffer.begin() + buffer[2] + 4);
                buffer.erase(buffer.begin(), buffer.begin() + buffer[2] + 4);
                return f;
            }
            auto now = Clock::now();
            if (now >= deadline)
                return std::nullopt;
            if (!pump(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) + 1ms))
                return std::nullopt;
        }
    }

    // The next frame that is not streamed data.
    std::optional<Bytes> nextAnswer(std::chrono::milliseconds timeout = 1000ms) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            auto f = nextFrame(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (f && (*f)[1] != DATA_FROM_REMOTE)
                return f;
        }
        return std::nullopt;
    }

    std::optional<Bytes> ask(const Bytes& command) {
        send(command);
        return nextAnswer();
    }

    int fd = -1;
    Bytes buffer;
    int reads = 0;
    std::size_t skipped = 0;
};

class DongleSimTest : public ::testing::Test {
protected:
    void TearDown() override { sim.reset(); }

    DongleSim& start(DongleSim::Options options = {}) {
        sim = std::make_unique<DongleSim>(std::move(options));
        // Every data frame sent, as built, for the tests that check what became of it.
        sim->onDataFrame([this](const SimDataFrame& f, bool sent) {
            std::lock_guard lock(sentLock);
            if (sent)
                sentFrames.push_back(f);
            unsentSince[f.remote] = sent ? 0 : unsentSince[f.remote] + 1;
        });
        std::string error;
        EXPECT_TRUE(sim->start(&error)) << error;
        return *sim;
    }

    static DongleSim::Options configured(std::map<int, int> configs, bool paced = true) {
        DongleSim::Options options;
        options.fixedConfigs = std::move(configs);
        options.paced = paced;
        return options;
    }

    std::vector<std::string> registeredPaths() const {
        std::vector<std::string> paths;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir / "ports", ec)) {
            if (entry.path().filename().string()[0] == '.')
                continue;
            std::ifstream in(entry.path());
            std::string line;
            std::getline(in, line);
            paths.push_back(line);
        }
        return paths;
    }

    std::vector<SimDataFrame> sent() {
        std::lock_guard lock(sentLock);
        return sentFrames;
    }

    // Starts the stream and reads until `frames` data frames were sent and the line is
    // quiet again after a stop; returns every byte the host received.
    Bytes streamAndStop(DongleSim& s, std::size_t frames) {
        PortClient host(s.portPath());
        host.send(frame(START_DATA));
        const auto limit = Clock::now() + 5s;
        while (sent().size() < frames && Clock::now() < limit)
            host.pump(20ms);
        host.send(frame(STOP_DATA));
        std::size_t before;
        do {
            before = host.buffer.size();
            host.pump(100ms);
        } while (host.buffer.size() != before);
        return host.buffer;
    }

    TempDir folder;
    fs::path dir = folder.path();
    ScopedEnv runtimeDir{"KORVEX_RUNTIME_DIR", dir.string()};
    std::unique_ptr<DongleSim> sim;
    std::mutex sentLock;
    std::vector<SimDataFrame> sentFrames;
    std::map<int, uint64_t> unsentSince; // per remote: frames not sent since its last sent one
};

// The frames a reader keeping the framing rule finds in `line`, written apart from the
// simulator's own reader: skip to 0x02, trust the length byte if the 0x0A is where it says,
// else skip one byte.
std::vector<Bytes> framesByTheRule(const Bytes& line) {
    std::vector<Bytes> found;
    for (std::size_t at = 0; at + 3 <= line.size();) {
        const std::size_t size = line[at + 2] + 4u;
        if (line[at] != FRAME_SOP || (at + size <= line.size() && line[at + size - 1] != FRAME_EOP)) {
            ++at;
            continue;
        }
        if (at + size > line.size())
            break; // waits for bytes that never come
        found.emplace_back(line.begin() + at, line.begin() + at + size);
        at += size;
    }
    return found;
}

std::string runCommand(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, pipe))
            output += line;
        pclose(pipe);
    }
    return output;
}

std::string buildBin() {
    const char* bin = std::getenv("KORVEX_BUILD_BIN");
    return bin ? bin : "";
}

} // namespace

TEST_F(DongleSimTest, AnswersOverARawTerminalThatItRegistersWhileOpen) {
    DongleSim& s = start();
    const std::string path = s.portPath();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(registeredPaths(), std::vector<std::string>{path});

    PortClient host(path);
    ASSERT_TRUE(host.isOpen());
    EXPECT_EQ(host.ask(frame(GET_DONGLE_STATUS)), frame(GET_DONGLE_STATUS, {0x01, 0x07, 4, 0x4B, 0x56, 0x01}));
    EXPECT_EQ(host.ask(frame(GET_PAIRING)), frame(GET_PAIRING, {1, 0x0A, 0x1B, 0x01, 1, 0x0A, 0x1B, 0x02}));
    // The remotes that connected before the host came are not announced unless asked for.
    EXPECT_FALSE(host.nextAnswer(50ms));
    // Bytes that look like line endings pass untouched: the terminal is raw both ways.
    EXPECT_EQ(host.ask(frame(SET_FIXED_CONFIG, {1, 0x0A})), frame(ACK, {SET_FIXED_CONFIG}));
    EXPECT_EQ(host.ask(frame(GET_FIXED_CONFIG, {1})), frame(GET_FIXED_CONFIG, {1, 0x0A}));

    s.stop();
    EXPECT_TRUE(registeredPaths().empty());
}

TEST_F(DongleSimTest, AnnouncesConnectedRemotesOncePerHostWhenAskedTo) {
    DongleSim::Options options;
    options.announceRemotes = true;
    DongleSim& s = start(options);
    PortClient host(s.portPath());
    ASSERT_TRUE(host.isOpen());
    EXPECT_EQ(host.ask(frame(GET_PAIRING)).value_or(Bytes(2))[1], GET_PAIRING);
    EXPECT_EQ(host.nextAnswer(), frame(RF_CONNECTION, {1, 1}));
    EXPECT_EQ(host.nextAnswer(), frame(RF_CONNECTION, {2, 1}));
    EXPECT_EQ(host.ask(frame(GET_PAIRING)).value_or(Bytes(2))[1], GET_PAIRING);
    EXPECT_FALSE(host.nextAnswer(50ms)) << "announced once per host";
}

TEST_F(DongleSimTest, StreamsOneFramePerRemoteEveryTenMillisecondsUntilStopped) {
    DongleSim& s = start(configured({{1, 1}, {2, 43}}));
    PortClient host(s.portPath());
    ASSERT_EQ(host.ask(frame(START_DATA)), frame(ACK, {START_DATA}));

    std::map<int, std::vector<int>> counters;
    const auto begin = Clock::now();
    while (Clock::now() - begin < 500ms) {
        auto f = host.nextFrame(200ms);
        ASSERT_TRUE(f);
        ASSERT_EQ((*f)[1], DATA_FROM_REMOTE);
        const int remote = (*f)[3];
        ASSERT_EQ(int((*f)[2]), simDataPayloadSize(remote == 1 ? 1 : 43));
        counters[remote].push_back((*f)[4]);
    }
    for (int remote : {1, 2}) {
        SCOPED_TRACE(remote);
        const auto& c = counters[remote];
        EXPECT_GT(c.size(), 35u);
        EXPECT_LT(c.size(), 65u);
        for (std::size_t i = 0; i < c.size(); ++i)
            EXPECT_EQ(c[i], int(i % 256));
    }

    host.send(frame(STOP_DATA));
    auto ack = host.nextAnswer();
    EXPECT_EQ(ack, frame(ACK, {STOP_DATA}));
    EXPECT_FALSE(host.nextFrame(100ms)) << "data after the stop";
    EXPECT_EQ(host.ask(frame(GET_DONGLE_STATUS)).value_or(Bytes(6))[5], DONGLE_MODE_CONNECTED);
}

TEST_F(DongleSimTest, UnplugClosesTheTerminalAndReplugOpensANewRegisteredOne) {
    DongleSim& s = start();
    const std::string first = s.portPath();
    PortClient oldHost(first);
    ASSERT_TRUE(oldHost.ask(frame(GET_DONGLE_STATUS)));

    s.unplug();
    EXPECT_TRUE(s.portPath().empty());
    EXPECT_TRUE(registeredPaths().empty());
    EXPECT_FALSE(oldHost.pump(200ms)) << "the host sees the port go away";

    s.replug();
    const std::string second = s.portPath();
    ASSERT_FALSE(second.empty());
    EXPECT_NE(second, first); // the old terminal is still held open by the old host
    EXPECT_EQ(registeredPaths(), std::vector<std::string>{second});
    PortClient host(second);
    // The remotes stayed paired and connected through the power cut.
    EXPECT_EQ(host.ask(frame(GET_DONGLE_STATUS)).value_or(Bytes(6))[5], DONGLE_MODE_CONNECTED);
}

TEST_F(DongleSimTest, RadioDropAndReturnAreAnnouncedImmediatelyOrOnSchedule) {
    DongleSim& s = start();
    PortClient host(s.portPath());
    ASSERT_TRUE(host.ask(frame(GET_DONGLE_STATUS)));
    s.radioDrop(2);
    EXPECT_EQ(host.nextAnswer(), frame(RF_CONNECTION, {2, 0}));
    s.radioReturn(2);
    EXPECT_EQ(host.nextAnswer(), frame(RF_CONNECTION, {2, 1}));
    const auto asked = Clock::now();
    s.schedule(100, "radio-drop 1");
    EXPECT_EQ(host.nextAnswer(), frame(RF_CONNECTION, {1, 0}));
    EXPECT_GE(Clock::now() - asked, 90ms);
}

TEST_F(DongleSimTest, SplitWritesAndGarbageStillLeaveWholeFramesToFind) {
    DongleSim::Options options;
    options.model.defaultConstants = true;
    DongleSim& s = start(options);
    PortClient host(s.portPath());
    ASSERT_TRUE(host.ask(frame(GET_DONGLE_STATUS)));

    s.splitWrites(3, 2);
    host.reads = 0;
    EXPECT_EQ(host.ask(frame(GET_CALIBRATION, {1, 26})), frame(GET_CALIBRATION, {1, 26, 4, 0x0A, 0x2F, 0x08, 0xE8}));
    EXPECT_GE(host.reads, 3) << "an 11-byte frame in pieces of at most 3 bytes";
    s.splitWrites(0);

    s.garbage(40);
    EXPECT_EQ(host.ask(frame(GET_FIXED_CONFIG, {2})), frame(GET_FIXED_CONFIG, {2, 0}));
    EXPECT_EQ(host.skipped, 40u);
    EXPECT_EQ(s.control("garbage hex 02 14"), "ok"); // a false start: a frame header, no frame
}

TEST_F(DongleSimTest, AnswersCanBeDroppedDelayedOrRefusedOnDemand) {
    DongleSim& s = start();
    PortClient host(s.portPath());
    ASSERT_TRUE(host.ask(frame(GET_DONGLE_STATUS)));

    s.dropAnswers(1);
    host.send(frame(GET_DONGLE_STATUS));
    EXPECT_FALSE(host.nextAnswer(150ms));
    EXPECT_TRUE(host.ask(frame(GET_DONGLE_STATUS)));

    s.lateAnswers(1, 300);
    const auto sent = Clock::now();
    host.send(frame(GET_FIXED_CONFIG, {2}));
    EXPECT_FALSE(host.nextAnswer(150ms));
    EXPECT_TRUE(host.nextAnswer(1000ms));
    EXPECT_GE(Clock::now() - sent, 290ms);

    EXPECT_EQ(s.control("nack SET_FIXED_CONFIG 5"), "ok");
    EXPECT_EQ(host.ask(frame(GET_FIXED_CONFIG, {1})), frame(GET_FIXED_CONFIG, {1, 0})); // not matched
    EXPECT_EQ(host.ask(frame(SET_FIXED_CONFIG, {1, 3})), frame(NACK, {SET_FIXED_CONFIG, 5}));
    EXPECT_EQ(host.ask(frame(GET_FIXED_CONFIG, {1})), frame(GET_FIXED_CONFIG, {1, 0})); // refused: unchanged
    EXPECT_EQ(host.ask(frame(SET_FIXED_CONFIG, {1, 3})), frame(ACK, {SET_FIXED_CONFIG}));
}

TEST_F(DongleSimTest, BrokenHostFramesAreRefusedWithoutLosingTheNextCommand) {
    DongleSim& s = start();
    PortClient host(s.portPath());
    // Wrong end byte.
    EXPECT_EQ(host.ask({0x02, 0x14, 0x00, 0x0B}), frame(NACK, {GET_DONGLE_STATUS, NACK_INVALID_EOP}));
    // A frame cut short: dropped after the inter-byte timeout, and the dongle listens again.
    host.send({0x02, 0x28, 0x01});
    EXPECT_EQ(host.nextAnswer(1000ms), frame(NACK, {GET_PACKET_CONFIG, NACK_INVALID_PACKET_LENGTH}));
    // Junk before a frame is skipped.
    EXPECT_EQ(host.ask({0xFF, 0x00, 0x02, 0x14, 0x00, 0x0A}).value_or(Bytes(6))[1], GET_DONGLE_STATUS);
    // One command written a byte at a time.
    for (uint8_t b : frame(GET_FIXED_CONFIG, {2})) {
        host.send({b});
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(host.nextAnswer(), frame(GET_FIXED_CONFIG, {2, 0}));
    EXPECT_GE(s.stats().framingErrors, 2u);
}

TEST_F(DongleSimTest, TruthFileHoldsEveryFrameSentAndTheValuesBehindIt) {
    DongleSim::Options options = configured({{1, 6}});
    options.truthPath = (dir / "truth.txt").string();
    DongleSim& s = start(options);
    std::vector<Bytes> received;
    {
        PortClient host(s.portPath());
        ASSERT_EQ(host.ask(frame(START_DATA)), frame(ACK, {START_DATA}));
        while (received.size() < 20) {
            auto f = host.nextFrame();
            ASSERT_TRUE(f);
            received.push_back(*f);
        }
        host.send(frame(STOP_DATA));
        while (auto f = host.nextFrame(100ms))
            if ((*f)[1] == DATA_FROM_REMOTE)
                received.push_back(*f);
    }
    s.stop();

    std::ifstream in(options.truthPath);
    std::vector<Bytes> frames;
    int samples = 0;
    double pressure = 0, temperature = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "frame") {
            long tick, remote, counter, config, index;
            std::string status;
            words >> tick >> remote >> counter >> config >> index >> status;
            EXPECT_EQ(status, "sent");
            EXPECT_EQ(config, 6);
            Bytes bytes;
            for (std::string byte; words >> byte;)
                bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
            frames.push_back(bytes);
        } else if (kind == "sample") {
            long remote, counter, type, index, number;
            words >> remote >> counter >> type >> index >> number;
            ++samples;
            if (type == SIM_BAROMETER)
                words >> pressure >> temperature;
        }
    }
    ASSERT_EQ(frames.size(), received.size());
    EXPECT_EQ(frames, received);
    // Thermometer and battery at 50 Hz, barometer at 100 Hz, light at 400 Hz.
    const int64_t n = static_cast<int64_t>(frames.size());
    EXPECT_EQ(samples,
              2 * simFirstSampleOfFrame(50, n) + simFirstSampleOfFrame(100, n) + simFirstSampleOfFrame(400, n));
    EXPECT_NEAR(pressure, 101.3, 0.4);
    EXPECT_NEAR(temperature, 22.0, 0.5);
}

TEST_F(DongleSimTest, FramesForAClosedPortAreLostNotDeliveredLater) {
    DongleSim& s = start(configured({{1, 2}}));
    {
        PortClient host(s.portPath());
        ASSERT_EQ(host.ask(frame(START_DATA)), frame(ACK, {START_DATA}));
        ASSERT_TRUE(host.nextFrame());
    }
    ASSERT_TRUE(waitFor(5s, [&] { return s.stats().dataFramesLost > 5; }));
    PortClient host(s.portPath());
    auto f = host.nextFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(host.skipped, 0u) << "the stream resumes on a frame boundary";
    EXPECT_EQ((*f)[1], DATA_FROM_REMOTE);
}

TEST_F(DongleSimTest, UnpacedStreamingRunsAsFastAsTheHostReads) {
    DongleSim& s = start(configured({{1, 46}}, false));
    PortClient host(s.portPath());
    ASSERT_EQ(host.ask(frame(START_DATA)), frame(ACK, {START_DATA}));
    int frames = 0, expected = 0;
    bool inOrder = true;
    const auto begin = Clock::now();
    while (Clock::now() - begin < 200ms) {
        auto f = host.nextFrame(200ms);
        ASSERT_TRUE(f);
        inOrder = inOrder && (*f)[4] == expected;
        expected = (expected + 1) % 256;
        ++frames;
    }
    EXPECT_TRUE(inOrder) << "no frame lost while the host keeps reading";
    EXPECT_GT(frames, 100) << "20 frames would be real time";
}

TEST_F(DongleSimTest, EnumeratorListsTheSimulatedDongleOnlyWhileItRuns) {
    const std::string enumser = buildBin() + "/EnumSer";
    if (buildBin().empty() || !fs::exists(enumser))
        GTEST_SKIP() << "EnumSer is not built";
    DongleSim& s = start();
    const std::string path = s.portPath();
    EXPECT_NE(runCommand(enumser).find(path + " <Korvex Virtual COM Port>"), std::string::npos);
    s.unplug();
    EXPECT_EQ(runCommand(enumser).find(path + " <Korvex"), std::string::npos);
}

TEST_F(DongleSimTest, ProgramPrintsItsPortAndTakesControlLinesOnStandardInput) {
    const std::string program = buildBin() + "/korvex-dongle-sim";
    if (buildBin().empty() || !fs::exists(program))
        GTEST_SKIP() << "korvex-dongle-sim is not built";
    std::string output = runCommand("printf 'status\\nnack 999 1\\nquit\\n' | timeout 10 " + program +
                                    " --no-register --state paired --config 2=7");
    std::istringstream lines(output);
    std::string port, status, refused, quit;
    std::getline(lines, port);
    std::getline(lines, status);
    std::getline(lines, refused);
    std::getline(lines, quit);
    EXPECT_EQ(port.rfind("port /dev/pts/", 0), 0u) << output;
    EXPECT_NE(status.find("mode 3"), std::string::npos) << status;
    EXPECT_EQ(refused.rfind("error", 0), 0u) << refused;
    EXPECT_EQ(quit, "ok");
    EXPECT_NE(runCommand(program + " --config 1=11 2>&1"), ""); // refused with a message
}

// With every kind of act on 40% of the frames, the simulator's own counts agree with the
// bytes the host received: the record is the line, every act sits where it says, and a
// reader keeping the rule finds every intact frame.
TEST_F(DongleSimTest, HostileLineIsRecordedAndEveryFrameFateCounted) {
    DongleSim::Options options = configured({{1, 6}, {2, 3}}, false);
    options.model.seed = 5;
    options.recordLine = true;
    options.hostile = {{"any", 40}};
    DongleSim& s = start(options);
    const Bytes line = streamAndStop(s, 400);
    const DongleSim::Stats st = s.stats();
    const std::vector<SimDataFrame> frames = sent();
    ASSERT_EQ(s.lineRecord(), line);
    ASSERT_EQ(frames.size(), st.dataFramesSent);
    EXPECT_EQ(st.dataFramesSent, st.dataFramesIntact + st.dataFramesPending + st.dataFramesTouched());
    EXPECT_LT(st.dataFramesIntact, st.dataFramesSent);

    // Each act did what it says, at the place it says.
    std::map<std::pair<int, int64_t>, Bytes> original;
    for (const auto& f : frames)
        original[{f.remote, f.frameIndex}] = f.frame;
    std::map<HostileKind, uint64_t> acts;
    for (const HostileAct& act : s.hostileActs()) {
        ++acts[act.kind];
        if (act.kind == HostileKind::CounterJump)
            continue;
        SCOPED_TRACE(std::string(hostileKindName(act.kind)) + " at " + std::to_string(act.lineOffset));
        const Bytes& f = original.at({act.remote, act.frameIndex});
        auto on = [&](std::size_t from, std::size_t count) {
            from += act.lineOffset;
            return from + count <= line.size() ? Bytes(line.begin() + from, line.begin() + from + count) : Bytes{};
        };
        switch (act.kind) {
        case HostileKind::Garbage:
        case HostileKind::FakeHeader: EXPECT_EQ(on(act.count, f.size()), f); break;
        case HostileKind::JunkInside:
            EXPECT_EQ(on(0, act.position), Bytes(f.begin(), f.begin() + act.position));
            EXPECT_EQ(on(act.position + act.count, f.size() - act.position), Bytes(f.begin() + act.position, f.end()));
            break;
        case HostileKind::BitFlip: {
            Bytes flipped = f;
            flipped[act.position] ^= uint8_t(1 << act.bit);
            EXPECT_EQ(on(0, f.size()), flipped);
            break;
        }
        case HostileKind::Truncate: EXPECT_EQ(on(0, act.position), Bytes(f.begin(), f.begin() + act.position)); break;
        default:
            EXPECT_EQ(on(0, f.size()), f);
            EXPECT_EQ(on(f.size(), f.size()), f);
            break;
        }
    }
    for (HostileKind k : {HostileKind::JunkInside, HostileKind::BitFlip, HostileKind::Truncate})
        EXPECT_EQ(st.damaged[int(k)], acts[k]) << hostileKindName(k);
    EXPECT_EQ(st.dataFramesDuplicated, acts[HostileKind::Duplicate]);
    EXPECT_EQ(st.counterJumps, acts[HostileKind::CounterJump]);
    EXPECT_EQ(acts.size(), std::size_t(hostileKindCount)) << "every kind played";

    // The frames left out by the jumps are the gaps in the counters sent, and those after
    // the last frame sent.
    std::map<int, int> last;
    uint64_t gaps = 0, missing = unsentSince[1] + unsentSince[2];
    for (const auto& f : frames) {
        if (last.count(f.remote) && f.counter != (last[f.remote] + 1) % 256) {
            ++gaps;
            missing += (f.counter - last[f.remote] - 1 + 256) % 256;
        }
        last[f.remote] = f.counter;
    }
    EXPECT_EQ(missing, st.countersSkipped);
    EXPECT_GE(st.counterJumps, gaps);
    EXPECT_GT(gaps, 0u);

    // A reader keeping the rule finds every intact frame (a second copy may stand in for
    // one run over), and passes on exactly as many data frames as counted.
    std::set<Bytes> sentBytes;
    for (const auto& f : frames)
        sentBytes.insert(f.frame);
    std::set<Bytes> foundWhole;
    uint64_t dataFound = 0;
    for (const Bytes& f : framesByTheRule(line)) {
        dataFound += f[1] == DATA_FROM_REMOTE;
        if (sentBytes.count(f))
            foundWhole.insert(f);
    }
    EXPECT_EQ(dataFound, st.dataFramesFound);
    EXPECT_GE(foundWhole.size(), st.dataFramesIntact);
    EXPECT_LE(foundWhole.size(), st.dataFramesIntact + st.dataFramesDuplicated);
}

TEST_F(DongleSimTest, SameSeedSameHostileBytesOtherSeedOthers) {
    auto run = [&](uint64_t seed) {
        DongleSim::Options options = configured({{1, 2}, {2, 3}}, false);
        options.model.seed = seed;
        options.recordLine = true;
        options.hostile = {{"any", 50}};
        sim.reset();
        sentFrames.clear();
        DongleSim& s = start(options);
        Bytes line = streamAndStop(s, 60);
        // From the start's acknowledgement to the stop's, only the remotes' frames and the
        // acts on them are on the line.
        const Bytes started = frame(ACK, {START_DATA}), stopped = frame(ACK, {STOP_DATA});
        auto from = std::search(line.begin(), line.end(), started.begin(), started.end()) + started.size();
        auto to = std::find_end(from, line.end(), stopped.begin(), stopped.end());
        return Bytes(from, to);
    };
    const Bytes a = run(9), b = run(9), c = run(10);
    const std::size_t common = std::min(a.size(), b.size());
    ASSERT_GT(common, 2000u);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + common, b.begin()));
    EXPECT_FALSE(std::equal(a.begin(), a.begin() + std::min(common, c.size()), c.begin()));
}

TEST_F(DongleSimTest, HostileActsQueueForTheNextFramesAndRatesAddUpTo100) {
    DongleSim& s = start(configured({{1, 2}}, false));
    EXPECT_TRUE(s.hostileRate(HostileKind::BitFlip, 60));
    EXPECT_FALSE(s.hostileRate(HostileKind::Truncate, 50));
    EXPECT_EQ(s.control("hostile any 40%"), "ok");
    s.hostileOff();

    s.hostileNext(HostileKind::Duplicate);
    s.hostileNext(HostileKind::CounterJump);
    s.control("hostile truncate");
    streamAndStop(s, 40);
    const auto acts = s.hostileActs();
    ASSERT_EQ(acts.size(), 3u);
    EXPECT_EQ(acts[0].kind, HostileKind::Duplicate);
    EXPECT_EQ(acts[0].counter, 0);
    EXPECT_EQ(acts[1].kind, HostileKind::CounterJump);
    EXPECT_EQ(acts[1].counter, 1);
    EXPECT_EQ(acts[2].kind, HostileKind::Truncate);
    EXPECT_EQ(acts[2].counter, 1 + acts[1].count);
    const auto st = s.stats();
    EXPECT_EQ(st.countersSkipped, uint64_t(acts[1].count));
    EXPECT_EQ(st.dataFramesIntact + 1 + st.cost[int(HostileKind::Truncate)], st.dataFramesSent);
    EXPECT_EQ(sent().front().counter, 0);
    EXPECT_EQ(sent()[1].counter, 1 + acts[1].count);
}
