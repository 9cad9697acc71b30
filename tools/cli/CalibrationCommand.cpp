// korvex-cli calibration: the stored calibration records of the remotes' sensors.
#include "Runner.h"

namespace cli {

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
        session->api().calibrationManagement(&doc, 0);
        bson_iter_t iter;
        JsonWriter j;
        j.beginObject().key("calibrations").beginArray();
        std::string text;
        const bool listed =
            bson_iter_init_find(&iter, &doc, "calibrationList") &&
            forEachDocument(iter, [&](const bson_t* record) {
                j.raw(bsonToJson(record));
                int id = static_cast<int>(bsonNumber(record, "remoteID").value_or(0));
                int sensor = static_cast<int>(bsonNumber(record, "sensor").value_or(0));
                auto numbers = [&](const char* key) {
                    std::string s;
                    if (auto single = bsonNumber(record, key))
                        return format("%g", *single);
                    for (int i = 0; i < 3; ++i)
                        if (auto v = bsonNumber(
                                record, (std::string(key) + "." + std::to_string(i)).c_str()))
                            s += (s.empty() ? "" : ",") + format("%g", *v);
                    return s.empty() ? std::string("-") : s;
                };
                text += format("%-10s  %-13s  offset %-28s  scale %s\n", hexId(id).c_str(),
                               sensorKind(sensor).name.c_str(), numbers("calOffset").c_str(),
                               numbers("calScale").c_str());
            });
        if (!listed) {
            bson_destroy(&doc);
            return fail(ExitFailed, "the library returned no calibration list");
        }
        j.endArray();
        problemsJson(j, 0);
        j.endObject();
        bson_destroy(&doc);
        if (ctx.json)
            print(j.text() + "\n");
        else
            print(text.empty() ? "no calibration records\n"
                               : format("%-10s  %-13s\n", "remote id", "sensor") + text);
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
            return usage(format("--offset and --scale take %zu number%s for this sensor", count,
                                count == 1 ? "" : "s"));
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
        print(format("{\"%s\":true,\"remoteID\":%d,\"sensor\":%d}\n",
                     action == "save" ? "saved" : "deleted", *id, *sensor));
    else
        print(format("%s calibration of %s for remote %s\n", action == "save" ? "saved" : "deleted",
                     sensorKind(*sensor).name.c_str(), hexId(*id).c_str()));
    return ExitOk;
}

} // namespace cli
