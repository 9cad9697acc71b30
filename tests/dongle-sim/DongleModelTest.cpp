#include "tools/dongle-sim/DongleModel.h"
#include "tools/dongle-sim/SimLayout.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(uint8_t command, Bytes payload = {}) { return buildFrame(command, payload); }

// The answer frames of one command (radio frames excluded).
std::vector<Bytes> answers(DongleModel& m, const Bytes& command) {
    std::vector<Bytes> out;
    for (const auto& e : m.handleCommand(command))
        if (e.kind == SimEmission::Kind::Answer)
            out.push_back(e.frame);
    return out;
}

Bytes answer(DongleModel& m, const Bytes& command) {
    auto all = answers(m, command);
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? Bytes{} : all[0];
}

Bytes ack(uint8_t command) { return frame(ACK, {command}); }
Bytes nack(uint8_t command, uint8_t error) { return frame(NACK, {command, error}); }

int mode(DongleModel& m) { return answer(m, frame(GET_DONGLE_STATUS))[5]; }

// Both remotes paired and connected, as after a session of pairing.
DongleModel connectedKit(const DongleModel::Options& options = {}) {
    DongleModel m(options);
    m.setPairing(1, m.unitID(1));
    m.setPairing(2, m.unitID(2));
    m.settleConnections();
    return m;
}

std::vector<Bytes> radioFrames(const std::vector<SimEmission>& emissions) {
    std::vector<Bytes> out;
    for (const auto& e : emissions)
        if (e.kind == SimEmission::Kind::Connection)
            out.push_back(e.frame);
    return out;
}

} // namespace

TEST(DongleModel, IdleDongleRefusesRemoteCommandsAndFindsTheUnpairedRemote) {
    DongleModel m;
    EXPECT_EQ(answer(m, frame(GET_DONGLE_STATUS)), frame(GET_DONGLE_STATUS, {0x01, 0x07, 1, 0x4B, 0x56, 0x01}));
    EXPECT_EQ(answer(m, frame(GET_PAIRING)), frame(GET_PAIRING, Bytes(8, 0)));
    EXPECT_EQ(answer(m, frame(START_DATA)), nack(START_DATA, NACK_INVALID_STATE));
    EXPECT_EQ(answer(m, frame(STOP_DATA)), nack(STOP_DATA, NACK_INVALID_STATE));
    for (uint8_t c : {GET_FIXED_CONFIG, GET_PACKET_CONFIG, GET_REMOTE_STATUS, POWER_DOWN, START_ASYMETRIC_DATA})
        EXPECT_EQ(answer(m, frame(c, {1})), nack(c, NACK_NO_RESPONSE)) << int(c);
    EXPECT_EQ(answer(m, frame(SET_FIXED_CONFIG, {2, 3})), nack(SET_FIXED_CONFIG, NACK_NO_RESPONSE));
    EXPECT_EQ(answer(m, frame(FIND_REMOTE)), frame(FIND_REMOTE, {0x0A, 0x1B, 0x01}));
}

TEST(DongleModel, PairingPassesThroughPairingModeAndConnectsTheRemote) {
    DongleModel m;
    EXPECT_EQ(answer(m, frame(START_PAIRING, {2, 1, 0x0A, 0x1B, 0x02})), ack(START_PAIRING));
    EXPECT_EQ(mode(m), DONGLE_MODE_PAIRING);
    std::vector<Bytes> radio;
    for (int i = 0; i < 5; ++i)
        for (auto& f : radioFrames(m.tick()))
            radio.push_back(f);
    ASSERT_EQ(radio.size(), 1u);
    EXPECT_EQ(radio[0], frame(RF_CONNECTION, {2, 1}));
    EXPECT_EQ(mode(m), DONGLE_MODE_CONNECTED);
    EXPECT_EQ(answer(m, frame(GET_PAIRING)), frame(GET_PAIRING, {0, 0, 0, 0, 1, 0x0A, 0x1B, 0x02}));
    // The paired remote no longer answers the search; the other one does.
    EXPECT_EQ(answer(m, frame(FIND_REMOTE)), frame(FIND_REMOTE, {0x0A, 0x1B, 0x01}));
    // The same remote cannot sit in both slots.
    EXPECT_EQ(answer(m, frame(START_PAIRING, {1, 1, 0x0A, 0x1B, 0x02})),
              nack(START_PAIRING, NACK_INVALID_PAYLOAD_VALUE));
    // Releasing the slot tells the host the remote is gone for good (status 2).
    auto emissions = m.handleCommand(frame(START_PAIRING, {2, 0, 0x0A, 0x1B, 0x02}));
    ASSERT_EQ(emissions.size(), 2u);
    EXPECT_EQ(emissions[0].frame, ack(START_PAIRING));
    EXPECT_EQ(emissions[1].frame, frame(RF_CONNECTION, {2, 2}));
    EXPECT_EQ(mode(m), DONGLE_MODE_IDLE);
}

