// Runs the simulated kit (the korvex-dongle-sim program) as a child process for the length
// of one command, with a port registry of its own: a private runtime folder is created and
// KORVEX_RUNTIME_DIR is pointed at it for this process (so the library's port discovery
// sees this simulator only) and for the child. Stopping ends the child and removes the
// folder. The child reads its standard input from us and exits when it closes, so it never
// outlives this process, and it runs in its own process group, so a Ctrl-C meant for the
// recording does not unplug the kit before the run is stopped cleanly.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class SimulatedKit {
public:
    struct Options {
        std::string program;           // empty: find korvex-dongle-sim
        std::vector<std::string> args; // extra arguments for the simulator
        std::chrono::milliseconds startTimeout{5000};
    };

    SimulatedKit() = default;
    ~SimulatedKit();
    SimulatedKit(const SimulatedKit&) = delete;
    SimulatedKit& operator=(const SimulatedKit&) = delete;

    // Starts the simulator and waits until it reports its terminal. False with `error`
    // set when the program is missing, fails, or says nothing in time.
    bool start(const Options& options, std::string& error);
    // Ends the simulator (quit, then SIGTERM, then SIGKILL, each bounded) and removes the
    // private runtime folder. Idempotent.
    void stop();

    const std::string& portPath() const { return port; }
    const std::string& runtimeDir() const { return runtime; }

    // korvex-dongle-sim beside this program, else on PATH; empty when not found.
    static std::string findProgram();

private:
    pid_t child = -1;
    int toChild = -1;
    int fromChild = -1;
    std::string port;
    std::string runtime;
    std::string previousRuntime;
    bool hadPreviousRuntime = false;
};
