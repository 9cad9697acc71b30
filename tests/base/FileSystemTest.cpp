#include "device/base/FileSystem.h"

#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <bson/bson.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> documentBytes(const bson_t* document) {
    const uint8_t* data = bson_get_data(document);
    return std::vector<uint8_t>(data, data + document->len);
}

// A small metadata-like document with a nested document and an array.
std::vector<uint8_t> sampleDocument(const char* id) {
    bson_t document = BSON_INITIALIZER;
    bson_append_utf8(&document, "acquisitionID", -1, id, -1);
    bson_append_int32(&document, "dongleID", -1, 0x123456);
    bson_t remote;
    bson_append_document_begin(&document, "remote1", -1, &remote);
    bson_append_int32(&remote, "fixedConfig", -1, 7);
    bson_append_document_end(&document, &remote);
    bson_t array;
    bson_append_array_begin(&document, "calScale", -1, &array);
    bson_append_double(&array, "0", -1, 1.5);
    bson_append_double(&array, "1", -1, -2.25);
    bson_append_array_end(&document, &array);
    std::vector<uint8_t> bytes = documentBytes(&document);
    bson_destroy(&document);
    return bytes;
}

// The "id" strings of the array under `key`, in array order, checking the element keys.
std::vector<std::string> listedIDs(const bson_t* list, const char* key) {
    std::vector<std::string> ids;
    bson_iter_t iter, child;
    if (!bson_iter_init_find(&iter, list, key) || !BSON_ITER_HOLDS_ARRAY(&iter) || !bson_iter_recurse(&iter, &child))
        return {"<no array>"};
    unsigned index = 0;
    while (bson_iter_next(&child)) {
        EXPECT_EQ(std::string(bson_iter_key(&child)), std::to_string(index++));
        bson_iter_t field;
        if (BSON_ITER_HOLDS_DOCUMENT(&child) && bson_iter_recurse(&child, &field) &&
            bson_iter_find(&field, "acquisitionID"))
            ids.push_back(bson_iter_utf8(&field, nullptr));
        else
            ids.push_back("<bad element>");
    }
    return ids;
}

class FileSystemTest : public ::testing::Test {
protected:
    // A documents folder with non-ASCII characters: paths must keep every byte.
    FileSystemTest()
        : documents(temp.path() / "Dokumente \xC3\xA9t\xC3\xA9 \xE2\x82\xAC"),
          override("KORVEX_DOCUMENTS_DIR", documents.string()) {}

    fs::path root() const { return documents / "Korvex-WorkFiles"; }

    TempDir temp;
    fs::path documents;
    ScopedEnv override;
    RecordingListener listener;
};

TEST_F(FileSystemTest, CreatesTheRootAndEveryFolderKindUnderTheDocumentsFolder) {
    FileSystem files(&listener);
    EXPECT_EQ(files.getWorkFileDir(), documents.string() + "/Korvex-WorkFiles/");
    EXPECT_TRUE(fs::is_directory(root()));

    const std::vector<std::pair<int, std::string>> kinds = {
        {1, ""}, {2, "database/"}, {3, "rawdata/"}, {4, "export/"}, {5, "calibration/"}};
    for (const auto& [kind, folder] : kinds) {
        std::string path = files.getDirectory(kind);
        EXPECT_EQ(path, root().string() + "/" + folder) << kind;
        EXPECT_TRUE(fs::is_directory(path)) << kind;
        EXPECT_TRUE(listener.hasLog("FileSystem::getDirectory - " + path));
    }

    listener.reset();
    EXPECT_EQ(files.getDirectory(0), "");
    EXPECT_EQ(files.getDirectory(6), "");
    EXPECT_TRUE(listener.logLines().empty());
}

TEST_F(FileSystemTest, FolderBlockedByAFileIsReportedNotUsed) {
    FileSystem files(&listener);
    writeBytes(root() / "export", {1, 2, 3});
    EXPECT_EQ(files.getDirectory(FileSystem::Export), "");
    EXPECT_FALSE(files.checkDirectory((root() / "export").string()));
    // A folder that cannot be created at all.
    EXPECT_FALSE(files.checkDirectory((root() / "export" / "below").string()));
}

