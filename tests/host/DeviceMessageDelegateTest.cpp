// Device request dispatch over typed lists, with a stand-in device library.
#include "host/bridge/DeviceMessageDelegate.h"

#include "FakeKorvexAPI.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace {

ListValue list(const char* json) {
    ListValue out;
    EXPECT_TRUE(ParseTypedList(nlohmann::json::parse(json), out)) << json;
    return out;
}

struct Reply {
    std::string name, document;
    std::optional<std::string> buffer;
};

// The library stand-in, with the document and buffer behaviour of the real operations.
class RecordingAPI : public FakeKorvexAPI {
public:
    explicit RecordingAPI(std::vector<std::string>& calls)
        : FakeKorvexAPI([&calls](const std::string& c) { calls.push_back(c); }), calls(calls) {}

    void getHardwareState(bson_t* result) override {
        calls.push_back("getHardwareState");
        bson_init(result);
        bson_append_int32(result, "dongleMode", -1, 8);
    }
    void getSensorData(bson_t* result, bufferArray* data, int remote, int sensorType, double start, double end,
                       bool raw, int axis, int rate) override {
        calls.push_back("getSensorData(" + std::to_string(remote) + "," + std::to_string(sensorType) + "," +
                        std::to_string(start) + "," + std::to_string(end) + "," + std::to_string(raw) + "," +
                        std::to_string(axis) + "," + std::to_string(rate) + ")");
        if (throwInSensorData)
            throw std::runtime_error("boom");
        bson_init(result);
        bson_append_int32(result, "count", -1, int(floats.size()));
        if (!floats.empty()) {
            data->data = new float[floats.size()];
            data->size = uint32_t(floats.size());
            std::copy(floats.begin(), floats.end(), data->data);
        }
    }
    void getSensorData2(bson_t* result, bufferArray*, int, int, int, double, double) override {
        calls.push_back("getSensorData2");
        bson_init(result);
        bson_append_int32(result, "half", -1, 1);
        throw std::runtime_error("after init");
    }
    void freeBufferArray(bufferArray* data) override {
        calls.push_back("freeBufferArray(" + std::to_string(data->size) + ")");
        delete[] data->data;
        data->data = nullptr;
    }
    void acquisitionManagement(bson_t* result, int command, const char* id) override {
        calls.push_back("acquisitionManagement(" + std::to_string(command) + ",'" + id + "')");
        bson_init(result);
    }
    void calibrationManagement(bson_t* result, int command) override {
        calls.push_back("calibrationManagement(" + std::to_string(command) + ")");
        input = std::string(reinterpret_cast<const char*>(bson_get_data(result)), result->len);
        bson_t out;
        bson_init(&out);
        bson_append_bool(&out, "success", -1, true);
        bson_destroy(result);
        bson_copy_to(&out, result);
        bson_destroy(&out);
    }
    void exportData(bson_t* result, int remote, int sensorType, const char* fileName) override {
        calls.push_back("exportData(" + std::to_string(remote) + "," + std::to_string(sensorType) + ",'" + fileName +
                        "')");
        bson_append_utf8(result, "file", -1, fileName, -1);
    }
    void broadcast(const char* name, const char* args) override {
        calls.push_back(std::string("broadcast(") + name + "," + (args ? args : "null") + ")");
    }
    void pairRemote(int r, int a, int id) override {
        calls.push_back("pairRemote(" + std::to_string(r) + "," + std::to_string(a) + "," + std::to_string(id) + ")");
    }

    std::vector<std::string>& calls;
    std::vector<float> floats;
    bool throwInSensorData = false;
    std::string input;
};

