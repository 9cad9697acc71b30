#include "host/shell/BrowserProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A descriptor at 10 or above, close-on-exec, so that placing the child's ends at 3 and 4
// can never overwrite one of them.
int highDescriptor(int fd) {
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return high;
}

} // namespace

std::optional<BrowserProcess> BrowserProcess::start(const std::string& program,
                                                    const std::vector<std::string>& arguments,
                                                    bool quiet, int& readFd, int& writeFd,
                                                    std::string& problem) {
    int toBrowser[2];
    int fromBrowser[2];
    if (::pipe2(toBrowser, O_CLOEXEC) != 0) {
        problem = std::string("cannot create the browser pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (::pipe2(fromBrowser, O_CLOEXEC) != 0) {
        problem = std::string("cannot create the browser pipe: ") + std::strerror(errno);
        ::close(toBrowser[0]);
        ::close(toBrowser[1]);
        return std::nullopt;
    }
    for (int* fd : {&toBrowser[0], &toBrowser[1], &fromBrowser[0], &fromBrowser[1]})
        *fd = highDescriptor(*fd);
    int devNull = quiet ? ::open("/dev/null", O_RDWR | O_CLOEXEC) : -1;

    // Everything the child needs is prepared before fork: after it, only async-signal-safe
    // calls are allowed (the device library's threads are already running).
    std::vector<std::string> argvStrings;
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& s : argvStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t parent = ::getpid();

    pid_t pid = ::fork();
    if (pid < 0) {
        problem = std::string("cannot start the browser: ") + std::strerror(errno);
        for (int fd : {toBrowser[0], toBrowser[1], fromBrowser[0], fromBrowser[1], devNull})
            if (fd >= 0)
                ::close(fd);
        return std::nullopt;
    }
    if (pid == 0) {
        // Belt and braces beside the pipe: the browser also gets SIGTERM if the host dies.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (::dup2(toBrowser[0], 3) < 0 || ::dup2(fromBrowser[1], 4) < 0)
            ::_exit(127);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
            ::dup2(devNull, 1);
            ::dup2(devNull, 2);
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(toBrowser[0]);
    ::close(fromBrowser[1]);
    // Large replies (sensor data of several hundred kilobytes) go through in one write
    // instead of many small ones; the pipes keep their default size if this is refused.
    ::fcntl(toBrowser[1], F_SETPIPE_SZ, 1 << 20);
    ::fcntl(fromBrowser[0], F_SETPIPE_SZ, 1 << 20);
    if (devNull >= 0)
        ::close(devNull);
    readFd = fromBrowser[0];
    writeFd = toBrowser[1];
    return BrowserProcess(pid);
}

bool BrowserProcess::waitForExit(std::chrono::milliseconds limit) {
    if (status)
        return true;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int st = 0;
        pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            status = st;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void BrowserProcess::kill() {
    if (status)
        return;
    ::kill(pid, SIGKILL);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    status = st;
}
