#include "QueryTestSupport.h"

#include "device/sensors/RemoteConfiguration.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <fstream>

using namespace querytest;
using Keys = std::vector<std::string>;

namespace {

class Reports : public ApiFixture {
protected:
    // Writes <id>.bson and <id>.raw into the recordings folder.
    void storeAcquisition(const std::string& id, int config, const char* lastStartDate,
                          std::string raw = std::string("\x02\x41\x00\x0A", 4)) {
        bson_t meta;
        bson_init(&meta);
        BSON_APPEND_UTF8(&meta, "acquisitionID", id.c_str());
        BSON_APPEND_INT32(&meta, "dongleID", 7);
        BSON_APPEND_INT32(&meta, "fwVersion", 3);
        BSON_APPEND_UTF8(&meta, "lastStartDate", lastStartDate);
        bson_t remote;
        BSON_APPEND_DOCUMENT_BEGIN(&meta, "remote1", &remote);
        BSON_APPEND_INT32(&remote, "remoteID", 0x12AB);
        BSON_APPEND_INT32(&remote, "fixedConfig", config);
        bson_append_document_end(&meta, &remote);
        std::string error;
        ASSERT_TRUE(api->fileSystem->saveBson(&meta, folder(FileSystem::RawData) + id + ".bson", error));
        bson_destroy(&meta);
        std::ofstream(folder(FileSystem::RawData) + id + ".raw", std::ios::binary) << raw;
    }
};

} // namespace

TEST_F(Reports, HardwareStateBeforeTheDongleIsFound) {
    bson_t doc;
    api->getHardwareState(&doc);
    EXPECT_EQ(keys(&doc), (Keys{"dongleID", "fwVersion", "dongleMode", "donglePlugged", "remote1", "remote2"}));
    EXPECT_EQ(int32At(&doc, "dongleID"), 0);
    EXPECT_EQ(int32At(&doc, "dongleMode"), 1);
    EXPECT_EQ(int32At(&doc, "donglePlugged"), 0);
    for (const char* slot : {"remote1", "remote2"}) {
        bson_t sub;
        bson_iter_t it = iterAt(&doc, slot);
        uint32_t len;
        const uint8_t* data;
        bson_iter_document(&it, &len, &data);
        ASSERT_TRUE(bson_init_static(&sub, data, len));
        EXPECT_EQ(keys(&sub), (Keys{"remoteID", "rfStatus", "pairStatus", "fixedConfig", "configured", "batteryVoltage",
                                    "outputConfig"}));
        EXPECT_FALSE(boolAt(&sub, "configured"));
        EXPECT_EQ(doubleAt(&sub, "batteryVoltage"), 0.0);
        EXPECT_EQ(countAt(&sub, "outputConfig"), 0);
    }
    bson_destroy(&doc);
}

TEST_F(Reports, FreshAcquisitionHasOnlyItsIdentifierAndNoStart) {
    bson_t doc;
    api->getAcquisitionStack(&doc);
    EXPECT_EQ(keys(&doc), (Keys{"ID", "lastStartDate"}));
    EXPECT_EQ(stringAt(&doc, "ID"), api->acquisitionStack->currentAcquisitionID());
    EXPECT_EQ(stringAt(&doc, "ID").size(), 36u);
    EXPECT_EQ(stringAt(&doc, "lastStartDate"), "not-a-date-time");
    EXPECT_EQ(ScriptLog::count("KorvexAPI::getAcquisitionStack"), 1);
    bson_destroy(&doc);
}

