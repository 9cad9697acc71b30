// CommandSender: sends the command queue to the dongle, one command at a time.
//
// After writing a frame the sender sets the queue's flag ("waiting for an answer") and
// looks at it every 50 ms. The reply handling clears it through Protocol::commandAnswered
// once it has handled any answer from the dongle; the sender then moves on at its next
// look. Answers are not matched to commands: the dongle answers every command, so a reply
// of any kind ends the wait. With no answer after ten looks (500 ms) the frame is written
// a second time, the sender pauses 250 ms and moves on regardless: there is no third
// attempt and no error report, only the log lines.
//
// Log lines: "CommandSender::listenLoop: >>> NAME" for each frame, "... --- NAME (n)" for
// each look that finds no answer yet (n = 0..9), "... >>> NAME (Second attempt)".
#pragma once

#include "device/link/protocol/CommandNames.h"
#include "device/link/protocol/Packet.h"
#include "device/link/protocol/PacketQueue.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>

class IKorvexListener;
class ISerialDevice;
class Protocol;

class CommandSender {
public:
    static constexpr std::chrono::milliseconds lookPeriod{50};
    static constexpr int looks = 10;
    static constexpr std::chrono::milliseconds secondAttemptPause{250};

    // Neither the listener (used for log lines only) nor the device nor the protocol is
    // owned; the command queue is the protocol's.
    CommandSender(IKorvexListener* listener, ISerialDevice* device, Protocol* protocol);

    // The sender thread's body: sends whatever is queued, in order, then waits for more.
    // Returns promptly when `stop` is requested (frames still queued stay in the queue).
    void listenLoop(std::stop_token stop);

    IKorvexListener* listener;
    ISerialDevice* device;
    PacketQueue* queue;
    CommandNames names;

private:
    void send(const Packet& frame, std::stop_token stop);
    // Sleeps until `deadline`; false when a stop was requested.
    bool sleepUntil(std::stop_token stop, std::chrono::steady_clock::time_point deadline);
    void log(const std::string& line);

    std::mutex sleepMutex;
    std::condition_variable_any sleepCondition;
};
