// Where a simulated dongle announces its terminal so that the port enumerator lists it.
//
// The registry is a folder: $KORVEX_RUNTIME_DIR/ports/, else $XDG_RUNTIME_DIR/korvex/ports/,
// else /tmp/korvex-<uid>/ports/. Each regular file in it names one device path on its
// first line. An entry is written once the terminal is ready and removed when it closes.
#pragma once

#include <filesystem>
#include <string>

class SimPortRegistry {
public:
    static std::filesystem::path directory();

    // Writes `devicePath` under `name` (created atomically: a reader never sees half a
    // line). Returns the entry's path, or an empty path with `error` set.
    static std::filesystem::path add(const std::string& name, const std::string& devicePath, std::string* error);
    static void remove(const std::filesystem::path& entry);
};
