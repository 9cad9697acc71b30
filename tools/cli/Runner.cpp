// korvex-cli: what the commands share: messages, set-up of the kit, stored runs, summaries.
#include "Runner.h"

#include <algorithm>
#include <cstdarg>
#include <filesystem>
#include <unistd.h>

namespace cli {

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

bool isSafeExportName(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos)
        return false;
    std::filesystem::path p(name);
    for (const auto& part : p)
        if (part == "..")
            return false;
    return true;
}

void Runner::observe(const ScriptMessage& m) {
    if (m.kind == ScriptMessage::Kind::Error || m.kind == ScriptMessage::Kind::Warning) {
        clearProgress();
        std::fprintf(ctx.err, "korvex: %s\n", problemLine(m).c_str());
    } else if (ctx.verbose) {
        clearProgress();
        if (m.kind == ScriptMessage::Kind::Event)
            std::fprintf(ctx.err, "korvex: event %s%s%s\n", m.name.c_str(),
                         m.args.empty() ? "" : " ", m.args.c_str());
        else
            std::fprintf(ctx.err, "korvex: %s\n", m.text.c_str());
    }
}

void Runner::clearProgress() {
    if (progressShown && isatty(fileno(ctx.err))) {
        std::fputs("\r\x1b[K", ctx.err);
        progressShown = false;
    }
}

