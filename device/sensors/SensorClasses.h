// The sensor classes. Most differ only in how a sample's words map to raw values and in
// their default constants, so they share two bases (three axes, one axis); the wheel,
// the barometer, the thermometer, the digital lines, the force probe and the combined ECG
// really behave differently and have their own code.
//
// Constants are public for reading. Change them while the sensor may be streaming only
// through the setters, which take the sensor's exclusive lock so that a block is never
// decoded with half-changed constants. Converted values of stored samples follow a change
// only after recalibrate().
#pragma once

#include "device/sensors/Sensor.h"

#include <array>

// Three values per sample, each (raw - offset) / scale.
class TriaxialSensor : public Sensor {
public:
    std::array<float, 3> offset{};
    std::array<float, 3> scale{};

    void recalibrate() override;
    void parse(std::span<const uint8_t> frame, uint16_t position,
               std::size_t slotLength = anySlot) override;
    void applyStoredCalibration(int32_t remoteHardwareId) override;
    // Replaces the three offsets and scales; refused (false, nothing changes) when a scale
    // is zero or not finite, or an offset is not finite.
    bool setCalibration(const std::array<float, 3>& offset, const std::array<float, 3>& scale);

protected:
    // Raw value k is sign[k] * word[k] of the sample's three big-endian words.
    struct AxisWord {
        int word;
        int sign;
    };
    TriaxialSensor(int32_t remote, int32_t type, double nominalRate, CalibrationData* store,
                   std::array<AxisWord, 3> axisWords);
    void setDefaults(const std::array<float, 3>& offset, const std::array<float, 3>& scale);

private:
    std::array<AxisWord, 3> axisWords;
};

class Accelerometer : public TriaxialSensor {
public:
    Accelerometer(int32_t remote, double nominalRate, CalibrationData* store);
    void reset() override;
};

class Magnetometer : public TriaxialSensor {
public:
    Magnetometer(int32_t remote, double nominalRate, CalibrationData* store);
    void reset() override;
};

class Gyroscope : public TriaxialSensor {
public:
    Gyroscope(int32_t remote, double nominalRate, CalibrationData* store);
    void reset() override;
};

class Ecg : public TriaxialSensor {
public:
    Ecg(int32_t remote, double nominalRate);
    void reset() override;
};

// One value per sample from one big-endian word, (raw - offset) / scale.
class ScalarSensor : public Sensor {
public:
    float offset = 0.0f;
    float scale = 1.0f;

    void recalibrate() override;
    void parse(std::span<const uint8_t> frame, uint16_t position,
               std::size_t slotLength = anySlot) override;
    // Replaces the scale; refused when zero or not finite.
    bool setScale(float scale);
    void reset() override;

protected:
    ScalarSensor(int32_t remote, int32_t type, double nominalRate, float defaultOffset,
                 float defaultScale);

private:
    float defaultOffset;
    float defaultScale;
};

class Microphone : public ScalarSensor {
public:
    Microphone(int32_t remote, double nominalRate);
};
class Light : public ScalarSensor {
public:
    Light(int32_t remote, double nominalRate);
};
class Battery : public ScalarSensor {
public:
    Battery(int32_t remote, double nominalRate);
};
class HighGain : public ScalarSensor {
public:
    HighGain(int32_t remote, double nominalRate);
};
class Analog7 : public ScalarSensor {
public:
    Analog7(int32_t remote, double nominalRate);
};
class Analog8 : public ScalarSensor {
public:
    Analog8(int32_t remote, double nominalRate);
};
class Analog9 : public ScalarSensor {
public:
    Analog9(int32_t remote, double nominalRate);
};

// Force probe: (raw - offset - tare) / scale; the tare comes from a calibration record or
// from the offset reset.
class Force : public Sensor {
public:
    Force(int32_t remote, double nominalRate, CalibrationData* store);

    float offset = 0.0f;
    float tare = 0.0f;
    float scale = 1.0f;

