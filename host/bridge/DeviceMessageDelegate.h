// The host's end of the page's device requests: recognises the request names, checks their
// arguments, calls the device library, and replies with the result document's bytes and, for
// the sensor-data requests, the bytes of the number buffer.
#pragma once

#include "KorvexAPI.h"
#include "host/bridge/ListValue.h"

#include <functional>
#include <optional>
#include <string>

class DeviceMessageDelegate {
public:
    // A reply to the page: the request name, the BSON document's bytes, and the buffer's
    // bytes (little-endian floats) when there is a buffer with data.
    using ReplySink = std::function<void(const std::string& name, const std::string& document,
                                         const std::optional<std::string>& buffer)>;

    // `api` may be null: requests are then recognised but do nothing.
    explicit DeviceMessageDelegate(IKorvexAPI* api) : api(api) {}

    // True when `name` is a device request, whether or not its arguments passed the check
    // (a failed check does nothing and sends no reply).
    bool onMessage(const std::string& name, const ListValue& args, const ReplySink& reply);

    static bool isDeviceRequest(const std::string& name);

private:
    IKorvexAPI* api;
};

// The bytes of a document as the page decodes them.
std::string DocumentBytes(const bson_t* document);
// The buffer's numbers as little-endian single-precision bytes, or nullopt without data.
std::optional<std::string> BufferBytes(const bufferArray& buffer);
