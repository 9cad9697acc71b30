// Every console message of every page, one line each, appended to "console.log" in the
// work-file folder. The folder belongs to the device library: while it does not exist a
// message is lost and the next one tries again.
#pragma once

#include <string>
#include <string_view>

class ConsoleLog {
public:
    explicit ConsoleLog(const std::string& documentsDirectory);

    // Appends the text unchanged and one line end. Returns false when the file could not
    // be written.
    bool append(std::string_view text);

    const std::string& path() const { return file; }

private:
    std::string file;
};
