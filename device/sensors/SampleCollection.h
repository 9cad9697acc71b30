// SampleCollection: a time-ordered sequence of samples with an optional bounding box, and
// the four extraction operations the data queries use.
//
// A collection comes in one of two forms:
// - the record form (default constructor): a private vector of `Sample` records. Query
//   results are built in this form; they belong to one query and take no lock.
// - the stored form (the layout constructor): what a sensor keeps for a whole recording.
//   Samples are packed column-wise into fixed-size chunks that are appended and never
//   moved, with no per-sample heap objects: a one-axis sample takes 15 bytes, a three-axis
//   one 31. The time of the k-th stored sample (k from 1) is always k / the sensor's current
//   rate, so time is not stored: it follows the rate when `recalibrate` replaces it.
//   A shared mutex guards the stored form. The parser takes it exclusively once per packet
//   block (through `Editor`), `recalibrate` for its whole rewrite, and every reader
//   (extractions, size, at) takes it shared for the duration of one operation, so a reader
//   never sees a half-written sample, a half-recalibrated recording or storage being moved.
//
// Every extraction reads `this` and appends to an empty record-form `out`; a non-empty `out`
// or an empty time window writes a message to the error stream and appends nothing.
#pragma once

#include "device/sensors/Sample.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

// What every sample of a stored collection shares.
struct SampleLayout {
    int32_t sensorType = 0;
    int valueCount = 1; // raw and converted values per sample, 1 to Sample::maxValues
    double rate = 1.0;  // the k-th sample (k from 1) is stamped k / rate
};

class SampleCollection {
public:
    // A record-form collection; `rate` is the target of rangeInto's resampling: negative
    // (by convention -1) or 0 means no resampling.
    explicit SampleCollection(int32_t rate = -1);
    // A stored-form collection for one sensor, with a bounding box of `boxWidth` axes
    // (none when 0). Throws std::length_error for a value count outside 1..maxValues.
    SampleCollection(const SampleLayout& layout, int boxWidth);
    ~SampleCollection();

    SampleCollection(const SampleCollection&) = delete;
    SampleCollection& operator=(const SampleCollection&) = delete;

    // Target rate for rangeInto (Hz). A sensor's own collection keeps -1.
    int32_t rate = -1;

    bool isStored() const { return stored != nullptr; }

    // Record form: appends a copy. Stored form: appends its raw and converted values,
    // frame, index, remote and frame total; its time is the stored form's k / rate.
    // Throws std::invalid_argument for a null pointer, std::length_error when the value
    // count does not match a stored collection's.
    void append(const Sample& s);
    void append(const Sample* s);

    size_t size() const;
    bool empty() const { return size() == 0; }
    // A copy of sample i; throws std::out_of_range when i is not below size().
    Sample at(size_t i) const;
    // Calls fn for every sample in order while holding the reader lock once (fn must not
    // touch this collection).
    void forEach(const std::function<void(const Sample&)>& fn) const;

    // Stored form: copies rows [from, from + count) (fewer past the end) column by column
    // under one reader lock, so that a long reader (the CSV export) can take the collection
    // a chunk at a time. `raw` and `values` get valueCount entries per row; with count 0 the
    // pointers may be null. Also reads, under the same lock, the size, the time rate (row i
    // is stamped (i + 1) / timeRate) and how many times the stored rows were rewritten (each
    // re-timing, which recalibration does with its new values): a reader that sees the
    // count change knows that rows it copied earlier are out of date.
    struct RowCopy {
        size_t rows = 0;
        size_t size = 0;
        int valueCount = 0;
        double timeRate = 0;
        uint64_t rewrites = 0;
    };
    RowCopy copyRows(size_t from, size_t count, int32_t* raw, float* values, uint8_t* frames,
                     uint8_t* indices) const;

    // The bounding box, or null. For record-form collections (query results, private to
    // one thread). For a sensor's own collection use boxSnapshot(): recalibrate rewrites
    // the box while other threads read.
    BoundingBoxData* box();
    const BoundingBoxData* box() const;
    // Gives the collection a box of `width` axes when it has none; returns the box.
    BoundingBoxData& ensureBox(int width);
    std::optional<BoundingBoxData> boxSnapshot() const;

