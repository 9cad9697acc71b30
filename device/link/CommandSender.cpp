#include "device/link/CommandSender.h"

#include "device/base/IKorvexListener.h"
#include "device/link/ISerialDevice.h"
#include "device/protocol/Protocol.h"

#include <exception>
#include <string>

CommandSender::CommandSender(IKorvexListener* listener, ISerialDevice* device, Protocol* protocol,
                             AnswerTiming timing)
    : listener(listener), device(device), queue(protocol->getCommandQueue()), timing(timing) {}

void CommandSender::log(const std::string& line) {
    if (listener)
        listener->log(line);
}

bool CommandSender::sleepUntil(std::stop_token stop,
                               std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(sleepMutex);
    sleepCondition.wait_until(lock, stop, deadline, [] { return false; });
    return !stop.stop_requested();
}

void CommandSender::listenLoop(std::stop_token stop) {
    // The frame being sent stays alive until the next one is taken, so nothing that still
    // refers to its bytes can outlive them.
    std::unique_ptr<Packet> current;
    while (!stop.stop_requested()) {
        std::unique_ptr<Packet> next = queue->popWait(stop);
        if (!next || stop.stop_requested())
            return;
        current = std::move(next);
        try {
            send(*current, stop);
        } catch (const std::exception& e) {
            log(std::string("CommandSender::listenLoop - ") + e.what());
        }
    }
}

void CommandSender::send(const Packet& frame, std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    const std::string name = names.commandName(frame.size() > 1 ? frame[1] : -1);
    log("CommandSender::listenLoop: >>> " + name);

    // Raise the flag before the bytes leave: an answer that beats us back must find it set,
    // or it would be lost and the command sent twice.
    queue->setFlag(1);
    const Clock::time_point sent = Clock::now();
    device->write(frame.data(), static_cast<int>(frame.size()));

    // Looks at 50, 100, ... 500 ms after the write (with the dongle's timing); the looks are
    // on a fixed grid so that the time taken by logging does not stretch the wait.
    int n = 0;
    if (!sleepUntil(stop, sent + timing.lookPeriod))
        return;
    while (queue->flag() != 0) {
        log("CommandSender::listenLoop: --- " + name + " (" + std::to_string(n) + ")");
        if (!sleepUntil(stop, sent + timing.lookPeriod * (n + 2)))
            return;
        if (n < timing.looks - 1) {
            ++n;
            continue;
        }
        log("CommandSender::listenLoop: >>> " + name + " (Second attempt)");
        device->write(frame.data(), static_cast<int>(frame.size()));
        if (!sleepUntil(stop, Clock::now() + timing.secondAttemptPause))
            return;
        // An answer to the second attempt still counts; without one, nobody may go on
        // waiting for this frame's answer.
        if (queue->flag() != 0 && giveUp)
            giveUp(frame);
        break;
    }
}
