#include "tools/dongle-sim/SimControl.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

std::vector<std::string> controlWords(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

bool parseControlInt(const std::string& text, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0';
}

bool parseControlDouble(const std::string& text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && errno == 0 && end && *end == '\0';
}

namespace {

std::string restAfter(const std::string& line, std::size_t words) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < words; ++i) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string::npos)
            return {};
        pos = line.find_first_of(" \t", pos);
        if (pos == std::string::npos)
            return {};
    }
    pos = line.find_first_not_of(" \t", pos);
    return pos == std::string::npos ? std::string{} : line.substr(pos);
}

// A command by number or by name (any case); -1 for "any", -2 when unknown.
int parseCommand(const std::string& word, const std::map<int, std::string>& commands) {
    if (word == "any")
        return -1;
    long value;
    if (parseControlInt(word, value))
        return value >= 0 && value <= 255 ? static_cast<int>(value) : -2;
    for (const auto& [code, name] : commands) {
        if (name.size() == word.size() &&
            std::equal(name.begin(), name.end(), word.begin(),
                       [](char a, char b) { return std::toupper(a) == std::toupper(b); }))
            return code;
    }
    return -2;
}

ControlParse parseHostile(const std::vector<std::string>& words) {
    std::string kinds;
    for (int k = 0; k < hostileKindCount; ++k)
        kinds += std::string(k ? ", " : "") + hostileKindName(static_cast<HostileKind>(k));
    const std::string usage =
        "error: usage: hostile <kind|any> [percent] | hostile off (kinds: " + kinds + ")";
    ControlLine c;
    if (words.size() == 2 && words[1] == "off") {
        c.verb = ControlLine::Verb::HostileOff;
        return {c, {}};
    }
    if (words.size() < 2 || words.size() > 3)
        return {{}, usage};
    c.verb = ControlLine::Verb::Hostile;
    c.kind = parseHostileKind(words[1]);
    if (!c.kind && words[1] != "any")
        return {{}, "error: unknown hostile kind '" + words[1] + "' (kinds: " + kinds + ", any)"};
    if (words.size() == 2)
        return {c, {}};
    std::string number = words[2];
    if (!number.empty() && number.back() == '%')
        number.pop_back();
    double percent;
    if (!parseControlDouble(number, percent) || !std::isfinite(percent) || percent < 0 ||
        percent > 100)
        return {{}, usage};
    c.percent = percent;
    return {c, {}};
}

} // namespace

ControlParse parseControlLine(const std::string& text, const std::map<int, std::string>& commands) {
    using Verb = ControlLine::Verb;
    const auto words = controlWords(text);
    ControlLine c;
    if (words.empty() || words[0][0] == '#')
        return {c, {}};
    const std::string& verb = words[0];
    long a = 0, b = 0;
    auto remoteArg = [&](std::size_t i, long& r) {
        return words.size() > i && parseControlInt(words[i], r) && (r == 1 || r == 2);
    };
    auto ok = [&](Verb v) {
        c.verb = v;
        return ControlParse{c, {}};
    };
    auto fail = [](std::string error) { return ControlParse{{}, std::move(error)}; };

    // Lines without arguments; words after the verb are ignored.
    static const std::map<std::string, Verb> plain = {
        {"unplug", Verb::Unplug}, {"replug", Verb::Replug}, {"status", Verb::Status},
        {"stats", Verb::Stats},   {"quit", Verb::Quit},
    };
    if (auto it = plain.find(verb); it != plain.end())
        return ok(it->second);

    if (verb == "radio-drop" || verb == "radio-return") {
        if (!remoteArg(1, a))
            return fail("error: usage: " + verb + " <1|2>");
        c.remote = static_cast<int>(a);
        return ok(verb == "radio-return" ? Verb::RadioReturn : Verb::RadioDrop);
    }
    if (verb == "garbage") {
        if (words.size() > 1 && words[1] == "hex") {
            for (std::size_t i = 2; i < words.size(); ++i) {
                long v;
                if (!parseControlInt("0x" + words[i], v) || v < 0 || v > 255)
                    return fail("error: bad byte " + words[i]);
                c.bytes.push_back(static_cast<uint8_t>(v));
            }
            if (c.bytes.empty())
                return fail("error: no bytes");
        } else {
            if (words.size() != 2 || !parseControlInt(words[1], a) || a < 1 || a > 65536)
                return fail("error: usage: garbage <count 1..65536> | garbage hex <bytes>");
            c.count = a;
        }
        return ok(Verb::Garbage);
    }
    if (verb == "hostile")
        return parseHostile(words);
    if (verb == "split") {
        if (words.size() >= 2 && words[1] == "off")
            return ok(Verb::SplitOff);
        if (words.size() < 2 || !parseControlInt(words[1], a) || a < 0 || a > 1024 ||
            (words.size() > 2 && (!parseControlInt(words[2], b) || b < 0 || b > 1000)))
            return fail("error: usage: split <max-bytes> [gap-ms] | split off");
        c.maxBytes = static_cast<int>(a);
        c.delay = std::chrono::milliseconds(words.size() > 2 ? b : 1);
        return ok(Verb::Split);
    }
    if (verb == "drop-answers") {
        if (words.size() != 2 || !parseControlInt(words[1], a) || a < 0)
            return fail("error: usage: drop-answers <n>");
        c.count = a;
        return ok(Verb::DropAnswers);
    }
    if (verb == "late-answers") {
        if (words.size() != 3 || !parseControlInt(words[1], a) || !parseControlInt(words[2], b) ||
            a < 0 || b < 0 || b > 60000)
            return fail("error: usage: late-answers <n> <ms>");
        c.count = a;
        c.delay = std::chrono::milliseconds(b);
        return ok(Verb::LateAnswers);
    }
    if (verb == "nack") {
        long count = 1;
        if (words.size() < 3 || words.size() > 4 || !parseControlInt(words[2], b) || b < 0 ||
            b > 255 || (words.size() == 4 && (!parseControlInt(words[3], count) || count < 1)))
            return fail("error: usage: nack <command|any> <error> [n]");
        c.command = parseCommand(words[1], commands);
        if (c.command == -2)
            return fail("error: unknown command " + words[1]);
        c.error = static_cast<int>(b);
        c.count = count;
        return ok(Verb::Nack);
    }
    if (verb == "paced") {
        if (words.size() != 2 || (words[1] != "on" && words[1] != "off"))
            return fail("error: usage: paced on|off");
        c.on = words[1] == "on";
        return ok(Verb::Paced);
    }
    if (verb == "config") {
        if (!remoteArg(1, a) || words.size() != 3 || !parseControlInt(words[2], b))
            return fail("error: usage: config <1|2> <configuration>");
        c.remote = static_cast<int>(a);
        c.config = static_cast<int>(b);
        return ok(Verb::Config);
    }
    if (verb == "battery") {
        double volts;
        if (!remoteArg(1, a) || words.size() != 3 || !parseControlDouble(words[2], volts) ||
            volts < 0 || volts > 10)
            return fail("error: usage: battery <1|2> <volts>");
        c.remote = static_cast<int>(a);
        c.volts = volts;
        return ok(Verb::Battery);
    }
    if (verb == "at") {
        std::string rest = restAfter(text, 2);
        if (words.size() < 3 || !parseControlInt(words[1], a) || a < 0 || rest.empty())
            return fail("error: usage: at <ms> <line>");
        c.delay = std::chrono::milliseconds(a);
        c.line = rest;
        return ok(Verb::At);
    }
    return fail("error: unknown control '" + verb + "'");
}