TEST(DongleModel, StopPairingCancelsAPairingInProgress) {
    DongleModel m;
    answer(m, frame(START_PAIRING, {1, 1, 0x0A, 0x1B, 0x01}));
    EXPECT_EQ(answer(m, frame(STOP_PAIRING)), ack(STOP_PAIRING));
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(radioFrames(m.tick()).empty());
    EXPECT_EQ(mode(m), DONGLE_MODE_IDLE);
}

TEST(DongleModel, PairedRemotesSwitchedOffLeaveTheDongleInPairedMode) {
    DongleModel m = connectedKit();
    m.setInRange(1, false);
    m.setInRange(2, false);
    EXPECT_EQ(mode(m), DONGLE_MODE_PAIRED);
    EXPECT_EQ(answer(m, frame(GET_REMOTE_STATUS, {1})), nack(GET_REMOTE_STATUS, NACK_NO_RESPONSE));
    EXPECT_EQ(answer(m, frame(FIND_REMOTE)), nack(FIND_REMOTE, NACK_NO_RESPONSE));
}

TEST(DongleModel, ConnectedRemoteReportsConfigurationLayoutConstantsAndBattery) {
    DongleModel m = connectedKit();
    EXPECT_EQ(mode(m), DONGLE_MODE_CONNECTED);
    EXPECT_EQ(answer(m, frame(SET_FIXED_CONFIG, {1, 6})), ack(SET_FIXED_CONFIG));
    EXPECT_EQ(answer(m, frame(GET_FIXED_CONFIG, {1})), frame(GET_FIXED_CONFIG, {1, 6}));
    // Thermometer 50 Hz: 1 x 4; barometer 100 Hz: 1 x 4; battery 50 Hz: 1 x 2; light 400 Hz: 4 x 2.
    EXPECT_EQ(answer(m, frame(GET_PACKET_CONFIG, {1})), frame(GET_PACKET_CONFIG, {1, 4, 26, 4, 4, 4, 11, 2, 7, 8}));
    // Each remote its own factory constants (their values: SimSignals tests), or the host's
    // defaults when the kit is told to.
    const Bytes barometers[2] = {answer(m, frame(GET_CALIBRATION, {1, 4})), answer(m, frame(GET_CALIBRATION, {2, 4}))};
    const Bytes thermometer = answer(m, frame(GET_CALIBRATION, {1, 26}));
    ASSERT_EQ(barometers[0].size(), 15u);
    ASSERT_EQ(thermometer.size(), 11u);
    EXPECT_EQ(Bytes(barometers[0].begin(), barometers[0].begin() + 6), Bytes({0x02, GET_CALIBRATION, 11, 1, 4, 8}));
    EXPECT_EQ(Bytes(thermometer.begin(), thermometer.begin() + 6), Bytes({0x02, GET_CALIBRATION, 7, 1, 26, 4}));
    EXPECT_NE(Bytes(barometers[0].begin() + 6, barometers[0].end()),
              Bytes(barometers[1].begin() + 6, barometers[1].end()));
    EXPECT_EQ(answer(m, frame(GET_CALIBRATION, {1, 1})), frame(GET_CALIBRATION, {1, 1, 0}));
    DongleModel::Options defaults;
    defaults.defaultConstants = true;
    DongleModel d = connectedKit(defaults);
    EXPECT_EQ(answer(d, frame(GET_CALIBRATION, {2, 4})),
              frame(GET_CALIBRATION, {2, 4, 8, 0x44, 0x22, 0xAD, 0x63, 0xBC, 0xDA, 0x3A, 0xB8}));
    EXPECT_EQ(answer(d, frame(GET_CALIBRATION, {2, 26})), frame(GET_CALIBRATION, {2, 26, 4, 0x0A, 0x2F, 0x08, 0xE8}));
    m.setBattery(2, 4.0);
    EXPECT_EQ(answer(m, frame(GET_REMOTE_STATUS, {2})),
              frame(GET_REMOTE_STATUS, {2, 0x02, 0x03, 0x01, 0x05, 0x0A, 0xAA}));
    EXPECT_EQ(answer(m, frame(SET_FIXED_CONFIG, {1, 11})), nack(SET_FIXED_CONFIG, NACK_INVALID_PAYLOAD_VALUE));
    EXPECT_EQ(answer(m, frame(GET_FIXED_CONFIG, {1})), frame(GET_FIXED_CONFIG, {1, 6}));
}

