// The replay of a stored acquisition over a fuzzed raw file and valid metadata.
//
// Input: the configuration of each remote (0 = none; both 0 gives remote 1 the first one),
// then the raw file's bytes. Whatever the file holds, the reload must replay its readable
// frames, skip the rest and leave sensors that answer their queries.
#include "device/sensors/RemoteConfiguration.h"
#include "device/sensors/Sensor.h"
#include "fuzz/StoredFilesFuzz.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {
StoredFiles& world() {
    static StoredFiles* w = new StoredFiles; // lives as long as the process
    return *w;
}
const std::string id = "0f3c9a52-7d41-4e8b-9c2a-5b6d7e8f9a01";
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StoredFiles& w = world();
    FuzzedDataProvider in(data, size);
    const auto& configs = fuzzConfigurations();
    size_t p1 = in.ConsumeIntegralInRange<size_t>(0, configs.size());
    size_t p2 = in.ConsumeIntegralInRange<size_t>(0, configs.size());
    int c1 = p1 ? configs[p1 - 1] : 0, c2 = p2 ? configs[p2 - 1] : 0;
    if (!c1 && !c2)
        c1 = configs.front();
    std::vector<uint8_t> raw = in.ConsumeRemainingBytes<uint8_t>();

    bson_t meta;
    StoredFiles::metadata(&meta, id, c1, c2);
    std::string folder = w.rawFolder();
    bool ok = StoredFiles::writeFile(folder + id + ".bson", bson_get_data(&meta), meta.len) &&
              StoredFiles::writeFile(folder + id + ".raw", raw.data(), raw.size());
    bson_destroy(&meta);
    if (!ok)
        abort();

    w.freshAcquisition();
    w.hardware.reloadAcquisition(id);
    // The replayed samples answer the queries the page makes after a reload.
    if (Acquisition* current = w.stack.getCurrent())
        for (auto& [remote, configuration] : current->remoteConfigurations)
            for (auto& [type, sensor] : configuration->sensors) {
                const SampleCollection& samples = sensor->samples;
                if (!samples.empty())
                    (void)samples.at(samples.size() - 1);
                (void)samples.boxSnapshot();
            }
    return 0;
}