TEST_F(Reports, ConfiguredRemoteListsItsSensorsInTypeOrderWithFrameCounters) {
    configure(2, 5); // accelerometer, gyroscope, force
    Sensor* force = sensor(2, SensorForce);
    force->frameTotal = 120;
    force->packetCount = 117;
    using namespace boost::posix_time;
    api->acquisitionStack->getCurrent()->setLastStartDate(
        ptime(boost::gregorian::date(2015, 3, 2), hours(14) + minutes(5) + seconds(9) + microseconds(125000)));

    bson_t doc;
    api->getAcquisitionStack(&doc);
    EXPECT_EQ(keys(&doc), (Keys{"ID", "lastStartDate", "remote2"}));
    EXPECT_EQ(stringAt(&doc, "lastStartDate"), "20150302T140509.125000");
    EXPECT_EQ(int32At(&doc, "remote2.config"), 5);
    ASSERT_EQ(countAt(&doc, "remote2.sensors"), 3);
    bson_iter_t sensors = iterAt(&doc, "remote2.sensors");
    EXPECT_EQ(bson_iter_type(&sensors), BSON_TYPE_ARRAY);
    const int types[] = {1, 3, 8}, sizes[] = {3, 3, 1};
    for (int i = 0; i < 3; ++i) {
        const std::string base = "remote2.sensors." + std::to_string(i) + ".";
        EXPECT_EQ(int32At(&doc, (base + "remote").c_str()), 2);
        EXPECT_EQ(int32At(&doc, (base + "config").c_str()), 5);
        EXPECT_EQ(int32At(&doc, (base + "sensorType").c_str()), types[i]);
        EXPECT_EQ(int32At(&doc, (base + "sampleSize").c_str()), sizes[i]);
    }
    EXPECT_EQ(int32At(&doc, "remote2.sensors.2.frames"), 120);
    EXPECT_EQ(int32At(&doc, "remote2.sensors.2.packets"), 117);
    EXPECT_EQ(int32At(&doc, "remote2.sensors.0.frames"), 0);

    bson_t element;
    bson_iter_t it = iterAt(&doc, "remote2.sensors.0");
    uint32_t len;
    const uint8_t* data;
    bson_iter_document(&it, &len, &data);
    ASSERT_TRUE(bson_init_static(&element, data, len));
    EXPECT_EQ(keys(&element), (Keys{"remote", "config", "sensorType", "sampleSize", "frames", "packets"}));
    bson_destroy(&doc);
}

TEST_F(Reports, ReloadedAcquisitionSaysSoAndKeepsItsStartTime) {
    const std::string id = "0f0e0d0c-0b0a-4908-8706-050403020100";
    storeAcquisition(id, 2, "20150302T140509.125000");
    configure(1, 5); // the current run holds remote 1: it is discarded first
    api->hardwareState->dongleMode = DongleModeConnected;
    bson_t result;
    api->acquisitionManagement(&result, 1, id.c_str());
    EXPECT_TRUE(keys(&result).empty());
    bson_destroy(&result);

    bson_t doc;
    api->getAcquisitionStack(&doc);
    EXPECT_EQ(keys(&doc), (Keys{"ID", "fromDB", "lastStartDate", "remote1"}));
    EXPECT_EQ(stringAt(&doc, "ID"), id);
    EXPECT_TRUE(boolAt(&doc, "fromDB"));
    EXPECT_EQ(stringAt(&doc, "lastStartDate"), "20150302T140509.125000");
    EXPECT_EQ(int32At(&doc, "remote1.config"), 2);
    EXPECT_EQ(int32At(&doc, "remote1.sensors.0.sensorType"), 1);
    bson_destroy(&doc);

    // The discard's events come before the reload's.
    const std::vector<std::string> scripts = ScriptLog::all();
    size_t discard = scripts.size(), reload = scripts.size();
    for (size_t i = 0; i < scripts.size(); ++i) {
        if (discard == scripts.size() && scripts[i].find("KorvexAPI::deleteAcquisition") != std::string::npos)
            discard = i;
        if (scripts[i].find("HardwareAPI::reloadAcquisition") != std::string::npos && reload == scripts.size())
            reload = i;
    }
    EXPECT_LT(discard, reload);
    EXPECT_LT(reload, scripts.size());
}
