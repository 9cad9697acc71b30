// KorvexAPI: the device library's API object behind IKorvexAPI.
//
// It owns the library's parts and creates them in this order: the event dispatcher, the
// hardware model, the work-file folders, the calibration store, the acquisition stack and
// the hardware controller. The host calls every operation from one thread; the hardware
// model is read here without a lock while the reply parser updates it (see HardwareState).
//
// Refusals are reported, never thrown: a numbered error through `dispatch` and false, or an
// empty finished document for an operation that answers with one. Remote numbers other
// than 1 and 2 are refused.
#pragma once

#include "KorvexAPI.h"

#include <memory>
#include <string>

class EventDispatch;
class IKorvexListener;
class HardwareState;
class FileSystem;
class CalibrationData;
class AcquisitionStack;
class HardwareAPI;
class Protocol;
class PacketQueue;
class SampleCollection;
class Sensor;
struct BoundingBoxData;

// Appends the hardware state report's fields (dongle, then remote slots 1 and 2) to an
// initialised document.
void appendHardwareState(bson_t* document, const HardwareState& state);

class KorvexAPI final : public IKorvexAPI {
public:
    // Creates the parts in order; nothing is started and no port is opened. If a step
    // throws, the parts already created are released and the exception propagates.
    explicit KorvexAPI(IKorvexListener* listener);
    // Releases what this object owns. The hardware model is released exactly once.
    ~KorvexAPI();

    KorvexAPI(const KorvexAPI&) = delete;
    KorvexAPI& operator=(const KorvexAPI&) = delete;

    void startAPI() override;
    bool isDongleConnected() override;
    bool isRemoteConnected(int remote) override;
    bool newAcquisition() override;
    bool setFixedConfig(int remote, int config) override;
    bool stackAcquisition() override;
    bool deleteAcquisition() override;
    void startDataAcquisition() override;
    void stopDataAcquisition() override;
    void remotePowerDown(int remote) override;
    void pairRemote(int remote, int pairingAction, int remoteID) override;
    void setOutputConfig(int remote, int sensorID, int key, int value) override;
    void sendCommand(int command) override;
    void acquisitionManagement(bson_t* result, int command, const char* acquisitionID) override;
    void calibrationManagement(bson_t* result, int command) override;
    void getHardwareState(bson_t* result) override;
    void getAcquisitionStack(bson_t* result) override;
    bool recalibrateSensor(int remote, int sensorType) override;
    void resetSensorOffset(int remote, int sensorType, double startTime, double endTime) override;
    void getLastSample(bson_t* result, bufferArray* data, int remote, int sensorType) override;
    void getSensorData(bson_t* result, bufferArray* data, int remote, int sensorType, double start,
                       double end, bool raw, int axis, int rate) override;
    void getSensorData2(bson_t* result, bufferArray* data, int remote, int sensorType1,
                        int sensorType2, double start, double end) override;
    void exportData(bson_t* result, int remote, int sensorType, const char* fileName) override;
    // Releases a buffer filled by a data query (allocated with new float[]) and resets it to
    // null and 0, so that releasing it twice is harmless.
    void freeBufferArray(bufferArray* data) override;
    void broadcast(const char* name, const char* args) override;

    // The data queries' formatting: the one-sensor form (times, value columns, raw columns
    // with `raw`; `axis` -1 for every axis) and the two-sensor form (merge-join on equal
    // times). The document must be initialised; the buffer is filled (see Reports.h).
    void formatDataBson(bson_t* result, bufferArray* data,
                        std::shared_ptr<SampleCollection> samples, Sensor* sensor, bool raw,
                        int axis);
    void formatDataBson(bson_t* result, bufferArray* data, std::shared_ptr<SampleCollection> first,
                        std::shared_ptr<SampleCollection> second, Sensor* firstSensor,
                        Sensor* secondSensor);
    // Appends "boundingBox": { "max": [...], "min": [...] } (empty arrays for null).
    void bson_append_boundingBox(bson_t* document, BoundingBoxData* box);

    // The queue the command encoders fill and the command sender drains.
    PacketQueue* commandQueue();

    // Owned parts, in creation order.
    EventDispatch* dispatch = nullptr;
    HardwareState* hardwareState = nullptr;
    // The storage, calibration and controller parts, created with the object.
    FileSystem* fileSystem = nullptr;
    CalibrationData* calibrationData = nullptr;
    AcquisitionStack* acquisitionStack = nullptr;
    HardwareAPI* hardware = nullptr;

private:
    // The hardware controller's command encoder.
    Protocol* protocol();

    // Sets up the next current acquisition after a stack or a discard and tells the page.
    bool finishAcquisitionChange();
    bool keepRecordingForNewConfiguration(int remote);
    // The calibration store's life cycle lives with the calibration code.
    CalibrationData* createCalibrationStore();
    void releaseCalibrationStore();
    // Starts `result` as an empty document (for a refused query); null is ignored.
    static void emptyDocument(bson_t* result);
    void releaseParts();
};
