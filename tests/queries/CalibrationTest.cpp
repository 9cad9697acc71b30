#include "QueryTestSupport.h"

#include "device/sensors/CalibrationData.h"
#include "device/sensors/SensorClasses.h"
#include "tests/sensors/Frames.h"

#include <cstring>

using namespace querytest;

namespace {

class Calibration : public ApiFixture {
protected:
    // Runs a management command on a copy of `request` and returns the answer.
    bson_t run(const bson_t* request, int command) {
        bson_t doc;
        bson_copy_to(request, &doc);
        api->calibrationManagement(&doc, command);
        return doc;
    }
    std::string calibrationFolder() { return folder(FileSystem::Calibration); }
};

bson_t forceRecord() {
    bson_t doc;
    bson_init(&doc);
    BSON_APPEND_INT32(&doc, "remoteID", 4779);
    BSON_APPEND_INT32(&doc, "sensor", 8);
    BSON_APPEND_DOUBLE(&doc, "calOffset", 12.5);
    BSON_APPEND_DOUBLE(&doc, "calScale", -118.0);
    BSON_APPEND_UTF8(&doc, "note", "bench 3"); // kept as sent
    return doc;
}

bson_t accelRecord(std::initializer_list<double> offsets, std::initializer_list<double> scales) {
    bson_t doc, array;
    bson_init(&doc);
    BSON_APPEND_INT32(&doc, "remoteID", 4779);
    BSON_APPEND_INT32(&doc, "sensor", 1);
    int i = 0;
    BSON_APPEND_ARRAY_BEGIN(&doc, "calOffset", &array);
    for (double v : offsets) {
        const std::string key = std::to_string(i++);
        BSON_APPEND_DOUBLE(&array, key.c_str(), v);
    }
    bson_append_array_end(&doc, &array);
    i = 0;
    BSON_APPEND_ARRAY_BEGIN(&doc, "calScale", &array);
    for (double v : scales) {
        const std::string key = std::to_string(i++);
        BSON_APPEND_INT32(&array, key.c_str(), int(v)); // integers are numbers too
    }
    bson_append_array_end(&doc, &array);
    return doc;
}

} // namespace

TEST(CalibrationFileNames, HexIdentifierAndSensorName) {
    EXPECT_EQ(CalibrationData::recordFileName(0x12AB, 1), "cal_0x0012ab_Accel.bson");
    EXPECT_EQ(CalibrationData::recordFileName(0x1234567, 1), "cal_0x1234567_Accel.bson");
    EXPECT_EQ(CalibrationData::recordFileName(0x12AB, 2), "cal_0x0012ab_Magn.bson");
    EXPECT_EQ(CalibrationData::recordFileName(0x12AB, 3), "cal_0x0012ab_Gyro.bson");
    EXPECT_EQ(CalibrationData::recordFileName(0xABCDEF, 8), "cal_0xabcdef_Force.bson");
    EXPECT_EQ(CalibrationData::recordFileName(0x12AB, 26), "cal_0x0012ab_sensor26.bson");
    EXPECT_EQ(CalibrationData::recordFileName(-1, 8), "cal_0xffffffff_Force.bson");
}

TEST_F(Calibration, SavedForceRecordAppliesAtOnceAndToLaterConfigurations) {
    configure(1, 5, 4779);
    Force* force = static_cast<Force*>(sensor(1, SensorForce));
    force->samples.append(makeSample(SensorForce, 1, 2047 + 12 + 118, 0.0f, 1));

    bson_t record = forceRecord();
    bson_t answer = run(&record, 3);
    EXPECT_EQ(keys(&answer), (std::vector<std::string>{"success", "error"}));
    EXPECT_TRUE(boolAt(&answer, "success"));
    EXPECT_EQ(stringAt(&answer, "error"), "");
    EXPECT_EQ(force->tare, 12.5f);
    EXPECT_EQ(force->scale, -118.0f);
    EXPECT_FLOAT_EQ(force->samples.at(0).values[0], (118.0f - 0.5f) / -118.0f);
    EXPECT_EQ(ScriptLog::count("sensorRecalibrated"), 1);
    EXPECT_EQ(ScriptLog::count("KorvexAPI::calibrationManagement - Save - remoteID 4779 - sensor 8"), 1);

    // Stored byte for byte as sent.
    const std::string stored = readFile(calibrationFolder() + "cal_0x0012ab_Force.bson");
    EXPECT_EQ(stored, std::string(reinterpret_cast<const char*>(bson_get_data(&record)), record.len));

    // A remote that joins later with the same hardware picks it up.
    api->acquisitionStack->removeRemote(1);
    ASSERT_TRUE(api->acquisitionStack->addRemote(1, 46, 4779));
    EXPECT_EQ(static_cast<Force*>(sensor(1, SensorForce))->tare, 12.5f);

    bson_t list;
    bson_init(&list);
    api->calibrationManagement(&list, 0);
    ASSERT_EQ(countAt(&list, "calibrationList"), 1);
    EXPECT_EQ(stringAt(&list, "calibrationList.0.note"), "bench 3");
    bson_destroy(&list);
    bson_destroy(&answer);
    bson_destroy(&record);
}

