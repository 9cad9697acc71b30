// DongleModel: the simulated dongle and its two remotes as a pure state machine.
//
// It takes the host's command frames and 10 ms ticks, and returns the frames the dongle
// sends: answers (ACK, NACK or a reply), unsolicited radio connection changes, and one
// data frame per streaming remote per tick. No I/O and no clock: DongleSim drives it over
// a pseudo-terminal, tests drive it directly.
//
// The world it models: two remote units (1 and 2) that may exist, be switched on and be in
// radio range; two dongle slots, each paired to a remote identifier or not. A slot's remote
// is connected when the slot is paired and a unit with that identifier is on and in range.
// The mode the dongle reports follows from this: Data while a run streams, Pairing while a
// pairing is being made, Connected with a connected remote, Paired with a paired slot,
// Idle otherwise. A remote keeps its fixed configuration and output settings across radio
// drops and unplugging the dongle, as the real boxes do; it forgets them when switched off.
#pragma once

#include "tools/dongle-sim/SimSignals.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

// One frame the dongle sends.
struct SimEmission {
    enum class Kind { Answer, Connection, Data };
    Kind kind = Kind::Answer;
    uint8_t command = 0; // for an answer: the command it answers
    std::vector<uint8_t> frame;
};

// What a data frame carries, for the truth record: each sample's decoded values.
struct SimTruthSample {
    int type = 0;
    int index = 0;              // index within its block
    int64_t sampleNumber = 0;   // since the start of the stream
    std::vector<double> values; // what a host decodes with the constants the remote reports
};

struct SimDataFrame {
    int remote = 0;
    int counter = 0;
    int config = 0;
    int64_t frameIndex = 0; // frames since the stream started, 10 ms each
    std::vector<uint8_t> frame;
    std::vector<SimTruthSample> samples;
    bool altered = false; // put on the line with other bytes than `frame` (a hostile act)
};

class DongleModel {
public:
    struct Options {
        uint64_t seed = 1;
        uint32_t dongleID = 0x4B5601;
        uint16_t fwVersion = 0x0107;
        uint32_t unitIDs[2] = {0x0A1B01, 0x0A1B02};
        int firstCounter = 0;   // frame counter of a stream's first frame
        int pairingTicks = 3;   // how long a pairing takes
        int powerDownTicks = 2; // from the ACK of POWER_DOWN to the radio loss
        // Every remote reports the host's default barometer and thermometer constants
        // instead of its own (which differ per remote and seed).
        bool defaultConstants = false;
    };

    DongleModel();
    explicit DongleModel(const Options& options);

    // --- start state (no frames are sent for these) ---
    // Whether remote unit 1 or 2 exists at all (a kit may have one remote).
    void setUnitPresent(int unit, bool present);
    // Pairs slot 1 or 2 with a remote identifier (0 unpairs).
    void setPairing(int slot, uint32_t remoteID);
    // The fixed configuration of the remote behind a slot, as if the host had set it.
    bool setFixedConfig(int slot, int config);
    // Marks the current connections as already known to the host.
    void settleConnections();

    // --- traffic ---
    // Answers one complete, well-formed command frame.
    std::vector<SimEmission> handleCommand(std::span<const uint8_t> frame);
    // Refusal of a frame the dongle could not read: SOP, length or EOP errors.
    SimEmission framingError(uint8_t command, uint8_t errorCode) const;
    // A host opened the port: its first GET_PAIRING is followed by an RF_CONNECTION for
    // every remote already connected. Without this call nothing is announced; a host has to
    // ask each remote for its status.
    void hostAttached();
    // One 10 ms step: due events (pairing done, power off), connection changes, then one
    // data frame per streaming remote. `dataFrames` receives what each data frame carries.
    std::vector<SimEmission> tick(std::vector<SimDataFrame>* dataFrames = nullptr);

    // --- faults and demo controls ---
    // A remote leaves or re-enters radio range (also switches a powered-down remote on).
    std::vector<SimEmission> setInRange(int slot, bool inRange);
    // The dongle loses power: the run and any pairing in progress end. The pairing table
    // and the remotes' state are kept.
    void unplug();
    void setBattery(int slot, double volts);

    // --- inspection ---
    int modeNumber() const;
    bool runActive() const { return running; }
    bool connected(int slot) const;
    bool streaming(int slot) const;
    int fixedConfig(int slot) const;
    uint32_t unitID(int unit) const;
    // The factory constants remote `slot` reports, and that its truth values are decoded with.
    const SimCalibration& calibration(int slot) const;
    int64_t ticks() const { return tickCount; }
    std::string describe() const;
    const Options& options() const { return opts; }

private:
    struct Unit {
        uint32_t id = 0;
        bool present = true;
        bool powered = true;
        bool inRange = true;
        int fixedConfig = 0;
        std::map<int, std::map<int, int>> settings; // sensor type -> key -> value
        std::optional<double> batteryOverride;
    };
    struct Slot {
        bool paired = false;
        uint32_t id = 0;
        bool reportedConnected = false;
        bool inRun = false;
        int64_t runStartTick = 0;
    };
    struct PendingEvent {
        int64_t dueTick;
        enum class What { PairingDone, PowerOff } what;
        int slot;
        uint32_t id;
    };

    Unit* unitBehind(int slot);
    const Unit* unitBehind(int slot) const;
    static bool validRemote(int remote) { return remote == 1 || remote == 2; }
    void emitConnectionChanges(std::vector<SimEmission>& out);
    void endRunIfNobodyStreams();
    SimEmission ack(uint8_t command) const;
    SimEmission nack(uint8_t command, uint8_t error) const;
    SimEmission reply(uint8_t command, std::vector<uint8_t> payload) const;
    SimDataFrame buildDataFrame(int slot);
    double batteryVolts(int slot) const;
    void applySetting(Unit& unit, int sensorType, uint8_t packed);

    std::vector<SimEmission> handleStartPairing(std::span<const uint8_t> payload);
    std::vector<SimEmission> handleStartData();
    std::vector<SimEmission> handleRemoteCommand(uint8_t command, std::span<const uint8_t> payload);

    Options opts;
    Unit units[2];
    Slot slots[2];
    std::vector<PendingEvent> pending;
    bool pairingInProgress = false;
    bool announceToNewHost = false;
    bool running = false;
    int64_t tickCount = 0;
    RemoteSignals signals[2];
};
