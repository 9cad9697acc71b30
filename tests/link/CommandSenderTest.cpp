#include "device/link/CommandSender.h"
#include "device/link/ISerialDevice.h"
#include "device/protocol/Protocol.h"

#include "tests/support/RecordingListener.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The dongle's timing scaled down five times: still ten looks, but over 100 ms.
const AnswerTiming quick{10ms, 10, 10ms};

// A port that records every write with its time. It answers the first write of each
// command at once when `answers` is set; a second attempt is the same frame again, which a
// real dongle would answer too late anyway.
class FakeDevice : public ISerialDevice {
public:
    struct Write {
        std::vector<uint8_t> bytes;
        Clock::time_point at;
    };

    FakeDevice() : ISerialDevice(nullptr) {}

    void open() override {}
    void close() override {}
    void write(const uint8_t* data, int size) override {
        bool answer = false;
        {
            std::lock_guard lock(mutex);
            writes.push_back({std::vector<uint8_t>(data, data + size), Clock::now()});
            answer = answers && (writes.size() == 1 || writes[writes.size() - 2].bytes != writes.back().bytes);
        }
        if (answer)
            protocol->commandAnswered();
    }

    std::vector<Write> writesCopy() {
        std::lock_guard lock(mutex);
        return writes;
    }
    size_t writeCount() {
        std::lock_guard lock(mutex);
        return writes.size();
    }

    Protocol* protocol = nullptr;
    bool answers = false;

private:
    std::mutex mutex;
    std::vector<Write> writes;
};

// Answers the command being waited for when the sender logs `answerOn`: an answer that
// arrives between two given looks, whatever the machine's load.
class AnsweringListener : public RecordingListener {
public:
    void log(std::string line) override {
        bool answer = line == answerOn;
        RecordingListener::log(std::move(line));
        if (answer)
            protocol->commandAnswered();
    }
    Protocol* protocol = nullptr;
    std::string answerOn;
};

struct SenderRig {
    AnsweringListener listener;
    Protocol protocol;
    FakeDevice device;
    CommandSender sender;
    std::jthread thread;

    explicit SenderRig(bool answers, AnswerTiming timing = quick, std::string answerOn = {})
        : sender(&listener, &device, &protocol, timing) {
        listener.protocol = &protocol;
        listener.answerOn = std::move(answerOn);
        device.protocol = &protocol;
        device.answers = answers;
        sender.setGiveUpHandler([this](const Packet& frame) {
            std::lock_guard lock(givenUpLock);
            givenUp.push_back(frame.vector());
        });
        thread = std::jthread([this](std::stop_token stop) { sender.listenLoop(stop); });
    }

    std::vector<std::vector<uint8_t>> givenUpCopy() {
        std::lock_guard lock(givenUpLock);
        return givenUp;
    }

    std::mutex givenUpLock;
    std::vector<std::vector<uint8_t>> givenUp;

    std::vector<std::string> senderLines() {
        std::vector<std::string> out;
        for (auto& l : listener.logLines())
            if (l.rfind("CommandSender::", 0) == 0)
                out.push_back(l);
        return out;
    }
    // The "waiting" lines of the command called `name`.
    std::vector<std::string> waitingLinesOf(const std::string& name) {
        std::vector<std::string> out;
        for (auto& l : listener.logLines())
            if (l.rfind("CommandSender::listenLoop: --- " + name + " (", 0) == 0)
                out.push_back(l);
        return out;
    }
};

std::vector<std::string> waitingLines(const std::string& name, int from, int to) {
    std::vector<std::string> out;
    for (int n = from; n <= to; ++n)
        out.push_back("CommandSender::listenLoop: --- " + name + " (" + std::to_string(n) + ")");
    return out;
}

} // namespace

TEST(CommandSender, AnsweredCommandsGoOutInOrderWithOnlyTheirSendingLines) {
    SenderRig rig(true);
    rig.protocol.getPairing();
    rig.protocol.setFixedConfig(1, 3);
    // A code the name table does not know is sent all the same, with an empty name.
    rig.protocol.getCommandQueue()->push(std::make_unique<Packet>(std::vector<uint8_t>{0x02, 0x77, 0x00, 0x0A}));
    rig.protocol.getPacketConfig(1);
    // Every earlier command is finished with once the last one is written: a second
    // attempt of any of them would come before it.
    ASSERT_TRUE(waitFor(5000ms, [&] { return rig.device.writeCount() >= 4; }));

    auto writes = rig.device.writesCopy();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{0x02, 0x12, 0x00, 0x0A}));
    EXPECT_EQ(writes[1].bytes, (std::vector<uint8_t>{0x02, 0x26, 0x02, 0x01, 0x03, 0x0A}));
    EXPECT_EQ(writes[2].bytes, (std::vector<uint8_t>{0x02, 0x77, 0x00, 0x0A}));
    EXPECT_EQ(writes[3].bytes, (std::vector<uint8_t>{0x02, 0x28, 0x01, 0x01, 0x0A}));
    // Even an immediate answer holds the sender until its first look.
    for (size_t i = 1; i < writes.size(); ++i)
        EXPECT_GE(writes[i].at - writes[i - 1].at, quick.lookPeriod) << "command " << i;
    EXPECT_EQ(rig.senderLines(), (std::vector<std::string>{"CommandSender::listenLoop: >>> GET_PAIRING",
                                                           "CommandSender::listenLoop: >>> SET_FIXED_CONFIG",
                                                           "CommandSender::listenLoop: >>> ",
                                                           "CommandSender::listenLoop: >>> GET_PACKET_CONFIG"}));
    EXPECT_TRUE(rig.givenUpCopy().empty());
}

