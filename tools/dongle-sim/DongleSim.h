// DongleSim: the simulated kit on a pseudo-terminal.
//
// Opens a pseudo-terminal pair in raw mode, announces the terminal in the port registry,
// and runs one thread that reads the host's commands, answers them through DongleModel,
// streams data frames at the real pace (one per streaming remote every 10 ms) and plays
// the faults it is asked for. Tests run it in-process; korvex-dongle-sim wraps it.
//
// Control goes through text lines, the same from the command line, standard input and
// this API (control()); the typed methods below are shorthands for those lines:
//   unplug | replug                       close the terminal / open a new one
//   radio-drop <r> | radio-return <r>     remote r leaves / re-enters radio range
//   garbage <n> | garbage hex <bytes...>  send junk bytes
//   split <max-bytes> [gap-ms] | split off     write every frame in pieces
//   drop-answers <n>                      the next n answers are not sent
//   late-answers <n> <ms>                 the next n answers are sent late
//   nack <command|any> <error> [n]        refuse the next n matching commands
//   paced on|off                          off: stream as fast as the host reads
//   config <r> <c> | battery <r> <volts>  set a remote's configuration / battery
//   hostile <kind|any>                    do act <kind> to the next data frame (queued: each
//                                         line takes one more frame; any: a kind at random)
//   hostile <kind|any> <percent>          do it to that share of the data frames, drawn per
//                                         frame from the seed (0: stop); shares add up to 100
//   hostile off                           no more acts, queued ones dropped
//   at <ms> <line>                        run a line later
//   status | stats                        describe the state / the counters
// Commands are named by their protocol name (START_DATA) or code (32, 0x20). The hostile
// kinds and the count of what they cost are described in SimHostile.h.
#pragma once

#include "tools/dongle-sim/DongleModel.h"
#include "tools/dongle-sim/SimHostile.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class DongleSim {
public:
    enum class StartState { Idle, Paired, Connected };

    struct Options {
        DongleModel::Options model;
        std::vector<int> remotes = {1, 2}; // which remote units exist
        StartState state = StartState::Connected;
        std::map<int, int> fixedConfigs; // remote -> configuration at start
        bool paced = true;
        bool registerPort = true; // announce the terminal in the port registry
        // Each new host's first GET_PAIRING is followed by an RF_CONNECTION for every remote
        // already connected. A real dongle need not do this, so it is off unless asked for.
        bool announceRemotes = false;
        std::string truthPath;                 // write the truth file there when not empty
        bool recordLine = false;               // keep every byte written to the line: lineRecord()
        std::map<std::string, double> hostile; // kind name or "any" -> percent of data frames
        std::function<void(const std::string&)> log;         // one line per frame in or out
        std::function<void(const std::string&)> portChanged; // new path, or "" when unplugged
    };

    struct Stats {
        uint64_t commandsReceived = 0;
        uint64_t answersSent = 0;
        uint64_t answersDropped = 0;
        uint64_t connectionFramesSent = 0;
        uint64_t dataFramesSent = 0;
        uint64_t dataFramesLost = 0; // no host on the terminal, or the host not reading
        uint64_t framingErrors = 0;
        uint64_t bytesSkipped = 0;
        uint64_t bytesWritten = 0;
        int64_t ticks = 0;

        // What became of the data frames, as a reader that keeps the framing rule meets the
        // line (SimHostile.h). Each frame in dataFramesSent is in exactly one of intact,
        // pending, damaged[kind] and cost[kind]; so a library that keeps the rule records
        // at least dataFramesIntact frames and at most dataFramesFound.
        uint64_t dataFramesIntact = 0;  // sent unaltered and findable where they were sent
        uint64_t dataFramesPending = 0; // the reader still waits for bytes a false frame claims
        uint64_t damaged[hostileKindCount] = {}; // altered by an act of that kind
        uint64_t cost[hostileKindCount] = {};    // sent unaltered, run over after such an act
        uint64_t dataFramesFound = 0;      // frames with the data command the reader passes on
        uint64_t otherFramesCost = 0;      // answers and connection frames run over
        uint64_t dataFramesDuplicated = 0; // second copies (not in dataFramesSent)
        uint64_t counterJumps = 0;
        uint64_t countersSkipped = 0; // frames left out by the jumps (not in dataFramesSent)
        uint64_t junkBytes = 0;       // between or inside frames, garbage lines included

        // Frames an act of `kind` altered or cost.
        uint64_t touched(HostileKind kind) const {
            return damaged[static_cast<int>(kind)] + cost[static_cast<int>(kind)];
        }
        uint64_t dataFramesTouched() const {
            uint64_t n = 0;
            for (int k = 0; k < hostileKindCount; ++k)
                n += damaged[k] + cost[k];
            return n;
        }
    };

    DongleSim();
    explicit DongleSim(Options options);
    ~DongleSim();
    DongleSim(const DongleSim&) = delete;
    DongleSim& operator=(const DongleSim&) = delete;

    // Opens the terminal, registers it, starts the thread. False with `error` set when the
    // terminal, the registry entry or the truth file cannot be made.
    bool start(std::string* error = nullptr);
    // Stops the thread, closes the terminal, removes the registry entry. Idempotent.
    void stop();
    bool isRunning() const { return running.load(); }

    std::string portPath() const;
    std::string registryEntry() const;

    // Runs one control line on the simulator's thread and returns its answer: "ok ..." or
    // "error: ...". Waits at most two seconds.
    std::string control(const std::string& line);

    void unplug() { control("unplug"); }
    void replug() { control("replug"); }
    void radioDrop(int remote) { control("radio-drop " + std::to_string(remote)); }
    void radioReturn(int remote) { control("radio-return " + std::to_string(remote)); }
    void garbage(int count) { control("garbage " + std::to_string(count)); }
    void splitWrites(int maxBytes, int gapMs = 1);
    void dropAnswers(int count) { control("drop-answers " + std::to_string(count)); }
    void lateAnswers(int count, int delayMs);
    void nackNext(int command, int error, int count = 1); // command -1: any
    void setPaced(bool paced) { control(paced ? "paced on" : "paced off"); }
    void schedule(int delayMs, const std::string& line);
    std::string status() { return control("status"); }
    // Act `kind` on the next data frame (one more frame per call).
    void hostileNext(HostileKind kind) { control(std::string("hostile ") + hostileKindName(kind)); }
    // Act `kind` on `percent` of the data frames from now; false when the shares would pass 100.
    bool hostileRate(HostileKind kind, double percent);
    void hostileOff() { control("hostile off"); }

    // Every act done so far, in line order.
    std::vector<HostileAct> hostileActs() const;
    // Every byte written to the line so far, with Options::recordLine.
    std::vector<uint8_t> lineRecord() const;

    Stats stats() const;
    // Called on the simulator's thread for every data frame built, with whether it was
    // sent. Set before start().
    void onDataFrame(std::function<void(const SimDataFrame&, bool sent)> callback);
    // True once a "quit" line was run (the program's exit request).
    bool quitRequested() const { return quit.load(); }

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
    std::atomic<bool> running{false};
    std::atomic<bool> quit{false};
};
