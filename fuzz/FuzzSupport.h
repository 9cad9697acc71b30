// Shared pieces of the fuzz targets: a listener that swallows everything, a private work
// folder on a memory file system, and the packet layouts the simulated remotes announce.
#pragma once

#include "tests/support/RecordingListener.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Counts what it is told and otherwise ignores it: the fuzzers look for crashes, not texts.
class QuietListener : public ListenerBase {
public:
    void log(std::string) override { ++logs; }
    bool error(int, std::string) override {
        ++errors;
        return false;
    }
    uint64_t logs = 0, errors = 0;
};

// Makes a fresh documents folder (on /dev/shm when there is one: the file targets write a
// file per input) and points KORVEX_DOCUMENTS_DIR at it. Returns its path.
std::string fuzzDocumentsFolder();

// Every fixed configuration the simulated remotes know, ascending.
const std::vector<int>& fuzzConfigurations();
// The sensor data lengths a remote announces for a configuration (sensor type -> length).
const std::map<int32_t, int32_t>& fuzzPacketLengths(int config);
// One second of real data frames of a remote on a configuration, as the dongle sends them.
std::vector<uint8_t> fuzzDataFrames(int remote, int config, int frames);
