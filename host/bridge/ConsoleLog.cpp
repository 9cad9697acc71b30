#include "host/bridge/ConsoleLog.h"

#include <cstdio>

ConsoleLog::ConsoleLog(const std::string& documentsDirectory)
    : file(documentsDirectory + "/Korvex-WorkFiles/console.log") {}

bool ConsoleLog::append(std::string_view text) {
    // Opened for each message: the folder may appear (or be removed) while the host runs.
    std::FILE* out = std::fopen(file.c_str(), "a");
    if (!out)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size() &&
              std::fputc('\n', out) != EOF;
    ok = std::fclose(out) == 0 && ok;
    return ok;
}
