// Real temporary folders and pseudo-terminals for the enumerator's tests.
#pragma once

#include <filesystem>
#include <string>

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return root; }

private:
    std::filesystem::path root;
};

// A pseudo-terminal pair; the slave's /dev/pts path exists while this is open.
class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    const std::string& devicePath() const { return slavePath; }
    void close();

private:
    int master = -1;
    std::string slavePath;
};

void writeFile(const std::filesystem::path& file, const std::string& text);
