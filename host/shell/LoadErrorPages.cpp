#include "host/shell/LoadErrorPages.h"

#include <array>
#include <utility>

namespace {

// The browser's network error numbers for the texts it reports with a failed load.
constexpr std::array<std::pair<std::string_view, int>, 60> kNetErrors{{
    {"FAILED", -2},
    {"ABORTED", -3},
    {"INVALID_ARGUMENT", -4},
    {"INVALID_HANDLE", -5},
    {"FILE_NOT_FOUND", -6},
    {"TIMED_OUT", -7},
    {"FILE_TOO_BIG", -8},
    {"UNEXPECTED", -9},
    {"ACCESS_DENIED", -10},
    {"NOT_IMPLEMENTED", -11},
    {"INSUFFICIENT_RESOURCES", -12},
    {"OUT_OF_MEMORY", -13},
    {"UPLOAD_FILE_CHANGED", -14},
    {"SOCKET_NOT_CONNECTED", -15},
    {"FILE_EXISTS", -16},
    {"FILE_PATH_TOO_LONG", -17},
    {"FILE_NO_SPACE", -18},
    {"FILE_VIRUS_INFECTED", -19},
    {"BLOCKED_BY_CLIENT", -20},
    {"NETWORK_CHANGED", -21},
    {"BLOCKED_BY_ADMINISTRATOR", -22},
    {"SOCKET_IS_CONNECTED", -23},
    {"UPLOAD_STREAM_REWIND_NOT_SUPPORTED", -25},
    {"CONTEXT_SHUT_DOWN", -26},
    {"BLOCKED_BY_RESPONSE", -27},
    {"CLEARTEXT_NOT_PERMITTED", -29},
    {"BLOCKED_BY_CSP", -30},
    {"BLOCKED_BY_ORB", -32},
    {"NETWORK_ACCESS_REVOKED", -33},
    {"CONNECTION_CLOSED", -100},
    {"CONNECTION_RESET", -101},
    {"CONNECTION_REFUSED", -102},
    {"CONNECTION_ABORTED", -103},
    {"CONNECTION_FAILED", -104},
    {"NAME_NOT_RESOLVED", -105},
    {"INTERNET_DISCONNECTED", -106},
    {"SSL_PROTOCOL_ERROR", -107},
    {"ADDRESS_INVALID", -108},
    {"ADDRESS_UNREACHABLE", -109},
    {"SSL_CLIENT_AUTH_CERT_NEEDED", -110},
    {"TUNNEL_CONNECTION_FAILED", -111},
    {"NO_SSL_VERSIONS_ENABLED", -112},
    {"SSL_VERSION_OR_CIPHER_MISMATCH", -113},
    {"SSL_RENEGOTIATION_REQUESTED", -114},
    {"PROXY_AUTH_UNSUPPORTED", -115},
    {"CONNECTION_TIMED_OUT", -118},
    {"HOST_RESOLVER_QUEUE_TOO_LARGE", -119},
    {"SOCKS_CONNECTION_FAILED", -120},
    {"PROXY_CONNECTION_FAILED", -130},
    {"NAME_RESOLUTION_FAILED", -137},
    {"NETWORK_ACCESS_DENIED", -138},
    {"CERT_COMMON_NAME_INVALID", -200},
    {"CERT_DATE_INVALID", -201},
    {"CERT_AUTHORITY_INVALID", -202},
    {"INVALID_URL", -300},
    {"DISALLOWED_URL_SCHEME", -301},
    {"UNKNOWN_URL_SCHEME", -302},
    {"TOO_MANY_REDIRECTS", -310},
    {"INVALID_RESPONSE", -320},
    {"EMPTY_RESPONSE", -324},
}};

}  // namespace

int NetErrorCode(std::string_view errorText) {
    constexpr std::string_view prefix = "net::ERR_";
    if (errorText.substr(0, prefix.size()) == prefix) errorText.remove_prefix(prefix.size());
    else if (errorText.substr(0, 4) == "ERR_") errorText.remove_prefix(4);
    for (const auto& [name, code] : kNetErrors)
        if (name == errorText) return code;
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
    if (code == kNetErrorAborted) return std::nullopt;
    if (code == kNetErrorConnectionRefused) {
        return std::string("<html>") + "<head>" + " <style>" + "p, h2 {margin: 10px;}" +
               "h2 {font-weight: 500;}" + " </style>" + "</head>" +
               "<body style='font-family: \"Helvetica Neue\", Helvetica, Arial, sans-serif;'>" +
               "  <h2>Error</h2>" + "  <p>The connection to the repository failed !</p>" +
               "  <p>Please verify your internet connection.</p>" + "</body>" + "</html>";
    }
    // The address and the text are escaped: an address may carry markup characters in its
    // query, and the page must show them, not run them.
    return std::string("<html><body>") + "<h2>" + "Failed to load URL " + EscapeHtml(failedAddress) +
           " with error " + EscapeHtml(errorText) + " (" + std::to_string(code) + ")." + "</h2>" +
           "</body></html>";
}
