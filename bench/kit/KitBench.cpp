// End-to-end figures of the library against the simulated kit on a real pseudo-terminal,
// in-process, each kit with a private documents folder and port registry:
// - BM_FrameToLastSample: delay from a data frame handed to the terminal to its samples
//   being visible to getLastSample (median and 99th percentile), paced at 100 frames/s;
// - BM_FrameToLastSampleWhileExporting: the same while an hour of remote 2's 4800 Hz
//   sensor is exported to CSV in a loop (argument 1; 2: to /dev/null) or not (argument 0);
// - BM_SustainedFrames: frames per second the library takes in with both remotes on the
//   heaviest configuration and the simulator unpaced;
// - BM_CpuIdle / BM_CpuStreaming38: CPU of the library's own threads (the simulator's
//   thread and this one excluded) while idle with the dongle plugged in, and while both
//   remotes stream configuration 38, as a percentage of one core;
// - BM_ReloadHour: reload of a one-hour recording (configuration 45 on remote 1, 38 on
//   remote 2) from its raw file, generated with the simulator's model, no real time spent;
//   wall seconds and peak resident memory.
#include "KorvexAPI.h"
#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"
#include "tools/dongle-sim/DongleModel.h"
#include "tools/dongle-sim/DongleSim.h"
#include "tools/dongle-sim/SimLayout.h"
#include "tests/support/ScriptLog.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <benchmark/benchmark.h>
#include <bson/bson.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The last few event scripts, to explain a failure.
std::string lastScripts() {
    const std::vector<std::string> scripts = ScriptLog::all();
    std::string out;
    for (size_t i = scripts.size() > 4 ? scripts.size() - 4 : 0; i < scripts.size(); ++i)
        out += "\n  " + scripts[i].substr(0, 300);
    return out;
}

// The kit's waits poll every 5 ms, so as not to load the library they measure.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return ::waitFor(limit, condition, 5ms);
}

int32_t intAt(const bson_t* doc, const char* path) {
    bson_iter_t iter, found;
    if (bson_iter_init(&iter, doc) && bson_iter_find_descendant(&iter, path, &found) &&
        BSON_ITER_HOLDS_INT32(&found))
        return bson_iter_int32(&found);
    return -1;
}

std::string textAt(const bson_t* doc, const char* path) {
    bson_iter_t iter, found;
    if (bson_iter_init(&iter, doc) && bson_iter_find_descendant(&iter, path, &found) &&
        BSON_ITER_HOLDS_UTF8(&found))
        return bson_iter_utf8(&found, nullptr);
    return "";
}

bool boolAt(const bson_t* doc, const char* path) {
    bson_iter_t iter, found;
    return bson_iter_init(&iter, doc) && bson_iter_find_descendant(&iter, path, &found) &&
           BSON_ITER_HOLDS_BOOL(&found) && bson_iter_bool(&found);
}

std::set<std::string> threadIds() {
    std::set<std::string> ids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/task", ec))
        ids.insert(entry.path().filename().string());
    return ids;
}

// Nanoseconds a thread has run: schedstat when the kernel keeps it, else stat's ticks.
uint64_t threadCpuNs(const std::string& tid) {
    std::ifstream sched("/proc/self/task/" + tid + "/schedstat");
    uint64_t ns = 0;
    if (sched >> ns)
        return ns;
    std::ifstream stat("/proc/self/task/" + tid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return (utime + stime) * (1'000'000'000ull / static_cast<uint64_t>(sysconf(_SC_CLK_TCK)));
}

// Peak resident memory of this process (kB), and its reset.
long peakRssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}
long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}
double processCpuSeconds() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A private folder with the environment the library and the simulator read.
struct PrivateRoot {
    TempDir dir{"korvex-kit-bench"};
    fs::path path = dir.path();
    ScopedEnv documents{"KORVEX_DOCUMENTS_DIR", (path / "documents").string()};
    ScopedEnv runtime{"KORVEX_RUNTIME_DIR", (path / "runtime").string()};
    ScopedEnv port{"KORVEX_PORT", std::nullopt};
    fs::path rawFolder() const { return path / "documents" / "Korvex-WorkFiles" / "rawdata"; }
};

