#include "device/sensors/SampleCollection.h"

#include "device/sensors/WindowAverage.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <stdexcept>

namespace {

// A resampled window never produces more than this many samples: a request for a huge
// rate would otherwise try to build billions of records.
constexpr double maxResampledOutput = 4194304.0;

} // namespace

// Column-wise chunks: each chunk holds `capacity` samples as separate arrays (raw values,
// converted values, frame totals, frame counters, block indices, remote numbers), so a
// sample costs exactly the bytes of its fields. Chunks are allocated once and never moved;
// only the small directory of chunk pointers grows.
struct SampleCollection::Store {
    SampleLayout layout;
    int axes;
    unsigned shift;
    size_t mask;
    size_t rawOffset = 0, valueOffset = 0, frameTotalOffset = 0, frameOffset = 0, indexOffset = 0,
           remoteOffset = 0, chunkBytes = 0;
    std::vector<std::unique_ptr<std::byte[]>> chunks;
    size_t count = 0;
    double timeRate;

    explicit Store(const SampleLayout& l) : layout(l), axes(l.valueCount), timeRate(l.rate) {
        const size_t rowBytes = 8 * static_cast<size_t>(axes) + 7;
        // About 64 KiB per chunk, a power of two of samples, at least 256.
        size_t capacity = 256;
        while (capacity * 2 * rowBytes <= 65536)
            capacity *= 2;
        shift = 0;
        while ((size_t{1} << shift) < capacity)
            ++shift;
        mask = capacity - 1;
        rawOffset = 0;
        valueOffset = rawOffset + capacity * axes * sizeof(int32_t);
        frameTotalOffset = valueOffset + capacity * axes * sizeof(float);
        frameOffset = frameTotalOffset + capacity * sizeof(uint32_t);
        indexOffset = frameOffset + capacity;
        remoteOffset = indexOffset + capacity;
        chunkBytes = remoteOffset + capacity;
    }

    std::byte* chunk(size_t i) const { return chunks[i >> shift].get(); }
    size_t slot(size_t i) const { return i & mask; }
    int32_t* raw(size_t i) const {
        return reinterpret_cast<int32_t*>(chunk(i) + rawOffset) + slot(i) * axes;
    }
    float* values(size_t i) const {
        return reinterpret_cast<float*>(chunk(i) + valueOffset) + slot(i) * axes;
    }
    uint32_t& frameTotal(size_t i) const {
        return reinterpret_cast<uint32_t*>(chunk(i) + frameTotalOffset)[slot(i)];
    }
    uint8_t& frame(size_t i) const {
        return reinterpret_cast<uint8_t*>(chunk(i) + frameOffset)[slot(i)];
    }
    uint8_t& index(size_t i) const {
        return reinterpret_cast<uint8_t*>(chunk(i) + indexOffset)[slot(i)];
    }
    uint8_t& remote(size_t i) const {
        return reinterpret_cast<uint8_t*>(chunk(i) + remoteOffset)[slot(i)];
    }
    double time(size_t i) const { return static_cast<double>(i + 1) / timeRate; }

    void append(const int32_t* r, const float* v, uint8_t rem, uint8_t fr, uint8_t idx,
                uint32_t ft) {
        if ((count >> shift) >= chunks.size())
            chunks.emplace_back(new std::byte[chunkBytes]);
        std::memcpy(raw(count), r, axes * sizeof(int32_t));
        std::memcpy(values(count), v, axes * sizeof(float));
        frameTotal(count) = ft;
        frame(count) = fr;
        index(count) = idx;
        remote(count) = rem;
        ++count;
    }

    Sample sample(size_t i) const {
        Sample s;
        s.sensorType = layout.sensorType;
        s.valueCount = static_cast<int16_t>(axes);
        std::memcpy(s.raw.data(), raw(i), axes * sizeof(int32_t));
        std::memcpy(s.values.data(), values(i), axes * sizeof(float));
        s.remote = remote(i);
        s.frame = frame(i);
        s.index = index(i);
        s.time = time(i);
        s.frameTotal = frameTotal(i);
        return s;
    }
};