TEST_F(Calibration, SavedThreeAxisRecordChangesTheDecodedValuesAxisByAxis) {
    configure(1, 5, 4779);
    Sensor* accel = sensor(1, SensorAccelerometer);
    // The accelerometer's x is the second word negated, y the first, z the third.
    accel->parse(dataFrame(1, 10, SensorAccelerometer, words({100, 200, 300})), 7);
    const Sample before = accel->samples.at(0);
    ASSERT_EQ(before.raw, (std::array<int32_t, 8>{-200, 100, 300}));

    bson_t record = accelRecord({10, 20, 30}, {2, 4, -5});
    bson_t answer = run(&record, 3);
    EXPECT_TRUE(boolAt(&answer, "success")) << stringAt(&answer, "error");
    // Worked by hand: (raw - offset) / scale, axis by axis.
    const Sample after = accel->samples.at(0);
    EXPECT_EQ(after.raw, before.raw);
    EXPECT_FLOAT_EQ(after.values[0], -105.0f); // (-200 - 10) / 2
    EXPECT_FLOAT_EQ(after.values[1], 20.0f);   // (100 - 20) / 4
    EXPECT_FLOAT_EQ(after.values[2], -54.0f);  // (300 - 30) / -5
    // And every frame decoded from then on.
    accel->parse(dataFrame(1, 11, SensorAccelerometer, words({-50, 60, 0})), 7);
    const Sample next = accel->samples.at(1);
    EXPECT_FLOAT_EQ(next.values[0], -35.0f); // (-60 - 10) / 2
    EXPECT_FLOAT_EQ(next.values[1], -17.5f); // (-50 - 20) / 4
    EXPECT_FLOAT_EQ(next.values[2], 6.0f);   // (0 - 30) / -5
    bson_destroy(&answer);
    bson_destroy(&record);
}

TEST_F(Calibration, InvalidRecordsAreRefusedAndChangeNothing) {
    configure(1, 5, 4779);
    TriaxialSensor* accel = static_cast<TriaxialSensor*>(sensor(1, SensorAccelerometer));
    const auto offsetBefore = accel->offset;

    // Plain pointers: a container of bson_t* would drop the type's alignment attribute.
    bson_t* records[8];
    size_t count = 0;
    auto keep = [&](bson_t doc) {
        records[count++] = bson_copy(&doc);
        bson_destroy(&doc);
    };
    keep(accelRecord({1, 2}, {100, 100, 100}));    // two offsets
    keep(accelRecord({1, 2, 3}, {100, 0, 100}));   // zero scale
    keep(accelRecord({1, 2, 3, 4}, {1, 1, 1, 1})); // four
    keep(accelRecord({1}, {2}));                   // sensor 1 with one value each
    bson_t* noScale = bson_new();
    BSON_APPEND_INT32(noScale, "remoteID", 4779);
    BSON_APPEND_INT32(noScale, "sensor", 8);
    BSON_APPEND_DOUBLE(noScale, "calOffset", 1.0);
    records[count++] = noScale; // no calScale
    bson_t* textId = bson_new();
    BSON_APPEND_UTF8(textId, "remoteID", "4779");
    records[count++] = textId; // not a number
    bson_t* forceArray = bson_new();
    BSON_APPEND_INT32(forceArray, "remoteID", 4779);
    BSON_APPEND_INT32(forceArray, "sensor", 8);
    bson_t array;
    BSON_APPEND_ARRAY_BEGIN(forceArray, "calOffset", &array);
    BSON_APPEND_DOUBLE(&array, "0", 1.0);
    bson_append_array_end(forceArray, &array);
    BSON_APPEND_DOUBLE(forceArray, "calScale", 2.0);
    records[count++] = forceArray; // force takes single numbers

    for (size_t i = 0; i < count; ++i) {
        bson_t answer = run(records[i], 3);
        EXPECT_FALSE(boolAt(&answer, "success")) << i;
        EXPECT_FALSE(stringAt(&answer, "error").empty()) << i;
        bson_destroy(&answer);
        bson_destroy(records[i]);
    }
    EXPECT_EQ(accel->offset, offsetBefore);
    EXPECT_EQ(ScriptLog::count("sensorRecalibrated"), 0);
    EXPECT_TRUE(std::filesystem::is_empty(calibrationFolder()));
}

TEST_F(Calibration, StrayInvalidFileIsNotApplied) {
    bson_t bad = accelRecord({1, 2, 3}, {0, 0, 0});
    std::string error;
    ASSERT_TRUE(api->fileSystem->saveBson(&bad, calibrationFolder() + "cal_0x0012ab_Accel.bson", error));
    bson_destroy(&bad);
    configure(1, 2, 0x12AB);
    const auto scale = static_cast<TriaxialSensor*>(sensor(1, SensorAccelerometer))->scale;
    for (float s : scale)
        EXPECT_NE(s, 0.0f);
}

TEST_F(Calibration, DeleteListAndUnsupportedCommands) {
    bson_t empty;
    bson_init(&empty);
    api->calibrationManagement(&empty, 0);
    EXPECT_EQ(keys(&empty), (std::vector<std::string>{"calibrationList"}));
    EXPECT_EQ(countAt(&empty, "calibrationList"), 0);
    bson_destroy(&empty);

    bson_t record = accelRecord({1, 2, 3}, {100, 200, 300});
    bson_t answer = run(&record, 3);
    EXPECT_TRUE(boolAt(&answer, "success"));
    bson_destroy(&answer);

    for (int command : {1, -1, 4}) {
        bson_t untouched = run(&record, command);
        EXPECT_TRUE(bson_equal(&untouched, &record)) << command;
        bson_destroy(&untouched);
    }
    EXPECT_EQ(ScriptLog::count("KorvexAPI::calibrationManagement - Command not supported"), 3);

    answer = run(&record, 2);
    EXPECT_TRUE(boolAt(&answer, "success"));
    bson_destroy(&answer);
    EXPECT_FALSE(std::filesystem::exists(calibrationFolder() + "cal_0x0012ab_Accel.bson"));
    answer = run(&record, 2);
    EXPECT_FALSE(boolAt(&answer, "success"));
    EXPECT_EQ(stringAt(&answer, "error"), "FileSystem::deleteFile - file doesn't exist");
    bson_destroy(&answer);
    bson_destroy(&record);
}
