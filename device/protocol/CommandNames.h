// CommandNames: the names and texts used in log lines about frames.
//
// Four tables built once at construction: command code to name, NACK error code to text,
// dongle mode number to name and pairing status to name. Every lookup of an unknown key
// yields an empty string. Each user builds its own instance; lookups never modify it, so
// one instance may be read from several threads.
#pragma once

#include "device/protocol/CommandCodes.h"

#include <map>
#include <string>

class CommandNames {
public:
    CommandNames();

    std::string commandName(int code) const;
    std::string nackText(int code) const;
    std::string modeName(int number) const;
    std::string pairingStatusName(int status) const;

    // The whole tables, for callers that list them.
    const std::map<int, std::string>& commands() const { return commandNames; }
    const std::map<int, std::string>& nackTexts() const { return nackErrorTexts; }
    const std::map<int, std::string>& modes() const { return modeNames; }
    const std::map<int, std::string>& pairingStatuses() const { return pairingStatusNames; }

private:
    std::map<int, std::string> commandNames;
    std::map<int, std::string> nackErrorTexts;
    std::map<int, std::string> modeNames;
    std::map<int, std::string> pairingStatusNames;
};
