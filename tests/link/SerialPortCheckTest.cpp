#include "device/base/HardwareState.h"
#include "device/link/SerialPortCheck.h"
#include "device/protocol/Protocol.h"

#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long msSince(Clock::time_point t) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

} // namespace

// One run of the enumerator each: what it prints (or no program at all), the port found,
// and what the check says on standard output.
TEST(SerialPortCheck, EnumeratorRunsFindThePortOrFailWithTheirMessage) {
    ::unsetenv("KORVEX_PORT");
    struct Case {
        const char* what;
        std::optional<std::string> script; // none: no program where it is looked for
        std::chrono::milliseconds deadline;
        std::string port, output;
    };
    const Case cases[] = {
        {"listing",
         "echo 'COM1 <Communications Port>'\necho '/dev/ttyS0 <16550A UART>' >&2\n"
         "echo '/dev/pts/77 <Korvex Virtual COM Port>'",
         60s, "/dev/pts/77", ""},
        {"no dongle", "echo 'COM1 <Communications Port>'", 60s, "", ""},
        // It names the dongle and then never ends: a run that is not finished counts as failed.
        {"hung", "echo '/dev/pts/5 <Korvex Virtual COM Port>'\nexec sleep 30", 150ms, "",
         "EnumSer did not finish within 150 ms and was stopped\n"},
        // 200 KB of other ports (more than a pipe holds), then the dongle: past the first 512
        // bytes, so not found. An enumerator left blocked on a full pipe would never end.
        {"long",
         "i=0; while [ $i -lt 8000 ]; do echo '/dev/ttyS1 <16550A UART>'; i=$((i+1)); done\n"
         "echo '/dev/pts/8 <Korvex Virtual COM Port>'",
         60s, "", ""},
        {"missing", std::nullopt, 60s, "", "CreateProcess failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        SerialPortCheck check(nullptr, nullptr, PortCheckTiming{.enumeratorTimeout = c.deadline});
        check.setEnumeratorPath(c.script ? dir.script("EnumSer", *c.script) : "/nonexistent/korvex/EnumSer");
        testing::internal::CaptureStdout();
        auto start = Clock::now();
        EXPECT_EQ(check.getDeviceName(), c.port);
        long took = msSince(start);
        std::string out = testing::internal::GetCapturedStdout();
        if (c.script)
            EXPECT_EQ(out, c.output);
        else
            EXPECT_NE(out.find(c.output), std::string::npos) << out;
        EXPECT_GE(took, c.deadline < 60s ? c.deadline.count() : 0);
        EXPECT_EQ(check.enumeratorRuns(), c.script ? 1u : 0u);
    }
}

TEST(SerialPortCheck, StopRequestEndsARunningEnumeratorBeforeItsDeadline) {
    ::unsetenv("KORVEX_PORT");
    TempDir dir;
    // A deadline no test waits for: only the stop request can end this run.
    SerialPortCheck check(nullptr, nullptr, PortCheckTiming{.enumeratorTimeout = 60s});
    check.setEnumeratorPath(dir.script("EnumSer", "exec sleep 30"));
    std::stop_source stop;
    std::jthread stopper([&] {
        waitFor(5000ms, [&] { return check.enumeratorRuns() == 1; });
        stop.request_stop();
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(check.getDeviceName(stop.get_token()), "");
    // Stopped, not timed out: nothing is reported.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SerialPortCheck, PortFromTheEnvironmentBypassesTheEnumerator) {
    TempDir dir;
    std::string fake = dir.script("not-run", "exit 1");
    SerialPortCheck check(nullptr, nullptr);
    check.setEnumeratorPath(dir.script("EnumSer", "echo '/dev/pts/1 <Korvex Virtual COM Port>'"));
    ScopedEnv port("KORVEX_PORT", fake);
    EXPECT_EQ(check.getDeviceName(), fake);
    // Once the named device is gone it is not listed, as with the enumerator.
    port.set((dir.path() / "gone").string());
    EXPECT_EQ(check.getDeviceName(), "");
    EXPECT_EQ(check.enumeratorRuns(), 0u);
}

TEST(SerialPortCheck, EnumeratorIsLookedForBesideTheProgramBeforePath) {
    TempDir dir;
    std::string onPath = dir.script("EnumSer", "exit 0");
    ScopedEnv path("PATH", "/nonexistent-korvex:" + dir.path().string());
    SerialPortCheck check(nullptr, nullptr);
    auto candidates = check.enumeratorCandidates();
    ASSERT_FALSE(candidates.empty());
    EXPECT_EQ(candidates.back(), onPath);
    std::error_code ec;
    auto programDir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    if (std::filesystem::exists(programDir / "EnumSer"))
        EXPECT_EQ(candidates.front(), (programDir / "EnumSer").string());
    else
        EXPECT_EQ(candidates.size(), 1u);
}

TEST(SerialPortCheck, WatcherNeverRunsTheEnumeratorWhileStreaming) {
    ::unsetenv("KORVEX_PORT");
    TempDir dir;
    HardwareState state;
    Protocol protocol;
    // Short looks; the pause after a probe is longer than this test ever waits.
    SerialPortCheck check(&state, &protocol, PortCheckTiming{10ms, 600s, 2000ms});
    check.setEnumeratorPath(dir.script("EnumSer", "echo 'COM1 <Communications Port>'"));
    state.donglePlugged = true;
    state.dongleMode = DongleModeData;
    {
        std::jthread watcher([&](std::stop_token stop) { check.checkLoop(stop); });
        ASSERT_TRUE(waitFor(5000ms, [&] { return check.watcherLooks() >= 20; }));
        EXPECT_EQ(check.enumeratorRuns(), 0u);
        EXPECT_TRUE(protocol.getCommandQueue()->empty());

        // Out of Data mode the dongle is looked for again; it is not listed, so a status
        // request is queued to make the port fail, and the watcher then pauses.
        state.dongleMode = DongleModeConnected;
        ASSERT_TRUE(waitFor(5000ms, [&] { return check.statusProbes() == 1; }));
        EXPECT_EQ(check.enumeratorRuns(), 1u);
        auto frame = protocol.getCommandQueue()->tryPop();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->vector(), (std::vector<uint8_t>{0x02, 0x14, 0x00, 0x0A}));
        // The stop request reaches the watcher inside that pause (a watcher deaf to it
        // would hold this join for ten minutes).
        watcher.request_stop();
        watcher.join();
        EXPECT_EQ(check.statusProbes(), 1u);
    }
}
