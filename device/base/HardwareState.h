// HardwareState: what the library knows about the dongle and its two remote slots.
//
// The reply parser thread writes it; the host's thread and the controller's workers read it
// without a lock. The rule that makes this safe:
// - every scalar field is a std::atomic, so a reader sees either the old or the new value
//   and never a torn one (read them as plain values: `state.dongleMode == 16`);
// - the maps `remotes`, `packetConfigs` and `outputConfigs` hold entries for remotes 1 and
//   2 from construction and are never changed afterwards, so finding an entry is safe from
//   any thread (use the accessors below: they never insert);
// - the per-sensor maps inside an entry (`sensorDataLen`, `settings`) grow and shrink, so
//   they are guarded by the entry's own mutex; touch them only through the entry's
//   operations, which take that mutex and hand out copies.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

// Dongle mode masks as the library keeps them (never the mode number).
enum DongleModeMask : int32_t {
    DongleModeIdle = 1,
    DongleModePairing = 2,
    DongleModePaired = 4,
    DongleModeConnected = 8,
    DongleModeData = 16,
};

// One remote slot's link and identity.
struct RemoteStatus {
    explicit RemoteStatus(int32_t remote);

    std::atomic<int32_t> remote;
    std::atomic<int32_t> pairStatus{0}; // 0 not paired, 1 paired
    std::atomic<int32_t> remoteID{0};   // 24-bit identifier of the paired remote
    std::atomic<int32_t> rfStatus{0};   // 1: radio link up
    std::atomic<int32_t> rfFwVersion{0};
    std::atomic<int32_t> sensorFwVersion{0};
    std::atomic<double> batteryVoltage{0.0}; // volts

    // Every field except `remote` back to 0.
    void reset();
};

// One remote slot's packet layout: which sensors it streams and how many data bytes each
// contributes to a data frame.
struct RemotePacketConfig {
    explicit RemotePacketConfig(int32_t remote);

    std::atomic<int32_t> remote;
    std::atomic<bool> configured{false};
    std::atomic<int32_t> fixedConfig{0}; // 0: none
    std::map<int32_t, int32_t>
        sensorDataLen; // sensor type -> data bytes per frame; guarded by `lock`

    // Marks the remote configured, then stores the length of one sensor.
    void setSensorDataLen(int32_t sensorType, int32_t length);
    // The stored length of one sensor, if any.
    std::optional<int32_t> sensorDataLenOf(int32_t sensorType) const;
    // A copy of every stored length, in sensor type order.
    std::map<int32_t, int32_t> sensorDataLens() const;
    // Not configured, no fixed configuration, no lengths.
    void clear();

    mutable std::mutex lock;
};

// One remote slot's output settings (per sensor: key -> value) and the setting in flight.
struct RemoteOutputConfig {
    explicit RemoteOutputConfig(int32_t remote);

    std::atomic<int32_t> remote;
    std::atomic<int32_t> pendingSensor{0};
    std::atomic<int32_t> pendingSetting{0};                 // (key AND 7) * 32 + value
    std::map<int32_t, std::map<int32_t, int32_t>> settings; // guarded by `lock`

    // Packs a key/value pair as the dongle carries it: (key AND 7) * 32 + (value AND 0x1F).
    static int32_t packSetting(int32_t key, int32_t value);
    // Stores one packed setting of one sensor (key = packed >> 5, value = packed AND 0x1F),
    // inserting or overwriting.
    void setSetting(int32_t sensorType, int32_t packed);
    // A copy of every setting.
    std::map<int32_t, std::map<int32_t, int32_t>> settingsCopy() const;
    // Empties `settings`.
    void clear();

    mutable std::mutex lock;
};

class HardwareState {
public:
    // Dongle idle and not plugged; entries for remotes 1 and 2 in all three maps.
    HardwareState();
    ~HardwareState();

    HardwareState(const HardwareState&) = delete;
    HardwareState& operator=(const HardwareState&) = delete;

    std::atomic<bool> donglePlugged{false};
    std::atomic<int32_t> dongleID{0};  // 24-bit
    std::atomic<int32_t> fwVersion{0}; // 16-bit
    std::atomic<int32_t> dongleMode{DongleModeIdle};
    std::atomic<int32_t> outputConfigBusyRemote{0}; // 0: no SET_OUTPUT_CONFIG outstanding
    std::map<int32_t, std::unique_ptr<RemoteStatus>> remotes;
    std::map<int32_t, std::unique_ptr<RemotePacketConfig>> packetConfigs;
    std::map<int32_t, std::unique_ptr<RemoteOutputConfig>> outputConfigs;

    // True for the two remote slots the dongle serves (1 and 2).
    static bool isValidRemote(int remote);

    // The entry of remote 1 or 2; null for any other number. Never inserts.
    RemoteStatus* remoteStatus(int remote) const;
    RemotePacketConfig* packetConfig(int remote) const;
    RemoteOutputConfig* outputConfig(int remote) const;

    // The dongle is gone: not plugged, identity and versions 0, Idle; both remotes' status
    // fields 0; configured packet layouts cleared (an unconfigured one keeps its fixed
    // configuration number); output settings emptied; no output setting outstanding.
    void reset();
};
