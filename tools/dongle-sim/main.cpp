// korvex-dongle-sim: the simulated kit as a program.
//
// Prints "port <path>" when the terminal is ready (and again after each replug, "port -"
// when unplugged), then reads control lines from standard input until "quit", end of
// input with --exit-on-eof, the --duration, or SIGINT/SIGTERM.
#include "tools/dongle-sim/DongleSim.h"
#include "tools/dongle-sim/SimLayout.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<bool> signalled{false};
std::mutex printMutex;

void onSignal(int) { signalled = true; }

void say(const std::string& line) {
    std::lock_guard lock(printMutex);
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

void usage() {
    std::fputs(
        "usage: korvex-dongle-sim [options]\n"
        "  --seed N               data and junk are the same for the same seed (default 1)\n"
        "  --remotes LIST         remotes that exist: 1,2 (default), 1, 2 or none\n"
        "  --state S              idle (nothing paired), paired (remotes off) or connected "
        "(default)\n"
        "  --config R=C           remote R starts with fixed configuration C (repeatable)\n"
        "  --first-counter N      frame counter of each stream's first frame (default 0)\n"
        "  --default-constants    the remotes report the host's default barometer and thermometer\n"
        "                         constants instead of their own (which differ per remote and "
        "seed)\n"
        "  --hostile KIND=PERCENT do act KIND to PERCENT of the data frames, drawn from the seed\n"
        "                         (repeatable; KIND: garbage, fake-header, junk-inside, flip,\n"
        "                         truncate, duplicate, counter-jump or any)\n"
        "  --unpaced              stream as fast as the host reads instead of every 10 ms\n"
        "  --truth FILE           write every data frame and its decoded values to FILE\n"
        "  --line-record FILE     write every byte sent to the host to FILE when stopping\n"
        "  --no-register          do not announce the port in the port registry\n"
        "  --announce-remotes     after a new host's first pairing query, report the remotes\n"
        "                         already connected (a real dongle may not)\n"
        "  --do LINE              run a control line at start (repeatable)\n"
        "  --at MS LINE           run a control line MS milliseconds after start (repeatable)\n"
        "  --duration SECONDS     stop after this time\n"
        "  --exit-on-eof          stop when standard input ends\n"
        "  --verbose              log every frame in and out on standard error\n"
        "Control lines (also on standard input): unplug, replug, radio-drop R, radio-return R,\n"
        "  garbage N | garbage hex BYTES, split MAX [GAP-MS] | split off, drop-answers N,\n"
        "  late-answers N MS, nack COMMAND|any ERROR [N], paced on|off, config R C,\n"
        "  battery R VOLTS, hostile KIND|any [PERCENT] | hostile off, at MS LINE, status, stats,\n"
        "  quit\n",
        stderr);
}

bool parseRemotes(const std::string& text, std::vector<int>& remotes) {
    remotes.clear();
    if (text == "none")
        return true;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        if (item != "1" && item != "2")
            return false;
        remotes.push_back(std::stoi(item));
    }
    return !remotes.empty();
}

} // namespace

