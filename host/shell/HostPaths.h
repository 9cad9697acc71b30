// Where the host finds its folders and the browser program.
#pragma once

#include "device/common/DocumentsFolder.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The user's documents folder is FindDocumentsDirectory of DocumentsFolder.h, the library's
// own choice: the browser profile and the console log sit beside the work files. The
// environment and file lookups (EnvironmentLookup, FileReader, ProcessEnvironment,
// ReadWholeFile) come from there too.

// The work-file folder (the library's, without its trailing "/") and the browser profile
// inside it.
std::string WorkFilesDirectory(const std::string& documentsDirectory);
std::string BrowserProfileDirectory(const std::string& documentsDirectory);

struct BrowserProgram {
    std::optional<std::string> path;
    std::string problem; // why none was found, for the user
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

// The real lookup for FindBrowserProgram.
bool IsExecutableFile(const std::string& path);
