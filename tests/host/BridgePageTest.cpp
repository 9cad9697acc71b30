// The page side of the bridge run in a script engine (node) with a stand-in binding, the
// reply expression, and the console log file.
#include "host/bridge/BridgeScript.h"
#include "host/bridge/ConsoleLog.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Runs the bridge's world script (unless left out) and the page script in node, with a stand-in
// binding and window events, and then `test`; returns what `test` printed. The binding is gone
// before the page script runs, as the page's own world never has it.
std::optional<std::string> runInNode(const std::string& test, const std::string& origin = "http://res",
                                     bool withWorld = true) {
    if (::access("/usr/bin/node", X_OK) != 0)
        return std::nullopt;
    TempDir folder;
    fs::path file = folder.path() / "page.js";
    writeFile(file, "var sent = [];\n"
                    "globalThis.location = { origin: '" +
                        origin +
                        "' };\n"
                        "var events = new EventTarget();\n"
                        "globalThis.addEventListener = events.addEventListener.bind(events);\n"
                        "globalThis.dispatchEvent = events.dispatchEvent.bind(events);\n"
                        "globalThis.__korvexBridgeSend = function (s) { sent.push(JSON.parse(s)); };\n" +
                        (withWorld ? BridgeWorldScript() : std::string()) +
                        "\ndelete globalThis.__korvexBridgeSend;\n" + BridgePageScript() + "\n" + test + "\n");
    std::string out;
    if (std::FILE* p = ::popen(("/usr/bin/node " + file.string() + " 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

nlohmann::json runJson(const std::string& test) {
    auto out = runInNode(test);
    if (!out)
        return nullptr;
    auto j = nlohmann::json::parse(*out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << *out;
    return j;
}

} // namespace

TEST(BridgePage, ArraysBecomeTypedListsInTheEnginesOrderOfTests) {
    auto r = runJson(R"JS(
app.sendMessage('x', [1, 2.5, 'a', true, null, [3], undefined, {}, -0, 2147483648, -2147483648, NaN, , function () {}]);
app.sendMessage('y', []);
app.sendMessage('z', 5);
app.sendMessage('w');
console.log(JSON.stringify(sent));
)JS");
    if (r.is_null())
        GTEST_SKIP() << "node is not installed";
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0]["n"], "x");
    // -0 and 2^31 are floating-point entries (the text form loses only the sign of zero).
    EXPECT_EQ(r[0]["a"].dump(), R"([["i",1],["d",2.5],["s","a"],["b",true],["n"],["l",[["i",3]]],["n"],["n"],["d",0],)"
                                R"(["d",2147483648],["i",-2147483648],["d","NaN"],["n"],["n"]])");
    EXPECT_EQ(r[1].dump(), R"({"a":[],"n":"y"})"); // an empty array: no arguments
    EXPECT_EQ(r[2].dump(), R"({"n":"z"})");        // not an array: ignored
    EXPECT_EQ(r[3].dump(), R"({"n":"w"})");
}

TEST(BridgePage, WrongCallsThrowAndNothingIsSentOrRegistered) {
    auto r = runJson(R"JS(
var results = [];
function attempt(f) { try { f(); results.push('ok'); } catch (e) { results.push(e.message); } }
attempt(function () { app.sendMessage(); });
attempt(function () { app.sendMessage(''); });
attempt(function () { app.sendMessage(5, []); });
attempt(function () { app.setMessageCallback('r'); });
attempt(function () { app.setMessageCallback('r', 'not a function'); });
attempt(function () { app.setMessageCallback(1, function () {}); });
attempt(function () { app.removeMessageCallback(); });
attempt(function () { app.removeMessageCallback(7); });
results.push(sent.length);
results.push(app.removeMessageCallback('r'));
console.log(JSON.stringify(results));
)JS");
    if (r.is_null())
        GTEST_SKIP() << "node is not installed";
    const std::string e = "Invalid method arguments";
    EXPECT_EQ(r, nlohmann::json({e, e, e, e, e, e, e, e, 0, false}));
}

TEST(BridgePage, OnlyTheApplicationsDocumentsWithTheBridgesWorldGetApp) {
    for (const char* origin : {"http://res", "https://example.org", "null"}) {
        auto out = runInNode("console.log(typeof app)", origin);
        if (!out)
            GTEST_SKIP() << "node is not installed";
        EXPECT_EQ(*out, std::string(origin) == "http://res" ? "object\n" : "undefined\n") << origin;
    }
    // A page whose bridge world never ran (its scripts came too late) has nothing to send to.
    EXPECT_EQ(runInNode("console.log(typeof app)", "http://res", false), "undefined\n");
    // Events the page sends that are not requests reach nothing.
    auto out = runInNode("dispatchEvent(new CustomEvent('korvexbridgerequest', { detail: 5 }));"
                         "app.sendMessage('x'); console.log(JSON.stringify(sent))");
    EXPECT_EQ(out, "[{\"n\":\"x\"}]\n");
}

TEST(BridgePage, LoneSurrogatesBecomeReplacementCharactersAndPairsStay) {
    // What JSON.stringify writes for "a\ud800b", a pair, a lone low half, an escaped backslash
    // before "ud800" and a surrogate at the very end.
    EXPECT_EQ(WithLoneSurrogatesReplaced(R"({"n":"a\ud800b"})"), R"({"n":"a\ufffdb"})");
    EXPECT_EQ(WithLoneSurrogatesReplaced(R"(["\ud83d\ude00","\udc00\ud800"])"), R"(["\ud83d\ude00","\ufffd\ufffd"])");
    EXPECT_EQ(WithLoneSurrogatesReplaced(R"(["\\ud800","\"\ud800"])"), R"(["\\ud800","\"\ufffd"])");
    EXPECT_EQ(WithLoneSurrogatesReplaced(R"(["\uD83D)"), R"(["\ufffd)");
    auto parsed = nlohmann::json::parse(WithLoneSurrogatesReplaced(R"({"n":"x\udfff"})"), nullptr, false);
    ASSERT_FALSE(parsed.is_discarded());
    EXPECT_EQ(parsed["n"], "x\xEF\xBF\xBD");
}

TEST(BridgePage, RepliesReachTheFirstCallbackAsByteStrings) {
    std::string reply = ReplyExpression("r", std::string("\x00\xff\x10", 3), std::string("\x05\x00", 2));
    std::string nameOnly = ReplyExpression("r", std::nullopt, std::nullopt);
    std::string docOnly = ReplyExpression("r", std::string("\x05\x00\x00\x00\x00", 5), std::nullopt);
    auto r = runJson(
        "var got = [];\n"
        "function codes(s) { var c = []; for (var i = 0; i < s.length; i++) c.push(s.charCodeAt(i)); return c; }\n"
        "app.setMessageCallback('r', function (n, d, b) { got.push([n, arguments.length, d && codes(d), b && "
        "codes(b)]); return true; });\n"
        "app.setMessageCallback('r', function () { got.push('second'); });\n"
        "got.push(" +
        reply + ");\n" + nameOnly + ";\n" + docOnly +
        ";\n"
        "got.push(__korvexReceive('unregistered', 'AA=='));\n"
        "got.push(app.removeMessageCallback('r'), app.removeMessageCallback('r'));\n"
        "got.push(" +
        reply +
        ");\n"
        "console.log(JSON.stringify(got));\n");
    if (r.is_null())
        GTEST_SKIP() << "node is not installed";
    EXPECT_EQ(r.dump(), R"([["r",3,[0,255,16],[5,0]],true,["r",1,null,null],["r",2,[5,0,0,0,0],null],)"
                        R"(false,true,false,false])");
}

TEST(BridgePage, TheDirectlyWrittenReplyIsTheSameScript) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i)
        bytes += char(i * 7);
    for (const std::string name : {"korvex_getSensorData1", "a\"b\\c'\n\xc3\xa9"}) {
        for (auto doc : {std::optional<std::string>(), std::optional<std::string>(bytes)}) {
            for (auto buf : {std::optional<std::string>(), std::optional<std::string>(bytes.substr(3))}) {
                auto literal = nlohmann::json::parse(ReplyExpressionLiteral(name, doc, buf));
                EXPECT_EQ(literal.get<std::string>(), ReplyExpression(name, doc, buf));
            }
        }
    }
}

TEST(ConsoleLog, LinesAppendUnchangedAndAMissingFolderLosesOnlyThatLine) {
    TempDir folder;
    fs::path docs = folder.path() / "documents";
    ConsoleLog log(docs.string());
    EXPECT_FALSE(log.append("lost: the library has not made the folder yet"));
    fs::create_directories(docs / "Korvex-WorkFiles");
    EXPECT_TRUE(log.append("first"));
    EXPECT_TRUE(log.append("two\nlines"));
    EXPECT_TRUE(ConsoleLog(docs.string()).append("after a restart")); // appends, never truncates
    EXPECT_EQ(readFile(docs / "Korvex-WorkFiles" / "console.log"), "first\ntwo\nlines\nafter a restart\n");
}
