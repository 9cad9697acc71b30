// The parts of korvex-cli that do not need a kit: reading the library's scripts back,
// waiting for events, command-line parsing, result documents, and the command line's
// refusals and help pages.
#include "Args.h"
#include "Cli.h"
#include "Json.h"
#include "Reports.h"
#include "ScriptEvents.h"
#include "SimulatedKit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

TEST(ScriptEvents, ReadsEventsWithAndWithoutArguments) {
    auto plain = parseScriptText("KorvexEventHandler.sendEvent({ name: 'dataStopped' })");
    EXPECT_EQ(plain.kind, ScriptMessage::Kind::Event);
    EXPECT_EQ(plain.name, "dataStopped");
    EXPECT_EQ(plain.args, "");

    auto object = parseScriptText("KorvexEventHandler.sendEvent({ name: 'sensorRecalibrated', args: "
                                  "{ remote: 1, sensorType: 8 } })");
    EXPECT_EQ(object.kind, ScriptMessage::Kind::Event);
    EXPECT_EQ(object.name, "sensorRecalibrated");
    EXPECT_EQ(object.args, "{ remote: 1, sensorType: 8 }");

    // A quote inside an escaped name does not end it early.
    auto quoted = parseScriptText("KorvexEventHandler.sendEvent({ name: 'it\\'s', args: 'a, b' })");
    EXPECT_EQ(quoted.kind, ScriptMessage::Kind::Event);
    EXPECT_EQ(quoted.name, "it's");
    EXPECT_EQ(quoted.args, "'a, b'");
}

TEST(ScriptEvents, ReadsConsoleLinesAndUndoesEscapes) {
    auto error = parseScriptText("console.log('** ERROR => KorvexAPI::setFixedConfiguration - Remote already "
                                 "configured')");
    EXPECT_EQ(error.kind, ScriptMessage::Kind::Error);
    EXPECT_EQ(error.text, "KorvexAPI::setFixedConfiguration - Remote already configured");
    EXPECT_EQ(problemLine(error), "** ERROR => KorvexAPI::setFixedConfiguration - Remote already configured");

    auto warning = parseScriptText("console.log('** WARNING => DataParser::listenLoop - Command not implemented')");
    EXPECT_EQ(warning.kind, ScriptMessage::Kind::Warning);

    auto log = parseScriptText("console.log('2015-Mar-02 14:05:09.125000 a \\'b\\' c\\\\d\\ne\\x01\\u2028')");
    EXPECT_EQ(log.kind, ScriptMessage::Kind::Log);
    EXPECT_EQ(log.text, "2015-Mar-02 14:05:09.125000 a 'b' c\\d\ne\x01\xE2\x80\xA8");
}

TEST(ScriptEvents, OddTextsComeBackWhole) {
    // Texts that are no script the library writes are kept whole, as Unknown.
    for (const char* odd : {"", "alert(1)", "console.log('", "KorvexEventHandler.sendEvent({ name: 'x })",
                            "KorvexEventHandler.sendEvent({ name: 'x' junk })"}) {
        auto m = parseScriptText(odd);
        EXPECT_EQ(m.kind, ScriptMessage::Kind::Unknown) << odd;
        EXPECT_EQ(m.text, odd);
    }
    // A truncated escape at the end keeps what is there.
    auto cut = parseScriptText("console.log('\\x4')");
    EXPECT_EQ(cut.kind, ScriptMessage::Kind::Log);
    EXPECT_EQ(cut.text, "x4");
    EXPECT_EQ(unescapeScriptString("a\\x4"), "ax4");
    EXPECT_EQ(unescapeScriptString("a\\"), "a\\");
}

TEST(EventLog, WaitsForAnEventAfterTheMarkOnly) {
    EventLog log;
    log.add(std::string_view("KorvexEventHandler.sendEvent({ name: 'dataStopped' })"));
    std::size_t mark = log.mark();
    // The earlier event does not count, and the wait is bounded.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(log.waitForEvent("dataStopped", mark, 100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(log.waitForEvent("dataStopped", 0, 0ms));

    std::thread producer([&] {
        std::this_thread::sleep_for(50ms);
        log.add(std::string_view("console.log('** ERROR => broken')"));
        log.add(std::string_view("KorvexEventHandler.sendEvent({ name: 'dataStopped' })"));
    });
    auto got = log.waitForEvent("dataStopped", mark, 5s);
    producer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(log.problemsSince(mark), std::vector<std::string>{"** ERROR => broken"});
}

