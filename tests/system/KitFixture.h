// The library through its public interface against the simulated kit, in-process, on a
// pseudo-terminal: a private documents folder and port registry per test, every event
// script collected, every data frame the kit sends kept with the values behind it, and
// every frame the kit reads or writes kept as a log line.
#pragma once

#include "KorvexAPI.h"
#include "tools/dongle-sim/DongleSim.h"

#include "tests/support/KitBase.h"

#include <bson/bson.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kit {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One sensor's samples as getSensorData hands them out (no resampling).
struct Series {
    int32_t reportedRate = 0;
    std::vector<float> time;
    std::vector<std::vector<float>> values;  // [axis][sample]
    std::vector<std::vector<float>> raw;     // [axis][sample]
    size_t size() const { return time.size(); }
    // The rate behind the time stamps: the k-th sample (k from 1) is stamped k / rate.
    double rate() const { return time.empty() ? 0.0 : double(time.size()) / time.back(); }
};

inline bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](float x, float y) {
               return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y);
           });
}

using Snapshot = std::map<std::pair<int, int>, Series>;   // (remote, sensor type) -> samples

// Samples per sensor type the library must take from `frames`: every run (a run restarts the
// kit's frame index) skips its warm-up frames (counter below 10) and takes the rest.
struct Expected {
    std::map<int, size_t> samples;
    int64_t frames = 0;   // 10 ms frames from each run's first taken frame to its last
    double rate(int type) const { return frames ? double(samples.at(type)) * 100.0 / double(frames) : 0.0; }
};

inline Expected expectedOf(const std::vector<SimDataFrame>& frames) {
    Expected out;
    int64_t first = -1, last = -1, previousIndex = -1;
    auto closeRun = [&] {
        if (first >= 0) out.frames += last - first + 1;
        first = last = -1;
    };
    for (const auto& frame : frames) {
        if (frame.frameIndex <= previousIndex) closeRun();
        previousIndex = frame.frameIndex;
        if (first < 0 && frame.counter < 10) continue;
        if (first < 0) first = frame.frameIndex;
        last = frame.frameIndex;
        for (const auto& s : frame.samples) ++out.samples[s.type];
    }
    closeRun();
    return out;
}

// Live and reloaded samples: the same times, values and raw values, bit for bit.
inline void expectSameSamples(const Snapshot& live, const Snapshot& reloaded) {
    for (const auto& [key, series] : live) {
        SCOPED_TRACE("remote " + std::to_string(key.first) + " sensor " + std::to_string(key.second));
        auto found = reloaded.find(key);
        ASSERT_NE(found, reloaded.end());
        const Series& other = found->second;
        ASSERT_EQ(series.size(), other.size());
        EXPECT_EQ(series.reportedRate, other.reportedRate);
        EXPECT_TRUE(sameBits(series.time, other.time)) << "times differ";
        ASSERT_EQ(series.values.size(), other.values.size());
        for (size_t a = 0; a < series.values.size(); ++a) {
            EXPECT_TRUE(sameBits(series.values[a], other.values[a])) << "axis " << a;
            EXPECT_TRUE(sameBits(series.raw[a], other.raw[a])) << "raw axis " << a;
        }
    }
}

class KitTest : public KitBase {
protected:
    std::mutex kitLock;
    std::vector<SimDataFrame> sentFrames;   // in the order the kit sent them
    uint64_t lostFrames = 0;
    std::vector<std::string> kitLog;

    // What the kit looks like when the test starts; tests adjust it before SetUp runs.
    DongleSim::Options options;

    void SetUp() override {
        KitBase::SetUp();
        options.log = [this](const std::string& line) {
            std::lock_guard lock(kitLock);
            kitLog.push_back(line);
        };
        sim = std::make_unique<DongleSim>(options);
        sim->onDataFrame([this](const SimDataFrame& frame, bool sent) {
            std::lock_guard lock(kitLock);
            if (sent)
                sentFrames.push_back(frame);
            else
                ++lostFrames;
        });
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        startApi();
    }

    // The dongle is found and both remotes are connected.
    bool waitReady() {
        return waitFor(15s, [&] {
            return api->isDongleConnected() && api->isRemoteConnected(1) && api->isRemoteConnected(2) &&
                   dongleMode() == 8;
        });
    }

