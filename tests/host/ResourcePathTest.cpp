#include "host/resources/ResourcePath.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

void expectServed(std::string_view address, const std::string& path, const std::string& mime) {
    auto parsed = ParseResourcePath(address);
    ASSERT_TRUE(parsed.has_value()) << address;
    EXPECT_EQ(parsed->relativePath, path) << address;
    EXPECT_EQ(parsed->mimeType, mime) << address;
}

} // namespace

TEST(ResourcePath, AddressesOfTheApplicationMapToFilesAndTypes) {
    expectServed("http://res/client/app.html", "client/app.html", "text/html");
    expectServed("http://res/client/app", "client/app.html", "text/html");
    expectServed("http://res/client/app.html?x=1#top", "client/app.html", "text/html");
    expectServed("http://res/client/app#top?x", "client/app.html", "text/html");
    expectServed("http://res/lib/x.js", "lib/x.js", "application/javascript");
    expectServed("http://res/a_b-c+d/E9.css", "a_b-c+d/E9.css", "text/css");
    expectServed("http://res/img/i.png", "img/i.png", "image/png");
    expectServed("http://res/img/i.gif", "img/i.gif", "image/gif");
    expectServed("http://res/img/i.svg", "img/i.svg", "image/svg");
    expectServed("http://res/f/f.eot", "f/f.eot", "font/eot");
    expectServed("http://res/f/f.ttf", "f/f.ttf", "font/ttf");
    expectServed("http://res/f/f.woff", "f/f.woff", "application/font-woff");
    // "." segments are harmless: they stay below the program folder.
    expectServed("http://res/./a.js", "./a.js", "application/javascript");
}

TEST(ResourcePath, RefusedAddresses) {
    for (const char* address : {
             "http://res/",              // no file named
             "http://res/?x=1",          // still no file
             "http://res",               // prefix incomplete
             "https://res/app.html",     // other scheme: not ours
             "http://RES/app.html",      // prefix is case-sensitive
             "http://resx/app.html",     // other host
             "http://res/lib/x.JS",      // extension is case-sensitive
             "http://res/my%20file.css", // '%' not allowed
             "http://res/my file.css",   // space not allowed
             "http://res/a\\b.js",       // backslash not allowed
             "http://res/\xc3\xa9.html", // non-ASCII not allowed
             "http://res/a.b/c",         // last "." is in a folder name: extension "b/c"
             "http://res/x.htm",
             "http://res/x.jpg",
             "http://res/x.json",
             "http://res/x.woff2",
             "http://res/x.",
             "http://res/.",
             "http://res/x.html:80",
         }) {
        EXPECT_FALSE(ParseResourcePath(address).has_value()) << address;
    }
}

TEST(ResourcePath, ParentSegmentsNeverLeaveTheProgramFolder) {
    EXPECT_FALSE(ParseResourcePath("http://res/../etc/passwd.html").has_value());
    EXPECT_FALSE(ParseResourcePath("http://res/client/../../secret.js").has_value());
    EXPECT_FALSE(ParseResourcePath("http://res/..").has_value());
    EXPECT_FALSE(ParseResourcePath("http://res/client/..").has_value());
    // Dots inside a name are not a parent segment.
    expectServed("http://res/a..b/c...js", "a..b/c...js", "application/javascript");
}

class ResourceFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(base / "client" / "sub.d");
        writeFile(base / "client" / "app.html", "<html>app</html>");
        writeFile(base / "client" / "bin.png", std::string("\x89PNG\0\x01\xff", 7));
    }
    TempDir folder;
    std::filesystem::path base = folder.path();
};

TEST_F(ResourceFolder, ServesFileContentWithItsType) {
    auto answer = AnswerResourceRequest(base.string(), "http://res/client/app?v=2");
    ASSERT_TRUE(answer.served);
    EXPECT_EQ(answer.mimeType, "text/html");
    EXPECT_EQ(answer.body, "<html>app</html>");

    auto binary = AnswerResourceRequest(base.string(), "http://res/client/bin.png");
    ASSERT_TRUE(binary.served);
    EXPECT_EQ(binary.body, std::string("\x89PNG\0\x01\xff", 7)); // bytes unchanged, NUL kept
}

TEST_F(ResourceFolder, MissingFilesFoldersAndBadPathsAreNotServed) {
    EXPECT_FALSE(AnswerResourceRequest(base.string(), "http://res/client/missing.html").served);
    EXPECT_FALSE(AnswerResourceRequest(base.string(), "http://res/client/sub.d").served);
    EXPECT_FALSE(AnswerResourceRequest(base.string(), "http://res/client/app.HTML").served);
    // A doubled slash is joined as text and stays below the folder.
    EXPECT_TRUE(AnswerResourceRequest(base.string(), "http://res//client/app.html").served);
    EXPECT_FALSE(ReadResourceFile(base.string(), "/etc/hostname").has_value());
}