// Read access to either form, for the extraction algorithms (the caller holds the lock).
// The size is the one at construction: a long read taken in pieces keeps to the samples that
// were there when it began, while the parser appends more.
class SampleCollection::View {
public:
    explicit View(const SampleCollection& c)
        : records(c.records), store(c.stored.get()), count(store ? store->count : records.size()) {}
    size_t size() const { return count; }
    double time(size_t i) const { return store ? store->time(i) : records[i].time; }
    uint32_t frameTotal(size_t i) const {
        return store ? store->frameTotal(i) : records[i].frameTotal;
    }
    Sample sample(size_t i) const { return store ? store->sample(i) : records[i]; }

    // Where the index of time T should be if samples were evenly spread; only shortens the
    // scans below.
    size_t guess(double T) const {
        const size_t n = size();
        const double first = time(0), last = time(n - 1);
        const double span = std::max(0.0, last - first);
        const double g = span > 0 ? n * std::max(0.0, T - first) / span : 0.0;
        if (!(g >= 0) || g >= static_cast<double>(n - 1))
            return n - 1;
        return std::min(static_cast<size_t>(g) + 1, n - 1);
    }
    // First sample whose time is at least T; the last one when none is.
    size_t firstAtOrAfter(double T, size_t from) const {
        const size_t n = size();
        size_t i = from;
        while (i > 0 && time(i - 1) >= T)
            --i;
        while (i + 1 < n && time(i) < T)
            ++i;
        return i;
    }
    size_t firstAtOrAfter(double T) const { return firstAtOrAfter(T, guess(T)); }
    // The samples of the window [start, end], which normaliseWindow settles in place: from
    // the first at or after the start to the first at or after the end. False when there is
    // nothing to read.
    bool timeWindow(double& start, double& end, const char* operation, size_t& from,
                    size_t& to) const;
    // First sample whose frame total is at least F; the last one when none is.
    size_t firstFrameAtOrAfter(double F, size_t from) const {
        const size_t n = size();
        size_t i = from;
        while (i > 0 && frameTotal(i - 1) >= F)
            --i;
        while (i + 1 < n && frameTotal(i) < F)
            ++i;
        return i;
    }
    // The average of the run of equal frame totals starting at i; `next` is after the run.
    Sample frameAverage(size_t i, size_t& next) const {
        const size_t n = size();
        Sample avg = sample(i);
        const uint32_t ft = avg.frameTotal;
        // Raw sums in 64 bits: a run of large raw values (a wheel position) must not wrap.
        int64_t sums[Sample::maxValues];
        for (int k = 0; k < avg.valueCount; ++k)
            sums[k] = avg.raw[k];
        uint32_t count = 1;
        size_t j = i + 1;
        if (store) {
            // Straight from the columns, in the same order: no record per stored sample.
            for (; j < n && store->frameTotal(j) == ft; ++j, ++count) {
                const int32_t* r = store->raw(j);
                const float* v = store->values(j);
                for (int k = 0; k < avg.valueCount; ++k) {
                    sums[k] += r[k];
                    avg.values[k] += v[k];
                }
            }
        }
        for (; j < n && frameTotal(j) == ft; ++j, ++count) {
            const Sample s = sample(j);
            for (int k = 0; k < avg.valueCount; ++k) {
                sums[k] += s.raw[k];
                avg.values[k] += s.values[k];
            }
        }
        for (int k = 0; k < avg.valueCount; ++k) {
            avg.raw[k] = static_cast<int32_t>(sums[k] / static_cast<int64_t>(count));
            avg.values[k] = avg.values[k] / static_cast<float>(count);
        }
        avg.time = ft * 0.01;
        next = j;
        return avg;
    }

private:
    const std::vector<Sample>& records;
    const Store* store;
    size_t count;
};

namespace {

// Negative end: the last sample; negative start: that many seconds back from the end.
// False (with the operation's message) when the window is empty.
bool normaliseWindow(size_t n, double last, double& start, double& end, const char* operation) {
    if (end < 0) {
        if (n == 0)
            return false;
        end = last;
    }
    if (start < 0) {
        start = end + start;
        if (start < 0)
            start = 0;
    }
    if (!(end > start)) {
        std::cerr << "ERROR " << operation << ":: startTime >= endTime" << start << " " << end
                  << "\n";
        return false;
    }
    return true;
}

// The opening of the copies into another collection: false (with the copy's message) when
// `out` is this collection or already holds samples.
bool fillable(const SampleCollection& self, const SampleCollection& out, const char* message) {
    if (&out == &self)
        return false;
    if (!out.empty()) {
        std::cerr << message;
        return false;
    }
    return true;
}

} // namespace

