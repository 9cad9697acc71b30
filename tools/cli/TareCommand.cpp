// korvex-cli tare: the force probe's zero from a quiet stretch of a run.
#include "Runner.h"

#include <algorithm>
#include <cmath>

namespace cli {

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
                return fail(ExitConfigRefused,
                            format("remote %d has no configuration; give --config", *remote));
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
    if (std::none_of(sensors.begin(), sensors.end(), [&](const AcquisitionSensor& s) {
            return s.remote == *remote && s.sensorType == forceSensor;
        }))
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
    if (!converted.columns.empty() && !raw.columns.empty() &&
        converted.times.size() == raw.times.size()) {
        const auto& c = converted.columns[0];
        const auto& r = raw.columns[0];
        auto [lo, hi] = std::minmax_element(r.begin(), r.end());
        auto i = static_cast<std::size_t>(lo - r.begin()),
             k = static_cast<std::size_t>(hi - r.begin());
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
                problem = "not saved: " +
                          bsonString(&doc, "error").value_or("the library did not answer");
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
        return s.axes.empty() ? std::string("no data")
                              : format("%.4g .. %.4g N", s.axes[0].min, s.axes[0].max);
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

} // namespace cli
