// Start-up choices: switches, folders, which browser runs and with what.
#include "host/shell/HostOptions.h"
#include "host/shell/HostPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

EnvironmentLookup envOf(std::map<std::string, std::string> values) {
    return [values](const std::string& name) -> std::optional<std::string> {
        auto it = values.find(name);
        if (it == values.end())
            return std::nullopt;
        return it->second;
    };
}

bool has(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

} // namespace

TEST(HostOptions, SwitchesOfTheHostAndThoseThatPassToTheBrowser) {
    auto o = ParseHostOptions({"--url=http://x.test/a?b=1", "--external-devtools", "-headless",
                               "--mouse-cursor-change-disabled", "--multi-threaded-message-loop", "--lang=de",
                               "positional", "--", "--after-end"});
    EXPECT_EQ(o.startupAddress, "http://x.test/a?b=1");
    EXPECT_TRUE(o.externalDevTools);
    EXPECT_TRUE(o.headless);
    EXPECT_TRUE(o.cursorChangeDisabled);
    EXPECT_FALSE(o.remoteDebuggingPort.has_value());
    EXPECT_EQ(o.passThrough, std::vector<std::string>{"--lang=de"});
    EXPECT_TRUE(o.problems.empty());

    auto d = ParseHostOptions({});
    EXPECT_EQ(d.startupAddress, "http://res/client/app.html");
    EXPECT_FALSE(d.externalDevTools);
    auto offScreen = ParseHostOptions({"--off-screen-rendering-enabled"});
    EXPECT_FALSE(offScreen.externalDevTools);
    EXPECT_EQ(offScreen.problems.size(), 1u) << "refused, not silently ignored";
}

TEST(HostOptions, BadOrReservedSwitchesAreReportedNotUsed) {
    auto o = ParseHostOptions({"--url", "--remote-debugging-port=70000", "--user-data-dir=/tmp/x",
                               "--remote-debugging-address=0.0.0.0", "--app=http://evil/"});
    EXPECT_EQ(o.startupAddress, "http://res/client/app.html");
    EXPECT_FALSE(o.remoteDebuggingPort.has_value());
    EXPECT_EQ(o.problems.size(), 5u);
    EXPECT_TRUE(o.passThrough.empty());
    EXPECT_EQ(ParseHostOptions({"--remote-debugging-port=9222"}).remoteDebuggingPort, "9222");
    EXPECT_FALSE(ParseHostOptions({"--remote-debugging-port=12ab"}).remoteDebuggingPort.has_value());
}

TEST(HostPaths, BrowserProgramFromTheVariableOrThePath) {
    std::set<std::string> executables = {"/opt/b/chromium", "/usr/bin/google-chrome", "/my/browser"};
    auto isExec = [&](const std::string& p) { return executables.count(p) > 0; };

    auto chosen = FindBrowserProgram(envOf({{"KORVEX_CHROMIUM", "/my/browser"}, {"PATH", "/opt/b"}}), isExec);
    EXPECT_EQ(chosen.path, "/my/browser");
    // A variable that names no program is an error, not a silent fallback.
    auto wrong = FindBrowserProgram(envOf({{"KORVEX_CHROMIUM", "/nowhere"}, {"PATH", "/opt/b"}}), isExec);
    EXPECT_FALSE(wrong.path.has_value());
    EXPECT_NE(wrong.problem.find("/nowhere"), std::string::npos);

    EXPECT_EQ(FindBrowserProgram(envOf({{"PATH", "/usr/bin::/opt/b"}}), isExec).path, "/opt/b/chromium");
    EXPECT_EQ(FindBrowserProgram(envOf({{"PATH", "/usr/bin"}}), isExec).path, "/usr/bin/google-chrome");
    auto none = FindBrowserProgram(envOf({{"PATH", "/empty"}}), isExec);
    EXPECT_FALSE(none.path.has_value());
    EXPECT_NE(none.problem.find("Chromium was not found"), std::string::npos);
}

TEST(HostPaths, BrowserArgumentsKeepTheDebuggingPortClosedUnlessAsked) {
    HostOptions options;
    options.passThrough = {"--lang=de"};
    EXPECT_EQ(BrowserProfileDirectory("/d"), "/d/Korvex-WorkFiles/cache");
    auto args = BrowserArguments(options, "/p/cache", false);
    EXPECT_EQ(args.front(), "--lang=de"); // first, so the host's own switches win
    EXPECT_TRUE(has(args, "--user-data-dir=/p/cache"));
    EXPECT_TRUE(has(args, "--remote-debugging-pipe"));
    EXPECT_TRUE(has(args, "--app=data:text/html,<title>Korvex</title>"));
    EXPECT_FALSE(has(args, "--no-sandbox"));
    for (const auto& a : args)
        EXPECT_EQ(a.find("--remote-debugging-port"), std::string::npos) << a;
    EXPECT_FALSE(has(args, "--auto-open-devtools-for-tabs"));

    options.externalDevTools = true;
    EXPECT_TRUE(has(BrowserArguments(options, "/p/cache", false), "--auto-open-devtools-for-tabs"));
    options.remoteDebuggingPort = "9333";
    options.headless = true;
    args = BrowserArguments(options, "/p/cache", true);
    EXPECT_TRUE(has(args, "--remote-debugging-port=9333"));
    EXPECT_TRUE(has(args, "--remote-debugging-address=127.0.0.1"));
    EXPECT_TRUE(has(args, "--headless"));
    EXPECT_TRUE(has(args, "--no-sandbox"));
    EXPECT_FALSE(has(args, "--app=data:text/html,<title>Korvex</title>"));
    EXPECT_EQ(args.back(), "about:blank");
}
