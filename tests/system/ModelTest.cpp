// Random sequences of what a class does with the kit, driven through the public interface
// against the simulated kit: configure, start, stop, start again, keep, reload, change the
// configuration, pull and plug the dongle, remotes leaving radio range and coming back, and
// junk on the line. After every stop the acquisition's samples are noted as they are live;
// every recording must later reload with exactly those samples, and the raw files must hold
// every data frame the kit sent. Fixed seeds: a failure replays.
#include "tests/system/KitFixture.h"

#include <bit>
#include <random>
#include <set>

using namespace kit;

namespace {

using Snapshot = std::map<std::pair<int, int>, Series>;   // (remote, sensor type) -> samples

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](float x, float y) { return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y); });
}

class ModelTest : public KitTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    std::mt19937 random;
    std::map<std::string, Snapshot> recorded;   // acquisition -> samples at its last stop
    std::set<std::string> interrupted;          // acquisitions a pulled dongle cut short
    bool plugged = true;
    bool inRange[2] = {true, true};
    int runsChecked = 0, steps = 0;

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    // Every sensor of the current acquisition, as the page would list them.
    Snapshot snapshot() {
        Snapshot out;
        bson_t doc;
        api->getAcquisitionStack(&doc);
        for (int remote : {1, 2}) {
            bson_iter_t iter, sensors, field;
            std::string path = "remote" + std::to_string(remote) + ".sensors";
            if (!findPath(&doc, path.c_str(), &iter) || !bson_iter_recurse(&iter, &sensors)) continue;
            while (bson_iter_next(&sensors))
                if (bson_iter_recurse(&sensors, &field) && bson_iter_find(&field, "sensorType"))
                    out[{remote, bson_iter_int32(&field)}] = {};
        }
        bson_destroy(&doc);
        for (auto& [key, series] : out) series = query(key.first, key.second);
        return out;
    }

    bool streaming() { return dongleMode() == 16; }

    void noteStop() {
        const std::string id = currentAcquisitionID();
        if (fs::exists(rawFolder() / (id + ".raw"))) recorded[id] = snapshot();
    }

    void expectReloads(const std::string& id) {
        SCOPED_TRACE("acquisition " + id + " at step " + std::to_string(steps));
        if (streaming()) return;
        if (currentAcquisitionID() != id) api->stackAcquisition();
        bson_t result;
        api->acquisitionManagement(&result, 1, id.c_str());
        bson_destroy(&result);
        ASSERT_EQ(currentAcquisitionID(), id);
        Snapshot reloaded = snapshot();
        const Snapshot& live = recorded.at(id);
        for (const auto& [key, series] : live) {
            if (series.size() == 0) continue;
            SCOPED_TRACE("remote " + std::to_string(key.first) + " sensor " + std::to_string(key.second));
            auto found = reloaded.find(key);
            ASSERT_NE(found, reloaded.end());
            ASSERT_EQ(found->second.size(), series.size());
            ASSERT_TRUE(sameBits(found->second.time, series.time));
            for (size_t a = 0; a < series.values.size(); ++a)
                ASSERT_TRUE(sameBits(found->second.values[a], series.values[a])) << "axis " << a;
        }
        ++runsChecked;
    }

    // One random action, and what it takes for the kit and the library to settle after it.
    void step() {
        ++steps;
        const int remote = 1 + pick(2);
        switch (pick(14)) {
        case 0: case 1: {   // choose a configuration
            static const int configs[] = {38, 6, 2, 45, 8};
            const int config = configs[pick(5)];
            if (dongleMode() != 8 || !api->isRemoteConnected(remote) || !api->setFixedConfig(remote, config)) return;
            const std::string slot = "remote" + std::to_string(remote);
            waitFor([&] { return hardwareBool(slot + ".configured") && hardwareInt(slot + ".fixedConfig") == config; },
                    1s);
            return;
        }
        case 2: case 3: case 4: case 10: case 11: {   // record a short run
            bool ready = false;
            for (int r : {1, 2})
                ready = ready || (api->isRemoteConnected(r) && hardwareBool("remote" + std::to_string(r) + ".configured"));
            if (dongleMode() != 8 || !ready) return;
            int stopped = countScripts("dataStopped");
            int started = countScripts("dataStarted");
            api->startDataAcquisition();
            if (!waitFor([&] { return countScripts("dataStarted") > started; }, 1s)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(60 + pick(120)));
            if (pick(3) == 0) sim->garbage(1 + pick(40));   // junk between frames costs nothing
            if (pick(4) == 0 && inRange[remote - 1]) {      // a remote out of range for a moment
                sim->radioDrop(remote);
                std::this_thread::sleep_for(std::chrono::milliseconds(20 + pick(60)));
                sim->radioReturn(remote);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            api->stopDataAcquisition();
            if (waitFor([&] { return countScripts("dataStopped") > stopped; }, 3s)) noteStop();
            return;
        }
        case 5: {   // keep the run and go on in a new acquisition
            if (!streaming()) api->stackAcquisition();
            return;
        }
        case 6: {   // reload something recorded and check it is as it was live
            if (recorded.empty() || streaming()) return;
            auto it = recorded.begin();
            std::advance(it, pick(int(recorded.size())));
            expectReloads(it->first);
            return;
        }
        case 7: {   // pull the dongle, maybe in the middle of a run, and plug it in again
            bool wasStreaming = streaming();
            int stopped = countScripts("dataStopped");
            sim->unplug();
            plugged = false;
            if (wasStreaming && waitFor([&] { return countScripts("dataStopped") > stopped; }, 3s)) {
                interrupted.insert(currentAcquisitionID());
                noteStop();
            }
            waitFor([&] { return !api->isDongleConnected(); }, 3s);
            sim->replug();
            plugged = true;
            waitFor([&] { return api->isDongleConnected() && dongleMode() >= 4; }, 3s);
            return;
        }
        case 8: {   // a remote leaves radio range, or comes back (more often back)
            int i = remote - 1;
            if (inRange[i] && pick(2) == 0) return;
            if (inRange[i]) sim->radioDrop(remote); else sim->radioReturn(remote);
            inRange[i] = !inRange[i];
            std::this_thread::sleep_for(30ms);
            return;
        }
        case 9: {   // junk while idle: the next answers must not wait for it
            sim->garbage(1 + pick(200));
            return;
        }
        default:   // a look at the state, as the page does after each event
            snapshot();
            return;
        }
    }
};

