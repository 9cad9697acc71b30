// Listeners for tests: a base that ignores every report (a test overrides only what it
// records), and one that records everything.
#pragma once

#include "device/base/IKorvexListener.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class ListenerBase : public IKorvexListener {
public:
    void log(std::string) override {}
    bool error(int, std::string) override { return false; }
    void warning(int, std::string) override {}
    void donglePluggedIn() override {}
    void dongleNotPluggedIn() override {}
    void replyReceived(int, int, int) override {}
    void hardwareStateChanged() override {}
    void acquisitionStackChanged() override {}
    void findRemoteResult(int) override {}
    void sensorRecalibrated(int, int) override {}
    void sendEvent(std::string, std::string) override {}
};

struct Reply {
    int command, first, second;
    bool operator==(const Reply&) const = default;
};

// Records log lines, errors, warnings and replies, and every other report as a line in
// `events` ("donglePluggedIn", "findRemoteResult 7", ...), plug-ins and losses with their
// times. Thread-safe; the lists are public for tests that read them under `mutex`.
class RecordingListener : public ListenerBase {
public:
    using Clock = std::chrono::steady_clock;

    void log(std::string line) override;
    bool error(int code, std::string detail) override;
    void warning(int code, std::string detail) override;
    void donglePluggedIn() override;
    void dongleNotPluggedIn() override;
    void replyReceived(int command, int first, int second) override;
    void hardwareStateChanged() override { addEvent("hardwareStateChanged"); }
    void acquisitionStackChanged() override { addEvent("acquisitionStackChanged"); }
    void findRemoteResult(int remoteID) override { addEvent("findRemoteResult " + std::to_string(remoteID)); }
    void sensorRecalibrated(int remote, int sensorType) override {
        addEvent("sensorRecalibrated " + std::to_string(remote) + " " + std::to_string(sensorType));
    }
    void sendEvent(std::string name, std::string) override { addEvent(std::move(name)); }

    std::vector<std::string> logLines() const;
    bool hasLog(const std::string& line) const;
    bool hasLogContaining(const std::string& text) const;
    // How many times `event` was recorded.
    int count(const std::string& event) const;
    std::vector<int> errorCodes() const;
    int plugCount() const { return count("donglePluggedIn"); }
    int unplugCount() const { return count("dongleNotPluggedIn"); }
    Clock::time_point lastPlug() const;
    Clock::time_point lastUnplug() const;
    // Forgets everything recorded so far.
    void reset();

    // Waits until `ready` holds (checked whenever something is recorded, and every 10 ms).
    bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& ready);

    // Called on the reporting thread after a plug-in is recorded (the controller queues its
    // follow-up commands there).
    std::function<void()> onPlug;

    mutable std::mutex mutex;
    std::vector<std::string> logs, events;
    std::vector<std::pair<int, std::string>> errors, warnings;
    std::vector<Reply> replies;

private:
    void addEvent(std::string event);

    std::condition_variable changed;
    Clock::time_point pluggedAt;
    Clock::time_point unpluggedAt;
};
