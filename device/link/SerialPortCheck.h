// SerialPortCheck: finds the dongle's port and watches that it stays there.
//
// Discovery runs the port enumerator EnumSer and takes the port named on the line that
// carries the dongle's marker (see PortListing.h). The enumerator is looked for beside the
// running program, then beside this library, then on PATH; a run that takes longer than
// two seconds is killed, so a hung enumerator cannot stall the caller. $KORVEX_PORT names
// the port directly and skips the enumerator.
//
// The watcher (checkLoop) looks once a second (PortCheckTiming) whether the open dongle is still
// listed. A vanished dongle is not closed here: a status request is queued, and the failing write
// of that request makes the transport notice the loss. While the dongle streams, the watcher does
// not run the enumerator at all (a pulled dongle then shows as a failing read).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

class HardwareState;
class Protocol;

// How often the watcher looks and how long an enumerator run may take. The defaults are the
// ones the dongle is used with; tests use short ones.
struct PortCheckTiming {
    std::chrono::milliseconds lookPeriod{1000};
    // After a status request has been queued for a missing dongle.
    std::chrono::milliseconds pauseAfterProbe{5000};
    std::chrono::milliseconds enumeratorTimeout{2000};
};

class SerialPortCheck {
public:
    static constexpr const char* enumeratorName = "EnumSer";

    // Neither is owned; both may be null (discovery alone needs neither).
    SerialPortCheck(HardwareState* hardwareState, Protocol* protocol, PortCheckTiming timing = {});

    // The dongle's port name ("/dev/..." or "COM" and digits), or "" when none is listed or
    // discovery failed (the reason goes to standard output). A stop request ends a run
    // early (the enumerator is killed) and yields "".
    std::string getDeviceName(std::stop_token stop = {});

    // The watcher thread's body. Returns when `stop` is requested.
    void checkLoop(std::stop_token stop);

    // Where the enumerator is looked for, in order: the program's folder, this library's
    // folder, then each PATH entry. Only existing executables are listed.
    std::vector<std::string> enumeratorCandidates() const;

    // Runs this program instead of searching for EnumSer (tests, unusual installs).
    void setEnumeratorPath(std::string path);

    // How many times the enumerator has been started, by any caller.
    uint64_t enumeratorRuns() const { return runs; }
    // How many times the watcher found the dongle missing and queued a status request.
    uint64_t statusProbes() const { return probes; }
    // How many times the watcher has woken up to look (whether or not it ran the enumerator).
    uint64_t watcherLooks() const { return looks; }

    HardwareState* hardwareState;
    Protocol* protocol;
    const PortCheckTiming timing;

private:
    std::string runEnumerator(const std::string& path, std::stop_token stop);

    mutable std::mutex pathMutex;
    std::string enumeratorPath;
    std::atomic<uint64_t> runs{0};
    std::atomic<uint64_t> probes{0};
    std::atomic<uint64_t> looks{0};
};
