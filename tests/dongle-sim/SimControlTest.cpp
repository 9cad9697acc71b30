#include "tools/dongle-sim/SimControl.h"

#include <gtest/gtest.h>

using Verb = ControlLine::Verb;
using namespace std::chrono_literals;

namespace {

// A command table of our own, so that the names are known here and not taken from the protocol.
const std::map<int, std::string> commands = {{0x26, "SET_FIXED_CONFIG"}, {0x27, "GET_FIXED_CONFIG"}};

ControlLine ok(const std::string& text) {
    ControlParse p = parseControlLine(text, commands);
    EXPECT_TRUE(p.line) << text << " -> " << p.error;
    return p.line.value_or(ControlLine{});
}

std::string error(const std::string& text) {
    ControlParse p = parseControlLine(text, commands);
    EXPECT_FALSE(p.line) << text;
    return p.error;
}

} // namespace

TEST(SimControl, LinesReadIntoTheirArguments) {
    EXPECT_EQ(ok("").verb, Verb::Nothing);
    EXPECT_EQ(ok("  # radio-drop 7").verb, Verb::Nothing);
    EXPECT_EQ(ok("unplug now").verb, Verb::Unplug); // words after a plain verb are ignored
    EXPECT_EQ(ok("stats").verb, Verb::Stats);

    ControlLine c = ok("radio-return 2");
    EXPECT_EQ(c.verb, Verb::RadioReturn);
    EXPECT_EQ(c.remote, 2);

    c = ok("garbage hex 02 ff 0");
    EXPECT_EQ(c.verb, Verb::Garbage);
    EXPECT_EQ(c.bytes, (std::vector<uint8_t>{0x02, 0xFF, 0x00}));
    EXPECT_EQ(c.count, 0);
    EXPECT_EQ(ok("garbage 0x10").count, 16); // numbers in C notation

    c = ok("split 7");
    EXPECT_EQ(c.maxBytes, 7);
    EXPECT_EQ(c.delay, 1ms); // the default gap
    EXPECT_EQ(ok("split 7 25").delay, 25ms);
    EXPECT_EQ(ok("split off").verb, Verb::SplitOff);

    c = ok("late-answers 3 250");
    EXPECT_EQ(c.count, 3);
    EXPECT_EQ(c.delay, 250ms);

    c = ok("nack get_fixed_config 5"); // names in any case, one refusal by default
    EXPECT_EQ(c.command, 0x27);
    EXPECT_EQ(c.error, 5);
    EXPECT_EQ(c.count, 1);
    c = ok("nack any 9 4");
    EXPECT_EQ(c.command, -1);
    EXPECT_EQ(c.count, 4);
    EXPECT_EQ(ok("nack 200 1").command, 200);

    EXPECT_TRUE(ok("paced on").on);
    EXPECT_FALSE(ok("paced off").on);

    c = ok("battery 1 3.65");
    EXPECT_EQ(c.remote, 1);
    EXPECT_DOUBLE_EQ(c.volts, 3.65);
    c = ok("config 2 46");
    EXPECT_EQ(c.remote, 2);
    EXPECT_EQ(c.config, 46);

    c = ok("at 150   radio-drop  1 "); // the rest of the line as written
    EXPECT_EQ(c.verb, Verb::At);
    EXPECT_EQ(c.delay, 150ms);
    EXPECT_EQ(c.line, "radio-drop  1 ");
}

TEST(SimControl, HostileKindsAndShares) {
    ControlLine c = ok("hostile truncate");
    EXPECT_EQ(c.verb, Verb::Hostile);
    EXPECT_EQ(c.kind, HostileKind::Truncate);
    EXPECT_FALSE(c.percent);
    c = ok("hostile any 40%");
    EXPECT_FALSE(c.kind);
    EXPECT_EQ(c.percent, 40.0);
    EXPECT_EQ(ok("hostile flip 12.5").percent, 12.5);
    EXPECT_EQ(ok("hostile off").verb, Verb::HostileOff);
    for (const char* wrong : {"hostile", "hostile flip 101", "hostile flip nan", "hostile flip -1", "hostile flip 5 6"})
        EXPECT_EQ(error(wrong).rfind("error: usage: hostile", 0), 0u) << wrong;
    EXPECT_EQ(error("hostile nope").rfind("error: unknown hostile kind 'nope'", 0), 0u);
}

TEST(SimControl, BadLinesAreRefusedWithTheirAnswer) {
    EXPECT_EQ(error("jump"), "error: unknown control 'jump'");
    EXPECT_EQ(error("radio-drop 3"), "error: usage: radio-drop <1|2>");
    EXPECT_EQ(error("radio-return"), "error: usage: radio-return <1|2>");
    EXPECT_EQ(error("garbage hex 02 1ff"), "error: bad byte 1ff");
    EXPECT_EQ(error("garbage hex"), "error: no bytes");
    for (const char* wrong : {"garbage", "garbage 0", "garbage 65537", "garbage 3 4", "garbage x"})
        EXPECT_EQ(error(wrong), "error: usage: garbage <count 1..65536> | garbage hex <bytes>") << wrong;
    EXPECT_EQ(error("split 1025"), "error: usage: split <max-bytes> [gap-ms] | split off");
    EXPECT_EQ(error("split 8 1001"), "error: usage: split <max-bytes> [gap-ms] | split off");
    EXPECT_EQ(error("drop-answers -1"), "error: usage: drop-answers <n>");
    EXPECT_EQ(error("late-answers 1 60001"), "error: usage: late-answers <n> <ms>");
    EXPECT_EQ(error("nack NO_SUCH_COMMAND 5"), "error: unknown command NO_SUCH_COMMAND");
    EXPECT_EQ(error("nack 256 5"), "error: unknown command 256");
    for (const char* wrong : {"nack any", "nack any 256", "nack any 5 0", "nack any 5 1 2"})
        EXPECT_EQ(error(wrong), "error: usage: nack <command|any> <error> [n]") << wrong;
    EXPECT_EQ(error("paced maybe"), "error: usage: paced on|off");
    EXPECT_EQ(error("config 1"), "error: usage: config <1|2> <configuration>");
    EXPECT_EQ(error("battery 2 10.5"), "error: usage: battery <1|2> <volts>");
    EXPECT_EQ(error("at 100"), "error: usage: at <ms> <line>");
    EXPECT_EQ(error("at -5 stats"), "error: usage: at <ms> <line>");
}
