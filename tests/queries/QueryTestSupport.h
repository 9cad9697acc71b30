// Shared by the query tests: an API object over a private documents folder (its scripts go
// to ScriptLog) and sensors filled with known samples.
#pragma once

#include "KorvexAPI.h"
#include "device/api/KorvexAPIObject.h"
#include "device/base/FileSystem.h"
#include "device/base/HardwareState.h"
#include "device/sensors/Sensor.h"
#include "device/storage/AcquisitionStack.h"

#include "tests/support/Bson.h"
#include "tests/support/ScriptLog.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <string>

namespace querytest {

// A sample of `valueCount` values: raw[k] = raw0 + k, values[k] = value0 + k.
inline Sample makeSample(int type, int valueCount, int raw0, float value0, uint32_t frameTotal, int frame = 0,
                         int index = 0) {
    Sample s(type, valueCount);
    for (int k = 0; k < valueCount; ++k) {
        s.raw[k] = raw0 + k;
        s.values[k] = value0 + k;
    }
    s.remote = 1;
    s.frame = static_cast<int16_t>(frame);
    s.index = static_cast<int16_t>(index);
    s.frameTotal = frameTotal;
    return s;
}

// The API object over a private documents folder; never started.
class ApiFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ScriptLog::clear();
        api = static_cast<KorvexAPI*>(getConcreteIKorvexAPI(ScriptLog::capture));
        ASSERT_NE(api, nullptr);
    }
    void TearDown() override { releaseConcreteIKorvexAPI(api); }

    // Puts remote `remote` in the current acquisition with configuration `config`.
    void configure(int remote, int config, int remoteID = 0x12AB) {
        api->hardwareState->dongleMode = DongleModeConnected;
        api->hardwareState->remoteStatus(remote)->rfStatus = 1;
        api->hardwareState->remoteStatus(remote)->remoteID = remoteID;
        ASSERT_TRUE(api->setFixedConfig(remote, config));
    }
    Sensor* sensor(int remote, int type) { return api->acquisitionStack->getSensor(remote, type); }

    // Appends n samples, `perFrame` to a frame (frames counted from 1): sample i has raw
    // values 10 * i + k and converted values i + k.
    static void fill(Sensor* s, int n, int perFrame = 1) {
        const int valueCount = sensorTypeInfo(s->sensorType)->valueCount;
        for (int i = 0; i < n; ++i) {
            const uint32_t frame = 1 + i / perFrame;
            s->samples.append(
                makeSample(s->sensorType, valueCount, 10 * i, float(i), frame, frame & 0xFF, i % perFrame));
        }
    }

    std::string folder(int kind) { return api->fileSystem->getDirectory(kind); }

    TempDir documents;
    ScopedEnv documentsDir{"KORVEX_DOCUMENTS_DIR", documents.str()};
    KorvexAPI* api = nullptr;
};

} // namespace querytest
