// Acquisition and AcquisitionStack: the recording that receives live data, and the ones
// the user has kept since the library started.
//
// Every acquisition gets a random version-4 identifier that names its files in the
// recordings folder (<id>.raw and <id>.bson). The stack is used by the host's thread (API
// operations) and by the parser thread (decoding, sensor lookups, the start time, the
// identifier for the raw file).
//
// Threads: the current acquisition and the remotes in it change only on the host's thread
// and only while holding the stack's structure lock (`structure()`); the parser thread holds
// the same lock while it decodes a frame or looks at the current acquisition's remotes, so
// it never sees a remote half added or removed, whatever the state of the dongle. Readers on
// the host's thread need no lock: nobody else changes the structure.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class IKorvexListener;
class HardwareState;
class CalibrationData;
class RemoteConfiguration;
class Sensor;

// How one remote took part in one run: the same fields the metadata keeps per remote
// slot. `fixedConfig` 0 means the remote did not stream in that run.
struct RunRemote {
    int32_t remoteID = 0;
    int32_t rfFwVersion = 0;
    int32_t sensorFwVersion = 0;
    int32_t fixedConfig = 0;
    std::map<int32_t, int32_t> sensorDataLen; // sensor type -> data bytes per frame
    // Calibration constants the remote reported, as received: sensor type -> words (the
    // barometer's A0, B1, B2, C12; the thermometer's readings at 85 and at 30 degrees).
    std::map<int32_t, std::vector<int32_t>> constants;

    bool sameLayout(const RunRemote& other) const {
        return fixedConfig == other.fixedConfig && sensorDataLen == other.sensorDataLen;
    }
};

// One start of streaming into an acquisition: where its frames begin in the raw file and
// the layout they were recorded with. Runs are kept in the order they were started.
struct RunRecord {
    int64_t rawOffset = 0; // bytes of the raw file before the run's first frame
    std::string startDate; // ISO basic local time at which the run was started
    RunRemote remotes[2];  // remote 1, remote 2

    const RunRemote& remote(int number) const { return remotes[number == 2 ? 1 : 0]; }
    RunRemote& remote(int number) { return remotes[number == 2 ? 1 : 0]; }
};

class Acquisition {
public:
    // An acquisition with no identifier yet, dates not-a-date-time, no remotes.
    // `hardwareState` and `calibrationStore` are handed to every RemoteConfiguration it
    // creates; neither is owned, `calibrationStore` may be null.
    Acquisition(HardwareState* hardwareState, CalibrationData* calibrationStore);
    ~Acquisition();

    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    // 36 characters, lower-case canonical form; names the acquisition's files.
    std::string acquisitionID;
    // Free text kept with the acquisition; created empty, nothing in the library sets it.
    std::string description;
    // Local time at creation, microsecond resolution.
    boost::posix_time::ptime createdDate;
    // Set when the acquisition is rebuilt from its files.
    bool fromDB = false;
    // The dongle's identity when the last run started (copied from the hardware state).
    int32_t dongleID = 0;
    int32_t fwVersion = 0;
    // Remote number -> its configuration and sensors, ascending remote number.
    std::map<int32_t, std::unique_ptr<RemoteConfiguration>> remoteConfigurations;

    HardwareState* hardwareState;
    CalibrationData* calibrationStore;

    // Every run recorded into this acquisition, oldest first (read back from the metadata
    // on reload). Empty until the first start.
    std::vector<RunRecord> runs;
    // The layout the runs recorded for `remote`: the latest run it streamed in; null when
    // it streamed in none.
    const RunRemote* recordedLayout(int remote) const;
    // Holds recorded data: started live at least once, or rebuilt from its files.
    bool hasRecording() const {
        return fromDB || !runs.empty() || !lastStartDate().is_not_a_date_time();
    }

    // When the dongle last acknowledged a start of streaming (set on the parser thread,
    // read on the host's thread); not-a-date-time when never started.
    boost::posix_time::ptime lastStartDate() const;
    void setLastStartDate(boost::posix_time::ptime date);

    // Has never been started and holds no remote: dropping it loses nothing.
    bool isEmpty() const;

    // The configuration of one remote, or null.
    RemoteConfiguration* remoteConfiguration(int remote) const;
    // The sensor of one remote, or null.
    Sensor* getSensor(int remote, int sensorType) const;

private:
    mutable std::mutex dateLock;
    boost::posix_time::ptime startDate;
};

class AcquisitionStack {
public:
    // `listener` (log lines), `hardwareState` and `calibrationStore` are not owned;
    // `calibrationStore` may be null. Sets up the first, empty current acquisition.
    AcquisitionStack(IKorvexListener* listener, HardwareState* hardwareState,
                     CalibrationData* calibrationStore);
    ~AcquisitionStack();

    AcquisitionStack(const AcquisitionStack&) = delete;
    AcquisitionStack& operator=(const AcquisitionStack&) = delete;

    // Replaces the current acquisition by a new one with a fresh identifier. Refuses
    // (false) while the current acquisition holds a remote: a recording is never dropped
    // silently, it is stacked or discarded first. An empty current acquisition is
    // replaced.
    bool setUpNewAcquisition();

    // Moves the current acquisition to the end of the stack; false when there is none.
    // The caller then calls setUpNewAcquisition().
    bool stackCurrent();

    // Deletes the current acquisition with its configurations and sensors. False, and
    // nothing changes, when it is empty (never started, no remote): nothing to discard.
    // The caller then calls setUpNewAcquisition().
    bool discardCurrent();

    // Deletes the current acquisition and every stacked one (library stop). Afterwards
    // there is no current acquisition until setUpNewAcquisition().
    void clear();

    // Adds a remote with its fixed configuration to the current acquisition. False when
    // the remote is already there (the existing configuration stays), when the remote
    // number is not 1 or 2, or when there is no current acquisition; true without change
    // for configuration 0. A `remoteID` of zero or less is taken from the hardware state.
    bool addRemote(int remote, int fixedConfig, int remoteID);
    // Removes the remote from the current acquisition; nothing happens when absent.
    void removeRemote(int remote);

    // Lookups in the current acquisition only.
    bool hasRemote(int remote) const;
    bool hasSensor(int remote, int sensorType) const;
    Sensor* getSensor(int remote, int sensorType) const;

    // The current acquisition; null only between stackCurrent()/discardCurrent()/clear()
    // and the next setUpNewAcquisition().
    Acquisition* getCurrent() const;
    // The current identifier (a copy, safe from any thread); empty when there is none.
    std::string currentAcquisitionID() const;
    // The stacked acquisitions, oldest first.
    const std::list<std::unique_ptr<Acquisition>>& getStacked() const { return stacked; }

    // A fresh version-4 identifier: 36 lower-case characters, 8-4-4-4-12.
    static std::string newIdentifier();

    // The structure lock (see the top of this file). Recursive: the host's thread replays a
    // reload through the same decoder the parser thread uses.
    std::recursive_mutex& structure() const { return structureLock; }

private:
    mutable std::recursive_mutex structureLock;
    mutable std::mutex currentLock; // guards the `current` pointer, not the acquisition
    std::unique_ptr<Acquisition> current;
    std::list<std::unique_ptr<Acquisition>> stacked;
    IKorvexListener* listener;
    HardwareState* hardwareState;
    CalibrationData* calibrationStore;
};
