#include "QueryTestSupport.h"

#include <cfloat>
#include <vector>

using namespace querytest;

namespace {

class SensorData : public ApiFixture {
protected:
    void TearDown() override {
        api->freeBufferArray(&buffer);
        bson_destroy(&doc);
        ApiFixture::TearDown();
    }
    std::vector<float> floats() const { return std::vector<float>(buffer.data, buffer.data + buffer.size); }

    bson_t doc = BSON_INITIALIZER;
    bufferArray buffer;
};

} // namespace

TEST_F(SensorData, AllAxesWithRawValuesAreLaidOutColumnByColumn) {
    configure(1, 2); // accelerometer at 400 Hz
    fill(sensor(1, SensorAccelerometer), 3);
    bson_destroy(&doc);
    api->getSensorData(&doc, &buffer, 1, SensorAccelerometer, 0, -1, true, -1, -1);

    EXPECT_EQ(keys(&doc), (std::vector<std::string>{"remote", "sensorType", "sampleSize", "sampleRate", "datalength",
                                                    "rawdata", "boundingBox"}));
    EXPECT_EQ(int32At(&doc, "sampleSize"), 3);
    EXPECT_EQ(int32At(&doc, "sampleRate"), 400);
    EXPECT_EQ(int32At(&doc, "datalength"), 3);
    EXPECT_TRUE(boolAt(&doc, "rawdata"));
    ASSERT_EQ(buffer.size, 21u);
    const std::vector<float> expected = {
        1 / 400.f, 2 / 400.f, 3 / 400.f,                       // times
        0,         1,         2,         1, 2,  3,  2, 3,  4,  // converted x, y, z
        0,         10,        20,        1, 11, 21, 2, 12, 22, // raw x, y, z
    };
    EXPECT_EQ(floats(), expected);
    EXPECT_EQ(countAt(&doc, "boundingBox.max"), 3);
    EXPECT_EQ(doubleAt(&doc, "boundingBox.max.2"), 4.0);
    EXPECT_EQ(doubleAt(&doc, "boundingBox.min.1"), 1.0);
}

TEST_F(SensorData, OneAxisWithoutRawValuesAndTheReportedRate) {
    configure(1, 2);
    Sensor* accel = sensor(1, SensorAccelerometer);
    fill(accel, 3);
    accel->sampleRate = 397.6; // as after a recalibration
    bson_destroy(&doc);
    api->getSensorData(&doc, &buffer, 1, SensorAccelerometer, 0, -1, false, 2, -1);
    EXPECT_EQ(int32At(&doc, "sampleSize"), 1);
    EXPECT_EQ(int32At(&doc, "sampleRate"), 397);
    EXPECT_FALSE(boolAt(&doc, "rawdata"));
    EXPECT_EQ(countAt(&doc, "boundingBox.min"), 1);
    ASSERT_EQ(buffer.size, 6u);
    EXPECT_EQ(buffer.data[3], 2.0f);
    EXPECT_EQ(buffer.data[5], 4.0f);
}

TEST_F(SensorData, AxisOutsideTheSampleGivesAnEmptyResult) {
    configure(1, 2);
    fill(sensor(1, SensorAccelerometer), 3);
    for (int axis : {3, 8, -2, 1000}) {
        bson_destroy(&doc);
        api->freeBufferArray(&buffer);
        api->getSensorData(&doc, &buffer, 1, SensorAccelerometer, 0, -1, true, axis, -1);
        EXPECT_EQ(int32At(&doc, "datalength"), 0) << axis;
        EXPECT_EQ(buffer.size, 0u) << axis;
    }
}

TEST_F(SensorData, CombinedEcgLeadSixWithZeroRawColumn) {
    configure(1, 47);
    fill(sensor(1, SensorEcg6), 4);
    bson_destroy(&doc);
    api->getSensorData(&doc, &buffer, 1, SensorEcg6, 0, -1, true, 6, -1);
    ASSERT_EQ(buffer.size, 12u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(buffer.data[4 + i], -2.0f); // w - c3 with c = i .. i + 5
        EXPECT_EQ(buffer.data[8 + i], 0.0f);
    }
}

TEST_F(SensorData, ResamplingTargetIsReportedAndRateZeroMeansNone) {
    configure(1, 2);
    fill(sensor(1, SensorAccelerometer), 400); // one second
    bson_destroy(&doc);
    api->getSensorData(&doc, &buffer, 1, SensorAccelerometer, 0, -1, false, 0, 100);
    EXPECT_EQ(int32At(&doc, "sampleRate"), 100);
    EXPECT_NEAR(int32At(&doc, "datalength"), 100, 1);
    bson_destroy(&doc);
    api->freeBufferArray(&buffer);
    api->getSensorData(&doc, &buffer, 1, SensorAccelerometer, 0, -1, false, 0, 0);
    EXPECT_EQ(int32At(&doc, "datalength"), 400);
    EXPECT_EQ(int32At(&doc, "sampleRate"), 400);
}

