// The storage and query work of the other benchmarks done the naive way, in the same run,
// so each of our figures can be read as a ratio that holds on a noisy machine:
// one heap sample object with two heap arrays per sample, owned through a pointer vector,
// and a CSV export through an iostream flushed after every line.
//
// Recordings match the query benchmarks: one hour of a 4800 Hz one-axis sensor (48 samples
// per 10 ms frame) and one hour of two 800 Hz sensors. The resampler is the same
// per-sample arithmetic as ours (window weights, truncation of the raw sums at every step).
#include "device/sensors/SampleCollection.h"

#include <benchmark/benchmark.h>
#include <bson/bson.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct NaiveSample {
    int32_t* raw;
    float* values;
    int32_t sensorType = 0;
    int16_t valueCount = 0, remote = 0, frame = 0, index = 0;
    double time = 0;
    uint32_t frameTotal = 0;

    NaiveSample(int type, int count)
        : raw(new int32_t[count]()), values(new float[count]()), sensorType(type),
          valueCount(static_cast<int16_t>(count)) {}
    NaiveSample(const NaiveSample& o) : NaiveSample(o.sensorType, o.valueCount) {
        std::copy(o.raw, o.raw + valueCount, raw);
        std::copy(o.values, o.values + valueCount, values);
        remote = o.remote, frame = o.frame, index = o.index, time = o.time,
        frameTotal = o.frameTotal;
    }
    NaiveSample& operator=(const NaiveSample&) = delete;
    ~NaiveSample() {
        delete[] raw;
        delete[] values;
    }
};

using NaiveCollection = std::vector<std::unique_ptr<NaiveSample>>;

int32_t trunc32(double v) {
    if (std::isnan(v))
        return 0;
    if (v >= 2147483647.0)
        return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// The same samples as the query benchmarks' recordings.
NaiveCollection naiveRecording(int axes, int count, int perFrame, double rate) {
    NaiveCollection c;
    c.reserve(count);
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<NaiveSample>(7, axes);
        const uint32_t frame = 1 + i / perFrame;
        for (int k = 0; k < axes; ++k) {
            s->raw[k] = 2047 + (i % 400) - 200 + k;
            s->values[k] = float(s->raw[k] - 2047) / -120.0f;
        }
        s->remote = 1;
        s->frame = static_cast<int16_t>(frame & 0xFF);
        s->index = static_cast<int16_t>(i % perFrame);
        s->frameTotal = frame;
        s->time = (i + 1) / rate;
        c.push_back(std::move(s));
    }
    return c;
}

NaiveCollection& forceHour() {
    static NaiveCollection c = naiveRecording(1, 3600 * 4800, 48, 4800);
    return c;
}

size_t firstAtOrAfter(const NaiveCollection& c, double t) {
    const size_t n = c.size();
    const double first = c.front()->time, span = c.back()->time - first;
    size_t i = std::min(n - 1, static_cast<size_t>(n * std::max(0.0, t - first) / span) + 1);
    while (i > 0 && c[i - 1]->time >= t)
        --i;
    while (i + 1 < n && c[i]->time < t)
        ++i;
    return i;
}

// Averaging windows of period P over [s, e], each window a fresh heap sample.
NaiveCollection naiveAverage(const NaiveCollection& c, double s, double e, double P) {
    NaiveCollection out;
    double C = std::max(P, P * std::trunc(s / P));
    size_t pos = firstAtOrAfter(c, C - P);
    const size_t n = c.size();
    auto start = [&](const NaiveSample& S) {
        auto w = std::make_unique<NaiveSample>(S);
        double weight = (S.time - (C - P)) / P;
        if (!(weight > 0))
            weight = 0;
        for (int k = 0; k < S.valueCount; ++k) {
            w->raw[k] = trunc32(weight * S.raw[k]);
            w->values[k] = static_cast<float>(weight * S.values[k]);
        }
        return w;
    };
    auto accumulate = [&](NaiveSample& w, const NaiveSample& S) {
        const double until = S.time < C ? S.time : C;
        const double weight = (until - w.time) / P;
        for (int k = 0; k < w.valueCount; ++k) {
            w.raw[k] = trunc32(w.raw[k] + weight * S.raw[k]);
            w.values[k] = static_cast<float>(w.values[k] + weight * S.values[k]);
        }
        w.time = until;
    };
    const NaiveSample* S = c[pos].get();
    auto window = start(*S);
    for (;;) {
        if (S->time <= C) {
            if (++pos >= n)
                break;
            S = c[pos].get();
            accumulate(*window, *S);
        } else {
            accumulate(*window, *S);
            if (e < C + P)
                break;
            C += P;
            out.push_back(std::move(window));
            window = start(*S);
        }
    }
    out.push_back(std::move(window));
    return out;
}

