#include "ScriptEvents.h"

namespace {

constexpr std::string_view eventPrefix = "KorvexEventHandler.sendEvent({ name: '";
constexpr std::string_view eventSuffix = " })";
constexpr std::string_view consolePrefix = "console.log('";
constexpr std::string_view consoleSuffix = "')";
constexpr std::string_view errorPrefix = "** ERROR => ";
constexpr std::string_view warningPrefix = "** WARNING => ";

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads `count` hex digits at `pos`; -1 when they are not all there.
long readHex(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos + count > text.size())
        return -1;
    long value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        int d = hexDigit(text[pos + i]);
        if (d < 0)
            return -1;
        value = value * 16 + d;
    }
    return value;
}

void appendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Position of the quote that ends the single-quoted string starting at `pos`, or npos.
std::size_t closingQuote(std::string_view text, std::size_t pos) {
    for (std::size_t i = pos; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '\'')
            return i;
    }
    return std::string_view::npos;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

} // namespace

std::string unescapeScriptString(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        char e = text[++i];
        switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
            long v = readHex(text, i + 1, 2);
            if (v < 0) {
                out += e;
            } else {
                out += static_cast<char>(v);
                i += 2;
            }
            break;
        }
        case 'u': {
            long v = readHex(text, i + 1, 4);
            if (v < 0) {
                out += e;
            } else {
                appendUtf8(out, static_cast<unsigned long>(v));
                i += 4;
            }
            break;
        }
        default: out += e; break; // \\, \', \" and anything unknown
        }
    }
    return out;
}

ScriptMessage parseScriptText(std::string_view script) {
    ScriptMessage m;
    m.received = std::chrono::steady_clock::now();
    if (startsWith(script, eventPrefix) && endsWith(script, eventSuffix)) {
        std::size_t nameStart = eventPrefix.size();
        std::size_t nameEnd = closingQuote(script, nameStart);
        std::size_t bodyEnd = script.size() - eventSuffix.size();
        if (nameEnd != std::string_view::npos && nameEnd <= bodyEnd) {
            std::string_view rest = script.substr(nameEnd + 1, bodyEnd - nameEnd - 1);
            constexpr std::string_view argsPrefix = ", args: ";
            if (rest.empty() || startsWith(rest, argsPrefix)) {
                m.kind = ScriptMessage::Kind::Event;
                m.name = unescapeScriptString(script.substr(nameStart, nameEnd - nameStart));
                if (!rest.empty())
                    m.args = std::string(rest.substr(argsPrefix.size()));
                return m;
            }
        }
    } else if (startsWith(script, consolePrefix) && endsWith(script, consoleSuffix) &&
               script.size() >= consolePrefix.size() + consoleSuffix.size()) {
        std::string text = unescapeScriptString(script.substr(
            consolePrefix.size(), script.size() - consolePrefix.size() - consoleSuffix.size()));
        if (startsWith(text, errorPrefix)) {
            m.kind = ScriptMessage::Kind::Error;
            m.text = text.substr(errorPrefix.size());
        } else if (startsWith(text, warningPrefix)) {
            m.kind = ScriptMessage::Kind::Warning;
            m.text = text.substr(warningPrefix.size());
        } else {
            m.kind = ScriptMessage::Kind::Log;
            m.text = std::move(text);
        }
        return m;
    }
    m.kind = ScriptMessage::Kind::Unknown;
    m.text = std::string(script);
    return m;
}

std::string problemLine(const ScriptMessage& message) {
    if (message.kind == ScriptMessage::Kind::Error)
        return "** ERROR => " + message.text;
    if (message.kind == ScriptMessage::Kind::Warning)
        return "** WARNING => " + message.text;
    return message.text;
}

void EventLog::setObserver(std::function<void(const ScriptMessage&)> callback) {
    std::lock_guard lock(mutex);
    observer = std::move(callback);
}

void EventLog::add(std::string_view script) { add(parseScriptText(script)); }

void EventLog::add(ScriptMessage message) {
    std::function<void(const ScriptMessage&)> notify;
    {
        std::lock_guard lock(mutex);
        messages.push_back(message);
        notify = observer;
    }
    changed.notify_all();
    if (notify)
        notify(message);
}

std::size_t EventLog::mark() const {
    std::lock_guard lock(mutex);
    return messages.size();
}

std::optional<ScriptMessage> EventLog::waitForEvent(const std::string& name, std::size_t from,
                                                    std::chrono::milliseconds timeout,
                                                    const std::function<bool()>& cancelled) const {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex);
    std::size_t next = from;
    while (true) {
        for (; next < messages.size(); ++next)
            if (messages[next].kind == ScriptMessage::Kind::Event && messages[next].name == name)
                return messages[next];
        auto now = Clock::now();
        if (now >= deadline)
            return std::nullopt;
        if (cancelled) {
            lock.unlock();
            bool stop = cancelled();
            lock.lock();
            if (stop)
                return std::nullopt;
        }
        auto slice = std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(50));
        changed.wait_for(lock, slice);
    }
}

std::vector<std::string> EventLog::problemsSince(std::size_t from) const {
    std::lock_guard lock(mutex);
    std::vector<std::string> lines;
    for (std::size_t i = from; i < messages.size(); ++i)
        if (messages[i].kind == ScriptMessage::Kind::Error ||
            messages[i].kind == ScriptMessage::Kind::Warning)
            lines.push_back(problemLine(messages[i]));
    return lines;
}

std::vector<ScriptMessage> EventLog::since(std::size_t from) const {
    std::lock_guard lock(mutex);
    if (from >= messages.size())
        return {};
    return {messages.begin() + static_cast<std::ptrdiff_t>(from), messages.end()};
}
