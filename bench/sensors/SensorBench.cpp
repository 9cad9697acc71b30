// Memory per stored sample and decode throughput of the sensors' sample storage.
//
// Memory is the heap growth (mallinfo2: in-use arena bytes plus mmapped blocks) while
// 10 million samples are decoded from real data frames, next to the same count kept the
// naive way: one heap object per sample with two heap arrays for its values, owned through
// a pointer vector.
#include "device/sensors/SensorClasses.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <memory>
#include <vector>

namespace {

constexpr size_t tenMillion = 10'000'000;

size_t heapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// 256 frames (every counter value) with one block of `samples` samples of `sampleBytes`.
std::vector<std::vector<uint8_t>> frames(int type, int samples, int sampleBytes) {
    std::vector<std::vector<uint8_t>> out;
    for (int counter = 0; counter < 256; ++counter) {
        std::vector<uint8_t> f = {0x02,
                                  0x41,
                                  0,
                                  1,
                                  static_cast<uint8_t>(counter),
                                  0,
                                  1,
                                  static_cast<uint8_t>(type),
                                  static_cast<uint8_t>(samples * sampleBytes)};
        for (int i = 0; i < samples * sampleBytes; ++i)
            f.push_back(static_cast<uint8_t>((counter * 31 + i * 7) & 0x7F));
        f.push_back(0x0A);
        f[2] = static_cast<uint8_t>(f.size() - 4);
        out.push_back(std::move(f));
    }
    return out;
}

// Counters 10..255, 0..255, ...: every frame is accepted.
template <class S>
void feed(S& sensor, const std::vector<std::vector<uint8_t>>& fs, size_t packets) {
    for (size_t p = 0; p < packets; ++p)
        sensor.parse(fs[(10 + p) & 0xFF], 7);
}

template <class S>
void storedBytesPerSample(benchmark::State& state, int type, int samplesPerBlock, int sampleBytes) {
    const auto fs = frames(type, samplesPerBlock, sampleBytes);
    const size_t packets = tenMillion / samplesPerBlock;
    for (auto _ : state) {
        const size_t before = heapInUse();
        auto sensor = std::make_unique<S>(1, 4800);
        feed(*sensor, fs, packets);
        const size_t grown = heapInUse() - before;
        const size_t n = sensor->samples.size();
        state.counters["samples"] = static_cast<double>(n);
        state.counters["bytes_per_sample"] = static_cast<double>(grown) / n;
        benchmark::DoNotOptimize(sensor);
    }
}

// The naive layout: a heap object per sample with its raw and converted values in two
// more heap arrays, owned through a pointer vector.
struct NaiveSample {
    int32_t* raw;
    float* values;
    int32_t sensorType;
    int16_t valueCount, remote, frame, index;
    double time;
    uint32_t frameTotal;
    explicit NaiveSample(int n)
        : raw(new int32_t[n]()), values(new float[n]()), sensorType(1),
          valueCount(static_cast<int16_t>(n)), remote(1), frame(0), index(0), time(0),
          frameTotal(0) {}
    ~NaiveSample() {
        delete[] raw;
        delete[] values;
    }
};

void naiveBytesPerSample(benchmark::State& state, int axes) {
    for (auto _ : state) {
        const size_t before = heapInUse();
        auto samples = std::make_unique<std::vector<std::unique_ptr<NaiveSample>>>();
        for (size_t i = 0; i < tenMillion; ++i) {
            auto s = std::make_unique<NaiveSample>(axes);
            s->raw[0] = static_cast<int32_t>(i);
            s->time = i / 4800.0;
            samples->push_back(std::move(s));
        }
        const size_t grown = heapInUse() - before;
        state.counters["samples"] = static_cast<double>(samples->size());
        state.counters["bytes_per_sample"] = static_cast<double>(grown) / samples->size();
        benchmark::DoNotOptimize(samples);
    }
}

void BM_StoredBytesPerSample_OneAxis(benchmark::State& state) {
    storedBytesPerSample<Light>(state, 7, 48, 2); // 4800 Hz blocks
}
void BM_StoredBytesPerSample_ThreeAxis(benchmark::State& state) {
    struct Acc : Accelerometer {
        Acc(int32_t remote, double rate) : Accelerometer(remote, rate, nullptr) {}
    };
    storedBytesPerSample<Acc>(state, 1, 40, 6);
}
void BM_NaiveBytesPerSample_OneAxis(benchmark::State& state) { naiveBytesPerSample(state, 1); }
void BM_NaiveBytesPerSample_ThreeAxis(benchmark::State& state) { naiveBytesPerSample(state, 3); }

// Decode and store: one 4800 Hz block (48 one-axis samples) per iteration. The sensor is
// replaced every 100,000 blocks so that the recording stays a realistic size.
template <class S>
void decodeThroughput(benchmark::State& state, int type, int samplesPerBlock, int sampleBytes) {
    const auto fs = frames(type, samplesPerBlock, sampleBytes);
    auto sensor = std::make_unique<S>(1, 4800);
    size_t p = 0;
    for (auto _ : state) {
        sensor->parse(fs[(10 + p) & 0xFF], 7);
        if (++p % 100000 == 0) {
            state.PauseTiming();
            sensor = std::make_unique<S>(1, 4800);
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * samplesPerBlock);
}

void BM_DecodeOneAxis4800Hz(benchmark::State& state) { decodeThroughput<Light>(state, 7, 48, 2); }
void BM_DecodeThreeAxis(benchmark::State& state) {
    struct Acc : Accelerometer {
        Acc(int32_t remote, double rate) : Accelerometer(remote, rate, nullptr) {}
    };
    decodeThroughput<Acc>(state, 1, 40, 6);
}

} // namespace

BENCHMARK(BM_StoredBytesPerSample_OneAxis)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoredBytesPerSample_ThreeAxis)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NaiveBytesPerSample_OneAxis)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NaiveBytesPerSample_ThreeAxis)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeOneAxis4800Hz);
BENCHMARK(BM_DecodeThreeAxis);

BENCHMARK_MAIN();
