// A device library stand-in that records the calls it gets, for tests of the host alone.
#pragma once

#include "KorvexAPI.h"

#include <functional>
#include <string>
#include <vector>

class FakeKorvexAPI : public IKorvexAPI {
public:
    explicit FakeKorvexAPI(std::function<void(const std::string&)> record) : record(std::move(record)) {}

    void startAPI() override { record("startAPI"); }
    bool isDongleConnected() override { return false; }
    bool isRemoteConnected(int) override { return false; }
    bool newAcquisition() override { return true; }
    bool setFixedConfig(int remote, int config) override {
        record("setFixedConfig(" + std::to_string(remote) + "," + std::to_string(config) + ")");
        return setFixedConfigResult;
    }
    bool stackAcquisition() override {
        record("stackAcquisition");
        return true;
    }
    bool deleteAcquisition() override {
        record("deleteAcquisition");
        return true;
    }
    void startDataAcquisition() override { record("startDataAcquisition"); }
    void stopDataAcquisition() override { record("stopDataAcquisition"); }
    void remotePowerDown(int remote) override { record("remotePowerDown(" + std::to_string(remote) + ")"); }
    void pairRemote(int, int, int) override { record("pairRemote"); }
    void setOutputConfig(int, int, int, int) override { record("setOutputConfig"); }
    void sendCommand(int command) override { record("sendCommand(" + std::to_string(command) + ")"); }
    void acquisitionManagement(bson_t*, int, const char*) override { record("acquisitionManagement"); }
    void calibrationManagement(bson_t*, int) override { record("calibrationManagement"); }
    void getHardwareState(bson_t*) override { record("getHardwareState"); }
    void getAcquisitionStack(bson_t*) override { record("getAcquisitionStack"); }
    bool recalibrateSensor(int, int) override {
        record("recalibrateSensor");
        return true;
    }
    void resetSensorOffset(int, int, double, double) override { record("resetSensorOffset"); }
    void getLastSample(bson_t*, bufferArray*, int, int) override { record("getLastSample"); }
    void getSensorData(bson_t*, bufferArray*, int, int, double, double, bool, int, int) override {
        record("getSensorData");
    }
    void getSensorData2(bson_t*, bufferArray*, int, int, int, double, double) override { record("getSensorData2"); }
    void exportData(bson_t*, int, int, const char*) override { record("exportData"); }
    void freeBufferArray(bufferArray*) override { record("freeBufferArray"); }
    void broadcast(const char*, const char*) override { record("broadcast"); }

    bool setFixedConfigResult = true;

private:
    std::function<void(const std::string&)> record;
};
