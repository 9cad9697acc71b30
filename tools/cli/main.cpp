// korvex-cli: record, inspect and export from the Korvex kit on the command line.
//
// The library writes a few transport messages to standard output; they must not mix with
// the reports and JSON this program prints there. The program keeps the real standard
// output for itself and points descriptor 1 at standard error (--verbose) or /dev/null.
#include "Cli.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> interrupted{false};

void onInterrupt(int) { interrupted = true; }

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool verbose = false;
    for (const auto& a : args)
        verbose = verbose || a == "--verbose";

    std::fflush(stdout);
    int ownOut = ::dup(STDOUT_FILENO);
    FILE* out = ownOut >= 0 ? ::fdopen(ownOut, "w") : nullptr;
    if (!out) {
        std::fprintf(stderr, "korvex-cli: cannot set up standard output: %s\n",
                     std::strerror(errno));
        return ExitFailed;
    }
    ::fcntl(ownOut, F_SETFD, FD_CLOEXEC);
    int sink = verbose ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink >= 0) {
        ::dup2(sink, STDOUT_FILENO);
        ::close(sink);
    }

    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int rc = runCli(args, out, stderr, &interrupted);
    std::fflush(out);
    std::fclose(out);
    return rc;
}
