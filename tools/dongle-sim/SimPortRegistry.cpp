#include "tools/dongle-sim/SimPortRegistry.h"

#include <cstdlib>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

fs::path SimPortRegistry::directory() {
    if (const char* runtime = std::getenv("KORVEX_RUNTIME_DIR"); runtime && *runtime)
        return fs::path(runtime) / "ports";
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        return fs::path(xdg) / "korvex" / "ports";
    return fs::path("/tmp") / ("korvex-" + std::to_string(getuid())) / "ports";
}

fs::path SimPortRegistry::add(const std::string& name, const std::string& devicePath, std::string* error) {
    std::error_code ec;
    const fs::path dir = directory();
    fs::create_directories(dir, ec);
    if (ec) {
        if (error)
            *error = "cannot create " + dir.string() + ": " + ec.message();
        return {};
    }
    const fs::path entry = dir / name;
    // Written beside the registry and renamed in: the enumerator reads only whole entries.
    const fs::path temporary = dir.parent_path() / ("." + name + ".tmp");
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << devicePath << '\n';
        if (!out.flush()) {
            if (error)
                *error = "cannot write " + temporary.string();
            fs::remove(temporary, ec);
            return {};
        }
    }
    fs::rename(temporary, entry, ec);
    if (ec) {
        if (error)
            *error = "cannot register " + entry.string() + ": " + ec.message();
        fs::remove(temporary, ec);
        return {};
    }
    return entry;
}

void SimPortRegistry::remove(const fs::path& entry) {
    if (entry.empty())
        return;
    std::error_code ec;
    fs::remove(entry, ec);
}
