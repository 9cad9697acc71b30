#include "host/bridge/RunNotes.h"

#include "tests/support/TempDir.h"

#include <bson/bson.h>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

const std::string kId = "3f2b8c1e-9a4d-4e7f-b2c5-0d1e2f3a4b5c";
const std::string kOther = "00000000-1111-4222-8333-444455556666";

class RunNotesTest : public ::testing::Test {
protected:
    TempDir temp;
    fs::path folder = temp.path() / "Korvex-WorkFiles" / "RunNotes";
    RunNotesStore store{folder.string()};

    nlohmann::json all(std::vector<std::string>& ignored) { return store.readAll(ignored); }
};

} // namespace

TEST(RunNotesIds, OnlyTheLibrarysLowercaseUuidTextIsAccepted) {
    EXPECT_TRUE(RunNotesStore::isAcquisitionId(kId));
    for (std::string bad : {"", "..", "../3f2b8c1e-9a4d-4e7f-b2c5-0d1e2f3a4b", "3f2b8c1e/9a4d-4e7f-b2c5-0d1e2f3a4b5c",
                            "3F2B8C1E-9A4D-4E7F-B2C5-0D1E2F3A4B5C", "3f2b8c1e-9a4d-4e7f-b2c5-0d1e2f3a4b5",
                            "3f2b8c1e-9a4d-4e7f-b2c5-0d1e2f3a4b5c0", "3f2b8c1e9a4d-4e7f-b2c5-0d1e2f3a4b5c-",
                            "3f2b8c1e-9a4d-4e7f-b2c5-0d1e2f3a4b.."}) {
        EXPECT_FALSE(RunNotesStore::isAcquisitionId(bad)) << bad;
    }
}

TEST_F(RunNotesTest, BadIdsAndBadNotesWriteNothing) {
    EXPECT_FALSE(store.write("../../evil", R"({"name":"x"})").ok);
    EXPECT_FALSE(store.remove("..").ok);
    for (std::string bad : {"", "[]", "{", R"({"name":5})", R"({"colour":"red"})", R"({"triggerTime":"1"})",
                            R"({"preTrigger":-1})", R"({"preTrigger":4000})", "{\"name\":\"\xff\"}"}) {
        EXPECT_FALSE(store.write(kId, bad).ok) << bad;
    }
    // 80 characters of two bytes each are a name; 81 are not.
    std::string name;
    for (int i = 0; i < 80; ++i)
        name += "\xc3\xa4";
    EXPECT_TRUE(store.write(kId, nlohmann::json{{"name", name}}.dump()).ok);
    EXPECT_FALSE(store.write(kId, nlohmann::json{{"name", name + "a"}}.dump()).ok);
    EXPECT_FALSE(store.write(kId, nlohmann::json{{"note", std::string(2001, 'n')}}.dump()).ok);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST_F(RunNotesTest, NotesRoundTripAndSurviveANewStore) {
    ASSERT_TRUE(store.write(kId, R"({"name":"Cart 1","note":"Lab 2, 250 g","triggerTime":2.5,"preTrigger":0.5})").ok);
    ASSERT_TRUE(store.write(kOther, R"({"name":"Cart 2"})").ok);
    std::vector<std::string> ignored;
    auto runs = RunNotesStore(folder.string()).readAll(ignored);
    EXPECT_TRUE(ignored.empty());
    EXPECT_EQ(runs[kId]["name"], "Cart 1");
    EXPECT_EQ(runs[kId]["note"], "Lab 2, 250 g");
    EXPECT_DOUBLE_EQ(runs[kId]["triggerTime"].get<double>(), 2.5);
    EXPECT_DOUBLE_EQ(runs[kId]["preTrigger"].get<double>(), 0.5);
    EXPECT_EQ(runs[kOther], (nlohmann::json{{"name", "Cart 2"}}));

    ASSERT_TRUE(store.remove(kOther).ok);
    EXPECT_TRUE(store.remove(kOther).ok); // already gone is not an error
    // Notes whose texts are emptied are removed rather than kept empty.
    ASSERT_TRUE(store.write(kId, R"({"name":"","note":""})").ok);
    EXPECT_TRUE(all(ignored).empty());
    EXPECT_FALSE(fs::exists(folder / (kId + ".json")));
}

TEST_F(RunNotesTest, ReplacingLeavesOneCompleteFileAndNoTemporary) {
    ASSERT_TRUE(store.write(kId, R"({"name":"first"})").ok);
    // A temporary left by a write that was cut off is neither read nor reported.
    writeFile(folder / (kId + ".json.tmp-abcdef"), "{\"name\":\"half");
    ASSERT_TRUE(store.write(kId, R"({"name":"second","note":"longer than the first one"})").ok);
    EXPECT_EQ(nlohmann::json::parse(readFile(folder / (kId + ".json"))),
              (nlohmann::json{{"name", "second"}, {"note", "longer than the first one"}}));
    std::vector<std::string> ignored;
    EXPECT_EQ(all(ignored).size(), 1u);
    EXPECT_TRUE(ignored.empty());
    size_t temporaries = 0;
    for (auto& entry : fs::directory_iterator(folder))
        temporaries += entry.path().filename().string().find(".tmp-") != std::string::npos;
    EXPECT_EQ(temporaries, 1u); // only the one planted above
}

TEST_F(RunNotesTest, CorruptOrForeignFilesAreReportedAndTheRestStillRead) {
    ASSERT_TRUE(store.write(kId, R"({"name":"good"})").ok);
    writeFile(folder / (kOther + ".json"), "{\"name\": \"cut");
    writeFile(folder / "notes.json", R"({"name":"not a run"})");
    writeFile(folder / "00000000-0000-4000-8000-000000000000.json", R"({"name":["list"]})");
    std::vector<std::string> ignored;
    auto runs = all(ignored);
    EXPECT_EQ(runs, (nlohmann::json{{kId, {{"name", "good"}}}}));
    std::sort(ignored.begin(), ignored.end());
    EXPECT_EQ(ignored,
              (std::vector<std::string>{"00000000-0000-4000-8000-000000000000.json", kOther + ".json", "notes.json"}));
}

TEST_F(RunNotesTest, RequestRepliesWithADocumentAndDropsWrongArguments) {
    ListValue set;
    set.append(int32_t(1));
    set.append(kId);
    set.append(R"({"name":"Pendulum"})");
    std::string reply = HandleRunNotesRequest(store, set);
    ASSERT_FALSE(reply.empty());

    ListValue get;
    get.append(int32_t(0));
    get.append("");
    get.append("");
    reply = HandleRunNotesRequest(store, get);
    bson_t doc;
    ASSERT_TRUE(bson_init_static(&doc, reinterpret_cast<const uint8_t*>(reply.data()), reply.size()));
    bson_iter_t it;
    ASSERT_TRUE(bson_iter_init_find(&it, &doc, "json") && BSON_ITER_HOLDS_UTF8(&it));
    auto json = nlohmann::json::parse(bson_iter_utf8(&it, nullptr));
    EXPECT_EQ(json["runs"][kId]["name"], "Pendulum");
    EXPECT_EQ(json["ignored"], nlohmann::json::array());

    ListValue wrong;
    wrong.append(int32_t(1));
    wrong.append(kId);
    EXPECT_TRUE(HandleRunNotesRequest(store, wrong).empty());
}