TEST_F(SensorData, MissingAndEmptySensors) {
    configure(1, 2);
    bson_destroy(&doc);
    api->getSensorData(&doc, &buffer, 1, SensorForce, 0, -1, false, -1, -1);
    EXPECT_TRUE(keys(&doc).empty());
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(ScriptLog::count("KorvexAPI::getSensorData - The sensor 8 for remote 1 is not defined (NULL)"), 1);

    bson_destroy(&doc);
    api->getSensorData(&doc, &buffer, 1, SensorAccelerometer, 0, -1, false, -1, -1);
    EXPECT_EQ(int32At(&doc, "datalength"), 0);
    EXPECT_EQ(countAt(&doc, "boundingBox.max"), 3);
    EXPECT_EQ(doubleAt(&doc, "boundingBox.max.0"), -double(FLT_MAX));
    EXPECT_EQ(doubleAt(&doc, "boundingBox.min.2"), double(FLT_MAX));
    EXPECT_EQ(ScriptLog::count("KorvexAPI::getSensorData - No data for sensor 1, remote 1 "), 1);

    bson_destroy(&doc);
    api->freeBufferArray(&buffer);
    api->getLastSample(&doc, &buffer, 1, SensorAccelerometer);
    EXPECT_EQ(int32At(&doc, "datalength"), 0);
    EXPECT_NE(buffer.data, nullptr); // an empty array
    EXPECT_EQ(buffer.size, 0u);

    bson_destroy(&doc);
    api->freeBufferArray(&buffer);
    api->getLastSample(&doc, &buffer, 3, SensorAccelerometer);
    EXPECT_TRUE(keys(&doc).empty());
    EXPECT_EQ(ScriptLog::count("Sensor not defined for the this acquisition 3 1"), 1);
}

TEST_F(SensorData, LastSampleCarriesTheNewestValuesAndTime) {
    configure(1, 2);
    fill(sensor(1, SensorAccelerometer), 5);
    bson_destroy(&doc);
    api->getLastSample(&doc, &buffer, 1, SensorAccelerometer);
    EXPECT_EQ(int32At(&doc, "datalength"), 1);
    EXPECT_FALSE(boolAt(&doc, "rawdata"));
    ASSERT_EQ(buffer.size, 4u);
    EXPECT_EQ(floats(), (std::vector<float>{5 / 400.f, 4, 5, 6}));
}

TEST_F(SensorData, TwoSensorsJoinOnFrames) {
    configure(1, 5);                             // accelerometer 100 Hz, gyroscope, force 100 Hz
    fill(sensor(1, SensorAccelerometer), 20, 4); // frames 1..5, four samples each
    fill(sensor(1, SensorForce), 12, 2);         // frames 1..6, two samples each
    bson_destroy(&doc);
    api->getSensorData2(&doc, &buffer, 1, SensorAccelerometer, SensorForce, 0, -1);
    EXPECT_EQ(keys(&doc), (std::vector<std::string>{"remote", "sampleRate", "sensorType", "sampleSize", "datalength"}));
    EXPECT_EQ(int32At(&doc, "sampleRate"), 100);
    EXPECT_EQ(doubleAt(&doc, "sensorType.1"), 8.0);
    EXPECT_EQ(doubleAt(&doc, "sampleSize.0"), 3.0);
    EXPECT_EQ(doubleAt(&doc, "sampleSize.1"), 1.0);
    ASSERT_EQ(int32At(&doc, "datalength"), 5);
    ASSERT_EQ(buffer.size, 25u);
    EXPECT_FLOAT_EQ(buffer.data[0], 0.01f);
    EXPECT_FLOAT_EQ(buffer.data[4], 0.05f);
    EXPECT_FLOAT_EQ(buffer.data[5], 1.5f);       // accel x, frame 1: mean of 0..3
    EXPECT_FLOAT_EQ(buffer.data[15 + 4], 19.5f); // accel z, frame 5: mean of 18..21
    EXPECT_FLOAT_EQ(buffer.data[20 + 1], 2.5f);  // force, frame 2: mean of 2, 3

    bson_destroy(&doc);
    api->freeBufferArray(&buffer);
    api->getSensorData2(&doc, &buffer, 1, SensorAccelerometer, SensorForce, 0, 0.035);
    EXPECT_EQ(int32At(&doc, "datalength"), 3);
    EXPECT_EQ(buffer.size, 15u);
}

TEST_F(SensorData, TwoSensorsWithAMissingOrEmptyOne) {
    configure(1, 5);
    fill(sensor(1, SensorAccelerometer), 8, 4);
    bson_destroy(&doc);
    api->getSensorData2(&doc, &buffer, 1, SensorAccelerometer, SensorLight, 0, -1);
    EXPECT_TRUE(keys(&doc).empty());
    EXPECT_EQ(ScriptLog::count("Sensor not defined for the this acquisition 1 7"), 1);

    bson_destroy(&doc);
    api->getSensorData2(&doc, &buffer, 1, SensorAccelerometer, SensorForce, 0, -1);
    EXPECT_EQ(int32At(&doc, "datalength"), 0);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(ScriptLog::count("KorvexAPI::getSensorData - No data for sensor 8"), 1);
}
