// CSV export of one-hour recordings, and how long an export keeps a live parser waiting.
// - BM_ExportOneAxisHour: a 4800 Hz force sensor, one hour (17.28 M lines);
// - BM_ExportThreeAxisHour: an 800 Hz accelerometer, one hour (2.88 M lines);
// - BM_ExportParserWait: the one-axis hour exported while another thread plays the data
//   parser (takes the sensor's exclusive lock every millisecond and appends a 48-sample
//   block); the longest and the 99th-percentile wait for that lock;
// - BM_QueryParserWait: the same wait while the hour is resampled, frame-averaged or read
//   whole.
// Goals: >= 5 M lines/s three-axis, >= 10 M lines/s one-axis; a wait of a few ms at most.
#include "KorvexAPI.h"
#include "bench/queries/FillSensor.h"
#include "device/api/KorvexAPIObject.h"
#include "device/base/FileSystem.h"
#include "device/base/HardwareState.h"
#include "device/sensors/Sensor.h"
#include "device/storage/AcquisitionStack.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;

// One API object with remote 1 on configuration `config` and its first sensor filled.
struct Recording {
    Recording(int config, int type, int count, int perFrame) : type(type), count(count) {
        api = static_cast<KorvexAPI*>(getConcreteIKorvexAPI(nullptr));
        api->hardwareState->dongleMode = DongleModeConnected;
        api->hardwareState->remoteStatus(1)->rfStatus = 1;
        api->setFixedConfig(1, config);
        fillSensor(sensor(), count, perFrame);
    }
    ~Recording() { releaseConcreteIKorvexAPI(api); }
    Sensor* sensor() { return api->acquisitionStack->getSensor(1, type); }
    bool exportOnce() {
        bson_t doc;
        bson_init(&doc);
        api->exportData(&doc, 1, type, "bench");
        bson_iter_t it;
        const bool ok = bson_iter_init_find(&it, &doc, "success") && bson_iter_as_bool(&it);
        bson_destroy(&doc);
        return ok;
    }
    void removeFile() {
        std::filesystem::remove(api->fileSystem->getDirectory(FileSystem::Export) + "bench.csv");
    }

    int type;
    int count;
    TempDir dir{"korvex-export-bench", "/tmp"};
    ScopedEnv documents{"KORVEX_DOCUMENTS_DIR", dir.str()};
    std::string folder = dir.str();
    KorvexAPI* api = nullptr;
};

// The hours live until the program ends (the library object is not released at exit);
// only their folders are removed then.
struct FoldersAtExit {
    std::vector<std::string> folders;
    ~FoldersAtExit() {
        std::error_code ec;
        for (const auto& f : folders)
            std::filesystem::remove_all(f, ec);
    }
};
FoldersAtExit foldersAtExit;

Recording& oneAxisHour() {
    static Recording* r = new Recording(46, SensorForce, 3600 * 4800, 48);
    static bool noted = (foldersAtExit.folders.push_back(r->folder), true);
    (void)noted;
    return *r;
}

Recording& threeAxisHour() {
    static Recording* r = new Recording(33, SensorAccelerometer, 3600 * 800, 8);
    static bool noted = (foldersAtExit.folders.push_back(r->folder), true);
    (void)noted;
    return *r;
}

// CPU seconds of the whole process (every thread, user and kernel).
double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Items are lines. cpu_ns_per_line counts every thread's CPU, the kernel's writing included:
// the figure that does not depend on how busy the machine is.
void exportHour(benchmark::State& state, Recording& r) {
    double cpu = 0;
    for (auto _ : state) {
        const double cpu0 = processCpuSeconds();
        if (!r.exportOnce())
            state.SkipWithError("the export failed");
        cpu += processCpuSeconds() - cpu0;
        state.PauseTiming();
        r.removeFile();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(r.count));
    state.counters["cpu_ns_per_line"] = cpu * 1e9 / (double(state.iterations()) * r.count);
}

void BM_ExportOneAxisHour(benchmark::State& state) { exportHour(state, oneAxisHour()); }
BENCHMARK(BM_ExportOneAxisHour)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_ExportThreeAxisHour(benchmark::State& state) { exportHour(state, threeAxisHour()); }
BENCHMARK(BM_ExportThreeAxisHour)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// Runs `work` on a one-hour recording of its own while another thread plays the parser,
// and reports how long that thread waited for the sensor's exclusive lock.
template <typename Work>
void parserWaits(benchmark::State& state, Work work) {
    Recording r(46, SensorForce, 3600 * 4800, 48);
    SampleCollection& samples = r.sensor()->samples;
    std::vector<double> waitsMs;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        std::thread parser([&] {
            const int32_t raw[1] = {2047};
            const float values[1] = {0.5f};
            while (!done.load()) {
                const auto t0 = Clock::now();
                {
                    auto editor = samples.edit();
                    const uint32_t frameTotal = static_cast<uint32_t>(editor.size() / 48 + 1);
                    for (int i = 0; i < 48; ++i)
                        editor.append(raw, values, 1, static_cast<uint8_t>(frameTotal),
                                      static_cast<uint8_t>(i), frameTotal);
                }
                waitsMs.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        if (!work(r))
            state.SkipWithError("the work failed");
        done = true;
        parser.join();
    }
    std::sort(waitsMs.begin(), waitsMs.end());
    state.counters["blocks"] = static_cast<double>(waitsMs.size());
    state.counters["max_wait_ms"] = waitsMs.empty() ? 0 : waitsMs.back();
    state.counters["p99_wait_ms"] =
        waitsMs.empty() ? 0 : waitsMs[static_cast<size_t>(0.99 * (waitsMs.size() - 1))];
}

void BM_ExportParserWait(benchmark::State& state) {
    parserWaits(state, [](Recording& r) {
        const bool ok = r.exportOnce();
        r.removeFile();
        return ok;
    });
}
BENCHMARK(BM_ExportParserWait)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The long queries on the same hour, ten times each: (0) the whole hour resampled to 1 Hz
// and to 100 Hz, (1) its frame averages, (2) all its samples.
void BM_QueryParserWait(benchmark::State& state) {
    const int64_t which = state.range(0);
    parserWaits(state, [which](Recording& r) {
        const SampleCollection& samples = r.sensor()->samples;
        for (int round = 0; round < 10; ++round) {
            if (which == 0) {
                for (int rate : {1, 100}) {
                    SampleCollection out(rate);
                    samples.rangeInto(out, 0, -1, false);
                    if (out.size() < 3600)
                        return false;
                }
            } else if (which == 1) {
                SampleCollection frames;
                samples.averageFramesInto(frames);
                if (frames.size() < 360000)
                    return false;
            } else {
                SampleCollection all;
                samples.rangeInto(all, 0, -1);
                if (all.size() < 3600u * 4800)
                    return false;
            }
        }
        return true;
    });
}
BENCHMARK(BM_QueryParserWait)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
