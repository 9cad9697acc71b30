// Runs against the simulated kit, checked against what the kit knows it sent: the decoded
// values of every sensor kind, the measured rates, a reload of the recording, a remote that
// leaves radio range and comes back mid-run, and a remote whose frames the library cannot
// read.
#include "tests/support/KitFixture.h"
#include "tools/dongle-sim/SimLayout.h"

#include <cmath>
#include <tuple>

namespace {

constexpr int ecgCombined = Truth::ecgCombined;

// Nominal rates of a configuration's sensors as the kit streams them.
std::map<int, double> nominalRates(int config) {
    std::map<int, double> rates;
    for (const auto& block : simBlockLayout(config))
        rates[block.type] = block.rate;
    if (config == 47)
        return {{ecgCombined, rates[SIM_ECG]}};
    return rates;
}

bool near(double value, double expected) { return std::fabs(value - expected) <= 1e-4 + 1e-5 * std::fabs(expected); }

struct RunConfigs {
    int remote1, remote2;
};

// The metadata file of a run: which kit made it and how each remote slot was set up,
// keys in their fixed order, both slots always present.
void expectMetadata(const fs::path& file, const std::string& id, const std::map<int, int>& configs,
                    const DongleModel::Options& kit) {
    const Bytes bytes = readBytes(file);
    bson_t* doc = bson_new_from_data(bytes.data(), bytes.size());
    ASSERT_NE(doc, nullptr) << "not a BSON document";
    std::vector<std::string> keys;
    bson_iter_t iter;
    ASSERT_TRUE(bson_iter_init(&iter, doc));
    while (bson_iter_next(&iter))
        keys.emplace_back(bson_iter_key(&iter));
    // The run records come after the keys every reader knows.
    EXPECT_EQ(keys, (std::vector<std::string>{"acquisitionID", "dongleID", "fwVersion", "lastStartDate", "remote1",
                                              "remote2", "runs"}));
    EXPECT_EQ(stringOr(doc, "acquisitionID", ""), id);
    EXPECT_EQ(int32Or(doc, "dongleID", -1), int32_t(kit.dongleID));
    EXPECT_EQ(int32Or(doc, "fwVersion", -1), int32_t(kit.fwVersion));
    const std::string date = stringOr(doc, "lastStartDate", "");
    EXPECT_TRUE(date.size() >= 15 && date[8] == 'T') << date;
    for (auto [remote, config] : configs) {
        const std::string slot = "remote" + std::to_string(remote);
        bson_iter_t slotIter, inner;
        ASSERT_TRUE(findPath(doc, slot.c_str(), &slotIter) && BSON_ITER_HOLDS_DOCUMENT(&slotIter));
        ASSERT_TRUE(bson_iter_recurse(&slotIter, &inner));
        std::vector<std::string> slotKeys;
        while (bson_iter_next(&inner))
            slotKeys.emplace_back(bson_iter_key(&inner));
        // The calibration constants follow when the configuration has a sensor that uses them.
        if (!slotKeys.empty() && slotKeys.back() == "constants")
            slotKeys.pop_back();
        EXPECT_EQ(slotKeys, (std::vector<std::string>{"remoteID", "rfFwVersion", "sensorFwVersion", "fixedConfig",
                                                      "sensorDataLen"}));
        EXPECT_EQ(int32Or(doc, (slot + ".remoteID").c_str(), -1), int32_t(kit.unitIDs[remote - 1]));
        // The versions the kit's remotes report in their status reply.
        EXPECT_EQ(int32Or(doc, (slot + ".rfFwVersion").c_str(), -1), 0x0105);
        EXPECT_EQ(int32Or(doc, (slot + ".sensorFwVersion").c_str(), -1), 0x0203);
        EXPECT_EQ(int32Or(doc, (slot + ".fixedConfig").c_str(), -1), config);
        std::map<int, int> lengths;
        for (const auto& block : simBlockLayout(config))
            lengths[block.type] = block.slotLength;
        std::vector<std::pair<std::string, int>> expected, stored;
        for (auto [type, length] : lengths)
            expected.emplace_back(std::to_string(type), length);
        ASSERT_TRUE(findPath(doc, (slot + ".sensorDataLen").c_str(), &slotIter) &&
                    bson_iter_recurse(&slotIter, &inner));
        while (bson_iter_next(&inner))
            stored.emplace_back(bson_iter_key(&inner), BSON_ITER_HOLDS_INT32(&inner) ? bson_iter_int32(&inner) : -1);
        EXPECT_EQ(stored, expected) << slot;
    }
    bson_destroy(doc);
}

class KitRuns : public KitFixture {
protected:
    // Every sensor of both remotes, as queried (the digital input one series per line).
    // Every sensor of both remotes as queried: (remote, sensor type, line) -> samples, the
    // digital input one series per line, the other sensors with line -1.
    std::map<std::tuple<int, int, int>, Series> querySensors(const std::map<int, int>& configs) {
        std::map<std::tuple<int, int, int>, Series> all;
        for (auto [remote, config] : configs)
            for (auto [type, rate] : nominalRates(config))
                for (int line = type == SIM_DIGITAL ? 0 : -1; line < (type == SIM_DIGITAL ? 8 : 0); ++line)
                    all[{remote, type, line}] = query(remote, type, line);
        return all;
    }

