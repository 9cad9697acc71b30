// Random sequences of what a class does with the kit, driven through the public interface
// against the simulated kit: configure, start, stop, start again, keep, reload, change the
// configuration, pull and plug the dongle, remotes leaving radio range and coming back, and
// junk on the line. After every stop the acquisition's samples are noted as they are live;
// every recording must later reload with exactly those samples, and the raw files must hold
// every data frame the kit sent. Fixed seeds: a failure replays.
#include "tests/support/KitFixture.h"

#include <random>
#include <set>

namespace {

// Under a sanitizer every step is several times slower: fewer of them keep the test short.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int modelSteps = 70;
#else
constexpr int modelSteps = 150;
#endif

class ModelTest : public KitFixture, public ::testing::WithParamInterface<uint32_t> {
protected:
    std::mt19937 random;
    std::map<std::string, Snapshot> recorded; // acquisition -> samples at its last stop
    std::set<std::string> interrupted;        // acquisitions a pulled dongle cut short
    bool plugged = true;
    bool inRange[2] = {true, true};
    int runsChecked = 0, steps = 0;
    std::vector<std::string> history; // what each step did, shown when a reload differs

    void note(const std::string& what) {
        std::string state;
        for (int r : {1, 2})
            state += " r" + std::to_string(r) + (api->isRemoteConnected(r) ? "+" : "-") +
                     (configured(r) ? "c" + std::to_string(hardwareInt("remote" + std::to_string(r) + ".fixedConfig"))
                                    : std::string());
        history.push_back(std::to_string(steps) + " " + what + " in " + currentAcquisitionID().substr(0, 8) + ":" +
                          state + " mode " + std::to_string(dongleMode()));
    }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    bool streaming() { return dongleMode() == 16; }

    // Lets the kit send `frames` more data frames, if it streams at all (bounded: a remote
    // that just left may leave nothing streaming for a moment).
    void letFramesPass(size_t frames) {
        const size_t until = sentCount() + frames;
        waitFor(500ms, [&] { return sentCount() >= until; });
    }

    // After "dataStopped": frames the kit sent before it read the stop may still be on their
    // way, and the library records them; the barrier lets every one of them land first.
    void noteStop() {
        if (plugged)
            commandBarrier();
        const std::string id = currentAcquisitionID();
        if (fs::exists(rawFolder() / (id + ".raw")))
            recorded[id] = snapshot();
    }

    // The runs the metadata describes and the frames of the raw file, as (offset: remote counters).
    void dumpRecording(const std::string& id) {
        auto meta = readBytes(rawFolder() / (id + ".bson"));
        if (bson_t* doc = bson_new_from_data(meta.data(), meta.size())) {
            char* json = bson_as_relaxed_extended_json(doc, nullptr);
            std::printf("metadata %s\n", json);
            bson_free(json);
            bson_destroy(doc);
        }
        size_t offset = 0;
        std::string line;
        int lastRemote = -1, lastCounter = -1;
        for (const auto& frame : splitFrames(readBytes(rawFolder() / (id + ".raw")))) {
            int remote = frame.size() > 4 ? frame[3] : -1, counter = frame.size() > 4 ? frame[4] : -1;
            if (remote != lastRemote || counter != lastCounter + 1)
                line +=
                    "\n  " + std::to_string(offset) + ": r" + std::to_string(remote) + " " + std::to_string(counter);
            else if (line.back() != '.')
                line += "..";
            lastRemote = remote;
            lastCounter = counter;
            offset += frame.size();
        }
        std::printf("frames:%s\n", line.c_str());
    }

    void expectReloads(const std::string& id) {
        SCOPED_TRACE("acquisition " + id + " at step " + std::to_string(steps));
        if (streaming())
            return;
        if (currentAcquisitionID() != id)
            api->stackAcquisition();
        ASSERT_TRUE(reload(id));
        Snapshot live;
        for (const auto& [key, series] : recorded.at(id))
            if (series.size() > 0)
                live[key] = series;
        const bool failedBefore = HasFailure();
        expectSameSamples(live, snapshot());
        if (HasFailure() && !failedBefore) { // timing decides the steps: show what they were
            for (const auto& line : history)
                std::printf("  %s\n", line.c_str());
            dumpRecording(id);
        }
        ++runsChecked;
    }

    // One random action, and what it takes for the kit and the library to settle after it.
    bool configured(int remote) {
        return api->isRemoteConnected(remote) && hardwareBool("remote" + std::to_string(remote) + ".configured");
    }

    // A remote that is on and in range shows up as connected (and configured again when it
    // was), as a teacher waits to see before going on.
    void settle() {
        waitFor(3s, [&] {
            for (int r : {1, 2})
                if (inRange[r - 1] && !api->isRemoteConnected(r))
                    return false;
            return api->isDongleConnected() && dongleMode() >= 4;
        });
    }

    void chooseConfiguration(int remote) {
        static const int configs[] = {38, 6, 2, 45, 8};
        const int config = configs[pick(5)];
        if (dongleMode() != 8 || !api->isRemoteConnected(remote) || !api->setFixedConfig(remote, config))
            return;
        const std::string slot = "remote" + std::to_string(remote);
        waitFor(1s, [&] { return hardwareBool(slot + ".configured") && hardwareInt(slot + ".fixedConfig") == config; });
        note("configuration " + std::to_string(config) + " for remote " + std::to_string(remote));
    }

