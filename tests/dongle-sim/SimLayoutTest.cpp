#include "tools/dongle-sim/SimLayout.h"

#include <gtest/gtest.h>

TEST(SimLayout, EveryConfigurationFitsOneFrameWithSlotsForTheBusiestFrame) {
    ASSERT_EQ(simConfigurations().size(), 27u); // 1-10, 12, 32-47
    for (int config : simConfigurations()) {
        SCOPED_TRACE(config);
        EXPECT_LE(simDataPayloadSize(config), 255);
        for (const auto& block : simBlockLayout(config)) {
            EXPECT_GT(block.sampleSize, 0);
            EXPECT_EQ(block.slotLength, simMaxSamplesPerFrame(block.rate) * block.sampleSize);
            // Slots never run short: no 10 ms frame carries more samples than its slot holds.
            for (int64_t frame = 0; frame < 200; ++frame)
                EXPECT_LE(simSamplesInFrame(block.rate, frame) * block.sampleSize, block.slotLength);
        }
    }
    // The slots of the examples: 4 samples at 380 Hz, 1 at 95 Hz, 48 at 4800 Hz.
    EXPECT_EQ(simBlockLayout(1)[0].slotLength, 4 * 6);
    EXPECT_EQ(simBlockLayout(3)[2].slotLength, 6);
    EXPECT_EQ(simBlockLayout(46)[0].slotLength, 48 * 2);
    EXPECT_TRUE(simBlockLayout(0).empty());
    EXPECT_TRUE(simBlockLayout(11).empty());
    EXPECT_TRUE(simBlockLayout(48).empty());
}

TEST(SimLayout, SamplesPerFrameAddUpToTheRateEverySecond) {
    for (int rate : {50, 80, 95, 100, 190, 200, 380, 400, 760, 800, 2400, 4800}) {
        SCOPED_TRACE(rate);
        int64_t total = 0;
        for (int64_t frame = 0; frame < 300; ++frame)
            total += simSamplesInFrame(rate, frame);
        EXPECT_EQ(total, 3 * rate);
        EXPECT_EQ(simFirstSampleOfFrame(rate, 300), 3 * rate);
    }
    // 80 Hz: one frame in five carries nothing, the block is all padding then.
    int empty = 0;
    for (int64_t frame = 0; frame < 100; ++frame)
        empty += simSamplesInFrame(80, frame) == 0;
    EXPECT_EQ(empty, 20);
}

TEST(SimLayout, CombinedEcgStreamsEqualBlocksLeadingWithTheElectrodes) {
    const auto& blocks = simBlockLayout(47);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].type, SIM_ECG);
    for (const auto& block : blocks) {
        EXPECT_EQ(block.rate, 400);
        EXPECT_EQ(block.slotLength / block.sampleSize, 4);
    }
}