TEST(DocumentsFolder, FollowsTheOverrideThenXdgThenHome) {
    TempDir home;
    fs::create_directories(home.path() / "cfg");
    ScopedEnv homeVar("HOME", home.str());
    ScopedEnv configHome("XDG_CONFIG_HOME", (home.path() / "cfg").string());

    {
        ScopedEnv korvex("KORVEX_DOCUMENTS_DIR", "/srv/portable/");
        ScopedEnv xdg("XDG_DOCUMENTS_DIR", "/xdg/docs");
        EXPECT_EQ(FileSystem::documentsFolder(), "/srv/portable");
    }
    ScopedEnv korvex("KORVEX_DOCUMENTS_DIR", std::nullopt);
    {
        ScopedEnv xdg("XDG_DOCUMENTS_DIR", "/xdg/docs");
        EXPECT_EQ(FileSystem::documentsFolder(), "/xdg/docs");
    }
    ScopedEnv xdg("XDG_DOCUMENTS_DIR", std::nullopt);

    EXPECT_EQ(FileSystem::documentsFolder(), home.str() + "/Documents");

    std::ofstream(home.path() / "cfg" / "user-dirs.dirs")
        << "# written by the desktop\n"
        << "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
        << "XDG_DOCUMENTS_DIR=\"$HOME/Mes \\\"documents\\\" \xC3\xA9\"\n";
    EXPECT_EQ(FileSystem::documentsFolder(), home.str() + "/Mes \"documents\" \xC3\xA9");

    std::ofstream(home.path() / "cfg" / "user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"/data/papers\"\n";
    EXPECT_EQ(FileSystem::documentsFolder(), "/data/papers");

    // A relative value is not a folder the desktop could have meant.
    std::ofstream(home.path() / "cfg" / "user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"papers\"\n";
    EXPECT_EQ(FileSystem::documentsFolder(), home.str() + "/Documents");
}

TEST_F(FileSystemTest, ReadThenSaveGivesAByteIdenticalFile) {
    FileSystem files(&listener);
    fs::path source = root() / "calibration" / "source.bson";
    fs::path copy = root() / "export" / "copy \xC3\xA9.bson";
    fs::create_directories(source.parent_path());
    fs::create_directories(copy.parent_path());
    writeBytes(source, sampleDocument("abc"));

    bson_t document;
    std::string errorText;
    ASSERT_TRUE(files.readBson(&document, source.string(), errorText));
    EXPECT_TRUE(files.saveBson(&document, copy.string(), errorText));
    bson_destroy(&document);

    EXPECT_EQ(fileBytes(copy), fileBytes(source));
    EXPECT_TRUE(listener.hasLog("FileSystem::saveBson: Write file " + copy.string()));
    // The temporary file of the save is gone.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(copy.parent_path()))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST_F(FileSystemTest, CorruptOrTruncatedFilesAreReadFailuresNotCrashes) {
    FileSystem files(&listener);
    fs::path folder = root() / "database";
    fs::create_directories(folder);
    std::vector<uint8_t> good = sampleDocument("abc");

    std::vector<uint8_t> lyingInnerLength = good;
    // The nested document's own length prefix points past the end of the outer one.
    for (std::size_t i = 0; i + 7 < lyingInnerLength.size(); ++i)
        if (std::string(reinterpret_cast<char*>(&lyingInnerLength[i]), 7) == "remote1") {
            lyingInnerLength[i + 8] = 0xF0;
            break;
        }
    std::vector<uint8_t> withTrailing = good;
    withTrailing.push_back(0);

    const std::vector<std::pair<std::string, std::vector<uint8_t>>> cases = {
        {"empty", {}},
        {"four bytes", {5, 0, 0, 0}},
        {"truncated", std::vector<uint8_t>(good.begin(), good.end() - 3)},
        {"cut in half", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2)},
        {"trailing byte", withTrailing},
        {"length prefix too large",
         [&] {
             auto b = good;
             b[0] = static_cast<uint8_t>(b[0] + 10);
             return b;
         }()},
        {"inner length lies", lyingInnerLength},
        {"garbage", std::vector<uint8_t>(64, 0xA5)},
        {"text file", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'}},
    };
    for (const auto& [name, bytes] : cases) {
        listener.reset();
        fs::path path = folder / (name + ".bson");
        writeBytes(path, bytes);
        bson_t document;
        std::string errorText;
        EXPECT_FALSE(files.readBson(&document, path.string(), errorText)) << name;
        EXPECT_EQ(errorText, "FileSystem::readBson - Cannot read the file") << name;
        EXPECT_EQ(listener.errorCodes(), std::vector<int>{29}) << name;
        // The failed document is a harmless empty one.
        EXPECT_EQ(bson_count_keys(&document), 0u) << name;
        bson_destroy(&document);
    }

    listener.reset();
    bson_t document;
    std::string errorText;
    EXPECT_FALSE(files.readBson(&document, (folder / "missing.bson").string(), errorText));
    EXPECT_EQ(errorText, "FileSystem::readBson - Cannot open the file");
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{24});
    bson_destroy(&document);

    // A folder opens but cannot be read as a file.
    listener.reset();
    EXPECT_FALSE(files.readBson(&document, folder.string(), errorText));
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{29});
    bson_destroy(&document);
}