TEST(DongleModel, EveryCommandChecksItsPayloadLengthAndRemoteNumber) {
    DongleModel m = connectedKit();
    struct Case {
        uint8_t command;
        Bytes payload;
        uint8_t error;
    };
    const Case cases[] = {
        {START_PAIRING, {1, 1, 0, 0}, NACK_INVALID_PAYLOAD_LENGTH},
        {STOP_PAIRING, {1}, NACK_INVALID_PAYLOAD_LENGTH},
        {GET_PAIRING, {1}, NACK_INVALID_PAYLOAD_LENGTH},
        {FIND_REMOTE, {1}, NACK_INVALID_PAYLOAD_LENGTH},
        {GET_DONGLE_STATUS, {0, 0}, NACK_INVALID_PAYLOAD_LENGTH},
        {START_DATA, {1}, NACK_INVALID_PAYLOAD_LENGTH},
        {STOP_DATA, {1}, NACK_INVALID_PAYLOAD_LENGTH},
        {SET_OUTPUT_CONFIG, {1, 1, 6}, NACK_INVALID_PAYLOAD_LENGTH},
        {SET_OUTPUT_CONFIG, {1, 2, 6, 0x21}, NACK_INVALID_PAYLOAD_LENGTH},
        {GET_OUTPUT_CONFIG, {1, 1}, NACK_INVALID_PAYLOAD_LENGTH},
        {SET_FIXED_CONFIG, {1}, NACK_INVALID_PAYLOAD_LENGTH},
        {GET_FIXED_CONFIG, {}, NACK_INVALID_PAYLOAD_LENGTH},
        {GET_PACKET_CONFIG, {1, 1}, NACK_INVALID_PAYLOAD_LENGTH},
        {GET_CALIBRATION, {1}, NACK_INVALID_PAYLOAD_LENGTH},
        {GET_REMOTE_STATUS, {}, NACK_INVALID_PAYLOAD_LENGTH},
        {POWER_DOWN, {1, 2}, NACK_INVALID_PAYLOAD_LENGTH},
        {START_ASYMETRIC_DATA, {}, NACK_INVALID_PAYLOAD_LENGTH},
        {GET_FIXED_CONFIG, {3}, NACK_INVALID_PAYLOAD_VALUE},
        {SET_FIXED_CONFIG, {0, 3}, NACK_INVALID_PAYLOAD_VALUE},
        {START_PAIRING, {3, 1, 0, 0, 1}, NACK_INVALID_PAYLOAD_VALUE},
        {SET_SENSOR_CONFIG, {}, NACK_INVALID_COMMAND},
        {ACK, {0x20}, NACK_INVALID_COMMAND},
        {0x7F, {}, NACK_INVALID_COMMAND},
        {ENTER_BOOTLOADER, {}, NACK_COMMAND_ERROR},
    };
    for (const auto& c : cases)
        EXPECT_EQ(answer(m, frame(c.command, c.payload)), nack(c.command, c.error))
            << "command " << int(c.command) << " with " << c.payload.size() << " bytes";
    // None of the refusals changed anything.
    EXPECT_EQ(mode(m), DONGLE_MODE_CONNECTED);
}

