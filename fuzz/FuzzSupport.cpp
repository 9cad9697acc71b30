#include "fuzz/FuzzSupport.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"
#include "tools/dongle-sim/DongleModel.h"
#include "tools/dongle-sim/SimLayout.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <list>

namespace {

std::filesystem::path fuzzTempBase() {
    return std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
}

struct DocumentsFolder {
    TempDir dir{"korvex-fuzz", fuzzTempBase()};
    ScopedEnv documents{"KORVEX_DOCUMENTS_DIR", dir.str()};
};

} // namespace

std::string fuzzDocumentsFolder() {
    // Kept to the end of the process, so no folder is left behind when the fuzzer exits
    // normally.
    static std::list<DocumentsFolder> made;
    return made.emplace_back().dir.str();
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
