// What the simulator says it sent (its truth) is what the library's sensors decode, with
// the constants each remote reports stored in its sensors as the library stores them.
#include "tools/dongle-sim/DongleModel.h"
#include "tools/dongle-sim/SimLayout.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"
#include "device/sensors/RemoteConfiguration.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// The words of the remote's calibration reply for `type`, as they arrive.
std::vector<uint16_t> reportedWords(DongleModel& m, int remote, int type) {
    std::vector<uint16_t> words;
    const std::vector<uint8_t> ask = {uint8_t(remote), uint8_t(type)};
    for (const auto& e : m.handleCommand(buildFrame(GET_CALIBRATION, ask)))
        if (e.kind == SimEmission::Kind::Answer && e.frame.size() > 7)
            for (std::size_t i = 6; i + 2 < e.frame.size(); i += 2)
                words.push_back(uint16_t((e.frame[i] << 8) | e.frame[i + 1]));
    return words;
}

void storeConstants(DongleModel& m, int remote, RemoteConfiguration& library) {
    if (auto* barometer = dynamic_cast<Barometer*>(library.sensor(SIM_BAROMETER))) {
        auto w = reportedWords(m, remote, SIM_BAROMETER);
        ASSERT_EQ(w.size(), 4u);
        barometer->setCoefficientWords(int16_t(w[0]), int16_t(w[1]), int16_t(w[2]), int16_t(w[3]));
    }
    if (auto* thermometer = dynamic_cast<Thermometer*>(library.sensor(SIM_THERMOMETER))) {
        auto w = reportedWords(m, remote, SIM_THERMOMETER);
        ASSERT_EQ(w.size(), 2u);
        ASSERT_TRUE(thermometer->setCalibrationPoints(float(w[0]), float(w[1])));
    }
}

bool near(double library, double expected) {
    return std::fabs(library - expected) <= 1e-3 + 1e-5 * std::fabs(expected);
}

void expectTruth(const RemoteConfiguration& remote, std::map<int, std::vector<std::vector<double>>>& truth) {
    for (const auto& [type, sensor] : remote.sensors) {
        SCOPED_TRACE("sensor " + std::to_string(type));
        if (type == SensorEcg6) {
            // Three electrodes from the ECG block, three from the analog blocks.
            ASSERT_EQ(sensor->samples.size(), truth[SIM_ECG].size());
            for (std::size_t i = 0; i < sensor->samples.size(); ++i) {
                Sample s = sensor->samples.at(i);
                const double expected[6] = {truth[SIM_ECG][i][0],     truth[SIM_ECG][i][1],
                                            truth[SIM_ECG][i][2],     truth[SIM_ANALOG7][i][0],
                                            truth[SIM_ANALOG8][i][0], truth[SIM_ANALOG9][i][0]};
                for (int k = 0; k < 6; ++k)
                    ASSERT_TRUE(near(s.values[k], expected[k]))
                        << i << "/" << k << ": " << s.values[k] << " vs " << expected[k];
            }
            continue;
        }
        const auto& expected = truth[type];
        ASSERT_EQ(sensor->samples.size(), expected.size());
        ASSERT_FALSE(expected.empty());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            Sample s = sensor->samples.at(i);
            // The wheel's third value (acceleration) is the library's own estimate.
            const std::size_t compared = type == SIM_WHEEL ? 2 : expected[i].size();
            for (std::size_t k = 0; k < compared; ++k)
                ASSERT_TRUE(near(s.values[k], expected[i][k]))
                    << i << "/" << k << ": " << s.values[k] << " vs " << expected[i][k];
        }
    }
}

} // namespace

TEST(SimDecode, EveryConfigurationDecodesToTheTruthThroughTheSensorClasses) {
    for (int config : simConfigurations()) {
        SCOPED_TRACE("config " + std::to_string(config));
        DongleModel::Options options;
        options.firstCounter = 10; // sensors ignore counters below 10 until their first frame
        DongleModel m(options);
        std::vector<std::unique_ptr<RemoteConfiguration>> library;
        for (int remote : {1, 2}) {
            m.setPairing(remote, m.unitID(remote));
            m.settleConnections();
            ASSERT_TRUE(m.setFixedConfig(remote, config));
            library.push_back(std::make_unique<RemoteConfiguration>(remote, remote, config, nullptr, nullptr));
            storeConstants(m, remote, *library.back());
        }
        m.handleCommand(buildFrame(START_DATA));

        std::map<int32_t, int32_t> lengths;
        for (const auto& block : simBlockLayout(config))
            lengths[block.type] = block.slotLength;

        std::map<int, std::vector<std::vector<double>>> truth[2];
        for (int tick = 0; tick < 60; ++tick) {
            std::vector<SimDataFrame> frames;
            m.tick(&frames);
            ASSERT_EQ(frames.size(), 2u);
            for (const SimDataFrame& frame : frames) {
                RemoteConfiguration& remote = *library[frame.remote - 1];
                const auto& bytes = frame.frame;
                for (const auto& s : frame.samples)
                    truth[frame.remote - 1][s.type].push_back(s.values);
                // The host's walk: fixed slots, one block after the other.
                std::size_t position = 7;
                for (int b = 0; b < bytes[6]; ++b) {
                    const int type = bytes[position] & 0x7F;
                    if (Sensor* sensor = remote.sensor(type)) {
                        sensor->parse(bytes, static_cast<uint16_t>(position));
                    } else if (Sensor* combined = remote.sensor(SensorEcg6)) {
                        combined->parseCombined(bytes, lengths);
                        break;
                    }
                    position += 2 + lengths[type];
                }
            }
        }

        for (int r = 0; r < 2; ++r) {
            SCOPED_TRACE("remote " + std::to_string(r + 1));
            expectTruth(*library[r], truth[r]);
        }
    }
}
