// SerialDevice: the dongle's serial port on the library's I/O service thread.
//
// Life of the port:
//  - searching: every attempt waits a second, asks the port finder for the dongle's name
//    and tries to open it; attempts repeat until one succeeds;
//  - open: 115200 baud, raw; `donglePluggedIn` is raised and reads run back to back, each
//    read's bytes cut into frames by a FrameReader and pushed on the receive queue; an
//    unfinished frame is given up when the line stays quiet for `idleLimit` (the dongle
//    sends every frame in one go, so the rest will not come);
//  - a read or write error (including end of file or EIO from a pulled device or a closed
//    pseudo-terminal) closes the port, raises `dongleNotPluggedIn` and searches again;
//  - close() ends both, raising `dongleNotPluggedIn` if the dongle was open.
//
// All port work runs on the I/O service's thread, so the port itself needs no lock; the
// public operations only post work there. Running it: keep a work guard on the io_context
// and call run() on the I/O thread. Stopping it: close() (which also ends a discovery that
// is running), then release the guard (or stop() the io_context) and join the thread.
// Destroy the object only after that thread has ended: pending handlers refer to it.
#pragma once

#include "device/link/Asio.h"
#include "device/link/FrameReader.h"
#include "device/link/ISerialDevice.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

class SerialPortCheck;

class SerialDevice : public ISerialDevice {
public:
    static constexpr unsigned baudRate = 115200;
    static constexpr std::size_t readSize = 128;
    static constexpr std::chrono::milliseconds idleLimit{20};

    // Neither `ioService` nor `portFinder` is owned; the port starts closed.
    // `retryDelay` is the wait before each open attempt.
    SerialDevice(boost::asio::io_context& ioService, IKorvexListener* listener,
                 SerialPortCheck* portFinder,
                 std::chrono::milliseconds retryDelay = std::chrono::milliseconds(1000));
    ~SerialDevice() override;

    void open() override;
    void write(const uint8_t* data, int size) override;
    void close() override;

    // True while the port is open and the dongle counts as plugged in.
    bool isPlugged() const { return pluggedFlag; }
    // The name of the open port, or of the last one opened.
    std::string portName() const;

    // Framing counters, readable from any thread.
    uint64_t framesReceived() const { return frameCount; }
    uint64_t framingErrors() const { return errorCount; }
    uint64_t droppedBytes() const { return droppedCount; }

private:
    void scheduleAttempt();
    void doOpen();
    void startRead();
    void readComplete(const boost::system::error_code& error, std::size_t count,
                      uint64_t generation);
    void writeComplete(const boost::system::error_code& error, uint64_t generation);
    // The port is lost (an I/O error) or being closed: close it, tell the listener, and
    // search again when `reopen` is set.
    void lose(const boost::system::error_code& error, bool reopen);
    void handleFrames(const uint8_t* data, std::size_t count);
    // Queues what the reader cut and publishes its counters.
    void deliver(std::vector<std::unique_ptr<Packet>> completed);
    // Watches an unfinished frame: wakes `idleLimit` after the last byte came.
    void watchIdle(std::chrono::steady_clock::time_point deadline);
    void idleExpired(const boost::system::error_code& error, uint64_t generation);
    // True when bytes wait in the port that no read has taken yet.
    bool bytesWaiting();
    std::stop_token searchToken();

    boost::asio::io_context& ioService;
    boost::asio::serial_port serialPort;
    boost::asio::steady_timer retryTimer;
    boost::asio::steady_timer idleTimer;
    SerialPortCheck* portFinder;
    std::chrono::milliseconds retryDelay;

    // I/O thread only.
    std::array<uint8_t, readSize> readBuffer{};
    FrameReader reader;
    std::chrono::steady_clock::time_point lastByteAt;
    bool idleWatched = false;
    bool plugged = false;
    bool closed = false;
    bool attemptPending = false;
    uint64_t generation = 0; // bumped whenever the port is opened or lost

    // Shared with other threads.
    std::atomic<bool> pluggedFlag{false};
    std::atomic<uint64_t> frameCount{0};
    std::atomic<uint64_t> errorCount{0};
    std::atomic<uint64_t> droppedCount{0};
    mutable std::mutex nameMutex;
    std::string openName;
    std::mutex searchMutex;
    std::stop_source searchStop; // ends a running discovery when close() is called
};
