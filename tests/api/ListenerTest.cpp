#include "device/api/EventDispatch.h"
#include "device/api/KorvexListener.h"

#include "tests/support/ScriptLog.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override { ScriptLog::clear(); }

    std::string only() {
        EXPECT_EQ(ScriptLog::all().size(), 1u);
        return ScriptLog::all().empty() ? std::string() : ScriptLog::all().back();
    }

    KorvexListener listener{ScriptLog::capture};
};

std::string event(const std::string& inner) { return "KorvexEventHandler.sendEvent(" + inner + ")"; }

// Records what reaches the end of the chain, and answers error() with true to show that the
// dispatcher does not pass that value on.
struct RecordingListener : IKorvexListener {
    std::vector<std::string> calls;
    void log(std::string line) override { calls.push_back("log:" + line); }
    bool error(int code, std::string detail) override {
        calls.push_back("error:" + std::to_string(code) + ":" + detail);
        return true;
    }
    void warning(int code, std::string detail) override {
        calls.push_back("warning:" + std::to_string(code) + ":" + detail);
    }
    void donglePluggedIn() override { calls.push_back("plugged"); }
    void dongleNotPluggedIn() override { calls.push_back("unplugged"); }
    void replyReceived(int c, int f, int s) override {
        calls.push_back("reply:" + std::to_string(c) + "," + std::to_string(f) + "," + std::to_string(s));
    }
    void hardwareStateChanged() override { calls.push_back("hardware"); }
    void acquisitionStackChanged() override { calls.push_back("stack"); }
    void findRemoteResult(int id) override { calls.push_back("find:" + std::to_string(id)); }
    void sensorRecalibrated(int r, int t) override {
        calls.push_back("recal:" + std::to_string(r) + "," + std::to_string(t));
    }
    void sendEvent(std::string name, std::string args) override { calls.push_back("event:" + name + ":" + args); }
};

} // namespace

TEST(MessageTable, HoldsEveryCodeFrom0To38Except21) {
    KorvexListener listener(nullptr);
    EXPECT_EQ(listener.errorMessages.size(), 38u);
    for (int code = 0; code <= 38; ++code)
        EXPECT_EQ(listener.errorMessages.count(code), code == 21 ? 0u : 1u) << code;
    EXPECT_EQ(listener.errorMessages.at(12),
              "KorvexAPI::setUpNewAcquisition - Save or delete the previous acquisition before "
              "creating a new one");
    EXPECT_EQ(listener.errorMessages.at(17),
              "KorvexAPI::SaveAcquisition - Impossible to perform that operation, the dongle is "
              "in DATA mode");
    EXPECT_EQ(listener.errorMessages.at(29), "FileSystem:: - Cannot read file");
    EXPECT_EQ(listener.errorMessages.at(33), "DataParser::dataFromRemote - ParckInfo : sensor data length not set");
    EXPECT_EQ(listener.errorMessages.at(15),
              "KorvexAPI::setFixedConfiguration - Impossible to perform that operation, the "
              "dongle is not in CONNECTED mode");
    EXPECT_EQ(listener.errorMessages.at(37), "HardwareAPI::set_output_config - Sensor or key out of range");
    EXPECT_EQ(listener.errorMessages.at(38), "HardwareAPI::set_fixed_config - Fixed configuration not managed");
}

TEST(MessageTable, EveryListenerCarriesItsOwnCopy) {
    KorvexListener a(nullptr);
    EventDispatch b(&a);
    a.errorMessages[99] = "changed";
    EXPECT_EQ(b.errorMessages.count(99), 0u);
}

TEST(ErrorMessage, FillsThePlaceholderOnlyWhenADetailIsGiven) {
    KorvexListener listener(nullptr);
    EXPECT_EQ(listener.errorMessage(31, "0x55"), "DataParser::listenLoop - SOP/EOP not correct 0x55");
    EXPECT_EQ(listener.errorMessage(22, ""),
              "KorvexAPI::getSensorData - Sensor not defined for the this acquisition %1%");
    EXPECT_EQ(listener.errorMessage(22, "2 8"),
              "KorvexAPI::getSensorData - Sensor not defined for the this acquisition 2 8");
    // A detail with format characters of its own is inserted as it is.
    EXPECT_EQ(listener.errorMessage(35, "%2% 100%"), "DataParser::findRemote - Remote %2% 100% already paired");
    EXPECT_EQ(listener.errorMessage(6, ""), "HardwareAPI::stop_data_acquisition - Dongle not in DATA mode");
}

TEST(ErrorMessage, UndefinedCodesSayCodeNNotDefined) {
    KorvexListener listener(nullptr);
    EXPECT_EQ(listener.errorMessage(21, ""), "Code 21 not defined");
    EXPECT_EQ(listener.errorMessage(21, "detail"), "Code 21 not defined");
    EXPECT_EQ(listener.errorMessage(39, ""), "Code 39 not defined");
    EXPECT_EQ(listener.errorMessage(-1, ""), "Code -1 not defined");
}

