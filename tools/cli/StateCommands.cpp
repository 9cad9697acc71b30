// korvex-cli state and configure: the kit as the library sees it, and a remote's fixed
// configuration.
#include "Runner.h"

#include <algorithm>
#include <thread>

namespace cli {

int Runner::cmdState() {
    if (!ctx.args.positionals.empty())
        return usage("state takes no arguments");
    if (int rc = open(true))
        return rc;
    // The dongle's status and the remotes' replies follow the discovery closely.
    KitSession::waitUntil(
        [this] {
            HardwareReport hw = session->hardware();
            return hw.dongleID != 0 &&
                   (hw.dongleMode == 8 || hw.dongleMode == 16 ||
                    (hw.remote(1).pairStatus == 0 && hw.remote(2).pairStatus == 0));
        },
        std::min(seconds(ctx.remoteTimeout), std::chrono::milliseconds(3000)),
        [this] { return ctx.cancelled(); });
    std::this_thread::sleep_for(200ms); // remote status replies of a connected kit
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
        print(format("dongle    %s, id %s, firmware %d, mode %s\n",
                     hw.donglePlugged ? "plugged" : "not plugged", hexId(hw.dongleID).c_str(),
                     hw.fwVersion, dongleModeName(hw.dongleMode).c_str()));
        for (int r = 1; r <= 2; ++r) {
            const RemoteSlot& s = hw.remote(r);
            std::string config = s.fixedConfig == 0
                                     ? "no configuration"
                                     : format("configuration %d%s", s.fixedConfig,
                                              s.configured ? "" : " (layout not known yet)");
            print(format("remote %d  %s, id %s, %s, %s, battery %.2f V\n", r,
                         s.rfStatus == 1 ? "connected" : "not connected", hexId(s.remoteID).c_str(),
                         s.pairStatus == 1 ? "paired" : "not paired", config.c_str(),
                         s.batteryVoltage));
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
    if (!parseRemoteConfig(ctx.args.positionals[0] + "=" + ctx.args.positionals[1], remote, config,
                           error))
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

} // namespace cli
