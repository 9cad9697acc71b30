// A ten-second two-remote run against the simulated kit, through the public interface:
// how many data frames the kit sent, how many the library recorded, how many samples each
// sensor holds and at which measured rate. One iteration; the figures are printed as
// "[ measured ]" lines and reported as counters.
//
//   system_bench [--benchmark_...] with KORVEX_SYSTEM_BENCH_CONFIGS="38,45" (default) and
//   KORVEX_SYSTEM_BENCH_SECONDS=10 (default).
#include "KorvexAPI.h"
#include "tools/dongle-sim/DongleSim.h"
#include "tools/dongle-sim/SimLayout.h"
#include "tests/support/ScriptLog.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <benchmark/benchmark.h>
#include <bson/bson.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The run's waits poll every 10 ms, so as not to load the library they measure.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return ::waitFor(limit, condition, 10ms);
}

int32_t intAt(const bson_t* doc, const char* path) {
    bson_iter_t iter, found;
    if (bson_iter_init(&iter, doc) && bson_iter_find_descendant(&iter, path, &found) &&
        BSON_ITER_HOLDS_INT32(&found))
        return bson_iter_int32(&found);
    return -1;
}

bool boolAt(const bson_t* doc, const char* path) {
    bson_iter_t iter, found;
    return bson_iter_init(&iter, doc) && bson_iter_find_descendant(&iter, path, &found) &&
           BSON_ITER_HOLDS_BOOL(&found) && bson_iter_bool(&found);
}

int envInt(const char* name, int otherwise) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : otherwise;
}

std::pair<int, int> configsFromEnv() {
    int a = 38, b = 45;
    if (const char* text = std::getenv("KORVEX_SYSTEM_BENCH_CONFIGS"))
        std::sscanf(text, "%d,%d", &a, &b);
    return {a, b};
}

void measured(const std::string& line) { std::printf("[ measured ] %s\n", line.c_str()); }

void BM_TwoRemoteRun(benchmark::State& state) {
    const auto [config1, config2] = configsFromEnv();
    const int seconds = envInt("KORVEX_SYSTEM_BENCH_SECONDS", 10);
    const TempDir dir("korvex-system-bench");
    const fs::path root = dir.path();
    const ScopedEnv documents("KORVEX_DOCUMENTS_DIR", (root / "documents").string());
    const ScopedEnv runtime("KORVEX_RUNTIME_DIR", (root / "runtime").string());

    for (auto _ : state) {
        std::mutex framesLock;
        std::map<int, uint64_t> framesSent, bytesSent, framesLost;
        DongleSim sim;
        sim.onDataFrame([&](const SimDataFrame& frame, bool sent) {
            std::lock_guard lock(framesLock);
            if (sent) {
                ++framesSent[frame.remote];
                bytesSent[frame.remote] += frame.frame.size();
            } else {
                ++framesLost[frame.remote];
            }
        });
        std::string error;
        if (!sim.start(&error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        IKorvexAPI* api = getConcreteIKorvexAPI(&ScriptLog::capture);
        api->startAPI();
        auto hardware = [&](auto read) {
            bson_t doc;
            api->getHardwareState(&doc);
            auto value = read(&doc);
            bson_destroy(&doc);
            return value;
        };
        bool ready = waitFor(
            [&] {
                return api->isRemoteConnected(1) && api->isRemoteConnected(2) &&
                       hardware([](bson_t* d) { return intAt(d, "dongleMode"); }) == 8;
            },
            15s);
        api->setFixedConfig(1, config1);
        api->setFixedConfig(2, config2);
        ready = ready && waitFor(
                             [&] {
                                 return hardware([&](bson_t* d) {
                                     return boolAt(d, "remote1.configured") &&
                                            boolAt(d, "remote2.configured") &&
                                            intAt(d, "remote1.fixedConfig") == config1 &&
                                            intAt(d, "remote2.fixedConfig") == config2;
                                 });
                             },
                             10s);
        if (!ready) {
            state.SkipWithError("the kit was not ready");
            releaseConcreteIKorvexAPI(api);
            break;
        }

        auto started = std::chrono::steady_clock::now();
        api->startDataAcquisition();
        bool ok = waitFor([&] { return ScriptLog::count("dataStarted") == 1; }, 5s);
        std::this_thread::sleep_until(started + std::chrono::seconds(seconds));
        api->stopDataAcquisition();
        ok = ok && waitFor([&] { return ScriptLog::count("dataStopped") == 1; }, 10s);
        double runSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (!ok)
            state.SkipWithError("the run did not start or stop");

        // What was recorded: the raw file, frame by frame.
        std::map<int, uint64_t> framesRecorded, bytesRecorded;
        for (auto& entry :
             fs::directory_iterator(root / "documents" / "Korvex-WorkFiles" / "rawdata")) {
            if (entry.path().extension() != ".raw")
                continue;
            std::FILE* f = std::fopen(entry.path().c_str(), "rb");
            std::vector<uint8_t> bytes(fs::file_size(entry.path()));
            if (f && std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size())
                for (size_t at = 0; at + 3 <= bytes.size();) {
                    size_t size = size_t(bytes[at + 2]) + 4;
                    if (at + size > bytes.size())
                        break;
                    ++framesRecorded[bytes[at + 3]];
                    bytesRecorded[bytes[at + 3]] += size;
                    at += size;
                }
            if (f)
                std::fclose(f);
        }

        measured("configurations " + std::to_string(config1) + " and " + std::to_string(config2) +
                 ", " + std::to_string(seconds) + " s requested, " + std::to_string(runSeconds) +
                 " s from start to stopped");
        uint64_t allSent = 0, allRecorded = 0;
        for (int remote : {1, 2}) {
            std::lock_guard lock(framesLock);
            measured("remote " + std::to_string(remote) + ": frames sent " +
                     std::to_string(framesSent[remote]) + " (" + std::to_string(bytesSent[remote]) +
                     " bytes), lost at the kit " + std::to_string(framesLost[remote]) +
                     ", recorded " + std::to_string(framesRecorded[remote]) + " (" +
                     std::to_string(bytesRecorded[remote]) + " bytes)");
            allSent += framesSent[remote];
            allRecorded += framesRecorded[remote];
        }
        state.counters["framesSent"] = double(allSent);
        state.counters["framesRecorded"] = double(allRecorded);

        for (int remote : {1, 2}) {
            for (const auto& block : simBlockLayout(remote == 1 ? config1 : config2)) {
                bson_t doc;
                bufferArray data;
                api->getSensorData(&doc, &data, remote, block.type, 0, -1, false, -1, 0);
                const int E = intAt(&doc, "datalength");
                const int reported = intAt(&doc, "sampleRate");
                double rate = E > 0 && data.data ? E / double(data.data[E - 1]) : 0.0;
                char line[200];
                std::snprintf(line, sizeof line,
                              "remote %d sensor %2d: %7d samples, measured rate %9.3f Hz (reported "
                              "%d, nominal %d)",
                              remote, block.type, E, rate, reported, block.rate);
                measured(line);
                state.counters["r" + std::to_string(remote) + "s" + std::to_string(block.type) +
                               "Hz"] = rate;
                api->freeBufferArray(&data);
                bson_destroy(&doc);
            }
        }
        releaseConcreteIKorvexAPI(api);
        sim.stop();
    }
}

BENCHMARK(BM_TwoRemoteRun)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