TEST(EventLog, CancellationEndsAWait) {
    EventLog log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(log.waitForEvent("never", 0, 10s, [] { return true; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(Args, ParsesOptionsInBothFormsAndRefusesMistakes) {
    std::vector<OptionSpec> specs = {{"json"}, {"config", true, true}, {"seconds", true}};
    ParsedArgs a;
    std::string error;
    ASSERT_TRUE(parseArgs({"--config", "1=3", "--config=2=4", "--json", "x", "--", "--seconds"}, specs, a, error))
        << error;
    EXPECT_EQ(a.all("config"), (std::vector<std::string>{"1=3", "2=4"}));
    EXPECT_TRUE(a.has("json"));
    EXPECT_EQ(a.positionals, (std::vector<std::string>{"x", "--seconds"}));

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--seconds"}, {"--json=1"}, {"--nope"}, {"--seconds", "1", "--seconds", "2"}, {"-x"}}) {
        ParsedArgs b;
        EXPECT_FALSE(parseArgs(bad, specs, b, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
    // A negative number is a value, not an option.
    ParsedArgs c;
    EXPECT_TRUE(parseArgs({"-1.5"}, specs, c, error));
}

TEST(Args, NumbersAndRemoteConfigurations) {
    EXPECT_EQ(parseInt("0x1b"), 27);
    EXPECT_FALSE(parseInt("12abc"));
    EXPECT_FALSE(parseInt(""));
    EXPECT_FALSE(parseInt("99999999999"));
    EXPECT_FALSE(parseDouble("nan"));
    EXPECT_FALSE(parseDouble("1e999"));

    int remote = 0, config = 0;
    std::string error;
    EXPECT_TRUE(parseRemoteConfig("2=47", remote, config, error));
    EXPECT_EQ(remote, 2);
    EXPECT_EQ(config, 47);
    for (const char* bad : {"3=1", "0=1", "1=", "=4", "1=256", "1=-1", "1:3", "1=3x"})
        EXPECT_FALSE(parseRemoteConfig(bad, remote, config, error)) << bad;

    EXPECT_EQ(parseNumberList("1,-2.5,3e2"), (std::vector<double>{1, -2.5, 300}));
    EXPECT_FALSE(parseNumberList("1,,2"));
    EXPECT_FALSE(parseNumberList("1,"));
    EXPECT_FALSE(parseNumberList(""));
}

TEST(Reports, SensorSeriesNeverReadsPastTheBuffer) {
    bson_t doc;
    bson_init(&doc);
    BSON_APPEND_INT32(&doc, "remote", 1);
    BSON_APPEND_INT32(&doc, "sensorType", 8);
    BSON_APPEND_INT32(&doc, "sampleSize", 1);
    BSON_APPEND_INT32(&doc, "sampleRate", 200);
    BSON_APPEND_INT32(&doc, "datalength", 4);
    BSON_APPEND_BOOL(&doc, "rawdata", false);
    float data[8] = {0.005f, 0.01f, 0.015f, 0.02f, 1, -2, 3, 0.5f};
    // Announced 4 samples of 2 floats: 8 floats needed, 7 given.
    EXPECT_TRUE(readSensorSeries(&doc, data, 7).times.empty());

    SensorSeries s = readSensorSeries(&doc, data, 8);
    ASSERT_EQ(s.times.size(), 4u);
    ASSERT_EQ(s.columns.size(), 1u);
    SensorSummary summary = summarise(s);
    EXPECT_EQ(summary.samples, 4u);
    EXPECT_NEAR(summary.measuredRate, 200.0, 1e-3); // 4 samples, the last at 0.02 s
    EXPECT_EQ(summary.axes[0].min, -2);
    EXPECT_EQ(summary.axes[0].max, 3);
    bson_destroy(&doc);

    // An empty document (a refused query) is an empty series.
    bson_t empty;
    bson_init(&empty);
    EXPECT_TRUE(readSensorSeries(&empty, data, 8).times.empty());
    EXPECT_EQ(summarise(readSensorSeries(&empty, nullptr, 0)).measuredRate, 0);
    bson_destroy(&empty);
}

TEST(Json, EscapesTextAndWritesNonFiniteAsNull) {
    JsonWriter j;
    j.beginObject().key("a\"b").value("x\ny\x01").key("n").value(1.0 / 0.0).key("l").beginArray().value(1).value(true);
    j.endArray().endObject();
    EXPECT_EQ(j.text(), "{\"a\\\"b\":\"x\\ny\\u0001\",\"n\":null,\"l\":[1,true]}");
}

namespace {

struct Captured {
    int code;
    std::string out, err;
};

Captured runInProcess(const std::vector<std::string>& args) {
    char* outText = nullptr;
    char* errText = nullptr;
    size_t outSize = 0, errSize = 0;
    FILE* out = open_memstream(&outText, &outSize);
    FILE* err = open_memstream(&errText, &errSize);
    std::atomic<bool> interrupted{false};
    int code = runCli(args, out, err, &interrupted);
    std::fclose(out);
    std::fclose(err);
    Captured c{code, outText ? outText : "", errText ? errText : ""};
    free(outText);
    free(errText);
    return c;
}

} // namespace

TEST(CommandLine, EveryCommandHasAManualPage) {
    for (const char* command : {"state", "configure", "record", "export", "runs", "calibration", "tare"}) {
        Captured c = runInProcess({command, "--help"});
        EXPECT_EQ(c.code, ExitOk) << command;
        for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS"})
            EXPECT_NE(c.out.find(section), std::string::npos) << command << " lacks " << section;
        EXPECT_EQ(runInProcess({"help", command}).out, c.out);
    }
    Captured main = runInProcess({"--help"});
    EXPECT_EQ(main.code, ExitOk);
    EXPECT_NE(main.out.find("EXIT STATUS"), std::string::npos);
    EXPECT_EQ(runInProcess({}).code, ExitUsage);
}

TEST(CommandLine, MistakesAreUsageErrorsBeforeAnythingStarts) {
    const std::vector<std::vector<std::string>> bad = {
        {"frobnicate"},
        {"record", "--config", "1=0"},
        {"record", "--config", "1=3", "--config", "1=4"},
        {"record", "--seconds", "-2"},
        {"record", "--prefix", "../outside"},
        {"configure", "3", "1"},
        {"export", "last", "--name", "x"},
        {"export", "last", "--remote", "1", "--sensor", "8", "--name", "/etc/passwd"},
        {"calibration", "save", "--remote-id", "0x1234", "--sensor", "1", "--offset", "1,2", "--scale", "1,2,3"},
        {"calibration", "save", "--remote-id", "0x1234", "--sensor", "8", "--offset", "1", "--scale", "0"},
        {"calibration", "delete", "--remote-id", "0x1000000", "--sensor", "8"},
        {"tare", "--remote", "1"},
        {"tare", "--remote", "1", "--run", "last", "--from", "2", "--to", "1"},
        {"--timeout", "soon", "state"},
        {"state", "--seconds", "3"},
    };
    for (const auto& args : bad) {
        Captured c = runInProcess(args);
        EXPECT_EQ(c.code, ExitUsage) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_FALSE(c.err.empty());
        EXPECT_TRUE(c.out.empty());
    }
}

TEST(SimulatedKit, RunsOnAPrivateRegistryAndLeavesNothingBehind) {
    const char* bin = std::getenv("KORVEX_BUILD_BIN");
    if (!bin)
        GTEST_SKIP() << "KORVEX_BUILD_BIN is not set (run through ctest)";
    const std::string before = std::getenv("KORVEX_RUNTIME_DIR") ? std::getenv("KORVEX_RUNTIME_DIR") : "";

    SimulatedKit kit;
    SimulatedKit::Options options;
    options.program = std::string(bin) + "/korvex-dongle-sim";
    std::string error;
    ASSERT_TRUE(kit.start(options, error)) << error;
    const std::string runtime = kit.runtimeDir();
    EXPECT_EQ(std::string(std::getenv("KORVEX_RUNTIME_DIR")), runtime);
    EXPECT_NE(runtime, before);
    EXPECT_TRUE(std::filesystem::exists(kit.portPath())) << kit.portPath();
    // The simulator announced its terminal in the private registry.
    bool announced = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(runtime)) {
        std::ifstream in(entry.path());
        std::string line;
        if (entry.is_regular_file() && std::getline(in, line) && line == kit.portPath())
            announced = true;
    }
    EXPECT_TRUE(announced);

    kit.stop();
    EXPECT_FALSE(std::filesystem::exists(runtime));
    const char* after = std::getenv("KORVEX_RUNTIME_DIR");
    EXPECT_EQ(after ? std::string(after) : std::string(), before);
    kit.stop(); // twice is harmless

    options.program = std::string(bin) + "/no-such-simulator";
    EXPECT_FALSE(kit.start(options, error));
    EXPECT_FALSE(error.empty());
    after = std::getenv("KORVEX_RUNTIME_DIR");
    EXPECT_EQ(after ? std::string(after) : std::string(), before);
}
