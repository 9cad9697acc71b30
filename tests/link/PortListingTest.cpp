#include "device/link/PortListing.h"

#include <gtest/gtest.h>

#include <string>

TEST(PortListing, NameDirectlyBeforeTheMarkerIsTheDonglesPort)
{
    EXPECT_EQ(portNameFromListing("COM12 <Korvex Virtual COM Port>\n"), "COM12");
    EXPECT_EQ(portNameFromListing("COM3 <Korvex Virtual COM Port>"), "COM3");
    EXPECT_EQ(portNameFromListing("/dev/pts/7 <Korvex Virtual COM Port>\r\n"), "/dev/pts/7");
    EXPECT_EQ(portNameFromListing("/dev/ttyACM0 <Korvex Virtual COM Port>"), "/dev/ttyACM0");
}

TEST(PortListing, OtherPortsOnEarlierLinesAreSkipped)
{
    std::string out = "COM1 <Communications Port>\n"
                      "/dev/ttyS0 <16550A UART>\n"
                      "/dev/ttyUSB0 <FT232R USB UART>\n"
                      "/dev/pts/3 <Korvex Virtual COM Port>\n"
                      "/dev/pts/4 <Korvex Virtual COM Port>\n";
    EXPECT_EQ(portNameFromListing(out), "/dev/pts/3");
}

TEST(PortListing, NoUsableNameYieldsEmpty)
{
    EXPECT_EQ(portNameFromListing(""), "");
    EXPECT_EQ(portNameFromListing(" <Korvex Virtual COM Port>"), "");
    EXPECT_EQ(portNameFromListing("COM7 <Other Port>\n"), "");
    EXPECT_EQ(portNameFromListing("\n <Korvex Virtual COM Port>"), "");
    // Not a device path nor a COM name.
    EXPECT_EQ(portNameFromListing("ttyACM0 <Korvex Virtual COM Port>"), "");
    EXPECT_EQ(portNameFromListing("COMX <Korvex Virtual COM Port>"), "");
    EXPECT_EQ(portNameFromListing("COM <Korvex Virtual COM Port>"), "");
    EXPECT_EQ(portNameFromListing("/dev/ <Korvex Virtual COM Port>"), "");
    // The marker without its leading space does not count.
    EXPECT_EQ(portNameFromListing("COM4<Korvex Virtual COM Port>"), "");
}

TEST(PortListing, OnlyTheFirst512BytesAreExamined)
{
    std::string filler;
    while (filler.size() < 490)
        filler += "/dev/ttyS9 <16550A UART>\n";
    std::string late = filler + "/dev/pts/9 <Korvex Virtual COM Port>\n";
    ASSERT_GT(late.size(), portListingLimit);
    EXPECT_EQ(portNameFromListing(late), "");
    EXPECT_EQ(portNameFromListing("/dev/pts/9 <Korvex Virtual COM Port>\n" + filler), "/dev/pts/9");
}
