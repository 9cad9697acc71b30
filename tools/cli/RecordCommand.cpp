// korvex-cli record: configure, stream for a while or until Ctrl-C, stop, summarise.
#include "Runner.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace cli {

void Runner::showProgress(const Recording& rec, double elapsed, bool final) {
    if (ctx.quiet)
        return;
    std::string line = format("recording %6.1f s", elapsed);
    int lastRemote = 0;
    for (const auto& s : rec.sensors) {
        double time = 0;
        int rate = 0;
        long samples =
            session->lastSample(s.remote, s.sensorType, time, rate) ? std::lround(time * rate) : 0;
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

int Runner::record(const std::vector<std::pair<int, int>>& wanted, std::optional<double> duration,
                   Recording& rec) {
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
            return fail(ExitConfigRefused,
                        "no connected remote reports a fixed configuration; give --config R=C");
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
    auto started = log.waitForEvent("dataStarted", startMark, streamTimeout,
                                    [this] { return ctx.cancelled(); });
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
        std::fprintf(ctx.err,
                     "korvex-cli: streaming ended before the stop (was the dongle unplugged?)\n");
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
            j.beginObject()
                .key("remote")
                .value(remote)
                .key("fixedConfig")
                .value(config)
                .endObject();
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
            remotes +=
                format("%sremote %d configuration %d", remotes.empty() ? "" : ", ", remote, config);
        print(format("run %s: %.2f s recorded (%s)\n\n", rec.runId.c_str(), rec.seconds,
                     remotes.c_str()));
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
        print(format("\nThe run is stored as %s (korvex-cli runs, korvex-cli export %s).\n",
                     rec.runId.c_str(), rec.runId.c_str()));
        if (!ctx.args.has("no-stack") && !stacked)
            std::fprintf(ctx.err, "korvex-cli: the run could not be stacked\n");
    }
    return status;
}

} // namespace cli
