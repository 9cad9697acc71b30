// Data queries and CSV export on a one-hour recording of a 4800 Hz sensor (17.28 million
// samples), and the two-sensor query on an hour of two 800 Hz sensors.
//
// Goals: whole hour resampled to a few thousand points <= 10 ms; last 10 s at 1000 Hz
// <= 1 ms; last sample <= 10 us; one minute of two sensors <= 5 ms; export >= 5 M lines/s.
#include "KorvexAPI.h"
#include "bench/queries/FillSensor.h"
#include "device/api/KorvexAPIObject.h"
#include "device/base/FileSystem.h"
#include "device/base/HardwareState.h"
#include "device/sensors/Sensor.h"
#include "device/storage/AcquisitionStack.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr int hourSamples4800 = 3600 * 4800;
constexpr int hourSamples800 = 3600 * 800;

// One API object with remote 1 on configuration `config`, filled once.
struct Recording {
    explicit Recording(int config) {
        api = static_cast<KorvexAPI*>(getConcreteIKorvexAPI(nullptr));
        api->hardwareState->dongleMode = DongleModeConnected;
        api->hardwareState->remoteStatus(1)->rfStatus = 1;
        api->setFixedConfig(1, config);
    }
    ~Recording() { releaseConcreteIKorvexAPI(api); }
    Sensor* sensor(int type) { return api->acquisitionStack->getSensor(1, type); }

    TempDir dir{"korvex-queries-bench", "/tmp"};
    ScopedEnv documents{"KORVEX_DOCUMENTS_DIR", dir.str()};
    KorvexAPI* api = nullptr;
};

Recording& forceHour() {
    static Recording* recording = [] {
        auto* r = new Recording(46); // force at 4800 Hz
        fillSensor(r->sensor(SensorForce), hourSamples4800, 48);
        return r;
    }();
    return *recording;
}

Recording& twoSensorHour() {
    static Recording* recording = [] {
        auto* r = new Recording(42); // force and accelerometer at 800 Hz
        fillSensor(r->sensor(SensorForce), hourSamples800, 8);
        fillSensor(r->sensor(SensorAccelerometer), hourSamples800, 8);
        return r;
    }();
    return *recording;
}

void runQuery(benchmark::State& state, double start, double end, int rate) {
    Recording& r = forceHour();
    uint32_t points = 0;
    for (auto _ : state) {
        bson_t doc;
        bufferArray data;
        r.api->getSensorData(&doc, &data, 1, SensorForce, start, end, false, -1, rate);
        points = data.size / 2;
        r.api->freeBufferArray(&data);
        bson_destroy(&doc);
    }
    state.counters["points"] = points;
}

void BM_WholeHourAt1Hz(benchmark::State& state) { runQuery(state, 0, -1, 1); }
BENCHMARK(BM_WholeHourAt1Hz)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Last10SecondsAt1000Hz(benchmark::State& state) { runQuery(state, -10, -1, 1000); }
BENCHMARK(BM_Last10SecondsAt1000Hz)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_LastSample(benchmark::State& state) {
    Recording& r = forceHour();
    for (auto _ : state) {
        bson_t doc;
        bufferArray data;
        r.api->getLastSample(&doc, &data, 1, SensorForce);
        benchmark::DoNotOptimize(data.data);
        r.api->freeBufferArray(&data);
        bson_destroy(&doc);
    }
}
BENCHMARK(BM_LastSample)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TwoSensorsOneMinute(benchmark::State& state) {
    Recording& r = twoSensorHour();
    uint32_t matched = 0;
    for (auto _ : state) {
        bson_t doc;
        bufferArray data;
        r.api->getSensorData2(&doc, &data, 1, SensorAccelerometer, SensorForce, 1800, 1860);
        matched = data.size / 5;
        r.api->freeBufferArray(&data);
        bson_destroy(&doc);
    }
    state.counters["frames"] = matched;
}
BENCHMARK(BM_TwoSensorsOneMinute)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExportHour(benchmark::State& state) {
    Recording& r = forceHour();
    for (auto _ : state) {
        bson_t doc;
        bson_init(&doc);
        r.api->exportData(&doc, 1, SensorForce, "bench");
        bson_destroy(&doc);
        state.PauseTiming();
        std::filesystem::remove(r.api->fileSystem->getDirectory(FileSystem::Export) + "bench.csv");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(hourSamples4800));
}
BENCHMARK(BM_ExportHour)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
