#include "KitFixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace reliability {

using namespace std::chrono_literals;

DongleSim::Options KitFixture::simOptions() {
    DongleSim::Options options;
    options.state = DongleSim::StartState::Connected;
    return options;
}

void KitFixture::startKit() {
    sim = std::make_unique<DongleSim>(simOptions());
    sim->onDataFrame([this](const SimDataFrame& frame, bool wasSent) {
        if (!wasSent) return;
        std::lock_guard lock(sentLock);
        SentFrame record{Clock::now(), frame.remote, frame.frame, {}};
        for (const SimTruthSample& s : frame.samples) {
            truth[{frame.remote, s.type}][{frame.counter, s.index}] = s.values;
            ++record.samples[s.type];
        }
        sent.push_back(std::move(record));
    });
    std::string error;
    ASSERT_TRUE(sim->start(&error)) << error;
}

void KitFixture::configure(int config1, int config2) {
    ASSERT_TRUE(waitFor(10s, [&] { return api->isDongleConnected() && dongleMode() == 8; }))
        << "dongle not found";
    for (int remote : {1, 2}) {
        int config = remote == 1 ? config1 : config2;
        if (!config) continue;
        ASSERT_TRUE(waitFor(10s, [&] { return api->isRemoteConnected(remote); }));
        ASSERT_TRUE(api->setFixedConfig(remote, config));
        // The configuration's own reply is the last of its follow-ups that changes the
        // model: once it is in, a start does not overtake them.
        std::string slot = "remote" + std::to_string(remote);
        ASSERT_TRUE(waitFor(10s, [&] {
            return configured(remote) && hardwareInt(slot + ".fixedConfig") == config;
        }));
    }
}

void KitFixture::startRun(int runs) {
    api->startDataAcquisition();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStarted") >= runs; }));
}

void KitFixture::stopRun(int runs) {
    api->stopDataAcquisition();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") >= runs; }));
}

std::vector<SentFrame> KitFixture::sentFrames() const {
    std::lock_guard lock(sentLock);
    return sent;
}

uint64_t KitFixture::sentBytes() const {
    std::lock_guard lock(sentLock);
    uint64_t n = 0;
    for (auto& f : sent) n += f.bytes.size();
    return n;
}

std::vector<std::string> KitFixture::listedAcquisitions() {
    bson_t doc;
    api->acquisitionManagement(&doc, 0, "");
    std::vector<std::string> ids;
    bson_iter_t iter, list;
    if (bson_iter_init_find(&iter, &doc, "acquisitionList") && BSON_ITER_HOLDS_ARRAY(&iter) &&
        bson_iter_recurse(&iter, &list))
        while (bson_iter_next(&list)) {
            bson_iter_t entry, id;
            if (BSON_ITER_HOLDS_DOCUMENT(&list) && bson_iter_recurse(&list, &entry) &&
                bson_iter_find(&entry, "acquisitionID") && BSON_ITER_HOLDS_UTF8(&entry))
                ids.emplace_back(bson_iter_utf8(&entry, nullptr));
            (void)id;
        }
    bson_destroy(&doc);
    return ids;
}

int KitFixture::samplesOf(int remote, int sensorType) {
    bson_t doc;
    bufferArray data;
    api->getSensorData(&doc, &data, remote, sensorType, 0, 1e9, false, -1, 0);
    int n = int32Or(&doc, "datalength", -1);
    bson_destroy(&doc);
    api->freeBufferArray(&data);
    return n;
}

std::vector<int> KitFixture::sensorTypes(int remote) {
    bson_t doc;
    api->getAcquisitionStack(&doc);
    std::vector<int> types;
    bson_iter_t iter, found, list;
    std::string path = "remote" + std::to_string(remote) + ".sensors";
    if (bson_iter_init(&iter, &doc) && bson_iter_find_descendant(&iter, path.c_str(), &found) &&
        BSON_ITER_HOLDS_ARRAY(&found) && bson_iter_recurse(&found, &list))
        while (bson_iter_next(&list)) {
            bson_t element;
            uint32_t len = 0;
            const uint8_t* data = nullptr;
            if (!BSON_ITER_HOLDS_DOCUMENT(&list)) continue;
            bson_iter_document(&list, &len, &data);
            if (bson_init_static(&element, data, len)) types.push_back(int32Or(&element, "sensorType", -1));
        }
    bson_destroy(&doc);
    return types;
}

int KitFixture::expectValuesMatchTruth(int remote, int sensorType, const std::string& csvName) {
    bson_t doc;
    bson_init(&doc);
    api->exportData(&doc, remote, sensorType, csvName.c_str());
    std::string path = stringOr(&doc, "path", "");
    bson_destroy(&doc);
    EXPECT_FALSE(path.empty()) << "export failed";
    std::ifstream csv(path);
    std::string line;
    std::getline(csv, line);   // header
    std::map<std::pair<int, int>, std::vector<double>> sentSamples;
    {
        std::lock_guard lock(sentLock);
        sentSamples = truth[{remote, sensorType}];
    }
    int rows = 0, failures = 0;
    while (std::getline(csv, line) && failures < 5) {
        std::vector<std::string> cells;
        std::stringstream cellStream(line);
        for (std::string cell; std::getline(cellStream, cell, ',');) cells.push_back(cell);
        if (cells.size() < 6) {
            ADD_FAILURE() << "short line: " << line;
            ++failures;
            continue;
        }
        auto it = sentSamples.find({std::stoi(cells[1]), std::stoi(cells[2])});
        if (it == sentSamples.end()) {
            ADD_FAILURE() << "a sample the kit never sent: " << line;
            ++failures;
            continue;
        }
        for (size_t axis = 0; 5 + axis * 2 < cells.size() && axis < it->second.size(); ++axis) {
            double value = std::stod(cells[5 + axis * 2]), expected = it->second[axis];
            if (std::abs(value - expected) > 1e-4 * std::max(1.0, std::abs(expected))) {
                ADD_FAILURE() << "axis " << axis << " reads " << value << ", the kit sent " << expected
                              << ": " << line;
                ++failures;
            }
        }
        ++rows;
    }
    return rows;
}

}  // namespace reliability
