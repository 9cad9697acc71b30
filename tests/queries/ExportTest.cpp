#include "QueryTestSupport.h"

#include "device/storage/CsvExport.h"

#include <atomic>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <thread>

using namespace querytest;

namespace {

class Export : public ApiFixture {
protected:
    bson_t exportTo(int remote, int type, const char* name) {
        bson_t doc;
        bson_init(&doc);
        api->exportData(&doc, remote, type, name);
        return doc;
    }
};

} // namespace

TEST_F(Export, OneAxisSensorWithDefaultName) {
    configure(1, 5);
    fill(sensor(1, SensorForce), 2);
    bson_t doc = exportTo(1, SensorForce, "");
    EXPECT_EQ(keys(&doc), (std::vector<std::string>{"success", "path"}));
    EXPECT_TRUE(boolAt(&doc, "success"));
    const std::string expectedPath =
        folder(FileSystem::Export) + api->acquisitionStack->currentAcquisitionID() + "_1_8.csv";
    EXPECT_EQ(stringAt(&doc, "path"), expectedPath);
    EXPECT_EQ(readFile(expectedPath), "index, frame, sample, time, raw[0], cal[0]\n"
                                      "0,1,0,0.01,0,0\n"
                                      "1,2,0,0.02,10,1\n");
    bson_destroy(&doc);
}

TEST_F(Export, GivenNamesGetTheExtensionAndSubFoldersMustExist) {
    configure(1, 2);
    fill(sensor(1, SensorAccelerometer), 3);
    bson_t doc = exportTo(1, SensorAccelerometer, "run1");
    EXPECT_EQ(stringAt(&doc, "path"), folder(FileSystem::Export) + "run1.csv");
    const std::string text = readFile(folder(FileSystem::Export) + "run1.csv");
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "index, frame, sample, time, raw[0], cal[0], raw[1], cal[1], raw[2], cal[2]");
    bson_destroy(&doc);

    doc = exportTo(1, SensorAccelerometer, "run1.csv");
    EXPECT_EQ(stringAt(&doc, "path"), folder(FileSystem::Export) + "run1.csv.csv");
    bson_destroy(&doc);

    doc = exportTo(1, SensorAccelerometer, "missing/run2");
    EXPECT_FALSE(boolAt(&doc, "success"));
    EXPECT_EQ(stringAt(&doc, "error"), "Cannot open file " + folder(FileSystem::Export) + "missing/run2.csv");
    bson_destroy(&doc);
}

TEST_F(Export, NamesThatLeaveTheExportFolderAreRefused) {
    configure(1, 2);
    fill(sensor(1, SensorAccelerometer), 3);
    const std::string outside = (documents.path() / "outside").string();
    for (const std::string& name : {outside, std::string("../outside"), std::string("a/../../outside"),
                                    std::string(".."), std::string("/etc/passwd")}) {
        bson_t doc = exportTo(1, SensorAccelerometer, name.c_str());
        EXPECT_FALSE(boolAt(&doc, "success")) << name;
        EXPECT_EQ(stringAt(&doc, "error"), "Invalid file name " + name);
        bson_destroy(&doc);
    }
    EXPECT_FALSE(std::filesystem::exists(outside + ".csv"));
    EXPECT_FALSE(std::filesystem::exists(documents.path() / "Korvex-WorkFiles" / "outside.csv"));
}

TEST_F(Export, MissingSensorAndEmptySensor) {
    configure(1, 2);
    bson_t doc = exportTo(1, SensorForce, "");
    EXPECT_FALSE(boolAt(&doc, "success"));
    EXPECT_EQ(stringAt(&doc, "error"), "The sensor is not configured");
    EXPECT_EQ(
        ScriptLog::count("** ERROR => KorvexAPI::getSensorData - Sensor not defined for the this acquisition 1 8"), 1);
    bson_destroy(&doc);
    doc = exportTo(1, SensorAccelerometer, nullptr);
    EXPECT_EQ(stringAt(&doc, "error"), "There is no data to export");
    EXPECT_EQ(ScriptLog::count("KorvexAPI::exportData - ERROR - No data for sensor 1"), 1);
    bson_destroy(&doc);
}

