// Local resources: the web application's files, served to the browser under "http://res/".
//
// Everything here is a pure function of its arguments (and, for ProgramDirectory, of the
// running program's own path), so it may be called for several requests at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Every address that begins with this prefix (compared exactly, case-sensitively) is answered
// from the program's folder; no other address is touched.
inline constexpr std::string_view kResourcePrefix = "http://res/";

struct ResourcePath {
    std::string relativePath; // below the program folder, forward slashes, no leading "/"
    std::string mimeType;
};

// Maps an address to a file below the program folder and its MIME type. Fails (nullopt) for
// a wrong prefix, an empty path, a character outside [A-Za-z0-9_./+-], a ".." segment, or an
// extension that is not in the MIME table. A path without any "." means an ".html" page.
// Query and fragment play no part.
std::optional<ResourcePath> ParseResourcePath(std::string_view address);

// The MIME type of an extension (the text after the last "."), or nullopt when it is not one
// the application may use. Case-sensitive: "JS" is not "js".
std::optional<std::string> MimeTypeForExtension(std::string_view extension);

// The folder that holds the running program file, full UTF-8 path without a trailing "/".
std::string ProgramDirectory();

// The content of baseDirectory + "/" + relativePath, or nullopt when that is not a readable
// regular file. The relative path is joined as text, so it can never replace the base.
std::optional<std::string> ReadResourceFile(const std::string& baseDirectory,
                                            const std::string& relativePath);

// What the browser gets for one request below the prefix.
struct ResourceAnswer {
    bool served = false; // false: the request fails and the load-error page follows
    std::string mimeType;
    std::string body;
};

// ParseResourcePath followed by ReadResourceFile.
ResourceAnswer AnswerResourceRequest(const std::string& baseDirectory, std::string_view address);
