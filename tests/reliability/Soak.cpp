// Soak run: both simulated remotes stream on the heaviest configurations for a long time
// while another thread queries the data 30 times a second, as a page does.
//   korvex_soak [--seconds N] [--config1 C] [--config2 C]
// Prints one progress line every 10 s and a summary: memory growth beyond what the samples
// themselves need, frames sent versus recorded, and the errors the library reported.
// Exit status 0 when sent equals recorded and no error was reported.
#include "KorvexAPI.h"
#include "device/sensors/Sample.h"
#include "tools/dongle-sim/DongleSim.h"
#include "tools/dongle-sim/SimLayout.h"

#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <bson/bson.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<uint64_t> errors{0}, warnings{0}, started{0}, stopped{0};
std::mutex firstErrorsLock;
std::vector<std::string> firstErrors;

void onScript(const char* script) {
    std::string s = script;
    if (s.find("** ERROR") != std::string::npos) {
        ++errors;
        std::lock_guard lock(firstErrorsLock);
        if (firstErrors.size() < 10)
            firstErrors.push_back(s);
    }
    if (s.find("** WARNING") != std::string::npos)
        ++warnings;
    if (s.find("'dataStarted'") != std::string::npos)
        ++started;
    if (s.find("'dataStopped'") != std::string::npos)
        ++stopped;
}

long rssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

int32_t intAt(const bson_t* doc, const char* path) {
    bson_iter_t iter, found;
    if (bson_iter_init(&iter, doc) && bson_iter_find_descendant(&iter, path, &found) && BSON_ITER_HOLDS_INT32(&found))
        return bson_iter_int32(&found);
    return -1;
}

