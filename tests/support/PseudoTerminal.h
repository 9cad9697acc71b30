// The far end of a serial line for tests: a pseudo-terminal whose master side the test
// holds, so that the slave's path is a port the transport can open (and one the port
// listing shows) until the master is closed.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class PseudoTerminal {
public:
    // Throws when no pseudo-terminal can be had.
    PseudoTerminal();
    ~PseudoTerminal() { unplug(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return master >= 0; }

    void send(const std::vector<uint8_t>& bytes);
    // Reads what arrives within `timeout`, returning once `want` bytes are there.
    std::vector<uint8_t> receive(size_t want, std::chrono::milliseconds timeout);
    // Closes the master side: to the transport this looks like a pulled device, and the
    // slave's path goes away.
    void unplug();

    std::string path;
    int master = -1;
};
