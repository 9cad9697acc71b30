#include "device/storage/CsvExport.h"

#include "device/sensors/SampleCollection.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

// Lines are gathered here and written in large blocks.
constexpr std::size_t bufferBytes = 1 << 20;

inline char* putInteger(char* p, int64_t value) {
    return std::to_chars(p, p + 24, value).ptr;
}

// Six significant digits, fixed or exponent form, whichever is shorter: what a text
// stream writes by default (and printf's "%g").
inline char* putValue(char* p, float value) {
    return std::to_chars(p, p + 32, static_cast<double>(value), std::chars_format::general, 6).ptr;
}

// The shortest text that reads back as the same double.
inline char* putTime(char* p, double value) { return std::to_chars(p, p + 32, value).ptr; }

} // namespace

namespace CsvExport {

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
        p = putValue(p, values[i]);
    }
    *p++ = '\n';
    return p;
}

Result write(const SampleCollection& samples, int axisCount, const std::string& path) {
    Result result;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        std::fopen(std::filesystem::u8path(path).c_str(), "wb"), &std::fclose);
    if (!file)
        return result;
    result.opened = true;
    std::setvbuf(file.get(), nullptr, _IONBF, 0); // our own buffer is the only one

    std::vector<char> buffer(bufferBytes);
    char* const begin = buffer.data();
    char* const limit = begin + buffer.size();
    char* p = begin;
    bool ok = true;
    auto flush = [&] {
        if (p != begin && std::fwrite(begin, 1, p - begin, file.get()) != std::size_t(p - begin))
            ok = false;
        p = begin;
    };

    const std::string header = headerLine(axisCount);
    p = std::copy(header.begin(), header.end(), p);
    *p++ = '\n';

    const std::size_t room = maxLineLength(axisCount);
    uint64_t index = 0;
    samples.forEach([&](const Sample& s) {
        if (!ok)
            return;
        if (std::size_t(limit - p) < room)
            flush();
        const int axes = std::min<int>(axisCount, s.valueCount);
        p = formatLine(p, index++, s.frame, s.index, s.time, s.raw.data(), s.values.data(), axes);
    });
    flush();
    result.lines = index;
    const bool closed = std::fclose(file.release()) == 0;
    result.written = ok && closed;
    return result;
}

} // namespace CsvExport