bool SampleCollection::View::timeWindow(double& start, double& end, const char* operation,
                                        size_t& from, size_t& to) const {
    const size_t n = size();
    const double last = n ? time(n - 1) : 0.0;
    if (!normaliseWindow(n, last, start, end, operation) || n == 0)
        return false;
    from = firstAtOrAfter(std::max(start, time(0)));
    to = firstAtOrAfter(std::min(end, last));
    return true;
}

SampleCollection::SampleCollection(int32_t rate) : rate(rate) {}

void SampleCollection::reserveRecords(double count) {
    if (stored || !(count > 0))
        return;
    records.reserve(static_cast<size_t>(std::min(count, maxResampledOutput + 2)));
}

SampleCollection::SampleCollection(const SampleLayout& layout, int boxWidth) : rate(-1) {
    if (layout.valueCount < 1 || layout.valueCount > Sample::maxValues)
        throw std::length_error("SampleCollection: value count out of range");
    stored = std::make_unique<Store>(layout);
    if (boxWidth > 0)
        boundingBox = std::make_unique<BoundingBoxData>(boxWidth);
}

SampleCollection::~SampleCollection() = default;

std::shared_lock<std::shared_mutex> SampleCollection::readLock() const {
    if (stored)
        return std::shared_lock<std::shared_mutex>(mutex);
    return std::shared_lock<std::shared_mutex>(); // records are private to one query
}

void SampleCollection::append(const Sample* s) {
    if (!s)
        throw std::invalid_argument("SampleCollection::append - null sample");
    append(*s);
}

void SampleCollection::append(const Sample& s) {
    if (!stored) {
        records.push_back(s);
        return;
    }
    if (s.valueCount != stored->axes)
        throw std::length_error("SampleCollection::append - value count does not match");
    Editor e = edit();
    e.append(s.raw.data(), s.values.data(), static_cast<uint8_t>(s.remote),
             static_cast<uint8_t>(s.frame), static_cast<uint8_t>(s.index), s.frameTotal);
}

size_t SampleCollection::size() const {
    auto lock = readLock();
    return View(*this).size();
}

Sample SampleCollection::at(size_t i) const {
    auto lock = readLock();
    View v(*this);
    if (i >= v.size())
        throw std::out_of_range("SampleCollection::at");
    return v.sample(i);
}

void SampleCollection::forEach(const std::function<void(const Sample&)>& fn) const {
    auto lock = readLock();
    View v(*this);
    for (size_t i = 0, n = v.size(); i < n; ++i)
        fn(v.sample(i));
}

BoundingBoxData* SampleCollection::box() { return boundingBox.get(); }
const BoundingBoxData* SampleCollection::box() const { return boundingBox.get(); }

BoundingBoxData& SampleCollection::ensureBox(int width) {
    if (!boundingBox)
        boundingBox = std::make_unique<BoundingBoxData>(width);
    return *boundingBox;
}

std::optional<BoundingBoxData> SampleCollection::boxSnapshot() const {
    auto lock = readLock();
    if (!boundingBox)
        return std::nullopt;
    return *boundingBox;
}

void SampleCollection::copyLastInto(SampleCollection& out) const {
    if (!fillable(*this, out, "ERROR getLastSample::resampling: input vector already fed!"))
        return;
    Sample last;
    {
        auto lock = readLock();
        View v(*this);
        if (v.size() == 0)
            return;
        last = v.sample(v.size() - 1);
    }
    out.append(last);
}

// ---- long reads in pieces ------------------------------------------------------------------

namespace {

std::atomic<size_t> samplesPerHold{SampleCollection::QueryTuning{}.samplesPerHold};
std::atomic<size_t> threadsFrom{SampleCollection::QueryTuning{}.threadsFrom};

// Attempts that let go of the lock between holds; the last one reads in one hold.
constexpr int piecedAttempts = 3;

} // namespace

