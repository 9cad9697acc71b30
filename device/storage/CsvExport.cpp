#include "device/storage/CsvExport.h"

#include "device/sensors/SampleCollection.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// Lines are gathered here and written in large blocks.
constexpr std::size_t bufferBytes = 1 << 20;
// Rows copied from the sensor per reader lock: about 0.1 ms of copying for three axes.
constexpr std::size_t rowsPerCopy = 16384;
// A recalibration during an export starts it again; after this many passes it gives up.
constexpr int maxPasses = 8;
// Scheduling priority of the formatting helper thread.
constexpr int helperNice = 10;

inline char* putInteger(char* p, int64_t value) { return std::to_chars(p, p + 24, value).ptr; }

// The shortest text that reads back as the same double.
inline char* putTime(char* p, double value) { return std::to_chars(p, p + 32, value).ptr; }

// 10^0 .. 10^22: every one is exact in a double.
constexpr double exactPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr char digitPairs[] = "00010203040506070809101112131415161718192021222324252627282930"
                              "31323334353637383940414243444546474849505152535455565758596061"
                              "62636465666768697071727374757677787980818283848586878889909192"
                              "93949596979899";

// printf's "%.6g" through the general conversion: the slow path of formatValue.
char* generalForm(char* p, float value) {
    return std::to_chars(p, p + 32, static_cast<double>(value), std::chars_format::general, 6).ptr;
}

} // namespace

namespace CsvExport {

// The six significant digits are found by scaling |v| by an exact power of ten into
// [1e5, 1e6) with one correctly rounded multiplication or division (relative error below
// 2^-53, so below 1.2e-10 absolute at that scale) and rounding to an integer. That is
// exact except when the scaled value lies within that error of a rounding boundary (.5):
// those values, and every value outside 1e-17 .. 1e27 (zero, denormals, infinities, NaN,
// where one exact power does not reach), take the general conversion.
char* formatValue(char* p, float value) {
    const double v = value;
    const double a = std::fabs(v);
    if (!(a >= 1e-17 && a < 1e27))
        return generalForm(p, value);
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const int e2 = static_cast<int>(bits >> 52) - 1023;
    // floor(e2 * log10(2)): the decimal exponent or one below it.
    int e10 = (e2 * 1233) >> 12;
    double scaled = 0;
    for (int attempt = 0;; ++attempt) {
        const int k = 5 - e10;
        if (k > 22 || k < -22 || attempt == 3)
            return generalForm(p, value);
        scaled = k >= 0 ? a * exactPowers[k] : a / exactPowers[-k];
        if (scaled >= 1e6)
            ++e10;
        else if (scaled < 99999.0)
            --e10;
        else
            break;
    }
    const double whole = std::floor(scaled);
    const double fraction = scaled - whole; // exact
    if (std::fabs(fraction - 0.5) < 1e-6)
        return generalForm(p, value);
    uint32_t n = static_cast<uint32_t>(whole) + (fraction > 0.5 ? 1 : 0);
    if (n < 100000) // 99999.x rounded down: one digit more would have been kept
        return generalForm(p, value);
    if (n == 1000000) {
        n = 100000;
        ++e10;
    }
    char digits[6];
    std::memcpy(digits, digitPairs + 2 * (n / 10000), 2);
    std::memcpy(digits + 2, digitPairs + 2 * (n / 100 % 100), 2);
    std::memcpy(digits + 4, digitPairs + 2 * (n % 100), 2);
    int significant = 6;
    while (digits[significant - 1] == '0')
        --significant;

    if (v < 0)
        *p++ = '-';
    if (e10 < -4 || e10 >= 6) {
        *p++ = digits[0];
        if (significant > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, significant - 1);
            p += significant - 1;
        }
        *p++ = 'e';
        *p++ = e10 < 0 ? '-' : '+';
        const int e = e10 < 0 ? -e10 : e10; // below 100 here
        std::memcpy(p, digitPairs + 2 * e, 2);
        return p + 2;
    }
    if (e10 >= 0) {
        std::memcpy(p, digits, e10 + 1);
        p += e10 + 1;
        if (significant > e10 + 1) {
            *p++ = '.';
            std::memcpy(p, digits + e10 + 1, significant - e10 - 1);
            p += significant - e10 - 1;
        }
        return p;
    }
    *p++ = '0';
    *p++ = '.';
    for (int z = -e10 - 1; z > 0; --z)
        *p++ = '0';
    std::memcpy(p, digits, significant);
    return p + significant;
}

