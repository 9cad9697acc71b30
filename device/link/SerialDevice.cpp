#include "device/link/SerialDevice.h"

#include "device/base/IKorvexListener.h"
#include "device/link/SerialPortCheck.h"
#include "device/protocol/Packet.h"

#include <iostream>

#include <fcntl.h>
#include <sys/ioctl.h>

namespace asio = boost::asio;
using boost::system::error_code;

SerialDevice::SerialDevice(asio::io_context& ioService, IKorvexListener* listener,
                           SerialPortCheck* portFinder, std::chrono::milliseconds retryDelay)
    : ISerialDevice(listener), ioService(ioService), serialPort(ioService), retryTimer(ioService),
      idleTimer(ioService), portFinder(portFinder), retryDelay(retryDelay) {}

SerialDevice::~SerialDevice() {
    error_code ignored;
    retryTimer.cancel();
    idleTimer.cancel();
    if (serialPort.is_open())
        serialPort.close(ignored);
}

std::string SerialDevice::portName() const {
    std::lock_guard lock(nameMutex);
    return openName;
}

std::stop_token SerialDevice::searchToken() {
    std::lock_guard lock(searchMutex);
    return searchStop.get_token();
}

void SerialDevice::open() {
    {
        std::lock_guard lock(searchMutex);
        if (searchStop.stop_requested())
            searchStop = std::stop_source();
    }
    asio::post(ioService, [this] {
        closed = false;
        if (!plugged)
            scheduleAttempt();
    });
}

void SerialDevice::close() {
    // End a discovery that is running on the I/O thread now, rather than after it.
    {
        std::lock_guard lock(searchMutex);
        searchStop.request_stop();
    }
    asio::post(ioService, [this] {
        closed = true;
        attemptPending = false;
        retryTimer.cancel();
        if (plugged) {
            lose(error_code(), false);
        } else if (serialPort.is_open()) {
            error_code ignored;
            serialPort.close(ignored);
        }
    });
}

void SerialDevice::scheduleAttempt() {
    // One attempt at a time, however many times open() is asked for.
    if (closed || attemptPending)
        return;
    attemptPending = true;
    retryTimer.expires_after(retryDelay);
    retryTimer.async_wait([this](const error_code& error) {
        attemptPending = false;
        if (error || closed || plugged)
            return;
        doOpen();
    });
}

void SerialDevice::doOpen() {
    std::string name = portFinder ? portFinder->getDeviceName(searchToken()) : std::string();
    if (closed)
        return;
    if (name.empty()) {
        listener->log("SerialDevice::getDeviceName - Korvex dongle not found!!!");
        scheduleAttempt();
        return;
    }

    listener->log("SerialDevice::do_open - Device name " + name);
    error_code error;
    serialPort.open(name, error);
    if (error)
        listener->log("SerialDevice::do_open - serialPort.open(" + name +
                      ") - Error: " + error.message());
    if (!serialPort.is_open()) {
        scheduleAttempt();
        return;
    }

    // The port is opened raw; only the speed is set, and a port that refuses it (a
    // pseudo-terminal may) is used as it is.
    error_code ignored;
    serialPort.set_option(asio::serial_port_base::baud_rate(baudRate), ignored);
    // The enumerator and any other child must not inherit the port.
    ::fcntl(serialPort.native_handle(), F_SETFD, FD_CLOEXEC);

    {
        std::lock_guard lock(nameMutex);
        openName = name;
    }
    reader.reset();
    ++generation;
    idleWatched = false;
    plugged = true;
    pluggedFlag = true;
    listener->donglePluggedIn();
    listener->log("SerialDevice::do_open - donglePluggedIn");
    startRead();
}

void SerialDevice::startRead() {
    const uint64_t current = generation;
    serialPort.async_read_some(asio::buffer(readBuffer),
                               [this, current](const error_code& error, std::size_t count) {
                                   readComplete(error, count, current);
                               });
}

void SerialDevice::readComplete(const error_code& error, std::size_t count, uint64_t current) {
    // Completions of a port that has since been closed or replaced are not ours any more.
    if (current != generation || !plugged)
        return;
    if (error) {
        // End of file, EIO from a pulled device or a closed pseudo-terminal, or any other
        // failure: the dongle is gone.
        lose(error, true);
        return;
    }
    handleFrames(readBuffer.data(), count);
    startRead();
}

