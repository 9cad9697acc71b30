#include "SimulatedKit.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pthread.h>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* simulatorName = "korvex-dongle-sim";

bool isExecutable(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

// Waits for the child to end for at most `timeout`; true when it has.
bool waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A simulator that has already ended closed its input; the write must then fail with EPIPE
// instead of ending this process. SIGPIPE is blocked for the write and a pending one is
// taken back, so the process's own handling of the signal stays as it was.
void writeWithoutSigpipe(int fd, std::string_view text) {
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    const bool wasPending = sigismember(&pendingBefore, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EPIPE && !wasPending) {
        timespec zero{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace

SimulatedKit::~SimulatedKit() { stop(); }

std::string SimulatedKit::findProgram() {
    if (const char* given = std::getenv("KORVEX_DONGLE_SIM");
        given && *given && isExecutable(given))
        return given;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        fs::path beside = self.parent_path() / simulatorName;
        if (isExecutable(beside))
            return beside.string();
    }
    if (const char* path = std::getenv("PATH")) {
        std::string_view rest(path);
        while (!rest.empty()) {
            auto colon = rest.find(':');
            std::string dir(rest.substr(0, colon));
            if (!dir.empty() && isExecutable(fs::path(dir) / simulatorName))
                return (fs::path(dir) / simulatorName).string();
            if (colon == std::string_view::npos)
                break;
            rest.remove_prefix(colon + 1);
        }
    }
    return {};
}

bool SimulatedKit::start(const Options& options, std::string& error) {
    stop();
    std::string program = options.program.empty() ? findProgram() : options.program;
    if (program.empty()) {
        error = std::string(simulatorName) + " not found beside korvex-cli nor on PATH";
        return false;
    }

    std::string base = fs::temp_directory_path().string() + "/korvex-cli-XXXXXX";
    std::vector<char> pattern(base.begin(), base.end());
    pattern.push_back('\0');
    if (!::mkdtemp(pattern.data())) {
        error = std::string("cannot create a private runtime folder: ") + std::strerror(errno);
        return false;
    }
    runtime = pattern.data();
    if (const char* old = std::getenv("KORVEX_RUNTIME_DIR")) {
        hadPreviousRuntime = true;
        previousRuntime = old;
    }
    ::setenv("KORVEX_RUNTIME_DIR", runtime.c_str(), 1);

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        stop();
        return false;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(in[0]);
        ::close(in[1]);
        stop();
        return false;
    }

    std::vector<std::string> argv = {program, "--exit-on-eof"};
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1]})
            ::close(fd);
        stop();
        return false;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(program.c_str(), cargv.data());
        ::_exit(127);
    }
    child = pid;
    ::close(in[0]);
    ::close(out[1]);
    toChild = in[1];
    fromChild = out[0];

    // Wait for "port <path>".
    std::string pending;
    auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
    while (port.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = std::string(simulatorName) + " did not report its terminal in time";
            stop();
            return false;
        }
        pollfd p{fromChild, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
        if (r < 0 && errno != EINTR) {
            error = std::string("poll: ") + std::strerror(errno);
            stop();
            return false;
        }
        if (r <= 0)
            continue;
        char buffer[256];
        ssize_t n = ::read(fromChild, buffer, sizeof buffer);
        if (n <= 0) {
            error = std::string(simulatorName) + " ended before its terminal was ready";
            stop();
            return false;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (line.rfind("port /", 0) == 0) {
                port = line.substr(5);
                break;
            }
        }
    }
    return true;
}

void SimulatedKit::stop() {
    if (toChild >= 0) {
        // "quit" and the end of its input both end the simulator.
        writeWithoutSigpipe(toChild, "quit\n");
        ::close(toChild);
        toChild = -1;
    }
    if (child > 0) {
        if (!waitForExit(child, std::chrono::milliseconds(3000))) {
            ::kill(child, SIGTERM);
            if (!waitForExit(child, std::chrono::milliseconds(2000))) {
                ::kill(child, SIGKILL);
                waitForExit(child, std::chrono::milliseconds(2000));
            }
        }
        child = -1;
    }
    if (fromChild >= 0) {
        ::close(fromChild);
        fromChild = -1;
    }
    if (!runtime.empty()) {
        std::error_code ec;
        fs::remove_all(runtime, ec);
        runtime.clear();
        if (hadPreviousRuntime)
            ::setenv("KORVEX_RUNTIME_DIR", previousRuntime.c_str(), 1);
        else
            ::unsetenv("KORVEX_RUNTIME_DIR");
        hadPreviousRuntime = false;
    }
    port.clear();
}
