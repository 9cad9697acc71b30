// The commands of korvex-cli.
#include "Cli.h"
#include "Json.h"
#include "KitSession.h"
#include "Reports.h"
#include "ScriptEvents.h"
#include "SimulatedKit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto configTimeout = 5s;
constexpr auto streamTimeout = 5s;
constexpr int forceSensor = 8;
constexpr int forceOffset = 2047;   // the force probe's fixed zero, in raw counts

const std::vector<OptionSpec>& globalSpecs() {
    static const std::vector<OptionSpec> s = {
        {"simulate"}, {"sim-arg", true, true}, {"json"}, {"timeout", true}, {"remote-timeout", true},
        {"verbose"},  {"quiet"},              {"help"},
    };
    return s;
}

const std::map<std::string, std::vector<OptionSpec>>& commandSpecs() {
    static const std::map<std::string, std::vector<OptionSpec>> s = {
        {"state", {}},
        {"configure", {}},
        {"record", {{"config", true, true}, {"seconds", true}, {"export"}, {"prefix", true}, {"no-stack"}}},
        {"export", {{"remote", true}, {"sensor", true}, {"name", true}, {"prefix", true}, {"summary"}}},
        {"runs", {}},
        {"calibration", {{"remote-id", true}, {"sensor", true}, {"offset", true}, {"scale", true}}},
        {"tare",
         {{"remote", true}, {"from", true}, {"to", true}, {"seconds", true}, {"config", true}, {"run", true},
          {"save"}, {"export"}, {"name", true}}},
        {"help", {}},
    };
    return s;
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

std::string hexId(int id) { return format("0x%06x", static_cast<unsigned>(id)); }

std::string shortName(int sensorType) { return sensorKind(sensorType).name.substr(0, 5); }

// A file name for the export folder: plain names and sub-folders, nothing that climbs out.
bool isSafeExportName(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos)
        return false;
    std::filesystem::path p(name);
    for (const auto& part : p)
        if (part == "..")
            return false;
    return true;
}

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

    void observe(const ScriptMessage& m) {
        if (m.kind == ScriptMessage::Kind::Error || m.kind == ScriptMessage::Kind::Warning) {
            clearProgress();
            std::fprintf(ctx.err, "korvex: %s\n", problemLine(m).c_str());
        } else if (ctx.verbose) {
            clearProgress();
            if (m.kind == ScriptMessage::Kind::Event)
                std::fprintf(ctx.err, "korvex: event %s%s%s\n", m.name.c_str(), m.args.empty() ? "" : " ",
                             m.args.c_str());
            else
                std::fprintf(ctx.err, "korvex: %s\n", m.text.c_str());
        }
    }

    void clearProgress() {
        if (progressShown && isatty(fileno(ctx.err))) {
            std::fputs("\r\x1b[K", ctx.err);
            progressShown = false;
        }
    }

    int fail(int code, const std::string& message) {
        clearProgress();
        if (ctx.json) {
            JsonWriter j;
            j.beginObject().key("error").value(message).key("exitCode").value(code);
            problemsJson(j, 0);
            j.endObject();
            std::fprintf(ctx.out, "%s\n", j.text().c_str());
        }
        std::fprintf(ctx.err, "korvex-cli: %s\n", message.c_str());
        return code;
    }

    int usage(const std::string& message) {
        std::fprintf(ctx.err, "korvex-cli: %s\n(see korvex-cli %s --help)\n", message.c_str(), ctx.command.c_str());
        return ExitUsage;
    }

    void problemsJson(JsonWriter& j, std::size_t from) {
        j.key("libraryErrors").beginArray();
        for (const auto& line : log.problemsSince(from))
            j.value(line);
        j.endArray();
    }

    void print(const std::string& text) { std::fputs(text.c_str(), ctx.out); }

    // --- set-up -------------------------------------------------------------------------

    std::chrono::milliseconds seconds(double s) {
        return std::chrono::milliseconds(static_cast<long long>(s * 1000));
    }

    // Starts the simulated kit when asked, creates the API object and, when the command
    // needs the kit, starts the device side and waits for the dongle.
    int open(bool needDevice) {
        if (needDevice && ctx.args.has("simulate")) {
            sim = std::make_unique<SimulatedKit>();
            SimulatedKit::Options options;
            options.args = ctx.args.all("sim-arg");
            std::string error;
            if (!sim->start(options, error))
                return fail(ExitSimulatorFailed, "cannot start the simulated kit: " + error);
            if (ctx.verbose)
                std::fprintf(ctx.err, "korvex-cli: simulated kit on %s (registry %s)\n", sim->portPath().c_str(),
                             sim->runtimeDir().c_str());
        }
        session = std::make_unique<KitSession>(log);
        if (!needDevice)
            return ExitOk;
        session->startDevice();
        if (!session->waitForDongle(seconds(ctx.dongleTimeout), [this] { return ctx.cancelled(); })) {
            if (ctx.cancelled())
                return fail(ExitInterrupted, "interrupted while looking for the dongle");
            return fail(ExitNoDongle, format("no dongle found within %g s (is it plugged in? see EnumSer, "
                                             "KORVEX_PORT, or use --simulate)",
                                             ctx.dongleTimeout));
        }
        return ExitOk;
    }

    bool cancelledFn() const { return ctx.cancelled(); }

    // Waits for the remote's radio link; the exit code when it does not come.
    int needRemote(int remote) {
        if (session->waitForRemote(remote, seconds(ctx.remoteTimeout), [this] { return ctx.cancelled(); }))
            return ExitOk;
        if (ctx.cancelled())
            return fail(ExitInterrupted, "interrupted while waiting for remote " + std::to_string(remote));
        HardwareReport hw = session->hardware();
        return fail(ExitRemoteNotConnected,
                    format("remote %d is not connected (dongle mode %s; is the remote switched on and paired?)",
                           remote, dongleModeName(hw.dongleMode).c_str()));
    }

    // setFixedConfig and the remote's confirmation.
    int configure(int remote, int config) {
        std::size_t mark = log.mark();
        if (!session->api().setFixedConfig(remote, config))
            return configRefused(remote, config, mark, "refused");
        if (config == 0)
            return ExitOk;
        // A number without sensors is accepted by the library but can never record; say so
        // now rather than after waiting for a confirmation that will not come.
        auto sensors = session->acquisition().sensors;
        if (std::none_of(sensors.begin(), sensors.end(), [&](const AcquisitionSensor& s) { return s.remote == remote; }))
            return configRefused(remote, config, mark, "has no sensors: not a fixed configuration");
        if (!session->waitForConfigured(remote, config, configTimeout, [this] { return ctx.cancelled(); })) {
            if (ctx.cancelled())
                return fail(ExitInterrupted, "interrupted while configuring remote " + std::to_string(remote));
            return configRefused(remote, config, mark, "not confirmed by the remote");
        }
        return ExitOk;
    }

    int configRefused(int remote, int config, std::size_t mark, const char* what) {
        std::string message = format("configuration %d for remote %d %s", config, remote, what);
        // The library's error lines were shown as they came; point to the log when there
        // were none.
        if (log.problemsSince(mark).empty())
            message += " (no error line from the library; --verbose shows its log)";
        return fail(ExitConfigRefused, message);
    }

    // --- runs ---------------------------------------------------------------------------

    std::vector<StoredRun> storedRuns() {
        bson_t doc;
        bson_init(&doc);
        session->api().acquisitionManagement(&doc, 0, "");
        std::vector<StoredRun> runs;
        bson_iter_t iter, element;
        if (bson_iter_init_find(&iter, &doc, "acquisitionList") && BSON_ITER_HOLDS_ARRAY(&iter) &&
            bson_iter_recurse(&iter, &element)) {
            while (bson_iter_next(&element)) {
                if (!BSON_ITER_HOLDS_DOCUMENT(&element))
                    continue;
                uint32_t length = 0;
                const uint8_t* data = nullptr;
                bson_iter_document(&element, &length, &data);
                bson_t meta;
                if (!bson_init_static(&meta, data, length))
                    continue;
                StoredRun r;
                r.id = bsonString(&meta, "acquisitionID").value_or("");
                r.lastStartDate = bsonString(&meta, "lastStartDate").value_or("");
                r.dongleID = static_cast<int>(bsonNumber(&meta, "dongleID").value_or(0));
                r.configs[0] = static_cast<int>(bsonNumber(&meta, "remote1.fixedConfig").value_or(0));
                r.configs[1] = static_cast<int>(bsonNumber(&meta, "remote2.fixedConfig").value_or(0));
                r.remoteIDs[0] = static_cast<int>(bsonNumber(&meta, "remote1.remoteID").value_or(0));
                r.remoteIDs[1] = static_cast<int>(bsonNumber(&meta, "remote2.remoteID").value_or(0));
                r.json = bsonToJson(&meta);
                if (!r.id.empty())
                    runs.push_back(std::move(r));
            }
        }
        bson_destroy(&doc);
        // Oldest first; the start dates are ISO basic texts, which sort as times.
        std::stable_sort(runs.begin(), runs.end(),
                         [](const StoredRun& a, const StoredRun& b) { return a.lastStartDate < b.lastStartDate; });
        return runs;
    }

    // Resolves "last" and checks that the run exists; the run or an exit code.
    int findRun(const std::string& wanted, StoredRun& found) {
        auto runs = storedRuns();
        if (runs.empty())
            return fail(ExitFailed, "no stored runs in the work-file folder");
        if (wanted.empty() || wanted == "last") {
            found = runs.back();
            return ExitOk;
        }
        for (const auto& r : runs)
            if (r.id == wanted) {
                found = r;
                return ExitOk;
            }
        return fail(ExitFailed, "no stored run " + wanted + " (see korvex-cli runs)");
    }

    int reload(const StoredRun& run) {
        std::size_t mark = log.mark();
        bson_t doc;
        bson_init(&doc);
        session->api().acquisitionManagement(&doc, 1, run.id.c_str());
        bson_destroy(&doc);
        AcquisitionReport acq = session->acquisition();
        if (acq.id != run.id || !acq.fromDB) {
            std::string message = "could not reload run " + run.id;
            if (log.problemsSince(mark).empty())
                message += " (the library gave no reason; --verbose shows its log)";
            return fail(ExitFailed, message);
        }
        return ExitOk;
    }

    // --- summaries ----------------------------------------------------------------------

    std::vector<SensorSummary> summarise(const std::vector<AcquisitionSensor>& sensors) {
        std::vector<SensorSummary> out;
        for (const auto& s : sensors) {
            SensorSummary summary = ::summarise(session->sensorData(s.remote, s.sensorType));
            summary.remote = s.remote;
            summary.sensorType = s.sensorType;
            out.push_back(summary);
        }
        return out;
    }

    std::string summaryTable(const std::vector<SensorSummary>& summaries) {
        std::string t = format("%-6s  %-13s  %7s  %8s  %-12s  %11s  %11s  %s\n", "remote", "sensor", "samples",
                               "rate/Hz", "axis", "min", "max", "unit");
        for (const auto& s : summaries) {
            SensorKind kind = sensorKind(s.sensorType);
            std::string head = format("%-6d  %-13s  %7zu  %8.2f", s.remote, kind.name.c_str(), s.samples, s.measuredRate);
            if (s.axes.empty()) {
                t += head + "  (no data)\n";
                continue;
            }
            for (std::size_t a = 0; a < s.axes.size(); ++a) {
                std::string axis = a < kind.axes.size() ? kind.axes[a] : std::to_string(a);
                std::string unit = a < kind.units.size() ? kind.units[a] : "";
                t += (a == 0 ? head : std::string(head.size(), ' ')) +
                     format("  %-12s  %11.5g  %11.5g  %s\n", axis.c_str(), s.axes[a].min, s.axes[a].max, unit.c_str());
            }
        }
        return t;
    }

    void summaryJson(JsonWriter& j, const SensorSummary& s) {
        SensorKind kind = sensorKind(s.sensorType);
        j.key("remote").value(s.remote).key("sensorType").value(s.sensorType).key("name").value(kind.name);
        j.key("samples").value(static_cast<unsigned long>(s.samples));
        j.key("measuredRate").value(s.measuredRate).key("seconds").value(s.lastTime);
        j.key("axes").beginArray();
        for (std::size_t a = 0; a < s.axes.size(); ++a) {
            j.beginObject();
            j.key("axis").value(a < kind.axes.size() ? kind.axes[a] : std::to_string(a));
            j.key("unit").value(a < kind.units.size() ? kind.units[a] : "");
            j.key("min").value(s.axes[a].min).key("max").value(s.axes[a].max);
            j.endObject();
        }
        j.endArray();
    }

    // Exports each sensor; fills `paths` (by position) and returns the failures' texts.
    std::vector<std::string> exportAll(const std::vector<AcquisitionSensor>& sensors, const std::string& prefix,
                                       const std::string& singleName, std::vector<std::string>& paths) {
        std::vector<std::string> failures;
        paths.assign(sensors.size(), "");
        for (std::size_t i = 0; i < sensors.size(); ++i) {
            const auto& s = sensors[i];
            std::string name = !singleName.empty() ? singleName
                               : prefix.empty()    ? std::string()
                                                   : format("%s_%d_%d", prefix.c_str(), s.remote, s.sensorType);
            KitSession::ExportResult r = session->exportSensor(s.remote, s.sensorType, name);
            if (r.success)
                paths[i] = r.path;
            else
                failures.push_back(format("remote %d %s: %s", s.remote, sensorKind(s.sensorType).name.c_str(),
                                          r.error.c_str()));
        }
        return failures;
    }

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
    int record(const std::vector<std::pair<int, int>>& configs, std::optional<double> duration, Recording& out);
    void showProgress(const Recording& rec, double elapsed, bool final);
};

