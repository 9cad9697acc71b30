// The library through its public interface against the in-process simulated kit (KitBase),
// with the kit's own record of every data frame it sent (bytes, send time, decoded truth).
#pragma once

#include "KorvexAPI.h"
#include "tools/dongle-sim/DongleSim.h"

#include "tests/support/KitBase.h"

#include <bson/bson.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace reliability {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

struct SentFrame {
    Clock::time_point at;
    int remote;
    Bytes bytes;
    std::map<int, int> samples;   // sensor type -> samples the frame carries
};

class KitFixture : public KitBase {
protected:
    mutable std::mutex sentLock;
    std::vector<SentFrame> sent;
    // (remote, sensor type) -> (frame counter, sample index) -> values
    std::map<std::pair<int, int>, std::map<std::pair<int, int>, std::vector<double>>> truth;

    virtual DongleSim::Options simOptions();
    void startKit();

    std::vector<fs::path> rawFiles() const { return recordings(".raw"); }
    bool configured(int remote) { return hardwareBool("remote" + std::to_string(remote) + ".configured"); }
    // Waits for both remotes' radio, sets the configurations (0 = leave out) and waits
    // until the remotes have answered every configuration follow-up.
    void configure(int config1, int config2);
    // Starts a run and waits for "dataStarted" number `runs`.
    void startRun(int runs = 1);
    void stopRun(int runs = 1);

    std::vector<SentFrame> sentFrames() const;
    uint64_t sentBytes() const;

    // The acquisition list's identifiers.
    std::vector<std::string> listedAcquisitions();
    // The sensor types of a remote in the current acquisition.
    std::vector<int> sensorTypes(int remote);
    // Exports the sensor's samples and checks each line against what the kit encoded at
    // that frame counter and sample index. Returns the number of lines checked.
    int expectValuesMatchTruth(int remote, int sensorType, const std::string& csvName);
    // Samples the current acquisition holds for one sensor (from the stack report).
    int samplesOf(int remote, int sensorType);
};

}  // namespace reliability
