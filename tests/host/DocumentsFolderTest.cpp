// The one documents folder of the host and the library: the forms user-dirs.dirs takes, the
// home folder's fallbacks, and both sides agreeing on a real environment.
#include "device/base/FileSystem.h"
#include "device/common/DocumentsFolder.h"
#include "host/shell/HostPaths.h"
#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// The folder for an environment, a user-dirs.dirs content served at `dirsPath` only, and
// a password entry.
std::string documentsFor(std::map<std::string, std::string> env, std::optional<std::string> dirs,
                         std::optional<std::string> passwordHome = std::nullopt,
                         const std::string& dirsPath = "/home/u/.config/user-dirs.dirs") {
    auto lookup = [&](const std::string& name) -> std::optional<std::string> {
        auto it = env.find(name);
        if (it == env.end())
            return std::nullopt;
        return it->second;
    };
    auto read = [&](const std::string& path) -> std::optional<std::string> {
        if (path == dirsPath)
            return dirs;
        return std::nullopt;
    };
    return FindDocumentsDirectory(lookup, read, [&] { return passwordHome; });
}

std::string withDirs(const std::string& dirs) { return documentsFor({{"HOME", "/home/u"}}, dirs); }

} // namespace

TEST(DocumentsFolder, TheFileTheDesktopWrites) {
    const char* file = "# This file is written by xdg-user-dirs-update\n"
                       "# If you want to change or add directories, just edit the line you're\n"
                       "# interested in. All local changes will be retained on the next run.\n"
                       "# Format is XDG_xxx_DIR=\"$HOME/yyy\", where yyy is a shell-escaped\n"
                       "# homedir-relative path, or XDG_xxx_DIR=\"/yyy\", where /yyy is an\n"
                       "# absolute path. No other format is supported.\n"
                       "# \n"
                       "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                       "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                       "XDG_TEMPLATES_DIR=\"$HOME/Sjablonen\"\n"
                       "XDG_PUBLICSHARE_DIR=\"$HOME/Openbaar\"\n"
                       "XDG_DOCUMENTS_DIR=\"$HOME/Documenten\"\n"
                       "XDG_MUSIC_DIR=\"$HOME/Muziek\"\n"
                       "XDG_PICTURES_DIR=\"$HOME/Afbeeldingen\"\n"
                       "XDG_VIDEOS_DIR=\"$HOME/Video's\"\n";
    EXPECT_EQ(withDirs(file), "/home/u/Documenten");
}

TEST(DocumentsFolder, ValuesReadAsTheShellWould) {
    const std::pair<const char*, const char*> cases[] = {
        {"XDG_DOCUMENTS_DIR=\"/data/papers\"\n", "/data/papers"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/Lab \\\"notes\\\" \xC3\xA9t\xC3\xA9\"\n",
         "/home/u/Lab \"notes\" \xC3\xA9t\xC3\xA9"},
        {"XDG_DOCUMENTS_DIR=\"${HOME}/Docs\"\n", "/home/u/Docs"},
        {"XDG_DOCUMENTS_DIR=\"$HOME\"\n", "/home/u"},
        {"XDG_DOCUMENTS_DIR=$HOME/Plain\n", "/home/u/Plain"},
        {"XDG_DOCUMENTS_DIR='/single $HOME'\n", "/single $HOME"},
        {"  XDG_DOCUMENTS_DIR=\"$HOME/Indented\"\r\n", "/home/u/Indented"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/Docs/\"\n", "/home/u/Docs"},
        // The last usable line wins, as when the shell sources the file.
        {"XDG_DOCUMENTS_DIR=\"/first\"\nXDG_DOCUMENTS_DIR=\"$HOME/second\"\n", "/home/u/second"},
        {"XDG_DOCUMENTS_DIR=\"/first\"\nXDG_DOCUMENTS_DIR=\"relative\"\n", "/first"},
        // Unusable: relative, another variable, unterminated, commented out.
        {"XDG_DOCUMENTS_DIR=\"papers\"\n", "/home/u/Documents"},
        {"XDG_DOCUMENTS_DIR=\"$HOMEWORK/x\"\n", "/home/u/Documents"},
        {"XDG_DOCUMENTS_DIR=\"/never/closed\n", "/home/u/Documents"},
        {"# XDG_DOCUMENTS_DIR=\"/old\"\nXDG_DESKTOP_DIR=\"/desk\"\n", "/home/u/Documents"},
    };
    for (const auto& [dirs, expected] : cases)
        EXPECT_EQ(withDirs(dirs), expected) << dirs;
}