int Runner::run() {
    const std::string& c = ctx.command;
    if (c == "state")
        return cmdState();
    if (c == "configure")
        return cmdConfigure();
    if (c == "record")
        return cmdRecord();
    if (c == "export")
        return cmdExport();
    if (c == "runs")
        return cmdRuns();
    if (c == "calibration")
        return cmdCalibration();
    if (c == "tare")
        return cmdTare();
    return usage("unknown command " + c);
}

int Runner::cmdState() {
    if (!ctx.args.positionals.empty())
        return usage("state takes no arguments");
    if (int rc = open(true))
        return rc;
    // The dongle's status and the remotes' replies follow the discovery closely.
    KitSession::waitUntil(
        [this] {
            HardwareReport hw = session->hardware();
            return hw.dongleID != 0 && (hw.dongleMode == 8 || hw.dongleMode == 16 ||
                                        (hw.remote(1).pairStatus == 0 && hw.remote(2).pairStatus == 0));
        },
        std::min(seconds(ctx.remoteTimeout), std::chrono::milliseconds(3000)), [this] { return ctx.cancelled(); });
    std::this_thread::sleep_for(200ms);   // remote status replies of a connected kit
    bson_t doc;
    bson_init(&doc);
    session->api().getHardwareState(&doc);
    HardwareReport hw = readHardwareReport(&doc);
    if (ctx.json) {
        JsonWriter j;
        j.beginObject().key("hardware").raw(bsonToJson(&doc));
        problemsJson(j, 0);
        j.endObject();
        print(j.text() + "\n");
    } else {
        print(format("dongle    %s, id %s, firmware %d, mode %s\n", hw.donglePlugged ? "plugged" : "not plugged",
                     hexId(hw.dongleID).c_str(), hw.fwVersion, dongleModeName(hw.dongleMode).c_str()));
        for (int r = 1; r <= 2; ++r) {
            const RemoteSlot& s = hw.remote(r);
            std::string config = s.fixedConfig == 0 ? "no configuration"
                                                    : format("configuration %d%s", s.fixedConfig,
                                                             s.configured ? "" : " (layout not known yet)");
            print(format("remote %d  %s, id %s, %s, %s, battery %.2f V\n", r,
                         s.rfStatus == 1 ? "connected" : "not connected", hexId(s.remoteID).c_str(),
                         s.pairStatus == 1 ? "paired" : "not paired", config.c_str(), s.batteryVoltage));
        }
    }
    bson_destroy(&doc);
    return ExitOk;
}