TEST(DongleModel, RunStartsOnlyWithAConfiguredRemoteAndHoldsItsLayout) {
    DongleModel m = connectedKit();
    EXPECT_EQ(answer(m, frame(START_DATA)), nack(START_DATA, NACK_INVALID_STATE));
    EXPECT_EQ(answer(m, frame(START_ASYMETRIC_DATA, {2})), nack(START_ASYMETRIC_DATA, NACK_INVALID_STATE));
    answer(m, frame(SET_FIXED_CONFIG, {2, 5}));
    EXPECT_EQ(answer(m, frame(START_DATA)), ack(START_DATA));
    EXPECT_EQ(mode(m), DONGLE_MODE_DATA);
    EXPECT_TRUE(m.streaming(2));
    EXPECT_FALSE(m.streaming(1)); // connected but without a configuration
    EXPECT_EQ(answer(m, frame(START_DATA)), nack(START_DATA, NACK_INVALID_STATE));
    EXPECT_EQ(answer(m, frame(START_PAIRING, {1, 1, 1, 2, 3})), nack(START_PAIRING, NACK_INVALID_STATE));
    EXPECT_EQ(answer(m, frame(FIND_REMOTE)), nack(FIND_REMOTE, NACK_INVALID_STATE));
    EXPECT_EQ(answer(m, frame(SET_FIXED_CONFIG, {2, 4})), nack(SET_FIXED_CONFIG, NACK_INVALID_STATE));
    EXPECT_EQ(answer(m, frame(SET_FIXED_CONFIG, {2, 5})), ack(SET_FIXED_CONFIG)); // a re-send is fine
    EXPECT_EQ(answer(m, frame(GET_PACKET_CONFIG, {2}))[5], 1);                    // reads still work while streaming
    EXPECT_EQ(answer(m, frame(STOP_DATA)), ack(STOP_DATA));
    EXPECT_EQ(mode(m), DONGLE_MODE_CONNECTED);
    EXPECT_TRUE(radioFrames(m.tick()).empty());
}

TEST(DongleModel, AsymmetricStartStreamsOnlyTheNamedRemote) {
    DongleModel m = connectedKit();
    answer(m, frame(SET_FIXED_CONFIG, {1, 1}));
    answer(m, frame(SET_FIXED_CONFIG, {2, 2}));
    EXPECT_EQ(answer(m, frame(START_ASYMETRIC_DATA, {2})), ack(START_ASYMETRIC_DATA));
    std::vector<SimDataFrame> frames;
    for (int i = 0; i < 10; ++i)
        m.tick(&frames);
    ASSERT_EQ(frames.size(), 10u);
    for (const auto& f : frames)
        EXPECT_EQ(f.remote, 2);
}

