#include "device/sensors/WindowAverage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVEX_WINDOW_LANES 1
#include <immintrin.h>
#endif

// This file is compiled with -ffp-contract=off (see CMakeLists.txt): a multiply and an add
// must never be fused, or the lanes would round differently from the reference.

namespace WindowAverage {

namespace {

// start() and finish() are inlined into the lane code so that they are compiled with its
// instruction set there: a call out of AVX code into legacy SSE code stalls on some
// processors.
#define KORVEX_INLINE inline __attribute__((always_inline))

// Adds the shares of samples `from` to span.last (and the closing share) to a window whose
// time has reached `reached`; the step of Sample::windowAccumulate.
KORVEX_INLINE void finish(const Columns& c, const Span& span, double P, size_t from, double reached,
                          Sums& out) {
    const int axes = c.axes;
    const double C = span.end;
    auto step = [&](size_t i) {
        const double t = c.time(i);
        const double until = t < C ? t : C;
        const double w = (until - reached) / P;
        const int32_t* r = c.raw(i);
        const float* v = c.values(i);
        for (int k = 0; k < axes; ++k) {
            if (c.withRaw)
                out.raw[k] += w * r[k];
            out.values[k] = static_cast<float>(out.values[k] + w * v[k]);
        }
        reached = until;
    };
    for (size_t i = from; i <= span.last; ++i)
        step(i);
    if (span.closed)
        step(span.last);
    out.time = reached;
}

// The first share of a window (Sample::windowStart); returns the time reached.
KORVEX_INLINE double start(const Columns& c, const Span& span, double P, Sums& out) {
    const double t = c.time(span.first);
    double w = (t - (span.end - P)) / P;
    if (!(w > 0))
        w = 0;
    const int32_t* r = c.raw(span.first);
    const float* v = c.values(span.first);
    for (int k = 0; k < c.axes; ++k) {
        out.raw[k] = c.withRaw ? w * r[k] : 0.0;
        out.values[k] = static_cast<float>(w * v[k]);
    }
    return t;
}

#ifdef KORVEX_WINDOW_LANES

// 4 * Groups windows in the four lanes of Groups vectors: lane L of vector g holds window
// spans[4 * g + L]. Every lane steps through its own samples with the scalar operations in
// the scalar order (a lane's division, minimum, multiply, add and conversions are the IEEE
// operations of the loop in finish()); the steps all the windows have in common run in the
// lanes, the one or two a window has beyond them run in finish(). The value sum's rounding
// to single precision after every step is a chain of dependent operations; several vectors
// side by side keep the processor busy while each waits.
template <int FixedAxes, int Groups, bool Raw>
__attribute__((target("avx2"))) void averageLanes(const Columns& c, const Span* spans, double P,
                                                  Sums* out) {
    constexpr int W = 4 * Groups;
    const int axes = FixedAxes > 0 ? FixedAxes : c.axes;
    alignas(32) double reached[W], ends[W], next[W], lane[W];
    size_t cursor[W];
    size_t common = SIZE_MAX;
    for (int L = 0; L < W; ++L) {
        reached[L] = start(c, spans[L], P, out[L]);
        ends[L] = spans[L].end;
        cursor[L] = spans[L].first + 1;
        next[L] = static_cast<double>(spans[L].first + 1); // (i + 1) of the sample before
        common = std::min(common, spans[L].last - spans[L].first);
    }
    __m256d rawSum[Sample::maxValues][Groups], valueSum[Sample::maxValues][Groups];
    for (int k = 0; k < axes; ++k) {
        for (int L = 0; L < W; ++L)
            lane[L] = out[L].raw[k];
        for (int g = 0; g < Groups; ++g)
            rawSum[k][g] = _mm256_load_pd(lane + 4 * g);
        for (int L = 0; L < W; ++L)
            lane[L] = out[L].values[k];
        for (int g = 0; g < Groups; ++g)
            valueSum[k][g] = _mm256_load_pd(lane + 4 * g);
    }
    __m256d at[Groups], x[Groups], C[Groups];
    for (int g = 0; g < Groups; ++g) {
        at[g] = _mm256_load_pd(reached + 4 * g);
        x[g] = _mm256_load_pd(next + 4 * g);
        C[g] = _mm256_load_pd(ends + 4 * g);
    }
    const __m256d period = _mm256_set1_pd(P);
    const __m256d rate = _mm256_set1_pd(c.timeRate);
    const __m256d one = _mm256_set1_pd(1.0);

    for (size_t done = 0; done < common;) {
        // As many steps as no lane leaves its chunk of the store.
        size_t run = common - done;
        const int32_t* r[W];
        const float* v[W];
        for (int L = 0; L < W; ++L) {
            run = std::min(run, c.mask + 1 - (cursor[L] & c.mask));
            r[L] = c.raw(cursor[L]);
            v[L] = c.values(cursor[L]);
        }
        for (size_t s = 0; s < run; ++s) {
            for (int g = 0; g < Groups; ++g) {
                const int32_t* const* rg = r + 4 * g;
                const float* const* vg = v + 4 * g;
                x[g] = _mm256_add_pd(x[g], one); // exact: integers far below 2^53
                const __m256d t = _mm256_div_pd(x[g], rate);
                const __m256d until = _mm256_min_pd(t, C[g]); // t < C ? t : C
                const __m256d w = _mm256_div_pd(_mm256_sub_pd(until, at[g]), period);
                at[g] = until;
                for (int k = 0; k < axes; ++k) {
                    if constexpr (Raw) {
                        const __m256d rk = _mm256_cvtepi32_pd(
                            _mm_setr_epi32(rg[0][k], rg[1][k], rg[2][k], rg[3][k]));
                        rawSum[k][g] = _mm256_add_pd(rawSum[k][g], _mm256_mul_pd(w, rk));
                    }
                    const __m256d vk =
                        _mm256_cvtps_pd(_mm_setr_ps(vg[0][k], vg[1][k], vg[2][k], vg[3][k]));
                    valueSum[k][g] = _mm256_cvtps_pd(
                        _mm256_cvtpd_ps(_mm256_add_pd(valueSum[k][g], _mm256_mul_pd(w, vk))));
                }
            }
            for (int L = 0; L < W; ++L) {
                if constexpr (Raw)
                    r[L] += axes;
                v[L] += axes;
            }
        }
        for (int L = 0; L < W; ++L)
            cursor[L] += run;
        done += run;
    }

    for (int g = 0; g < Groups; ++g)
        _mm256_store_pd(reached + 4 * g, at[g]);
    for (int k = 0; k < axes; ++k) {
        for (int g = 0; g < Groups; ++g)
            _mm256_store_pd(lane + 4 * g, rawSum[k][g]);
        for (int L = 0; L < W; ++L)
            out[L].raw[k] = lane[L];
        for (int g = 0; g < Groups; ++g)
            _mm256_store_pd(lane + 4 * g, valueSum[k][g]);
        for (int L = 0; L < W; ++L)
            out[L].values[k] = static_cast<float>(lane[L]); // exact: already single values
    }
    for (int L = 0; L < W; ++L)
        finish(c, spans[L], P, cursor[L], reached[L], out[L]);
}

using LaneFunction = void (*)(const Columns&, const Span*, double, Sums*);

// The lane code for a number of axes (1 and 3 with the loop over them unrolled).
template <int Groups>
LaneFunction lanes(int axes, bool raw) {
    if (axes == 1)
        return raw ? averageLanes<1, Groups, true> : averageLanes<1, Groups, false>;
    if (axes == 3)
        return raw ? averageLanes<3, Groups, true> : averageLanes<3, Groups, false>;
    return raw ? averageLanes<0, Groups, true> : averageLanes<0, Groups, false>;
}

bool haveLanes() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
}

#endif

} // namespace

