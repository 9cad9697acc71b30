// Creates the API through the public header only, broadcasts an event, receives its script
// through the callback and releases the object. Exit code 0 on success.
#include "KorvexAPI.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> received;

void onScript(const char* script) { received.emplace_back(script); }

int failures = 0;

void expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

} // namespace

int main() {
    expect(korvexAPIVersion() != nullptr && std::strlen(korvexAPIVersion()) > 0, "version text");

    IKorvexAPI* api = getConcreteIKorvexAPI(onScript);
    expect(api != nullptr, "factory returns an object");
    if (!api)
        return 1;

    expect(!api->isDongleConnected(), "no dongle before start");
    expect(!api->isRemoteConnected(1), "remote 1 not connected before start");

    received.clear(); // construction logs a few lines
    api->broadcast("clientHello", "{ from: 'client' }");
    api->broadcast("plain", nullptr);
    expect(received.size() == 2, "two scripts delivered");
    if (received.size() == 2) {
        expect(received[0] == "KorvexEventHandler.sendEvent({ name: 'clientHello', args: { from: 'client' } })",
               "broadcast with args");
        expect(received[1] == "KorvexEventHandler.sendEvent({ name: 'plain' })", "broadcast without args");
    }

    bufferArray empty;
    api->freeBufferArray(&empty);
    expect(empty.data == nullptr && empty.size == 0, "freeing an empty buffer");

    releaseConcreteIKorvexAPI(api);
    releaseConcreteIKorvexAPI(nullptr);

    if (failures == 0)
        std::printf("header-only client: ok\n");
    return failures == 0 ? 0 : 1;
}
