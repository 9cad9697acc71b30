#include "tests/support/KitFixture.h"

#include "device/protocol/CommandCodes.h"
#include "tools/dongle-sim/SimLayout.h"

#include <bson/bson.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

size_t Truth::count(int type) const {
    auto it = samples.find(type);
    return it == samples.end() ? 0 : it->second.size();
}

double Truth::measuredRate(int type) const {
    return frameSpan == 0 ? 0.0 : double(count(type)) * 100.0 / double(frameSpan);
}

Truth truthOf(const std::vector<SimDataFrame>& frames) {
    Truth truth;
    int64_t first = -1, last = -1, previousIndex = -1;
    auto closeRun = [&] {
        if (first >= 0)
            truth.frameSpan += last - first + 1;
        first = last = -1;
    };
    for (const auto& frame : frames) {
        if (frame.frameIndex <= previousIndex)
            closeRun();
        previousIndex = frame.frameIndex;
        if (first < 0 && frame.counter < 10)
            continue;
        if (first < 0)
            first = frame.frameIndex;
        last = frame.frameIndex;
        if (frame.config != 47) {
            for (const auto& s : frame.samples)
                truth.samples[s.type].push_back(s.values);
            continue;
        }
        std::map<int, std::vector<const SimTruthSample*>> byType;
        for (const auto& s : frame.samples)
            byType[s.type].push_back(&s);
        auto& combined = truth.samples[Truth::ecgCombined];
        for (size_t d = 0; d < byType[SIM_ECG].size(); ++d) {
            std::vector<double> values = byType[SIM_ECG][d]->values;
            for (int type : {SIM_ANALOG7, SIM_ANALOG8, SIM_ANALOG9})
                values.push_back(d < byType[type].size() ? byType[type][d]->values[0] : NAN);
            combined.push_back(values);
        }
    }
    closeRun();
    return truth;
}

static bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](float x, float y) {
               return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y);
           });
}

void expectIdentical(const Series& live, const Series& reloaded, const std::string& what) {
    ASSERT_EQ(live.size(), reloaded.size()) << what;
    EXPECT_EQ(live.reportedRate, reloaded.reportedRate) << what;
    EXPECT_TRUE(sameBits(live.time, reloaded.time)) << what << ": times differ";
    ASSERT_EQ(live.values.size(), reloaded.values.size()) << what;
    for (size_t a = 0; a < live.values.size(); ++a) {
        EXPECT_TRUE(sameBits(live.values[a], reloaded.values[a])) << what << ": values of axis " << a;
        EXPECT_TRUE(sameBits(live.raw[a], reloaded.raw[a])) << what << ": raw values of axis " << a;
    }
}

void expectSameSamples(const Snapshot& live, const Snapshot& reloaded) {
    for (const auto& [key, series] : live) {
        const std::string what = "remote " + std::to_string(key.first) + " sensor " + std::to_string(key.second);
        auto found = reloaded.find(key);
        if (found == reloaded.end())
            ADD_FAILURE() << what << " is missing after the reload";
        else
            expectIdentical(series, found->second, what);
    }
}

void KitFixture::SetUp() {
    KitBase::SetUp();
    options.log = [this](const std::string& line) {
        std::lock_guard lock(kitLock);
        kitLog.push_back(line);
    };
    sim = std::make_unique<DongleSim>(options);
    sim->onDataFrame([this](const SimDataFrame& frame, bool wasSent) {
        std::lock_guard lock(kitLock);
        if (wasSent)
            sent.push_back(frame);
    });
    std::string error;
    ASSERT_TRUE(sim->start(&error)) << error;
    if (apiAtSetUp)
        startApi();
}

bool KitFixture::waitReady() {
    return waitFor(15s, [&] {
        return api->isDongleConnected() && api->isRemoteConnected(1) && api->isRemoteConnected(2) && dongleMode() == 8;
    });
}

bool KitFixture::configure(int remote, int config) {
    if (!api->setFixedConfig(remote, config))
        return false;
    const std::string slot = "remote" + std::to_string(remote);
    return waitFor(10s,
                   [&] { return hardwareBool(slot + ".configured") && hardwareInt(slot + ".fixedConfig") == config; });
}

bool KitFixture::configureBoth(int config1, int config2) {
    return waitReady() && (!config1 || configure(1, config1)) && (!config2 || configure(2, config2));
}

bool KitFixture::startRun() {
    const int started = ScriptLog::count("dataStarted");
    api->startDataAcquisition();
    return waitFor(5s, [&] { return ScriptLog::count("dataStarted") > started; });
}

