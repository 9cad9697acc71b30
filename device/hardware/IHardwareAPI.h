// IHardwareAPI: the device operations of the hardware controller.
#pragma once

#include <string>

class IHardwareAPI {
public:
    virtual ~IHardwareAPI() = default;

    virtual void start() = 0;
    virtual bool startDataAcquisition() = 0;
    virtual bool stopDataAcquisition() = 0;
    virtual bool setFixedConfiguration(int remote, int config) = 0;
    virtual bool remotePowerDown(int remote) = 0;
    virtual bool setOutputConfig(int remote, int sensorID, int key, int value) = 0;
    virtual bool reloadAcquisition(std::string acquisitionID) = 0;
};
