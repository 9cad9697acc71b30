#include "tests/enumser/TestSupport.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvex-enumser-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    root = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(root, ec);
}

PseudoTerminal::PseudoTerminal() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0)
        throw std::runtime_error("ptsname failed");
    slavePath = name;
}

PseudoTerminal::~PseudoTerminal() {
    close();
}

void PseudoTerminal::close() {
    if (master >= 0) {
        ::close(master);
        master = -1;
    }
}

void writeFile(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}