SampleCollection::QueryTuning SampleCollection::queryTuning() {
    return {samplesPerHold.load(std::memory_order_relaxed),
            threadsFrom.load(std::memory_order_relaxed)};
}

void SampleCollection::setQueryTuning(const QueryTuning& tuning) {
    samplesPerHold.store(std::max<size_t>(tuning.samplesPerHold, 1), std::memory_order_relaxed);
    threadsFrom.store(tuning.threadsFrom, std::memory_order_relaxed);
}

// The lock for a long read, and when the read is in pieces, the holds: work is counted in
// averaged samples' worth, and every samplesPerHold of it the lock is let go (the writer
// waiting on the shared mutex takes it as soon as the last reader leaves) and taken again.
// A recalibration meanwhile means the rows read so far are not those of the rows to come.
class SampleCollection::PiecedRead {
public:
    PiecedRead(const SampleCollection& collection, bool pieces)
        : pieces(pieces), collection(collection), lock(collection.readLock()),
          rewrites(collection.rewriteCount),
          budget(samplesPerHold.load(std::memory_order_relaxed)) {}

    // Counts `cost`; false when a hold ended and the rows were rewritten meanwhile.
    bool spend(size_t cost) {
        if (!pieces || (spent += cost) < budget)
            return true;
        spent = 0;
        release();
        return retake();
    }
    void release() {
        if (pieces)
            lock.unlock();
    }
    bool retake() {
        if (!pieces)
            return true;
        lock.lock();
        return collection.rewriteCount == rewrites;
    }

    const bool pieces;

private:
    const SampleCollection& collection;
    ReadLock lock;
    const uint64_t rewrites;
    const size_t budget;
    size_t spent = 0;
};

template <typename Attempt>
void SampleCollection::retrying(SampleCollection& out, Attempt attempt) const {
    // Only a sensor's own collection is written while it is read, and only a record-form
    // result can be emptied for a new try.
    const bool pieces = stored && !out.stored;
    for (int tries = 0;; ++tries) {
        if (attempt(pieces && tries < piecedAttempts))
            return;
        out.records.clear();
    }
}

// ---- frame averages ------------------------------------------------------------------------

void SampleCollection::averageFramesInto(SampleCollection& out) const {
    if (!fillable(*this, out, "ERROR SampleCollection:: input vector already fed!\n"))
        return;
    retrying(out, [&](bool pieces) { return framesAttempt(out, true, 0, 0, pieces); });
}

void SampleCollection::averageFramesInRangeInto(SampleCollection& out, double startTime,
                                                double endTime) const {
    if (!fillable(*this, out, "ERROR getTimeFrameSamples:: input vector already fed!\n"))
        return;
    retrying(out,
             [&](bool pieces) { return framesAttempt(out, false, startTime, endTime, pieces); });
}

bool SampleCollection::framesAttempt(SampleCollection& out, bool whole, double startTime,
                                     double endTime, bool pieces) const {
    PiecedRead read(*this, pieces);
    View v(*this);
    const size_t n = v.size();
    size_t pos = 0, endPos = n == 0 ? 0 : n - 1;
    if (!whole) {
        const double last = n ? v.time(n - 1) : 0.0;
        if (!normaliseWindow(n, last, startTime, endTime, "getSampleCollectionByFrame") || n == 0)
            return true;
        const double startFrame =
            std::max(std::trunc(startTime * 100), static_cast<double>(v.frameTotal(0)));
        const double endFrame =
            std::min(static_cast<double>(v.frameTotal(n - 1)), std::trunc(endTime * 100));
        pos = v.firstFrameAtOrAfter(startFrame, v.guess(startTime));
        endPos = v.firstFrameAtOrAfter(endFrame, v.guess(endTime));
    }
    // The result is grown before the first hold: growing it by doubling would copy it all
    // under the lock.
    if (!out.stored && pos <= endPos && endPos < n)
        out.records.reserve(out.records.size() + static_cast<size_t>(v.frameTotal(endPos)) -
                            static_cast<size_t>(std::min(v.frameTotal(pos), v.frameTotal(endPos))) +
                            1);
    while (pos <= endPos && pos < n) {
        const size_t from = pos;
        out.append(v.frameAverage(pos, pos));
        // A frame's samples cost about four averaged samples each.
        if (!read.spend(4 * (pos - from)))
            return false;
    }
    return true;
}

