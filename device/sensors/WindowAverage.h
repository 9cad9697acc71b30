// WindowAverage: the averaging resampler's arithmetic on a stored recording's columns, many
// windows at a time, and the small worker pool long queries share.
//
// Every output window is independent of the others once its end time and its first sample
// are known, so windows are computed in SIMD lanes (four at a time where the processor has
// AVX2, chosen at run time) and on several threads. Each window keeps exactly the order of
// operations of Sample::windowStart / windowAccumulate: the start share, then one share per
// sample, each with its own weight (two divisions), the raw sum kept exact in a double and
// the value sum rounded to single precision after every step. Results are the same bit for
// bit whichever way a window is computed.
#pragma once

#include "device/sensors/Sample.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace WindowAverage {

// Where a stored recording's columns are: valid only while the caller holds the
// collection's reader lock (the chunk directory may move when the parser appends).
struct Columns {
    const std::unique_ptr<std::byte[]>* chunks = nullptr;
    unsigned shift = 0;
    size_t mask = 0;
    size_t rawOffset = 0;
    size_t valueOffset = 0;
    int axes = 1;
    double timeRate = 1; // sample i (from 0) is stamped (i + 1) / timeRate
    bool withRaw = true; // false: the raw sums are left at 0 (the caller shows values only)

    const int32_t* raw(size_t i) const {
        return reinterpret_cast<const int32_t*>(chunks[i >> shift].get() + rawOffset) +
               (i & mask) * axes;
    }
    const float* values(size_t i) const {
        return reinterpret_cast<const float*>(chunks[i >> shift].get() + valueOffset) +
               (i & mask) * axes;
    }
    double time(size_t i) const { return static_cast<double>(i + 1) / timeRate; }
};

// One output window (end - period, end]: sample `first` starts it, samples first + 1 to
// `last` add their shares in order, and when `closed` (sample `last` lies past the end)
// that sample's share is added once more, as the resampler's closing step does.
struct Span {
    double end = 0;
    size_t first = 0;
    size_t last = 0;
    bool closed = false;
};

// A finished window: raw sums exact (truncated by the caller), value sums in single
// precision, and the time reached.
struct Sums {
    double raw[Sample::maxValues];
    float values[Sample::maxValues];
    double time;
};

// Windows computed side by side in lanes; callers cutting work into pieces keep to
// multiples of it.
constexpr size_t laneGroup = 8;

// Averages spans[0 .. count) into out[0 .. count); laneGroup windows per step in AVX2 lanes
// when the processor has them.
void average(const Columns& columns, const Span* spans, size_t count, double period, Sums* out);

// One window, one sample at a time: the reference the lanes are held to.
void averageOne(const Columns& columns, const Span& span, double period, Sums& out);

// Runs fn(k) for every k in [0, count), on the calling thread and the shared query workers
// (one fewer than the cores, at most 7), each taking the next k as it finishes one. Returns
// when every call has returned. A caller that finds the workers busy with another query
// runs its calls alone. fn must not throw.
void parallelFor(size_t count, const std::function<void(size_t)>& fn);

} // namespace WindowAverage
