// The readers of a recording's metadata: the BSON file reader, the recordings listing and
// the reload, over a fuzzed metadata file beside a valid raw file.
#include "device/storage/AcquisitionManagement.h"
#include "fuzz/StoredFilesFuzz.h"

#include <cstdlib>
#include <vector>

namespace {
StoredFiles& world() {
    static StoredFiles* w = new StoredFiles;
    return *w;
}
const std::string id = "6a7b8c9d-0e1f-4a2b-8c3d-4e5f6a7b8c9d";
// One remote on configuration 3, the other on 4, a few frames each.
const std::vector<uint8_t>& rawFile() {
    static std::vector<uint8_t> raw = [] {
        std::vector<uint8_t> r = fuzzDataFrames(1, 3, 4);
        std::vector<uint8_t> two = fuzzDataFrames(2, 4, 4);
        r.insert(r.end(), two.begin(), two.end());
        return r;
    }();
    return raw;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StoredFiles& w = world();
    std::string folder = w.rawFolder();
    const std::string meta = folder + id + ".bson";
    if (!StoredFiles::writeFile(meta, data, size) ||
        !StoredFiles::writeFile(folder + id + ".raw", rawFile().data(), rawFile().size()))
        abort();

    bson_t document;
    std::string errorText;
    if (w.files.readBson(&document, meta, errorText)) {
        // A document that was read is whole: walking it must stay inside it.
        bson_iter_t iter;
        if (!bson_iter_init(&iter, &document))
            abort();
        while (bson_iter_next(&iter)) {
        }
    }
    bson_destroy(&document);

    bson_t list;
    AcquisitionManagement::list(w.files, &list);
    bson_destroy(&list);

    w.freshAcquisition();
    w.hardware.reloadAcquisition(id);
    return 0;
}