// ---- resampling ----------------------------------------------------------------------------

namespace {

// The averaging windows from sample `pos` on, window end C, over n samples stamped
// (i + 1) / rate: the control flow of the one-sample-at-a-time resampler (Sample::windowStart
// and windowAccumulate, in rangeInto's record path) without its arithmetic. A window takes
// the samples up to the first one past its end, which closes it and starts the next; the
// requested end e, or the last sample, ends the last window. Needs only the times.
std::vector<WindowAverage::Span> planWindows(size_t n, double rate, size_t pos, double C, double P,
                                             double e) {
    auto time = [rate](size_t i) { return static_cast<double>(i + 1) / rate; };
    std::vector<WindowAverage::Span> spans;
    spans.reserve(static_cast<size_t>(std::clamp((e - C) / P + 2, 1.0, maxResampledOutput)));
    for (;;) {
        WindowAverage::Span span;
        span.end = C;
        span.first = pos;
        // The first sample at or after pos whose time is past C; times only grow with the
        // index, so the estimate from the rate only shortens the scans.
        const double estimate = C * rate - 1;
        size_t q = pos;
        if (estimate > static_cast<double>(pos))
            q = estimate < static_cast<double>(n) ? static_cast<size_t>(estimate) : n;
        while (q > pos && time(q - 1) > C)
            --q;
        while (q < n && time(q) <= C)
            ++q;
        if (q >= n) {
            span.last = n - 1;
            spans.push_back(span);
            break;
        }
        span.last = q;
        span.closed = true;
        spans.push_back(span);
        if (e < C + P)
            break;
        C = C + P;
        pos = q;
    }
    return spans;
}

size_t spanSamples(const WindowAverage::Span* spans, size_t count) {
    return count ? spans[count - 1].last - spans[0].first + 1 : 0;
}

} // namespace

bool SampleCollection::averageStored(SampleCollection& out, PiecedRead& read, size_t n, size_t pos,
                                     double C, double P, double e, bool withRaw) const {
    const Store& st = *stored;
    const double rate = st.timeRate;
    read.release();
    const std::vector<WindowAverage::Span> spans = planWindows(n, rate, pos, C, P, e);

    // Blocks of whole lane groups of about 64 k samples, the unit a worker takes; a hold of
    // the lock covers blocks up to samplesPerHold samples.
    constexpr size_t blockSamples = size_t{1} << 16;
    std::vector<size_t> blocks{0};
    for (size_t j = 0; j < spans.size();) {
        const size_t from = j;
        while (j < spans.size() && spanSamples(&spans[from], j - from) < blockSamples)
            j = std::min(j + WindowAverage::laneGroup, spans.size());
        blocks.push_back(j);
    }
    const QueryTuning tuning = queryTuning();
    const bool threads = spanSamples(spans.data(), spans.size()) >= tuning.threadsFrom;

    // Record-form results are written in place, one window per worker call.
    std::vector<Sample> scratch;
    std::vector<Sample>* results = &scratch;
    if (!out.stored) {
        out.records.resize(spans.size());
        results = &out.records;
    } else {
        scratch.resize(spans.size());
    }

    for (size_t b = 0; b + 1 < blocks.size();) {
        size_t end = b + 1;
        while (end + 1 < blocks.size() &&
               spanSamples(&spans[blocks[b]], blocks[end + 1] - blocks[b]) <= tuning.samplesPerHold)
            ++end;
        if (!read.retake())
            return false;
        WindowAverage::Columns columns;
        columns.chunks = st.chunks.data();
        columns.shift = st.shift;
        columns.mask = st.mask;
        columns.rawOffset = st.rawOffset;
        columns.valueOffset = st.valueOffset;
        columns.axes = st.axes;
        columns.timeRate = st.timeRate;
        columns.withRaw = withRaw;
        auto work = [&](size_t k) {
            WindowAverage::Sums sums[64];
            for (size_t from = blocks[b + k], to = blocks[b + k + 1]; from < to;) {
                const size_t count = std::min<size_t>(to - from, 64);
                WindowAverage::average(columns, &spans[from], count, P, sums);
                for (size_t j = 0; j < count; ++j) {
                    Sample& s = (*results)[from + j];
                    s = st.sample(spans[from + j].first);
                    for (int a = 0; a < st.axes; ++a) {
                        s.raw[a] = truncToInt32(sums[j].raw[a]);
                        s.values[a] = sums[j].values[a];
                    }
                    s.time = sums[j].time;
                }
                from += count;
            }
        };
        if (threads) {
            WindowAverage::parallelFor(end - b, work);
        } else {
            for (size_t k = 0; k < end - b; ++k)
                work(k);
        }
        read.release();
        b = end;
    }
    for (const Sample& s : scratch)
        out.append(s);
    return true;
}

