#include "device/storage/AcquisitionStack.h"

#include "device/base/HardwareState.h"
#include "device/sensors/RemoteConfiguration.h"
#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <set>
#include <string>

namespace {

using boost::posix_time::microsec_clock;
using boost::posix_time::ptime;

TEST(AcquisitionIdentifier, IsARandomVersion4UuidInCanonicalForm) {
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i) {
        std::string id = AcquisitionStack::newIdentifier();
        ASSERT_EQ(id.size(), 36u) << id;
        for (std::size_t at : {8u, 13u, 18u, 23u})
            EXPECT_EQ(id[at], '-') << id;
        EXPECT_EQ(id[14], '4') << id;
        EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
        for (std::size_t at = 0; at < id.size(); ++at) {
            if (at != 8 && at != 13 && at != 18 && at != 23) {
                EXPECT_NE(std::string("0123456789abcdef").find(id[at]), std::string::npos) << id;
            }
        }
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 500u);
}

class AcquisitionStackTest : public ::testing::Test {
protected:
    HardwareState hardware;
    RecordingListener listener;
};

TEST_F(AcquisitionStackTest, StartsWithAFreshEmptyCurrentAcquisition) {
    ptime before = microsec_clock::local_time();
    AcquisitionStack stack(&listener, &hardware, nullptr);
    ptime after = microsec_clock::local_time();

    Acquisition* current = stack.getCurrent();
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->acquisitionID.size(), 36u);
    EXPECT_EQ(stack.currentAcquisitionID(), current->acquisitionID);
    EXPECT_TRUE(current->lastStartDate().is_not_a_date_time());
    EXPECT_GE(current->createdDate, before);
    EXPECT_LE(current->createdDate, after);
    EXPECT_FALSE(current->fromDB);
    EXPECT_TRUE(current->remoteConfigurations.empty());
    EXPECT_TRUE(current->isEmpty());
    EXPECT_TRUE(stack.getStacked().empty());
    EXPECT_TRUE(listener.hasLog("AcquisitionStack::setUpNewAcquisition - ID: " + current->acquisitionID));
}

TEST_F(AcquisitionStackTest, AddRemoteKeepsAnExistingConfigurationAndIgnoresConfigurationZero) {
    hardware.remoteStatus(1)->remoteID = 0x12AB;
    AcquisitionStack stack(&listener, &hardware, nullptr);

    EXPECT_TRUE(stack.addRemote(1, 0, -1));
    EXPECT_FALSE(stack.hasRemote(1));

    ASSERT_TRUE(stack.addRemote(1, 2, -1)); // accelerometer only
    RemoteConfiguration* first = stack.getCurrent()->remoteConfiguration(1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->remoteId, 0x12AB); // taken from the hardware state
    EXPECT_EQ(first->fixedConfig, 2);

    EXPECT_FALSE(stack.addRemote(1, 1, 77));
    EXPECT_EQ(stack.getCurrent()->remoteConfiguration(1), first);
    EXPECT_EQ(first->fixedConfig, 2);

    EXPECT_TRUE(stack.hasRemote(1));
    EXPECT_TRUE(stack.hasSensor(1, 1));
    EXPECT_NE(stack.getSensor(1, 1), nullptr);
    EXPECT_FALSE(stack.hasSensor(1, 3));
    EXPECT_EQ(stack.getSensor(2, 1), nullptr);

    for (int remote : {0, 3, -1})
        EXPECT_FALSE(stack.addRemote(remote, 2, 5)) << remote;

    stack.removeRemote(1);
    EXPECT_FALSE(stack.hasRemote(1));
    stack.removeRemote(1); // absent: nothing happens
    EXPECT_TRUE(stack.addRemote(1, 1, 5));
    EXPECT_TRUE(stack.hasSensor(1, 3));
}

TEST_F(AcquisitionStackTest, ARecordingIsNeverReplacedWithoutBeingStackedOrDiscarded) {
    AcquisitionStack stack(&listener, &hardware, nullptr);
    std::string empty = stack.currentAcquisitionID();
    // An empty current acquisition is simply replaced.
    ASSERT_TRUE(stack.setUpNewAcquisition());
    EXPECT_NE(stack.currentAcquisitionID(), empty);

    ASSERT_TRUE(stack.addRemote(2, 2, 9));
    std::string recording = stack.currentAcquisitionID();
    EXPECT_FALSE(stack.setUpNewAcquisition());
    EXPECT_EQ(stack.currentAcquisitionID(), recording);
    EXPECT_TRUE(stack.hasRemote(2));

    ASSERT_TRUE(stack.stackCurrent());
    // Between stacking and the next set-up there is no current acquisition; lookups
    // answer "nothing" instead of failing.
    EXPECT_EQ(stack.getCurrent(), nullptr);
    EXPECT_EQ(stack.currentAcquisitionID(), "");
    EXPECT_FALSE(stack.hasRemote(2));
    EXPECT_EQ(stack.getSensor(2, 1), nullptr);
    EXPECT_FALSE(stack.addRemote(1, 2, 9));
    EXPECT_FALSE(stack.stackCurrent());
    EXPECT_FALSE(stack.discardCurrent());

    ASSERT_TRUE(stack.setUpNewAcquisition());
    ASSERT_EQ(stack.getStacked().size(), 1u);
    EXPECT_EQ(stack.getStacked().front()->acquisitionID, recording);
    EXPECT_NE(stack.currentAcquisitionID(), recording);
    EXPECT_FALSE(stack.hasRemote(2));
}

TEST_F(AcquisitionStackTest, DiscardingAnEmptyAcquisitionIsRefused) {
    AcquisitionStack stack(&listener, &hardware, nullptr);
    std::string id = stack.currentAcquisitionID();
    EXPECT_FALSE(stack.discardCurrent());
    EXPECT_EQ(stack.currentAcquisitionID(), id);

    // Started once, even with its remotes removed since, it has a recording to discard.
    stack.getCurrent()->setLastStartDate(microsec_clock::local_time());
    EXPECT_FALSE(stack.getCurrent()->isEmpty());
    EXPECT_TRUE(stack.discardCurrent());
    EXPECT_EQ(stack.getCurrent(), nullptr);
    ASSERT_TRUE(stack.setUpNewAcquisition());

    ASSERT_TRUE(stack.addRemote(1, 3, 4));
    EXPECT_TRUE(stack.discardCurrent());
    EXPECT_TRUE(stack.getStacked().empty());
}

} // namespace
