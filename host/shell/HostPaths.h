// Where the host finds its folders and the browser program.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The user's documents folder: $KORVEX_DOCUMENTS_DIR, else $XDG_DOCUMENTS_DIR, else the
// XDG_DOCUMENTS_DIR line of ~/.config/user-dirs.dirs, else $HOME/Documents. Empty when
// none can be found (no HOME at all).
std::string FindDocumentsDirectory(const EnvironmentLookup& env, const FileReader& readFile);

// The work-file folder and the browser profile inside it.
std::string WorkFilesDirectory(const std::string& documentsDirectory);
std::string BrowserProfileDirectory(const std::string& documentsDirectory);

struct BrowserProgram {
    std::optional<std::string> path;
    std::string problem;  // why none was found, for the user
};

// $KORVEX_CHROMIUM when set (it must then be an executable file), else the first of
// chromium, chromium-browser, google-chrome found executable on PATH.
BrowserProgram FindBrowserProgram(const EnvironmentLookup& env,
                                  const std::function<bool(const std::string&)>& isExecutable);

struct HostOptions;

// The browser's arguments after the program name: the passed-through switches first, then
// the host's own, so that the host's win when a switch is given twice.
std::vector<std::string> BrowserArguments(const HostOptions& options, const std::string& profileDir,
                                          bool runningAsRoot);

// Real lookups for the functions above.
std::optional<std::string> ProcessEnvironment(const std::string& name);
std::optional<std::string> ReadWholeFile(const std::string& path);
bool IsExecutableFile(const std::string& path);
