// The user's documents folder, chosen by one rule for everything that keeps files there:
// the library's work files, the host's browser profile and its console log.
//
// In this order:
//  1. $KORVEX_DOCUMENTS_DIR (tests, portable installs);
//  2. $XDG_DOCUMENTS_DIR;
//  3. the last usable XDG_DOCUMENTS_DIR line of $XDG_CONFIG_HOME/user-dirs.dirs (by default
//     <home>/.config/user-dirs.dirs), read as the shell would: the value in double quotes
//     (single quotes or none are accepted too), backslash escapes removed, a leading "$HOME"
//     or "${HOME}" replaced by the home folder; a value that is not absolute is ignored;
//  4. <home>/Documents.
// The home folder is $HOME, else the home folder of the user's password database entry (a
// service started without HOME still has one). Variables set but empty count as unset.
// The result has no trailing "/" (except the root folder itself) and is empty only when no
// home folder can be found at all.
#pragma once

#include <functional>
#include <optional>
#include <string>

// One environment variable; nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;
// The whole content of a file; nullopt when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;
// The home folder of the running user's password database entry; nullopt when there is none.
using PasswordHomeLookup = std::function<std::optional<std::string>()>;

// The real lookups.
std::optional<std::string> ProcessEnvironment(const std::string& name);
std::optional<std::string> ReadWholeFile(const std::string& path);
std::optional<std::string> PasswordDatabaseHome();

std::string FindDocumentsDirectory(const EnvironmentLookup& env = ProcessEnvironment,
                                   const FileReader& readFile = ReadWholeFile,
                                   const PasswordHomeLookup& passwordHome = PasswordDatabaseHome);