bool KitFixture::stopRun() {
    const int stopped = ScriptLog::count("dataStopped");
    api->stopDataAcquisition();
    return waitFor(5s, [&] { return ScriptLog::count("dataStopped") > stopped; });
}

bool KitFixture::waitFrames(size_t more) {
    const size_t until = sentCount() + more;
    return waitFor(10s + std::chrono::milliseconds(20 * more), [&] { return sentCount() >= until; });
}

bool KitFixture::stream(size_t frames) { return startRun() && waitFrames(frames) && stopRun(); }

bool KitFixture::commandBarrier() {
    const size_t asked = commandsSeen("GET_PAIRING").size();
    api->sendCommand(GET_DONGLE_STATUS);
    api->sendCommand(GET_PAIRING);
    return waitFor(5s, [&] { return commandsSeen("GET_PAIRING").size() > asked; });
}

std::vector<SimDataFrame> KitFixture::sentFrames() const {
    std::lock_guard lock(kitLock);
    return sent;
}

std::vector<SimDataFrame> KitFixture::framesOf(int remote) const {
    std::lock_guard lock(kitLock);
    std::vector<SimDataFrame> out;
    std::copy_if(sent.begin(), sent.end(), std::back_inserter(out), [&](auto& f) { return f.remote == remote; });
    return out;
}

size_t KitFixture::sentCount() const {
    std::lock_guard lock(kitLock);
    return sent.size();
}

uint64_t KitFixture::sentBytes() const {
    std::lock_guard lock(kitLock);
    uint64_t n = 0;
    for (const auto& f : sent)
        n += f.frame.size();
    return n;
}

std::vector<std::string> KitFixture::commandsSeen(const std::string& name) const {
    std::lock_guard lock(kitLock);
    std::vector<std::string> out;
    for (const auto& line : kitLog)
        if (line.rfind("<- " + name + "  [", 0) == 0)
            out.push_back(line);
    return out;
}

KitFixture::LineCount KitFixture::lineCount() const {
    std::multiset<Bytes> held;
    for (const auto& file : recordings(".raw"))
        for (auto& frame : splitFrames(readBytes(file)))
            held.insert(std::move(frame));
    LineCount count;
    count.recorded = held.size();
    std::set<Bytes> built;
    std::lock_guard lock(kitLock);
    for (const auto& f : sent) {
        ++count.sent;
        built.insert(f.frame);
        if (f.altered)
            continue;
        ++count.unaltered;
        auto found = held.find(f.frame);
        if (found == held.end())
            ++count.missing;
        else
            held.erase(found);
    }
    for (const auto& frame : held)
        count.foreign += built.count(frame) ? 0 : 1;
    return count;
}

bool KitFixture::recordedWhole() {
    return waitFor(3s, [&] {
        auto raws = recordings(".raw");
        return raws.size() == 1 && fs::file_size(raws[0]) == sentBytes();
    });
}

size_t KitFixture::expectRecordingIsPrefixOfSent(const fs::path& raw) {
    Bytes rest;
    const std::vector<Bytes> frames = splitFrames(readBytes(raw), &rest);
    EXPECT_TRUE(rest.empty()) << raw << " ends inside a frame";
    const std::vector<SimDataFrame> all = sentFrames();
    EXPECT_LE(frames.size(), all.size()) << "more frames recorded than sent";
    for (size_t i = 0; i < std::min(frames.size(), all.size()); ++i)
        if (frames[i] != all[i].frame) {
            ADD_FAILURE() << "frame " << i << " of the recording is not the frame the kit sent";
            break;
        }
    return frames.size();
}

Series KitFixture::query(int remote, int sensorType, int axis) {
    Series series;
    bson_t doc;
    bufferArray data;
    api->getSensorData(&doc, &data, remote, sensorType, 0, -1, true, axis, 0);
    const int G = int32Or(&doc, "sampleSize", 0);
    const int E = int32Or(&doc, "datalength", 0);
    series.reportedRate = int32Or(&doc, "sampleRate", 0);
    if (data.data && G > 0 && size_t(2 * G + 1) * size_t(E) == data.size) {
        series.time.assign(data.data, data.data + E);
        for (int j = 1; j <= G; ++j) {
            series.values.emplace_back(data.data + j * E, data.data + (j + 1) * E);
            series.raw.emplace_back(data.data + (G + j) * E, data.data + (G + j + 1) * E);
        }
    }
    api->freeBufferArray(&data);
    bson_destroy(&doc);
    return series;
}

