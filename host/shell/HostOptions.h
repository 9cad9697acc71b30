// The host's command line and the choices derived from it.
#pragma once

#include <optional>
#include <string>
#include <vector>

inline constexpr const char* kDefaultStartupAddress = "http://res/client/app.html";

struct HostOptions {
    std::string startupAddress = kDefaultStartupAddress; // "url" replaces it
    bool externalDevTools = false;     // "external-devtools": developer tools for every window
    bool cursorChangeDisabled = false; // "mouse-cursor-change-disabled"
    bool headless = false;             // "headless": no window (tests, machines without display)
    // "remote-debugging-port": only when given, and then only on the loopback interface.
    std::optional<std::string> remoteDebuggingPort;
    // Switches the host does not read pass to the browser unchanged.
    std::vector<std::string> passThrough;
    std::vector<std::string> problems; // switches refused, with the reason
};

// Reads "--name" and "--name=value" switches (a single leading "-" works too; "--" ends the
// switches). Positional arguments are ignored.
HostOptions ParseHostOptions(const std::vector<std::string>& arguments);
