#include "host/shell/HostOptions.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

struct Switch {
    std::string name;
    std::optional<std::string> value;
};

std::optional<Switch> splitSwitch(std::string_view argument) {
    if (argument.size() < 2 || argument[0] != '-')
        return std::nullopt;
    argument.remove_prefix(argument[1] == '-' ? 2 : 1);
    if (argument.empty())
        return std::nullopt;
    Switch s;
    size_t eq = argument.find('=');
    s.name = std::string(argument.substr(0, eq));
    if (eq != std::string_view::npos)
        s.value = std::string(argument.substr(eq + 1));
    std::transform(s.name.begin(), s.name.end(), s.name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool isPortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5)
        return false;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    int port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

// Switches that would take the browser out of the host's hands or open it to others.
bool isReservedForTheHost(const std::string& name) {
    return name == "remote-debugging-pipe" || name == "remote-debugging-address" ||
           name == "user-data-dir" || name == "app";
}

} // namespace

HostOptions ParseHostOptions(const std::vector<std::string>& arguments) {
    HostOptions options;
    for (const auto& argument : arguments) {
        if (argument == "--")
            break;
        auto sw = splitSwitch(argument);
        if (!sw)
            continue;
        const std::string& name = sw->name;
        if (name == "url") {
            if (sw->value && !sw->value->empty())
                options.startupAddress = *sw->value;
            else
                options.problems.push_back("--url needs an address: --url=<address>");
        } else if (name == "external-devtools") {
            // Chromium's own switch: developer tools open beside every window it opens.
            options.externalDevTools = true;
        } else if (name == "off-screen-rendering-enabled") {
            options.problems.push_back(
                "--off-screen-rendering-enabled is not supported and was ignored; "
                "--headless runs without a window");
        } else if (name == "mouse-cursor-change-disabled") {
            options.cursorChangeDisabled = true;
        } else if (name == "headless") {
            options.headless = true;
        } else if (name == "multi-threaded-message-loop") {
            // Always so: the host runs one loop thread for the browser and the device library.
        } else if (name == "remote-debugging-port") {
            if (sw->value && isPortNumber(*sw->value))
                options.remoteDebuggingPort = *sw->value;
            else
                options.problems.push_back("--remote-debugging-port needs a port number 1-65535");
        } else if (isReservedForTheHost(name)) {
            options.problems.push_back("--" + name + " is set by Korvex itself and was ignored");
        } else {
            options.passThrough.push_back(argument);
        }
    }
    return options;
}
