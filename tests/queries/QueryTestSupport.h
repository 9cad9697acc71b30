// Shared by the query tests: an API object over a private documents folder, a capture of
// the scripts it sends, sensors filled with known samples, and BSON reading helpers.
#pragma once

#include "KorvexAPI.h"
#include "device/api/KorvexAPIObject.h"
#include "device/base/FileSystem.h"
#include "device/base/HardwareState.h"
#include "device/sensors/Sensor.h"
#include "device/storage/AcquisitionStack.h"

#include <gtest/gtest.h>

#include <bson/bson.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

namespace querytest {

inline std::mutex scriptsLock;
inline std::vector<std::string> scripts;

inline void capture(const char* script) {
    std::lock_guard guard(scriptsLock);
    scripts.emplace_back(script);
}

inline int countScripts(const std::string& text) {
    std::lock_guard guard(scriptsLock);
    int n = 0;
    for (const auto& script : scripts)
        if (script.find(text) != std::string::npos)
            ++n;
    return n;
}

class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korvex-queries-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            root = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    const std::filesystem::path& path() const { return root; }

private:
    std::filesystem::path root;
};

// A sample of `valueCount` values: raw[k] = raw0 + k, values[k] = value0 + k.
inline Sample makeSample(int type, int valueCount, int raw0, float value0, uint32_t frameTotal,
                         int frame = 0, int index = 0) {
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
        setenv("KORVEX_DOCUMENTS_DIR", documents.path().c_str(), 1);
        {
            std::lock_guard guard(scriptsLock);
            scripts.clear();
        }
        api = static_cast<KorvexAPI*>(getConcreteIKorvexAPI(capture));
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
            s->samples.append(makeSample(s->sensorType, valueCount, 10 * i, float(i), frame,
                                         frame & 0xFF, i % perFrame));
        }
    }

    std::string folder(int kind) { return api->fileSystem->getDirectory(kind); }

    TempDir documents;
    KorvexAPI* api = nullptr;
};

// ---- BSON reading -----------------------------------------------------------------------

inline std::vector<std::string> keys(const bson_t* document) {
    std::vector<std::string> out;
    bson_iter_t iter;
    if (bson_iter_init(&iter, document))
        while (bson_iter_next(&iter))
            out.emplace_back(bson_iter_key(&iter));
    return out;
}

inline bson_iter_t find(const bson_t* document, const char* path) {
    bson_iter_t iter, found;
    if (!bson_iter_init(&iter, document) || !bson_iter_find_descendant(&iter, path, &found)) {
        ADD_FAILURE() << "missing key " << path;
        bson_iter_init(&found, document);
    }
    return found;
}

inline int32_t int32At(const bson_t* document, const char* path) {
    bson_iter_t it = find(document, path);
    EXPECT_EQ(bson_iter_type(&it), BSON_TYPE_INT32) << path;
    return BSON_ITER_HOLDS_INT32(&it) ? bson_iter_int32(&it) : -12345;
}

inline double doubleAt(const bson_t* document, const char* path) {
    bson_iter_t it = find(document, path);
    EXPECT_EQ(bson_iter_type(&it), BSON_TYPE_DOUBLE) << path;
    return BSON_ITER_HOLDS_DOUBLE(&it) ? bson_iter_double(&it) : -12345.0;
}

inline bool boolAt(const bson_t* document, const char* path) {
    bson_iter_t it = find(document, path);
    EXPECT_EQ(bson_iter_type(&it), BSON_TYPE_BOOL) << path;
    return BSON_ITER_HOLDS_BOOL(&it) && bson_iter_bool(&it);
}

inline std::string stringAt(const bson_t* document, const char* path) {
    bson_iter_t it = find(document, path);
    EXPECT_EQ(bson_iter_type(&it), BSON_TYPE_UTF8) << path;
    return BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : "";
}

inline bool has(const bson_t* document, const char* path) {
    bson_iter_t iter, found;
    return bson_iter_init(&iter, document) && bson_iter_find_descendant(&iter, path, &found);
}

// Number of elements of an array (or keys of a document) at `path`.
inline int countAt(const bson_t* document, const char* path) {
    bson_iter_t it = find(document, path);
    bson_iter_t child;
    if (!(BSON_ITER_HOLDS_ARRAY(&it) || BSON_ITER_HOLDS_DOCUMENT(&it)) ||
        !bson_iter_recurse(&it, &child))
        return -1;
    int n = 0;
    while (bson_iter_next(&child))
        ++n;
    return n;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace querytest