int Runner::fail(int code, const std::string& message) {
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

int Runner::usage(const std::string& message) {
    std::fprintf(ctx.err, "korvex-cli: %s\n(see korvex-cli %s --help)\n", message.c_str(),
                 ctx.command.c_str());
    return ExitUsage;
}

void Runner::problemsJson(JsonWriter& j, std::size_t from) {
    j.key("libraryErrors").beginArray();
    for (const auto& line : log.problemsSince(from))
        j.value(line);
    j.endArray();
}

std::chrono::milliseconds Runner::seconds(double s) {
    return std::chrono::milliseconds(static_cast<long long>(s * 1000));
}

int Runner::open(bool needDevice) {
    if (needDevice && ctx.args.has("simulate")) {
        sim = std::make_unique<SimulatedKit>();
        SimulatedKit::Options options;
        options.args = ctx.args.all("sim-arg");
        std::string error;
        if (!sim->start(options, error))
            return fail(ExitSimulatorFailed, "cannot start the simulated kit: " + error);
        if (ctx.verbose)
            std::fprintf(ctx.err, "korvex-cli: simulated kit on %s (registry %s)\n",
                         sim->portPath().c_str(), sim->runtimeDir().c_str());
    }
    session = std::make_unique<KitSession>(log);
    if (!needDevice)
        return ExitOk;
    session->startDevice();
    if (!session->waitForDongle(seconds(ctx.dongleTimeout), [this] { return ctx.cancelled(); })) {
        if (ctx.cancelled())
            return fail(ExitInterrupted, "interrupted while looking for the dongle");
        return fail(ExitNoDongle,
                    format("no dongle found within %g s (is it plugged in? see EnumSer, "
                           "KORVEX_PORT, or use --simulate)",
                           ctx.dongleTimeout));
    }
    return ExitOk;
}

int Runner::needRemote(int remote) {
    if (session->waitForRemote(remote, seconds(ctx.remoteTimeout),
                               [this] { return ctx.cancelled(); }))
        return ExitOk;
    if (ctx.cancelled())
        return fail(ExitInterrupted,
                    "interrupted while waiting for remote " + std::to_string(remote));
    HardwareReport hw = session->hardware();
    return fail(
        ExitRemoteNotConnected,
        format("remote %d is not connected (dongle mode %s; is the remote switched on and paired?)",
               remote, dongleModeName(hw.dongleMode).c_str()));
}

int Runner::configure(int remote, int config) {
    std::size_t mark = log.mark();
    if (!session->api().setFixedConfig(remote, config))
        return configRefused(remote, config, mark, "refused");
    if (config == 0)
        return ExitOk;
    // A number without sensors is accepted by the library but can never record; say so
    // now rather than after waiting for a confirmation that will not come.
    auto sensors = session->acquisition().sensors;
    if (std::none_of(sensors.begin(), sensors.end(),
                     [&](const AcquisitionSensor& s) { return s.remote == remote; }))
        return configRefused(remote, config, mark, "has no sensors: not a fixed configuration");
    if (!session->waitForConfigured(remote, config, configTimeout,
                                    [this] { return ctx.cancelled(); })) {
        if (ctx.cancelled())
            return fail(ExitInterrupted,
                        "interrupted while configuring remote " + std::to_string(remote));
        return configRefused(remote, config, mark, "not confirmed by the remote");
    }
    return ExitOk;
}

int Runner::configRefused(int remote, int config, std::size_t mark, const char* what) {
    std::string message = format("configuration %d for remote %d %s", config, remote, what);
    // The library's error lines were shown as they came; point to the log when there
    // were none.
    if (log.problemsSince(mark).empty())
        message += " (no error line from the library; --verbose shows its log)";
    return fail(ExitConfigRefused, message);
}

std::vector<StoredRun> Runner::storedRuns() {
    bson_t doc;
    bson_init(&doc);
    session->api().acquisitionManagement(&doc, 0, "");
    std::vector<StoredRun> runs;
    bson_iter_t iter;
    if (bson_iter_init_find(&iter, &doc, "acquisitionList")) {
        forEachDocument(iter, [&](const bson_t* meta) {
            StoredRun r;
            r.id = bsonString(meta, "acquisitionID").value_or("");
            r.lastStartDate = bsonString(meta, "lastStartDate").value_or("");
            r.dongleID = static_cast<int>(bsonNumber(meta, "dongleID").value_or(0));
            r.configs[0] = static_cast<int>(bsonNumber(meta, "remote1.fixedConfig").value_or(0));
            r.configs[1] = static_cast<int>(bsonNumber(meta, "remote2.fixedConfig").value_or(0));
            r.remoteIDs[0] = static_cast<int>(bsonNumber(meta, "remote1.remoteID").value_or(0));
            r.remoteIDs[1] = static_cast<int>(bsonNumber(meta, "remote2.remoteID").value_or(0));
            r.json = bsonToJson(meta);
            if (!r.id.empty())
                runs.push_back(std::move(r));
        });
    }
    bson_destroy(&doc);
    // Oldest first; the start dates are ISO basic texts, which sort as times.
    std::stable_sort(runs.begin(), runs.end(), [](const StoredRun& a, const StoredRun& b) {
        return a.lastStartDate < b.lastStartDate;
    });
    return runs;
}

int Runner::findRun(const std::string& wanted, StoredRun& found) {
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

int Runner::reload(const StoredRun& run) {
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

std::vector<SensorSummary> Runner::summarise(const std::vector<AcquisitionSensor>& sensors) {
    std::vector<SensorSummary> out;
    for (const auto& s : sensors) {
        SensorSummary summary = ::summarise(session->sensorData(s.remote, s.sensorType));
        summary.remote = s.remote;
        summary.sensorType = s.sensorType;
        out.push_back(summary);
    }
    return out;
}

std::string Runner::summaryTable(const std::vector<SensorSummary>& summaries) {
    std::string t = format("%-6s  %-13s  %7s  %8s  %-12s  %11s  %11s  %s\n", "remote", "sensor",
                           "samples", "rate/Hz", "axis", "min", "max", "unit");
    for (const auto& s : summaries) {
        SensorKind kind = sensorKind(s.sensorType);
        std::string head = format("%-6d  %-13s  %7zu  %8.2f", s.remote, kind.name.c_str(),
                                  s.samples, s.measuredRate);
        if (s.axes.empty()) {
            t += head + "  (no data)\n";
            continue;
        }
        for (std::size_t a = 0; a < s.axes.size(); ++a) {
            std::string axis = a < kind.axes.size() ? kind.axes[a] : std::to_string(a);
            std::string unit = a < kind.units.size() ? kind.units[a] : "";
            t += (a == 0 ? head : std::string(head.size(), ' ')) +
                 format("  %-12s  %11.5g  %11.5g  %s\n", axis.c_str(), s.axes[a].min, s.axes[a].max,
                        unit.c_str());
        }
    }
    return t;
}

void Runner::summaryJson(JsonWriter& j, const SensorSummary& s) {
    SensorKind kind = sensorKind(s.sensorType);
    j.key("remote")
        .value(s.remote)
        .key("sensorType")
        .value(s.sensorType)
        .key("name")
        .value(kind.name);
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

std::vector<std::string> Runner::exportAll(const std::vector<AcquisitionSensor>& sensors,
                                           const std::string& prefix, const std::string& singleName,
                                           std::vector<std::string>& paths) {
    std::vector<std::string> failures;
    paths.assign(sensors.size(), "");
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        const auto& s = sensors[i];
        std::string name = !singleName.empty() ? singleName
                           : prefix.empty()
                               ? std::string()
                               : format("%s_%d_%d", prefix.c_str(), s.remote, s.sensorType);
        KitSession::ExportResult r = session->exportSensor(s.remote, s.sensorType, name);
        if (r.success)
            paths[i] = r.path;
        else
            failures.push_back(format("remote %d %s: %s", s.remote,
                                      sensorKind(s.sensorType).name.c_str(), r.error.c_str()));
    }
    return failures;
}

} // namespace cli
