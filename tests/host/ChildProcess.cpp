#include "ChildProcess.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                           bool withStdin) {
    ::signal(SIGPIPE, SIG_IGN);
    int out[2], in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    if (withStdin && ::pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.push_back(*e);
    for (const auto& change : environment) {
        std::string name = change.substr(0, change.find('='));
        std::erase_if(env, [&](const std::string& e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
        if (change.size() > name.size() + 1)
            env.push_back(change);
    }
    std::vector<std::string> args = argv;
    std::vector<char*> argp, envp;
    for (auto& a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        if (withStdin)
            ::dup2(in[0], 0);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    outFd = out[0];
    ::fcntl(outFd, F_SETFL, ::fcntl(outFd, F_GETFL) | O_NONBLOCK);
    if (withStdin) {
        ::close(in[0]);
        inFd = in[1];
    }
}

ChildProcess::~ChildProcess() {
    if (!exitCode) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        int st;
        ::waitpid(pid, &st, 0);
    }
    if (outFd >= 0)
        ::close(outFd);
    if (inFd >= 0)
        ::close(inFd);
}

void ChildProcess::pump(int timeoutMs) {
    pollfd p{outFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(outFd, buf, sizeof buf)) > 0)
        collected.append(buf, size_t(n));
}

bool ChildProcess::waitFor(const std::string& text, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (collected.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pump(static_cast<int>(std::min<long long>(left.count(), 50)));
    }
    return true;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exitCode) {
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == pid) {
            exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        pump(20);
    }
    pump(0);
    return exitCode;
}

void ChildProcess::signal(int number) { ::kill(pid, number); }

void ChildProcess::writeLine(const std::string& line) {
    std::string l = line + "\n";
    [[maybe_unused]] auto n = ::write(inFd, l.data(), l.size());
}

std::string ChildProcess::output() {
    pump(0);
    return collected;
}