int Runner::cmdConfigure() {
    if (ctx.args.positionals.size() != 2)
        return usage("configure takes REMOTE CONFIG");
    int remote = 0, config = 0;
    std::string error;
    if (!parseRemoteConfig(ctx.args.positionals[0] + "=" + ctx.args.positionals[1], remote, config, error))
        return usage(error);
    if (int rc = open(true))
        return rc;
    if (int rc = needRemote(remote))
        return rc;
    if (int rc = configure(remote, config))
        return rc;
    const RemoteSlot& s = session->hardware().remote(remote);
    if (ctx.json) {
        JsonWriter j;
        j.beginObject().key("remote").value(remote).key("fixedConfig").value(s.fixedConfig);
        j.key("configured").value(s.configured);
        problemsJson(j, 0);
        j.endObject();
        print(j.text() + "\n");
    } else {
        print(format("remote %d runs configuration %d\n", remote, s.fixedConfig));
    }
    return ExitOk;
}

void Runner::showProgress(const Recording& rec, double elapsed, bool final) {
    if (ctx.quiet)
        return;
    std::string line = format("recording %6.1f s", elapsed);
    int lastRemote = 0;
    for (const auto& s : rec.sensors) {
        double time = 0;
        int rate = 0;
        long samples = session->lastSample(s.remote, s.sensorType, time, rate) ? std::lround(time * rate) : 0;
        line += s.remote != lastRemote ? format(" | %d:", s.remote) : std::string();
        lastRemote = s.remote;
        line += format(" %s %ld", shortName(s.sensorType).c_str(), samples);
    }
    if (isatty(fileno(ctx.err))) {
        std::fprintf(ctx.err, "\r%s\x1b[K", line.c_str());
        progressShown = true;
        if (final) {
            std::fputc('\n', ctx.err);
            progressShown = false;
        }
    } else {
        std::fprintf(ctx.err, "%s\n", line.c_str());
    }
    std::fflush(ctx.err);
}

