// Korvex: the desktop host. Shows the local web application in a Chromium app window and
// connects it to the device library.
#include "KorvexAPI.h"
#include "host/bridge/ScriptBridge.h"
#include "host/resources/ResourcePath.h"
#include "host/shell/DeviceEvents.h"
#include "host/shell/Host.h"
#include "host/shell/HostOptions.h"
#include "host/shell/HostPaths.h"

#include <csignal>
#include <filesystem>
#include <iostream>

int main(int argc, char** argv) {
    // A browser that has gone away must show up as a failed write, not end the host.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> arguments(argv + 1, argv + argc);
    HostOptions options = ParseHostOptions(arguments);
    for (const auto& problem : options.problems)
        std::cerr << "Korvex: " << problem << std::endl;

    bool tracing = ProcessEnvironment("KORVEX_HOST_TRACE").value_or("").size() > 0;
    auto trace = [](const std::string& line) { std::cerr << "[Korvex] " << line << std::endl; };

    // Without a browser there is nothing to show: say so before starting the kit.
    BrowserProgram browser = FindBrowserProgram(ProcessEnvironment, IsExecutableFile);
    if (!browser.path) {
        std::cerr << "Korvex: " << browser.problem << std::endl;
        return 2;
    }

    std::string documents = FindDocumentsDirectory(ProcessEnvironment, ReadWholeFile);
    if (documents.empty()) {
        // The library then keeps its work files in the current folder too.
        std::cerr << "Korvex: no documents folder (no home folder found); using the current folder"
                  << std::endl;
        documents = ".";
    }
    std::string profile = BrowserProfileDirectory(documents);
    std::error_code ec;
    std::filesystem::create_directories(profile, ec);
    if (ec)
        std::cerr << "Korvex: cannot create " << profile << ": " << ec.message() << std::endl;

    // The device library runs, and may raise events, before any window exists.
    IKorvexAPI* api = getConcreteIKorvexAPI(&OnDeviceScript);
    if (api) {
        api->startAPI();
    } else {
        std::cerr << "Korvex: the device library gave no API object; the application runs "
                     "without the kit"
                  << std::endl;
    }

    HostConfig config;
    config.options = options;
    config.resourceDirectory = ProgramDirectory();
    config.profileDirectory = profile;
    config.browserProgram = *browser.path;
    config.api = api;
    if (tracing)
        config.trace = trace;
    config.extend = [documents](BrowserClient& client, EventLoop& loop) {
        AttachScriptBridge(client, loop, documents);
    };
    int code = RunHost(config);

    releaseConcreteIKorvexAPI(api);
    return code;
}