class DeviceDispatch : public ::testing::Test {
protected:
    bool send(const std::string& name, const char* args = "[]") {
        return delegate.onMessage(
            name, list(args), [this](const std::string& n, const std::string& d, const std::optional<std::string>& b) {
                replies.push_back({n, d, b});
            });
    }
    static std::string jsonOf(const std::string& bytes) {
        bson_t doc;
        EXPECT_TRUE(bson_init_static(&doc, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        char* text = bson_as_relaxed_extended_json(&doc, nullptr);
        std::string out = text;
        bson_free(text);
        return out;
    }
    std::vector<std::string> calls;
    RecordingAPI api{calls};
    DeviceMessageDelegate delegate{&api};
    std::vector<Reply> replies;
};

TEST_F(DeviceDispatch, SetFixedConfigRepliesWithSuccessOnlyWhenTheArgumentsPass) {
    EXPECT_TRUE(send("korvex_setFixedConfig", R"([["i",1],["i",2]])"));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].name, "korvex_setFixedConfig");
    EXPECT_EQ(jsonOf(replies[0].document), R"({ "success" : true })");
    EXPECT_FALSE(replies[0].buffer.has_value());

    api.setFixedConfigResult = false;
    send("korvex_setFixedConfig", R"([["i",1],["i",3]])");
    EXPECT_EQ(jsonOf(replies[1].document), R"({ "success" : false })");

    // A failed check: handled, but nothing called and no reply.
    EXPECT_TRUE(send("korvex_setFixedConfig", R"([["i",1]])"));
    EXPECT_TRUE(send("korvex_setFixedConfig", R"([["i",1],["d",2.5]])"));
    EXPECT_TRUE(send("korvex_setFixedConfig", R"([["s","1"],["i",2]])"));
    EXPECT_EQ(replies.size(), 2u);
    EXPECT_EQ(calls, (std::vector<std::string>{"setFixedConfig(1,2)", "setFixedConfig(1,3)"}));
}

TEST_F(DeviceDispatch, SensorDataWithFiveArgumentsReadsTheMissingOnesAsZeroAndAnEmptyBufferIsLeftOut) {
    api.floats = {1.0f, -2.5f};
    send("korvex_getSensorData1", R"([["i",1],["i",3],["i",0],["d",2.5],["b",true]])");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "getSensorData(1,3,0.000000,2.500000,1,0,0)");
    EXPECT_EQ(calls[1], "freeBufferArray(2)"); // after the reply was made
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_TRUE(replies[0].buffer.has_value());
    EXPECT_EQ(*replies[0].buffer, std::string("\x00\x00\x80\x3f\x00\x00\x20\xc0", 8)); // little-endian floats
    EXPECT_EQ(jsonOf(replies[0].document), R"({ "count" : 2 })");

    // Four arguments, or a non-integer remote: nothing.
    send("korvex_getSensorData1", R"([["i",1],["i",3],["i",0],["d",2.5]])");
    send("korvex_getSensorData1", R"([["d",1.5],["i",3],["i",0],["d",2.5],["b",true]])");
    EXPECT_EQ(replies.size(), 1u);

    // All seven, and an empty buffer: a reply with the document only.
    api.floats.clear();
    calls.clear();
    send("korvex_getSensorData1", R"([["i",2],["i",1],["i",0],["i",1],["b",false],["i",2],["i",50]])");
    EXPECT_EQ(calls, std::vector<std::string>{"getSensorData(2,1,0.000000,1.000000,0,2,50)"});
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_FALSE(replies[1].buffer.has_value());
}

TEST_F(DeviceDispatch, AThrowingSensorRequestRepliesWithAnEmptyDocumentAndSaysSo) {
    api.throwInSensorData = true;
    testing::internal::CaptureStdout();
    send("korvex_getSensorData1", R"([["i",1],["i",3],["i",0],["d",2.5],["b",true]])");
    send("korvex_getSensorData2", R"([["i",1],["i",3],["i",4],["d",0],["d",1]])");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\n********* Error: korvex_getSensorData1 ***********\n\n\n"
                   "\n********* Error: korvex_getSensorData2 ***********\n\n\n");
    ASSERT_EQ(replies.size(), 2u);
    for (const auto& r : replies) {
        EXPECT_EQ(r.document, std::string("\x05\x00\x00\x00\x00", 5));
        EXPECT_FALSE(r.buffer.has_value());
    }
}

