// IKorvexListener: the one channel through which the device library reports to its host.
//
// Log lines, numbered errors and warnings, and the events the page listens to all travel
// through this interface. The chain is component -> (HardwareDispatch) -> EventDispatch ->
// KorvexListener -> the host's callback. Listener operations may be entered from any of the
// library's threads at once; implementations take no lock and the message table is
// read-only after construction.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class IKorvexListener {
public:
    IKorvexListener();
    virtual ~IKorvexListener();

    virtual void log(std::string line) = 0;
    // Reports a numbered error; always returns false so that an operation can report and
    // fail in one step: `return dispatch->error(15, "");`
    virtual bool error(int code, std::string detail) = 0;
    virtual void warning(int code, std::string detail) = 0;
    virtual void donglePluggedIn() = 0;
    virtual void dongleNotPluggedIn() = 0;
    virtual void replyReceived(int command, int first, int second) = 0;
    virtual void hardwareStateChanged() = 0;
    virtual void acquisitionStackChanged() = 0;
    virtual void findRemoteResult(int remoteID) = 0;
    virtual void sensorRecalibrated(int remote, int sensorType) = 0;
    virtual void sendEvent(std::string name, std::string args) = 0;

    // The text of a numbered message: the table's text with `detail` in place of its "%1%"
    // (the text unchanged when `detail` is empty), or "Code N not defined" for a code the
    // table does not hold. Never throws: a detail for a text without "%1%" is appended as
    // " - detail" so that the line still says what it was about.
    std::string errorMessage(int code, std::string detail) const;

    // Error code -> message text; filled by the constructor, never changed afterwards.
    std::map<int32_t, std::string> errorMessages;
};
