// Writes the fuzzers' seed inputs from the simulated kit: the dongle's real answers and
// data frames, real raw recordings with the metadata a run leaves, and calibration records
// as the page sends them.
//   fuzz_make_corpus <corpus folder>
#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/StoredFilesFuzz.h"
#include "tools/dongle-sim/DongleModel.h"
#include "tools/dongle-sim/SimLayout.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

fs::path root;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
    fs::create_directories(root / target);
    std::ofstream out(root / target / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// The configuration's 1-based index in the fuzzers' list (a fuzzer's pick byte).
uint8_t pick(int config) {
    const auto& all = fuzzConfigurations();
    return uint8_t(std::find(all.begin(), all.end(), config) - all.begin() + 1);
}

// What the dongle says during a session: setting up two remotes, a run of `frames` data
// frames, the stop. Data frames of both remotes interleave as on the wire.
Bytes session(int config1, int config2, int frames, bool answers) {
    DongleModel model;
    for (int r : {1, 2})
        model.setPairing(r, model.options().unitIDs[r - 1]);
    model.settleConnections();
    Bytes out;
    auto ask = [&](uint8_t command, Bytes payload) {
        for (const SimEmission& e : model.handleCommand(buildFrame(command, payload)))
            if (answers)
                append(out, e.frame);
    };
    ask(GET_PAIRING, {});
    ask(GET_DONGLE_STATUS, {});
    for (int r : {1, 2}) {
        int config = r == 1 ? config1 : config2;
        if (!config)
            continue;
        ask(SET_FIXED_CONFIG, {uint8_t(r), uint8_t(config)});
        ask(GET_PACKET_CONFIG, {uint8_t(r)});
        ask(GET_FIXED_CONFIG, {uint8_t(r)});
        ask(GET_CALIBRATION, {uint8_t(r), 4});
        ask(GET_CALIBRATION, {uint8_t(r), 26});
        ask(GET_REMOTE_STATUS, {uint8_t(r)});
    }
    ask(START_DATA, {});
    for (int i = 0; i < frames; ++i)
        for (const SimEmission& e : model.tick())
            if (e.kind == SimEmission::Kind::Data || answers)
                append(out, e.frame);
    ask(STOP_DATA, {});
    ask(GET_DONGLE_STATUS, {});
    ask(FIND_REMOTE, {});
    ask(POWER_DOWN, {1});
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: fuzz_make_corpus <corpus folder>\n";
        return 2;
    }
    root = argv[1];

    // Framer: whole sessions; one with junk between frames. Trailing bytes: piece sizes.
    const Bytes pieces = {7, 1, 33, 5, 64, 2, 9, 12, 4};
    Bytes s = session(3, 4, 6, true);
    append(s, pieces);
    write("fuzz_frame_reader", "session-3-4", s);
    s = session(47, 12, 4, true);
    append(s, pieces);
    write("fuzz_frame_reader", "session-47-12", s);
    Bytes junk = session(2, 0, 5, true);
    for (size_t at = 17; at < junk.size(); at += 41)
        junk.insert(junk.begin() + long(at), {0x55, 0x0A, 0x41, 0x03});
    append(junk, pieces);
    write("fuzz_frame_reader", "session-junk", junk);

    // Parser: sessions, then (from the end) direct flag, override count, remote 2 and
    // remote 1 configuration picks.
    struct Pair {
        int c1, c2;
    };
    for (Pair p : {Pair{3, 4}, Pair{2, 0}, Pair{47, 0}, Pair{12, 10}, Pair{0, 35}, Pair{1, 46}}) {
        Bytes in = session(p.c1, p.c2, 5, true);
        append(in, {0, 0, p.c2 ? pick(p.c2) : uint8_t(0), p.c1 ? pick(p.c1) : uint8_t(0)});
        write("fuzz_data_parser", "session-" + std::to_string(p.c1) + "-" + std::to_string(p.c2),
              in);
    }

    // Reload: raw recordings (data frames only) after the two configuration picks, which
    // FuzzedDataProvider takes from the end.
    for (Pair p : {Pair{3, 4}, Pair{2, 0}, Pair{47, 12}, Pair{0, 9}, Pair{8, 7}}) {
        Bytes raw = session(p.c1, p.c2, 8, false);
        append(raw, {p.c2 ? pick(p.c2) : uint8_t(0), p.c1 ? pick(p.c1) : uint8_t(0)});
        write("fuzz_reload", "raw-" + std::to_string(p.c1) + "-" + std::to_string(p.c2), raw);
    }

    // Metadata: documents as a run leaves them.
    for (Pair p : {Pair{3, 4}, Pair{2, 0}, Pair{0, 47}}) {
        bson_t meta;
        StoredFiles::metadata(&meta, "6a7b8c9d-0e1f-4a2b-8c3d-4e5f6a7b8c9d", p.c1, p.c2);
        write("fuzz_metadata", "meta-" + std::to_string(p.c1) + "-" + std::to_string(p.c2),
              Bytes(bson_get_data(&meta), bson_get_data(&meta) + meta.len));
        bson_destroy(&meta);
    }

    // Calibration records: a type byte, then the record as the page stores it.
    for (int type : {1, 2, 3, 8}) {
        bson_t record;
        bson_init(&record);
        BSON_APPEND_INT32(&record, "remoteID", 0x0A1B01);
        BSON_APPEND_INT32(&record, "sensor", type);
        if (type == 8) {
            BSON_APPEND_DOUBLE(&record, "calOffset", 12.5);
            BSON_APPEND_DOUBLE(&record, "calScale", 0.98);
        } else {
            bson_t offset, scale;
            BSON_APPEND_ARRAY_BEGIN(&record, "calOffset", &offset);
            BSON_APPEND_DOUBLE(&offset, "0", 0.1);
            BSON_APPEND_INT32(&offset, "1", -2);
            BSON_APPEND_DOUBLE(&offset, "2", 0.3);
            bson_append_array_end(&record, &offset);
            BSON_APPEND_ARRAY_BEGIN(&record, "calScale", &scale);
            BSON_APPEND_DOUBLE(&scale, "0", 1.01);
            BSON_APPEND_DOUBLE(&scale, "1", 0.99);
            BSON_APPEND_INT64(&scale, "2", 1);
            bson_append_array_end(&record, &scale);
        }
        BSON_APPEND_UTF8(&record, "date", "2024-03-01 10:15");
        Bytes in = {uint8_t(type == 8 ? 3 : type - 1)};
        in.insert(in.end(), bson_get_data(&record), bson_get_data(&record) + record.len);
        write("fuzz_calibration", "record-" + std::to_string(type), in);
        bson_destroy(&record);
    }
    std::cout << "corpus written to " << root << "\n";
    return 0;
}
