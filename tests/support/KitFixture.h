// The kit tests' fixture: the library through its public interface against the simulated kit
// in-process (KitBase), with the kit's own record of what it did. Every data frame it sent is
// kept with the values behind it, every frame it read as a log line, and the tests hold the
// library's samples, files and counts against that record. Waits are on what the kit did
// (frames sent, commands read) or on the library's state, never on the clock alone.
#pragma once

#include "tests/support/KitBase.h"
#include "tools/dongle-sim/DongleSim.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// One sensor's samples as getSensorData hands them out (no resampling).
struct Series {
    int32_t reportedRate = 0;
    std::vector<float> time;
    std::vector<std::vector<float>> values; // [axis][sample]
    std::vector<std::vector<float>> raw;    // [axis][sample]
    size_t size() const { return time.size(); }
    // The rate behind the time stamps: the k-th sample (k from 1) is stamped k / rate.
    double rate() const { return time.empty() ? 0.0 : double(time.size()) / time.back(); }
};

using Snapshot = std::map<std::pair<int, int>, Series>; // (remote, sensor type) -> samples

// What a host decodes from one remote's frames, per sensor type, in arrival order. Every run
// (a run restarts the kit's frame index) leaves out its warm-up frames (counter below 10).
// Configuration 47's samples come as the combined ECG (sensor type ecgCombined): the three
// electrodes of the ECG block's d-th sample, then the d-th sample of each chest input.
struct Truth {
    static constexpr int ecgCombined = 241;
    std::map<int, std::vector<std::vector<double>>> samples;
    int64_t frameSpan = 0; // 10 ms frames from each run's first taken frame to its last
    size_t count(int type) const;
    // Samples per 10 ms frame, times 100: exact whenever the pace is a whole number.
    double measuredRate(int type) const;
};
Truth truthOf(const std::vector<SimDataFrame>& frames);

// Two series hold the same samples, times and raw values, bit for bit.
void expectIdentical(const Series& live, const Series& reloaded, const std::string& what);
void expectSameSamples(const Snapshot& live, const Snapshot& reloaded);

class KitFixture : public KitBase {
protected:
    // What the kit looks like when the test starts; a test adjusts it before SetUp runs.
    DongleSim::Options options;
    // False: SetUp starts only the kit; the test starts the library (or another process does).
    bool apiAtSetUp = true;

    void SetUp() override;

    // The dongle is found and both remotes are connected.
    bool waitReady();
    // Sets the remote's configuration and waits until the whole exchange is answered: the
    // packet layout and, last of the replies that change the model, the configuration itself.
    bool configure(int remote, int config);
    // waitReady, then configure each remote with a configuration (0: leave it out).
    bool configureBoth(int config1, int config2);
    // Start or stop a run and wait for the library's event that it started or ended.
    bool startRun();
    bool stopRun();
    // Waits until the kit has sent `more` data frames beyond those it sent so far.
    bool waitFrames(size_t more);
    // A run of `frames` data frames (counted over both remotes): start, wait, stop.
    bool stream(size_t frames);

    // Sends two questions and waits until the kit has read the second. The library sends its
    // commands one at a time, in the order queued, each once the one before was answered:
    // by then every command queued earlier has reached the kit and every frame the kit sent
    // before the first answer has been handled. A check that something did not happen follows.
    bool commandBarrier();

    // The kit's record, in the order it sent the frames.
    std::vector<SimDataFrame> sentFrames() const;
    std::vector<SimDataFrame> framesOf(int remote) const;
    size_t sentCount() const;
    uint64_t sentBytes() const;
    // Frames the kit read from the host, by protocol name, as "<- NAME  [bytes]" lines.
    std::vector<std::string> commandsSeen(const std::string& name) const;

    // The data frames of every raw file held against what the kit put on the line.
    struct LineCount {
        size_t sent = 0;      // data frames the kit sent (second copies not counted)
        size_t unaltered = 0; // of them, put on the line as they were built
        size_t recorded = 0;  // frames in the raw files
        size_t missing = 0;   // unaltered frames sent that no raw file holds
        size_t foreign = 0;   // recorded frames that are not a frame the kit built
    };
    LineCount lineCount() const;
    // Waits until there is one raw file and it holds as many bytes as the kit sent in frames.
    bool recordedWhole();
    // Every frame of the raw file is one the kit sent, in the order sent, and the file ends
    // on a frame's end. Returns the number of frames in the file.
    size_t expectRecordingIsPrefixOfSent(const fs::path& raw);

    Series query(int remote, int sensorType, int axis = -1);
    // Samples the current acquisition holds for one sensor, as the stack reports them.
    int samplesOf(int remote, int sensorType);
    // The sensor types of a remote in the current acquisition, in the stack's order.
    std::vector<int> sensorTypes(int remote);
    // Every sensor of the current acquisition, or the ones named, as the page would list them.
    Snapshot snapshot();
    Snapshot snapshot(const std::map<int, std::vector<int>>& sensors);
    // Loads a recorded acquisition; true when it became the current one.
    bool reload(const std::string& id);
    std::vector<std::string> listedAcquisitions();
    // Exports the sensor's samples and checks each line against what the kit encoded at that
    // frame counter and sample index. Returns the number of lines checked.
    int expectValuesMatchTruth(int remote, int sensorType, const std::string& csvName);

private:
    mutable std::mutex kitLock;
    std::vector<SimDataFrame> sent;
    std::vector<std::string> kitLog;
};
