// A program run by a test: its standard output and error are collected together, lines can
// be awaited with a deadline, and it is always ended when the test ends.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    // `environment` entries "NAME=value" are added to (or replace in) the test's environment;
    // "NAME=" with nothing after it removes NAME.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 bool withStdin = false);
    ~ChildProcess();

    pid_t id() const { return pid; }
    // Waits until the output holds `text` (returns true) or the time is up.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit);
    // Waits for the program's end; its exit code, or nullopt if it is still running (or was
    // killed by a signal: then -signal).
    std::optional<int> waitExit(std::chrono::milliseconds limit);
    void signal(int number);
    void writeLine(const std::string& line);
    std::string output(); // everything so far

private:
    void pump(int timeoutMs);
    pid_t pid = -1;
    int outFd = -1;
    int inFd = -1;
    std::string collected;
    std::optional<int> exitCode;
};
