#include "host/bridge/DeviceMessageDelegate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using Type = ListValue::Type;

bool ints(const ListValue& args, std::initializer_list<size_t> indices) {
    return std::all_of(indices.begin(), indices.end(),
                       [&](size_t i) { return args.typeAt(i) == Type::Int; });
}

// The request names, in the order they are compared.
constexpr std::array<std::string_view, 19> kRequestNames = {
    "korvex_getSensorData1",
    "korvex_getSensorData2",
    "korvex_getHardwareState",
    "korvex_getAcquisitionStack",
    "korvex_sendCommand",
    "korvex_remotePowerOff",
    "korvex_pairRemote",
    "korvex_setFixedConfig",
    "korvex_setOutputConfig",
    "korvex_resetSensorOffset",
    "korvex_recalibrateSensor",
    "korvex_exportData",
    "korvex_startData",
    "korvex_stopData",
    "korvex_stackAcquisition",
    "korvex_deleteAcquisition",
    "korvex_acquisitionManagement",
    "korvex_calibrationManagement",
    "korvex_broadcast",
};

// A document whose only field is the boolean "success".
void successDocument(bson_t* doc, bool success) {
    bson_destroy(doc);
    bson_init(doc);
    bson_append_bool(doc, "success", -1, success);
}

void emptyDocument(bson_t* doc) {
    bson_destroy(doc);
    bson_init(doc);
}

} // namespace

std::string DocumentBytes(const bson_t* document) {
    return std::string(reinterpret_cast<const char*>(bson_get_data(document)), document->len);
}

std::optional<std::string> BufferBytes(const bufferArray& buffer) {
    if (!buffer.data)
        return std::nullopt;
    std::string bytes(size_t(buffer.size) * 4, '\0');
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(bytes.data(), buffer.data, bytes.size());
    } else {
        for (uint32_t i = 0; i < buffer.size; ++i) {
            uint32_t v;
            std::memcpy(&v, &buffer.data[i], 4);
            for (int k = 0; k < 4; ++k)
                bytes[size_t(i) * 4 + size_t(k)] = char((v >> (8 * k)) & 0xFF);
        }
    }
    return bytes;
}

bool DeviceMessageDelegate::isDeviceRequest(const std::string& name) {
    return std::find(kRequestNames.begin(), kRequestNames.end(), name) != kRequestNames.end();
}

