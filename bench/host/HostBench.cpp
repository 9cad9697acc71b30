// The bridge with the real browser: a page's request and its reply, timed in the page from
// app.sendMessage to the reply callback. Runs headless Chromium; the device library is a
// stand-in that answers at once, so the figures are the host and browser's own cost.
//
// Each figure is measured twice in one run: with the host alone on the browser, and with a
// second DevTools client attached the way the browser tests attach one (the host started
// with a loopback debugging port, Playwright connected to it and holding the page; see
// attach_client.mjs). The attached variants need node and the browser tests' playwright-core
// (tests/browser/node_modules); without them they are skipped with a message.
#include "host/bridge/ScriptBridge.h"
#include "host/shell/BrowserClient.h"
#include "host/shell/EventLoop.h"
#include "host/shell/Host.h"
#include "host/shell/HostPaths.h"
#include "tests/host/FakeKorvexAPI.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kLargeReplyFloats = 100'000;

class AnsweringAPI : public FakeKorvexAPI {
public:
    AnsweringAPI() : FakeKorvexAPI([](const std::string&) {}) {}
    void getHardwareState(bson_t* result) override {
        bson_init(result);
        bson_append_int32(result, "dongleMode", -1, 8);
        bson_append_bool(result, "remote1Connected", -1, true);
    }
    void getSensorData(bson_t* result, bufferArray* data, int, int, double, double, bool, int,
                       int) override {
        bson_init(result);
        bson_append_int32(result, "count", -1, int(kLargeReplyFloats));
        data->data = new float[kLargeReplyFloats];
        data->size = kLargeReplyFloats;
        for (uint32_t i = 0; i < kLargeReplyFloats; ++i)
            data->data[i] = float(i) * 0.5f;
    }
    void freeBufferArray(bufferArray* data) override {
        delete[] data->data;
        data->data = nullptr;
    }
};

const char* kPage = R"HTML(<html><head><script>
var t0 = 0;
function done(ok) { console.log('done ' + (performance.now() - t0) + (ok ? '' : ' bad')); }
app.setMessageCallback('korvex_getHardwareState', function (n, d) { done(d.length > 5); });
app.setMessageCallback('korvex_getSensorData1', function (n, d, b) {
  done(b !== undefined && b.length === 400000 && b.charCodeAt(7) === 0x3f);
});
window.small = function () { t0 = performance.now(); app.sendMessage('korvex_getHardwareState'); };
window.large = function () { t0 = performance.now(); app.sendMessage('korvex_getSensorData1', [1, 1, 0, 1, false, 0, 0]); };
window.addEventListener('load', function () { console.log('ready'); });
</script></head><body>bench</body></html>)HTML";

// A free loopback port (it may be taken again before the browser binds it; unlikely).
std::string freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return std::to_string(port);
}

