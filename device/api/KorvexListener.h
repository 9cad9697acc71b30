// KorvexListener: the end of the listener chain. It turns each report into a short piece of
// script for the page and hands it to the host's callback.
//
// Every text placed inside a quoted part of a script (log lines, messages, event names) is
// escaped, so a quote, backslash or line break in it can neither end the script early nor
// add script of its own. An event's args are a script expression by contract (a number, an
// object literal, a quoted string); an args text that would not stay one expression inside
// the event call is delivered as a quoted string instead.
#pragma once

#include "device/base/IKorvexListener.h"

#include <string>
#include <string_view>

class KorvexListener : public IKorvexListener {
public:
    using Callback = void (*)(const char*);

    // `callback` may be null: then every report is dropped silently.
    explicit KorvexListener(Callback callback);
    ~KorvexListener() override;

    void log(std::string line) override;
    bool error(int code, std::string detail) override;
    void warning(int code, std::string detail) override;
    void donglePluggedIn() override;
    void dongleNotPluggedIn() override;
    void replyReceived(int command, int first, int second) override;
    void hardwareStateChanged() override;
    void acquisitionStackChanged() override;
    void findRemoteResult(int remoteID) override;
    void sensorRecalibrated(int remote, int sensorType) override;
    void sendEvent(std::string name, std::string args) override;

    // The host's callback; null drops all output.
    Callback callback;

    // The script texts, exposed for tests and for anything that needs the same formatting.
    static std::string logScript(std::string_view line);
    static std::string errorScript(std::string_view message);
    static std::string warningScript(std::string_view message);
    static std::string eventScript(std::string_view name, std::string_view args);

    // Escapes a text for the inside of a single-quoted script string.
    static std::string escapeScriptText(std::string_view text);
    // True when `args` is one self-contained script expression: brackets balanced, string
    // literals closed, no statement separator, comment or template literal at its top level.
    static bool isSafeArgsExpression(std::string_view args);

private:
    void deliver(const std::string& script) const;
};
