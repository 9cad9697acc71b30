#include "host/shell/DeviceEvents.h"

#include <mutex>

namespace {
std::mutex targetLock;
std::function<void(std::string)> target;
} // namespace

void OnDeviceScript(const char* script) {
    if (!script)
        return;
    std::lock_guard lock(targetLock);
    if (target)
        target(std::string(script));
}

void SetDeviceScriptTarget(std::function<void(std::string)> newTarget) {
    std::lock_guard lock(targetLock);
    target = std::move(newTarget);
}

void ClearDeviceScriptTarget() {
    std::lock_guard lock(targetLock);
    target = nullptr;
}
