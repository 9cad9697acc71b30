// korvex-cli: the commands, their shared context and the documented exit codes.
#pragma once

#include "Args.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

// Exit codes (also listed by `korvex-cli --help`).
enum ExitCode : int {
    ExitOk = 0,
    ExitFailed = 1,   // an operation failed or was refused (the library's lines are shown)
    ExitUsage = 2,    // bad command line
    ExitNoDongle = 3, // no dongle within --timeout
    ExitRemoteNotConnected = 4, // a remote needed by the command is not connected
    ExitConfigRefused = 5,      // a fixed configuration was refused or never confirmed
    ExitStreamFailed = 6,       // streaming did not start, or did not stop, in time
    ExitSimulatorFailed = 7,    // --simulate: the simulated kit could not be started
    ExitInterrupted = 130,      // Ctrl-C before the command could finish its work
};

struct CliContext {
    ParsedArgs args; // global and command options together
    std::string command;
    bool json = false;
    bool verbose = false;
    bool quiet = false;
    FILE* out = stdout;        // the command's own output (reports, tables, JSON)
    FILE* err = stderr;        // progress, problems
    double dongleTimeout = 10; // seconds
    double remoteTimeout = 5;
    const std::atomic<bool>* interrupted = nullptr;

    bool cancelled() const { return interrupted && interrupted->load(); }
};

// Runs the program with `argv` (without the program name); the whole of main.
int runCli(const std::vector<std::string>& argv, FILE* out, FILE* err,
           const std::atomic<bool>* interrupted);

// The help pages.
std::string mainHelp();
std::string commandHelp(const std::string& command); // empty for an unknown command