TEST_P(ModelTest, EveryRecordingReloadsAsItWasLive) {
    random.seed(GetParam());
    ASSERT_TRUE(waitReady());
    for (int i = 0; i < 150 && !HasFatalFailure(); ++i) step();
    ASSERT_FALSE(HasFatalFailure());
    // Both remotes back, then every recording once more.
    for (int remote : {1, 2})
        if (!inRange[remote - 1]) sim->radioReturn(remote);
    if (streaming()) {
        int stopped = countScripts("dataStopped");
        api->stopDataAcquisition();
        if (waitFor([&] { return countScripts("dataStopped") > stopped; }, 3s)) noteStop();
    }
    for (const auto& [id, live] : recorded) expectReloads(id);

    // Nothing the kit sent was lost on the way to the raw files (a pulled dongle may cut
    // the frames in flight; those acquisitions are left out of the count).
    uint64_t sent = dataBytesSent(), written = 0;
    for (const auto& file : recordings(".raw")) written += fs::file_size(file);
    if (interrupted.empty())
        EXPECT_EQ(written, sent);
    else
        EXPECT_LE(written, sent);
    RecordProperty("steps", steps);
    RecordProperty("runsChecked", runsChecked);
    std::printf("model seed %u: %d steps, %zu recordings, %d reloads checked, %llu of %llu data bytes written\n",
                GetParam(), steps, recorded.size(), runsChecked, (unsigned long long)written,
                (unsigned long long)sent);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelTest, ::testing::Values(1u, 2u));

}  // namespace
