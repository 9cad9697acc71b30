#include "device/api/KorvexListener.h"

#include <vector>

KorvexListener::KorvexListener(Callback callback) : callback(callback) {}

KorvexListener::~KorvexListener() = default;

void KorvexListener::deliver(const std::string& script) const {
    if (callback)
        callback(script.c_str());
}

std::string KorvexListener::escapeScriptText(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '\\': out += "\\\\"; continue;
        case '\'': out += "\\'"; continue;
        case '"': out += "\\\""; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (c < 0x20 || c == 0x7f) {
            // Other control characters (NUL would also cut the text at the callback).
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0x0f];
            continue;
        }
        // U+2028 and U+2029 (UTF-8 E2 80 A8/A9) end a line inside a script string too.
        if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
             static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 2;
            continue;
        }
        out += static_cast<char>(c);
    }
    return out;
}

bool KorvexListener::isSafeArgsExpression(std::string_view args) {
    std::vector<char> open;
    char quote = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const auto c = static_cast<unsigned char>(args[i]);
        // A line break ends a string literal with a syntax error, and outside one it could
        // hide behind a line comment; refuse it everywhere, with the line separators.
        if (c == '\n' || c == '\r' || c == 0)
            return false;
        if (c == 0xE2 && i + 2 < args.size() && static_cast<unsigned char>(args[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(args[i + 2]) == 0xA8 ||
             static_cast<unsigned char>(args[i + 2]) == 0xA9))
            return false;
        if (quote) {
            if (c == '\\') {
                if (i + 1 >= args.size())
                    return false;
                ++i;
            } else if (c == static_cast<unsigned char>(quote)) {
                quote = 0;
            }
            continue;
        }
        switch (c) {
        case '\'':
        case '"': quote = static_cast<char>(c); break;
        case '`': return false; // template literals can run code inside ${...}
        case ';': return false;
        case '/':
            if (i + 1 < args.size() && (args[i + 1] == '/' || args[i + 1] == '*'))
                return false;
            break;
        case ',':
            if (open.empty())
                return false; // would pass a second argument or add a member to the event
            break;
        case '(': open.push_back(')'); break;
        case '[': open.push_back(']'); break;
        case '{': open.push_back('}'); break;
        case ')':
        case ']':
        case '}':
            if (open.empty() || open.back() != static_cast<char>(c))
                return false;
            open.pop_back();
            break;
        default: break;
        }
    }
    return quote == 0 && open.empty();
}

std::string KorvexListener::logScript(std::string_view line) {
    return "console.log('" + escapeScriptText(line) + "')";
}

std::string KorvexListener::errorScript(std::string_view message) {
    return "console.log('** ERROR => " + escapeScriptText(message) + "')";
}

std::string KorvexListener::warningScript(std::string_view message) {
    return "console.log('** WARNING => " + escapeScriptText(message) + "')";
}

std::string KorvexListener::eventScript(std::string_view name, std::string_view args) {
    std::string event = "{ name: '" + escapeScriptText(name) + "'";
    if (!args.empty()) {
        event += ", args: ";
        if (isSafeArgsExpression(args))
            event += args;
        else
            event += "'" + escapeScriptText(args) + "'";
    }
    event += " }";
    return "KorvexEventHandler.sendEvent(" + event + ")";
}

void KorvexListener::log(std::string line) { deliver(logScript(line)); }

bool KorvexListener::error(int code, std::string detail) {
    deliver(errorScript(errorMessage(code, std::move(detail))));
    return false;
}

void KorvexListener::warning(int code, std::string detail) {
    deliver(warningScript(errorMessage(code, std::move(detail))));
}

void KorvexListener::donglePluggedIn() {}

void KorvexListener::dongleNotPluggedIn() {}

void KorvexListener::replyReceived(int command, int first, int second) {
    // The page learns about three replies directly: a new fixed configuration, the
    // acknowledged start of streaming, and a status that leaves Data mode.
    constexpr int getFixedConfigReply = 0x27;
    constexpr int ack = 0xAA;
    constexpr int startAsymetricData = 0x2C;
    constexpr int startData = 0x20;
    constexpr int getDongleStatusReply = 0x14;
    constexpr int dataMode = 16;
    if (command == getFixedConfigReply)
        sendEvent("fixedConfigChanged", "");
    else if (command == ack && (first == startAsymetricData || first == startData))
        sendEvent("dataStarted", "");
    else if (command == getDongleStatusReply && first != dataMode && second == dataMode)
        sendEvent("dataStopped", "");
}

void KorvexListener::hardwareStateChanged() { sendEvent("hardwareStateChanged", ""); }

void KorvexListener::acquisitionStackChanged() { sendEvent("acquisitionStackChanged", ""); }

void KorvexListener::findRemoteResult(int remoteID) {
    sendEvent("findRemoteResult", std::to_string(remoteID));
}

void KorvexListener::sensorRecalibrated(int remote, int sensorType) {
    sendEvent("sensorRecalibrated", "{ remote: " + std::to_string(remote) +
                                        ", sensorType: " + std::to_string(sensorType) + " }");
}

void KorvexListener::sendEvent(std::string name, std::string args) {
    deliver(eventScript(name, args));
}
