// EventDispatch: the library-wide dispatcher. The API object and the storage components
// report through it; it stamps log lines with the local time and forwards every report to
// the KorvexListener at the end of the chain.
#pragma once

#include "device/base/IKorvexListener.h"

#include <string>

class EventDispatch : public IKorvexListener {
public:
    // `listener` is not owned; null drops every report.
    explicit EventDispatch(IKorvexListener* listener);
    ~EventDispatch() override;

    // Prefixes the line with the local time ("2015-Mar-02 14:05:09.125000 ", the fraction
    // only when it is not zero) and forwards it.
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

    // The current local time as the prefix text, without the trailing space.
    static std::string timeStamp();

    IKorvexListener* listener;
};
