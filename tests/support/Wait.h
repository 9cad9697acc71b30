// Bounded waits for what another thread does.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Polls `ready` every `every` until it holds or `timeout` passes; true when it held.
inline bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& ready,
                    std::chrono::milliseconds every = std::chrono::milliseconds(2)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}