TEST(ErrorMessage, DetailForATextWithoutPlaceholderIsAppendedNotThrown) {
    KorvexListener listener(nullptr);
    std::string text;
    EXPECT_NO_THROW(text = listener.errorMessage(34, "GET_SENSOR_CONFIG"));
    EXPECT_EQ(text, "DataParser::listenLoop - Command not implemented - GET_SENSOR_CONFIG");
}

TEST_F(ListenerTest, LogErrorAndWarningTemplates) {
    listener.log("KorvexAPI::x - y");
    EXPECT_FALSE(listener.error(31, "7"));
    listener.warning(34, "");
    EXPECT_FALSE(listener.error(21, ""));
    ASSERT_EQ(ScriptLog::all().size(), 4u);
    EXPECT_EQ(ScriptLog::all()[0], "console.log('KorvexAPI::x - y')");
    EXPECT_EQ(ScriptLog::all()[1], "console.log('** ERROR => DataParser::listenLoop - SOP/EOP not correct 7')");
    EXPECT_EQ(ScriptLog::all()[2], "console.log('** WARNING => DataParser::listenLoop - Command not implemented')");
    EXPECT_EQ(ScriptLog::all()[3], "console.log('** ERROR => Code 21 not defined')");
}

TEST_F(ListenerTest, EventTemplatesAndNames) {
    listener.hardwareStateChanged();
    listener.acquisitionStackChanged();
    listener.findRemoteResult(7);
    listener.findRemoteResult(0);
    listener.sensorRecalibrated(1, 8);
    listener.sendEvent("custom", "'text'");
    ASSERT_EQ(ScriptLog::all().size(), 6u);
    EXPECT_EQ(ScriptLog::all()[0], event("{ name: 'hardwareStateChanged' }"));
    EXPECT_EQ(ScriptLog::all()[1], event("{ name: 'acquisitionStackChanged' }"));
    EXPECT_EQ(ScriptLog::all()[2], event("{ name: 'findRemoteResult', args: 7 }"));
    EXPECT_EQ(ScriptLog::all()[3], event("{ name: 'findRemoteResult', args: 0 }"));
    EXPECT_EQ(ScriptLog::all()[4], event("{ name: 'sensorRecalibrated', args: { remote: 1, sensorType: 8 } }"));
    EXPECT_EQ(ScriptLog::all()[5], event("{ name: 'custom', args: 'text' }"));
}

TEST_F(ListenerTest, RepliesThatRaiseEventsAndRepliesThatDoNot) {
    listener.replyReceived(0x27, 0, 0);
    EXPECT_EQ(only(), event("{ name: 'fixedConfigChanged' }"));
    ScriptLog::clear();
    listener.replyReceived(0xAA, 0x20, 0);
    listener.replyReceived(0xAA, 0x2C, 0);
    ASSERT_EQ(ScriptLog::all().size(), 2u);
    EXPECT_EQ(ScriptLog::all()[0], event("{ name: 'dataStarted' }"));
    EXPECT_EQ(ScriptLog::all()[1], event("{ name: 'dataStarted' }"));
    ScriptLog::clear();
    listener.replyReceived(0x14, 8, 16);
    EXPECT_EQ(only(), event("{ name: 'dataStopped' }"));
    ScriptLog::clear();
    listener.replyReceived(0x14, 16, 16);  // still streaming
    listener.replyReceived(0x14, 1, 8);    // never was streaming
    listener.replyReceived(0xAA, 0x21, 0); // acknowledged stop is not a start
    listener.replyReceived(0x12, 0, 0);
    listener.donglePluggedIn();
    listener.dongleNotPluggedIn();
    EXPECT_TRUE(ScriptLog::all().empty());
}

TEST(NullSinks, DropReportsWithoutTouchingAListenerBesideThem) {
    // Each listener keeps its own callback: reports to one without a callback, or to a
    // dispatcher without an end, are dropped, while a capturing listener beside them still
    // delivers exactly its own.
    ScriptLog::clear();
    KorvexListener silent(nullptr);
    KorvexListener heard(ScriptLog::capture);
    EventDispatch toNowhere(nullptr);
    EventDispatch toSilent(&silent);
    for (IKorvexListener* sink : std::initializer_list<IKorvexListener*>{&silent, &toNowhere, &toSilent}) {
        sink->log("x");
        EXPECT_FALSE(sink->error(1, ""));
        sink->warning(2, "");
        sink->sendEvent("a", "1");
        sink->replyReceived(0x27, 0, 0);
        sink->findRemoteResult(7);
    }
    EXPECT_TRUE(ScriptLog::all().empty());
    heard.findRemoteResult(7);
    ASSERT_EQ(ScriptLog::all().size(), 1u);
    EXPECT_EQ(ScriptLog::all()[0], event("{ name: 'findRemoteResult', args: 7 }"));
}

TEST_F(ListenerTest, QuotesBackslashesAndLineBreaksCannotBreakOutOfTheScript) {
    listener.log("it's C:\\dir \"q\"\nalert(1)\r\tend");
    EXPECT_EQ(only(), "console.log('it\\'s C:\\\\dir \\\"q\\\"\\nalert(1)\\r\\tend')");
    ScriptLog::clear();
    listener.error(31, "');alert(1);//");
    EXPECT_EQ(only(), "console.log('** ERROR => DataParser::listenLoop - SOP/EOP not correct \\');alert(1);//')");
    ScriptLog::clear();
    listener.sendEvent("a'b", "");
    EXPECT_EQ(only(), event("{ name: 'a\\'b' }"));
}

