// One API object for the length of a command, used only through the public interface,
// with the waits a command-line host needs: for the dongle, for a remote's radio link, for
// a configuration to be confirmed, for streaming to start and stop. Every wait is bounded
// and can be cut short by the caller's cancellation flag.
#pragma once

#include "KorvexAPI.h"
#include "Reports.h"
#include "ScriptEvents.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

class KitSession {
public:
    using Clock = std::chrono::steady_clock;
    using Cancelled = std::function<bool()>;

    // Creates the API object; its events and log lines go to `log`. Only one session may
    // exist at a time (the library's callback is a plain function).
    explicit KitSession(EventLog& log);
    // Releases the API object (its workers stop, the port closes, the raw file is completed).
    ~KitSession();
    KitSession(const KitSession&) = delete;
    KitSession& operator=(const KitSession&) = delete;

    IKorvexAPI& api() { return *korvex; }
    EventLog& events() { return log; }

    // Starts the device side (port discovery and the worker threads). Commands that only
    // read stored files never call it.
    void startDevice();
    bool deviceStarted() const { return started; }

    HardwareReport hardware();
    AcquisitionReport acquisition();

    bool waitForDongle(std::chrono::milliseconds timeout, const Cancelled& cancelled);
    // The remote's radio link is up and the dongle is in Connected (or Data) mode.
    bool waitForRemote(int remote, std::chrono::milliseconds timeout, const Cancelled& cancelled);
    // The remote reports `config` as its configuration and its packet layout is known.
    bool waitForConfigured(int remote, int config, std::chrono::milliseconds timeout,
                           const Cancelled& cancelled);
    // Waits until `done` holds, polling every 20 ms.
    static bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                          const Cancelled& cancelled);

    // getSensorData over the whole recording (converted values, every axis, no resampling),
    // or with raw values over a window.
    SensorSeries sensorData(int remote, int sensorType, double start = 0, double end = -1);
    SensorSeries rawSensorData(int remote, int sensorType, double start, double end);
    // Samples so far and the sample time of the last one, from getLastSample.
    bool lastSample(int remote, int sensorType, double& time, int& rate);

    struct ExportResult {
        bool success = false;
        std::string path;
        std::string error;
    };
    ExportResult exportSensor(int remote, int sensorType, const std::string& fileName);

private:
    EventLog& log;
    IKorvexAPI* korvex = nullptr;
    bool started = false;
};