// The simulator and the library, both remotes connected and configured.
struct Kit {
    PrivateRoot root;
    std::unique_ptr<DongleSim> sim;
    IKorvexAPI* api = nullptr;
    std::set<std::string> simThreads, outsideThreads;
    std::function<void(const SimDataFrame&)> onFrame;
    std::string failure;

    Kit(bool paced, const std::map<int, int>& configs) {
        ScriptLog::clear();
        outsideThreads = threadIds();
        DongleSim::Options options;
        options.paced = paced;
        sim = std::make_unique<DongleSim>(options);
        sim->onDataFrame([this](const SimDataFrame& frame, bool sent) {
            if (sent && onFrame)
                onFrame(frame);
        });
        if (!sim->start(&failure))
            return;
        waitFor([&] { return threadIds().size() > outsideThreads.size(); }, 2s);
        for (const auto& t : threadIds())
            if (!outsideThreads.count(t))
                simThreads.insert(t);
        api = getConcreteIKorvexAPI(&ScriptLog::capture);
        api->startAPI();
        if (!waitFor(
                [&] {
                    if (!api->isDongleConnected() || !api->isRemoteConnected(1) ||
                        !api->isRemoteConnected(2))
                        return false;
                    bson_t doc;
                    api->getHardwareState(&doc);
                    const bool connectedMode = intAt(&doc, "dongleMode") == 8;
                    bson_destroy(&doc);
                    return connectedMode;
                },
                20s)) {
            failure = "the library did not find the simulated kit";
            return;
        }
        for (auto [remote, config] : configs)
            if (failure.empty() && !configure(remote, config))
                failure = "remote " + std::to_string(remote) + " did not take configuration " +
                          std::to_string(config) + lastScripts();
    }
    ~Kit() {
        if (api)
            releaseConcreteIKorvexAPI(api);
        if (sim)
            sim->stop();
    }

    bool configure(int remote, int config) {
        if (!api->setFixedConfig(remote, config))
            return false;
        const std::string slot = "remote" + std::to_string(remote);
        return waitFor(
            [&] {
                bson_t doc;
                api->getHardwareState(&doc);
                const bool done = boolAt(&doc, (slot + ".configured").c_str()) &&
                                  intAt(&doc, (slot + ".fixedConfig").c_str()) == config;
                bson_destroy(&doc);
                return done;
            },
            10s);
    }
    bool start() {
        const int started = ScriptLog::count("dataStarted");
        api->startDataAcquisition();
        return waitFor([&] { return ScriptLog::count("dataStarted") > started; }, 5s);
    }
    bool stop() {
        const int stopped = ScriptLog::count("dataStopped");
        api->stopDataAcquisition();
        return waitFor([&] { return ScriptLog::count("dataStopped") > stopped; }, 5s);
    }
    uint64_t simulatorCpuNs() const {
        uint64_t total = 0;
        for (const auto& t : simThreads)
            total += threadCpuNs(t);
        return total;
    }
    // CPU nanoseconds of the library's threads: every thread that is neither the
    // simulator's nor one that ran before the kit was made.
    uint64_t libraryCpuNs() const {
        uint64_t total = 0;
        for (const auto& t : threadIds())
            if (!outsideThreads.count(t) && !simThreads.count(t))
                total += threadCpuNs(t);
        return total;
    }
    std::string acquisitionID() {
        bson_t doc;
        api->getAcquisitionStack(&doc);
        std::string id = textAt(&doc, "ID");
        bson_destroy(&doc);
        return id;
    }
};