void SampleCollection::rangeInto(SampleCollection& out, double startTime, double endTime,
                                 bool withRaw) const {
    if (!fillable(*this, out, "ERROR getTimeFrameSamples:: input vector already fed!\n"))
        return;
    retrying(out,
             [&](bool pieces) { return rangeAttempt(out, startTime, endTime, withRaw, pieces); });
}

bool SampleCollection::rangeAttempt(SampleCollection& out, double startTime, double endTime,
                                    bool withRaw, bool pieces) const {
    PiecedRead read(*this, pieces);
    View v(*this);
    const size_t n = v.size();
    size_t pos = 0, endPos = 0;
    if (!v.timeWindow(startTime, endTime, "getSampleCollection", pos, endPos))
        return true;
    const double last = v.time(n - 1);

    // A rate of 0 would be an infinite period: treated as no resampling.
    if (out.rate <= 0) {
        if (!out.stored && pos <= endPos)
            out.records.reserve(out.records.size() + endPos - pos + 1);
        for (; pos <= endPos; ++pos) {
            out.append(v.sample(pos));
            // A record written to fresh memory costs about 64 averaged samples.
            if (!read.spend(64))
                return false;
        }
        return true;
    }

    const double P = 1.0 / out.rate;
    const double s = startTime, e = endTime;
    // With no following sample the spacing is unknown; interpolation then holds the
    // neighbouring values, which is what a single sample can say.
    const bool averaging = pos + 1 < n && P > v.time(pos + 1) - v.time(pos);

    if (averaging) {
        double C = std::max(P, P * std::trunc(s / P));
        pos = v.firstAtOrAfter(C - P);
        if (!(v.time(pos) >= C - P))
            return true;
        if (stored)
            return averageStored(out, read, n, pos, C, P, e, withRaw);
        // One output per window up to the end of the window or of the recording: growing
        // the result by doubling would cost more than the averaging itself.
        out.reserveRecords((std::min(e, last) - C) / P + 2);
        // Each window is completed before it is appended, so `out` may be of either form.
        Sample S = v.sample(pos);
        std::array<double, Sample::maxValues> rawSum{};
        Sample window = Sample::windowStart(S, P, C, rawSum);
        for (;;) {
            if (S.time <= C) {
                if (++pos >= n)
                    break;
                S = v.sample(pos);
                window.windowAccumulate(S, P, C, rawSum);
            } else {
                window.windowAccumulate(S, P, C, rawSum);
                if (e < C + P)
                    break;
                C = C + P;
                out.append(window);
                window = Sample::windowStart(S, P, C, rawSum);
            }
        }
        out.append(window);
        return true;
    }

    const double e2 = std::min(e, last);
    double D = std::max(P, P * std::trunc(s / P));
    if (!(e2 > D))
        return true;
    if ((e2 - D) / P > maxResampledOutput) {
        std::cerr << "ERROR getSampleCollection:: resampling rate too high " << out.rate << "\n";
        return true;
    }
    out.reserveRecords((e2 - D) / P + 2);
    size_t after = v.firstAtOrAfter(D);
    for (;;) {
        while (after + 1 < n && v.time(after) < D)
            ++after;
        size_t before;
        if (v.time(after) > D) {
            before = after > 0 ? after - 1 : 0;
        } else {
            before = after;
            while (before + 1 < n && v.time(before + 1) <= D)
                ++before;
        }
        out.append(Sample::interpolate(v.sample(before), v.sample(after), D));
        if (e2 > D + P && D + P > D)
            D = D + P;
        else
            break;
        if (!read.spend(16)) // an interpolated point costs a few records
            return false;
    }
    return true;
}