TEST(DongleModel, EveryConfigurationStreamsFixedSizeFramesWithCountedSamples) {
    for (int config : simConfigurations()) {
        SCOPED_TRACE(config);
        DongleModel m = connectedKit();
        ASSERT_EQ(answer(m, frame(SET_FIXED_CONFIG, {1, static_cast<uint8_t>(config)})), ack(SET_FIXED_CONFIG));
        ASSERT_EQ(answer(m, frame(START_ASYMETRIC_DATA, {1})), ack(START_ASYMETRIC_DATA));
        const auto& layout = simBlockLayout(config);
        std::vector<int64_t> samplesPerBlock(layout.size(), 0);
        for (int tick = 0; tick < 100; ++tick) {
            std::vector<SimDataFrame> frames;
            auto emissions = m.tick(&frames);
            ASSERT_EQ(frames.size(), 1u);
            const Bytes& f = frames[0].frame;
            ASSERT_EQ(checkFrame(f), FrameError::None);
            ASSERT_EQ(f[1], DATA_FROM_REMOTE);
            ASSERT_EQ(int(f[2]), simDataPayloadSize(config));
            ASSERT_LE(f[2], 255);
            EXPECT_EQ(f[3], 1);
            EXPECT_EQ(f[4], tick);
            ASSERT_EQ(f[6], layout.size());
            // Walk the blocks the way the host does: by the announced slot lengths.
            std::size_t at = 7;
            std::size_t truth = 0;
            for (std::size_t b = 0; b < layout.size(); ++b) {
                ASSERT_EQ(f[at] & 0x7F, layout[b].type);
                const int count = f[at + 1];
                ASSERT_LE(count, layout[b].slotLength);
                ASSERT_EQ(count % layout[b].sampleSize, 0);
                for (int i = count; i < layout[b].slotLength; ++i)
                    EXPECT_EQ(f[at + 2 + i], 0) << "padding";
                samplesPerBlock[b] += count / layout[b].sampleSize;
                for (int i = 0; i < count / layout[b].sampleSize; ++i, ++truth) {
                    ASSERT_LT(truth, frames[0].samples.size());
                    EXPECT_EQ(frames[0].samples[truth].type, layout[b].type);
                    EXPECT_EQ(frames[0].samples[truth].index, i);
                }
                at += 2 + layout[b].slotLength;
            }
            EXPECT_EQ(at + 1, f.size());
            EXPECT_EQ(truth, frames[0].samples.size());
        }
        for (std::size_t b = 0; b < layout.size(); ++b)
            EXPECT_EQ(samplesPerBlock[b], layout[b].rate) << "one second of block " << b;
    }
}

TEST(DongleModel, FrameCounterAdvancesEveryTickAndWraps) {
    DongleModel::Options options;
    options.firstCounter = 250;
    DongleModel m = connectedKit(options);
    answer(m, frame(SET_FIXED_CONFIG, {1, 9}));
    answer(m, frame(SET_FIXED_CONFIG, {2, 3}));
    answer(m, frame(START_DATA));
    std::vector<SimDataFrame> frames;
    for (int i = 0; i < 300; ++i)
        m.tick(&frames);
    ASSERT_EQ(frames.size(), 600u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].remote, int(i % 2) + 1);
        EXPECT_EQ(frames[i].frame[4], (250 + i / 2) % 256);
    }
    EXPECT_EQ(frames[10].frame[4], 255);
    EXPECT_EQ(frames[12].frame[4], 0);
}

TEST(DongleModel, RadioDropPausesTheStreamAndEndsARunNobodyIsLeftIn) {
    DongleModel m = connectedKit();
    answer(m, frame(SET_FIXED_CONFIG, {1, 2}));
    answer(m, frame(SET_FIXED_CONFIG, {2, 2}));
    answer(m, frame(START_DATA));
    m.tick();
    EXPECT_EQ(radioFrames(m.setInRange(2, false)), std::vector<Bytes>{frame(RF_CONNECTION, {2, 0})});
    std::vector<SimDataFrame> frames;
    for (int i = 0; i < 5; ++i)
        m.tick(&frames);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames.back().remote, 1);
    // The returning remote picks up its stream where the clock is, its counter having run on.
    EXPECT_EQ(radioFrames(m.setInRange(2, true)), std::vector<Bytes>{frame(RF_CONNECTION, {2, 1})});
    frames.clear();
    m.tick(&frames);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].remote, 2);
    EXPECT_EQ(frames[1].counter, 6);
    // Both gone: the dongle leaves Data mode by itself.
    m.setInRange(1, false);
    m.setInRange(2, false);
    EXPECT_EQ(mode(m), DONGLE_MODE_PAIRED);
    EXPECT_EQ(answer(m, frame(STOP_DATA)), nack(STOP_DATA, NACK_INVALID_STATE));
}

