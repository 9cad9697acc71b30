// Stray, damaged and hostile files in the recordings and calibration folders: the library
// lists what it can read, skips the rest, reloads without crashing, and a record it cannot
// trust never changes how a sensor decodes.
#include "tests/support/KitFixture.h"

#include <sys/stat.h>

#include <fstream>
#include <random>

namespace {

void writeBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes randomBytes(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out(n);
    for (auto& b : out)
        b = uint8_t(random());
    return out;
}

Bytes documentBytes(const bson_t* doc) { return Bytes(bson_get_data(doc), bson_get_data(doc) + doc->len); }

using HostileFiles = KitFixture;

TEST_F(HostileFiles, DamagedRecordingsAreSkippedOrReloadedNeverFatal) {
    // A real recording to damage: remote 1 on configuration 3 for a moment.
    ASSERT_TRUE(configureBoth(3, 0));
    ASSERT_TRUE(stream(30));
    ASSERT_TRUE(recordedWhole());
    const std::string good = currentAcquisitionID();
    ASSERT_TRUE(api->stackAcquisition());
    const fs::path dir = rawFolder();
    const Bytes meta = readBytes(dir / (good + ".bson"));
    const Bytes raw = readBytes(dir / (good + ".raw"));
    ASSERT_GT(meta.size(), 20u);
    ASSERT_GT(raw.size(), 100u);

    auto pair = [&](const std::string& name, const Bytes& m, const Bytes& r) {
        writeBytes(dir / (name + ".bson"), m);
        writeBytes(dir / (name + ".raw"), r);
    };
    // Not listed: the metadata cannot be read, or there is no frame to replay.
    pair("truncated-meta", Bytes(meta.begin(), meta.begin() + long(meta.size() / 2)), raw);
    pair("garbage-meta", randomBytes(300, 1), raw);
    pair(
        "trailing-bytes",
        [&] {
            Bytes m = meta;
            m.push_back(0);
            m.push_back(7);
            return m;
        }(),
        raw);
    pair("huge-length", {0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00}, raw);
    pair("empty-meta", {}, raw);
    pair("one-byte-raw", meta, {0x02});
    writeBytes(dir / "folder-meta.raw", raw);
    fs::create_directory(dir / "folder-meta.bson");
    writeBytes(dir / "fifo-meta.raw", raw);
    ASSERT_EQ(mkfifo((dir / "fifo-meta.bson").c_str(), 0600), 0);
    writeBytes(dir / "loop-meta.raw", raw);
    fs::create_symlink(dir / "loop-meta.bson", dir / "loop-meta.bson");
    writeBytes(dir / "no-raw-at-all.bson", meta);
    // Listed: readable metadata over damaged frames, and metadata with hostile values.
    pair("noise-raw", meta, randomBytes(5000, 2));
    pair("cut-raw", meta, Bytes(raw.begin(), raw.begin() + long(raw.size() - 7)));
    {
        bson_t hostile;
        bson_init(&hostile);
        BSON_APPEND_UTF8(&hostile, "acquisitionID", "../../etc/passwd");
        BSON_APPEND_UTF8(&hostile, "lastStartDate", "not a date at all");
        bson_t slot, lengths;
        BSON_APPEND_DOCUMENT_BEGIN(&hostile, "remote1", &slot);
        BSON_APPEND_INT32(&slot, "fixedConfig", 3);
        BSON_APPEND_UTF8(&slot, "remoteID", "seven");
        BSON_APPEND_DOCUMENT_BEGIN(&slot, "sensorDataLen", &lengths);
        BSON_APPEND_INT32(&lengths, "1", -7);
        BSON_APPEND_INT32(&lengths, "2", 100000);
        BSON_APPEND_INT32(&lengths, "x", 12);
        BSON_APPEND_DOUBLE(&lengths, "3", 1e300);
        bson_append_document_end(&slot, &lengths);
        bson_append_document_end(&hostile, &slot);
        BSON_APPEND_INT32(&hostile, "remote2", 2147483647);
        pair("hostile-values", documentBytes(&hostile), raw);
        bson_destroy(&hostile);
        bson_t unknown;
        bson_init(&unknown);
        BSON_APPEND_DOCUMENT_BEGIN(&unknown, "remote1", &slot);
        BSON_APPEND_INT32(&slot, "fixedConfig", 200);
        bson_append_document_end(&unknown, &slot);
        BSON_APPEND_DOCUMENT_BEGIN(&unknown, "remote2", &slot);
        BSON_APPEND_INT32(&slot, "fixedConfig", -3);
        bson_append_document_end(&unknown, &slot);
        pair("unknown-config", documentBytes(&unknown), raw);
        bson_destroy(&unknown);
    }

    bson_t list;
    api->acquisitionManagement(&list, 0, "");
    EXPECT_EQ(countAt(&list, "acquisitionList"), 5); // good, noise-raw, cut-raw, hostile-values, unknown-config
    bson_destroy(&list);

    // Each reload either works or is refused; the library answers afterwards either way.
    for (const char* id :
         {"truncated-meta", "garbage-meta", "trailing-bytes", "huge-length", "empty-meta", "one-byte-raw",
          "folder-meta", "fifo-meta", "loop-meta", "no-raw-at-all", "noise-raw", "hostile-values", "unknown-config"}) {
        SCOPED_TRACE(id);
        reload(id);
        bson_t doc;
        api->getAcquisitionStack(&doc);
        bson_destroy(&doc);
    }

    // A recording cut inside its last frame replays every whole frame: exactly the
    // samples of the good recording less those of that last frame.
    ASSERT_TRUE(reload(good));
    std::vector<int> types = sensorTypes(1);
    ASSERT_FALSE(types.empty());
    std::map<int, int> whole;
    for (int type : types)
        whole[type] = samplesOf(1, type);
    ASSERT_TRUE(reload("cut-raw"));
    for (int type : types) {
        EXPECT_LE(samplesOf(1, type), whole[type]) << "sensor " << type;
        EXPECT_GE(samplesOf(1, type), whole[type] - 4) << "sensor " << type;
    }
}

TEST_F(HostileFiles, UntrustworthyCalibrationRecordsNeverChangeDecoding) {
    const fs::path dir = workFiles() / "calibration";
    fs::create_directories(dir);
    // The simulated remote 1 is unit 0x0a1b01.
    auto record = [&](int type, double offset, double scale) {
        bson_t doc;
        bson_init(&doc);
        BSON_APPEND_INT32(&doc, "remoteID", 0x0A1B01);
        BSON_APPEND_INT32(&doc, "sensor", type);
        bson_t o, s;
        BSON_APPEND_ARRAY_BEGIN(&doc, "calOffset", &o);
        for (const char* key : {"0", "1", "2"})
            BSON_APPEND_DOUBLE(&o, key, offset);
        bson_append_array_end(&doc, &o);
        BSON_APPEND_ARRAY_BEGIN(&doc, "calScale", &s);
        for (const char* key : {"0", "1", "2"})
            BSON_APPEND_DOUBLE(&s, key, scale);
        bson_append_array_end(&doc, &s);
        Bytes bytes = documentBytes(&doc);
        bson_destroy(&doc);
        return bytes;
    };
    writeBytes(dir / "cal_0x0a1b01_Accel.bson", record(1, 0.5, 0.0)); // zero scale
    writeBytes(dir / "cal_0x0a1b01_Gyro.bson", record(3, 1.0, 1e39)); // not a float
    Bytes magn = record(2, 1.0, 2.0);
    writeBytes(dir / "cal_0x0a1b01_Magn.bson", Bytes(magn.begin(), magn.begin() + 30)); // cut
    writeBytes(dir / "cal_0x0a1b01_Force.bson", randomBytes(64, 3));
    fs::create_directory(dir / "cal_0x0a1b02_Accel.bson");
    ASSERT_EQ(mkfifo((dir / "cal_0x0a1b02_Gyro.bson").c_str(), 0600), 0);
    writeBytes(dir / "cal_0x0a1b02_Magn.bson", record(2, std::nan(""), 1.0));

    bson_t list;
    bson_init(&list); // the caller prepares this one
    api->calibrationManagement(&list, 0);
    bson_destroy(&list);

    ASSERT_TRUE(configureBoth(3, 0));
    ASSERT_TRUE(stream(50));
    for (int type : sensorTypes(1)) {
        if (type == 9)
            continue;
        SCOPED_TRACE("sensor " + std::to_string(type));
        EXPECT_GT(expectValuesMatchTruth(1, type, "cal-" + std::to_string(type) + ".csv"), 0);
    }
}

} // namespace
