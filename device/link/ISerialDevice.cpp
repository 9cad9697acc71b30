#include "device/link/ISerialDevice.h"

ISerialDevice::ISerialDevice(IKorvexListener* listener)
    : listener(listener), receiveQueue(std::make_unique<PacketQueue>()) {}

ISerialDevice::~ISerialDevice() = default;