int KitFixture::samplesOf(int remote, int sensorType) {
    bson_t doc;
    bufferArray data;
    api->getSensorData(&doc, &data, remote, sensorType, 0, 1e9, false, -1, 0);
    const int n = int32Or(&doc, "datalength", -1);
    bson_destroy(&doc);
    api->freeBufferArray(&data);
    return n;
}

std::vector<int> KitFixture::sensorTypes(int remote) {
    bson_t doc;
    api->getAcquisitionStack(&doc);
    std::vector<int> types;
    bson_iter_t iter, sensors, field;
    const std::string path = "remote" + std::to_string(remote) + ".sensors";
    if (findPath(&doc, path.c_str(), &iter) && BSON_ITER_HOLDS_ARRAY(&iter) && bson_iter_recurse(&iter, &sensors))
        while (bson_iter_next(&sensors))
            if (BSON_ITER_HOLDS_DOCUMENT(&sensors) && bson_iter_recurse(&sensors, &field) &&
                bson_iter_find(&field, "sensorType") && BSON_ITER_HOLDS_INT32(&field))
                types.push_back(bson_iter_int32(&field));
    bson_destroy(&doc);
    return types;
}

Snapshot KitFixture::snapshot() { return snapshot({{1, sensorTypes(1)}, {2, sensorTypes(2)}}); }

Snapshot KitFixture::snapshot(const std::map<int, std::vector<int>>& sensors) {
    Snapshot out;
    for (const auto& [remote, types] : sensors)
        for (int type : types)
            out[{remote, type}] = query(remote, type);
    return out;
}

bool KitFixture::reload(const std::string& id) {
    bson_t result;
    api->acquisitionManagement(&result, 1, id.c_str());
    bson_destroy(&result);
    return currentAcquisitionID() == id;
}

std::vector<std::string> KitFixture::listedAcquisitions() {
    bson_t doc;
    api->acquisitionManagement(&doc, 0, "");
    std::vector<std::string> ids;
    bson_iter_t iter, list, entry;
    if (findPath(&doc, "acquisitionList", &iter) && BSON_ITER_HOLDS_ARRAY(&iter) && bson_iter_recurse(&iter, &list))
        while (bson_iter_next(&list))
            if (BSON_ITER_HOLDS_DOCUMENT(&list) && bson_iter_recurse(&list, &entry) &&
                bson_iter_find(&entry, "acquisitionID") && BSON_ITER_HOLDS_UTF8(&entry))
                ids.emplace_back(bson_iter_utf8(&entry, nullptr));
    bson_destroy(&doc);
    return ids;
}

int KitFixture::expectValuesMatchTruth(int remote, int sensorType, const std::string& csvName) {
    bson_t doc;
    bson_init(&doc);
    api->exportData(&doc, remote, sensorType, csvName.c_str());
    const std::string path = stringOr(&doc, "path", "");
    bson_destroy(&doc);
    EXPECT_FALSE(path.empty()) << "export failed";
    // (frame counter, sample index) -> the values the kit encoded there; the counter wraps
    // after 2.56 s, so the latest frame with that counter is the one the file can hold.
    std::map<std::pair<int, int>, std::vector<double>> sentSamples;
    for (const auto& frame : framesOf(remote))
        for (const auto& s : frame.samples)
            if (s.type == sensorType)
                sentSamples[{frame.counter, s.index}] = s.values;
    std::ifstream csv(path);
    std::string line;
    std::getline(csv, line); // header
    int rows = 0, failures = 0;
    while (std::getline(csv, line) && failures < 5) {
        std::vector<std::string> cells;
        std::stringstream cellStream(line);
        for (std::string cell; std::getline(cellStream, cell, ',');)
            cells.push_back(cell);
        if (cells.size() < 6) {
            ADD_FAILURE() << "short line: " << line;
            ++failures;
            continue;
        }
        auto it = sentSamples.find({std::stoi(cells[1]), std::stoi(cells[2])});
        if (it == sentSamples.end()) {
            ADD_FAILURE() << "a sample the kit never sent: " << line;
            ++failures;
            continue;
        }
        for (size_t axis = 0; 5 + axis * 2 < cells.size() && axis < it->second.size(); ++axis) {
            const double value = std::stod(cells[5 + axis * 2]), expected = it->second[axis];
            if (std::abs(value - expected) > 1e-4 * std::max(1.0, std::abs(expected))) {
                ADD_FAILURE() << "axis " << axis << " reads " << value << ", the kit sent " << expected << ": " << line;
                ++failures;
            }
        }
        ++rows;
    }
    return rows;
}