int Runner::record(const std::vector<std::pair<int, int>>& wanted, std::optional<double> duration, Recording& rec) {
    std::vector<std::pair<int, int>> configs = wanted;
    if (configs.empty()) {
        // Every connected remote, with the configuration it already has.
        KitSession::waitUntil(
            [this] {
                int mode = session->hardware().dongleMode;
                return mode == 8 || mode == 16;
            },
            seconds(ctx.remoteTimeout), [this] { return ctx.cancelled(); });
        std::this_thread::sleep_for(300ms);
        HardwareReport hw = session->hardware();
        bool anyConnected = false;
        for (int r = 1; r <= 2; ++r) {
            anyConnected = anyConnected || hw.remote(r).rfStatus == 1;
            if (hw.remote(r).rfStatus == 1 && hw.remote(r).fixedConfig != 0)
                configs.emplace_back(r, hw.remote(r).fixedConfig);
        }
        if (!anyConnected)
            return fail(ExitRemoteNotConnected, "no remote is connected");
        // The dongle reports a remote's configuration only once it has been set in this
        // session, so a fresh command usually has to be told.
        if (configs.empty())
            return fail(ExitConfigRefused, "no connected remote reports a fixed configuration; give --config R=C");
    }
    for (auto [remote, config] : configs)
        if (int rc = needRemote(remote))
            return rc;
    for (auto [remote, config] : configs) {
        if (int rc = configure(remote, config))
            return rc;
        rec.configs[remote] = config;
    }
    AcquisitionReport acq = session->acquisition();
    rec.sensors = acq.sensors;
    if (rec.sensors.empty())
        return fail(ExitFailed, "the acquisition holds no sensors after configuration");

    std::size_t startMark = log.mark();
    session->api().startDataAcquisition();
    auto started = log.waitForEvent("dataStarted", startMark, streamTimeout, [this] { return ctx.cancelled(); });
    if (!started) {
        if (ctx.cancelled())
            return fail(ExitInterrupted, "interrupted before streaming started");
        return fail(ExitStreamFailed, "streaming did not start");
    }

    auto lastProgress = Clock::now() - 1h;
    const bool tty = isatty(fileno(ctx.err));
    while (!ctx.cancelled()) {
        double elapsed = std::chrono::duration<double>(Clock::now() - started->received).count();
        if (duration && elapsed >= *duration)
            break;
        if (log.waitForEvent("dataStopped", startMark, 0ms)) {
            rec.endedEarly = true;
            break;
        }
        if (Clock::now() - lastProgress >= (tty ? 250ms : 1000ms)) {
            showProgress(rec, elapsed, false);
            lastProgress = Clock::now();
        }
        std::this_thread::sleep_for(20ms);
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - started->received).count();
    showProgress(rec, elapsed, true);

    if (!rec.endedEarly)
        session->api().stopDataAcquisition();
    auto stopped = log.waitForEvent("dataStopped", startMark, streamTimeout);
    if (!stopped)
        return fail(ExitStreamFailed, "the dongle did not leave data mode after the stop");
    if (rec.endedEarly)
        std::fprintf(ctx.err, "korvex-cli: streaming ended before the stop (was the dongle unplugged?)\n");
    rec.seconds = std::chrono::duration<double>(stopped->received - started->received).count();
    rec.runId = session->acquisition().id;
    return ExitOk;
}

