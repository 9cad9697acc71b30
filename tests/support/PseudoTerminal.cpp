#include "tests/support/PseudoTerminal.h"

#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    path = name;
    termios tio{};
    ::tcgetattr(master, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master, TCSANOW, &tio);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    // Only the transport holds the slave side; closing the master then looks like a
    // pulled device to it.
    ::close(slave);
}

void PseudoTerminal::send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

std::vector<uint8_t> PseudoTerminal::receive(size_t want, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < want) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd pfd{master, POLLIN, 0};
        if (::poll(&pfd, 1, int(left.count())) <= 0)
            continue;
        uint8_t chunk[256];
        ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n <= 0)
            break;
        out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}

void PseudoTerminal::unplug() {
    if (master >= 0)
        ::close(master);
    master = -1;
}