bool isSafeName(const std::string& name) {
    if (name.find('\0') != std::string::npos)
        return false;
    const std::filesystem::path path = std::filesystem::u8path(name);
    if (path.is_absolute() || path.has_root_directory() || path.has_root_name())
        return false;
    for (const auto& part : path)
        if (part == "..")
            return false;
    return true;
}

std::string exportPath(const std::string& exportFolder, const std::string& name,
                       const std::string& acquisitionID, int remote, int sensorType) {
    if (name.empty())
        return exportFolder + acquisitionID + "_" + std::to_string(remote) + "_" +
               std::to_string(sensorType) + ".csv";
    return exportFolder + name + ".csv";
}

std::string headerLine(int axisCount) {
    std::string header = "index, frame, sample, time";
    for (int i = 0; i < axisCount; ++i)
        header += ", raw[" + std::to_string(i) + "], cal[" + std::to_string(i) + "]";
    return header;
}

std::size_t maxLineLength(int axisCount) {
    // index (20 digits), frame and sample (6 each), time (24), per axis raw (11) and value
    // (13), separators and the line end, with room to spare.
    return 96 + 32 * static_cast<std::size_t>(axisCount > 0 ? axisCount : 0);
}

char* formatLine(char* p, uint64_t index, int frame, int sampleIndex, double time,
                 const int32_t* raw, const float* values, int axisCount) {
    p = std::to_chars(p, p + 24, index).ptr;
    *p++ = ',';
    p = putInteger(p, frame);
    *p++ = ',';
    p = putInteger(p, sampleIndex);
    *p++ = ',';
    p = putTime(p, time);
    for (int i = 0; i < axisCount; ++i) {
        *p++ = ',';
        p = putInteger(p, raw[i]);
        *p++ = ',';
        p = formatValue(p, values[i]);
    }
    *p++ = '\n';
    return p;
}