    void step() {
        ++steps;
        const int remote = 1 + pick(2);
        switch (pick(14)) {
        case 0:
        case 1: // choose a configuration
            chooseConfiguration(remote);
            return;
        case 2:
        case 3:
        case 4:
        case 10:
        case 11: { // record a short run
            if (!configured(1) && !configured(2))
                chooseConfiguration(remote);
            if (dongleMode() != 8 || (!configured(1) && !configured(2)))
                return;
            int stopped = ScriptLog::count("dataStopped");
            int started = ScriptLog::count("dataStarted");
            api->startDataAcquisition();
            note("start");
            if (!waitFor(1s, [&] { return ScriptLog::count("dataStarted") > started; }))
                return;
            letFramesPass(6 + pick(24));
            if (pick(3) == 0)
                sim->garbage(1 + pick(40)); // junk between frames costs nothing
            if (pick(3) == 0)               // a hostile burst: it may cost only the frames it damages
                for (int n = 1 + pick(4); n > 0; --n)
                    sim->hostileNext(static_cast<HostileKind>(pick(hostileKindCount)));
            if (pick(4) == 0 && inRange[remote - 1]) { // a remote out of range until the library sees it
                sim->radioDrop(remote);
                waitFor(1s, [&] { return !api->isRemoteConnected(remote); });
                sim->radioReturn(remote);
                note("remote " + std::to_string(remote) + " away and back");
            }
            letFramesPass(3); // the acts queued above land on frames of this run
            api->stopDataAcquisition();
            if (waitFor(3s, [&] { return ScriptLog::count("dataStopped") > stopped; }))
                noteStop();
            note("stopped");
            return;
        }
        case 5: { // keep the run and go on in a new acquisition
            if (!streaming())
                api->stackAcquisition();
            note("stacked");
            return;
        }
        case 6: { // reload something recorded and check it is as it was live
            if (recorded.empty() || streaming())
                return;
            auto it = recorded.begin();
            std::advance(it, pick(int(recorded.size())));
            expectReloads(it->first);
            return;
        }
        case 7: { // pull the dongle, maybe in the middle of a run, and plug it in again
            bool wasStreaming = streaming();
            int stopped = ScriptLog::count("dataStopped");
            sim->unplug();
            plugged = false;
            if (wasStreaming && waitFor(3s, [&] { return ScriptLog::count("dataStopped") > stopped; })) {
                interrupted.insert(currentAcquisitionID());
                noteStop();
            }
            waitFor(3s, [&] { return !api->isDongleConnected(); });
            sim->replug();
            plugged = true;
            settle();
            note(wasStreaming ? "pulled while streaming, plugged" : "pulled, plugged");
            return;
        }
        case 8: { // a remote leaves radio range, or comes back (more often back)
            int i = remote - 1;
            if (inRange[i] && pick(2) == 0)
                return;
            if (inRange[i])
                sim->radioDrop(remote);
            else
                sim->radioReturn(remote);
            inRange[i] = !inRange[i];
            if (!inRange[i])
                waitFor(1s, [&] { return !api->isRemoteConnected(remote); });
            settle();
            note("remote " + std::to_string(remote) + (inRange[i] ? " back" : " away"));
            return;
        }
        case 9: { // junk while idle: the next answers must not wait for it
            sim->garbage(1 + pick(200));
            return;
        }
        default: // a look at the state, as the page does after each event
            snapshot();
            return;
        }
    }
};

TEST_P(ModelTest, EveryRecordingReloadsAsItWasLive) {
    random.seed(GetParam());
    ASSERT_TRUE(waitReady());
    for (int i = 0; i < modelSteps && !HasFatalFailure(); ++i)
        step();
    ASSERT_FALSE(HasFatalFailure());
    // Both remotes back, then every recording once more.
    for (int remote : {1, 2})
        if (!inRange[remote - 1])
            sim->radioReturn(remote);
    if (streaming()) {
        int stopped = ScriptLog::count("dataStopped");
        api->stopDataAcquisition();
        if (waitFor(3s, [&] { return ScriptLog::count("dataStopped") > stopped; }))
            noteStop();
    }
    for (const auto& [id, live] : recorded)
        expectReloads(id);

    // Every frame the kit sent that no act damaged is in a raw file, and nothing the kit did
    // not build is (a pulled dongle may cut the frames in flight: then the count is only
    // shown).
    const LineCount count = lineCount();
    if (interrupted.empty()) {
        EXPECT_EQ(count.missing, 0u);
        EXPECT_LE(count.foreign, count.sent - count.unaltered);
    }
    RecordProperty("steps", steps);
    RecordProperty("runsChecked", runsChecked);
    std::printf("model seed %u: %d steps, %zu recordings, %d reloads checked, %zu hostile acts, %zu frames sent "
                "(%zu unaltered), %zu recorded, %zu missing, %zu foreign, %zu interrupted\n",
                GetParam(), steps, recorded.size(), runsChecked, sim->hostileActs().size(), count.sent, count.unaltered,
                count.recorded, count.missing, count.foreign, interrupted.size());
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelTest, ::testing::Values(1u, 2u));

} // namespace
