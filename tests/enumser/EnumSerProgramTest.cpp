// The built enumerator, run as the device library runs it: no arguments, output on stdout.

#include "tests/support/PseudoTerminal.h"
#include "tests/support/TempDir.h"
#include "tools/enumser/PortRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct ProgramRun {
    std::string output;
    int status = -1;
};

// Runs EnumSer with only the given environment, bounded to a few seconds.
ProgramRun runEnumSer(const std::string& environment) {
    const char* bin = std::getenv("KORVEX_BUILD_BIN");
    fs::path program = fs::path(bin ? bin : ".") / "EnumSer";
    std::string command = "env -i " + environment + " timeout 5 " + program.string() + " 2>/dev/null";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return run;
    std::array<char, 4096> buffer;
    std::size_t count;
    while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        run.output.append(buffer.data(), count);
    run.status = ::pclose(pipe);
    return run;
}

class EnumSerProgram : public ::testing::Test {
protected:
    EnumSerProgram() {
        fs::create_directories(folder.path() / "sys" / "class" / "tty");
        environment =
            "KORVEX_SYSFS_ROOT=" + (folder.path() / "sys").string() + " KORVEX_RUNTIME_DIR=" + folder.path().string();
        registry = folder.path() / "ports";
    }

    TempDir folder;
    std::string environment;
    fs::path registry;
};

TEST_F(EnumSerProgram, RegisteredSimulatorIsListedWithTheMarker) {
    PseudoTerminal terminal;
    PortRegistration registration(registry, terminal.path);
    ASSERT_TRUE(registration.registered()) << registration.error();
    ProgramRun run = runEnumSer(environment);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, terminal.path + " <Korvex Virtual COM Port>\n");
}

TEST_F(EnumSerProgram, StaleEntryIsSkipped) {
    // A simulator that ended: its terminal is closed and its process is gone. The terminal's
    // number may already serve another program, so the dead process is what marks it stale.
    pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);
    {
        PseudoTerminal gone;
        writeFile(registry / "gone", gone.path + "\npid " + std::to_string(ended) + "\n");
    }
    writeFile(registry / "never", "/dev/pts/987654\n");
    ProgramRun run = runEnumSer(environment);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
}

TEST_F(EnumSerProgram, NoRegistryFolderListsNoDongle) {
    ProgramRun run = runEnumSer(environment);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
}

TEST_F(EnumSerProgram, SeveralSimulatorsAreListedEachOnItsLine) {
    PseudoTerminal first, second;
    PortRegistration one(registry, first.path);
    PortRegistration two(registry, second.path);
    ASSERT_TRUE(one.registered() && two.registered());
    ProgramRun run = runEnumSer(environment);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find(first.path + " <Korvex Virtual COM Port>\n"), std::string::npos);
    EXPECT_NE(run.output.find(second.path + " <Korvex Virtual COM Port>\n"), std::string::npos);
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 2);
}

TEST_F(EnumSerProgram, ConfiguredUsbIdMarksTheAdapterAndBadIdsAreIgnored) {
    fs::path usb = folder.path() / "sys" / "devices" / "usb1" / "1-4";
    writeFile(usb / "idVendor", "0483\n");
    writeFile(usb / "idProduct", "5740\n");
    writeFile(usb / "product", "Generic CDC\n");
    fs::create_directories(usb / "1-4:1.0");
    fs::path tty = folder.path() / "sys" / "class" / "tty" / "ttyACM3";
    fs::create_directories(tty);
    fs::create_symlink(usb / "1-4:1.0", tty / "device");

    EXPECT_EQ(runEnumSer(environment).output, "/dev/ttyACM3 <Generic CDC (0483:5740)>\n");
    EXPECT_EQ(runEnumSer(environment + " KORVEX_DONGLE_USB_IDS=nonsense,0483:5740").output,
              "/dev/ttyACM3 <Korvex Virtual COM Port>\n");
}

} // namespace
