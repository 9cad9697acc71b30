// Shared pieces of the controller tests: a listener that records every report, frame
// builders and a private work-file folder.
#pragma once

#include "device/base/IKorvexListener.h"
#include "device/protocol/Packet.h"
#include "device/protocol/PacketQueue.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Reply {
    int command, first, second;
    bool operator==(const Reply&) const = default;
};

class RecordingListener : public IKorvexListener {
public:
    void log(std::string line) override { add(logs, std::move(line)); }
    bool error(int code, std::string detail) override {
        std::lock_guard lock(mutex);
        errors.push_back({code, std::move(detail)});
        return false;
    }
    void warning(int code, std::string detail) override {
        std::lock_guard lock(mutex);
        warnings.push_back({code, std::move(detail)});
    }
    void donglePluggedIn() override { add(events, "donglePluggedIn"); }
    void dongleNotPluggedIn() override { add(events, "dongleNotPluggedIn"); }
    void replyReceived(int command, int first, int second) override {
        std::lock_guard lock(mutex);
        replies.push_back({command, first, second});
    }
    void hardwareStateChanged() override { add(events, "hardwareStateChanged"); }
    void acquisitionStackChanged() override { add(events, "acquisitionStackChanged"); }
    void findRemoteResult(int remoteID) override {
        add(events, "findRemoteResult " + std::to_string(remoteID));
    }
    void sensorRecalibrated(int remote, int sensorType) override {
        add(events, "sensorRecalibrated " + std::to_string(remote) + " " + std::to_string(sensorType));
    }
    void sendEvent(std::string name, std::string args) override { add(events, name); }

    bool hasLog(const std::string& text) {
        std::lock_guard lock(mutex);
        return std::find(logs.begin(), logs.end(), text) != logs.end();
    }
    bool hasLogContaining(const std::string& text) {
        std::lock_guard lock(mutex);
        return std::any_of(logs.begin(), logs.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
    int count(const std::string& event) {
        std::lock_guard lock(mutex);
        return int(std::count(events.begin(), events.end(), event));
    }
    std::vector<int> errorCodes() {
        std::lock_guard lock(mutex);
        std::vector<int> codes;
        for (auto& e : errors) codes.push_back(e.first);
        return codes;
    }

    std::mutex mutex;
    std::vector<std::string> logs, events;
    std::vector<std::pair<int, std::string>> errors, warnings;
    std::vector<Reply> replies;

private:
    void add(std::vector<std::string>& list, std::string text) {
        std::lock_guard lock(mutex);
        list.push_back(std::move(text));
    }
};

inline std::vector<uint8_t> frame(uint8_t command, std::vector<uint8_t> payload) {
    return buildFrame(command, payload);
}

// Every frame queued so far, as byte vectors, oldest first; the queue is left empty.
inline std::vector<std::vector<uint8_t>> drained(PacketQueue* queue) {
    std::vector<std::vector<uint8_t>> frames;
    for (auto& packet : queue->drain()) frames.push_back(packet->vector());
    return frames;
}

// Polls `ready` every 2 ms until it holds or `timeout` passes.
inline bool eventually(std::chrono::milliseconds timeout, const std::function<bool()>& ready) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A private documents folder for one test, removed afterwards.
class TemporaryDocuments {
public:
    TemporaryDocuments() {
        std::string pattern = (std::filesystem::temp_directory_path() / "korvex-hw-XXXXXX").string();
        path = mkdtemp(pattern.data());
        setenv("KORVEX_DOCUMENTS_DIR", path.c_str(), 1);
    }
    ~TemporaryDocuments() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};