    // Keeps the current acquisition and loads it again from its files, with its configurations.
    void keepAndReload(const std::string& id, const std::map<int, int>& configs) {
        ASSERT_TRUE(api->stackAcquisition());
        ASSERT_TRUE(reload(id));
        bson_t stack;
        api->getAcquisitionStack(&stack);
        EXPECT_TRUE(boolOr(&stack, "fromDB", false));
        for (auto [remote, config] : configs)
            EXPECT_EQ(int32Or(&stack, ("remote" + std::to_string(remote) + ".config").c_str(), -1), config);
        bson_destroy(&stack);
    }

    void expectTruth(int remote, int type, const Series& live, const std::vector<std::vector<double>>& truth,
                     double nominal, double expectedRate, int line = -1) {
        std::string what = "remote " + std::to_string(remote) + " sensor " + std::to_string(type);
        if (line >= 0)
            what += " line " + std::to_string(line);
        ASSERT_EQ(live.size(), truth.size()) << what << ": every sample the kit sent";
        ASSERT_FALSE(live.values.empty()) << what;
        // Recalibrated: the measured rate is the kit's actual pace, close to the nominal one.
        EXPECT_NEAR(live.rate(), expectedRate, expectedRate * 1e-5) << what;
        EXPECT_NEAR(live.rate(), nominal, nominal * 0.03) << what;
        // The reported rate is the measured one without its fraction: a remote that kept
        // its 100 Hz pace exactly reports 100, not 99.
        EXPECT_EQ(live.reportedRate, int(std::floor(expectedRate * (1 + 1e-12)))) << what;
        for (size_t i = 0; i < live.size(); i += 1 + live.size() / 400)
            ASSERT_NEAR(live.time[i], (i + 1) / expectedRate, 1e-5 + 1e-6 * live.time[i]) << what << " sample " << i;

        int mismatches = 0;
        double wheelOffset = 0;
        for (size_t i = 0; i < live.size() && mismatches < 5; ++i)
            for (size_t a = 0; a < live.values.size(); ++a) {
                const size_t axis = line >= 0 ? size_t(line) : a; // a digital line is one bit of the sample
                if (axis >= truth[i].size())
                    continue;
                double want = truth[i][axis], got = live.values[a][i];
                if (type == SIM_WHEEL && a == 0) {
                    // The position counts from the first sample the host took.
                    if (i == 0)
                        wheelOffset = want - got;
                    got += wheelOffset;
                } else if (type == SIM_WHEEL && a == 1) {
                    // Velocity is counts times the rate in force: the measured one.
                    want *= live.rate() / nominal;
                }
                if (!near(got, want)) {
                    ++mismatches;
                    ADD_FAILURE() << what << " sample " << i << " axis " << a << ": " << got << " != " << want;
                }
            }
        EXPECT_EQ(mismatches, 0) << what;
    }
};

class KitRunTest : public KitRuns, public ::testing::WithParamInterface<RunConfigs> {};

// A two-remote run decodes to exactly what the kit sent, at the measured pace, and its
// recording reloads to the same samples, bit for bit.
TEST_P(KitRunTest, DecodesWhatTheKitSentAndReloadsIdentically) {
    const std::map<int, int> configs = {{1, GetParam().remote1}, {2, GetParam().remote2}};
    ASSERT_TRUE(configureBoth(configs.at(1), configs.at(2)));
    ASSERT_TRUE(stream(240)); // 1.2 s of both remotes
    ASSERT_EQ(dongleMode(), 8);

    const std::string id = currentAcquisitionID();
    auto metas = recordings(".bson");
    ASSERT_EQ(metas.size(), 1u);
    EXPECT_EQ(metas[0].stem().string(), id);
    expectMetadata(metas[0], id, configs, options.model);
    EXPECT_TRUE(recordedWhole());

    const auto live = querySensors(configs);
    std::map<int, Truth> truth;
    for (int remote : {1, 2}) {
        truth[remote] = truthOf(framesOf(remote));
        ASSERT_GT(truth[remote].frameSpan, 50) << "remote " << remote << " streamed";
    }
    for (const auto& [key, series] : live) {
        auto [remote, type, line] = key;
        expectTruth(remote, type, series, truth[remote].samples[type], nominalRates(configs.at(remote)).at(type),
                    truth[remote].measuredRate(type), line);
    }

    keepAndReload(id, configs);
    auto reloaded = querySensors(configs);
    for (const auto& [key, series] : live) {
        auto [remote, type, line] = key;
        expectIdentical(series, reloaded[key],
                        "remote " + std::to_string(remote) + " sensor " + std::to_string(type) + " line " +
                            std::to_string(line));
    }
}

// Together the runs cover every sensor kind: 38 and 6 the motion, wheel, force, light,
// battery, barometer and thermometer; 47 the combined ECG, 43 the microphone; 8 the analog
// and digital inputs, 36 the ECG electrodes.
INSTANTIATE_TEST_SUITE_P(Configurations, KitRunTest,
                         ::testing::Values(RunConfigs{38, 6}, RunConfigs{47, 43}, RunConfigs{8, 36}),
                         [](const auto& info) {
                             return "Configs" + std::to_string(info.param.remote1) + "And" +
                                    std::to_string(info.param.remote2);
                         });

class KitFaultTest : public KitRuns {};

// A remote that leaves radio range mid-run gets its configuration again when it is back,
// and its data resumes in the same run.
TEST_F(KitFaultTest, RemoteBackInRangeGetsItsConfigurationAndResumes) {
    ASSERT_TRUE(configureBoth(3, 4));
    ASSERT_EQ(commandsSeen("SET_FIXED_CONFIG").size(), 2u);
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(waitFrames(80));

    sim->radioDrop(2);
    ASSERT_TRUE(waitFor(5s, [&] { return !api->isRemoteConnected(2); }));
    ASSERT_TRUE(waitFrames(20)); // remote 1 streams on alone
    const size_t framesBeforeReturn = framesOf(2).size();
    const size_t samplesBeforeReturn = query(2, SIM_ACCELEROMETER).size();
    EXPECT_GT(samplesBeforeReturn, 0u);

    sim->radioReturn(2);
    ASSERT_TRUE(waitFor(5s, [&] { return commandsSeen("SET_FIXED_CONFIG").size() == 3; }));
    EXPECT_NE(commandsSeen("SET_FIXED_CONFIG").back().find("[02 26 02 02 04 0A]"), std::string::npos)
        << commandsSeen("SET_FIXED_CONFIG").back();
    // The remote is configured again and the dongle still streams.
    ASSERT_TRUE(waitFor(5s, [&] { return hardwareBool("remote2.configured") && dongleMode() == 16; }));
    ASSERT_TRUE(waitFor(5s, [&] { return query(2, SIM_ACCELEROMETER).size() > samplesBeforeReturn + 40; }));
    EXPECT_GT(framesOf(2).size(), framesBeforeReturn);
    EXPECT_EQ(ScriptLog::count("dataStopped"), 0);

    ASSERT_TRUE(stopRun());
    EXPECT_EQ(dongleMode(), 8);
    // Nothing the kit sent is missing, before or after the drop.
    for (int remote : {1, 2})
        EXPECT_EQ(query(remote, SIM_ACCELEROMETER).size(), truthOf(framesOf(remote)).count(SIM_ACCELEROMETER));
    EXPECT_TRUE(recordedWhole());
}

// The kit refuses the question which configuration the remote runs; the remote still
// streams the one it was set to, and its recording must stay readable.
TEST_F(KitFaultTest, RecordingReloadsWhenTheConfigurationReplyWasRefused) {
    ASSERT_TRUE(waitReady());
    ASSERT_EQ(sim->control("nack GET_FIXED_CONFIG 6 1"), "ok");
    ASSERT_TRUE(api->setFixedConfig(1, 3));
    // The refusal is the last answer of the exchange.
    ASSERT_TRUE(waitFor(10s, [&] {
        return hardwareBool("remote1.configured") && ScriptLog::count("DataParser::getNAck: GET_FIXED_CONFIG") == 1;
    }));
    ASSERT_TRUE(stream(40));
    const std::string id = currentAcquisitionID();
    const Series live = query(1, SIM_GYROSCOPE);
    ASSERT_GT(live.size(), 0u);

    keepAndReload(id, {{1, 3}});
    expectIdentical(live, query(1, SIM_GYROSCOPE), "remote 1 gyroscope");
}

// A remote streaming a layout the library was never told about stops the run, once.
TEST_F(KitFaultTest, UnconfiguredRemoteStopsTheRunOnce) {
    ASSERT_TRUE(configureBoth(3, 4));
    // Behind the library's back the second remote switches to another layout.
    ASSERT_EQ(sim->control("config 2 38").rfind("ok", 0), 0u);

    api->startDataAcquisition();
    ASSERT_TRUE(waitFor(5s, [&] { return ScriptLog::count("dataStopped") == 1; }));
    // The stop's answer follows every frame the kit sent before it; a second stop the library
    // queued for any of them goes out before the barrier's question.
    ASSERT_TRUE(waitFor(3s, [&] { return dongleMode() == 8; }));
    ASSERT_TRUE(commandBarrier());

    EXPECT_EQ(ScriptLog::count("sensor data length not set"), 1);
    EXPECT_EQ(ScriptLog::count("Remote 2 is not configured"), 1);
    EXPECT_EQ(commandsSeen("STOP_DATA").size(), 1u);
    EXPECT_EQ(ScriptLog::count("dataStarted"), 1);
    EXPECT_EQ(ScriptLog::count("dataStopped"), 1);
    EXPECT_EQ(query(2, SIM_ACCELEROMETER).size(), 0u);
    // What arrived is on disk all the same.
    EXPECT_TRUE(recordedWhole());

    // The next run of the same acquisition, with the remote set up again, goes through.
    ASSERT_TRUE(configure(2, 4));
    ASSERT_TRUE(stream(60));
    EXPECT_EQ(ScriptLog::count("sensor data length not set"), 1);
}

} // namespace
