// The library pieces that read stored files, set up once per fuzzer process over a private
// work folder: file system, calibration store, acquisition stack, hardware side (never
// started: no port, no threads).
#pragma once

#include "device/base/FileSystem.h"
#include "device/base/HardwareState.h"
#include "device/hardware/HardwareAPI.h"
#include "device/sensors/CalibrationData.h"
#include "device/storage/AcquisitionStack.h"
#include "fuzz/FuzzSupport.h"

#include <bson/bson.h>

#include <cstdint>
#include <cstdio>
#include <string>

struct StoredFiles {
    std::string documents = fuzzDocumentsFolder();
    QuietListener listener;
    HardwareState state;
    FileSystem files{&listener};
    CalibrationData calibrations{&listener, &files};
    AcquisitionStack stack{&listener, &state, &calibrations};
    HardwareAPI hardware{&listener, &state, &stack, &files};

    std::string rawFolder() const { return files.getDirectory(FileSystem::RawData); }

    // A fresh, empty current acquisition, as the page has after a delete.
    void freshAcquisition() {
        stack.discardCurrent();
        stack.setUpNewAcquisition();
    }

    static bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f)
            return false;
        bool ok = std::fwrite(data, 1, size, f) == size;
        return std::fclose(f) == 0 && ok;
    }

    // The metadata a run of these configurations leaves (0 = remote not used).
    static void metadata(bson_t* document, const std::string& id, int config1, int config2) {
        bson_init(document);
        BSON_APPEND_UTF8(document, "acquisitionID", id.c_str());
        BSON_APPEND_INT32(document, "dongleID", 0x4B5601);
        BSON_APPEND_INT32(document, "fwVersion", 0x0107);
        BSON_APPEND_UTF8(document, "lastStartDate", "20240301T101500.250000");
        for (int remote : {1, 2}) {
            int config = remote == 1 ? config1 : config2;
            bson_t slot, lengths;
            std::string key = "remote" + std::to_string(remote);
            bson_append_document_begin(document, key.c_str(), -1, &slot);
            BSON_APPEND_INT32(&slot, "remoteID", config ? 0x0A1B00 + remote : 0);
            BSON_APPEND_INT32(&slot, "rfFwVersion", 0x0102);
            BSON_APPEND_INT32(&slot, "sensorFwVersion", 0x0203);
            BSON_APPEND_INT32(&slot, "fixedConfig", config);
            bson_append_document_begin(&slot, "sensorDataLen", -1, &lengths);
            for (auto [type, length] : fuzzPacketLengths(config))
                bson_append_int32(&lengths, std::to_string(type).c_str(), -1, length);
            bson_append_document_end(&slot, &lengths);
            bson_append_document_end(document, &slot);
        }
    }
};