int Runner::cmdRecord() {
    if (!ctx.args.positionals.empty())
        return usage("record takes no arguments, only options");
    std::vector<std::pair<int, int>> configs;
    for (const auto& text : ctx.args.all("config")) {
        int remote = 0, config = 0;
        std::string error;
        if (!parseRemoteConfig(text, remote, config, error))
            return usage(error);
        if (config == 0)
            return usage("a recording needs a configuration other than 0 (" + text + ")");
        for (auto& c : configs)
            if (c.first == remote)
                return usage("remote " + std::to_string(remote) + " is configured twice");
        configs.emplace_back(remote, config);
    }
    std::sort(configs.begin(), configs.end());
    std::optional<double> duration;
    if (ctx.args.has("seconds")) {
        duration = parseDouble(ctx.args.value("seconds"));
        if (!duration || *duration <= 0 || *duration > 24 * 3600)
            return usage("--seconds takes a positive number of seconds");
    }
    std::string prefix = ctx.args.value("prefix");
    if (ctx.args.has("prefix") && !isSafeExportName(prefix))
        return usage("--prefix must be a name inside the export folder");

    if (int rc = open(true))
        return rc;
    Recording rec;
    if (int rc = record(configs, duration, rec))
        return rc;

    int status = ExitOk;
    std::vector<SensorSummary> summaries = summarise(rec.sensors);
    std::vector<std::string> paths, exportFailures;
    if (ctx.args.has("export"))
        exportFailures = exportAll(rec.sensors, prefix, "", paths);
    bool stacked = false;
    if (!ctx.args.has("no-stack")) {
        stacked = session->api().stackAcquisition();
        if (!stacked)
            status = ExitFailed;
    }
    if (!exportFailures.empty())
        status = ExitFailed;

    if (ctx.json) {
        JsonWriter j;
        j.beginObject().key("run").value(rec.runId).key("seconds").value(rec.seconds);
        j.key("endedEarly").value(rec.endedEarly).key("stacked").value(stacked);
        j.key("remotes").beginArray();
        for (auto [remote, config] : rec.configs)
            j.beginObject().key("remote").value(remote).key("fixedConfig").value(config).endObject();
        j.endArray();
        j.key("sensors").beginArray();
        for (std::size_t i = 0; i < summaries.size(); ++i) {
            j.beginObject();
            summaryJson(j, summaries[i]);
            if (i < paths.size() && !paths[i].empty())
                j.key("csv").value(paths[i]);
            j.endObject();
        }
        j.endArray();
        j.key("exportErrors").beginArray();
        for (const auto& f : exportFailures)
            j.value(f);
        j.endArray();
        problemsJson(j, 0);
        j.endObject();
        print(j.text() + "\n");
    } else {
        std::string remotes;
        for (auto [remote, config] : rec.configs)
            remotes += format("%sremote %d configuration %d", remotes.empty() ? "" : ", ", remote, config);
        print(format("run %s: %.2f s recorded (%s)\n\n", rec.runId.c_str(), rec.seconds, remotes.c_str()));
        print(summaryTable(summaries));
        std::vector<std::string> written;
        for (const auto& p : paths)
            if (!p.empty())
                written.push_back(p);
        if (!written.empty()) {
            print(format("\nCSV files in %s:\n",
                         std::filesystem::path(written.front()).parent_path().string().c_str()));
            for (const auto& p : written)
                print("  " + std::filesystem::path(p).filename().string() + "\n");
        }
        for (const auto& f : exportFailures)
            std::fprintf(ctx.err, "korvex-cli: export failed: %s\n", f.c_str());
        print(format("\nThe run is stored as %s (korvex-cli runs, korvex-cli export %s).\n", rec.runId.c_str(),
                     rec.runId.c_str()));
        if (!ctx.args.has("no-stack") && !stacked)
            std::fprintf(ctx.err, "korvex-cli: the run could not be stacked\n");
    }
    return status;
}

int Runner::cmdExport() {
    if (ctx.args.positionals.size() > 1)
        return usage("export takes at most one run");
    std::string wanted = ctx.args.positionals.empty() ? "last" : ctx.args.positionals[0];
    std::optional<int> remote, sensor;
    if (ctx.args.has("remote") || ctx.args.has("sensor")) {
        remote = parseInt(ctx.args.value("remote"));
        sensor = parseInt(ctx.args.value("sensor"));
        if (!remote || (*remote != 1 && *remote != 2) || !sensor || *sensor <= 0)
            return usage("--remote (1 or 2) and --sensor (a sensor type) go together");
    }
    std::string name = ctx.args.value("name");
    if (ctx.args.has("name") && !remote)
        return usage("--name names one sensor: give --remote and --sensor too");
    if (ctx.args.has("name") && !isSafeExportName(name))
        return usage("--name must be a name inside the export folder");
    std::string prefix = ctx.args.value("prefix");
    if (ctx.args.has("prefix") && !isSafeExportName(prefix))
        return usage("--prefix must be a name inside the export folder");

    if (int rc = open(false))
        return rc;
    StoredRun run;
    if (int rc = findRun(wanted, run))
        return rc;
    if (int rc = reload(run))
        return rc;
    std::vector<AcquisitionSensor> sensors = session->acquisition().sensors;
    if (remote) {
        auto it = std::find_if(sensors.begin(), sensors.end(), [&](const AcquisitionSensor& s) {
            return s.remote == *remote && s.sensorType == *sensor;
        });
        if (it == sensors.end())
            return fail(ExitFailed, format("run %s has no sensor %d on remote %d", run.id.c_str(), *sensor, *remote));
        sensors = {*it};
    }
    std::vector<std::string> paths;
    auto failures = exportAll(sensors, prefix, name, paths);
    std::vector<SensorSummary> summaries;
    if (ctx.args.has("summary"))
        summaries = summarise(sensors);

    if (ctx.json) {
        JsonWriter j;
        j.beginObject().key("run").value(run.id).key("files").beginArray();
        for (std::size_t i = 0; i < sensors.size(); ++i) {
            j.beginObject().key("remote").value(sensors[i].remote).key("sensorType").value(sensors[i].sensorType);
            if (!paths[i].empty())
                j.key("csv").value(paths[i]);
            j.endObject();
        }
        j.endArray().key("sensors").beginArray();
        for (const auto& s : summaries) {
            j.beginObject();
            summaryJson(j, s);
            j.endObject();
        }
        j.endArray().key("exportErrors").beginArray();
        for (const auto& f : failures)
            j.value(f);
        j.endArray();
        problemsJson(j, 0);
        j.endObject();
        print(j.text() + "\n");
    } else {
        print("run " + run.id + "\n");
        for (const auto& p : paths)
            if (!p.empty())
                print("  " + p + "\n");
        if (!summaries.empty())
            print("\n" + summaryTable(summaries));
        for (const auto& f : failures)
            std::fprintf(ctx.err, "korvex-cli: export failed: %s\n", f.c_str());
    }
    return failures.empty() ? ExitOk : ExitFailed;
}

