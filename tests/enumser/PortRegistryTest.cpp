#include "tools/enumser/PortRegistry.h"

#include "tests/support/PseudoTerminal.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

EnvironmentLookup environment(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> const char* {
        auto found = values.find(name);
        return found == values.end() ? nullptr : found->second.c_str();
    };
}

std::vector<std::string> devices(const std::vector<RegisteredPort>& ports) {
    std::vector<std::string> paths;
    for (const auto& port : ports)
        paths.push_back(port.devicePath);
    return paths;
}

TEST(PortRegistry, FolderFollowsTheVariablesInOrderAndIgnoresEmptyOnes) {
    EXPECT_EQ(portRegistryDirectory(environment({{"KORVEX_RUNTIME_DIR", "/r"}, {"XDG_RUNTIME_DIR", "/run/user/7"}}), 7),
              fs::path("/r/ports"));
    EXPECT_EQ(portRegistryDirectory(environment({{"XDG_RUNTIME_DIR", "/run/user/7"}}), 7),
              fs::path("/run/user/7/korvex/ports"));
    EXPECT_EQ(portRegistryDirectory(environment({{"KORVEX_RUNTIME_DIR", ""}, {"XDG_RUNTIME_DIR", ""}}), 1000),
              fs::path("/tmp/korvex-1000/ports"));
}

TEST(PortRegistry, AcceptsOnlyPlainDevicePaths) {
    EXPECT_TRUE(isRegistrableDevicePath("/dev/pts/3"));
    EXPECT_TRUE(isRegistrableDevicePath("/dev/ttyACM0"));
    EXPECT_FALSE(isRegistrableDevicePath("/dev/"));
    EXPECT_FALSE(isRegistrableDevicePath("/tmp/pts/3"));
    EXPECT_FALSE(isRegistrableDevicePath("/dev/pts/3 x"));
    EXPECT_FALSE(isRegistrableDevicePath("/dev/../etc/passwd"));
    EXPECT_FALSE(isRegistrableDevicePath("COM3"));
}

TEST(PortRegistry, RegisteredTerminalIsReadBackAndGoneAfterUnregister) {
    TempDir folder;
    PseudoTerminal terminal;
    fs::path registry = folder.path() / "a" / "ports";
    std::string error;
    auto entry = registerPort(registry, terminal.path, &error);
    ASSERT_TRUE(entry) << error;
    EXPECT_EQ(fs::status(registry).permissions() & fs::perms::all, fs::perms::owner_all);

    auto ports = readPortRegistry(registry);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].devicePath, terminal.path);
    EXPECT_EQ(ports[0].pid, ::getpid());

    EXPECT_TRUE(unregisterPort(*entry));
    EXPECT_TRUE(unregisterPort(*entry)); // already gone is fine
    EXPECT_TRUE(readPortRegistry(registry).empty());
}

TEST(PortRegistry, StaleEntriesAreSkipped) {
    TempDir folder;
    fs::path registry = folder.path() / "ports";
    PseudoTerminal live;
    {
        PseudoTerminal closed;
        writeFile(registry / "closed", closed.path + "\n");
    }
    writeFile(registry / "missing", "/dev/pts/987654\n");
    writeFile(registry / "directory", "/dev/pts\n"); // exists, not a device
    writeFile(registry / "garbage", std::string(5000, 'x'));
    writeFile(registry / "empty", "");
    writeFile(registry / ".writing.tmp", live.path + "\n");

    // An entry whose writer has died, although its device exists.
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    writeFile(registry / "dead-writer", live.path + "\npid " + std::to_string(child) + "\n");
    EXPECT_TRUE(readPortRegistry(registry).empty());

    writeFile(registry / "live", live.path + "\n"); // no pid line: still read
    EXPECT_EQ(devices(readPortRegistry(registry)), std::vector<std::string>{live.path});
}

TEST(PortRegistry, SeveralEntriesNewestFirstEachDeviceOnce) {
    TempDir folder;
    fs::path registry = folder.path() / "ports";
    PseudoTerminal first, second;
    writeFile(registry / "one", first.path + "\r\n");
    writeFile(registry / "one-again", first.path + "\n");
    writeFile(registry / "two", second.path + "\n");
    auto now = fs::file_time_type::clock::now();
    fs::last_write_time(registry / "one", now - std::chrono::seconds(20));
    fs::last_write_time(registry / "one-again", now - std::chrono::seconds(10));
    fs::last_write_time(registry / "two", now);
    EXPECT_EQ(devices(readPortRegistry(registry)), (std::vector<std::string>{second.path, first.path}));
}

TEST(PortRegistry, FolderWritableByEverybodyIsNotTrusted) {
    TempDir folder;
    fs::path registry = folder.path() / "ports";
    PseudoTerminal terminal;
    writeFile(registry / "sim", terminal.path + "\n");
    fs::permissions(registry, fs::perms::others_write, fs::perm_options::add);
    EXPECT_TRUE(readPortRegistry(registry).empty());
    std::string error;
    EXPECT_FALSE(registerPort(registry, terminal.path, &error));
    EXPECT_NE(error.find("writable by everybody"), std::string::npos) << error;
}

TEST(PortRegistry, RegistrationLastsAsLongAsItsOwner) {
    TempDir folder;
    fs::path registry = folder.path() / "ports";
    PseudoTerminal terminal;
    fs::path entry;
    {
        PortRegistration registration(registry, terminal.path);
        ASSERT_TRUE(registration.registered()) << registration.error();
        entry = registration.entryFile();
        PortRegistration moved = std::move(registration);
        EXPECT_FALSE(registration.registered());
        EXPECT_TRUE(fs::exists(entry));
    }
    EXPECT_FALSE(fs::exists(entry));

    PortRegistration refused(registry, "/home/user/not-a-device");
    EXPECT_FALSE(refused.registered());
    EXPECT_FALSE(refused.error().empty());
}

} // namespace