double lastSampleTime(IKorvexAPI* api, int remote, int type) {
    bson_t doc;
    bufferArray data;
    api->getLastSample(&doc, &data, remote, type);
    const double t = data.data && data.size > 0 ? data.data[0] : -1.0;
    api->freeBufferArray(&data);
    bson_destroy(&doc);
    return t;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

void BM_FrameToLastSample(benchmark::State& state) {
    Kit kit(true, {{1, 38}, {2, 38}});
    if (!kit.failure.empty()) {
        state.SkipWithError(kit.failure.c_str());
        return;
    }
    const int type = simBlockLayout(38).front().type;
    std::atomic<int64_t> sentAt{0}; // steady-clock ns of remote 1's latest frame
    kit.onFrame = [&](const SimDataFrame& f) {
        if (f.remote == 1)
            sentAt.store(Clock::now().time_since_epoch().count());
    };
    std::vector<double> delaysMs;
    for (auto _ : state) {
        if (!kit.start()) {
            state.SkipWithError("the run did not start");
            return;
        }
        std::this_thread::sleep_for(300ms); // past the warm-up frames
        double seen = lastSampleTime(kit.api, 1, type);
        const auto end = Clock::now() + 6s;
        while (Clock::now() < end) {
            const double t = lastSampleTime(kit.api, 1, type);
            if (t != seen) {
                const int64_t now = Clock::now().time_since_epoch().count();
                delaysMs.push_back((now - sentAt.load()) / 1e6);
                seen = t;
            }
            std::this_thread::sleep_for(20us);
        }
        kit.stop();
    }
    state.counters["median_ms"] = percentile(delaysMs, 0.5);
    state.counters["p99_ms"] = percentile(delaysMs, 0.99);
    state.counters["frames"] = static_cast<double>(delaysMs.size());
}
BENCHMARK(BM_FrameToLastSample)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// BM_FrameToLastSample with remote 2 holding an hour of a 4800 Hz force sensor (17.28 M
// samples, streamed unpaced first), exported to CSV over and over on another thread while
// remote 1's delays are measured (argument 1; argument 2: after the first export, to
// /dev/null, to leave the disk out), or left alone (argument 0). The parser
// serves both remotes, so an export that held remote 2's lock would stall remote 1 too.
// max_gap_ms is the longest time between two new samples of remote 1 (10 ms when nothing
// stalls): a stall shows there even when the frames that queued up meanwhile are then
// taken in at once.
void BM_FrameToLastSampleWhileExporting(benchmark::State& state) {
    const bool exporting = state.range(0) != 0;
    const bool toNull = state.range(0) == 2;
    Kit kit(false, {{1, 38}, {2, 46}});
    if (!kit.failure.empty()) {
        state.SkipWithError(kit.failure.c_str());
        return;
    }
    const int type = simBlockLayout(38).front().type;
    const int hourType = simBlockLayout(46).front().type;
    std::atomic<int64_t> sentAt{0};
    kit.onFrame = [&](const SimDataFrame& f) {
        if (f.remote == 1)
            sentAt.store(Clock::now().time_since_epoch().count());
    };
    std::vector<double> delaysMs;
    double maxGapMs = 0;
    int exports = 0;
    for (auto _ : state) {
        if (!kit.start()) {
            state.SkipWithError("the run did not start");
            return;
        }
        if (!waitFor([&] { return lastSampleTime(kit.api, 2, hourType) >= 3600; }, 300s)) {
            kit.stop();
            state.SkipWithError("remote 2 did not reach an hour");
            return;
        }
        kit.sim->setPaced(true);
        std::this_thread::sleep_for(500ms);
        std::atomic<bool> done{false};
        std::atomic<int> exported{0};
        std::thread exporter([&] {
            while (exporting && !done.load()) {
                bson_t doc;
                bson_init(&doc);
                kit.api->exportData(&doc, 2, hourType, "hour");
                if (toNull && exported == 0) {
                    // From now on the text goes nowhere: the disk is out of the figure.
                    const fs::path file = textAt(&doc, "path");
                    std::error_code ec;
                    fs::remove(file, ec);
                    fs::create_symlink("/dev/null", file, ec);
                }
                bson_destroy(&doc);
                ++exported;
            }
        });
        double seen = lastSampleTime(kit.api, 1, type);
        auto seenAt = Clock::now();
        const auto end = Clock::now() + 8s;
        while (Clock::now() < end) {
            const double t = lastSampleTime(kit.api, 1, type);
            if (t != seen) {
                const auto now = Clock::now();
                delaysMs.push_back((now.time_since_epoch().count() - sentAt.load()) / 1e6);
                maxGapMs = std::max(
                    maxGapMs, std::chrono::duration<double, std::milli>(now - seenAt).count());
                seen = t;
                seenAt = now;
            }
            std::this_thread::sleep_for(20us);
        }
        done = true;
        exporter.join();
        exports = exported.load();
        kit.stop();
    }
    state.counters["median_ms"] = percentile(delaysMs, 0.5);
    state.counters["p99_ms"] = percentile(delaysMs, 0.99);
    state.counters["max_gap_ms"] = maxGapMs;
    state.counters["frames"] = static_cast<double>(delaysMs.size());
    state.counters["exports"] = exports;
}
BENCHMARK(BM_FrameToLastSampleWhileExporting)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The configuration whose data frames carry the most bytes.
int heaviestConfiguration() {
    int best = 0, bytes = 0;
    for (int c : simConfigurations())
        if (simDataPayloadSize(c) > bytes)
            best = c, bytes = simDataPayloadSize(c);
    return best;
}

void BM_SustainedFrames(benchmark::State& state) {
    const int config = heaviestConfiguration();
    Kit kit(false, {{1, config}, {2, config}});
    if (!kit.failure.empty()) {
        state.SkipWithError(kit.failure.c_str());
        return;
    }
    double framesPerSecond = 0, cpu = 0, simCpu = 0;
    for (auto _ : state) {
        if (!kit.start()) {
            state.SkipWithError("the run did not start");
            return;
        }
        std::this_thread::sleep_for(500ms);
        const auto before = kit.sim->stats();
        const uint64_t cpuBefore = kit.libraryCpuNs(), simBefore = kit.simulatorCpuNs();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(4s);
        const auto after = kit.sim->stats();
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu = (kit.libraryCpuNs() - cpuBefore) / 1e9 / seconds * 100;
        simCpu = (kit.simulatorCpuNs() - simBefore) / 1e9 / seconds * 100;
        framesPerSecond = (after.dataFramesSent - before.dataFramesSent) / seconds;
        kit.stop();
    }
    state.counters["config"] = config;
    state.counters["frame_bytes"] = simDataPayloadSize(config) + 4;
    state.counters["frames_per_s"] = framesPerSecond;
    state.counters["realtime_x"] = framesPerSecond / (2 * SIM_FRAMES_PER_SECOND);
    state.counters["library_cpu_pct"] = cpu;
    state.counters["simulator_cpu_pct"] = simCpu;
}
BENCHMARK(BM_SustainedFrames)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void cpuOver(benchmark::State& state, bool streaming) {
    Kit kit(true, {{1, 38}, {2, 38}});
    if (!kit.failure.empty()) {
        state.SkipWithError(kit.failure.c_str());
        return;
    }
    double percent = 0;
    for (auto _ : state) {
        if (streaming && !kit.start()) {
            state.SkipWithError("the run did not start");
            return;
        }
        std::this_thread::sleep_for(1s); // let start-up settle
        const uint64_t before = kit.libraryCpuNs();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(5s);
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        percent = (kit.libraryCpuNs() - before) / 1e9 / seconds * 100;
        if (streaming)
            kit.stop();
    }
    state.counters["library_cpu_pct"] = percent;
}
void BM_CpuIdle(benchmark::State& state) { cpuOver(state, false); }
void BM_CpuStreaming38(benchmark::State& state) { cpuOver(state, true); }
BENCHMARK(BM_CpuIdle)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_CpuStreaming38)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// One hour of both remotes' frames, as the dongle would have sent them, straight from the
// simulator's model.
bool writeHour(const fs::path& file, int config1, int config2, int64_t ticks, uint64_t* bytes) {
    DongleModel model;
    model.setPairing(1, model.unitID(1));
    model.setPairing(2, model.unitID(2));
    model.settleConnections();
    model.handleCommand(
        buildFrame(SET_FIXED_CONFIG, std::vector<uint8_t>{1, static_cast<uint8_t>(config1)}));
    model.handleCommand(
        buildFrame(SET_FIXED_CONFIG, std::vector<uint8_t>{2, static_cast<uint8_t>(config2)}));
    model.handleCommand(buildFrame(START_DATA));
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (!out)
        return false;
    std::vector<char> buffer(1 << 20);
    std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());
    *bytes = 0;
    for (int64_t t = 0; t < ticks; ++t)
        for (const SimEmission& e : model.tick())
            if (e.kind == SimEmission::Kind::Data) {
                std::fwrite(e.frame.data(), 1, e.frame.size(), out);
                *bytes += e.frame.size();
            }
    return std::fclose(out) == 0;
}