int Runner::cmdRuns() {
    const auto& p = ctx.args.positionals;
    std::string action = p.empty() ? "list" : p[0];
    if (action == "list") {
        if (p.size() > 1)
            return usage("runs list takes no arguments");
        if (int rc = open(false))
            return rc;
        auto runs = storedRuns();
        if (ctx.json) {
            JsonWriter j;
            j.beginObject().key("runs").beginArray();
            for (const auto& r : runs)
                j.raw(r.json);
            j.endArray();
            problemsJson(j, 0);
            j.endObject();
            print(j.text() + "\n");
        } else if (runs.empty()) {
            print("no stored runs\n");
        } else {
            print(format("%-36s  %-22s  %-8s  %-9s  %-9s\n", "run", "started", "dongle", "remote 1", "remote 2"));
            for (const auto& r : runs) {
                auto cfg = [](int c) { return c == 0 ? std::string("-") : format("config %d", c); };
                print(format("%-36s  %-22s  %-8s  %-9s  %-9s\n", r.id.c_str(), r.lastStartDate.c_str(),
                             hexId(r.dongleID).c_str(), cfg(r.configs[0]).c_str(), cfg(r.configs[1]).c_str()));
            }
        }
        return ExitOk;
    }
    if (action == "delete") {
        if (p.size() != 2)
            return usage("runs delete takes one run");
        if (int rc = open(false))
            return rc;
        StoredRun run;
        if (int rc = findRun(p[1], run))
            return rc;
        bson_t doc;
        bson_init(&doc);
        session->api().acquisitionManagement(&doc, 2, run.id.c_str());
        bson_destroy(&doc);
        for (const auto& r : storedRuns())
            if (r.id == run.id)
                return fail(ExitFailed, "run " + run.id + " could not be deleted");
        if (ctx.json)
            print("{\"deleted\":" + JsonWriter::quote(run.id) + "}\n");
        else
            print("deleted run " + run.id + "\n");
        return ExitOk;
    }
    return usage("runs takes list or delete");
}

int Runner::cmdCalibration() {
    const auto& p = ctx.args.positionals;
    std::string action = p.empty() ? "list" : p[0];
    if (p.size() > 1)
        return usage("calibration takes one action: list, save or delete");
    if (action == "list") {
        if (int rc = open(false))
            return rc;
        bson_t doc;
        bson_init(&doc);
        std::size_t mark = log.mark();
        session->api().calibrationManagement(&doc, 0);
        bson_iter_t iter, element;
        if (!bson_iter_init_find(&iter, &doc, "calibrationList") || !BSON_ITER_HOLDS_ARRAY(&iter) ||
            !bson_iter_recurse(&iter, &element)) {
            bson_destroy(&doc);
            (void)mark;
            return fail(ExitFailed, "the library returned no calibration list");
        }
        JsonWriter j;
        j.beginObject().key("calibrations").beginArray();
        std::string text;
        while (bson_iter_next(&element)) {
            if (!BSON_ITER_HOLDS_DOCUMENT(&element))
                continue;
            uint32_t length = 0;
            const uint8_t* data = nullptr;
            bson_iter_document(&element, &length, &data);
            bson_t record;
            if (!bson_init_static(&record, data, length))
                continue;
            j.raw(bsonToJson(&record));
            int id = static_cast<int>(bsonNumber(&record, "remoteID").value_or(0));
            int sensor = static_cast<int>(bsonNumber(&record, "sensor").value_or(0));
            auto numbers = [&](const char* key) {
                std::string s;
                if (auto single = bsonNumber(&record, key))
                    return format("%g", *single);
                for (int i = 0; i < 3; ++i)
                    if (auto v = bsonNumber(&record, (std::string(key) + "." + std::to_string(i)).c_str()))
                        s += (s.empty() ? "" : ",") + format("%g", *v);
                return s.empty() ? std::string("-") : s;
            };
            text += format("%-10s  %-13s  offset %-28s  scale %s\n", hexId(id).c_str(),
                           sensorKind(sensor).name.c_str(), numbers("calOffset").c_str(), numbers("calScale").c_str());
        }
        j.endArray();
        problemsJson(j, 0);
        j.endObject();
        bson_destroy(&doc);
        if (ctx.json)
            print(j.text() + "\n");
        else
            print(text.empty() ? "no calibration records\n" : format("%-10s  %-13s\n", "remote id", "sensor") + text);
        return ExitOk;
    }
    if (action != "save" && action != "delete")
        return usage("calibration takes list, save or delete");

    auto id = parseInt(ctx.args.value("remote-id"));
    auto sensor = parseInt(ctx.args.value("sensor"));
    if (!id || *id < 0 || *id > 0xFFFFFF)
        return usage("--remote-id takes the remote's 24-bit hardware identifier");
    if (!sensor || (*sensor != 1 && *sensor != 2 && *sensor != 3 && *sensor != forceSensor))
        return usage("--sensor takes 1, 2, 3 or 8");
    bson_t doc;
    bson_init(&doc);
    BSON_APPEND_INT32(&doc, "remoteID", *id);
    BSON_APPEND_INT32(&doc, "sensor", *sensor);
    if (action == "save") {
        auto offsets = parseNumberList(ctx.args.value("offset"));
        auto scales = parseNumberList(ctx.args.value("scale"));
        std::size_t count = *sensor == forceSensor ? 1 : 3;
        if (!offsets || offsets->size() != count || !scales || scales->size() != count) {
            bson_destroy(&doc);
            return usage(format("--offset and --scale take %zu number%s for this sensor", count, count == 1 ? "" : "s"));
        }
        for (double s : *scales)
            if (s == 0) {
                bson_destroy(&doc);
                return usage("a scale of 0 would make every value infinite");
            }
        auto append = [&](const char* key, const std::vector<double>& values) {
            if (values.size() == 1) {
                BSON_APPEND_DOUBLE(&doc, key, values[0]);
                return;
            }
            bson_t array;
            bson_append_array_begin(&doc, key, -1, &array);
            for (std::size_t i = 0; i < values.size(); ++i)
                BSON_APPEND_DOUBLE(&array, std::to_string(i).c_str(), values[i]);
            bson_append_array_end(&doc, &array);
        };
        append("calOffset", *offsets);
        append("calScale", *scales);
    }
    if (int rc = open(false)) {
        bson_destroy(&doc);
        return rc;
    }
    session->api().calibrationManagement(&doc, action == "save" ? 3 : 2);
    auto success = bsonBool(&doc, "success");
    std::string error = bsonString(&doc, "error").value_or("");
    bson_destroy(&doc);
    if (!success)
        return fail(ExitFailed, "the library did not answer the calibration " + action);
    if (!*success)
        return fail(ExitFailed, "calibration " + action + " failed: " + error);
    if (ctx.json)
        print(format("{\"%s\":true,\"remoteID\":%d,\"sensor\":%d}\n", action == "save" ? "saved" : "deleted", *id,
                     *sensor));
    else
        print(format("%s calibration of %s for remote %s\n", action == "save" ? "saved" : "deleted",
                     sensorKind(*sensor).name.c_str(), hexId(*id).c_str()));
    return ExitOk;
}

