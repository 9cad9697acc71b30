// CsvExport: one sensor's stored samples as a comma-separated text file for spreadsheets.
//
// Header: "index, frame, sample, time" then ", raw[i], cal[i]" per axis. One line per
// stored sample: running index, the packet's frame counter, the sample's position in its
// block, its time, then raw and converted value per axis, separated by "," alone.
//
// The time is written in the shortest form that reads back to the same double: six
// significant digits would make every line of a long recording read the same time (after
// 1000 s a 100 Hz sensor's lines all say "1000"). The converted values keep the usual
// six-significant-digit form (as printf's "%g"). Lines go through a large buffer, not a
// flush per line.
//
// A sensor's stored samples are copied a chunk at a time under its reader lock and
// formatted without it, so an export never keeps a live run's parser waiting for more than
// one chunk's copy. The file holds exactly the samples stored when the export started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class SampleCollection;

namespace CsvExport {

// True when `name` may be used below the export folder: not absolute and no ".." part.
// Sub-folders ("runs/run1") are allowed; they must already exist.
bool isSafeName(const std::string& name);

// The file's path: the export folder + (name empty ? "<acquisitionID>_<remote>_<type>"
// : name) + ".csv". ".csv" is appended even when the name already ends with it.
std::string exportPath(const std::string& exportFolder, const std::string& name,
                       const std::string& acquisitionID, int remote, int sensorType);

// "index, frame, sample, time, raw[0], cal[0], ..." for `axisCount` axes (no line end).
std::string headerLine(int axisCount);

// Appends one data line (with its '\n') to `out`, which must have at least
// maxLineLength(axisCount) bytes free; returns the new end.
char* formatLine(char* out, uint64_t index, int frame, int sampleIndex, double time,
                 const int32_t* raw, const float* values, int axisCount);
std::size_t maxLineLength(int axisCount);
// Appends `value` as printf's "%.6g" writes it (the same text, byte for byte, for every
// float); at most 13 bytes.
char* formatValue(char* out, float value);

struct Result {
    bool opened = false;
    bool written = false; // every byte reached the file and it was closed cleanly
    uint64_t lines = 0;   // data lines
};

// Writes the header and one line per sample of `samples` (at most `axisCount` axes of each,
// fewer when a sample holds fewer values) to `path`, replacing an existing file. A
// recalibration of the sensor while its rows are being copied starts the file again (it
// re-times and re-converts every row); `written` is false if that keeps happening.
Result write(const SampleCollection& samples, int axisCount, const std::string& path);

} // namespace CsvExport
