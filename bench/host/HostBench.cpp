// The bridge with the real browser: a page's request and its reply, timed in the page from
// app.sendMessage to the reply callback. Runs headless Chromium; the device library is a
// stand-in that answers at once, so the figures are the host and browser's own cost.
#include "host/bridge/ScriptBridge.h"
#include "host/shell/BrowserClient.h"
#include "host/shell/EventLoop.h"
#include "host/shell/Host.h"
#include "host/shell/HostPaths.h"
#include "tests/host/FakeKorvexAPI.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <unistd.h>

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
    void getSensorData(bson_t* result, bufferArray* data, int, int, double, double, bool, int, int) override {
        bson_init(result);
        bson_append_int32(result, "count", -1, int(kLargeReplyFloats));
        data->data = new float[kLargeReplyFloats];
        data->size = kLargeReplyFloats;
        for (uint32_t i = 0; i < kLargeReplyFloats; ++i) data->data[i] = float(i) * 0.5f;
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

// One host for the whole run.
class BenchHost {
public:
    static BenchHost& get() {
        static BenchHost host;
        return host;
    }

    bool ready() const { return isReady; }

    // Runs `call` in the page and returns the page's measured time in milliseconds, or a
    // negative number when the reply did not arrive or was wrong.
    double round(const std::string& call) {
        {
            std::lock_guard lock(mutex);
            result.reset();
        }
        loop->post([this, call] {
            if (auto* main = client->mainPage()) client->evaluate(main->sessionId, call);
        });
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, 5s, [&] { return result.has_value(); })) return -1;
        if (result->find("bad") != std::string::npos) return -1;
        return std::stod(result->substr(5));
    }

    ~BenchHost() {
        if (loop && client) loop->post([c = client] { c->closeEveryBrowser(); });
        if (runner.joinable()) runner.join();
        std::error_code ec;
        fs::remove_all(folder, ec);
    }

private:
    BenchHost() {
        folder = fs::temp_directory_path() / ("korvex-bench-" + std::to_string(::getpid()));
        fs::create_directories(folder / "client");
        std::ofstream(folder / "client" / "bench.html") << kPage;
        auto browser = FindBrowserProgram(ProcessEnvironment, IsExecutableFile);
        if (!browser.path) return;
        config.options.headless = true;
        config.options.startupAddress = "http://res/client/bench.html";
        config.resourceDirectory = folder.string();
        config.profileDirectory = (folder / "profile").string();
        config.browserProgram = *browser.path;
        config.api = &api;
        config.extend = [this](BrowserClient& c, EventLoop& l) {
            AttachScriptBridge(c, l, folder.string());
            c.setConsoleHandler([this](const PageInfo&, const std::string& text) {
                std::lock_guard lock(mutex);
                if (text == "ready") isReady = true;
                else if (text.rfind("done ", 0) == 0) result = text;
                cv.notify_all();
            });
            client = &c;
            loop = &l;
        };
        runner = std::thread([this] { RunHost(config); });
        std::unique_lock lock(mutex);
        cv.wait_for(lock, 30s, [&] { return isReady; });
    }

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

void timeRounds(benchmark::State& state, const char* call) {
    auto& host = BenchHost::get();
    if (!host.ready()) {
        state.SkipWithError("headless Chromium did not start");
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

void BM_RequestAndReply(benchmark::State& state) { timeRounds(state, "small()"); }
void BM_SensorDataReplyOf100kFloats(benchmark::State& state) { timeRounds(state, "large()"); }

}  // namespace

BENCHMARK(BM_RequestAndReply)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1000);
BENCHMARK(BM_SensorDataReplyOf100kFloats)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(100);

BENCHMARK_MAIN();
