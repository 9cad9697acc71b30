// RawDataWriter: records every data frame of a run to the current acquisition's raw file,
// and writes the acquisition's metadata document.
//
// The raw file (<id>.raw in the recordings folder) is the frames back to back, byte for
// byte as the dongle sent them; a later run of the same acquisition appends. The parser
// pushes a copy of each data frame on the raw queue; the queue's flag means "stop
// recording". One run gives one open (at its first frame), the appends, and one close
// (once the flag is up and the queue is empty).
//
// Guarantees:
// - frames still queued when the flag rises belong to the run and are written before the
//   file closes; a frame that arrives after the close (flag up) is appended to the same
//   acquisition's file at once, never carried into the next run's file;
// - every write is handed to the system as it is made, so a killed process leaves every
//   frame up to its last moments in the file;
// - every write and close is checked: a failure raises error 25 or 26 and a write failure
//   stops streaming; a frame that could not be written whole is cut off again, so the file
//   always ends on a frame boundary and a later run appends readable frames;
// - on shutdown the thread writes what is queued, closes the file and ends.
#pragma once

#include "device/protocol/PacketQueue.h"

#include <bson/bson.h>

#include <atomic>
#include <chrono>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

class IKorvexListener;
class AcquisitionStack;
class FileSystem;

class RawDataWriter {
public:
    // Called on the writer's thread after a raw file error that must stop streaming
    // (errors 24 and 25). The controller wires its dispatcher's abortDataStream() here.
    using AbortHandler = std::function<void()>;

    // None of the pointers is owned. `listener` receives log lines and errors;
    // `rawQueue` is the parser's raw data queue.
    RawDataWriter(IKorvexListener* listener, AcquisitionStack* acquisitionStack,
                  PacketQueue* rawQueue, FileSystem* fileSystem);
    ~RawDataWriter();

    RawDataWriter(const RawDataWriter&) = delete;
    RawDataWriter& operator=(const RawDataWriter&) = delete;

    // Set before the thread starts.
    void setAbortHandler(AbortHandler handler);

    // The thread body: run it in a std::jthread. Returns once a stop is requested, after
    // writing every frame queued at that moment and closing the file.
    void listenLoop(std::stop_token stop);

    // Writes `document` as <current id>.bson in the recordings folder. Runs on the
    // caller's thread. False when it could not be written (the file system reports why).
    bool writeMetadata(const bson_t* document);

    // The size <id>.raw will have once every frame queued so far is written: waits (at
    // most `limit`) until the queue is empty and no pass is writing, then measures the file.
    // 0 when there is no such file. Runs on the caller's thread; a run's start uses it to
    // note where the run's frames will begin.
    int64_t settledRawSize(const std::string& id, std::chrono::milliseconds limit);

    // What the writer has done since construction (for tests and diagnostics).
    struct Counters {
        uint64_t framesWritten = 0;
        uint64_t framesDropped = 0; // could not be written, or arrived after a file error
        uint64_t filesOpened = 0;
        uint64_t filesClosed = 0;
    };
    Counters counters() const;

    // The path of the open raw file; empty when none is open. Writer thread only.
    const std::string& getRawPath() const { return rawPath; }

private:
    void onePass();
    bool openFile();
    void writeFrames(std::deque<std::unique_ptr<Packet>>& frames);
    void closeFile();
    void dropQueued(const char* why);
    void fail(int code);

    IKorvexListener* listener;
    AcquisitionStack* acquisitionStack;
    PacketQueue* rawQueue;
    FileSystem* fileSystem;
    AbortHandler abortHandler;

    int rawFile = -1; // descriptor of the open raw file, -1 when closed
    std::string rawPath;
    std::string rawID;               // identifier the open file is named after
    uint64_t rawSize = 0;            // bytes of complete frames in the open file
    bool recordingFailed = false;    // a file error stopped this run; cleared by the next start
    std::atomic<bool> inPass{false}; // a pass may be writing frames it took off the queue

    mutable std::mutex counterLock;
    Counters stats;
};
