#include "tests/support/ScriptLog.h"

#include "tests/support/Wait.h"

#include <mutex>

namespace {

std::mutex scriptsLock;
std::vector<std::string> scripts;

} // namespace

void ScriptLog::capture(const char* script) {
    std::lock_guard lock(scriptsLock);
    scripts.emplace_back(script);
}

void ScriptLog::clear() {
    std::lock_guard lock(scriptsLock);
    scripts.clear();
}

std::vector<std::string> ScriptLog::all() {
    std::lock_guard lock(scriptsLock);
    return scripts;
}

int ScriptLog::count(const std::string& text) {
    std::lock_guard lock(scriptsLock);
    int n = 0;
    for (const auto& script : scripts)
        if (script.find(text) != std::string::npos)
            ++n;
    return n;
}

std::vector<std::string> ScriptLog::containing(const std::string& text) {
    std::lock_guard lock(scriptsLock);
    std::vector<std::string> out;
    for (const auto& script : scripts)
        if (script.find(text) != std::string::npos)
            out.push_back(script);
    return out;
}

bool ScriptLog::waitFor(const std::string& text, int times, std::chrono::milliseconds timeout) {
    return ::waitFor(timeout, [&] { return count(text) >= times; });
}
