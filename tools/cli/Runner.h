// korvex-cli's commands: what they share (the session with the kit, stored runs, summaries).
// Each command lives in a file of its own: StateCommands.cpp (state, configure),
// RecordCommand.cpp, RunsCommands.cpp (runs, export), CalibrationCommand.cpp, TareCommand.cpp.
#pragma once

#include "Cli.h"
#include "Json.h"
#include "KitSession.h"
#include "Reports.h"
#include "ScriptEvents.h"
#include "SimulatedKit.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cli {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto configTimeout = 5s;
constexpr auto streamTimeout = 5s;
constexpr int forceSensor = 8;
constexpr int forceOffset = 2047; // the force probe's fixed zero, in raw counts

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string hexId(int id);
std::string shortName(int sensorType);

// A file name for the export folder: plain names and sub-folders, nothing that climbs out.
bool isSafeExportName(const std::string& name);

// A run's metadata, as listed by the library.
struct StoredRun {
    std::string id;
    std::string lastStartDate;
    int dongleID = 0;
    int configs[2] = {0, 0};
    int remoteIDs[2] = {0, 0};
    std::string json;
};

class Runner {
public:
    explicit Runner(CliContext& ctx) : ctx(ctx) {
        log.setObserver([this](const ScriptMessage& m) { observe(m); });
    }

    ~Runner() {
        // The library first (its workers stop and the port closes), then the kit.
        session.reset();
        if (sim)
            sim->stop();
    }

    int run();

private:
    CliContext& ctx;
    EventLog log;
    std::unique_ptr<SimulatedKit> sim;
    std::unique_ptr<KitSession> session;
    bool progressShown = false;

    // --- messages -------------------------------------------------------------------

    void observe(const ScriptMessage& m);
    void clearProgress();
    int fail(int code, const std::string& message);
    int usage(const std::string& message);
    void problemsJson(JsonWriter& j, std::size_t from);
    void print(const std::string& text) { std::fputs(text.c_str(), ctx.out); }

    // --- set-up -------------------------------------------------------------------------

    std::chrono::milliseconds seconds(double s);

    // Starts the simulated kit when asked, creates the API object and, when the command
    // needs the kit, starts the device side and waits for the dongle.
    int open(bool needDevice);

    // Waits for the remote's radio link; the exit code when it does not come.
    int needRemote(int remote);

    // setFixedConfig and the remote's confirmation.
    int configure(int remote, int config);
    int configRefused(int remote, int config, std::size_t mark, const char* what);

    // --- runs ---------------------------------------------------------------------------

    std::vector<StoredRun> storedRuns();

    // Resolves "last" and checks that the run exists; the run or an exit code.
    int findRun(const std::string& wanted, StoredRun& found);
    int reload(const StoredRun& run);

    // --- summaries ----------------------------------------------------------------------

    std::vector<SensorSummary> summarise(const std::vector<AcquisitionSensor>& sensors);
    std::string summaryTable(const std::vector<SensorSummary>& summaries);
    void summaryJson(JsonWriter& j, const SensorSummary& s);

    // Exports each sensor; fills `paths` (by position) and returns the failures' texts.
    std::vector<std::string> exportAll(const std::vector<AcquisitionSensor>& sensors,
                                       const std::string& prefix, const std::string& singleName,
                                       std::vector<std::string>& paths);

    // --- commands -----------------------------------------------------------------------

    int cmdState();
    int cmdConfigure();
    int cmdRecord();
    int cmdExport();
    int cmdRuns();
    int cmdCalibration();
    int cmdTare();

    struct Recording {
        std::string runId;
        double seconds = 0;
        std::map<int, int> configs;
        std::vector<AcquisitionSensor> sensors;
        bool endedEarly = false;
    };
    int record(const std::vector<std::pair<int, int>>& configs, std::optional<double> duration,
               Recording& out);
    void showProgress(const Recording& rec, double elapsed, bool final);
};

} // namespace cli