// The attached client: node running attach_client.mjs, ended by closing its input.
class AttachedClient {
public:
    // Empty `problem` when the client holds the page.
    AttachedClient(const std::string& port, std::string& problem) {
        const fs::path source = KORVEX_SOURCE_DIR;
        const fs::path script = source / "bench/host/attach_client.mjs";
        const fs::path playwright = source / "tests/browser/node_modules/playwright-core";
        if (!fs::exists(playwright / "index.mjs")) {
            problem = "no playwright-core in tests/browser/node_modules (npm ci there)";
            return;
        }
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            problem = "no pipes";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        std::vector<std::string> args = {"node", script.string(), port, playwright.string()};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid, "node", &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input = in[1];
        if (pid < 0) {
            ::close(out[0]);
            problem = "node did not start";
            return;
        }
        // Its first line: "attached", or nothing when it failed.
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        if (line != "attached")
            problem = "the attached client did not hold the page";
    }
    ~AttachedClient() {
        if (input >= 0)
            ::close(input);
        if (pid > 0) {
            for (int i = 0; i < 50 && ::waitpid(pid, nullptr, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(100ms);
            if (::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    }

private:
    pid_t pid = -1;
    int input = -1;
};

// One host at a time: the host alone, or the host with a client attached.
class BenchHost {
public:
    static BenchHost& get(bool attached) {
        static std::unique_ptr<BenchHost> host;
        if (!host || host->attached != attached) {
            host.reset();
            host.reset(new BenchHost(attached));
        }
        return *host;
    }

    bool ready() const { return isReady && problem.empty(); }
    const std::string& whyNotReady() const { return problem; }

    // Runs `call` in the page and returns the page's measured time in milliseconds, or a
    // negative number when the reply did not arrive or was wrong.
    double round(const std::string& call) {
        {
            std::lock_guard lock(mutex);
            result.reset();
        }
        loop->post([this, call] {
            if (auto* main = client->mainPage())
                client->evaluate(main->sessionId, call);
        });
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, 5s, [&] { return result.has_value(); }))
            return -1;
        if (result->find("bad") != std::string::npos)
            return -1;
        return std::stod(result->substr(5));
    }

    ~BenchHost() {
        attachedClient.reset();
        if (loop && client)
            loop->post([c = client] { c->closeEveryBrowser(); });
        if (runner.joinable())
            runner.join();
        std::error_code ec;
        fs::remove_all(folder, ec);
    }

private:
    explicit BenchHost(bool attached) : attached(attached) {
        folder = fs::temp_directory_path() /
                 ("korvex-bench-" + std::to_string(::getpid()) + (attached ? "-attached" : ""));
        fs::create_directories(folder / "client");
        std::ofstream(folder / "client" / "bench.html") << kPage;
        auto browser = FindBrowserProgram(ProcessEnvironment, IsExecutableFile);
        if (!browser.path) {
            problem = "headless Chromium did not start";
            return;
        }
        config.options.headless = true;
        if (attached)
            config.options.remoteDebuggingPort = freePort();
        config.options.startupAddress = "http://res/client/bench.html";
        config.resourceDirectory = folder.string();
        config.profileDirectory = (folder / "profile").string();
        config.browserProgram = *browser.path;
        config.api = &api;
        // KORVEX_HOST_BENCH_TRACE=1: the host's diagnostics on standard error.
        if (std::getenv("KORVEX_HOST_BENCH_TRACE"))
            config.trace = [](const std::string& line) {
                std::fprintf(stderr, "[host] %s\n", line.c_str());
            };
        config.extend = [this](BrowserClient& c, EventLoop& l) {
            AttachScriptBridge(c, l, folder.string());
            c.setConsoleHandler([this](const PageInfo&, const std::string& text) {
                std::lock_guard lock(mutex);
                if (text == "ready")
                    isReady = true;
                else if (text.rfind("done ", 0) == 0)
                    result = text;
                cv.notify_all();
            });
            client = &c;
            loop = &l;
        };
        runner = std::thread([this] { RunHost(config); });
        {
            std::unique_lock lock(mutex);
            cv.wait_for(lock, 30s, [&] { return isReady; });
        }
        if (!isReady)
            problem =
                "the bench page did not load within 30 s (KORVEX_HOST_BENCH_TRACE=1 tells why)";
        else if (attached)
            attachedClient =
                std::make_unique<AttachedClient>(*config.options.remoteDebuggingPort, problem);
    }

    bool attached;
    std::string problem;
    std::unique_ptr<AttachedClient> attachedClient;
    fs::path folder;
    AnsweringAPI api;
    HostConfig config;
    std::thread runner;
    BrowserClient* client = nullptr;
    EventLoop* loop = nullptr;
    std::mutex mutex;
    std::condition_variable cv;
    bool isReady = false;
    std::optional<std::string> result;
};

void timeRounds(benchmark::State& state, const char* call, bool attached) {
    auto& host = BenchHost::get(attached);
    if (!host.ready()) {
        state.SkipWithError(host.whyNotReady().c_str());
        return;
    }
    std::vector<double> times;
    for (auto _ : state) {
        double ms = host.round(call);
        if (ms < 0) {
            state.SkipWithError("no reply");
            return;
        }
        times.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
    }
    // The goal is stated for the median; the tail shows what a page sees now and then.
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times[times.size() / 2];
    state.counters["p99_ms"] = times[std::min(times.size() - 1, times.size() * 99 / 100)];
}

void BM_RequestAndReply(benchmark::State& state) { timeRounds(state, "small()", false); }
void BM_SensorDataReplyOf100kFloats(benchmark::State& state) {
    timeRounds(state, "large()", false);
}
void BM_RequestAndReply_ClientAttached(benchmark::State& state) {
    timeRounds(state, "small()", true);
}
void BM_SensorDataReplyOf100kFloats_ClientAttached(benchmark::State& state) {
    timeRounds(state, "large()", true);
}

} // namespace

BENCHMARK(BM_RequestAndReply)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1000);
BENCHMARK(BM_SensorDataReplyOf100kFloats)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(100);
BENCHMARK(BM_RequestAndReply_ClientAttached)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(1000);
BENCHMARK(BM_SensorDataReplyOf100kFloats_ClientAttached)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(100);

BENCHMARK_MAIN();
