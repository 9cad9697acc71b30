// The library through its public interface against the simulated kit, in-process: a private
// documents folder and port registry for each test, the library's scripts in ScriptLog, and
// readers for what kit tests look at most (hardware state fields, the current acquisition,
// raw recordings). Header only: the tests that use it link the library and the kit.
#pragma once

#include "KorvexAPI.h"
#include "tools/dongle-sim/DongleSim.h"

#include "tests/support/Bson.h"
#include "tests/support/ScriptLog.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

// Splits raw recording bytes into frames (start byte, command, length N, N bytes, end byte)
// by their length bytes; a trailing piece that is not a whole frame goes to `rest`.
inline std::vector<std::vector<uint8_t>> splitFrames(const std::vector<uint8_t>& bytes,
                                                     std::vector<uint8_t>* rest = nullptr) {
    std::vector<std::vector<uint8_t>> frames;
    size_t at = 0;
    while (bytes.size() - at >= 3 && bytes.size() - at >= size_t(bytes[at + 2]) + 4) {
        size_t n = size_t(bytes[at + 2]) + 4;
        frames.emplace_back(bytes.begin() + long(at), bytes.begin() + long(at + n));
        at += n;
    }
    if (rest)
        rest->assign(bytes.begin() + long(at), bytes.end());
    return frames;
}

inline std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class KitBase : public ::testing::Test {
protected:
    TempDir folder;
    std::filesystem::path root = folder.path();
    ScopedEnv documentsDir{"KORVEX_DOCUMENTS_DIR", (root / "documents").string()};
    ScopedEnv runtimeDir{"KORVEX_RUNTIME_DIR", (root / "runtime").string()};
    ScopedEnv port{"KORVEX_PORT", std::nullopt};
    std::unique_ptr<DongleSim> sim;
    IKorvexAPI* api = nullptr;

    void SetUp() override { ScriptLog::clear(); }
    void TearDown() override {
        if (api)
            releaseConcreteIKorvexAPI(api);
        api = nullptr;
        if (sim)
            sim->stop();
    }

    void startApi() {
        api = getConcreteIKorvexAPI(ScriptLog::capture);
        ASSERT_NE(api, nullptr);
        api->startAPI();
    }

    // A field of the hardware state report: -1 (false) while it is missing.
    int hardwareInt(const std::string& path) {
        bson_t doc;
        api->getHardwareState(&doc);
        int value = int32Or(&doc, path.c_str(), -1);
        bson_destroy(&doc);
        return value;
    }
    bool hardwareBool(const std::string& path) {
        bson_t doc;
        api->getHardwareState(&doc);
        bool value = boolOr(&doc, path.c_str(), false);
        bson_destroy(&doc);
        return value;
    }
    int dongleMode() { return hardwareInt("dongleMode"); }

    std::string currentAcquisitionID() {
        bson_t doc;
        api->getAcquisitionStack(&doc);
        std::string id = stringOr(&doc, "ID", "");
        bson_destroy(&doc);
        return id;
    }

    std::filesystem::path workFiles() const { return root / "documents" / "Korvex-WorkFiles"; }
    std::filesystem::path rawFolder() const { return workFiles() / "rawdata"; }
    // The recordings with the given extension (".raw", ".bson"), in no particular order.
    std::vector<std::filesystem::path> recordings(const char* extension) const {
        std::vector<std::filesystem::path> out;
        std::error_code ec;
        for (auto& entry : std::filesystem::directory_iterator(rawFolder(), ec))
            if (entry.path().extension() == extension)
                out.push_back(entry.path());
        return out;
    }
};