int Runner::cmdTare() {
    if (!ctx.args.positionals.empty())
        return usage("tare takes options only");
    auto remote = parseInt(ctx.args.value("remote"));
    if (!remote || (*remote != 1 && *remote != 2))
        return usage("--remote takes 1 or 2");
    auto from = parseDouble(ctx.args.value("from", "0"));
    auto to = parseDouble(ctx.args.value("to", "-1"));
    if (!from || !to)
        return usage("--from and --to take times in seconds");
    if (*to >= 0 && *from >= 0 && *to <= *from)
        return usage("--to must come after --from");
    bool live = ctx.args.has("seconds");
    if (live == ctx.args.has("run"))
        return usage("give either --seconds N (record now) or --run RUN (a stored run)");
    std::string name = ctx.args.value("name");
    if (ctx.args.has("name") && (!ctx.args.has("export") || !isSafeExportName(name)))
        return usage("--name goes with --export and must be a name inside the export folder");

    int remoteID = 0;
    if (live) {
        auto duration = parseDouble(ctx.args.value("seconds"));
        if (!duration || *duration <= 0 || *duration > 3600)
            return usage("--seconds takes a positive number of seconds");
        std::vector<std::pair<int, int>> configs;
        if (ctx.args.has("config")) {
            auto config = parseInt(ctx.args.value("config"));
            if (!config || *config <= 0 || *config > 255)
                return usage("--config takes a fixed configuration number");
            configs.emplace_back(*remote, *config);
        }
        if (int rc = open(true))
            return rc;
        if (configs.empty()) {
            if (int rc = needRemote(*remote))
                return rc;
            int own = session->hardware().remote(*remote).fixedConfig;
            if (own == 0)
                return fail(ExitConfigRefused, format("remote %d has no configuration; give --config", *remote));
            configs.emplace_back(*remote, own);
        }
        Recording rec;
        if (int rc = record(configs, duration, rec))
            return rc;
        remoteID = session->hardware().remote(*remote).remoteID;
    } else {
        if (int rc = open(false))
            return rc;
        StoredRun run;
        if (int rc = findRun(ctx.args.value("run"), run))
            return rc;
        if (int rc = reload(run))
            return rc;
        remoteID = run.remoteIDs[*remote - 1];
    }

    auto sensors = session->acquisition().sensors;
    if (std::none_of(sensors.begin(), sensors.end(),
                     [&](const AcquisitionSensor& s) { return s.remote == *remote && s.sensorType == forceSensor; }))
        return fail(ExitFailed, format("remote %d has no force sensor in this run", *remote));

    SensorSeries converted = session->sensorData(*remote, forceSensor);
    SensorSeries raw = session->rawSensorData(*remote, forceSensor, 0, -1);
    SensorSeries window = session->rawSensorData(*remote, forceSensor, *from, *to);
    if (window.columns.empty() || window.columns[0].empty())
        return fail(ExitFailed, "no force samples in the window");
    double sum = 0;
    for (float v : window.columns[0])
        sum += v;
    const double mean = sum / static_cast<double>(window.columns[0].size());
    const double tare = mean - forceOffset;

    // The scale in use, from the spread of the readings: value = (raw - offset - tare) / scale.
    std::optional<double> scale;
    if (!converted.columns.empty() && !raw.columns.empty() && converted.times.size() == raw.times.size()) {
        const auto& c = converted.columns[0];
        const auto& r = raw.columns[0];
        auto [lo, hi] = std::minmax_element(r.begin(), r.end());
        auto i = static_cast<std::size_t>(lo - r.begin()), k = static_cast<std::size_t>(hi - r.begin());
        if (*hi - *lo >= 1 && c[k] != c[i])
            scale = (static_cast<double>(r[k]) - r[i]) / (static_cast<double>(c[k]) - c[i]);
    }

    SensorSummary before = ::summarise(converted);
    std::size_t mark = log.mark();
    session->api().resetSensorOffset(*remote, forceSensor, *from, *to);
    if (!session->api().recalibrateSensor(*remote, forceSensor))
        return fail(ExitFailed, "the force sensor could not be re-converted");
    (void)mark;
    SensorSummary after = ::summarise(session->sensorData(*remote, forceSensor));

    int status = ExitOk;
    std::string saved, exported, problem;
    if (ctx.args.has("save")) {
        if (!scale) {
            problem = "not saved: the readings did not vary, so the scale in use cannot be told";
            status = ExitFailed;
        } else if (remoteID <= 0) {
            problem = "not saved: the remote's hardware identifier is not known";
            status = ExitFailed;
        } else {
            bson_t doc;
            bson_init(&doc);
            BSON_APPEND_INT32(&doc, "remoteID", remoteID);
            BSON_APPEND_INT32(&doc, "sensor", forceSensor);
            BSON_APPEND_DOUBLE(&doc, "calOffset", tare);
            BSON_APPEND_DOUBLE(&doc, "calScale", *scale);
            session->api().calibrationManagement(&doc, 3);
            if (bsonBool(&doc, "success").value_or(false)) {
                saved = hexId(remoteID);
            } else {
                problem = "not saved: " + bsonString(&doc, "error").value_or("the library did not answer");
                status = ExitFailed;
            }
            bson_destroy(&doc);
        }
    }
    if (ctx.args.has("export")) {
        auto r = session->exportSensor(*remote, forceSensor, name);
        if (r.success) {
            exported = r.path;
        } else {
            problem += (problem.empty() ? "" : "; ") + ("export failed: " + r.error);
            status = ExitFailed;
        }
    }

    auto range = [](const SensorSummary& s) {
        return s.axes.empty() ? std::string("no data") : format("%.4g .. %.4g N", s.axes[0].min, s.axes[0].max);
    };
    if (ctx.json) {
        JsonWriter j;
        j.beginObject().key("remote").value(*remote).key("tareCounts").value(tare);
        j.key("windowSamples").value(static_cast<unsigned long>(window.columns[0].size()));
        if (scale)
            j.key("scale").value(*scale);
        j.key("before").beginObject();
        summaryJson(j, before);
        j.endObject().key("after").beginObject();
        summaryJson(j, after);
        j.endObject();
        if (!saved.empty())
            j.key("savedFor").value(saved);
        if (!exported.empty())
            j.key("csv").value(exported);
        if (!problem.empty())
            j.key("problem").value(problem);
        problemsJson(j, 0);
        j.endObject();
        print(j.text() + "\n");
    } else {
        print(format("force of remote %d: tare %.2f counts from %zu samples\n", *remote, tare,
                     window.columns[0].size()));
        print("  before: " + range(before) + "\n  after:  " + range(after) + "\n");
        if (!saved.empty())
            print("  saved as the force calibration of remote " + saved + "\n");
        if (!exported.empty())
            print("  " + exported + "\n");
        if (!problem.empty())
            std::fprintf(ctx.err, "korvex-cli: %s\n", problem.c_str());
    }
    return status;
}

} // namespace

