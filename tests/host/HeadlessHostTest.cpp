// Korvex with the real browser, headless, over a temporary program folder.
#include "ChildProcess.h"

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
        if (::access(p, X_OK) == 0) return true;
    return false;
}

// Alive means present and not a zombie waiting for a parent that will never come.
bool processAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return false;
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
        std::string pattern = (fs::temp_directory_path() / "korvex-host-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        program = root / "program";
        fs::create_directories(program / "client");
        // The program folder is the folder of the running program: the host is copied there.
        fs::copy_file(buildBin / "Korvex", program / "Korvex");
        fs::permissions(program / "Korvex", fs::perms::owner_all, fs::perm_options::add);
        write("client/app.html",
              "<html><head><title>loading</title><script src=\"app.js\"></script></head>"
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
        write("client/exit.html", "<html><body><script>setTimeout(function () { window.close(); }, 200);</script></body></html>");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void write(const std::string& rel, const std::string& content) {
        std::ofstream(program / rel, std::ios::binary) << content;
    }
    std::vector<std::string> environment(const std::string& chromium = "") {
        return {"KORVEX_DOCUMENTS_DIR=" + (root / "documents").string(),
                "KORVEX_RUNTIME_DIR=" + (root / "runtime").string(),
                "KORVEX_PORT=",
                "KORVEX_HOST_TRACE=1",
                "KORVEX_CHROMIUM=" + chromium};
    }
    std::unique_ptr<ChildProcess> startHost(std::vector<std::string> args = {},
                                            const std::string& chromium = "") {
        std::vector<std::string> argv = {(program / "Korvex").string(), "--headless"};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(argv, environment(chromium));
    }
    static pid_t browserPid(ChildProcess& host) {
        std::smatch m;
        std::string out = host.output();
        if (std::regex_search(out, m, std::regex("browser started: pid ([0-9]+)"))) return std::stoi(m[1]);
        return -1;
    }

    fs::path buildBin, root, program;
};

TEST_F(HeadlessHost, ServesTheApplicationShowsErrorPagesTracksTheRepositoryAndClosesCleanly) {
    if (!chromiumInstalled()) GTEST_SKIP() << "Chromium is not installed";
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
    if (!chromiumInstalled()) GTEST_SKIP() << "Chromium is not installed";
    auto host = startHost({"--url=http://res/client/exit.html"});
    auto code = host->waitExit(20s);
    ASSERT_TRUE(code.has_value()) << host->output();
    EXPECT_EQ(*code, 0) << host->output();
    EXPECT_NE(host->output().find("closing: main page closed"), std::string::npos) << host->output();
}

TEST_F(HeadlessHost, AKilledHostTakesTheBrowserWithIt) {
    if (!chromiumInstalled()) GTEST_SKIP() << "Chromium is not installed";
    auto host = startHost();
    ASSERT_TRUE(host->waitFor("page main at http://res/client/app.html", 20s)) << host->output();
    pid_t browser = browserPid(*host);
    ASSERT_GT(browser, 0);
    host->signal(SIGKILL);
    host->waitExit(5s);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (processAlive(browser) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(processAlive(browser));
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

}  // namespace
