#include "device/link/SerialDevice.h"
#include "device/link/SerialPortCheck.h"

#include "tests/support/PseudoTerminal.h"
#include "tests/support/RecordingListener.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <iostream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const Bytes status = {0x02, 0x14, 0x06, 0x00, 0x05, 0x05, 0x01, 0x02, 0x03, 0x0A};
const Bytes ack = {0x02, 0xAA, 0x01, 0x24, 0x0A};

long ms(Clock::duration d) { return long(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); }

int linesStartingWith(const RecordingListener& listener, const std::string& start) {
    int n = 0;
    for (auto& l : listener.logLines())
        n += l.rfind(start, 0) == 0;
    return n;
}

// The transport on its own I/O thread, finding its port through the port finder.
struct TransportRig {
    RecordingListener listener;
    // A run of the enumerator ends only when it finishes or the transport stops it.
    SerialPortCheck finder{nullptr, nullptr, PortCheckTiming{.enumeratorTimeout = 600s}};
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    std::unique_ptr<SerialDevice> device;
    std::jthread ioThread;

    explicit TransportRig(std::chrono::milliseconds retry) {
        device = std::make_unique<SerialDevice>(io, &listener, &finder, retry);
        ioThread = std::jthread([this] { io.run(); });
    }
    ~TransportRig() { shutDown(); }

    // Closes the port and lets the I/O thread run out of work; returns how long it took.
    long shutDown() {
        if (!ioThread.joinable())
            return 0;
        auto start = Clock::now();
        device->close();
        work.reset();
        ioThread.join();
        return ms(Clock::now() - start);
    }

    Bytes nextFrame(std::chrono::milliseconds timeout = 1000ms) {
        auto frame = device->getReceiveQueue()->popWaitFor(std::stop_token(), timeout);
        return frame ? frame->vector() : Bytes();
    }
};

} // namespace

TEST(SerialDevice, OpenPortCarriesFramesBothWays) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    ScopedEnv port("KORVEX_PORT", pty.path);
    TransportRig rig(50ms);
    // A write while no port is open goes nowhere (and does not crash).
    Bytes early = {0x02, 0x11, 0x00, 0x0A};
    rig.device->write(early.data(), int(early.size()));
    rig.device->open();
    ASSERT_TRUE(rig.listener.waitFor(3000ms, [&] { return rig.listener.plugCount() == 1; }));
    EXPECT_TRUE(rig.device->isPlugged());
    EXPECT_EQ(rig.device->portName(), pty.path);
    EXPECT_TRUE(rig.listener.hasLogContaining("SerialDevice::do_open - Device name " + pty.path));
    EXPECT_TRUE(rig.listener.waitFor(
        500ms, [&] { return rig.listener.hasLogContaining("SerialDevice::do_open - donglePluggedIn"); }));

    // In: 5 bytes, then the rest together with a whole second frame; then byte by byte.
    // (Pauses stay below the idle limit, after which an unfinished frame is given up.)
    pty.send(Bytes(status.begin(), status.begin() + 5));
    std::this_thread::sleep_for(5ms);
    Bytes rest(status.begin() + 5, status.end());
    rest.insert(rest.end(), ack.begin(), ack.end());
    pty.send(rest);
    EXPECT_EQ(rig.nextFrame(), status);
    EXPECT_EQ(rig.nextFrame(), ack);
    for (uint8_t b : status) {
        pty.send({b});
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(rig.nextFrame(), status);

    // Garbage with a wrong end byte is dropped with a message, and reading goes on.
    testing::internal::CaptureStdout();
    Bytes stream = {0x02, 0x14, 0x01, 0x00, 0x33};
    stream.insert(stream.end(), ack.begin(), ack.end());
    pty.send(stream);
    Bytes frame = rig.nextFrame();
    std::cout.flush();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(frame, ack);
    EXPECT_NE(out.find("SerialDevice::push_data - ERROR Data size ..."), std::string::npos);
    // The counters are published once the read has been cut up.
    EXPECT_TRUE(waitFor(500ms, [&] { return rig.device->droppedBytes() == 5u; }));
    EXPECT_EQ(rig.device->framingErrors(), 1u);
    EXPECT_EQ(rig.device->framesReceived(), 4u);
    EXPECT_TRUE(rig.device->getReceiveQueue()->empty());

    // Out: whole and in order, and the caller's buffer may be gone before the write runs.
    Bytes a = {0x02, 0x12, 0x00, 0x0A};
    Bytes b = {0x02, 0x26, 0x02, 0x01, 0x03, 0x0A};
    {
        Bytes temporary = a;
        rig.device->write(temporary.data(), int(temporary.size()));
        std::fill(temporary.begin(), temporary.end(), 0xEE);
    }
    rig.device->write(b.data(), int(b.size()));
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(pty.receive(expected.size() + 1, 300ms), expected);

    // Closing reports the loss once and stops.
    EXPECT_LT(rig.shutDown(), 500);
    EXPECT_EQ(rig.listener.unplugCount(), 1);
}

