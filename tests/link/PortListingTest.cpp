#include "device/link/PortListing.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

// The port is the name directly before the first marker, a device path or a COM name;
// anything else yields no port.
TEST(PortListing, NameDirectlyBeforeTheFirstMarkerIsTheDonglesPort) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"COM12 <Korvex Virtual COM Port>\n", "COM12"},
        {"COM3 <Korvex Virtual COM Port>", "COM3"},
        {"/dev/pts/7 <Korvex Virtual COM Port>\r\n", "/dev/pts/7"},
        {"/dev/ttyACM0 <Korvex Virtual COM Port>", "/dev/ttyACM0"},
        {"COM1 <Communications Port>\n/dev/ttyS0 <16550A UART>\n/dev/ttyUSB0 <FT232R USB UART>\n"
         "/dev/pts/3 <Korvex Virtual COM Port>\n/dev/pts/4 <Korvex Virtual COM Port>\n",
         "/dev/pts/3"},
        {"", ""},
        {" <Korvex Virtual COM Port>", ""},
        {"COM7 <Other Port>\n", ""},
        {"\n <Korvex Virtual COM Port>", ""},
        {"ttyACM0 <Korvex Virtual COM Port>", ""}, // neither a device path nor a COM name
        {"COMX <Korvex Virtual COM Port>", ""},
        {"COM <Korvex Virtual COM Port>", ""},
        {"/dev/ <Korvex Virtual COM Port>", ""},
        {"COM4<Korvex Virtual COM Port>", ""}, // the marker without its leading space
    };
    for (const auto& [listing, port] : cases)
        EXPECT_EQ(portNameFromListing(listing), port) << listing;
}

TEST(PortListing, OnlyTheFirst512BytesAreExamined) {
    std::string filler;
    while (filler.size() < 490)
        filler += "/dev/ttyS9 <16550A UART>\n";
    std::string late = filler + "/dev/pts/9 <Korvex Virtual COM Port>\n";
    ASSERT_GT(late.size(), portListingLimit);
    EXPECT_EQ(portNameFromListing(late), "");
    EXPECT_EQ(portNameFromListing("/dev/pts/9 <Korvex Virtual COM Port>\n" + filler), "/dev/pts/9");
}
