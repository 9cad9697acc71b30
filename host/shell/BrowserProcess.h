// The browser as a child process with the protocol pipe on its descriptors 3 (calls in) and
// 4 (replies and events out). The host keeps the other ends; when the host dies they close
// and the browser exits by itself.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class BrowserProcess {
public:
    // Starts `program` with `arguments`. On success the host's ends of the pipe are returned
    // through readFd (events from the browser) and writeFd (calls to it), both close-on-exec.
    // With `quiet` the browser's own output goes to /dev/null.
    static std::optional<BrowserProcess> start(const std::string& program,
                                               const std::vector<std::string>& arguments,
                                               bool quiet, int& readFd, int& writeFd,
                                               std::string& problem);

    pid_t id() const { return pid; }

    // Reaps the browser if it has ended within `limit`; true when it has (or was reaped before).
    bool waitForExit(std::chrono::milliseconds limit);
    // Ends it for good (SIGKILL) and reaps it.
    void kill();
    std::optional<int> exitStatus() const { return status; }

private:
    explicit BrowserProcess(pid_t pid) : pid(pid) {}
    pid_t pid;
    std::optional<int> status;
};