void averageOne(const Columns& columns, const Span& span, double period, Sums& out) {
    const double reached = start(columns, span, period, out);
    finish(columns, span, period, span.first + 1, reached, out);
}

void average(const Columns& columns, const Span* spans, size_t count, double period, Sums* out) {
    size_t j = 0;
#ifdef KORVEX_WINDOW_LANES
    if (haveLanes()) {
        const bool raw = columns.withRaw;
        for (; j + laneGroup <= count; j += laneGroup)
            lanes<laneGroup / 4>(columns.axes, raw)(columns, spans + j, period, out + j);
        for (; j + 4 <= count; j += 4)
            lanes<1>(columns.axes, raw)(columns, spans + j, period, out + j);
    }
#endif
    for (; j < count; ++j)
        averageOne(columns, spans[j], period, out[j]);
}

// ---- workers ------------------------------------------------------------------------------

namespace {

// The shared workers: one job at a time. A worker joins a job only while it is open, so the
// caller never waits for a worker that has not woken up yet: once it has taken every k itself
// it closes the job and waits only for the workers that joined.
//
// A long query is a run of jobs a lock hold apart (the holds let the parser in), so a worker
// that finishes one spins for a moment before it sleeps, and so does the caller waiting for
// the workers at the end of a job: waking a sleeping thread costs tens of microseconds, about
// as much as a block of work.
class Workers {
public:
    static Workers& shared() {
        static Workers workers;
        return workers;
    }