// What the query hands out: times and values as floats, and the document that describes
// them (the same keys as ours, with the value range).
std::vector<float> naiveFormat(const NaiveCollection& c) {
    std::vector<float> data(2 * c.size());
    float lo = std::numeric_limits<float>::max(), hi = -lo;
    for (size_t i = 0; i < c.size(); ++i) {
        data[i] = static_cast<float>(c[i]->time);
        data[c.size() + i] = c[i]->values[0];
        lo = std::min(lo, c[i]->values[0]);
        hi = std::max(hi, c[i]->values[0]);
    }
    bson_t doc, box, array;
    bson_init(&doc);
    BSON_APPEND_INT32(&doc, "remote", 1);
    BSON_APPEND_INT32(&doc, "sensorType", 7);
    BSON_APPEND_INT32(&doc, "sampleSize", 1);
    BSON_APPEND_INT32(&doc, "sampleRate", 4800);
    BSON_APPEND_INT32(&doc, "datalength", static_cast<int32_t>(c.size()));
    BSON_APPEND_BOOL(&doc, "rawdata", false);
    BSON_APPEND_DOCUMENT_BEGIN(&doc, "boundingBox", &box);
    BSON_APPEND_ARRAY_BEGIN(&box, "max", &array);
    BSON_APPEND_DOUBLE(&array, "0", hi);
    bson_append_array_end(&box, &array);
    BSON_APPEND_ARRAY_BEGIN(&box, "min", &array);
    BSON_APPEND_DOUBLE(&array, "0", lo);
    bson_append_array_end(&box, &array);
    bson_append_document_end(&doc, &box);
    benchmark::DoNotOptimize(bson_get_data(&doc));
    bson_destroy(&doc);
    return data;
}

void BM_NaiveWholeHourAt1Hz(benchmark::State& state) {
    const NaiveCollection& c = forceHour();
    for (auto _ : state) {
        auto out = naiveAverage(c, 0, c.back()->time, 1.0);
        benchmark::DoNotOptimize(naiveFormat(out));
        state.counters["points"] = static_cast<double>(out.size());
    }
}
BENCHMARK(BM_NaiveWholeHourAt1Hz)->Unit(benchmark::kMillisecond);

void BM_NaiveLast10SecondsAt1000Hz(benchmark::State& state) {
    const NaiveCollection& c = forceHour();
    for (auto _ : state) {
        const double end = c.back()->time;
        auto out = naiveAverage(c, end - 10, end, 1.0 / 1000);
        benchmark::DoNotOptimize(naiveFormat(out));
        state.counters["points"] = static_cast<double>(out.size());
    }
}
BENCHMARK(BM_NaiveLast10SecondsAt1000Hz)->Unit(benchmark::kMicrosecond);

void BM_NaiveLastSample(benchmark::State& state) {
    const NaiveCollection& c = forceHour();
    for (auto _ : state) {
        NaiveCollection out;
        out.push_back(std::make_unique<NaiveSample>(*c.back()));
        benchmark::DoNotOptimize(naiveFormat(out));
    }
}
BENCHMARK(BM_NaiveLastSample)->Unit(benchmark::kMicrosecond);

// Frame averages of one minute of each sensor, then the join on equal frame times.
NaiveCollection naiveFrameAverages(const NaiveCollection& c, double start, double end) {
    NaiveCollection out;
    size_t i = firstAtOrAfter(c, start);
    const uint32_t lastFrame = static_cast<uint32_t>(std::trunc(end * 100));
    while (i < c.size() && c[i]->frameTotal <= lastFrame) {
        auto avg = std::make_unique<NaiveSample>(*c[i]);
        const uint32_t ft = avg->frameTotal;
        int64_t sums[8] = {};
        for (int k = 0; k < avg->valueCount; ++k)
            sums[k] = avg->raw[k];
        uint32_t count = 1;
        size_t j = i + 1;
        for (; j < c.size() && c[j]->frameTotal == ft; ++j, ++count)
            for (int k = 0; k < avg->valueCount; ++k) {
                sums[k] += c[j]->raw[k];
                avg->values[k] += c[j]->values[k];
            }
        for (int k = 0; k < avg->valueCount; ++k) {
            avg->raw[k] = static_cast<int32_t>(sums[k] / count);
            avg->values[k] /= static_cast<float>(count);
        }
        avg->time = ft * 0.01;
        out.push_back(std::move(avg));
        i = j;
    }
    return out;
}