TEST(ScriptEscaping, ControlCharactersAndLineSeparators) {
    EXPECT_EQ(KorvexListener::escapeScriptText(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(KorvexListener::escapeScriptText("\x1b\x7f"), "\\x1b\\x7f");
    EXPECT_EQ(KorvexListener::escapeScriptText("x\xE2\x80\xA8y\xE2\x80\xA9z"), "x\\u2028y\\u2029z");
    // Other UTF-8 text passes unchanged.
    EXPECT_EQ(KorvexListener::escapeScriptText("Mesure \xC3\xA9t\xC3\xA9 \xE2\x82\xAC"),
              "Mesure \xC3\xA9t\xC3\xA9 \xE2\x82\xAC");
    // A lone lead byte at the very end is not read past.
    EXPECT_EQ(KorvexListener::escapeScriptText("a\xE2\x80"), "a\xE2\x80");
}

TEST(ScriptEscaping, ArgsThatStayOneExpressionAreKept) {
    for (const char* args : {"7", "-1", "{ remote: 1, sensorType: 8 }", "'a, b); c'", "\"x\\\"y\"",
                             "[1, [2, 3], { a: (4) }]", "'it\\'s'", "a / b"})
        EXPECT_TRUE(KorvexListener::isSafeArgsExpression(args)) << args;
}

TEST(ScriptEscaping, ArgsThatCouldEscapeTheEventCallAreQuoted) {
    for (const char* args : {"1); alert(1", "1, 2", "1; x", "1 // rest", "1 /* c */", "`${x}`", "'open", "{ a: 1",
                             "a: 1 }", "(]", "'ends with \\", "1\n2"})
        EXPECT_FALSE(KorvexListener::isSafeArgsExpression(args)) << args;
    ScriptLog::clear();
    KorvexListener listener(ScriptLog::capture);
    listener.sendEvent("x", "1); alert(1");
    ASSERT_EQ(ScriptLog::all().size(), 1u);
    EXPECT_EQ(ScriptLog::all()[0], event("{ name: 'x', args: '1); alert(1' }"));
}

TEST(EventDispatchTimeStamp, LogLinesStartWithLocalTimeInSimpleStringForm) {
    ScriptLog::clear();
    KorvexListener listener(ScriptLog::capture);
    EventDispatch dispatch(&listener);
    dispatch.log("KorvexAPI::getHardwareState");
    ASSERT_EQ(ScriptLog::all().size(), 1u);
    static const std::regex form(R"(console\.log\('(\d{4})-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{2} )"
                                 R"(\d{2}:\d{2}:\d{2}(\.\d{6})? KorvexAPI::getHardwareState'\))");
    EXPECT_TRUE(std::regex_match(ScriptLog::all()[0], form)) << ScriptLog::all()[0];
    // A fraction of zero is left out entirely, as the simple-string form writes it.
    EXPECT_TRUE(std::regex_match(EventDispatch::timeStamp(),
                                 std::regex(R"(\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2}(\.\d{6})?)")));
    // Errors and warnings carry no stamp.
    ScriptLog::clear();
    dispatch.error(20, "");
    dispatch.warning(34, "");
    ASSERT_EQ(ScriptLog::all().size(), 2u);
    EXPECT_EQ(ScriptLog::all()[0], "console.log('** ERROR => KorvexAPI::saveAcquisition - No acquisition defined')");
    EXPECT_EQ(ScriptLog::all()[1], "console.log('** WARNING => DataParser::listenLoop - Command not implemented')");
}

TEST(EventDispatchForwarding, EveryReportReachesTheListenerAndErrorIsAlwaysFalse) {
    RecordingListener end;
    EventDispatch dispatch(&end);
    EXPECT_FALSE(dispatch.error(3, "d"));
    dispatch.warning(34, "w");
    dispatch.donglePluggedIn();
    dispatch.dongleNotPluggedIn();
    dispatch.replyReceived(0x14, 8, 16);
    dispatch.hardwareStateChanged();
    dispatch.acquisitionStackChanged();
    dispatch.findRemoteResult(0x123456);
    dispatch.sensorRecalibrated(2, 9);
    dispatch.sendEvent("n", "a");
    EXPECT_EQ(end.calls, (std::vector<std::string>{"error:3:d", "warning:34:w", "plugged", "unplugged", "reply:20,8,16",
                                                   "hardware", "stack", "find:1193046", "recal:2,9", "event:n:a"}));
}

TEST(ListenerConcurrency, SeveralThreadsReportAtOnceWithoutLosingLines) {
    ScriptLog::clear();
    KorvexListener listener(ScriptLog::capture);
    EventDispatch dispatch(&listener);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i) {
                dispatch.log("line");
                dispatch.error(22, "1 8");
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(ScriptLog::all().size(), 2000u);
}
