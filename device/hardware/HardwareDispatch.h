// HardwareDispatch: the listener every worker of the controller reports through.
//
// It forwards each report to the library's event dispatcher and, for some of them, queues
// the follow-up commands that keep the library's picture of the dongle current without the
// host asking: after plug-in, after a status reply, after a radio change and after a
// pairing step.
//
// A remote that was already on when the port opened need not announce itself: after the
// first pairing reply of each plug-in, every paired remote not yet known to be connected is
// asked for its status, and a reply is followed up as a radio connection would be.
#pragma once

#include "device/base/IKorvexListener.h"

#include <atomic>
#include <string>

class EventDispatch;
class HardwareAPI;
class HardwareState;
class Packet;
class Protocol;

class HardwareDispatch : public IKorvexListener {
public:
    HardwareDispatch(IKorvexListener* listener, HardwareAPI* hardware, HardwareState* state,
                     Protocol* protocol);
    ~HardwareDispatch() override;

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

    // Brings the dongle out of Data mode after a fault in the data path (a remote that is
    // not configured, a raw file that cannot be written).
    void abortDataStream();
    // The command sender gave up on `frame` (no answer to either attempt): an output setting
    // that waited for that answer frees its remote.
    void commandUnanswered(const Packet& frame);

    IKorvexListener* listener; // the library's event dispatcher; not owned
    HardwareAPI* hardware;     // the owning controller; may be null in tests
    HardwareState* hardwareState;
    Protocol* protocol;

private:
    // Follow-ups of a remote found on the radio: the dongle's mode, and the remote's
    // configuration again when it had one.
    void remoteConnected(int remote);

    // Forgets every request queued for the dongle, and the wait for an answer.
    void dropCommands();

    // Set at plug-in, taken by the first pairing reply after it.
    std::atomic<bool> askPairedRemotes{false};
};