int runCli(const std::vector<std::string>& argv, FILE* out, FILE* err, const std::atomic<bool>* interrupted) {
    CliContext ctx;
    ctx.out = out;
    ctx.err = err;
    ctx.interrupted = interrupted;

    // The command is the first word that is neither an option nor a global option's value.
    std::size_t commandAt = argv.size();
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.rfind("-", 0) == 0) {
            std::string name = a.substr(a.find_first_not_of('-'));
            bool takesValue = name.find('=') == std::string::npos &&
                              std::any_of(globalSpecs().begin(), globalSpecs().end(),
                                          [&](const OptionSpec& s) { return s.takesValue && s.name == name; });
            if (takesValue)
                ++i;
            continue;
        }
        commandAt = i;
        break;
    }
    if (commandAt == argv.size()) {
        bool help = std::find(argv.begin(), argv.end(), "--help") != argv.end() ||
                    std::find(argv.begin(), argv.end(), "-h") != argv.end();
        std::fputs(mainHelp().c_str(), help ? out : err);
        return help ? ExitOk : ExitUsage;
    }
    ctx.command = argv[commandAt];
    auto specIt = commandSpecs().find(ctx.command);
    if (specIt == commandSpecs().end()) {
        std::fprintf(err, "korvex-cli: unknown command %s (see korvex-cli --help)\n", ctx.command.c_str());
        return ExitUsage;
    }
    std::vector<OptionSpec> specs = globalSpecs();
    specs.insert(specs.end(), specIt->second.begin(), specIt->second.end());
    std::vector<std::string> rest(argv.begin(), argv.begin() + static_cast<std::ptrdiff_t>(commandAt));
    rest.insert(rest.end(), argv.begin() + static_cast<std::ptrdiff_t>(commandAt) + 1, argv.end());
    std::string error;
    if (!parseArgs(rest, specs, ctx.args, error)) {
        std::fprintf(err, "korvex-cli %s: %s (see korvex-cli %s --help)\n", ctx.command.c_str(), error.c_str(),
                     ctx.command.c_str());
        return ExitUsage;
    }
    if (ctx.command == "help") {
        if (ctx.args.positionals.empty()) {
            std::fputs(mainHelp().c_str(), out);
            return ExitOk;
        }
        std::string page = commandHelp(ctx.args.positionals[0]);
        if (page.empty()) {
            std::fprintf(err, "korvex-cli: no command %s\n", ctx.args.positionals[0].c_str());
            return ExitUsage;
        }
        std::fputs(page.c_str(), out);
        return ExitOk;
    }
    if (ctx.args.has("help")) {
        std::fputs(commandHelp(ctx.command).c_str(), out);
        return ExitOk;
    }
    ctx.json = ctx.args.has("json");
    ctx.verbose = ctx.args.has("verbose");
    ctx.quiet = ctx.args.has("quiet");
    for (auto [name, target] : {std::pair{"timeout", &ctx.dongleTimeout}, std::pair{"remote-timeout", &ctx.remoteTimeout}}) {
        if (!ctx.args.has(name))
            continue;
        auto v = parseDouble(ctx.args.value(name));
        if (!v || *v < 0 || *v > 3600) {
            std::fprintf(err, "korvex-cli: --%s takes a number of seconds\n", name);
            return ExitUsage;
        }
        *target = *v;
    }
    Runner runner(ctx);
    int rc = runner.run();
    std::fflush(out);
    return rc;
}
