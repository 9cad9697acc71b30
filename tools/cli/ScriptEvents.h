// What the library tells a host through its callback: event scripts and console lines.
//
// The library hands every event and log line over as a short piece of script meant for a
// web page. A command-line host has no page, so it reads the texts back: the event name
// and its argument expression, or the console line with its kind (log, error, warning).
// EventLog keeps every message in arrival order, with its arrival time, and lets the
// caller wait for a named event with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ScriptMessage {
    enum class Kind { Event, Log, Error, Warning, Unknown };
    Kind kind = Kind::Unknown;
    std::string name; // event name (events only)
    std::string args; // the args expression as written, empty when absent (events only)
    std::string
        text; // console text without the "** ERROR => " style prefix; whole script for Unknown
    std::chrono::steady_clock::time_point received;
};

// Reads one script text. Never fails: a text of an unexpected shape comes back as Unknown
// with the script itself as text.
ScriptMessage parseScriptText(std::string_view script);

// Undoes the escaping of a single-quoted script string (\\, \', \", \n, \r, \t, \xHH,
// \uHHHH). An unknown escape keeps the escaped character.
std::string unescapeScriptString(std::string_view text);

class EventLog {
public:
    using Clock = std::chrono::steady_clock;

    // Called for every message as it arrives, on the library's thread, outside the lock.
    void setObserver(std::function<void(const ScriptMessage&)> observer);

    void add(std::string_view script);
    void add(ScriptMessage message);

    // Position of the next message: pass it to the queries below to look only at what
    // arrives after this moment.
    std::size_t mark() const;

    // Waits until an event named `name` is at or after `from`, for at most `timeout`, or
    // until `cancelled` returns true (checked every 50 ms). Returns the event.
    std::optional<ScriptMessage> waitForEvent(const std::string& name, std::size_t from,
                                              std::chrono::milliseconds timeout,
                                              const std::function<bool()>& cancelled = {}) const;

    // Error and warning lines at or after `from`, in order, with their "** ERROR" prefix.
    std::vector<std::string> problemsSince(std::size_t from) const;
    std::vector<ScriptMessage> since(std::size_t from) const;

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<ScriptMessage> messages;
    std::function<void(const ScriptMessage&)> observer;
};

// The text shown to a user for an error or warning message.
std::string problemLine(const ScriptMessage& message);