TEST(SerialDevice, UnfinishedFrameIsGivenUpWhenTheLineGoesQuiet) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    ScopedEnv port("KORVEX_PORT", pty.path);
    TransportRig rig(50ms);
    rig.device->open();
    ASSERT_TRUE(rig.listener.waitFor(3000ms, [&] { return rig.listener.plugCount() == 1; }));

    // A data frame cut short. Joined to the next frame, its stated end would fall on that
    // frame's 0x0A at offset 10 and make one bogus frame of the two.
    const Bytes head = {0x02, 0x41, 0x0D, 0x01, 0x33, 0x00};
    const Bytes next = {0x02, 0x41, 0x0C, 0x01, 0x34, 0x00, 0x01, 0x0B, 0x04, 0x02, 0x0A, 0x02, 0x0B, 0x00, 0x00, 0x0A};
    testing::internal::CaptureStdout();
    const auto sent = Clock::now();
    pty.send(head);
    const bool givenUp = waitFor(1000ms, [&] { return rig.device->framingErrors() == 1u; });
    const auto after = Clock::now() - sent;
    std::cout.flush();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(givenUp);
    EXPECT_GE(after, SerialDevice::idleLimit);
    EXPECT_NE(out.find("SerialDevice::read_complete - ERROR Data size ..."), std::string::npos);
    EXPECT_EQ(rig.device->droppedBytes(), head.size());

    pty.send(next);
    EXPECT_EQ(rig.nextFrame(), next);
    EXPECT_TRUE(waitFor(500ms, [&] { return rig.device->framesReceived() == 1u; }));
    EXPECT_EQ(rig.device->framingErrors(), 1u);
}

TEST(SerialDevice, PortThatCannotBeOpenedIsRetried) {
    // /dev/null exists but is no terminal: every attempt fails with the system's message.
    ScopedEnv port("KORVEX_PORT", "/dev/null");
    TransportRig rig(50ms);
    rig.device->open();
    rig.device->open(); // a second request does not start a second attempt loop
    ASSERT_TRUE(rig.listener.waitFor(3000ms, [&] {
        return linesStartingWith(rig.listener, "SerialDevice::do_open - serialPort.open(/dev/null) - Error: ") >= 3;
    }));
    EXPECT_EQ(rig.listener.plugCount(), 0);
    rig.shutDown();
    // Attempts came one at a time, about one per wait.
    EXPECT_EQ(linesStartingWith(rig.listener, "SerialDevice::do_open - Device name /dev/null"),
              linesStartingWith(rig.listener, "SerialDevice::do_open - serialPort.open("));
    EXPECT_EQ(rig.listener.unplugCount(), 0);
}

TEST(SerialDevice, CloseEndsARunningDiscoveryPromptly) {
    ::unsetenv("KORVEX_PORT");
    TempDir dir;
    TransportRig rig(10ms);
    rig.finder.setEnumeratorPath(dir.script("EnumSer", "exec sleep 600"));
    rig.device->open();
    ASSERT_TRUE(waitFor(5000ms, [&] { return rig.finder.enumeratorRuns() == 1; }));
    // Far below the enumerator's ten minutes: only the close can have ended the run.
    EXPECT_LT(rig.shutDown(), 5000);
    EXPECT_EQ(rig.listener.plugCount(), 0);
}