namespace {

// The output file behind a large buffer; the buffer goes out in one write when full.
class BlockWriter {
public:
    explicit BlockWriter(std::FILE* f) : file(f), buffer(bufferBytes) {
        std::setvbuf(file, nullptr, _IONBF, 0); // our own buffer is the only one
    }
    // Room for `bytes` more (bytes must not exceed the buffer).
    char* reserve(std::size_t bytes) {
        if (std::size_t(buffer.data() + buffer.size() - end) < bytes)
            flush();
        return end;
    }
    void commit(char* newEnd) { end = newEnd; }
    // Text written as it is, after what the buffer holds.
    void write(const char* text, std::size_t n) {
        flush();
        if (n && std::fwrite(text, 1, n, file) != n)
            ok = false;
    }
    void flush() {
        const std::size_t n = end - buffer.data();
        if (n && std::fwrite(buffer.data(), 1, n, file) != n)
            ok = false;
        end = buffer.data();
    }
    // Back to an empty file.
    void restart() {
        end = buffer.data();
        if (std::fflush(file) != 0 || ftruncate(fileno(file), 0) != 0 ||
            std::fseek(file, 0, SEEK_SET) != 0)
            ok = false;
    }
    bool ok = true;

private:
    std::FILE* file;
    std::vector<char> buffer;
    char* end = buffer.data();
};

void writeHeader(BlockWriter& out, int axisCount) {
    const std::string header = headerLine(axisCount) + "\n";
    char* p = out.reserve(header.size());
    out.commit(std::copy(header.begin(), header.end(), p));
}

// A record-form collection: private to its owner, read in one pass.
uint64_t writeRecords(const SampleCollection& samples, int axisCount, BlockWriter& out) {
    const std::size_t room = maxLineLength(axisCount);
    uint64_t index = 0;
    samples.forEach([&](const Sample& s) {
        if (!out.ok)
            return;
        const int axes = std::min<int>(axisCount, s.valueCount);
        out.commit(formatLine(out.reserve(room), index++, s.frame, s.index, s.time, s.raw.data(),
                              s.values.data(), axes));
    });
    return index;
}

// One chunk of copied rows and its text, in two parts formatted on two threads.
struct Chunk {
    std::vector<int32_t> raw;
    std::vector<float> values;
    std::vector<uint8_t> frames, indices;
    std::vector<char> textA, textB;
    std::size_t lengthA = 0, lengthB = 0;
    std::size_t first = 0, rows = 0;
};

// Lines of the chunk's rows [begin, end) from `out` on; returns the text's length.
std::size_t formatRows(char* out, const Chunk& c, std::size_t begin, std::size_t end,
                       std::size_t width, int axes, double rate) {
    char* p = out;
    for (std::size_t r = begin; r < end; ++r) {
        const std::size_t i = c.first + r;
        // As the collection stamps its rows.
        const double time = static_cast<double>(i + 1) / rate;
        p = formatLine(p, i, c.frames[r], c.indices[r], time, c.raw.data() + r * width,
                       c.values.data() + r * width, axes);
    }
    return static_cast<std::size_t>(p - out);
}

// A sensor's stored collection: the rows that exist when the export starts, copied a
// chunk at a time under the reader lock and formatted without it, so the parser of a
// live run waits for one chunk's copy at most. Rows appended meanwhile are not exported.
// A recalibration (new times and values for every row) between two chunks would mix old
// and new rows: the export then starts again from the first row. Returns false when the
// recording kept being recalibrated.
//
// Formatting is most of the work: a second thread formats the larger part of each chunk
// while this one formats the rest and writes the previous chunk.
bool writeStored(const SampleCollection& samples, int axisCount, BlockWriter& out,
                 uint64_t& lines) {
    Chunk chunks[2];
    for (int pass = 0; pass < maxPasses; ++pass) {
        if (pass > 0) {
            out.restart();
            writeHeader(out, axisCount);
        }
        const SampleCollection::RowCopy start =
            samples.copyRows(0, 0, nullptr, nullptr, nullptr, nullptr);
        const std::size_t width = static_cast<std::size_t>(start.valueCount);
        const int axes = std::min<int>(axisCount, start.valueCount);
        const std::size_t room = maxLineLength(axes);
        const std::size_t capacity = std::min(rowsPerCopy, start.size);
        for (Chunk& c : chunks) {
            c.raw.resize(capacity * width);
            c.values.resize(capacity * width);
            c.frames.resize(capacity);
            c.indices.resize(capacity);
            c.textA.resize(capacity * room);
            c.textB.resize(capacity * room);
        }
        std::future<std::size_t> pending; // the second part of `previous`
        Chunk* previous = nullptr;
        auto writePrevious = [&] {
            previous->lengthB = pending.get();
            out.write(previous->textA.data(), previous->lengthA);
            out.write(previous->textB.data(), previous->lengthB);
        };
        bool rewritten = false;
        std::size_t from = 0;
        for (int n = 0; from < start.size && out.ok; ++n) {
            Chunk& c = chunks[n % 2]; // its last text was written in the previous round
            const SampleCollection::RowCopy copied =
                samples.copyRows(from, std::min(capacity, start.size - from), c.raw.data(),
                                 c.values.data(), c.frames.data(), c.indices.data());
            if (copied.rewrites != start.rewrites || copied.rows == 0) {
                rewritten = true;
                break;
            }
            c.first = from;
            c.rows = copied.rows;
            const std::size_t split = c.rows / 4;
            if (previous)
                previous->lengthB = pending.get();
            pending =
                std::async(std::launch::async, [&c, split, width, axes, rate = start.timeRate] {
                    // An export runs beside a live run: its helper yields the core to the
                    // parser and the queries.
                    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), helperNice);
                    return formatRows(c.textB.data(), c, split, c.rows, width, axes, rate);
                });
            c.lengthA = formatRows(c.textA.data(), c, 0, split, width, axes, start.timeRate);
            if (previous) {
                out.write(previous->textA.data(), previous->lengthA);
                out.write(previous->textB.data(), previous->lengthB);
            }
            previous = &c;
            from += c.rows;
        }
        if (previous)
            writePrevious();
        if (!rewritten && from >= start.size) {
            lines = start.size;
            return out.ok;
        }
        if (!rewritten)
            return false; // a write failed
    }
    return false;
}

} // namespace

Result write(const SampleCollection& samples, int axisCount, const std::string& path) {
    Result result;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        std::fopen(std::filesystem::u8path(path).c_str(), "wb"), &std::fclose);
    if (!file)
        return result;
    result.opened = true;
    bool complete = true;
    {
        BlockWriter out(file.get());
        writeHeader(out, axisCount);
        if (samples.isStored()) {
            // An export runs beside a live run: its work is done on threads that yield the
            // cores to the parser and the queries, while the caller only waits.
            std::exception_ptr failure;
            std::thread worker([&] {
                setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), helperNice);
                try {
                    complete = writeStored(samples, axisCount, out, result.lines);
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            worker.join();
            if (failure)
                std::rethrow_exception(failure);
        } else
            result.lines = writeRecords(samples, axisCount, out);
        out.flush();
        complete = complete && out.ok;
    }
    const bool closed = std::fclose(file.release()) == 0;
    result.written = complete && closed;
    return result;
}

} // namespace CsvExport
