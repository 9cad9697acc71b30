#include "device/link/SerialPortCheck.h"

#include "device/base/HardwareState.h"
#include "device/link/PortListing.h"
#include "device/protocol/Protocol.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

bool isExecutable(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

fs::path programDirectory() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

fs::path libraryDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&programDirectory), &info) == 0 || !info.dli_fname)
        return {};
    std::error_code ec;
    fs::path lib = fs::canonical(info.dli_fname, ec);
    return ec ? fs::path() : lib.parent_path();
}

// Sleeps `duration` or until a stop is requested; false on stop.
bool pause(std::stop_token stop, std::chrono::milliseconds duration) {
    std::mutex mutex;
    std::condition_variable_any condition;
    std::unique_lock lock(mutex);
    condition.wait_for(lock, stop, duration, [] { return false; });
    return !stop.stop_requested();
}

} // namespace

SerialPortCheck::SerialPortCheck(HardwareState* hardwareState, Protocol* protocol,
                                 PortCheckTiming timing)
    : hardwareState(hardwareState), protocol(protocol), timing(timing) {}

void SerialPortCheck::setEnumeratorPath(std::string path) {
    std::lock_guard lock(pathMutex);
    enumeratorPath = std::move(path);
}

std::vector<std::string> SerialPortCheck::enumeratorCandidates() const {
    std::vector<std::string> found;
    auto consider = [&found](const fs::path& dir) {
        if (dir.empty())
            return;
        fs::path candidate = dir / enumeratorName;
        if (!isExecutable(candidate))
            return;
        for (const auto& f : found)
            if (f == candidate.string())
                return;
        found.push_back(candidate.string());
    };
    consider(programDirectory());
    consider(libraryDirectory());
    if (const char* path = std::getenv("PATH")) {
        std::string_view rest(path);
        while (true) {
            size_t colon = rest.find(':');
            std::string_view dir = rest.substr(0, colon);
            // An empty PATH entry means the current directory.
            consider(dir.empty() ? fs::path(".") : fs::path(dir));
            if (colon == std::string_view::npos)
                break;
            rest.remove_prefix(colon + 1);
        }
    }
    return found;
}

std::string SerialPortCheck::getDeviceName(std::stop_token stop) {
    if (const char* port = std::getenv("KORVEX_PORT"); port && *port) {
        // The named port is the dongle as long as it exists; once it is gone it counts as
        // not listed, as the enumerator would say.
        std::error_code ec;
        return fs::exists(port, ec) ? std::string(port) : std::string();
    }

    std::string path;
    {
        std::lock_guard lock(pathMutex);
        path = enumeratorPath;
    }
    if (path.empty()) {
        auto candidates = enumeratorCandidates();
        if (candidates.empty()) {
            std::cout << "CreateProcess failed " << ENOENT << " (" << enumeratorName
                      << " not found)" << std::endl;
            return "";
        }
        path = candidates.front();
    }
    return runEnumerator(path, stop);
}

std::string SerialPortCheck::runEnumerator(const std::string& path, std::stop_token stop) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::cout << "StdoutRd CreatePipe " << errno << std::endl;
        return "";
    }

    // The child's standard output and error go into the pipe; its input is empty.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);

    // The child starts with default signal handling whatever this process has set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::string program = path;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    int spawnError = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(fds[1]);
    if (spawnError != 0) {
        ::close(fds[0]);
        std::cout << "CreateProcess failed " << spawnError << std::endl;
        return "";
    }
    ++runs;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timing.enumeratorTimeout;
    std::string output;
    output.reserve(portListingLimit);
    int readError = 0;
    bool timedOut = false;
    bool stopped = false;

    // Read until the child closes its end. Only the start is kept, but the rest is drained
    // so that a long listing cannot block the child on a full pipe.
    while (true) {
        if (stop.stop_requested()) {
            stopped = true;
            break;
        }
        // Rounded up: a part of a millisecond still left is waited for, not taken as none.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left.count(), 50)));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            readError = errno;
            break;
        }
        if (ready == 0)
            continue;
        char chunk[512];
        ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            readError = errno;
            break;
        }
        if (n == 0)
            break;
        size_t keep = std::min(static_cast<size_t>(n), portListingLimit - output.size());
        output.append(chunk, keep);
    }
    ::close(fds[0]);

    // Reap the child; one that outlives the deadline (or a stop) is killed.
    int status = 0;
    while (true) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        if (timedOut || stopped || Clock::now() >= deadline) {
            timedOut = timedOut || !stopped;
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    if (stopped)
        return "";
    if (timedOut) {
        std::cout << "EnumSer did not finish within " << timing.enumeratorTimeout.count()
                  << " ms and was stopped" << std::endl;
        return "";
    }
    if (readError != 0) {
        std::cout << "Read stdout pipe failed " << readError << std::endl;
        return "";
    }
    return portNameFromListing(output);
}

void SerialPortCheck::checkLoop(std::stop_token stop) {
    if (!pause(stop, timing.lookPeriod))
        return;
    while (pause(stop, timing.lookPeriod)) {
        ++looks;
        // Nothing to watch without an open dongle; and while it streams the enumerator is
        // left alone (a pulled dongle then shows up as a failing read).
        if (!hardwareState || hardwareState->dongleMode == DongleModeData ||
            !hardwareState->donglePlugged)
            continue;
        if (!getDeviceName(stop).empty() || stop.stop_requested())
            continue;
        // Not listed any more: the write of this request fails on a vanished port and the
        // transport then runs its loss procedure.
        ++probes;
        if (protocol)
            protocol->getDongleStatus();
        pause(stop, timing.pauseAfterProbe);
    }
}
