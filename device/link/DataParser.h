// DataParser: the thread that consumes the frames cut out of the dongle's byte stream.
//
// It checks each frame, updates the hardware model, logs what it learned and reports each
// handled reply to its listener (the controller's dispatcher, which queues follow-up commands
// and ends the command sender's wait). Data frames are copied onto the raw queue for
// recording and then decoded into the current acquisition's sensors.
#pragma once

#include "device/protocol/CommandNames.h"
#include "device/protocol/Packet.h"
#include "device/protocol/PacketQueue.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>

class IKorvexListener;
class HardwareState;
class AcquisitionStack;

class DataParser {
public:
    DataParser(IKorvexListener* listener, HardwareState* hardwareState,
               AcquisitionStack* acquisitionStack, PacketQueue* receiveQueue);
    ~DataParser();

    DataParser(const DataParser&) = delete;
    DataParser& operator=(const DataParser&) = delete;

    // Thread body: pops the receive queue until a stop is requested.
    void listenLoop(std::stop_token stop);

    // Handles one frame exactly as the thread does (public for the controller and tests).
    void handleFrame(std::span<const uint8_t> frame);

    // Walks the sensor blocks of one DATA_FROM_REMOTE frame and hands each to its sensor;
    // false when some block could not be decoded. Used by the thread and, with `replay`, by
    // the replay of a stored acquisition, which reports nothing to the listener and never
    // stops the live stream. Holds the acquisition stack's structure lock while it works.
    bool dataFromRemote(std::span<const uint8_t> frame, bool replay = false);

    // The work done when streaming ends: recording stops (the writer writes what is queued
    // and closes the file) and every sensor of the current acquisition is re-timed.
    void endOfRun();

    // The queue of frames to record; its flag means "stop recording".
    PacketQueue* getRawQueue() { return rawQueue.get(); }

    // Called when data arrives from a remote that is not configured (the controller stops
    // the stream). Set once before the thread starts.
    void setAbortHandler(std::function<void()> handler) { abortDataStream = std::move(handler); }

    // Frames dropped because they were shorter than their code's layout, or named a remote
    // the dongle does not have.
    uint64_t droppedFrames() const { return dropped.load(); }

private:
    void getPairing(std::span<const uint8_t> b);
    void findRemote(std::span<const uint8_t> b);
    void getDongleStatus(std::span<const uint8_t> b);
    void getOutputConfig(std::span<const uint8_t> b);
    void getFixedConfig(std::span<const uint8_t> b);
    void getPacketConfig(std::span<const uint8_t> b);
    void getCalibration(std::span<const uint8_t> b);
    void getRemoteStatus(std::span<const uint8_t> b);
    void rfConnection(std::span<const uint8_t> b);
    void getAck(std::span<const uint8_t> b);
    void getNAck(std::span<const uint8_t> b);

    // True when the frame holds at least `payload` payload bytes; otherwise logs and drops.
    bool hasPayload(std::span<const uint8_t> b, std::size_t payload, const char* handler);
    // True for remotes 1 and 2; otherwise logs that the reply is ignored.
    bool knownRemote(int remote, const char* handler);
    void stopRecording();

    IKorvexListener* listener;
    HardwareState* hardwareState;
    AcquisitionStack* acquisitionStack;
    PacketQueue* receiveQueue;
    std::unique_ptr<PacketQueue> rawQueue;
    CommandNames names;
    std::atomic<bool> notConfiguredReported{false};
    // Live frames in a row, per remote, whose blocks did not fit the remote's layout; the
    // parser thread alone counts them.
    static constexpr int unknownBlocksTolerated = 25;
    int unknownBlocks[2] = {0, 0};
    std::function<void()> abortDataStream;
    std::atomic<uint64_t> dropped{0};
};
