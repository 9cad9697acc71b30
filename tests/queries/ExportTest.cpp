#include "QueryTestSupport.h"

#include "device/storage/CsvExport.h"

#include <cstdlib>
#include <sstream>

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
    const std::string expectedPath = folder(FileSystem::Export) +
                                     api->acquisitionStack->currentAcquisitionID() + "_1_8.csv";
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
    EXPECT_EQ(countScripts("** ERROR => KorvexAPI::getSensorData - Sensor not defined for the this acquisition 1 8"), 1);
    bson_destroy(&doc);
    doc = exportTo(1, SensorAccelerometer, nullptr);
    EXPECT_EQ(stringAt(&doc, "error"), "There is no data to export");
    EXPECT_EQ(countScripts("KorvexAPI::exportData - ERROR - No data for sensor 1"), 1);
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