    // Appends a copy of the last sample; nothing when this collection is empty.
    void copyLastInto(SampleCollection& out) const;
    void copyLastInto(const std::shared_ptr<SampleCollection>& out) const;
    // One average per 10 ms frame of the whole collection, stamped frameTotal * 0.01 s.
    void averageFramesInto(SampleCollection& out) const;
    void averageFramesInto(const std::shared_ptr<SampleCollection>& out) const;
    // Frame averages within [startTime, endTime] (negative start counts back from the end,
    // negative end means the last sample).
    void averageFramesInRangeInto(SampleCollection& out, double startTime, double endTime) const;
    void averageFramesInRangeInto(const std::shared_ptr<SampleCollection>& out, double startTime,
                                  double endTime) const;
    // The samples of [startTime, endTime] (window rules as above), resampled to out.rate
    // when that is positive. Without `withRaw` the caller shows values only, and averaged
    // windows of a stored recording may carry raw values of 0 (they are not summed).
    void rangeInto(SampleCollection& out, double startTime, double endTime,
                   bool withRaw = true) const;
    void rangeInto(const std::shared_ptr<SampleCollection>& out, double startTime, double endTime,
                   bool withRaw = true) const;

    // Sum and count of raw value `axis` over the samples rangeInto would select without
    // resampling (same window rules and message). Count 0 when nothing is selected.
    struct RawSum {
        int64_t sum = 0;
        size_t count = 0;
    };
    RawSum rawSumInRange(double startTime, double endTime, int axis) const;

    // How long reads of a stored collection are cut. A long extraction (a resampled hour,
    // frame averages, a raw copy) holds the reader lock for about `samplesPerHold` stored
    // samples at a time, so the parser's next packet block waits no longer than that; when a
    // recalibration rewrites the recording between two holds, the extraction starts over
    // (after three tries it takes the recording in one hold). Averaging more than
    // `threadsFrom` stored samples uses the shared query workers. Tests and benchmarks
    // change these; the defaults keep a hold near a millisecond.
    struct QueryTuning {
        size_t samplesPerHold = size_t{1} << 20;
        size_t threadsFrom = size_t{1} << 18;
    };
    static QueryTuning queryTuning();
    static void setQueryTuning(const QueryTuning& tuning);

    // Exclusive access to a stored collection: held by the parser for one packet block and
    // by recalibrate for its rewrite. Everything a sensor changes that readers also see
    // (its constants, its rate) is changed while an Editor is alive.
    class Editor {
    public:
        size_t size() const;
        // Row pointers of sample i (valueCount entries each); i must be below size().
        int32_t* rawRow(size_t i);
        float* valueRow(size_t i);
        const int32_t* rawRow(size_t i) const;
        const float* valueRow(size_t i) const;
        uint32_t frameTotal(size_t i) const;
        void append(const int32_t* raw, const float* values, uint8_t remote, uint8_t frame,
                    uint8_t index, uint32_t frameTotal);
        double timeRate() const;
        void setTimeRate(double rate); // re-times every stored sample at once
        BoundingBoxData* box();

    private:
        friend class SampleCollection;
        Editor(SampleCollection& c);
        SampleCollection& collection;
        std::unique_lock<std::shared_mutex> guard;
    };
    // Only for a stored-form collection (throws std::logic_error otherwise).
    Editor edit();

private:
    struct Store;
    class View;

    std::vector<Sample> records;
    std::unique_ptr<Store> stored;
    std::unique_ptr<BoundingBoxData> boundingBox;
    mutable std::shared_mutex mutex;
    uint64_t rewriteCount = 0; // stored form: re-timings so far (under the lock)

    using ReadLock = std::shared_lock<std::shared_mutex>;
    ReadLock readLock() const;
    // Room for about `count` more records in a record-form result (a hint; bounded).
    void reserveRecords(double count);
    // A long read under the lock; read in pieces, it lets writers in between holds.
    class PiecedRead;
    // Runs attempt(pieces) until it returns true, emptying `out` before each new try;
    // `pieces` says whether the attempt may let go of the lock between holds.
    template <typename Attempt>
    void retrying(SampleCollection& out, Attempt attempt) const;
    bool rangeAttempt(SampleCollection& out, double startTime, double endTime, bool withRaw,
                      bool pieces) const;
    bool framesAttempt(SampleCollection& out, bool whole, double startTime, double endTime,
                       bool pieces) const;
    // The averaging windows of a stored collection from sample `pos` (window end C, period P,
    // requested end e), over the first n samples; the lock is held on entry.
    bool averageStored(SampleCollection& out, PiecedRead& read, size_t n, size_t pos, double C,
                       double P, double e, bool withRaw) const;
};
