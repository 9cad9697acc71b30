#include "fuzz/FuzzSupport.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"
#include "tools/dongle-sim/DongleModel.h"
#include "tools/dongle-sim/SimLayout.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

std::string fuzzDocumentsFolder() {
    namespace fs = std::filesystem;
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "korvex-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        abort();
    setenv("KORVEX_DOCUMENTS_DIR", pattern.c_str(), 1);
    // Leave no folder behind when the fuzzer exits normally.
    static std::string made;
    made = pattern;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(made, ec);
    });
    return pattern;
}

const std::vector<int>& fuzzConfigurations() { return simConfigurations(); }

const std::map<int32_t, int32_t>& fuzzPacketLengths(int config) {
    static std::map<int, std::map<int32_t, int32_t>> table = [] {
        std::map<int, std::map<int32_t, int32_t>> t;
        for (int c : simConfigurations())
            for (const auto& block : simBlockLayout(c))
                t[c][block.type] = block.slotLength;
        return t;
    }();
    static const std::map<int32_t, int32_t> none;
    auto it = table.find(config);
    return it == table.end() ? none : it->second;
}

std::vector<uint8_t> fuzzDataFrames(int remote, int config, int frames) {
    DongleModel model;
    model.setPairing(remote, model.options().unitIDs[remote - 1]);
    model.setFixedConfig(remote, config);
    model.settleConnections();
    std::vector<uint8_t> startData = buildFrame(START_DATA);
    model.handleCommand(startData);
    std::vector<uint8_t> out;
    for (int i = 0; i < frames * 4 && frames > 0; ++i) {
        for (const SimEmission& e : model.tick())
            if (e.kind == SimEmission::Kind::Data && e.frame.size() > 3 && e.frame[3] == remote) {
                out.insert(out.end(), e.frame.begin(), e.frame.end());
                if (--frames == 0)
                    break;
            }
    }
    return out;
}
