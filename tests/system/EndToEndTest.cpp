// A teacher's run, end to end: the library finds the simulated dongle, configures both
// remotes, streams, stops, and leaves a recording that reloads to the same samples.
#include "KorvexAPI.h"
#include "tools/dongle-sim/DongleSim.h"

#include <bson/bson.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::mutex scriptsLock;
std::vector<std::string> scripts;

void collect(const char* script) {
    std::lock_guard lock(scriptsLock);
    scripts.emplace_back(script);
}

int countScripts(const std::string& text) {
    std::lock_guard lock(scriptsLock);
    int n = 0;
    for (auto& s : scripts)
        if (s.find(text) != std::string::npos) ++n;
    return n;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

int32_t intAt(const bson_t* doc, const char* path) {
    bson_iter_t iter, found;
    if (bson_iter_init(&iter, doc) && bson_iter_find_descendant(&iter, path, &found) &&
        BSON_ITER_HOLDS_INT32(&found))
        return bson_iter_int32(&found);
    return -1;
}

bool boolAt(const bson_t* doc, const char* path) {
    bson_iter_t iter, found;
    return bson_iter_init(&iter, doc) && bson_iter_find_descendant(&iter, path, &found) &&
           BSON_ITER_HOLDS_BOOL(&found) && bson_iter_bool(&found);
}

class EndToEndTest : public ::testing::Test {
protected:
    fs::path root;
    std::unique_ptr<DongleSim> sim;
    IKorvexAPI* api = nullptr;
    std::mutex framesLock;
    uint64_t dataBytesSent = 0;
    uint64_t dataFramesSent = 0;

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvex-e2e-XXXXXX").string();
        root = mkdtemp(pattern.data());
        setenv("KORVEX_DOCUMENTS_DIR", (root / "documents").c_str(), 1);
        setenv("KORVEX_RUNTIME_DIR", (root / "runtime").c_str(), 1);
        unsetenv("KORVEX_PORT");
        {
            std::lock_guard lock(scriptsLock);
            scripts.clear();
        }
        DongleSim::Options options;
        options.state = DongleSim::StartState::Connected;
        sim = std::make_unique<DongleSim>(options);
        sim->onDataFrame([this](const SimDataFrame& frame, bool sent) {
            if (!sent) return;
            std::lock_guard lock(framesLock);
            dataBytesSent += frame.frame.size();
            ++dataFramesSent;
        });
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        api = getConcreteIKorvexAPI(&collect);
        ASSERT_NE(api, nullptr);
        api->startAPI();
    }

    void TearDown() override {
        releaseConcreteIKorvexAPI(api);
        if (sim) sim->stop();
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    int dongleMode() {
        bson_t doc;
        api->getHardwareState(&doc);
        int mode = intAt(&doc, "dongleMode");
        bson_destroy(&doc);
        return mode;
    }

    bool configured(int remote) {
        bson_t doc;
        api->getHardwareState(&doc);
        std::string path = "remote" + std::to_string(remote) + ".configured";
        bool result = boolAt(&doc, path.c_str());
        bson_destroy(&doc);
        return result;
    }

    fs::path rawFolder() { return root / "documents" / "Korvex-WorkFiles" / "rawdata"; }
};

TEST_F(EndToEndTest, TwoRemoteRunIsRecordedWhole) {
    ASSERT_TRUE(waitFor([&] { return api->isDongleConnected(); }, 10s)) << "dongle not found";
    ASSERT_TRUE(waitFor([&] { return api->isRemoteConnected(1) && api->isRemoteConnected(2) && dongleMode() == 8; }, 10s));
    EXPECT_GE(countScripts("hardwareStateChanged"), 1);

    ASSERT_TRUE(api->setFixedConfig(1, 3));
    ASSERT_TRUE(api->setFixedConfig(2, 4));
    ASSERT_TRUE(waitFor([&] { return configured(1) && configured(2); }, 10s));
    // Both configurations' follow-ups have been answered before the start goes out.
    std::this_thread::sleep_for(300ms);

    api->startDataAcquisition();
    ASSERT_TRUE(waitFor([&] { return countScripts("dataStarted") == 1; }, 5s));
    std::this_thread::sleep_for(1500ms);
    api->stopDataAcquisition();
    ASSERT_TRUE(waitFor([&] { return countScripts("dataStopped") == 1; }, 5s));
    EXPECT_EQ(dongleMode(), 8);

    // Every data frame the kit sent is in the raw file, byte for byte in size.
    std::vector<fs::path> raws, metas;
    ASSERT_TRUE(waitFor([&] {
        raws.clear();
        for (auto& entry : fs::directory_iterator(rawFolder()))
            if (entry.path().extension() == ".raw") raws.push_back(entry.path());
        std::lock_guard lock(framesLock);
        return raws.size() == 1 && fs::file_size(raws[0]) == dataBytesSent;
    }, 3s));
    {
        std::lock_guard lock(framesLock);
        EXPECT_GT(dataFramesSent, 200u);  // two remotes, 100 frames per second each
        EXPECT_EQ(fs::file_size(raws[0]), dataBytesSent);
    }
    fs::path meta = raws[0];
    meta.replace_extension(".bson");
    EXPECT_TRUE(fs::exists(meta));

    // The acquisition can be kept and a new one starts empty.
    EXPECT_TRUE(api->stackAcquisition());
    EXPECT_FALSE(configured(1));
}

TEST_F(EndToEndTest, PulledDongleIsNoticedAndFoundAgain) {
    ASSERT_TRUE(waitFor([&] { return api->isDongleConnected(); }, 10s));
    auto pulled = std::chrono::steady_clock::now();
    sim->unplug();
    ASSERT_TRUE(waitFor([&] { return !api->isDongleConnected(); }, 5s));
    auto noticed = std::chrono::steady_clock::now();
    EXPECT_LT(noticed - pulled, 3s);
    EXPECT_EQ(dongleMode(), 1);
    sim->replug();
    ASSERT_TRUE(waitFor([&] { return api->isDongleConnected() && dongleMode() == 8; }, 10s));
}

TEST_F(EndToEndTest, PulledDongleEndsTheRunAndKeepsTheRecording) {
    ASSERT_TRUE(waitFor([&] { return api->isRemoteConnected(1) && dongleMode() == 8; }, 10s));
    ASSERT_TRUE(api->setFixedConfig(1, 2));
    ASSERT_TRUE(waitFor([&] { return configured(1); }, 10s));
    std::this_thread::sleep_for(300ms);
    api->startDataAcquisition();
    ASSERT_TRUE(waitFor([&] { return countScripts("dataStarted") == 1; }, 5s));
    std::this_thread::sleep_for(500ms);
    sim->unplug();
    ASSERT_TRUE(waitFor([&] { return countScripts("dataStopped") == 1; }, 5s));
    std::vector<fs::path> raws;
    for (auto& entry : fs::directory_iterator(rawFolder()))
        if (entry.path().extension() == ".raw") raws.push_back(entry.path());
    ASSERT_EQ(raws.size(), 1u);
    EXPECT_GT(fs::file_size(raws[0]), 0u);
    EXPECT_EQ(fs::file_size(raws[0]) % 1, 0u);
}

}  // namespace