void BM_ReloadHour(benchmark::State& state) {
    // A short real run gives a genuine acquisition (its document and raw file); its raw
    // file is then replaced by the hour.
    std::string id;
    fs::path rawFile;
    auto kit = std::make_unique<Kit>(true, std::map<int, int>{{1, 45}, {2, 38}});
    if (!kit->failure.empty() || !kit->start()) {
        state.SkipWithError(kit->failure.empty() ? "the run did not start" : kit->failure.c_str());
        return;
    }
    std::this_thread::sleep_for(300ms);
    kit->stop();
    id = kit->acquisitionID();
    kit->api->stackAcquisition();
    rawFile = kit->root.rawFolder() / (id + ".raw");
    if (id.empty() || !fs::exists(rawFile)) {
        state.SkipWithError("no recording was made");
        return;
    }
    uint64_t bytes = 0;
    if (!writeHour(rawFile, 45, 38, 3600 * SIM_FRAMES_PER_SECOND, &bytes)) {
        state.SkipWithError("cannot write the hour");
        return;
    }
    // The recording stays; the library that made it goes, and a fresh one reloads it.
    releaseConcreteIKorvexAPI(kit->api);
    kit->api = nullptr;
    kit->sim->stop();

    double seconds = 0, cpuSeconds = 0;
    long peakKb = 0, baseKb = 0;
    int64_t samples1 = 0, samples2 = 0;
    double storedSamples = 0;
    long afterKb = 0;
    for (auto _ : state) {
        IKorvexAPI* api = getConcreteIKorvexAPI(&ScriptLog::capture);
        resetPeakRss();
        baseKb = peakRssKb();
        const double cpu0 = processCpuSeconds();
        const auto t0 = Clock::now();
        bson_t result;
        api->acquisitionManagement(&result, 1, id.c_str());
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        cpuSeconds = processCpuSeconds() - cpu0;
        bson_destroy(&result);
        peakKb = peakRssKb();
        afterKb = residentKb();
        bson_t doc;
        bufferArray data;
        api->getSensorData(&doc, &data, 1, simBlockLayout(45).front().type, 0, -1, false, -1, 1);
        bson_destroy(&doc);
        api->freeBufferArray(&data);
        bson_t stack;
        api->getAcquisitionStack(&stack);
        if (textAt(&stack, "ID") != id || !boolAt(&stack, "fromDB"))
            state.SkipWithError("the recording was not reloaded");
        bson_destroy(&stack);
        // Sample counts from the last sample's time and the nominal rate.
        samples1 = static_cast<int64_t>(lastSampleTime(api, 1, simBlockLayout(45).front().type) *
                                            simBlockLayout(45).front().rate +
                                        0.5);
        samples2 = static_cast<int64_t>(lastSampleTime(api, 2, simBlockLayout(38).front().type) *
                                            simBlockLayout(38).front().rate +
                                        0.5);
        // Every sensor of both remotes, for the bytes per stored sample.
        storedSamples = 0;
        for (auto [remote, config] : {std::pair{1, 45}, std::pair{2, 38}})
            for (const auto& block : simBlockLayout(config))
                storedSamples +=
                    std::max(0.0, lastSampleTime(api, remote, block.type)) * block.rate;
        releaseConcreteIKorvexAPI(api);
    }
    state.counters["seconds"] = seconds;
    state.counters["cpu_seconds"] = cpuSeconds;
    state.counters["raw_MB"] = bytes / 1e6;
    state.counters["peak_rss_MB"] = peakKb / 1024.0;
    state.counters["peak_growth_MB"] = (peakKb - baseKb) / 1024.0;
    state.counters["remote1_first_sensor_samples"] = static_cast<double>(samples1);
    state.counters["remote2_first_sensor_samples"] = static_cast<double>(samples2);
    // Every sensor's samples of both remotes; what stays resident once the reload is done,
    // and the peak, which also holds what the reload needs only while it runs.
    state.counters["stored_samples"] = storedSamples;
    state.counters["resident_MB"] = afterKb / 1024.0;
    state.counters["resident_bytes_per_sample"] =
        storedSamples > 0 ? (afterKb - baseKb) * 1024.0 / storedSamples : 0;
    state.counters["peak_growth_bytes_per_sample"] =
        storedSamples > 0 ? (peakKb - baseKb) * 1024.0 / storedSamples : 0;
}
BENCHMARK(BM_ReloadHour)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
