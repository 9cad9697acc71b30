// The pages shown in place of a document that failed to load.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr int kNetErrorAborted = -3;
inline constexpr int kNetErrorConnectionRefused = -102;

// The browser's number for one of its "net::ERR_..." texts; -2 (a generic failure) for a text
// it does not know.
int NetErrorCode(std::string_view errorText);

// The page for a failed load: the repository page for a refused connection, the generic page
// naming the address, the error text and the code otherwise, and none for an aborted load,
// which is left alone.
std::optional<std::string> LoadErrorPage(int code, std::string_view failedAddress,
                                         std::string_view errorText);

// Text placed into a page as HTML markup cannot open a tag or an attribute.
std::string EscapeHtml(std::string_view text);
