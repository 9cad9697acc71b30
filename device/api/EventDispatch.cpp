#include "device/api/EventDispatch.h"

#include <boost/date_time/posix_time/posix_time.hpp>

EventDispatch::EventDispatch(IKorvexListener* listener) : listener(listener) {}

EventDispatch::~EventDispatch() = default;

std::string EventDispatch::timeStamp() {
    return boost::posix_time::to_simple_string(boost::posix_time::microsec_clock::local_time());
}

void EventDispatch::log(std::string line) {
    if (listener)
        listener->log(timeStamp() + " " + line);
}

bool EventDispatch::error(int code, std::string detail) {
    if (listener)
        listener->error(code, std::move(detail));
    return false;
}

void EventDispatch::warning(int code, std::string detail) {
    if (listener)
        listener->warning(code, std::move(detail));
}

void EventDispatch::donglePluggedIn() {
    if (listener)
        listener->donglePluggedIn();
}

void EventDispatch::dongleNotPluggedIn() {
    if (listener)
        listener->dongleNotPluggedIn();
}

void EventDispatch::replyReceived(int command, int first, int second) {
    if (listener)
        listener->replyReceived(command, first, second);
}

void EventDispatch::hardwareStateChanged() {
    if (listener)
        listener->hardwareStateChanged();
}

void EventDispatch::acquisitionStackChanged() {
    if (listener)
        listener->acquisitionStackChanged();
}

void EventDispatch::findRemoteResult(int remoteID) {
    if (listener)
        listener->findRemoteResult(remoteID);
}

void EventDispatch::sensorRecalibrated(int remote, int sensorType) {
    if (listener)
        listener->sensorRecalibrated(remote, sensorType);
}

void EventDispatch::sendEvent(std::string name, std::string args) {
    if (listener)
        listener->sendEvent(std::move(name), std::move(args));
}