TEST_F(DeviceDispatch, EachRowChecksItsArgumentsAndCallsItsOperation) {
    send("korvex_getHardwareState");
    send("korvex_sendCommand", R"([["i",20]])");
    send("korvex_sendCommand", "[]");
    send("korvex_remotePowerOff", R"([["i",2]])");
    send("korvex_pairRemote", R"([["i",1],["i",1],["i",70000]])");
    send("korvex_pairRemote", R"([["i",1],["i",1]])");
    send("korvex_setOutputConfig", R"([["i",1],["i",2],["i",3],["i",4]])");
    send("korvex_setOutputConfig", R"([["i",1],["i",2],["i",3],["s","4"]])");
    send("korvex_resetSensorOffset", R"([["i",1],["i",2],["d",0.5],["i",3]])");
    send("korvex_recalibrateSensor", R"([["i",1],["i",2]])");
    send("korvex_exportData", R"([["i",1],["i",2],["s","run.csv"]])");
    send("korvex_exportData", R"([["i",1],["i",2],["i",3]])");
    send("korvex_startData");
    send("korvex_stopData", R"([["i",1]])"); // extra arguments do not matter
    send("korvex_stackAcquisition");
    send("korvex_deleteAcquisition");
    send("korvex_acquisitionManagement", R"([["i",1]])");
    send("korvex_acquisitionManagement", R"([["i",2],["i",7]])");
    send("korvex_acquisitionManagement", R"([["i",2],["s","abc"]])");
    send("korvex_broadcast", R"([["s","a"],["s","b"]])");
    send("korvex_broadcast", R"([["s","a"]])");
    send("korvex_broadcast", R"([["s","a"],["s","b"],["s","c"]])");
    send("korvex_broadcast", R"([["s","a"],["i",1]])");
    std::vector<std::string> expected = {"getHardwareState",
                                         "sendCommand(20)",
                                         "remotePowerDown(2)",
                                         "pairRemote(1,1,70000)",
                                         "setOutputConfig",
                                         "resetSensorOffset",
                                         "recalibrateSensor",
                                         "exportData(1,2,'run.csv')",
                                         "startDataAcquisition",
                                         "stopDataAcquisition",
                                         "stackAcquisition",
                                         "deleteAcquisition",
                                         "acquisitionManagement(1,'')",
                                         "acquisitionManagement(2,'')",
                                         "acquisitionManagement(2,'abc')",
                                         "broadcast(a,b)",
                                         "broadcast(a,null)"};
    EXPECT_EQ(calls, expected);

    std::vector<std::string> replied;
    for (const auto& r : replies)
        replied.push_back(r.name);
    EXPECT_EQ(replied, (std::vector<std::string>{"korvex_getHardwareState", "korvex_resetSensorOffset",
                                                 "korvex_recalibrateSensor", "korvex_exportData",
                                                 "korvex_deleteAcquisition", "korvex_acquisitionManagement",
                                                 "korvex_acquisitionManagement", "korvex_acquisitionManagement"}));
    EXPECT_EQ(jsonOf(replies[0].document), R"({ "dongleMode" : 8 })");
    EXPECT_EQ(replies[1].document, std::string("\x05\x00\x00\x00\x00", 5));
    EXPECT_EQ(jsonOf(replies[3].document), R"({ "file" : "run.csv" })");
}

