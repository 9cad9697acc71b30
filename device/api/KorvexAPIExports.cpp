// The library's exported entry points.
#include "KorvexAPI.h"

#include "device/api/EventDispatch.h"
#include "device/api/KorvexAPIObject.h"
#include "device/api/KorvexListener.h"

#include <exception>
#include <mutex>
#include <set>
#include <string>

IKorvexAPI::IKorvexAPI() = default;
IKorvexAPI::~IKorvexAPI() = default;

namespace {

// The objects handed out by the factory and not yet released. Release accepts only these,
// so that releasing twice, or releasing a pointer the factory never made, does nothing.
std::mutex liveObjectsLock;
// Kept by their interface address: a released (or foreign) pointer is looked up without
// being cast, since casting a pointer to an object that no longer exists reads its freed
// memory.
std::set<IKorvexAPI*>& liveObjects() {
    static std::set<IKorvexAPI*> objects;
    return objects;
}

} // namespace

extern "C" {

IKorvexAPI* getConcreteIKorvexAPI(void (*callback)(const char*)) {
    // Each call makes its own listener and object: no singleton, nothing started.
    auto* listener = new KorvexListener(callback);
    KorvexAPI* api = nullptr;
    try {
        api = new KorvexAPI(listener);
    } catch (const std::exception& failure) {
        listener->log(std::string("getConcreteIKorvexAPI - Cannot create the API object: ") +
                      failure.what());
        delete listener;
        return nullptr;
    } catch (...) {
        listener->log("getConcreteIKorvexAPI - Cannot create the API object");
        delete listener;
        return nullptr;
    }
    std::lock_guard guard(liveObjectsLock);
    liveObjects().insert(api);
    return api;
}

void releaseConcreteIKorvexAPI(IKorvexAPI* api) {
    {
        std::lock_guard guard(liveObjectsLock);
        if (!api || liveObjects().erase(api) == 0)
            return;
    }
    auto* object = static_cast<KorvexAPI*>(api);
    // The object stops its workers before anything is released, so nothing reports to the
    // listener once the object is gone and the listener can follow it.
    IKorvexListener* listener = object->dispatch ? object->dispatch->listener : nullptr;
    delete object;
    delete listener;
}

const char* korvexAPIVersion() { return KORVEX_VERSION; }
}
