// Korvex with the real browser, headless, over a temporary program folder.
#include "ChildProcess.h"

#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool chromiumInstalled() {
    for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome"})
        if (::access(p, X_OK) == 0)
            return true;
    return false;
}

// Alive means present and not a zombie waiting for a parent that will never come.
bool processAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return false;
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

class HeadlessHost : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("KORVEX_BUILD_BIN");
        ASSERT_NE(bin, nullptr) << "KORVEX_BUILD_BIN must name the build's bin folder";
        buildBin = bin;
        program = root / "program";
        fs::create_directories(program / "client");
        // The program folder is the folder of the running program: the host is copied there.
        fs::copy_file(buildBin / "Korvex", program / "Korvex");
        fs::permissions(program / "Korvex", fs::perms::owner_all, fs::perm_options::add);
        write("client/app.html", "<html><head><title>loading</title><script src=\"app.js\"></script></head>"
                                 "<body><input id=\"field\"><iframe src=\"missing.html\"></iframe></body></html>");
        write("client/app.js", R"JS(
var seen = 0;
document.addEventListener('keydown', function (e) { if (e.key === ' ') seen++; });
window.addEventListener('load', function () {
  var space = function () { document.activeElement.dispatchEvent(new KeyboardEvent('keydown', { key: ' ', bubbles: true })); };
  space();                                   // outside any field: filtered
  document.getElementById('field').focus();
  space();                                   // in a text field: reaches the page
  window.open('repo.html?spaces=' + seen, 'Korvex Repository');
});
)JS");
        write("client/repo.html", "<html><head><title>repository</title></head><body>repo</body></html>");
        write("client/exit.html",
              "<html><body><script>setTimeout(function () { window.close(); }, 200);</script></body></html>");
    }
    void write(const std::string& rel, const std::string& content) { writeFile(program / rel, content); }
    std::vector<std::string> environment(const std::string& chromium = "") {
        return {"KORVEX_DOCUMENTS_DIR=" + (root / "documents").string(),
                "KORVEX_RUNTIME_DIR=" + (root / "runtime").string(), "KORVEX_PORT=", "KORVEX_HOST_TRACE=1",
                "KORVEX_CHROMIUM=" + chromium};
    }
    std::unique_ptr<ChildProcess> startHost(std::vector<std::string> args = {}, const std::string& chromium = "") {
        std::vector<std::string> argv = {(program / "Korvex").string(), "--headless"};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(argv, environment(chromium));
    }
    static pid_t browserPid(ChildProcess& host) {
        std::smatch m;
        std::string out = host.output();
        if (std::regex_search(out, m, std::regex("browser started: pid ([0-9]+)")))
            return std::stoi(m[1]);
        return -1;
    }

    TempDir folder;
    fs::path buildBin, root = folder.path(), program;
};

TEST_F(HeadlessHost, ServesTheApplicationShowsErrorPagesTracksTheRepositoryAndClosesCleanly) {
    if (!chromiumInstalled())
        GTEST_SKIP() << "Chromium is not installed";
    auto host = startHost();
    auto expect = [&](const std::string& text) {
        EXPECT_TRUE(host->waitFor(text, 20s)) << "missing: " << text << "\n" << host->output();
    };
    expect("[Korvex] page main at http://res/client/app.html");
    expect("[Korvex] load failed http://res/client/missing.html net::ERR_FAILED (-2)");
    expect("[Korvex] error page shown");
    expect("[Korvex] page repository named \"Korvex Repository\"");
    // The sub-resource script opened it, and of its two space keys only the one in the text
    // field reached the page.
    expect("[Korvex] page repository at http://res/client/repo.html?spaces=1");
    pid_t browser = browserPid(*host);
    ASSERT_GT(browser, 0);

    host->signal(SIGTERM);
    auto code = host->waitExit(15s);
    ASSERT_TRUE(code.has_value()) << host->output();
    EXPECT_EQ(*code, 0) << host->output();
    std::string out = host->output();
    auto closed = out.find("page repository closed");
    auto closing = out.find("closing: main page closed");
    EXPECT_NE(closed, std::string::npos);
    EXPECT_NE(closing, std::string::npos);
    EXPECT_NE(out.find("closing: acquisition stopped, remotes powered down"), std::string::npos);
    EXPECT_FALSE(processAlive(browser));
    EXPECT_TRUE(fs::is_directory(root / "documents" / "Korvex-WorkFiles" / "cache"));
}

TEST_F(HeadlessHost, TheApplicationsOwnWindowCloseEndsTheHost) {
    if (!chromiumInstalled())
        GTEST_SKIP() << "Chromium is not installed";
    auto host = startHost({"--url=http://res/client/exit.html"});
    auto code = host->waitExit(20s);
    ASSERT_TRUE(code.has_value()) << host->output();
    EXPECT_EQ(*code, 0) << host->output();
    EXPECT_NE(host->output().find("closing: main page closed"), std::string::npos) << host->output();
}

TEST_F(HeadlessHost, AKilledHostTakesTheBrowserWithIt) {
    if (!chromiumInstalled())
        GTEST_SKIP() << "Chromium is not installed";
    auto host = startHost();
    ASSERT_TRUE(host->waitFor("page main at http://res/client/app.html", 20s)) << host->output();
    pid_t browser = browserPid(*host);
    ASSERT_GT(browser, 0);
    host->signal(SIGKILL);
    host->waitExit(5s);
    EXPECT_TRUE(waitFor(10s, [&] { return !processAlive(browser); }));
}