namespace {

FrameReader::FrameHandler collectInto(std::vector<std::unique_ptr<Packet>>& completed) {
    return [&completed](const uint8_t* frame, std::size_t size) {
        completed.push_back(std::make_unique<Packet>(frame, size));
    };
}

void reportFramingError(bool acrossReads) {
    std::cout << (acrossReads ? "SerialDevice::read_complete - ERROR Data size ..."
                              : "SerialDevice::push_data - ERROR Data size ...")
              << std::endl;
}

} // namespace

void SerialDevice::handleFrames(const uint8_t* data, std::size_t count) {
    std::vector<std::unique_ptr<Packet>> completed;
    reader.feed(data, count, collectInto(completed), reportFramingError);
    deliver(std::move(completed));
    lastByteAt = std::chrono::steady_clock::now();
    if (reader.pendingBytes() > 0 && !idleWatched)
        watchIdle(lastByteAt + idleLimit);
}

void SerialDevice::deliver(std::vector<std::unique_ptr<Packet>> completed) {
    // Every frame this read completed goes on the queue at once: one wake-up per read.
    receiveQueue->pushAll(std::move(completed));
    frameCount = reader.frameCount();
    errorCount = reader.framingErrors();
    droppedCount = reader.droppedBytes();
}

void SerialDevice::watchIdle(std::chrono::steady_clock::time_point deadline) {
    // One wait at a time; reads only move `lastByteAt`, so a busy line costs one timer per
    // idleLimit rather than one per read.
    idleWatched = true;
    const uint64_t current = generation;
    idleTimer.expires_at(deadline);
    idleTimer.async_wait([this, current](const error_code& error) { idleExpired(error, current); });
}

void SerialDevice::idleExpired(const error_code& error, uint64_t current) {
    if (current != generation)
        return; // the port was lost or replaced; its reader has been reset
    idleWatched = false;
    if (error || !plugged || reader.pendingBytes() == 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now < lastByteAt + idleLimit) {
        watchIdle(lastByteAt + idleLimit);
        return;
    }
    // Bytes the port holds but no read has handed over yet (this thread was held up) are
    // not silence.
    if (bytesWaiting()) {
        watchIdle(now + idleLimit);
        return;
    }
    // Nothing more of this frame will come. Kept, it would wait for whatever the dongle
    // sends next and could end inside that frame and take it along.
    std::vector<std::unique_ptr<Packet>> completed;
    reader.abandonPending(collectInto(completed), reportFramingError);
    deliver(std::move(completed));
}

bool SerialDevice::bytesWaiting() {
    int waiting = 0;
    return ::ioctl(serialPort.native_handle(), FIONREAD, &waiting) == 0 && waiting > 0;
}

void SerialDevice::write(const uint8_t* data, int size) {
    if (!data || size <= 0)
        return;
    // The bytes travel with the write, so the caller's buffer may go at once.
    auto bytes = std::make_shared<std::vector<uint8_t>>(data, data + size);
    asio::post(ioService, [this, bytes] {
        if (!plugged || !serialPort.is_open())
            return;
        const uint64_t current = generation;
        asio::async_write(serialPort, asio::buffer(*bytes),
                          [this, bytes, current](const error_code& error, std::size_t) {
                              writeComplete(error, current);
                          });
    });
}

void SerialDevice::writeComplete(const error_code& error, uint64_t current) {
    if (!error || current != generation || !plugged)
        return;
    lose(error, true);
}

void SerialDevice::lose(const error_code& error, bool reopen) {
    if (error == asio::error::bad_descriptor)
        std::cerr << "Error: bad_descriptor / is open ? " << (serialPort.is_open() ? 1 : 0)
                  << std::endl;

    plugged = false;
    pluggedFlag = false;
    ++generation;
    reader.reset();
    droppedCount = reader.droppedBytes(); // an unfinished frame went with the port
    idleWatched = false;
    idleTimer.cancel();
    listener->dongleNotPluggedIn();
    listener->log("SerialDevice::do_open - dongleNotPluggedIn");

    if (serialPort.is_open()) {
        error_code closeError;
        serialPort.close(closeError);
        if (closeError)
            listener->log("SerialDevice::do_open - close - Error: " + closeError.message());
    }
    if (reopen)
        scheduleAttempt();
}