TEST(DongleModel, PowerDownDisconnectsTheRemoteWhichForgetsItsConfiguration) {
    DongleModel m = connectedKit();
    answer(m, frame(SET_FIXED_CONFIG, {1, 3}));
    EXPECT_EQ(answer(m, frame(POWER_DOWN, {1})), ack(POWER_DOWN));
    std::vector<Bytes> radio;
    for (int i = 0; i < 3; ++i)
        for (auto& f : radioFrames(m.tick()))
            radio.push_back(f);
    EXPECT_EQ(radio, std::vector<Bytes>{frame(RF_CONNECTION, {1, 0})});
    EXPECT_EQ(answer(m, frame(GET_FIXED_CONFIG, {1})), nack(GET_FIXED_CONFIG, NACK_NO_RESPONSE));
    m.setInRange(1, true); // switched on again
    EXPECT_EQ(answer(m, frame(GET_FIXED_CONFIG, {1})), frame(GET_FIXED_CONFIG, {1, 0}));
}

TEST(DongleModel, OutputSettingsAreStoredAndReportedBack) {
    DongleModel m = connectedKit();
    EXPECT_EQ(answer(m, frame(SET_OUTPUT_CONFIG, {2, 1, 8, 0x23})), ack(SET_OUTPUT_CONFIG));
    EXPECT_EQ(answer(m, frame(SET_OUTPUT_CONFIG, {2, 1, 20, 0x21})), ack(SET_OUTPUT_CONFIG));
    // Sensor 20's two keys move together: key 1 = 1 also sets key 0 to 2.
    EXPECT_EQ(answer(m, frame(GET_OUTPUT_CONFIG, {2})), frame(GET_OUTPUT_CONFIG, {2, 3, 8, 0x23, 20, 0x02, 20, 0x21}));
    EXPECT_EQ(answer(m, frame(SET_OUTPUT_CONFIG, {2, 1, 0, 0x21})),
              nack(SET_OUTPUT_CONFIG, NACK_INVALID_PAYLOAD_VALUE));
    EXPECT_EQ(answer(m, frame(GET_OUTPUT_CONFIG, {1})), frame(GET_OUTPUT_CONFIG, {1, 0}));
    EXPECT_EQ(answer(m, frame(GET_OUTPUT_CONFIG)), frame(GET_OUTPUT_CONFIG, {1, 0}));
}

TEST(DongleModel, SameSeedSameStream) {
    auto run = [](uint64_t seed) {
        DongleModel::Options options;
        options.seed = seed;
        DongleModel m(options);
        m.setPairing(1, m.unitID(1));
        m.settleConnections();
        m.setFixedConfig(1, 38);
        m.handleCommand(frame(START_DATA));
        std::vector<SimDataFrame> frames;
        for (int i = 0; i < 20; ++i)
            m.tick(&frames);
        Bytes all;
        for (auto& f : frames)
            all.insert(all.end(), f.frame.begin(), f.frame.end());
        return all;
    };
    EXPECT_EQ(run(5), run(5));
    EXPECT_NE(run(5), run(6));
}

TEST(DongleModel, ANewHostHearsOfConnectedRemotesAfterItsFirstPairingQueryOnlyWhenAsked) {
    DongleModel m = connectedKit();
    EXPECT_EQ(m.handleCommand(frame(GET_PAIRING)).size(), 1u);
    m.hostAttached();
    auto first = m.handleCommand(frame(GET_PAIRING));
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[1].frame, frame(RF_CONNECTION, {1, 1}));
    EXPECT_EQ(first[2].frame, frame(RF_CONNECTION, {2, 1}));
    EXPECT_EQ(m.handleCommand(frame(GET_PAIRING)).size(), 1u);
    m.setInRange(2, false);
    m.hostAttached();
    auto again = m.handleCommand(frame(GET_PAIRING));
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[1].frame, frame(RF_CONNECTION, {1, 1}));
}
