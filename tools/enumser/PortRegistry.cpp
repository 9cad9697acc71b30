#include "tools/enumser/PortRegistry.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* nonEmpty(const char* value) { return value && *value ? value : nullptr; }

// A folder somebody else could have prepared for us (another user pre-creating the /tmp
// fallback) must not decide which device we take for the dongle: it must be ours and not
// writable by everybody.
bool isTrustedDirectory(const fs::path& directory) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        return false;
    return (info.st_mode & S_IWOTH) == 0;
}

bool processAlive(long pid) {
    if (pid <= 0)
        return true;
    if (::kill(static_cast<pid_t>(pid), 0) == 0)
        return true;
    return errno == EPERM; // exists, belongs to someone else
}

bool isCharacterDevice(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// Reads the first two lines of an entry, at most registryMaxLine bytes.
bool readEntry(const fs::path& file, std::string& device, long& pid) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    std::string text(registryMaxLine, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));

    auto firstEnd = text.find('\n');
    if (firstEnd == std::string::npos && text.size() == registryMaxLine)
        return false; // a first line this long is not a device path
    device = text.substr(0, firstEnd);
    if (!device.empty() && device.back() == '\r')
        device.pop_back();

    pid = 0;
    if (firstEnd != std::string::npos) {
        auto secondEnd = text.find('\n', firstEnd + 1);
        std::string second =
            text.substr(firstEnd + 1, secondEnd == std::string::npos ? std::string::npos
                                                                     : secondEnd - firstEnd - 1);
        if (second.rfind("pid ", 0) == 0) {
            char* end = nullptr;
            long value = std::strtol(second.c_str() + 4, &end, 10);
            if (end && end != second.c_str() + 4 && value > 0)
                pid = value;
        }
    }
    return true;
}

std::string entryNameFor(const std::string& devicePath) {
    std::string name = std::to_string(::getpid()) + "-";
    for (char c : devicePath)
        name += (c == '/') ? '_' : c;
    return name;
}

// mkdir -p with mode 0700 for every folder it creates.
bool makePrivateDirectories(const fs::path& directory, std::string& error) {
    fs::path partial;
    for (const auto& part : directory) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + partial.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace

fs::path portRegistryDirectory(const EnvironmentLookup& environment, uid_t uid) {
    if (const char* runtime = nonEmpty(environment("KORVEX_RUNTIME_DIR")))
        return fs::path(runtime) / "ports";
    if (const char* xdg = nonEmpty(environment("XDG_RUNTIME_DIR")))
        return fs::path(xdg) / "korvex" / "ports";
    return fs::path("/tmp") / ("korvex-" + std::to_string(uid)) / "ports";
}

fs::path portRegistryDirectory() {
    return portRegistryDirectory([](const char* name) { return std::getenv(name); }, ::getuid());
}

bool isRegistrableDevicePath(std::string_view path) {
    if (path.size() <= 5 || path.substr(0, 5) != "/dev/" || path.size() > 255)
        return false;
    for (unsigned char c : path)
        if (c <= ' ' || c == 0x7F)
            return false;
    return path.find("/../") == std::string_view::npos && !path.ends_with("/..");
}

std::vector<RegisteredPort> readPortRegistry(const fs::path& directory) {
    std::vector<RegisteredPort> ports;
    if (directory.empty() || !isTrustedDirectory(directory))
        return ports;

    struct Candidate {
        RegisteredPort port;
        fs::file_time_type written;
    };
    std::vector<Candidate> found;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    std::size_t scanned = 0;
    for (; !ec && it != fs::directory_iterator() && scanned < registryMaxScanned;
         it.increment(ec), ++scanned) {
        const fs::path& file = it->path();
        std::string name = file.filename().string();
        if (name.empty() || name[0] == '.')
            continue;
        std::error_code statError;
        if (!fs::is_regular_file(fs::symlink_status(file, statError)))
            continue;
        RegisteredPort port;
        port.entryFile = file;
        if (!readEntry(file, port.devicePath, port.pid))
            continue;
        if (!isRegistrableDevicePath(port.devicePath) || !isCharacterDevice(port.devicePath) ||
            !processAlive(port.pid))
            continue;
        auto written = fs::last_write_time(file, statError);
        found.push_back({std::move(port), written});
    }
    std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
        if (a.written != b.written)
            return a.written > b.written;
        return a.port.entryFile.filename() < b.port.entryFile.filename();
    });
    for (auto& candidate : found) {
        bool duplicate = std::any_of(ports.begin(), ports.end(), [&](const RegisteredPort& p) {
            return p.devicePath == candidate.port.devicePath;
        });
        if (duplicate)
            continue;
        ports.push_back(std::move(candidate.port));
        if (ports.size() == registryMaxEntries)
            break;
    }
    return ports;
}

std::optional<fs::path> registerPort(const fs::path& directory, const std::string& devicePath,
                                     std::string* error) {
    std::string failure;
    auto fail = [&](std::string text) -> std::optional<fs::path> {
        if (error)
            *error = std::move(text);
        return std::nullopt;
    };
    if (!isRegistrableDevicePath(devicePath))
        return fail("not a device path that can be registered: " + devicePath);
    if (directory.empty())
        return fail("no registry folder");
    if (!makePrivateDirectories(directory, failure))
        return fail(failure);
    if (!isTrustedDirectory(directory))
        return fail(directory.string() + " belongs to another user or is writable by everybody");

    std::string name = entryNameFor(devicePath);
    fs::path entry = directory / name;
    fs::path temporary = directory / ("." + name + ".tmp");
    std::string content = devicePath + "\npid " + std::to_string(::getpid()) + "\n";

    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return fail("cannot write " + temporary.string() + ": " + std::strerror(errno));
    bool written =
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), entry.c_str()) != 0) {
        failure = "cannot write " + entry.string() + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return fail(failure);
    }
    return entry;
}

bool unregisterPort(const fs::path& entryFile) {
    if (entryFile.empty())
        return true;
    return ::unlink(entryFile.c_str()) == 0 || errno == ENOENT;
}

PortRegistration::PortRegistration(const fs::path& directory, const std::string& devicePath) {
    if (auto file = registerPort(directory, devicePath, &failure))
        entry = *file;
}

PortRegistration::~PortRegistration() { reset(); }

PortRegistration::PortRegistration(PortRegistration&& other) noexcept
    : entry(std::move(other.entry)), failure(std::move(other.failure)) {
    other.entry.clear();
}

PortRegistration& PortRegistration::operator=(PortRegistration&& other) noexcept {
    if (this != &other) {
        reset();
        entry = std::move(other.entry);
        failure = std::move(other.failure);
        other.entry.clear();
    }
    return *this;
}

void PortRegistration::reset() {
    if (!entry.empty()) {
        unregisterPort(entry);
        entry.clear();
    }
}
