// ISerialDevice: the dongle's port as the rest of the library sees it.
//
// The transport cuts the incoming byte stream into frames and pushes each whole frame on
// `receiveQueue` for the reply parser; it sends what the command sender gives it; it tells
// its listener when the dongle appears (`donglePluggedIn`) and disappears
// (`dongleNotPluggedIn`), and keeps searching for it in between.
#pragma once

#include "device/protocol/PacketQueue.h"

#include <cstdint>
#include <memory>

class IKorvexListener;

class ISerialDevice {
public:
    // `listener` is not owned. The receive queue is created empty; its flag plays no part.
    explicit ISerialDevice(IKorvexListener* listener);
    virtual ~ISerialDevice();

    ISerialDevice(const ISerialDevice&) = delete;
    ISerialDevice& operator=(const ISerialDevice&) = delete;

    // Starts searching for the dongle; returns at once.
    virtual void open() = 0;
    // Sends `size` bytes. Returns at once; the bytes are copied before the call returns, so
    // the caller may reuse them. A write while no dongle is open is dropped.
    virtual void write(const uint8_t* data, int size) = 0;
    // Closes the port and stops searching; returns at once.
    virtual void close() = 0;

    PacketQueue* getReceiveQueue() { return receiveQueue.get(); }

    IKorvexListener* listener;
    std::unique_ptr<PacketQueue> receiveQueue;
};
