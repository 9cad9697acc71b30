// korvex-cli runs and export: the stored runs of the work-file folder, and their CSV files.
#include "Runner.h"

#include <algorithm>
#include <filesystem>

namespace cli {

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
            print(format("%-36s  %-22s  %-8s  %-9s  %-9s\n", "run", "started", "dongle", "remote 1",
                         "remote 2"));
            for (const auto& r : runs) {
                auto cfg = [](int c) { return c == 0 ? std::string("-") : format("config %d", c); };
                print(format("%-36s  %-22s  %-8s  %-9s  %-9s\n", r.id.c_str(),
                             r.lastStartDate.c_str(), hexId(r.dongleID).c_str(),
                             cfg(r.configs[0]).c_str(), cfg(r.configs[1]).c_str()));
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
            return fail(ExitFailed, format("run %s has no sensor %d on remote %d", run.id.c_str(),
                                           *sensor, *remote));
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
            j.beginObject()
                .key("remote")
                .value(sensors[i].remote)
                .key("sensorType")
                .value(sensors[i].sensorType);
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

} // namespace cli
