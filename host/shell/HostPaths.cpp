#include "host/shell/HostPaths.h"

#include "host/shell/HostOptions.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::optional<std::string> nonEmpty(const std::optional<std::string>& value) {
    if (value && !value->empty()) return value;
    return std::nullopt;
}

// One XDG_DOCUMENTS_DIR="..." line of user-dirs.dirs, with $HOME expanded as the file allows.
std::optional<std::string> documentsFromUserDirs(const std::string& content, const std::string& home) {
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        std::string_view rest(line);
        rest.remove_prefix(start);
        constexpr std::string_view key = "XDG_DOCUMENTS_DIR=";
        if (rest.substr(0, key.size()) != key) continue;
        rest.remove_prefix(key.size());
        if (rest.size() < 2 || rest.front() != '"') continue;
        size_t close = rest.find('"', 1);
        if (close == std::string_view::npos) continue;
        std::string value(rest.substr(1, close - 1));
        if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
        if (value.empty() || value.front() != '/') continue;
        return value;
    }
    return std::nullopt;
}

}  // namespace

std::string FindDocumentsDirectory(const EnvironmentLookup& env, const FileReader& readFile) {
    if (auto dir = nonEmpty(env("KORVEX_DOCUMENTS_DIR"))) return *dir;
    if (auto dir = nonEmpty(env("XDG_DOCUMENTS_DIR"))) return *dir;
    auto home = nonEmpty(env("HOME"));
    if (!home) return {};
    std::string configHome = nonEmpty(env("XDG_CONFIG_HOME")).value_or(*home + "/.config");
    if (auto content = readFile(configHome + "/user-dirs.dirs"))
        if (auto dir = documentsFromUserDirs(*content, *home)) return *dir;
    return *home + "/Documents";
}

std::string WorkFilesDirectory(const std::string& documentsDirectory) {
    return documentsDirectory + "/Korvex-WorkFiles";
}

std::string BrowserProfileDirectory(const std::string& documentsDirectory) {
    return WorkFilesDirectory(documentsDirectory) + "/cache";
}

BrowserProgram FindBrowserProgram(const EnvironmentLookup& env,
                                  const std::function<bool(const std::string&)>& isExecutable) {
    BrowserProgram found;
    if (auto chosen = nonEmpty(env("KORVEX_CHROMIUM"))) {
        if (isExecutable(*chosen)) found.path = *chosen;
        else found.problem = "KORVEX_CHROMIUM names " + *chosen + ", which is not an executable file";
        return found;
    }
    std::string path = env("PATH").value_or("");
    for (const char* name : {"chromium", "chromium-browser", "google-chrome"}) {
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find(':', start);
            if (end == std::string::npos) end = path.size();
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
    args.insert(args.end(), {
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
    if (options.externalDevTools) args.push_back("--auto-open-devtools-for-tabs");
    if (runningAsRoot) args.push_back("--no-sandbox");  // the browser refuses root otherwise
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

std::optional<std::string> ProcessEnvironment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    return S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}
