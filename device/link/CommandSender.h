// CommandSender: sends the command queue to the dongle, one command at a time.
//
// After writing a frame the sender sets the queue's flag ("waiting for an answer") and
// looks at it every 50 ms. The reply handling clears it through Protocol::commandAnswered
// once it has handled any answer from the dongle; the sender then moves on at its next
// look. Answers are not matched to commands: the dongle answers every command, so a reply
// of any kind ends the wait. With no answer after ten looks (500 ms) the frame is written
// a second time and the sender pauses 250 ms. If that pause ends still without an answer,
// the sender gives up on the frame: it tells its give-up handler, so that whoever waits for
// that answer stops waiting, and moves on. There is no third attempt and no error report,
// only the log lines.
//
// Log lines: "CommandSender::listenLoop: >>> NAME" for each frame, "... --- NAME (n)" for
// each look that finds no answer yet (n = 0..9), "... >>> NAME (Second attempt)".
#pragma once

#include "device/protocol/CommandNames.h"
#include "device/protocol/Packet.h"
#include "device/protocol/PacketQueue.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>

class IKorvexListener;
class ISerialDevice;
class Protocol;

// How long the sender waits for each answer. The defaults are the dongle's; tests of what
// follows a lost answer use a short wait.
struct AnswerTiming {
    std::chrono::milliseconds lookPeriod{50};
    int looks = 10;
    std::chrono::milliseconds secondAttemptPause{250};
};

class CommandSender {
public:
    // Neither the listener (used for log lines only) nor the device nor the protocol is
    // owned; the command queue is the protocol's.
    CommandSender(IKorvexListener* listener, ISerialDevice* device, Protocol* protocol,
                  AnswerTiming timing = {});

    // Called on the sender's thread with each frame that stayed unanswered after both
    // attempts. Set it before the thread starts.
    void setGiveUpHandler(std::function<void(const Packet&)> handler) {
        giveUp = std::move(handler);
    }

    // The sender thread's body: sends whatever is queued, in order, then waits for more.
    // Returns promptly when `stop` is requested (frames still queued stay in the queue).
    void listenLoop(std::stop_token stop);

    IKorvexListener* listener;
    ISerialDevice* device;
    PacketQueue* queue;
    CommandNames names;
    const AnswerTiming timing;

private:
    void send(const Packet& frame, std::stop_token stop);
    // Sleeps until `deadline`; false when a stop was requested.
    bool sleepUntil(std::stop_token stop, std::chrono::steady_clock::time_point deadline);
    void log(const std::string& line);

    std::function<void(const Packet&)> giveUp;
    std::mutex sleepMutex;
    std::condition_variable_any sleepCondition;
};
