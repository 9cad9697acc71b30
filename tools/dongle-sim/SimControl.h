// SimControl: one control line of the simulator read into what it asks for.
//
// Reading a line has no effect: no port, thread or clock is touched. DongleSim applies the
// result on its own thread; what a line can only answer from the simulator's state (a port
// to reopen, a host on the line, the hostile shares adding up) is checked there. Errors are
// the answers sent back to the controller, "error: ...".
#pragma once

#include "tools/dongle-sim/SimHostile.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ControlLine {
    enum class Verb {
        Nothing, // an empty line or a comment
        Unplug,
        Replug,
        RadioDrop,
        RadioReturn,
        Garbage,
        Hostile,
        HostileOff,
        Split,
        SplitOff,
        DropAnswers,
        LateAnswers,
        Nack,
        Paced,
        Config,
        Battery,
        At,
        Status,
        Stats,
        Quit,
    };
    Verb verb = Verb::Nothing;
    int remote = 0;                     // radio-drop, radio-return, config, battery
    long count = 0;                     // garbage (random bytes), drop-answers, late-answers, nack
    std::vector<uint8_t> bytes;         // garbage hex
    std::optional<HostileKind> kind;    // hostile: empty for "any"
    std::optional<double> percent;      // hostile: a share, or none for the next frame only
    int maxBytes = 0;                   // split
    std::chrono::milliseconds delay{0}; // split gap, late-answers delay, at
    int command = -1;                   // nack: the command code, -1 for any
    int error = 0;                      // nack: the error code
    bool on = false;                    // paced
    int config = 0;                     // config
    double volts = 0;                   // battery
    std::string line;                   // at: the line to run later
};

struct ControlParse {
    std::optional<ControlLine> line; // or
    std::string error;               // the answer to a line that cannot be run
};

// `commands`: the protocol's command codes and names, for nack.
ControlParse parseControlLine(const std::string& text, const std::map<int, std::string>& commands);

// The number readers of the control lines (strtol base 0, strtod; whole words only).
std::vector<std::string> controlWords(const std::string& line);
bool parseControlInt(const std::string& text, long& value);
bool parseControlDouble(const std::string& text, double& value);