int main(int argc, char** argv) {
    DongleSim::Options options;
    std::vector<std::string> startLines;
    double duration = 0;
    bool exitOnEof = false;
    std::string lineRecordPath;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "korvex-dongle-sim: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        try {
            if (arg == "--seed") {
                options.model.seed = std::stoull(value());
            } else if (arg == "--remotes") {
                if (!parseRemotes(value(), options.remotes)) {
                    std::fputs("korvex-dongle-sim: --remotes takes 1,2 or 1 or 2 or none\n",
                               stderr);
                    return 2;
                }
            } else if (arg == "--state") {
                std::string s = value();
                if (s == "idle")
                    options.state = DongleSim::StartState::Idle;
                else if (s == "paired")
                    options.state = DongleSim::StartState::Paired;
                else if (s == "connected")
                    options.state = DongleSim::StartState::Connected;
                else {
                    std::fputs("korvex-dongle-sim: --state takes idle, paired or connected\n",
                               stderr);
                    return 2;
                }
            } else if (arg == "--config") {
                std::string s = value();
                auto eq = s.find('=');
                int remote = eq == std::string::npos ? 0 : std::stoi(s.substr(0, eq));
                int config = eq == std::string::npos ? 0 : std::stoi(s.substr(eq + 1));
                if ((remote != 1 && remote != 2) || simBlockLayout(config).empty()) {
                    std::fputs("korvex-dongle-sim: --config takes R=C with R 1 or 2 and C a fixed "
                               "configuration\n",
                               stderr);
                    return 2;
                }
                options.fixedConfigs[remote] = config;
            } else if (arg == "--first-counter") {
                options.model.firstCounter = std::stoi(value()) & 0xFF;
            } else if (arg == "--default-constants") {
                options.model.defaultConstants = true;
            } else if (arg == "--hostile") {
                std::string s = value();
                auto eq = s.find('=');
                if (eq == std::string::npos || eq == 0) {
                    std::fputs("korvex-dongle-sim: --hostile takes KIND=PERCENT\n", stderr);
                    return 2;
                }
                options.hostile[s.substr(0, eq)] = std::stod(s.substr(eq + 1));
            } else if (arg == "--line-record") {
                lineRecordPath = value();
                options.recordLine = true;
            } else if (arg == "--unpaced") {
                options.paced = false;
            } else if (arg == "--truth") {
                options.truthPath = value();
            } else if (arg == "--no-register") {
                options.registerPort = false;
            } else if (arg == "--announce-remotes") {
                options.announceRemotes = true;
            } else if (arg == "--do") {
                startLines.push_back(value());
            } else if (arg == "--at") {
                std::string ms = value();
                startLines.push_back("at " + ms + " " + value());
            } else if (arg == "--duration") {
                duration = std::stod(value());
            } else if (arg == "--exit-on-eof") {
                exitOnEof = true;
            } else if (arg == "--verbose") {
                options.log = [](const std::string& line) {
                    std::lock_guard lock(printMutex);
                    std::fprintf(stderr, "korvex-dongle-sim: %s\n", line.c_str());
                };
            } else if (arg == "--help" || arg == "-h") {
                usage();
                return 0;
            } else {
                std::fprintf(stderr, "korvex-dongle-sim: unknown option %s\n", arg.c_str());
                usage();
                return 2;
            }
        } catch (const std::exception&) {
            std::fprintf(stderr, "korvex-dongle-sim: bad value for %s\n", arg.c_str());
            return 2;
        }
    }
    options.portChanged = [](const std::string& path) {
        say("port " + (path.empty() ? std::string("-") : path));
    };

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    DongleSim sim(options);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "korvex-dongle-sim: %s\n", error.c_str());
        return 1;
    }
    for (const auto& line : startLines) {
        std::string answer = sim.control(line);
        if (answer.rfind("error", 0) == 0) {
            std::fprintf(stderr, "korvex-dongle-sim: %s: %s\n", line.c_str(), answer.c_str());
            return 2;
        }
    }

    const auto started = std::chrono::steady_clock::now();
    bool stdinOpen = true;
    std::string pendingInput;
    while (!signalled && !sim.quitRequested()) {
        if (duration > 0 &&
            std::chrono::steady_clock::now() - started >= std::chrono::duration<double>(duration))
            break;
        if (!stdinOpen) {
            if (exitOnEof)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, 50) <= 0)
            continue;
        char buffer[1024];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            stdinOpen = false;
            continue;
        }
        pendingInput.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t eol; (eol = pendingInput.find('\n')) != std::string::npos;) {
            std::string line = pendingInput.substr(0, eol);
            pendingInput.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos)
                continue;
            say(sim.control(line));
        }
    }
    sim.stop();
    if (!lineRecordPath.empty()) {
        const std::vector<uint8_t> bytes = sim.lineRecord();
        std::FILE* out = std::fopen(lineRecordPath.c_str(), "wb");
        bool written = out && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        if (out && std::fclose(out) != 0)
            written = false;
        if (!written) {
            std::fprintf(stderr, "korvex-dongle-sim: cannot write %s\n", lineRecordPath.c_str());
            return 1;
        }
    }
    return 0;
}
