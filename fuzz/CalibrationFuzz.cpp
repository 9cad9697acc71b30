// Calibration records: a fuzzed record checked as the page's document, stored as a record
// file, listed, and applied to a sensor that then decodes real frames and is re-timed.
//
// Input: a byte choosing the sensor type (accelerometer, magnetometer, gyroscope, force),
// then the record file's bytes.
#include "device/link/DataParser.h"
#include "device/sensors/RemoteConfiguration.h"
#include "fuzz/StoredFilesFuzz.h"
#include "tools/dongle-sim/SimLayout.h"

#include <cstdlib>
#include <vector>

namespace {
StoredFiles& world() {
    static StoredFiles* w = new StoredFiles;
    return *w;
}

// The first configuration streaming `type`.
int configWith(int type) {
    for (int config : simConfigurations())
        for (const auto& block : simBlockLayout(config))
            if (block.type == type)
                return config;
    abort();
}

constexpr int32_t unitID = 0x0A1B01; // the simulated remote 1
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    static const int types[] = {1, 2, 3, 8};
    const int type = types[data[0] % 4];
    ++data;
    --size;
    StoredFiles& w = world();

    // The page's document, before anything is stored.
    if (bson_t* page = bson_new_from_data(data, size)) {
        CalibrationRecord record;
        std::string errorText;
        CalibrationData::validateRecord(page, &record, errorText);
        int32_t remoteID, sensor;
        CalibrationData::readIdentity(page, remoteID, sensor, errorText);
        bson_destroy(page);
    }

    // A record file found in the calibration folder.
    const std::string path = w.calibrations.calibrationFilename(unitID, type);
    if (!StoredFiles::writeFile(path, data, size))
        abort();
    bson_t list;
    w.calibrations.list(&list);
    bson_destroy(&list);

    // Applied when the remote's sensors are built, then used to decode and re-time.
    static const std::vector<uint8_t> frames[4] = {
        fuzzDataFrames(1, configWith(1), 3), fuzzDataFrames(1, configWith(2), 3),
        fuzzDataFrames(1, configWith(3), 3), fuzzDataFrames(1, configWith(8), 3)};
    const int config = configWith(type);
    w.freshAcquisition();
    if (!w.stack.addRemote(1, config, unitID))
        abort();
    RemoteConfiguration* rc = w.stack.getCurrent()->remoteConfiguration(1);
    rc->replaceSensorDataLengths(fuzzPacketLengths(config), true);
    const std::vector<uint8_t>& stream = frames[type == 8 ? 3 : type - 1];
    for (size_t at = 0; at + 3 <= stream.size();) {
        size_t n = size_t(stream[at + 2]) + 4;
        w.hardware.dataParser->dataFromRemote(std::span<const uint8_t>(stream.data() + at, n));
        at += n;
    }
    rc->recalibrateAll();
    return 0;
}
