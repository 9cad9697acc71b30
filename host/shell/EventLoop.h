// The host's one loop thread: watches file descriptors, runs timers, and runs work posted
// from any thread (the device library's threads post their events here). Everything that
// talks to the browser or calls the device library runs on this loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class EventLoop {
public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Any thread. Tasks run in the order posted. Returns false once the loop has stopped for
    // good (the task is dropped).
    bool post(Task task);

    // Loop thread only. The timer runs once, after at least `delay`.
    uint64_t runAfter(std::chrono::milliseconds delay, Task task);
    void cancel(uint64_t timer);

    // Loop thread only. The handler runs whenever `fd` is readable or has hung up.
    void watch(int fd, Task onReadable);
    void unwatch(int fd);

    // Runs until quit. Returns at once if quit was already called.
    void run();
    // Any thread; also usable from a signal handler's helper pipe path (it only writes).
    void quit();
    // Makes later posts fail; tasks already posted are dropped.
    void shutdown();

    bool isLoopThread() const { return std::this_thread::get_id() == loopThread; }

private:
    void wake();
    void drainWake();
    void runPosted();
    void runDueTimers();
    int pollTimeoutMs() const;

    int wakeFd = -1;
    std::mutex postedLock;
    std::deque<Task> posted;
    bool stopped = false;       // guarded by postedLock
    bool quitRequested = false; // guarded by postedLock
    std::map<uint64_t, std::pair<Clock::time_point, Task>> timers;
    uint64_t nextTimer = 1;
    std::map<int, Task> watched;
    std::thread::id loopThread;
};
