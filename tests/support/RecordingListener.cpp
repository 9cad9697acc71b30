#include "tests/support/RecordingListener.h"

#include <algorithm>

void RecordingListener::log(std::string line) {
    {
        std::lock_guard lock(mutex);
        logs.push_back(std::move(line));
    }
    changed.notify_all();
}

bool RecordingListener::error(int code, std::string detail) {
    {
        std::lock_guard lock(mutex);
        errors.emplace_back(code, std::move(detail));
    }
    changed.notify_all();
    return false;
}

void RecordingListener::warning(int code, std::string detail) {
    {
        std::lock_guard lock(mutex);
        warnings.emplace_back(code, std::move(detail));
    }
    changed.notify_all();
}

void RecordingListener::donglePluggedIn() {
    {
        std::lock_guard lock(mutex);
        events.push_back("donglePluggedIn");
        pluggedAt = Clock::now();
    }
    changed.notify_all();
    if (onPlug)
        onPlug();
}

void RecordingListener::dongleNotPluggedIn() {
    {
        std::lock_guard lock(mutex);
        events.push_back("dongleNotPluggedIn");
        unpluggedAt = Clock::now();
    }
    changed.notify_all();
}

void RecordingListener::replyReceived(int command, int first, int second) {
    {
        std::lock_guard lock(mutex);
        replies.push_back({command, first, second});
    }
    changed.notify_all();
}

void RecordingListener::addEvent(std::string event) {
    {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    changed.notify_all();
}

std::vector<std::string> RecordingListener::logLines() const {
    std::lock_guard lock(mutex);
    return logs;
}

bool RecordingListener::hasLog(const std::string& line) const {
    std::lock_guard lock(mutex);
    return std::find(logs.begin(), logs.end(), line) != logs.end();
}

bool RecordingListener::hasLogContaining(const std::string& text) const {
    std::lock_guard lock(mutex);
    return std::any_of(logs.begin(), logs.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

int RecordingListener::count(const std::string& event) const {
    std::lock_guard lock(mutex);
    return int(std::count(events.begin(), events.end(), event));
}

std::vector<int> RecordingListener::errorCodes() const {
    std::lock_guard lock(mutex);
    std::vector<int> codes;
    for (const auto& e : errors)
        codes.push_back(e.first);
    return codes;
}

RecordingListener::Clock::time_point RecordingListener::lastPlug() const {
    std::lock_guard lock(mutex);
    return pluggedAt;
}

RecordingListener::Clock::time_point RecordingListener::lastUnplug() const {
    std::lock_guard lock(mutex);
    return unpluggedAt;
}

void RecordingListener::reset() {
    std::lock_guard lock(mutex);
    logs.clear();
    events.clear();
    errors.clear();
    warnings.clear();
    replies.clear();
}

bool RecordingListener::waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& ready) {
    auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex);
    while (true) {
        lock.unlock();
        if (ready())
            return true;
        lock.lock();
        if (Clock::now() >= deadline)
            return false;
        changed.wait_for(lock, std::chrono::milliseconds(10));
    }
}