    void run(size_t count, const std::function<void(size_t)>& fn) {
        std::unique_lock<std::mutex> owner(busy, std::try_to_lock);
        if (!owner.owns_lock() || threads.empty() || count < 2) {
            for (size_t k = 0; k < count; ++k)
                fn(k);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            job = &fn;
            jobCount = count;
            nextItem.store(0, std::memory_order_relaxed);
            open = true;
            generation.fetch_add(1, std::memory_order_release);
        }
        wake.notify_all();
        drain(fn, count);
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = false;
        }
        spinWhile([&] { return joined.load(std::memory_order_acquire) != 0; });
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [&] { return joined.load(std::memory_order_relaxed) == 0; });
        job = nullptr;
    }

private:
    Workers() {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        const unsigned n = std::min(cores, 8u) - 1;
        for (unsigned i = 0; i < n; ++i)
            threads.emplace_back([this](std::stop_token stop) { loop(stop); });
    }
    ~Workers() {
        for (auto& t : threads)
            t.request_stop();
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        threads.clear(); // joins
    }

    // Spins while busy() holds, for at most about 200 microseconds.
    template <typename Busy>
    static void spinWhile(Busy busy) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
        for (unsigned spins = 1; busy(); ++spins) {
#if defined(__x86_64__)
            __builtin_ia32_pause();
#endif
            if (spins % 64 == 0 && std::chrono::steady_clock::now() > until)
                return;
        }
    }

    void drain(const std::function<void(size_t)>& fn, size_t count) {
        for (size_t k; (k = nextItem.fetch_add(1, std::memory_order_relaxed)) < count;)
            fn(k);
    }

    void loop(std::stop_token stop) {
        uint64_t seen = 0;
        for (;;) {
            spinWhile([&] {
                return generation.load(std::memory_order_acquire) == seen && !stop.stop_requested();
            });
            const std::function<void(size_t)>* fn;
            size_t count;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [&] {
                    return stopping || stop.stop_requested() ||
                           generation.load(std::memory_order_relaxed) != seen;
                });
                if (stopping || stop.stop_requested())
                    return;
                seen = generation.load(std::memory_order_relaxed);
                if (!open)
                    continue;
                joined.fetch_add(1, std::memory_order_relaxed);
                fn = job;
                count = jobCount;
            }
            drain(*fn, count);
            std::lock_guard<std::mutex> lock(mutex);
            if (joined.fetch_sub(1, std::memory_order_release) == 1)
                finished.notify_one();
        }
    }

    std::mutex busy; // held by the query using the workers
    std::mutex mutex;
    std::condition_variable wake, finished;
    const std::function<void(size_t)>* job = nullptr;
    size_t jobCount = 0;
    std::atomic<size_t> nextItem{0};
    bool open = false;
    bool stopping = false;
    std::atomic<unsigned> joined{0};
    std::atomic<uint64_t> generation{0};
    std::vector<std::jthread> threads;
};

} // namespace

void parallelFor(size_t count, const std::function<void(size_t)>& fn) {
    Workers::shared().run(count, fn);
}

} // namespace WindowAverage
