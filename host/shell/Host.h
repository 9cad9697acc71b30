// The host's run: starts the browser, drives it from one loop thread until the closing steps
// are done, and makes sure the browser is gone before returning.
#pragma once

#include "KorvexAPI.h"
#include "host/shell/HostOptions.h"

#include <chrono>
#include <functional>
#include <string>

class BrowserClient;
class EventLoop;

struct HostConfig {
    HostOptions options;
    std::string resourceDirectory; // the program folder: "http://res/" is served from here
    std::string profileDirectory;  // the browser's private profile
    std::string browserProgram;
    IKorvexAPI* api = nullptr;                     // may be null: the pages run without the kit
    std::function<void(const std::string&)> trace; // may be empty
    // Called once the client exists and before the browser is asked for its pages: the
    // script bridge adds its page script and binding here.
    std::function<void(BrowserClient&, EventLoop&)> extend;
    // A browser that has not shown the main page by then has failed to start.
    std::chrono::milliseconds startupLimit{30000};
    // How long the browser may take to exit once asked before it is killed.
    std::chrono::milliseconds exitLimit{5000};
};

// Returns the program's exit code: 0 after an orderly close, non-zero when the browser could
// not be started or ended before it showed the application.
int RunHost(const HostConfig& config);
