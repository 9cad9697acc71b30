#include "device/common/DocumentsFolder.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace {

std::optional<std::string> nonEmpty(std::optional<std::string> value) {
    if (value && !value->empty())
        return value;
    return std::nullopt;
}

// Every trailing "/" removed, so that "/" becomes "": for joining a folder and "/name".
std::string joinable(std::string folder) {
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    return folder;
}

std::string withoutTrailingSlashes(const std::string& folder) {
    std::string result = joinable(folder);
    return result.empty() && !folder.empty() ? "/" : result;
}

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The folder of one XDG_DOCUMENTS_DIR line, given the text after the "=": what the shell
// would assign when the file is sourced, limited to the forms the desktop writes.
std::optional<std::string> userDirsValue(std::string_view text, const std::string& home) {
    char quote = 0;
    if (!text.empty() && (text.front() == '"' || text.front() == '\'')) {
        quote = text.front();
        text.remove_prefix(1);
    }
    bool underHome = false;
    if (quote != '\'') {
        if (text.substr(0, 7) == "${HOME}") {
            underHome = true;
            text.remove_prefix(7);
        } else if (text.substr(0, 5) == "$HOME" &&
                   (text.size() == 5 || !isNameCharacter(text[5]))) {
            underHome = true;
            text.remove_prefix(5);
        }
    }
    if (underHome && home.empty())
        return std::nullopt;

    std::string value;
    bool closed = quote == 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote && c == quote) {
            closed = true;
            break;
        }
        if (!quote && (c == ' ' || c == '\t' || c == '\r'))
            break;
        if (c == '\\' && quote != '\'' && i + 1 < text.size())
            c = text[++i];
        value += c;
    }
    if (!closed)
        return std::nullopt;
    if (underHome) {
        value.insert(0, joinable(home));
        if (value.empty())
            value.push_back('/'); // home is the root folder
    }
    if (value.empty() || value.front() != '/')
        return std::nullopt;
    return value;
}

// The last usable XDG_DOCUMENTS_DIR line of a user-dirs.dirs file, as the shell would have it.
std::optional<std::string> documentsFromUserDirs(const std::string& content,
                                                 const std::string& home) {
    constexpr std::string_view key = "XDG_DOCUMENTS_DIR=";
    std::istringstream lines(content);
    std::string line;
    std::optional<std::string> found;
    while (std::getline(lines, line)) {
        std::string_view rest(line);
        std::size_t start = rest.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            continue;
        rest.remove_prefix(start);
        if (rest.substr(0, key.size()) != key)
            continue;
        if (auto value = userDirsValue(rest.substr(key.size()), home))
            found = value;
    }
    return found;
}

} // namespace

std::optional<std::string> ProcessEnvironment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (!value)
        return std::nullopt;
    return std::string(value);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::optional<std::string> PasswordDatabaseHome() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result ||
        !result->pw_dir)
        return std::nullopt;
    return nonEmpty(std::string(result->pw_dir));
}

std::string FindDocumentsDirectory(const EnvironmentLookup& env, const FileReader& readFile,
                                   const PasswordHomeLookup& passwordHome) {
    if (auto folder = nonEmpty(env("KORVEX_DOCUMENTS_DIR")))
        return withoutTrailingSlashes(*folder);
    if (auto folder = nonEmpty(env("XDG_DOCUMENTS_DIR")))
        return withoutTrailingSlashes(*folder);

    std::string home = nonEmpty(env("HOME")).value_or("");
    if (home.empty())
        home = nonEmpty(passwordHome()).value_or("");

    std::optional<std::string> configHome = nonEmpty(env("XDG_CONFIG_HOME"));
    if (!configHome && !home.empty())
        configHome = joinable(home) + "/.config";
    if (configHome)
        if (auto content = readFile(joinable(*configHome) + "/user-dirs.dirs"))
            if (auto folder = documentsFromUserDirs(*content, home))
                return withoutTrailingSlashes(*folder);

    if (home.empty())
        return {};
    return joinable(home) + "/Documents";
}