TEST(CsvLine, TimeReadsBackExactlyAndValuesUseTheStreamForm) {
    const int32_t raw[3] = {-5, 2147483647, 0};
    const float values[3] = {3.14159265f, 1e-7f, 123456789.0f};
    char buffer[512];
    // After 1000 s six digits would print every 100 Hz sample as "1000".
    for (double time : {1000.01, 1000.02, 3599.9997916666665, 1.0 / 3.0, 0.0}) {
        char* end = CsvExport::formatLine(buffer, 7, 255, 3, time, raw, values, 3);
        ASSERT_LE(size_t(end - buffer), CsvExport::maxLineLength(3));
        std::string line(buffer, end);
        ASSERT_EQ(line.back(), '\n');
        std::vector<std::string> fields;
        std::stringstream split(line.substr(0, line.size() - 1));
        for (std::string field; std::getline(split, field, ',');)
            fields.push_back(field);
        ASSERT_EQ(fields.size(), 10u);
        EXPECT_EQ(std::strtod(fields[3].c_str(), nullptr), time) << fields[3];
        EXPECT_EQ(fields[0], "7");
        EXPECT_EQ(fields[1], "255");
        EXPECT_EQ(fields[4], "-5");
        EXPECT_EQ(fields[6], "2147483647");
        for (int k = 0; k < 3; ++k) {
            std::ostringstream stream;
            stream << values[k];
            EXPECT_EQ(fields[5 + 2 * k], stream.str());
        }
    }
}

TEST(CsvNames, SafeNames) {
    EXPECT_TRUE(CsvExport::isSafeName("run1"));
    EXPECT_TRUE(CsvExport::isSafeName("class/run1"));
    EXPECT_TRUE(CsvExport::isSafeName("a..b"));
    EXPECT_FALSE(CsvExport::isSafeName("/abs"));
    EXPECT_FALSE(CsvExport::isSafeName("x/.."));
    EXPECT_FALSE(CsvExport::isSafeName(std::string("a\0b", 3)));
}

TEST_F(Export, AFullDiskIsNotReportedAsSuccess) {
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    configure(1, 2);
    fill(sensor(1, SensorAccelerometer), 3);
    std::filesystem::create_symlink("/dev/full", folder(FileSystem::Export) + "full.csv");
    bson_t doc = exportTo(1, SensorAccelerometer, "full");
    EXPECT_FALSE(boolAt(&doc, "success"));
    EXPECT_EQ(stringAt(&doc, "error"), "Cannot write file " + folder(FileSystem::Export) + "full.csv");
    bson_destroy(&doc);
}

namespace {

// What the converted values have always been written as.
std::string printfG(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value));
    return text;
}

std::string formatted(float value) {
    char text[64];
    return std::string(text, CsvExport::formatValue(text, value));
}

float fromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

} // namespace

TEST(CsvValue, SameTextAsPrintfForEveryKindOfFloat) {
    std::vector<float> values = {0.0f,    -0.0f,    INFINITY, -INFINITY,    NAN,           -NAN,
                                 FLT_MIN, -FLT_MIN, FLT_MAX,  FLT_TRUE_MIN, -FLT_TRUE_MIN, fromBits(0x007fffff),
                                 1e-17f,  1e27f,    3.4e38f};
    // Around every power of ten and where six digits round up into the next one (9.999995,
    // 999999.5, ...), both sides, a few steps of the last bit each way: here printf changes
    // between fixed and exponent form (1e-5, 1e-4, 1e6) and the digit count changes.
    for (int e = -46; e <= 39; ++e)
        for (double m : {1.0, 9.99999, 9.999995, 9.9999949999, 9.9999950001, 1.000005, 5.0}) {
            float f = static_cast<float>(m * std::pow(10.0, e));
            for (int step = 0; step < 4; ++step)
                f = std::nextafter(f, 0.0f);
            for (int step = 0; step < 9; ++step, f = std::nextafter(f, INFINITY)) {
                values.push_back(f);
                values.push_back(-f);
            }
        }
    // Exact ties at the sixth digit (round half to even): 7-digit integers ending in 5,
    // 8-digit ones ending in 50, and x.5, x.25, x.75 after six or five integer digits.
    for (int n = 1000005; n < 10000000; n += 10 * 997)
        values.push_back(static_cast<float>(n));
    for (int n = 10000050; n < 16777216; n += 100 * 1009)
        values.push_back(static_cast<float>(n));
    for (int n = 100000; n < 1000000; n += 7919)
        for (float frac : {0.5f, 0.25f, 0.75f, 0.125f})
            values.push_back(n + frac), values.push_back(n / 10 + frac);
    // Every bit pattern is as likely: all exponents, denormals and NaN payloads.
    std::mt19937 random(22);
    for (int i = 0; i < 1000000; ++i)
        values.push_back(fromBits(static_cast<uint32_t>(random())));
    // Values in the usual range of sensor readings.
    std::uniform_real_distribution<float> reading(-2000.0f, 2000.0f);
    for (int i = 0; i < 200000; ++i)
        values.push_back(reading(random));

    int mismatches = 0;
    for (float v : values) {
        const std::string expected = printfG(v);
        if (formatted(v) != expected && ++mismatches <= 10)
            ADD_FAILURE() << "bits " << std::hex << std::bit_cast<uint32_t>(v) << ": " << formatted(v) << " instead of "
                          << expected;
    }
    EXPECT_EQ(mismatches, 0);
}