TEST_F(FileSystemTest, SaveFailuresAreReportedAndLeaveTheOldFileWhole) {
    FileSystem files(&listener);
    bson_t document = BSON_INITIALIZER;
    BSON_APPEND_INT32(&document, "remoteID", 4779);
    std::string errorText;

    EXPECT_FALSE(files.saveBson(&document, (root() / "no-such-folder" / "x.bson").string(), errorText));
    EXPECT_EQ(errorText, "FileSystem::saveBson - Cannot open the file");
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{24});

    // The target is a folder: the bytes are written but cannot take its place.
    listener.reset();
    fs::create_directories(root() / "export" / "taken.bson" / "inside");
    EXPECT_FALSE(files.saveBson(&document, (root() / "export" / "taken.bson").string(), errorText));
    EXPECT_EQ(errorText, "FileSystem::saveBson - Cannot write the file");
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{25});
    EXPECT_TRUE(fs::is_directory(root() / "export" / "taken.bson" / "inside"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(root() / "export"))
        ++entries;
    EXPECT_EQ(entries, 1u) << "no temporary file left behind";
    bson_destroy(&document);
}

TEST_F(FileSystemTest, DeleteFileReportsMissingFiles) {
    FileSystem files(&listener);
    fs::path path = root() / "calibration" / "cal.bson";
    fs::create_directories(path.parent_path());
    writeBytes(path, sampleDocument("c"));
    std::string errorText;
    EXPECT_TRUE(files.deleteFile(path.string(), errorText));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(files.deleteFile(path.string(), errorText));
    EXPECT_EQ(errorText, "FileSystem::deleteFile - file doesn't exist");

    fs::create_directories(root() / "calibration" / "full" / "x");
    EXPECT_FALSE(files.deleteFile((root() / "calibration" / "full").string(), errorText));
    EXPECT_EQ(errorText.rfind("FileSystem::deleteFile - ", 0), 0u);
    EXPECT_NE(errorText, "FileSystem::deleteFile - file doesn't exist");
}

TEST_F(FileSystemTest, DeleteAcquisitionFilesStaysInTheRecordingsFolder) {
    FileSystem files(&listener);
    fs::path raw = files.getDirectory(FileSystem::RawData);
    writeBytes(raw / "run.raw", {2, 0x41, 0, 0x0A});
    writeBytes(raw / "run.bson", sampleDocument("run"));
    writeBytes(root() / "outside.raw", {1, 2});
    writeBytes(root() / "outside.bson", sampleDocument("o"));

    files.deleteAcquisitionFiles("run");
    EXPECT_FALSE(fs::exists(raw / "run.raw"));
    EXPECT_FALSE(fs::exists(raw / "run.bson"));
    files.deleteAcquisitionFiles("run"); // nothing left: no failure

    for (const char* name : {"../outside", "", "..", "a/../../outside"})
        files.deleteAcquisitionFiles(name);
    EXPECT_TRUE(fs::exists(root() / "outside.raw"));
    EXPECT_TRUE(fs::exists(root() / "outside.bson"));
}

TEST_F(FileSystemTest, CalibrationListHoldsOnlyReadableBsonFiles) {
    FileSystem files(&listener);
    fs::path folder = files.getDirectory(FileSystem::Calibration);
    writeBytes(fs::path(folder) / "a.bson", sampleDocument("a"));
    writeBytes(fs::path(folder) / "b.txt", sampleDocument("b"));
    fs::create_directories(fs::path(folder) / "c.bson");
    writeBytes(fs::path(folder) / "d.bson", {9, 9, 9});

    bson_t list;
    files.acquisitionList(&list);
    EXPECT_EQ(listedIDs(&list, "acquisitionList"), std::vector<std::string>{}) << "empty folder";
    bson_destroy(&list);
    files.calibrationList(&list);
    EXPECT_EQ(listedIDs(&list, "calibrationList"), std::vector<std::string>{"a"});
    EXPECT_EQ(listener.errorCodes(), std::vector<int>{29});
    bson_destroy(&list);
}

TEST_F(FileSystemTest, AcquisitionListNeedsARawFileOfAtLeastTwoBytes) {
    FileSystem files(&listener);
    fs::path folder = files.getDirectory(FileSystem::RawData);
    writeBytes(folder / "x.bson", sampleDocument("x")); // no raw file
    writeBytes(folder / "y.bson", sampleDocument("y"));
    writeBytes(folder / "y.raw", {2}); // 1 byte
    writeBytes(folder / "z.bson", sampleDocument("z"));
    writeBytes(folder / "z.raw", {2, 0x41}); // 2 bytes
    writeBytes(folder / "b.bson", sampleDocument("b"));
    writeBytes(folder / "b.raw", {2, 0x41, 0, 0x0A});
    fs::create_directories(folder / "w.bson");
    writeBytes(folder / "w.raw", {2, 0x41, 0, 0x0A});
    writeBytes(folder / "v.bson", sampleDocument("v"));
    fs::create_directories(folder / "v.raw"); // not a file

    bson_t list;
    files.acquisitionList(&list);
    EXPECT_EQ(listedIDs(&list, "acquisitionList"), (std::vector<std::string>{"b", "z"}));
    bson_destroy(&list);
}

} // namespace