TEST(DocumentsFolder, VariablesHomeAndPasswordEntry) {
    const std::string line = "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n";
    EXPECT_EQ(documentsFor({{"KORVEX_DOCUMENTS_DIR", "/k/"}, {"XDG_DOCUMENTS_DIR", "/x"}, {"HOME", "/home/u"}}, line),
              "/k");
    EXPECT_EQ(documentsFor({{"KORVEX_DOCUMENTS_DIR", ""}, {"XDG_DOCUMENTS_DIR", "/x//"}}, line), "/x");
    EXPECT_EQ(documentsFor({{"HOME", "/home/u/"}}, std::nullopt), "/home/u/Documents");
    EXPECT_EQ(
        documentsFor({{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/cfg"}}, line, std::nullopt, "/cfg/user-dirs.dirs"),
        "/home/u/Docs");

    // Without HOME the password entry gives the file's folder, $HOME and the fallback.
    EXPECT_EQ(documentsFor({}, line, "/home/u"), "/home/u/Docs");
    EXPECT_EQ(documentsFor({{"HOME", ""}}, std::nullopt, "/home/u"), "/home/u/Documents");
    EXPECT_EQ(documentsFor({{"HOME", "/elsewhere"}}, std::nullopt, "/home/u"), "/elsewhere/Documents");
    // No home at all: an absolute line from an explicit config folder still counts.
    EXPECT_EQ(documentsFor({{"XDG_CONFIG_HOME", "/cfg"}}, "XDG_DOCUMENTS_DIR=\"/abs\"\n", std::nullopt,
                           "/cfg/user-dirs.dirs"),
              "/abs");
    EXPECT_EQ(documentsFor({{"XDG_CONFIG_HOME", "/cfg"}}, line, std::nullopt, "/cfg/user-dirs.dirs"), "");
    EXPECT_EQ(documentsFor({}, std::nullopt), "");
    EXPECT_FALSE(PasswordDatabaseHome().value_or("").empty()) << "the test user has a password entry";
}

// The host puts the browser profile and console.log in the library's work folder, so both
// must resolve the same folder from the same environment.
TEST(DocumentsFolder, HostAndLibraryAgree) {
    TempDir home;
    std::filesystem::create_directories(home.path() / ".config");
    std::ofstream(home.path() / ".config" / "user-dirs.dirs") << "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                                              << "XDG_DOCUMENTS_DIR=\"$HOME/Old\"\n"
                                                              << "XDG_DOCUMENTS_DIR=\"$HOME/Werk \\\"map\\\"/\"\n";
    ScopedEnv homeVar("HOME", home.str());
    ScopedEnv korvex("KORVEX_DOCUMENTS_DIR", std::nullopt);
    ScopedEnv xdg("XDG_DOCUMENTS_DIR", std::nullopt);
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);

    std::string documents = FindDocumentsDirectory(ProcessEnvironment, ReadWholeFile);
    EXPECT_EQ(documents, home.str() + "/Werk \"map\"");
    FileSystem files(nullptr);
    EXPECT_EQ(files.getWorkFileDir(), WorkFilesDirectory(documents) + "/");
    EXPECT_TRUE(std::filesystem::is_directory(WorkFilesDirectory(documents)));
}
