#include "host/shell/EventLoop.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

EventLoop::EventLoop() : loopThread(std::this_thread::get_id()) {
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
        throw std::runtime_error("EventLoop: no eventfd");
}

EventLoop::~EventLoop() {
    if (wakeFd >= 0)
        ::close(wakeFd);
}

bool EventLoop::post(Task task) {
    {
        std::lock_guard lock(postedLock);
        if (stopped)
            return false;
        posted.push_back(std::move(task));
    }
    wake();
    return true;
}

uint64_t EventLoop::runAfter(std::chrono::milliseconds delay, Task task) {
    uint64_t id = nextTimer++;
    timers.emplace(id, std::make_pair(Clock::now() + delay, std::move(task)));
    return id;
}

void EventLoop::cancel(uint64_t timer) { timers.erase(timer); }

void EventLoop::watch(int fd, Task onReadable) { watched[fd] = std::move(onReadable); }

void EventLoop::unwatch(int fd) { watched.erase(fd); }

void EventLoop::quit() {
    {
        std::lock_guard lock(postedLock);
        quitRequested = true;
    }
    wake();
}

void EventLoop::shutdown() {
    std::lock_guard lock(postedLock);
    stopped = true;
    posted.clear();
}

void EventLoop::wake() {
    uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can go wrong here.
    [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
}

void EventLoop::drainWake() {
    uint64_t count;
    while (::read(wakeFd, &count, sizeof count) > 0) {
    }
}

void EventLoop::runPosted() {
    std::deque<Task> batch;
    {
        std::lock_guard lock(postedLock);
        batch.swap(posted);
    }
    for (auto& task : batch) {
        task();
        std::lock_guard lock(postedLock);
        if (quitRequested)
            return; // the rest is dropped with the loop
    }
}

void EventLoop::runDueTimers() {
    auto now = Clock::now();
    std::vector<uint64_t> due;
    for (auto& [id, timer] : timers)
        if (timer.first <= now)
            due.push_back(id);
    for (uint64_t id : due) {
        auto it = timers.find(id);
        if (it == timers.end())
            continue; // cancelled by an earlier timer
        Task task = std::move(it->second.second);
        timers.erase(it);
        task();
    }
}

int EventLoop::pollTimeoutMs() const {
    if (timers.empty())
        return -1;
    auto next = Clock::time_point::max();
    for (auto& [id, timer] : timers)
        next = std::min(next, timer.first);
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms, 60'000));
}

void EventLoop::run() {
    loopThread = std::this_thread::get_id();
    while (true) {
        {
            std::lock_guard lock(postedLock);
            if (quitRequested)
                return;
        }
        std::vector<pollfd> fds;
        fds.push_back({wakeFd, POLLIN, 0});
        for (auto& [fd, handler] : watched)
            fds.push_back({fd, POLLIN, 0});
        int n = ::poll(fds.data(), fds.size(), pollTimeoutMs());
        if (n < 0 && errno != EINTR)
            throw std::runtime_error("EventLoop: poll failed");
        if (n > 0) {
            if (fds[0].revents) {
                drainWake();
                runPosted();
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents)
                    continue;
                auto it = watched.find(fds[i].fd);
                if (it == watched.end())
                    continue;              // unwatched by an earlier handler
                Task handler = it->second; // a copy: the handler may unwatch itself
                handler();
                std::lock_guard lock(postedLock);
                if (quitRequested)
                    return;
            }
        }
        runDueTimers();
    }
}
