// Shared helpers of the serial link tests: a listener that records what it is told, and
// bounded waits.
#pragma once

#include "device/base/IKorvexListener.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Records log lines and plug events with their times; every operation is thread-safe.
class RecordingListener : public IKorvexListener {
public:
    using Clock = std::chrono::steady_clock;

    void log(std::string line) override
    {
        {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        }
        changed.notify_all();
    }
    bool error(int, std::string) override { return false; }
    void warning(int, std::string) override {}
    void donglePluggedIn() override
    {
        {
            std::lock_guard lock(mutex);
            ++plugs;
            pluggedAt = Clock::now();
        }
        changed.notify_all();
        if (onPlug)
            onPlug();
    }
    void dongleNotPluggedIn() override
    {
        {
            std::lock_guard lock(mutex);
            ++unplugs;
            unpluggedAt = Clock::now();
        }
        changed.notify_all();
    }
    void replyReceived(int, int, int) override {}
    void hardwareStateChanged() override {}
    void acquisitionStackChanged() override {}
    void findRemoteResult(int) override {}
    void sensorRecalibrated(int, int) override {}
    void sendEvent(std::string, std::string) override {}

    std::vector<std::string> logLines() const
    {
        std::lock_guard lock(mutex);
        return lines;
    }
    int plugCount() const
    {
        std::lock_guard lock(mutex);
        return plugs;
    }
    int unplugCount() const
    {
        std::lock_guard lock(mutex);
        return unplugs;
    }
    Clock::time_point lastPlug() const
    {
        std::lock_guard lock(mutex);
        return pluggedAt;
    }
    Clock::time_point lastUnplug() const
    {
        std::lock_guard lock(mutex);
        return unpluggedAt;
    }

    // Waits until `ready` holds (checked whenever something is recorded, and every 10 ms).
    bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& ready)
    {
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

    // Called on the I/O thread after a plug-in is recorded (the controller queues its
    // follow-up commands there).
    std::function<void()> onPlug;

private:
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    int plugs = 0;
    int unplugs = 0;
    Clock::time_point pluggedAt;
    Clock::time_point unpluggedAt;
};

// Polls `ready` every 5 ms until it holds or `timeout` passes.
inline bool eventually(std::chrono::milliseconds timeout, const std::function<bool()>& ready)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
