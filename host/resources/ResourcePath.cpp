#include "host/resources/ResourcePath.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

// Extensions the web application may use, compared exactly; anything else is not served.
constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kMimeTable{{
    {"html", "text/html"},
    {"js", "application/javascript"},
    {"css", "text/css"},
    {"png", "image/png"},
    {"gif", "image/gif"},
    {"svg", "image/svg"},
    {"eot", "font/eot"},
    {"ttf", "font/ttf"},
    {"woff", "application/font-woff"},
}};

bool isAllowedPathCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c == '_' || c == '.' || c == '/' || c == '-' || c == '+';
}

// A ".." segment would climb out of the program folder; the browser normally removes them
// before the request is made, so one that arrives here is refused like any other bad path.
bool hasParentSegment(std::string_view path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (path.substr(start, end - start) == "..")
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

std::optional<std::string> MimeTypeForExtension(std::string_view extension) {
    for (const auto& [ext, mime] : kMimeTable)
        if (ext == extension)
            return std::string(mime);
    return std::nullopt;
}

std::optional<ResourcePath> ParseResourcePath(std::string_view address) {
    if (address.substr(0, kResourcePrefix.size()) != kResourcePrefix)
        return std::nullopt;
    // The path component: everything after the host up to a query or a fragment.
    std::string_view rest = address.substr(kResourcePrefix.size());
    rest = rest.substr(0, rest.find_first_of("?#"));
    if (rest.empty())
        return std::nullopt; // "http://res/" alone names no file

    for (char c : rest)
        if (!isAllowedPathCharacter(c))
            return std::nullopt;
    if (hasParentSegment(rest))
        return std::nullopt;

    ResourcePath result{std::string(rest), {}};
    size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos) {
        result.relativePath += ".html";
        result.mimeType = "text/html";
        return result;
    }
    auto mime = MimeTypeForExtension(rest.substr(dot + 1));
    if (!mime)
        return std::nullopt;
    result.mimeType = *mime;
    return result;
}

std::string ProgramDirectory() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return ".";
    return exe.parent_path().string();
}

std::optional<std::string> ReadResourceFile(const std::string& baseDirectory,
                                            const std::string& relativePath) {
    std::string full = baseDirectory + "/" + relativePath;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(full, ec))
        return std::nullopt;
    std::ifstream in(full, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return content;
}

ResourceAnswer AnswerResourceRequest(const std::string& baseDirectory, std::string_view address) {
    ResourceAnswer answer;
    auto path = ParseResourcePath(address);
    if (!path)
        return answer;
    auto body = ReadResourceFile(baseDirectory, path->relativePath);
    if (!body)
        return answer;
    answer.served = true;
    answer.mimeType = std::move(path->mimeType);
    answer.body = std::move(*body);
    return answer;
}
