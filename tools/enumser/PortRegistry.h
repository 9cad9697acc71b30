// The port registry: how simulated dongles make their serial port known.
//
// The registry is a folder: $KORVEX_RUNTIME_DIR/ports/ when that variable is set, else
// $XDG_RUNTIME_DIR/korvex/ports/, else /tmp/korvex-<uid>/ports/. Each regular file in it
// names one device path on its first line. A simulator writes its file when its port is
// ready and removes it when it stops; readers skip an entry whose device no longer exists.
//
// Entries written here also carry the writer's process id on a second line ("pid <n>"),
// so that an entry left behind by a simulator that died is recognised as stale even after
// the kernel has handed its pseudo-terminal number to somebody else's terminal. Entries
// without that line are still read.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// Reads an environment variable; null when unset. Injectable for tests.
using EnvironmentLookup = std::function<const char*(const char*)>;

// The registry folder for the given environment and user id. Empty variables count as
// unset.
std::filesystem::path portRegistryDirectory(const EnvironmentLookup& environment, uid_t uid);
// The same, for this process.
std::filesystem::path portRegistryDirectory();

// One entry read from the registry.
struct RegisteredPort {
    std::filesystem::path entryFile;
    std::string devicePath;
    long pid = 0; // 0 when the entry names no process
};

// Limits that keep a reader fast however the folder was filled.
inline constexpr std::size_t registryMaxEntries = 64;   // entries returned
inline constexpr std::size_t registryMaxScanned = 1024; // directory entries looked at
inline constexpr std::size_t registryMaxLine = 4096;    // bytes read per entry

// True for a device path that can stand in an enumerator line and be opened as a port:
// absolute, under /dev/, no whitespace or control characters, no ".." component.
bool isRegistrableDevicePath(std::string_view path);

// The live entries of `directory`, newest first (ties by file name): regular files whose
// first line is an acceptable device path that exists as a character device, and whose
// process (when named) is still running. Hidden files (names starting with '.') are
// writers' temporary files and are skipped. A missing or unreadable folder gives no entries.
std::vector<RegisteredPort> readPortRegistry(const std::filesystem::path& directory);

// Writes an entry for `devicePath` into `directory` (created with mode 0700 when missing)
// under a name unique to this process and device, atomically (a reader never sees half an
// entry). Returns the entry's file, or nothing with `error` filled.
std::optional<std::filesystem::path> registerPort(const std::filesystem::path& directory,
                                                  const std::string& devicePath,
                                                  std::string* error = nullptr);

// Removes an entry written by registerPort. True when it is gone (also when it was already).
bool unregisterPort(const std::filesystem::path& entryFile);

// Keeps one registration for its lifetime: registers on construction, removes on
// destruction or on reset().
class PortRegistration {
public:
    PortRegistration() = default;
    PortRegistration(const std::filesystem::path& directory, const std::string& devicePath);
    ~PortRegistration();
    PortRegistration(PortRegistration&& other) noexcept;
    PortRegistration& operator=(PortRegistration&& other) noexcept;
    PortRegistration(const PortRegistration&) = delete;
    PortRegistration& operator=(const PortRegistration&) = delete;

    bool registered() const { return !entry.empty(); }
    const std::filesystem::path& entryFile() const { return entry; }
    const std::string& error() const { return failure; }
    void reset();

private:
    std::filesystem::path entry;
    std::string failure;
};
