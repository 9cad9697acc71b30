// Sensor: one sensor of one remote. It turns its blocks of the remote's data frames into
// samples, keeps them in its own stored SampleCollection and keeps the frame bookkeeping
// that time-stamps every sample.
//
// Threads: parse/parseCombined run on the data-parser thread; recalibrate, the offset reset
// and the calibration setters may run on an API caller's thread at the same time; queries
// read `samples` from yet another. Everything they share is changed only while holding the
// collection's exclusive Editor (once per block, not per sample), and `sampleRate` is atomic
// so that queries can read it directly.
#pragma once

#include "device/sensors/SampleCollection.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>

class CalibrationData;

// Sensor type identifiers: the low seven bits of a sensor block header, and the keys of
// the API. Ecg6 (241) never appears in a frame: it names the combined ECG sensor.
enum SensorTypeId : int32_t {
    SensorAccelerometer = 1,
    SensorMagnetometer = 2,
    SensorGyroscope = 3,
    SensorBarometer = 4,
    SensorMicrophone = 6,
    SensorLight = 7,
    SensorForce = 8,
    SensorWheel = 9,
    SensorEcg = 10,
    SensorBattery = 11,
    SensorHighGain = 12,
    SensorDigital = 13,
    SensorAnalog7 = 21,
    SensorAnalog8 = 22,
    SensorAnalog9 = 23,
    SensorThermometer = 26,
    SensorEcg6 = 241,
};

// One row per sensor class.
struct SensorTypeInfo {
    int32_t type;
    const char* name; // class name
    int axisCount;    // values per sample as the API declares them
    int valueCount;   // values each Sample carries (8 for the digital lines)
    int boxWidth;     // bounding-box width
    bool usesCalibrationStore;
};
// Null for an identifier without a class.
const SensorTypeInfo* sensorTypeInfo(int32_t type);

class Sensor {
public:
    virtual ~Sensor();

    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    // Bookkeeping back to its start; subclasses then write their default constants.
    // Does not touch `samples`.
    virtual void reset();
    virtual void hook() {}
    // Re-times every stored sample with the measured rate (stored samples / elapsed frame
    // time) and re-converts them from their raw values with the current constants.
    // Without any accepted frame (or without samples) the current rate is kept.
    virtual void recalibrate() = 0;
    // Applies the stored calibration record of the remote with this hardware identifier
    // (accelerometer, magnetometer, gyroscope and force only).
    virtual void applyStoredCalibration(int32_t remoteHardwareId) {}
    // No slot length known: a block is bounded by the frame alone.
    static constexpr std::size_t anySlot = SIZE_MAX;

    // Decodes the sensor block starting at `position` of a whole data frame; the block's
    // data lie in the `slotLength` bytes after its header (the length the remote announced
    // for the sensor). A block of another type, one whose header or payload runs past the
    // frame, or one whose count byte is larger than its slot (decoding it would read the
    // next block as samples) is refused with a line on the error stream and changes nothing.
    // Every override keeps this default.
    virtual void parse(std::span<const uint8_t> frame, uint16_t position,
                       std::size_t slotLength = anySlot) = 0;
    // Only the combined ECG sensor decodes whole frames; everyone else ignores this.
    // `sensorDataLen` holds every block's slot length; no block is read past its slot.
    virtual void parseCombined(std::span<const uint8_t> frame,
                               const std::map<int32_t, int32_t>& sensorDataLen) {}
    // The sensor side of resetSensorOffset: force tare over a window, wheel position to 0;
    // nothing for the others.
    virtual void resetOffset(double startTime, double endTime) {}

    // Frame bookkeeping for one packet with this 8-bit frame counter; false when the packet
    // is ignored (before the first valid frame, or a repeat).
    bool acceptFrame(uint8_t frameCounter);

    int32_t remote = 0;
    int32_t minFirstFrame = 10;
    bool awaitingFirstFrame = true;
    double elapsedTime = 0.0;
    double lastSampleTime = 0.0;
    uint16_t lastFrame = 0;
    int32_t frameTotal = 0;
    int32_t spare = 0;
    int32_t packetCount = 0;
    int32_t sampleCount = 0;
    std::atomic<double> sampleRate{0.0};
    double nominalRate = 0.0;
    int32_t sensorType = 0;
    uint16_t axisCount = 0;
    CalibrationData* calibrationStore = nullptr; // not owned; may be null
    SampleCollection samples;

protected:
    Sensor(int32_t remote, int32_t sensorType, double nominalRate,
           CalibrationData* calibrationStore);

    bool acceptFrameLocked(uint8_t frameCounter);
    // Checks the block header: type, frame and slot bounds. On success gives the payload.
    bool blockPayload(std::span<const uint8_t> frame, uint16_t position, std::size_t slotLength,
                      std::span<const uint8_t>& payload) const;
    // The opening of a block's parse: the payload, the collection locked for writing and
    // the frame's remote and counter; empty when the block is malformed or the frame is
    // refused (acceptFrameLocked), so that there is nothing to add.
    struct OpenBlock {
        // A constructor, not an aggregate: clang builds `std::optional`'s in-place form only
        // from constructors.
        OpenBlock(std::span<const uint8_t> payload, SampleCollection::Editor editor,
                  uint8_t remoteNumber, uint8_t counter)
            : payload(payload), editor(std::move(editor)), remoteNumber(remoteNumber),
              counter(counter) {}
        std::span<const uint8_t> payload;
        SampleCollection::Editor editor;
        uint8_t remoteNumber;
        uint8_t counter;
    };
    std::optional<OpenBlock> openBlock(std::span<const uint8_t> frame, uint16_t position,
                                       std::size_t slotLength);
    // Next time stamp (sampleCount + 1) / sampleRate.
    void advanceTime();
    // Re-times all samples with the measured rate and calls convert for each one;
    // the box is expanded with each sample's converted values (or with what `boxValues`
    // writes when given). Caller: recalibrate.
    void
    recalibrateWith(const std::function<void(SampleCollection::Editor&, size_t)>& convert,
                    const std::function<int(const float* values, float* boxOut)>& boxValues = {});
    // The measured rate, or the current one when it cannot be measured.
    double measuredRate(size_t storedSamples) const;
};

// Builds the sensor class of `type`, already reset; null for a type without a class.
std::unique_ptr<Sensor> createSensor(int32_t type, int32_t remote, double nominalRate,
                                     CalibrationData* calibrationStore);