SampleCollection::RawSum SampleCollection::rawSumInRange(double startTime, double endTime,
                                                         int axis) const {
    for (int tries = 0;; ++tries) {
        RawSum result;
        PiecedRead read(*this, stored && tries < piecedAttempts);
        View v(*this);
        size_t from = 0, to = 0;
        if (!v.timeWindow(startTime, endTime, "getSampleCollection", from, to))
            return result;
        bool rewritten = false;
        for (size_t i = from; i <= to; ++i) {
            const Sample s = v.sample(i);
            if (axis < 0 || axis >= s.valueCount)
                break;
            result.sum += s.raw[axis];
            ++result.count;
            if ((rewritten = !read.spend(4)))
                break;
        }
        if (!rewritten)
            return result;
    }
}

void SampleCollection::copyLastInto(const std::shared_ptr<SampleCollection>& out) const {
    if (out)
        copyLastInto(*out);
}
void SampleCollection::averageFramesInto(const std::shared_ptr<SampleCollection>& out) const {
    if (out)
        averageFramesInto(*out);
}
void SampleCollection::averageFramesInRangeInto(const std::shared_ptr<SampleCollection>& out,
                                                double startTime, double endTime) const {
    if (out)
        averageFramesInRangeInto(*out, startTime, endTime);
}
void SampleCollection::rangeInto(const std::shared_ptr<SampleCollection>& out, double startTime,
                                 double endTime, bool withRaw) const {
    if (out)
        rangeInto(*out, startTime, endTime, withRaw);
}

// ---- Editor -------------------------------------------------------------------------------

SampleCollection::Editor SampleCollection::edit() {
    if (!stored)
        throw std::logic_error("SampleCollection::edit - not a stored collection");
    return Editor(*this);
}

SampleCollection::Editor::Editor(SampleCollection& c) : collection(c), guard(c.mutex) {}

size_t SampleCollection::Editor::size() const { return collection.stored->count; }
int32_t* SampleCollection::Editor::rawRow(size_t i) { return collection.stored->raw(i); }
float* SampleCollection::Editor::valueRow(size_t i) { return collection.stored->values(i); }
const int32_t* SampleCollection::Editor::rawRow(size_t i) const {
    return collection.stored->raw(i);
}
const float* SampleCollection::Editor::valueRow(size_t i) const {
    return collection.stored->values(i);
}
uint32_t SampleCollection::Editor::frameTotal(size_t i) const {
    return collection.stored->frameTotal(i);
}
void SampleCollection::Editor::append(const int32_t* raw, const float* values, uint8_t remote,
                                      uint8_t frame, uint8_t index, uint32_t frameTotal) {
    collection.stored->append(raw, values, remote, frame, index, frameTotal);
}
double SampleCollection::Editor::timeRate() const { return collection.stored->timeRate; }
void SampleCollection::Editor::setTimeRate(double rate) {
    collection.stored->timeRate = rate;
    ++collection.rewriteCount;
}
BoundingBoxData* SampleCollection::Editor::box() { return collection.boundingBox.get(); }

SampleCollection::RowCopy SampleCollection::copyRows(size_t from, size_t count, int32_t* raw,
                                                     float* values, uint8_t* frames,
                                                     uint8_t* indices) const {
    if (!stored)
        throw std::logic_error("SampleCollection::copyRows - not a stored collection");
    auto lock = readLock();
    const Store& st = *stored;
    RowCopy copy;
    copy.size = st.count;
    copy.valueCount = st.axes;
    copy.timeRate = st.timeRate;
    copy.rewrites = rewriteCount;
    copy.rows = from < st.count ? std::min(count, st.count - from) : 0;
    const size_t axes = static_cast<size_t>(st.axes);
    for (size_t i = from, end = from + copy.rows; i < end;) {
        // The run of rows left in i's chunk.
        const size_t n = std::min(end - i, st.mask + 1 - st.slot(i));
        const size_t at = i - from;
        std::memcpy(raw + at * axes, st.raw(i), n * axes * sizeof(int32_t));
        std::memcpy(values + at * axes, st.values(i), n * axes * sizeof(float));
        std::memcpy(frames + at, &st.frame(i), n);
        std::memcpy(indices + at, &st.index(i), n);
        i += n;
    }
    return copy;
}