TEST_F(DeviceDispatch, CalibrationManagementPassesThePagesDocumentBytesUnchanged) {
    // {"remoteID": 5} as the page encodes it, one byte per entry.
    bson_t in;
    bson_init(&in);
    bson_append_int32(&in, "remoteID", -1, 5);
    std::string bytes(reinterpret_cast<const char*>(bson_get_data(&in)), in.len);
    bson_destroy(&in);
    std::string entries;
    for (unsigned char c : bytes)
        entries += (entries.empty() ? "" : ",") + std::string("[\"i\",") + std::to_string(c) + "]";
    send("korvex_calibrationManagement", ("[[\"i\",3],[\"l\",[" + entries + "]]]").c_str());
    EXPECT_EQ(api.input, bytes);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(jsonOf(replies[0].document), R"({ "success" : true })");

    // Only the operation: an empty input document.
    send("korvex_calibrationManagement", R"([["i",3]])");
    EXPECT_EQ(api.input, std::string("\x05\x00\x00\x00\x00", 5));
    // Bytes that are no document (wrong length header) reach the library as an empty input.
    send("korvex_calibrationManagement", R"([["i",3],["l",[["i",99],["i",0],["i",0],["i",0],["i",0]]]])");
    EXPECT_EQ(api.input, std::string("\x05\x00\x00\x00\x00", 5));
    send("korvex_calibrationManagement", R"([["i",3],["l",[]]])");
    EXPECT_EQ(api.input, std::string("\x05\x00\x00\x00\x00", 5));
    // Values above 255 keep their low byte.
    send("korvex_calibrationManagement", R"([["i",3],["l",[["i",261],["i",256],["i",0],["i",0],["i",256]]]])");
    EXPECT_EQ(api.input, std::string("\x05\x00\x00\x00\x00", 5));
    send("korvex_calibrationManagement", R"([["s","3"]])");
    EXPECT_EQ(replies.size(), 5u);
}

TEST_F(DeviceDispatch, UnknownNamesAreNotHandled) {
    EXPECT_FALSE(send("ClientRenderer.FocusedNodeChanged", R"([["b",true]])"));
    EXPECT_FALSE(send("korvex_getLastSample", R"([["i",1],["i",2]])"));
    EXPECT_FALSE(send("KORVEX_STARTDATA"));
    EXPECT_TRUE(calls.empty());
    DeviceMessageDelegate withoutLibrary(nullptr);
    EXPECT_TRUE(withoutLibrary.onMessage("korvex_startData", ListValue{}, [](auto&&...) { FAIL(); }));
}

TEST(TypedList, ReadsLikeTheEngineListValue) {
    ListValue l = list(R"([["i",1],["d",2.5],["s","a"],["b",true],["n"],["l",[["i",3]]]])");
    ASSERT_EQ(l.size(), 6u);
    using T = ListValue::Type;
    const T types[] = {T::Int, T::Double, T::String, T::Bool, T::Null, T::List, T::Invalid};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(l.typeAt(i), types[i]) << i;
    EXPECT_EQ(l.getList(5).getInt(0), 3);
    EXPECT_EQ(l.getDouble(0), 1.0); // an integer read as floating-point keeps its value
    EXPECT_EQ(l.getInt(1), 0);      // a mismatched read gives 0
    EXPECT_EQ(l.getBool(0), false);
    EXPECT_EQ(l.getString(0), "");
    EXPECT_EQ(l.getInt(99), 0);
    EXPECT_EQ(l.getList(0).size(), 0u);
    ListValue special = list(R"([["d","NaN"],["d","-Infinity"],["i",-2147483648]])");
    EXPECT_TRUE(std::isnan(special.getDouble(0)));
    EXPECT_EQ(special.getDouble(1), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(special.getInt(2), INT32_MIN);
}

TEST(TypedList, MalformedEntriesAndExcessiveNestingAreRefused) {
    for (const char* bad :
         {R"({"a":1})", R"([1])", R"([["i"]])", R"([["i",1.5]])", R"([["i",2147483648]])", R"([["x",1]])",
          R"([["s",1]])", R"([["b",1]])", R"([["n",1]])", R"([["l",5]])", R"([["d","nan"]])", R"([[]])"}) {
        ListValue out;
        EXPECT_FALSE(ParseTypedList(nlohmann::json::parse(bad), out)) << bad;
    }
    auto nested = [](int depth) {
        std::string s = "[]";
        for (int i = 0; i < depth; ++i)
            s = "[[\"l\"," + s + "]]";
        return nlohmann::json::parse(s);
    };
    ListValue ok, tooDeep;
    EXPECT_TRUE(ParseTypedList(nested(100), ok));
    EXPECT_FALSE(ParseTypedList(nested(kMaxListDepth + 5), tooDeep));
}

} // namespace