TEST(CommandSender, UnansweredCommandIsSentTwiceWithTenWaitingLines) {
    SenderRig rig(false);
    rig.protocol.getDongleStatus();
    rig.protocol.stopData();
    ASSERT_TRUE(waitFor(5000ms, [&] { return rig.device.writeCount() >= 3; }));

    auto writes = rig.device.writesCopy();
    EXPECT_EQ(writes[0].bytes, writes[1].bytes);
    EXPECT_EQ(writes[2].bytes, (std::vector<uint8_t>{0x02, 0x21, 0x00, 0x0A}));
    // The second attempt one look period after the tenth look, the next command a pause
    // after that.
    EXPECT_GE(writes[1].at - writes[0].at, quick.lookPeriod * 11);
    EXPECT_GE(writes[2].at - writes[1].at, quick.secondAttemptPause);

    auto lines = rig.senderLines();
    std::vector<std::string> expected = {"CommandSender::listenLoop: >>> GET_DONGLE_STATUS"};
    auto waiting = waitingLines("GET_DONGLE_STATUS", 0, 9);
    expected.insert(expected.end(), waiting.begin(), waiting.end());
    expected.push_back("CommandSender::listenLoop: >>> GET_DONGLE_STATUS (Second attempt)");
    expected.push_back("CommandSender::listenLoop: >>> STOP_DATA");
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expected.size()), expected);
}

TEST(CommandSender, AnswerAfterTheFifthLookEndsTheWaitAtTheSixth) {
    // With the dongle's timing: answered at 275 ms, the wait ends at the 300 ms look.
    SenderRig rig(false, quick, "CommandSender::listenLoop: --- GET_PAIRING (4)");
    rig.protocol.getPairing();
    rig.protocol.getDongleStatus();
    ASSERT_TRUE(waitFor(5000ms, [&] { return rig.device.writeCount() >= 2; }));

    // No second attempt: the next write is the next command.
    auto writes = rig.device.writesCopy();
    EXPECT_EQ(writes[1].bytes, (std::vector<uint8_t>{0x02, 0x14, 0x00, 0x0A}));
    EXPECT_GE(writes[1].at - writes[0].at, quick.lookPeriod * 6);
    EXPECT_EQ(rig.waitingLinesOf("GET_PAIRING"), waitingLines("GET_PAIRING", 0, 4));
    EXPECT_TRUE(rig.givenUpCopy().empty());
}

TEST(CommandSender, AnswerAfterTheTenthLookStillGetsASecondAttemptButNoGiveUp) {
    // With the dongle's timing: answered at 520 ms, between the last look and the second
    // attempt.
    SenderRig rig(false, quick, "CommandSender::listenLoop: --- FIND_REMOTE (9)");
    rig.protocol.findRemote();
    rig.protocol.getDongleStatus();
    // FIND_REMOTE is finished with once the next command is written.
    ASSERT_TRUE(waitFor(5000ms, [&] { return rig.device.writeCount() >= 3; }));
    auto writes = rig.device.writesCopy();
    EXPECT_EQ(writes[0].bytes, writes[1].bytes);
    EXPECT_EQ(writes[2].bytes, (std::vector<uint8_t>{0x02, 0x14, 0x00, 0x0A}));
    auto lines = rig.senderLines();
    ASSERT_GE(lines.size(), 13u);
    EXPECT_EQ(lines[11], "CommandSender::listenLoop: >>> FIND_REMOTE (Second attempt)");
    // The late answer counts for the second attempt.
    EXPECT_TRUE(rig.givenUpCopy().empty());
}

TEST(CommandSender, StopEndsTheThreadWhileWaitingForAnAnswer) {
    // Looks a minute apart: the join below can only end through the stop request (a sender
    // deaf to it would hold the test until its time limit).
    auto rig = std::make_unique<SenderRig>(false, AnswerTiming{60s, 10, 60s});
    rig->protocol.getDongleStatus();
    rig->protocol.stopData();
    ASSERT_TRUE(waitFor(5000ms, [&] { return rig->device.writeCount() == 1; }));
    rig->thread.request_stop();
    rig->thread.join();
    EXPECT_EQ(rig->device.writeCount(), 1u);
    EXPECT_EQ(rig->senderLines(), (std::vector<std::string>{"CommandSender::listenLoop: >>> GET_DONGLE_STATUS"}));
    EXPECT_TRUE(rig->givenUpCopy().empty());
}

TEST(CommandSender, OnlyACommandUnansweredAfterBothAttemptsIsGivenUp) {
    const AnswerTiming quicker{5ms, 3, 5ms};
    SenderRig silent(false, quicker);
    silent.protocol.getDongleStatus();
    silent.protocol.stopData();
    ASSERT_TRUE(waitFor(5000ms, [&] { return silent.givenUpCopy().size() == 2; }));
    EXPECT_EQ(silent.givenUpCopy(), (std::vector<std::vector<uint8_t>>{Protocol::buildCommand(GET_DONGLE_STATUS),
                                                                       Protocol::buildCommand(STOP_DATA)}));
    EXPECT_EQ(silent.device.writeCount(), 4u);
}