namespace {

// A stored three-axis collection whose rows follow from their position: raw[k] = i * 7 + k
// - 50000, values raw / 3 times `factor`, frame i / 8, index i % 8.
void appendRows(SampleCollection& c, size_t count, float factor) {
    auto e = c.edit();
    for (size_t n = e.size(), i = n; i < n + count; ++i) {
        int32_t raw[3];
        float values[3];
        for (int k = 0; k < 3; ++k) {
            raw[k] = static_cast<int32_t>(i * 7 + k) - 50000;
            values[k] = static_cast<float>(raw[k]) / 3.0f * factor;
        }
        e.append(raw, values, 1, static_cast<uint8_t>(i / 8), static_cast<uint8_t>(i % 8),
                 static_cast<uint32_t>(i / 8));
    }
}

// The line of row i as the export has always written it.
std::string expectedLine(size_t i, double rate, float factor) {
    std::string line = std::to_string(i) + "," + std::to_string(i / 8 % 256) + "," + std::to_string(i % 8) + ",";
    char time[64];
    line.append(time, std::to_chars(time, time + 64, static_cast<double>(i + 1) / rate).ptr);
    for (int k = 0; k < 3; ++k) {
        const int32_t raw = static_cast<int32_t>(i * 7 + k) - 50000;
        line += "," + std::to_string(raw) + "," + printfG(static_cast<float>(raw) / 3.0f * factor);
    }
    return line + "\n";
}

} // namespace

TEST(CsvStoredExport, EveryRowOnceInOrderWhileTheParserAppends) {
    TempDir folder;
    SampleCollection c(SampleLayout{SensorAccelerometer, 3, 100.0}, 0);
    appendRows(c, 70000, 1.0f); // several copies' worth
    const size_t before = c.size();
    std::atomic<bool> done{false};
    std::thread parser([&] {
        while (!done.load())
            appendRows(c, 8, 1.0f);
    });
    const std::string path = (folder.path() / "a.csv").string();
    const CsvExport::Result result = CsvExport::write(c, 3, path);
    done = true;
    parser.join();
    ASSERT_TRUE(result.written);
    EXPECT_GE(result.lines, before);
    EXPECT_LE(result.lines, c.size());
    std::string expected = CsvExport::headerLine(3) + "\n";
    for (size_t i = 0; i < result.lines; ++i)
        expected += expectedLine(i, 100.0, 1.0f);
    EXPECT_TRUE(readFile(path) == expected) << "the file differs from the rows";
}

TEST(CsvStoredExport, ARecalibrationMeanwhileGivesOneConsistentFile) {
    TempDir folder;
    SampleCollection c(SampleLayout{SensorAccelerometer, 3, 100.0}, 0);
    appendRows(c, 200000, 1.0f);
    std::atomic<bool> exporting{false};
    std::thread recalibration([&] {
        while (!exporting.load())
            std::this_thread::yield();
        // Re-times and re-converts every row, as a sensor's recalibration does.
        auto e = c.edit();
        e.setTimeRate(50.0);
        for (size_t i = 0; i < e.size(); ++i)
            for (int k = 0; k < 3; ++k)
                e.valueRow(i)[k] = static_cast<float>(e.rawRow(i)[k]) / 3.0f * 2.0f;
    });
    const std::string path = (folder.path() / "b.csv").string();
    exporting = true;
    const CsvExport::Result result = CsvExport::write(c, 3, path);
    recalibration.join();
    ASSERT_TRUE(result.written);
    ASSERT_EQ(result.lines, 200000u);
    const std::string text = readFile(path);
    // Either every row from before the recalibration or every row from after it.
    std::string old = CsvExport::headerLine(3) + "\n", recalibrated = old;
    for (size_t i = 0; i < result.lines; ++i) {
        old += expectedLine(i, 100.0, 1.0f);
        recalibrated += expectedLine(i, 50.0, 2.0f);
    }
    EXPECT_TRUE(text == old || text == recalibrated) << "rows of both calibrations";
}
