// KorvexAPI: the device library's public interface.
//
// A host program includes only this header and links only libKorvexAPI.so. It creates the
// API object with getConcreteIKorvexAPI, calls startAPI, and then calls the operations
// below from one thread. Events and log lines come back as script texts through the
// callback given to the factory, on any of the library's threads.
//
// The slot order of IKorvexAPI is a fixed contract between the library and its hosts:
// never reorder, insert or remove an entry.
#pragma once

#include <bson/bson.h>
#include <cstdint>

#if defined(KORVEXAPI_BUILD)
#define KORVEXAPI_EXPORT __attribute__((visibility("default")))
#else
#define KORVEXAPI_EXPORT
#endif

// Numbers returned by the sensor-data queries: single-precision floats allocated by the
// library (or null) and their count. Give it back with IKorvexAPI::freeBufferArray.
struct bufferArray {
    float* data = nullptr;
    uint32_t size = 0;
};

class KORVEXAPI_EXPORT IKorvexAPI {
public:
    IKorvexAPI();
    ~IKorvexAPI();

    virtual void startAPI() = 0;                                                    // 0
    virtual bool isDongleConnected() = 0;                                           // 1
    virtual bool isRemoteConnected(int remote) = 0;                                 // 2
    virtual bool newAcquisition() = 0;                                              // 3
    virtual bool setFixedConfig(int remote, int config) = 0;                        // 4
    virtual bool stackAcquisition() = 0;                                            // 5
    virtual bool deleteAcquisition() = 0;                                           // 6
    virtual void startDataAcquisition() = 0;                                        // 7
    virtual void stopDataAcquisition() = 0;                                         // 8
    virtual void remotePowerDown(int remote) = 0;                                   // 9
    virtual void pairRemote(int remote, int pairingAction, int remoteID) = 0;       // 10
    virtual void setOutputConfig(int remote, int sensorID, int key, int value) = 0; // 11
    virtual void sendCommand(int command) = 0;                                      // 12
    virtual void acquisitionManagement(bson_t* result, int command,
                                       const char* acquisitionID) = 0;   // 13
    virtual void calibrationManagement(bson_t* result, int command) = 0; // 14
    virtual void getHardwareState(bson_t* result) = 0;                   // 15
    virtual void getAcquisitionStack(bson_t* result) = 0;                // 16
    virtual bool recalibrateSensor(int remote, int sensorType) = 0;      // 17
    virtual void resetSensorOffset(int remote, int sensorType, double startTime,
                                   double endTime) = 0; // 18
    virtual void getLastSample(bson_t* result, bufferArray* data, int remote,
                               int sensorType) = 0; // 19
    virtual void getSensorData(bson_t* result, bufferArray* data, int remote, int sensorType,
                               double start, double end, bool raw, int axis,
                               int rate) = 0; // 20
    virtual void getSensorData2(bson_t* result, bufferArray* data, int remote, int sensorType1,
                                int sensorType2, double start,
                                double end) = 0; // 21
    virtual void exportData(bson_t* result, int remote, int sensorType,
                            const char* fileName) = 0;              // 22
    virtual void freeBufferArray(bufferArray* data) = 0;            // 23
    virtual void broadcast(const char* name, const char* args) = 0; // 24
};

extern "C" {
// Creates a new API object whose events and log lines go to `callback` as script texts.
// Nothing is started until startAPI.
KORVEXAPI_EXPORT IKorvexAPI* getConcreteIKorvexAPI(void (*callback)(const char*));

// Shuts the object's workers down (queued raw frames are written, the port is closed) and
// releases it. For programs and tests that end cleanly; null is ignored.
KORVEXAPI_EXPORT void releaseConcreteIKorvexAPI(IKorvexAPI* api);

// The library's version text, for diagnostics.
KORVEXAPI_EXPORT const char* korvexAPIVersion();
}