// The configuration whose frames carry the most bytes.
int heaviestConfiguration() {
    int best = 0, bestSize = 0;
    for (int config : simConfigurations())
        if (simDataPayloadSize(config) > bestSize) {
            best = config;
            bestSize = simDataPayloadSize(config);
        }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 600, config1 = heaviestConfiguration(), config2 = heaviestConfiguration();
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--seconds")
            seconds = std::atoi(argv[i + 1]);
        else if (a == "--config1")
            config1 = std::atoi(argv[i + 1]);
        else if (a == "--config2")
            config2 = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: korvex_soak [--seconds N] [--config1 C] [--config2 C]\n");
            return 2;
        }
    }

    TempDir folder;
    const fs::path root = folder.path();
    ScopedEnv documentsDir("KORVEX_DOCUMENTS_DIR", (root / "documents").string());
    ScopedEnv runtimeDir("KORVEX_RUNTIME_DIR", (root / "runtime").string());
    ScopedEnv port("KORVEX_PORT", std::nullopt);

    std::mutex sentLock;
    uint64_t framesSent = 0, bytesSent = 0, samplesSent = 0;
    std::map<std::pair<int, int>, uint64_t> samplesBySensor;
    DongleSim::Options options;
    options.state = DongleSim::StartState::Connected;
    DongleSim sim(options);
    sim.onDataFrame([&](const SimDataFrame& frame, bool sent) {
        if (!sent)
            return;
        std::lock_guard lock(sentLock);
        ++framesSent;
        bytesSent += frame.frame.size();
        samplesSent += frame.samples.size();
        for (auto& s : frame.samples)
            ++samplesBySensor[{frame.remote, s.type}];
    });
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "simulated kit: %s\n", error.c_str());
        return 1;
    }
    IKorvexAPI* api = getConcreteIKorvexAPI(&onScript);
    api->startAPI();
    auto hardware = [&](const char* path) {
        bson_t doc;
        api->getHardwareState(&doc);
        int v = intAt(&doc, path);
        bson_destroy(&doc);
        return v;
    };
    auto configured = [&](int remote) {
        bson_t doc;
        api->getHardwareState(&doc);
        bson_iter_t iter, found;
        std::string path = "remote" + std::to_string(remote) + ".configured";
        bool c = bson_iter_init(&iter, &doc) && bson_iter_find_descendant(&iter, path.c_str(), &found) &&
                 BSON_ITER_HOLDS_BOOL(&found) && bson_iter_bool(&found);
        bson_destroy(&doc);
        return c;
    };
    if (!waitFor(15s, [&] {
            return api->isRemoteConnected(1) && api->isRemoteConnected(2) && hardware("dongleMode") == 8;
        })) {
        std::fprintf(stderr, "the kit was not found\n");
        return 1;
    }
    api->setFixedConfig(1, config1);
    api->setFixedConfig(2, config2);
    // The configuration's own reply is the last of its follow-ups: then a start does not
    // overtake them.
    if (!waitFor(10s, [&] {
            return configured(1) && configured(2) && hardware("remote1.fixedConfig") == config1 &&
                   hardware("remote2.fixedConfig") == config2;
        })) {
        std::fprintf(stderr, "the remotes were not configured\n");
        return 1;
    }

    // The sensors of each remote, from the stack report once the run has started.
    std::printf("soak: %d s, remote 1 on configuration %d, remote 2 on %d\n", seconds, config1, config2);
    const long rssBefore = rssKiB();
    api->startDataAcquisition();
    if (!waitFor(5s, [&] { return started.load() == 1; })) {
        std::fprintf(stderr, "the run did not start\n");
        return 1;
    }
    std::vector<std::pair<int, int>> sensors;
    {
        // Half a second of frames from both remotes shows every sensor.
        waitFor(10s, [&] {
            std::lock_guard lock(sentLock);
            return framesSent >= 100;
        });
        std::lock_guard lock(sentLock);
        for (auto& [key, n] : samplesBySensor)
            sensors.push_back(key);
    }

    // Queries at 30 per second, as the page's plots and readouts ask.
    std::atomic<bool> querying{true};
    std::atomic<uint64_t> queries{0}, emptyAnswers{0};
    std::thread queryThread([&] {
        size_t next = 0;
        auto due = Clock::now();
        while (querying) {
            due += 33ms;
            std::this_thread::sleep_until(due);
            auto [remote, type] = sensors[next++ % sensors.size()];
            bson_t doc;
            bufferArray data;
            api->getLastSample(&doc, &data, remote, type);
            double last = data.size > 0 ? data.data[0] : 0.0;
            bson_destroy(&doc);
            api->freeBufferArray(&data);
            api->getSensorData(&doc, &data, remote, type, std::max(0.0, last - 10.0), last, false, -1, 100);
            if (intAt(&doc, "datalength") <= 0)
                ++emptyAnswers;
            bson_destroy(&doc);
            api->freeBufferArray(&data);
            if (next % 10 == 0) {
                api->getHardwareState(&doc);
                bson_destroy(&doc);
                api->getAcquisitionStack(&doc);
                bson_destroy(&doc);
            }
            ++queries;
        }
    });

    const auto begin = Clock::now();
    long rssAtOneMinute = -1;
    uint64_t samplesAtOneMinute = 0;
    for (int s = 10; s <= seconds; s += 10) {
        std::this_thread::sleep_until(begin + std::chrono::seconds(s));
        uint64_t samples;
        {
            std::lock_guard lock(sentLock);
            samples = samplesSent;
        }
        if (s == 60 || (seconds < 60 && s == 10)) {
            rssAtOneMinute = rssKiB();
            samplesAtOneMinute = samples;
        }
        std::printf("%4d s  rss %ld KiB  samples %llu  queries %llu  errors %llu\n", s, rssKiB(),
                    (unsigned long long)samples, (unsigned long long)queries.load(), (unsigned long long)errors.load());
        std::fflush(stdout);
    }
    querying = false;
    queryThread.join();
    api->stopDataAcquisition();
    bool stoppedOk = waitFor(10s, [&] { return stopped.load() == 1; });
    const long rssEnd = rssKiB();

    // Frames recorded: the raw file's frames, counted by their length bytes.
    uint64_t framesRecorded = 0, bytesRecorded = 0;
    waitFor(5s, [&] {
        framesRecorded = bytesRecorded = 0;
        for (auto& entry : fs::directory_iterator(root / "documents" / "Korvex-WorkFiles" / "rawdata"))
            if (entry.path().extension() == ".raw") {
                std::ifstream in(entry.path(), std::ios::binary);
                std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                bytesRecorded += bytes.size();
                for (size_t at = 0; at + 3 <= bytes.size() && at + bytes[at + 2] + 4 <= bytes.size();
                     at += bytes[at + 2] + 4u)
                    ++framesRecorded;
            }
        std::lock_guard lock(sentLock);
        return framesRecorded == framesSent;
    });

    uint64_t samples;
    {
        std::lock_guard lock(sentLock);
        samples = samplesSent;
    }
    // What the samples themselves need after the first minute, against what the process grew.
    const double sampleKiB = double(samples - samplesAtOneMinute) * sizeof(Sample) / 1024.0;
    const double grownKiB = double(rssEnd - rssAtOneMinute);
    std::printf("\nsummary after %d s\n", seconds);
    std::printf("  frames sent %llu, recorded %llu (bytes %llu / %llu)\n", (unsigned long long)framesSent,
                (unsigned long long)framesRecorded, (unsigned long long)bytesSent, (unsigned long long)bytesRecorded);
    std::printf("  samples %llu (%zu bytes each), queries %llu (%llu empty)\n", (unsigned long long)samples,
                sizeof(Sample), (unsigned long long)queries.load(), (unsigned long long)emptyAnswers.load());
    std::printf("  rss before run %ld KiB, after first minute %ld KiB, at end %ld KiB\n", rssBefore, rssAtOneMinute,
                rssEnd);
    std::printf("  growth since first minute %.0f KiB, samples' own share %.0f KiB, beyond samples %.0f KiB\n",
                grownKiB, sampleKiB, grownKiB - sampleKiB);
    if (samples > samplesAtOneMinute)
        std::printf("  growth per sample after the first minute %.1f bytes (a decoded sample is at most %zu)\n",
                    grownKiB * 1024.0 / double(samples - samplesAtOneMinute), sizeof(Sample));
    std::printf("  errors %llu, warnings %llu, run stopped cleanly: %s\n", (unsigned long long)errors.load(),
                (unsigned long long)warnings.load(), stoppedOk ? "yes" : "no");
    for (auto& e : firstErrors)
        std::printf("  error: %s\n", e.c_str());

    releaseConcreteIKorvexAPI(api);
    sim.stop();
    return framesSent == framesRecorded && errors == 0 && stoppedOk ? 0 : 1;
}
