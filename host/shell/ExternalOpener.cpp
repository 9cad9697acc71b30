#include "host/shell/ExternalOpener.h"

#include "host/shell/HostPaths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

bool OpenExternally(const std::string& url, std::string& problem) {
    std::string program = ProcessEnvironment("KORVEX_URL_OPENER").value_or("");
    if (program.empty())
        program = "xdg-open";
    // An intermediate child starts the opener and ends at once, so the opener is adopted by
    // init and reaped there; the host only waits for the intermediate child.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        problem = std::strerror(errno);
        return false;
    }
    pid_t middle = ::fork();
    if (middle < 0) {
        problem = std::strerror(errno);
        ::close(ready[0]);
        ::close(ready[1]);
        return false;
    }
    if (middle == 0) {
        ::setsid();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
        pid_t opener;
        int rc = ::posix_spawnp(&opener, program.c_str(), &actions, nullptr, argv, environ);
        [[maybe_unused]] auto n = ::write(ready[1], &rc, sizeof rc);
        ::_exit(0);
    }
    ::close(ready[1]);
    int rc = 0;
    ssize_t got = ::read(ready[0], &rc, sizeof rc);
    ::close(ready[0]);
    int status;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (got != sizeof rc)
        rc = ECHILD;
    if (rc != 0) {
        problem = "cannot start " + program + ": " + std::strerror(rc);
        return false;
    }
    return true;
}
