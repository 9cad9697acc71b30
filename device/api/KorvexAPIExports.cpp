// The library's exported entry points.
#include "KorvexAPI.h"

IKorvexAPI::IKorvexAPI() = default;
IKorvexAPI::~IKorvexAPI() = default;

extern "C" {

IKorvexAPI* getConcreteIKorvexAPI(void (*callback)(const char*)) {
    (void)callback;
    return nullptr;
}

void releaseConcreteIKorvexAPI(IKorvexAPI* api) { (void)api; }

const char* korvexAPIVersion() { return KORVEX_VERSION; }
}