TEST_F(HeadlessHost, AKilledBrowserIsNotANormalClose) {
    if (!chromiumInstalled())
        GTEST_SKIP() << "Chromium is not installed";
    auto host = startHost();
    ASSERT_TRUE(host->waitFor("page main at http://res/client/app.html", 20s)) << host->output();
    pid_t browser = browserPid(*host);
    ASSERT_GT(browser, 0);
    ::kill(browser, SIGKILL);
    auto code = host->waitExit(15s);
    ASSERT_TRUE(code.has_value()) << host->output();
    EXPECT_EQ(*code, 3) << host->output();
    EXPECT_NE(host->output().find("closing: acquisition stopped, remotes powered down"), std::string::npos);
}

TEST_F(HeadlessHost, AMissingBrowserIsAClearErrorNotAHang) {
    auto host = startHost({}, (root / "no-such-browser").string());
    auto code = host->waitExit(10s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 2);
    EXPECT_NE(host->output().find("no-such-browser, which is not an executable file"), std::string::npos)
        << host->output();

    // Not on the path either.
    std::vector<std::string> env = environment();
    env.push_back("PATH=" + root.string());
    ChildProcess bare({(program / "Korvex").string(), "--headless"}, env);
    code = bare.waitExit(10s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 2);
    EXPECT_NE(bare.output().find("Chromium was not found"), std::string::npos) << bare.output();
}

TEST_F(HeadlessHost, ABrowserThatEndsAtOnceIsReportedAsAFailedStart) {
    auto host = startHost({}, "/bin/false");
    auto code = host->waitExit(10s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 1);
    EXPECT_NE(host->output().find("the browser ended before it showed the application"), std::string::npos)
        << host->output();
}

TEST_F(HeadlessHost, PagesTalkToTheSimulatedKitAndClosingStopsItAndPowersTheRemotesDown) {
    if (!chromiumInstalled())
        GTEST_SKIP() << "Chromium is not installed";
    ASSERT_TRUE(fs::exists(buildBin / "korvex-dongle-sim")) << "the simulated kit is not built";
    write("client/kit.html", R"HTML(<html><head><script>
function log() { console.log(Array.prototype.join.call(arguments, ' ')); }
function u32(s, i) { return (s.charCodeAt(i) | s.charCodeAt(i + 1) << 8 | s.charCodeAt(i + 2) << 16 | s.charCodeAt(i + 3) << 24) >>> 0; }
var started = false, configured = false;
window.KorvexEventHandler = { sendEvent: function (e) {
  log('main event', e.name);
  if (e.name === 'dataStarted' && !started) { started = true; setTimeout(askData, 600); }
} };
app.setMessageCallback('korvex_getHardwareState', function (n, d) {
  log('hardware state', n, u32(d, 0) === d.length ? 'consistent' : 'broken');
});
app.setMessageCallback('korvex_setFixedConfig', function (n, d) {
  if (d.charCodeAt(13) !== 1) { setTimeout(configure, 300); return; }
  if (configured) return;
  configured = true;
  log('configured');
  setTimeout(function () { app.sendMessage('korvex_startData'); }, 1000);
});
app.setMessageCallback('korvex_getSensorData1', function (n, d, b) {
  var floats = b === undefined ? 0 : b.length / 4;
  log('sensor data', arguments.length, u32(d, 0) === d.length ? 'consistent' : 'broken', floats > 0 ? 'with floats' : 'empty');
  setTimeout(function () { window.close(); }, 300);
});
function configure() { app.sendMessage('korvex_setFixedConfig', [1, 1]); }
function askData() { app.sendMessage('korvex_getSensorData1', [1, 3, 0, 100, false, 0, 0]); }
try { app.sendMessage(''); } catch (e) { log('threw', e.message); }
app.sendMessage('korvex_getHardwareState');
window.open('listener.html', 'Korvex Repository');
window.open('listener.html', 'another window');
setTimeout(configure, 500);
</script></head><body>kit</body></html>)HTML");
    write("client/listener.html", R"HTML(<html><head><script>
window.KorvexEventHandler = { sendEvent: function (e) { console.log(window.name + ' event ' + e.name); } };
</script></head><body>listener</body></html>)HTML");

    std::vector<std::string> env = environment();
    ChildProcess kit({(buildBin / "korvex-dongle-sim").string(), "--verbose"}, env);
    ASSERT_TRUE(kit.waitFor("port /dev/", 10s)) << kit.output();
    auto host = startHost({"--url=http://res/client/kit.html"});
    auto code = host->waitExit(30s);
    ASSERT_TRUE(code.has_value()) << host->output();
    EXPECT_EQ(*code, 0) << host->output();

    std::ifstream in(root / "documents" / "Korvex-WorkFiles" / "console.log");
    std::string console((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* line : {"threw Invalid method arguments\n", "hardware state korvex_getHardwareState consistent\n",
                             "configured\n", "main event dataStarted\n", "Korvex Repository event dataStarted\n",
                             "sensor data 3 consistent with floats\n"})
        EXPECT_NE(console.find(line), std::string::npos) << line << "\n--- console.log:\n" << console;
    EXPECT_EQ(console.find("another window event"), std::string::npos) << console;

    // At the kit: streaming stopped, then both remotes powered down.
    kit.signal(SIGTERM);
    kit.waitExit(5s);
    std::string frames = kit.output();
    auto stop = frames.find("<- STOP_DATA");
    auto down1 = frames.find("<- POWER_DOWN  [02 2B 01 01");
    auto down2 = frames.find("<- POWER_DOWN  [02 2B 01 02");
    ASSERT_NE(stop, std::string::npos) << frames.substr(frames.size() > 4000 ? frames.size() - 4000 : 0);
    ASSERT_NE(down1, std::string::npos);
    ASSERT_NE(down2, std::string::npos);
    EXPECT_LT(stop, down1);
    EXPECT_LT(down1, down2);
}

} // namespace
