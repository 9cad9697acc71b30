#include "host/shell/LoadErrorPages.h"

#include "host/shell/NetErrorList.h"

#include <algorithm>

int NetErrorCode(std::string_view errorText) {
    constexpr std::string_view prefix = "net::ERR_";
    if (errorText.substr(0, prefix.size()) == prefix)
        errorText.remove_prefix(prefix.size());
    else if (errorText.substr(0, 4) == "ERR_")
        errorText.remove_prefix(4);
    auto it = std::lower_bound(
        kNetErrors.begin(), kNetErrors.end(), errorText,
        [](const NetError& entry, std::string_view name) { return entry.name < name; });
    if (it != kNetErrors.end() && it->name == errorText)
        return it->code;
    return -2;
}

std::string EscapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::optional<std::string> LoadErrorPage(int code, std::string_view failedAddress,
                                         std::string_view errorText) {
    if (code == kNetErrorAborted)
        return std::nullopt;
    if (code == kNetErrorConnectionRefused) {
        return std::string("<html>") + "<head>" + " <style>" + "p, h2 {margin: 10px;}" +
               "h2 {font-weight: 500;}" + " </style>" + "</head>" +
               "<body style='font-family: \"Helvetica Neue\", Helvetica, Arial, sans-serif;'>" +
               "  <h2>Error</h2>" + "  <p>The connection to the repository failed !</p>" +
               "  <p>Please verify your internet connection.</p>" + "</body>" + "</html>";
    }
    // The address and the text are escaped: an address may carry markup characters in its
    // query, and the page must show them, not run them.
    return std::string("<html><body>") + "<h2>" + "Failed to load URL " +
           EscapeHtml(failedAddress) + " with error " + EscapeHtml(errorText) + " (" +
           std::to_string(code) + ")." + "</h2>" + "</body></html>";
}