    void reset() override;
    void recalibrate() override;
    void parse(std::span<const uint8_t> frame, uint16_t position,
               std::size_t slotLength = anySlot) override;
    void applyStoredCalibration(int32_t remoteHardwareId) override;
    // tare = mean raw value of the samples in the window - offset.
    void resetOffset(double startTime, double endTime) override;
    // Replaces tare and scale; refused when the scale is zero or a value not finite.
    bool setCalibration(float tare, float scale);
};

// Wheel encoder: each sample's count adds to a running position; the velocity follows
// from the count and the acceleration is the least-squares slope of the velocity over a
// window of 2 * halfWindow + 1 samples, filled in halfWindow samples late.
class Wheel : public Sensor {
public:
    Wheel(int32_t remote, double nominalRate);

    int32_t position = 0;
    int32_t lastCount = 0;
    float scale = 1000.0f;
    int32_t halfWindow = 5;

    void reset() override;
    void recalibrate() override;
    void parse(std::span<const uint8_t> frame, uint16_t position,
               std::size_t slotLength = anySlot) override;
    // Later samples count on from position 0.
    void resetOffset(double startTime, double endTime) override;

    // Least-squares slope of velocity over sample indices [s, e] (NaN when e < s).
    static double velocitySlope(const SampleCollection::Editor& samples, long s, long e,
                                double rate, float scale);
};

// Barometer: 10-bit pressure and temperature readings compensated with the four
// coefficient words the remote reports.
class Barometer : public Sensor {
public:
    Barometer(int32_t remote, double nominalRate);

    int16_t A0 = 0, B1 = 0, B2 = 0, C12 = 0;
    float a0 = 0.0f, b1 = 0.0f, b2 = 0.0f, c12 = 0.0f;
    bool coefficientsDerived = false;

    void reset() override;
    void recalibrate() override;
    void parse(std::span<const uint8_t> frame, uint16_t position,
               std::size_t slotLength = anySlot) override;
    // Stores the remote's coefficient words and derives the coefficients from them.
    void setCoefficientWords(int16_t A0, int16_t B1, int16_t B2, int16_t C12);
    void deriveCoefficients();

    // The 10-bit reading held in the top bits of a big-endian word.
    static int32_t adcValue(uint8_t b0, uint8_t b1);
    float pressure(int32_t padc, int32_t tadc) const;
    static float temperature(int32_t tadc);
};

// Thermometer: one 32-bit reading scaled and placed on the line through the remote's
// readings at 30 and 85 degrees.
class Thermometer : public Sensor {
public:
    Thermometer(int32_t remote, double nominalRate);

    float calAt30degrees = 0.0f;
    float calAt85degrees = 0.0f;
    float rawScaleNumerator = 0.0f;
    float rawScaleDenominator = 0.0f;

    void reset() override;
    void recalibrate() override;
    void parse(std::span<const uint8_t> frame, uint16_t position,
               std::size_t slotLength = anySlot) override;
    // Stores the remote's two calibration readings; refused (false, with a line on the
    // error stream) when they are equal, which would divide by zero.
    bool setCalibrationPoints(float at85degrees, float at30degrees);
    float temperature(int32_t raw) const;
};

// Eight digital lines per sample byte: raw bit j, converted j + 0.5 * bit j.
class Digital : public Sensor {
public:
    Digital(int32_t remote, double nominalRate);

    void recalibrate() override;
    void parse(std::span<const uint8_t> frame, uint16_t position,
               std::size_t slotLength = anySlot) override;
};

// The combined ECG of fixed configuration 47: three electrodes from the type-10 block and
// three analog inputs from the type-21/22/23 blocks of the same frame, six values per
// sample, and nine derived leads.
class Ecg6 : public Sensor {
public:
    Ecg6(int32_t remote, double nominalRate);

    float offset = 0.0f;
    float scale = 1.0f;

    void reset() override;
    void recalibrate() override;
    void parse(std::span<const uint8_t> frame, uint16_t position,
               std::size_t slotLength = anySlot) override {}
    void parseCombined(std::span<const uint8_t> frame,
                       const std::map<int32_t, int32_t>& sensorDataLen) override;

    static constexpr int leadCount = 9;
    // The nine leads of converted values c[0..5].
    static void leads(const float* c, float* out);
};