    // Sets the remote's configuration and waits until the whole exchange is answered: the
    // packet layout and, last of the replies that change the model, the configuration itself.
    bool configure(int remote, int config) {
        if (!api->setFixedConfig(remote, config)) return false;
        std::string slot = "remote" + std::to_string(remote);
        return waitFor(10s, [&] {
            return hardwareBool(slot + ".configured") && hardwareInt(slot + ".fixedConfig") == config;
        });
    }

    // Starts a run, streams for `length`, stops it and waits for the end of the run.
    bool stream(std::chrono::milliseconds length) {
        int started = ScriptLog::count("dataStarted"), stopped = ScriptLog::count("dataStopped");
        api->startDataAcquisition();
        if (!waitFor(5s, [&] { return ScriptLog::count("dataStarted") == started + 1; })) return false;
        std::this_thread::sleep_for(length);
        api->stopDataAcquisition();
        return waitFor(5s, [&] { return ScriptLog::count("dataStopped") == stopped + 1; });
    }

    Series query(int remote, int sensorType, int axis = -1) {
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

    std::vector<SimDataFrame> framesOf(int remote) {
        std::lock_guard lock(kitLock);
        std::vector<SimDataFrame> out;
        for (const auto& f : sentFrames)
            if (f.remote == remote) out.push_back(f);
        return out;
    }

    uint64_t dataBytesSent() {
        std::lock_guard lock(kitLock);
        uint64_t n = 0;
        for (const auto& f : sentFrames) n += f.frame.size();
        return n;
    }

    // Frames the kit read from the host, by protocol name, as "<- NAME  [bytes]" lines.
    std::vector<std::string> commandsSeen(const std::string& name) {
        std::lock_guard lock(kitLock);
        std::vector<std::string> out;
        for (const auto& line : kitLog)
            if (line.rfind("<- " + name + "  [", 0) == 0) out.push_back(line);
        return out;
    }

    // The data frames of every raw file held against what the kit put on the line.
    struct LineCount {
        size_t sent = 0;        // data frames the kit sent (second copies not counted)
        size_t unaltered = 0;   // of them, put on the line as they were built
        size_t recorded = 0;    // frames in the raw files
        size_t missing = 0;     // unaltered frames sent that no raw file holds
        size_t foreign = 0;     // recorded frames that are not a frame the kit built
    };
    LineCount lineCount() {
        std::multiset<std::vector<uint8_t>> held;
        for (const auto& file : recordings(".raw"))
            for (auto& frame : splitFrames(readBytes(file))) held.insert(std::move(frame));
        LineCount count;
        count.recorded = held.size();
        std::set<std::vector<uint8_t>> built;
        std::lock_guard lock(kitLock);
        for (const auto& f : sentFrames) {
            ++count.sent;
            built.insert(f.frame);
            if (f.altered) continue;
            ++count.unaltered;
            auto found = held.find(f.frame);
            if (found == held.end())
                ++count.missing;
            else
                held.erase(found);
        }
        for (const auto& frame : held) count.foreign += built.count(frame) ? 0 : 1;
        return count;
    }

    // Every sensor of the current acquisition, as the page would list them.
    Snapshot snapshot() {
        Snapshot out;
        bson_t doc;
        api->getAcquisitionStack(&doc);
        for (int remote : {1, 2}) {
            bson_iter_t iter, sensors, field;
            std::string path = "remote" + std::to_string(remote) + ".sensors";
            if (!findPath(&doc, path.c_str(), &iter) || !bson_iter_recurse(&iter, &sensors)) continue;
            while (bson_iter_next(&sensors))
                if (bson_iter_recurse(&sensors, &field) && bson_iter_find(&field, "sensorType"))
                    out[{remote, bson_iter_int32(&field)}] = {};
        }
        bson_destroy(&doc);
        for (auto& [key, series] : out) series = query(key.first, key.second);
        return out;
    }

    void reload(const std::string& id) {
        bson_t result;
        api->acquisitionManagement(&result, 1, id.c_str());
        bson_destroy(&result);
        ASSERT_EQ(currentAcquisitionID(), id);
    }
};

}  // namespace kit
