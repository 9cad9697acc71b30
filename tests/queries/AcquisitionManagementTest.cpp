#include "QueryTestSupport.h"

#include "device/storage/AcquisitionManagement.h"

#include <fstream>

using namespace querytest;

namespace {

class Management : public ApiFixture {
protected:
    void store(const std::string& id, const std::string& raw = std::string("\x02\x41\x00\x0A", 4)) {
        bson_t meta;
        bson_init(&meta);
        BSON_APPEND_UTF8(&meta, "acquisitionID", id.c_str());
        BSON_APPEND_UTF8(&meta, "lastStartDate", "20240102T030405");
        bson_t remote;
        BSON_APPEND_DOCUMENT_BEGIN(&meta, "remote1", &remote);
        BSON_APPEND_INT32(&remote, "fixedConfig", 2);
        bson_append_document_end(&meta, &remote);
        std::string error;
        ASSERT_TRUE(api->fileSystem->saveBson(&meta, rawFolder() + id + ".bson", error));
        bson_destroy(&meta);
        std::ofstream(rawFolder() + id + ".raw", std::ios::binary) << raw;
    }
    std::string rawFolder() { return folder(FileSystem::RawData); }
    bson_t manage(int command, const char* id) {
        bson_t doc;
        api->acquisitionManagement(&doc, command, id);
        return doc;
    }
};

} // namespace

TEST_F(Management, ListShowsCompletePairsOnly) {
    bson_t doc = manage(0, nullptr);
    EXPECT_EQ(keys(&doc), (std::vector<std::string>{"acquisitionList"}));
    EXPECT_EQ(countAt(&doc, "acquisitionList"), 0);
    bson_destroy(&doc);

    store("kept");
    store("short", "\x02");
    doc = manage(0, "");
    ASSERT_EQ(countAt(&doc, "acquisitionList"), 1);
    EXPECT_EQ(stringAt(&doc, "acquisitionList.0.acquisitionID"), "kept");
    bson_destroy(&doc);
}

TEST_F(Management, ReloadWhileStreamingIsRefused) {
    store("kept");
    configure(1, 2);
    const std::string before = api->acquisitionStack->currentAcquisitionID();
    api->hardwareState->dongleMode = DongleModeData;
    bson_t doc = manage(1, "kept");
    EXPECT_TRUE(keys(&doc).empty());
    EXPECT_EQ(ScriptLog::count("** ERROR => KorvexAPI::reloadAcquisition - Impossible to perform that "
                               "operation, the dongle is in DATA mode"),
              1);
    EXPECT_EQ(api->acquisitionStack->currentAcquisitionID(), before);
    EXPECT_NE(sensor(1, SensorAccelerometer), nullptr);
    bson_destroy(&doc);
}

TEST_F(Management, DeleteReturnsTheListWithoutIt) {
    store("first");
    store("second");
    bson_t doc = manage(2, "first");
    ASSERT_EQ(countAt(&doc, "acquisitionList"), 1);
    EXPECT_EQ(stringAt(&doc, "acquisitionList.0.acquisitionID"), "second");
    EXPECT_FALSE(std::filesystem::exists(rawFolder() + "first.raw"));
    EXPECT_FALSE(std::filesystem::exists(rawFolder() + "first.bson"));
    EXPECT_EQ(ScriptLog::count("KorvexAPI::acquisitionManagement - Delete - first"), 1);
    bson_destroy(&doc);
}

TEST_F(Management, UnknownCommandAnswersAnEmptyDocument) {
    for (int command : {5, -1, 3}) {
        bson_t doc = manage(command, "x");
        EXPECT_TRUE(keys(&doc).empty());
        bson_destroy(&doc);
    }
    EXPECT_EQ(ScriptLog::count("KorvexAPI::acquisitionManagement - Command not supported"), 3);
}

TEST_F(Management, HostileIdentifiersTouchNothing) {
    // A pair of files one level above the recordings folder.
    const std::string above = (std::filesystem::path(rawFolder()).parent_path().parent_path() / "victim").string();
    std::ofstream(above + ".raw") << "0123456789";
    std::ofstream(above + ".bson") << "x";
    configure(1, 2);
    const std::string before = api->acquisitionStack->currentAcquisitionID();

    for (const char* id : {"../victim", "", "..", "a/b", "/tmp/victim"}) {
        bson_t doc = manage(2, id);
        EXPECT_EQ(countAt(&doc, "acquisitionList"), 0) << id;
        bson_destroy(&doc);
        doc = manage(1, id);
        EXPECT_TRUE(keys(&doc).empty());
        bson_destroy(&doc);
    }
    EXPECT_TRUE(std::filesystem::exists(above + ".raw"));
    EXPECT_TRUE(std::filesystem::exists(above + ".bson"));
    // The current recording was not discarded for a reload that cannot happen.
    EXPECT_EQ(api->acquisitionStack->currentAcquisitionID(), before);
    EXPECT_FALSE(AcquisitionManagement::isValidIdentifier("../victim"));
    EXPECT_TRUE(AcquisitionManagement::isValidIdentifier("0f0e0d0c-0b0a-4908-8706-050403020100"));
}

TEST_F(Management, ReloadOfAMissingAcquisitionKeepsTheCurrentOne) {
    configure(1, 2);
    const std::string before = api->acquisitionStack->currentAcquisitionID();
    bson_t doc = manage(1, "nothing-here");
    bson_destroy(&doc);
    EXPECT_EQ(api->acquisitionStack->currentAcquisitionID(), before);
    EXPECT_EQ(ScriptLog::count("KorvexAPI::acquisitionManagement - No stored acquisition nothing-here"), 1);
}