bool DeviceMessageDelegate::onMessage(const std::string& name, const ListValue& args,
                                      const ReplySink& reply) {
    if (!isDeviceRequest(name))
        return false;
    if (!api)
        return true;

    // Every document starts as a valid empty one, so that destroying it is always safe, even
    // when the library operation failed before initialising it.
    bson_t doc = BSON_INITIALIZER;
    auto sendDocument = [&] {
        reply(name, DocumentBytes(&doc), std::nullopt);
        bson_destroy(&doc);
    };

    // The two sensor-data requests: the only ones guarded, and the only ones with a buffer.
    auto sensorRequest = [&](auto&& call) {
        bufferArray buffer{};
        try {
            call(buffer);
        } catch (...) {
            std::fputs(("\n********* Error: " + name + " ***********\n\n\n").c_str(), stdout);
            std::fflush(stdout);
            emptyDocument(&doc);
        }
        reply(name, DocumentBytes(&doc), BufferBytes(buffer));
        bson_destroy(&doc);
        if (buffer.data)
            api->freeBufferArray(&buffer);
    };

    size_t n = args.size();
    if (name == "korvex_getSensorData1") {
        if (n >= 5 && ints(args, {0, 1}))
            sensorRequest([&](bufferArray& buf) {
                api->getSensorData(&doc, &buf, args.getInt(0), args.getInt(1), args.getDouble(2),
                                   args.getDouble(3), args.getBool(4), args.getInt(5),
                                   args.getInt(6));
            });
    } else if (name == "korvex_getSensorData2") {
        if (n >= 5 && ints(args, {0, 1, 2}))
            sensorRequest([&](bufferArray& buf) {
                api->getSensorData2(&doc, &buf, args.getInt(0), args.getInt(1), args.getInt(2),
                                    args.getDouble(3), args.getDouble(4));
            });
    } else if (name == "korvex_getHardwareState") {
        api->getHardwareState(&doc);
        sendDocument();
    } else if (name == "korvex_getAcquisitionStack") {
        api->getAcquisitionStack(&doc);
        sendDocument();
    } else if (name == "korvex_sendCommand") {
        if (n >= 1 && ints(args, {0}))
            api->sendCommand(args.getInt(0));
    } else if (name == "korvex_remotePowerOff") {
        if (n >= 1 && ints(args, {0}))
            api->remotePowerDown(args.getInt(0));
    } else if (name == "korvex_pairRemote") {
        if (ints(args, {0, 1, 2}))
            api->pairRemote(args.getInt(0), args.getInt(1), args.getInt(2));
    } else if (name == "korvex_setFixedConfig") {
        if (n >= 2 && ints(args, {0, 1})) {
            bool r = api->setFixedConfig(args.getInt(0), args.getInt(1));
            successDocument(&doc, r);
            sendDocument();
        }
    } else if (name == "korvex_setOutputConfig") {
        if (n >= 4 && ints(args, {0, 1, 2, 3}))
            api->setOutputConfig(args.getInt(0), args.getInt(1), args.getInt(2), args.getInt(3));
    } else if (name == "korvex_resetSensorOffset") {
        if (n >= 4 && ints(args, {0, 1})) {
            api->resetSensorOffset(args.getInt(0), args.getInt(1), args.getDouble(2),
                                   args.getDouble(3));
            emptyDocument(&doc);
            sendDocument();
        }
    } else if (name == "korvex_recalibrateSensor") {
        if (n >= 2 && ints(args, {0, 1})) {
            api->recalibrateSensor(args.getInt(0), args.getInt(1));
            emptyDocument(&doc);
            sendDocument();
        }
    } else if (name == "korvex_exportData") {
        if (n >= 3 && ints(args, {0, 1}) && args.typeAt(2) == Type::String) {
            bson_init(&doc);
            std::string fileName = args.getString(2);
            api->exportData(&doc, args.getInt(0), args.getInt(1), fileName.c_str());
            sendDocument();
        }
    } else if (name == "korvex_startData") {
        api->startDataAcquisition();
    } else if (name == "korvex_stopData") {
        api->stopDataAcquisition();
    } else if (name == "korvex_stackAcquisition") {
        api->stackAcquisition();
    } else if (name == "korvex_deleteAcquisition") {
        bool r = api->deleteAcquisition();
        successDocument(&doc, r);
        sendDocument();
    } else if (name == "korvex_acquisitionManagement") {
        if (n >= 1 && ints(args, {0})) {
            std::string id =
                n >= 2 && args.typeAt(1) == Type::String ? args.getString(1) : std::string();
            api->acquisitionManagement(&doc, args.getInt(0), id.c_str());
            sendDocument();
        }
    } else if (name == "korvex_calibrationManagement") {
        if (n >= 1 && ints(args, {0})) {
            // The page sends its input document as a list of byte values. Bytes that are not a
            // well-formed document are not handed over as one: the library gets an empty
            // input and reports that it has no identity to work on.
            std::vector<uint8_t> bytes;
            bool haveInput = n == 2 && args.typeAt(1) == Type::List;
            if (haveInput) {
                const ListValue& list = args.getList(1);
                bytes.resize(list.size());
                for (size_t i = 0; i < list.size(); ++i)
                    bytes[i] = uint8_t(args.getList(1).getInt(i) & 0xFF);
            }
            bson_destroy(&doc);
            bool valid = haveInput && bytes.size() >= 5 &&
                         bson_init_static(&doc, bytes.data(), bytes.size()) &&
                         bson_validate(&doc, BSON_VALIDATE_NONE, nullptr);
            if (!valid)
                bson_init(&doc);
            api->calibrationManagement(&doc, args.getInt(0));
            sendDocument();
        }
    } else if (name == "korvex_broadcast") {
        if (n == 2 && args.typeAt(0) == Type::String && args.typeAt(1) == Type::String) {
            api->broadcast(args.getString(0).c_str(), args.getString(1).c_str());
        } else if (n == 1 && args.typeAt(0) == Type::String) {
            api->broadcast(args.getString(0).c_str(), nullptr);
        }
    }
    return true;
}