void BM_NaiveTwoSensorsOneMinute(benchmark::State& state) {
    static NaiveCollection force = naiveRecording(1, 3600 * 800, 8, 800);
    static NaiveCollection accel = naiveRecording(3, 3600 * 800, 8, 800);
    size_t matched = 0;
    for (auto _ : state) {
        auto a = naiveFrameAverages(accel, 1800, 1860);
        auto f = naiveFrameAverages(force, 1800, 1860);
        std::vector<float> data;
        size_t i = 0, j = 0;
        matched = 0;
        while (i < a.size() && j < f.size()) {
            if (a[i]->time == f[j]->time) {
                data.push_back(static_cast<float>(a[i]->time));
                data.insert(data.end(), a[i]->values, a[i]->values + 3);
                data.push_back(f[j]->values[0]);
                ++matched, ++i, ++j;
            } else if (a[i]->time < f[j]->time) {
                ++i;
            } else {
                ++j;
            }
        }
        benchmark::DoNotOptimize(data.data());
    }
    state.counters["frames"] = static_cast<double>(matched);
}
BENCHMARK(BM_NaiveTwoSensorsOneMinute)->Unit(benchmark::kMillisecond);

// An iostream with the default number format and a flush after every line. A sixth of the
// hour (10 minutes, 2.88 million lines) keeps the run short; the figure is lines per second.
void BM_NaiveExport(benchmark::State& state) {
    const NaiveCollection& c = forceHour();
    const size_t lines = c.size() / 6;
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("korvex-naive-export-" + std::to_string(getpid()) + ".csv"))
                                 .string();
    for (auto _ : state) {
        std::ofstream out(path);
        out << "index, frame, sample, time, raw[0], cal[0]" << std::endl;
        for (size_t i = 0; i < lines; ++i) {
            const NaiveSample& s = *c[i];
            out << i << ',' << s.frame << ',' << s.index << ',' << s.time << ',' << s.raw[0] << ','
                << s.values[0] << std::endl;
        }
    }
    std::filesystem::remove(path);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lines));
}
BENCHMARK(BM_NaiveExport)->Unit(benchmark::kMillisecond)->Iterations(1);

// Appending 10 million decoded one-axis samples: our column store against heap objects.
void BM_StoreTenMillion(benchmark::State& state) {
    Sample s(7, 1);
    for (auto _ : state) {
        SampleCollection c(SampleLayout{7, 1, 4800}, 1);
        {
            auto editor = c.edit();
            for (int i = 0; i < 10'000'000; ++i) {
                s.raw[0] = i & 0xFFF;
                s.values[0] = static_cast<float>(i & 0xFFF);
                editor.append(s.raw.data(), s.values.data(), 1, static_cast<uint8_t>(i / 48),
                              static_cast<uint8_t>(i % 48), static_cast<uint32_t>(i / 48 + 1));
            }
        }
        benchmark::DoNotOptimize(c.size());
    }
    state.SetItemsProcessed(state.iterations() * 10'000'000);
}
BENCHMARK(BM_StoreTenMillion)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_NaiveStoreTenMillion(benchmark::State& state) {
    for (auto _ : state) {
        NaiveCollection c;
        for (int i = 0; i < 10'000'000; ++i) {
            auto s = std::make_unique<NaiveSample>(7, 1);
            s->raw[0] = i & 0xFFF;
            s->values[0] = static_cast<float>(i & 0xFFF);
            s->frame = static_cast<int16_t>((i / 48) & 0xFF);
            s->index = static_cast<int16_t>(i % 48);
            s->frameTotal = static_cast<uint32_t>(i / 48 + 1);
            c.push_back(std::move(s));
        }
        benchmark::DoNotOptimize(c.size());
    }
    state.SetItemsProcessed(state.iterations() * 10'000'000);
}
BENCHMARK(BM_NaiveStoreTenMillion)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

BENCHMARK_MAIN();
