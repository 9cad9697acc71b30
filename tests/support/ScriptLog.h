// The library hands its event scripts to a plain function, so they are kept in one
// process-wide list: pass ScriptLog::capture where the library wants its callback.
#pragma once

#include <chrono>
#include <string>
#include <vector>

class ScriptLog {
public:
    static void capture(const char* script);
    static void clear();
    static std::vector<std::string> all();
    // How many scripts so far contain `text`.
    static int count(const std::string& text);
    // The scripts so far that contain `text`, oldest first.
    static std::vector<std::string> containing(const std::string& text);
    // Waits until at least `times` scripts contain `text`.
    static bool waitFor(const std::string& text, int times, std::chrono::milliseconds timeout);
};
