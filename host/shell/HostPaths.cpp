#include "host/shell/HostPaths.h"

#include "host/shell/HostOptions.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::optional<std::string> nonEmpty(const std::optional<std::string>& value) {
    if (value && !value->empty())
        return value;
    return std::nullopt;
}

} // namespace

std::string WorkFilesDirectory(const std::string& documentsDirectory) {
    return (documentsDirectory == "/" ? "" : documentsDirectory) + "/Korvex-WorkFiles";
}

std::string BrowserProfileDirectory(const std::string& documentsDirectory) {
    return WorkFilesDirectory(documentsDirectory) + "/cache";
}

BrowserProgram FindBrowserProgram(const EnvironmentLookup& env,
                                  const std::function<bool(const std::string&)>& isExecutable) {
    BrowserProgram found;
    if (auto chosen = nonEmpty(env("KORVEX_CHROMIUM"))) {
        if (isExecutable(*chosen))
            found.path = *chosen;
        else
            found.problem =
                "KORVEX_CHROMIUM names " + *chosen + ", which is not an executable file";
        return found;
    }
    std::string path = env("PATH").value_or("");
    for (const char* name : {"chromium", "chromium-browser", "google-chrome"}) {
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find(':', start);
            if (end == std::string::npos)
                end = path.size();
            std::string dir = path.substr(start, end - start);
            if (!dir.empty()) {
                std::string candidate = dir + "/" + name;
                if (isExecutable(candidate)) {
                    found.path = candidate;
                    return found;
                }
            }
            start = end + 1;
        }
    }
    found.problem =
        "Chromium was not found (looked for chromium, chromium-browser and google-chrome on PATH); "
        "install Debian's chromium package or set KORVEX_CHROMIUM to the browser program";
    return found;
}

const char* const appPlaceholder = "data:text/html,<title>Korvex</title>";

std::vector<std::string> BrowserArguments(const HostOptions& options, const std::string& profileDir,
                                          bool runningAsRoot) {
    std::vector<std::string> args = options.passThrough;
    args.insert(args.end(),
                {
                    "--user-data-dir=" + profileDir,
                    "--remote-debugging-pipe",
                    "--no-first-run",
                    "--no-default-browser-check",
                    // The application is local: no background traffic, no updates, no sync.
                    "--disable-background-networking",
                    "--disable-component-update",
                    "--disable-sync",
                    "--disable-quic",
                    "--disable-default-apps",
                    "--disable-extensions",
                    // Every window.open of the application is allowed (the repository window opens
                    // without a user gesture).
                    "--disable-popup-blocking",
                    "--noerrdialogs",
                });
    if (options.remoteDebuggingPort) {
        args.push_back("--remote-debugging-port=" + *options.remoteDebuggingPort);
        args.push_back("--remote-debugging-address=127.0.0.1");
    }
    if (options.externalDevTools)
        args.push_back("--auto-open-devtools-for-tabs");
    if (runningAsRoot)
        args.push_back("--no-sandbox"); // the browser refuses root otherwise
    // The window opens on a placeholder: the start-up address is loaded only once the
    // interception of "http://res/" is in place.
    if (options.headless) {
        args.insert(args.end(), {"--headless", "--disable-gpu", "about:blank"});
    } else {
        // Chromium opens an app window (no tabs, no address bar) only for a real document
        // address; "about:blank" would give an ordinary browser window.
        args.push_back(std::string("--app=") + appPlaceholder);
    }
    return args;
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}
