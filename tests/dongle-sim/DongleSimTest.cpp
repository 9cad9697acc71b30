// The simulated kit over its real pseudo-terminal, as the library meets it.
#include "tools/dongle-sim/DongleSim.h"
#include "tools/dongle-sim/SimLayout.h"

#include "device/link/protocol/CommandCodes.h"
#include "device/link/protocol/Packet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
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
    void SetUp() override {
        char pattern[] = "/tmp/korvex-sim-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        setenv("KORVEX_RUNTIME_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        sim.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    DongleSim& start(DongleSim::Options options = {}) {
        sim = std::make_unique<DongleSim>(std::move(options));
        std::string error;
        EXPECT_TRUE(sim->start(&error)) << error;
        return *sim;
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

    fs::path dir;
    std::unique_ptr<DongleSim> sim;
};

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

}  // namespace

TEST_F(DongleSimTest, AnswersOverARawTerminalThatItRegistersWhileOpen) {
    DongleSim& s = start();
    const std::string path = s.portPath();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(registeredPaths(), std::vector<std::string>{path});

    PortClient host(path);
    ASSERT_TRUE(host.isOpen());
    EXPECT_EQ(host.ask(frame(GET_DONGLE_STATUS)), frame(GET_DONGLE_STATUS, {0x01, 0x07, 4, 0x4B, 0x56, 0x01}));
    EXPECT_EQ(host.ask(frame(GET_PAIRING)), frame(GET_PAIRING, {1, 0x0A, 0x1B, 0x01, 1, 0x0A, 0x1B, 0x02}));
    // The remotes that connected before the host came are announced after its first query.
    EXPECT_EQ(host.nextAnswer(), frame(RF_CONNECTION, {1, 1}));
    EXPECT_EQ(host.nextAnswer(), frame(RF_CONNECTION, {2, 1}));
    EXPECT_EQ(host.ask(frame(GET_PAIRING)).value_or(Bytes(2))[1], GET_PAIRING);
    EXPECT_FALSE(host.nextAnswer(50ms)) << "announced once per host";
    // Bytes that look like line endings pass untouched: the terminal is raw both ways.
    EXPECT_EQ(host.ask(frame(SET_FIXED_CONFIG, {1, 0x0A})), frame(ACK, {SET_FIXED_CONFIG}));
    EXPECT_EQ(host.ask(frame(GET_FIXED_CONFIG, {1})), frame(GET_FIXED_CONFIG, {1, 0x0A}));

    s.stop();
    EXPECT_TRUE(registeredPaths().empty());
}

TEST_F(DongleSimTest, StreamsOneFramePerRemoteEveryTenMillisecondsUntilStopped) {
    DongleSim::Options options;
    options.fixedConfigs = {{1, 1}, {2, 43}};
    DongleSim& s = start(options);
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
    EXPECT_NE(second, first);   // the old terminal is still held open by the old host
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
    EXPECT_EQ(s.control("radio-drop 3").rfind("error", 0), 0u);
    EXPECT_EQ(s.control("jump").rfind("error", 0), 0u);
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
    EXPECT_EQ(s.control("garbage hex 02 14"), "ok");   // a false start: a frame header, no frame
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
    EXPECT_EQ(host.ask(frame(GET_FIXED_CONFIG, {1})), frame(GET_FIXED_CONFIG, {1, 0}));   // not matched
    EXPECT_EQ(host.ask(frame(SET_FIXED_CONFIG, {1, 3})), frame(NACK, {SET_FIXED_CONFIG, 5}));
    EXPECT_EQ(host.ask(frame(GET_FIXED_CONFIG, {1})), frame(GET_FIXED_CONFIG, {1, 0}));   // refused: unchanged
    EXPECT_EQ(host.ask(frame(SET_FIXED_CONFIG, {1, 3})), frame(ACK, {SET_FIXED_CONFIG}));
    EXPECT_EQ(s.control("nack NO_SUCH_COMMAND 5").rfind("error", 0), 0u);
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
    DongleSim::Options options;
    options.fixedConfigs = {{1, 6}};
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
    EXPECT_EQ(samples, 2 * simFirstSampleOfFrame(50, n) + simFirstSampleOfFrame(100, n) + simFirstSampleOfFrame(400, n));
    EXPECT_NEAR(pressure, 101.3, 0.4);
    EXPECT_NEAR(temperature, 22.0, 0.5);
}

TEST_F(DongleSimTest, FramesForAClosedPortAreLostNotDeliveredLater) {
    DongleSim::Options options;
    options.fixedConfigs = {{1, 2}};
    DongleSim& s = start(options);
    {
        PortClient host(s.portPath());
        ASSERT_EQ(host.ask(frame(START_DATA)), frame(ACK, {START_DATA}));
        ASSERT_TRUE(host.nextFrame());
    }
    std::this_thread::sleep_for(150ms);
    PortClient host(s.portPath());
    auto f = host.nextFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(host.skipped, 0u) << "the stream resumes on a frame boundary";
    EXPECT_EQ((*f)[1], DATA_FROM_REMOTE);
    EXPECT_GT(s.stats().dataFramesLost, 5u);
}

TEST_F(DongleSimTest, UnpacedStreamingRunsAsFastAsTheHostReads) {
    DongleSim::Options options;
    options.fixedConfigs = {{1, 46}};
    options.paced = false;
    DongleSim& s = start(options);
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
    EXPECT_NE(runCommand(program + " --config 1=11 2>&1"), "");   // refused with a message
}
