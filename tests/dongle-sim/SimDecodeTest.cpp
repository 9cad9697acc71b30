// What the simulator says it sent (its truth) is what the library's sensors decode.
#include "tools/dongle-sim/DongleModel.h"
#include "tools/dongle-sim/SimLayout.h"

#include "device/link/protocol/CommandCodes.h"
#include "device/link/protocol/Packet.h"
#include "device/sensors/RemoteConfiguration.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(SimDecode, EveryConfigurationDecodesToTheTruthThroughTheSensorClasses) {
    for (int config : simConfigurations()) {
        SCOPED_TRACE("config " + std::to_string(config));
        DongleModel::Options options;
        options.firstCounter = 10;   // sensors ignore counters below 10 until their first frame
        DongleModel m(options);
        m.setPairing(1, m.unitID(1));
        m.settleConnections();
        ASSERT_TRUE(m.setFixedConfig(1, config));
        m.handleCommand(buildFrame(START_DATA));

        RemoteConfiguration remote(1, 1, config, nullptr, nullptr);
        std::map<int32_t, int32_t> lengths;
        for (const auto& block : simBlockLayout(config))
            lengths[block.type] = block.slotLength;

        std::map<int, std::vector<std::vector<double>>> truth;
        for (int tick = 0; tick < 60; ++tick) {
            std::vector<SimDataFrame> frames;
            m.tick(&frames);
            ASSERT_EQ(frames.size(), 1u);
            const auto& bytes = frames[0].frame;
            for (const auto& s : frames[0].samples)
                truth[s.type].push_back(s.values);
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

        auto near = [](double library, double expected) {
            return std::fabs(library - expected) <= 1e-3 + 1e-5 * std::fabs(expected);
        };
        for (const auto& [type, sensor] : remote.sensors) {
            SCOPED_TRACE("sensor " + std::to_string(type));
            if (type == SensorEcg6) {
                // Three electrodes from the ECG block, three from the analog blocks.
                ASSERT_EQ(sensor->samples.size(), truth[SIM_ECG].size());
                for (std::size_t i = 0; i < sensor->samples.size(); ++i) {
                    Sample s = sensor->samples.at(i);
                    const double expected[6] = {truth[SIM_ECG][i][0], truth[SIM_ECG][i][1], truth[SIM_ECG][i][2],
                                                truth[SIM_ANALOG7][i][0], truth[SIM_ANALOG8][i][0],
                                                truth[SIM_ANALOG9][i][0]};
                    for (int k = 0; k < 6; ++k)
                        ASSERT_TRUE(near(s.values[k], expected[k])) << i << "/" << k << ": " << s.values[k]
                                                                    << " vs " << expected[k];
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
                    ASSERT_TRUE(near(s.values[k], expected[i][k])) << i << "/" << k << ": " << s.values[k]
                                                                   << " vs " << expected[i][k];
            }
        }
    }
}
