#include "KitSession.h"

#include <thread>

namespace {

std::atomic<EventLog*> activeLog{nullptr};

void onScript(const char* script) {
    if (EventLog* log = activeLog.load(); log && script)
        log->add(std::string_view(script));
}

// A document the caller owns, destroyed on every path.
struct Document {
    bson_t doc;
    Document() { bson_init(&doc); }
    ~Document() { bson_destroy(&doc); }
    bson_t* get() { return &doc; }
};

struct Buffer {
    IKorvexAPI& api;
    bufferArray data;
    explicit Buffer(IKorvexAPI& api) : api(api) {}
    ~Buffer() { api.freeBufferArray(&data); }
};

} // namespace

KitSession::KitSession(EventLog& log) : log(log) {
    activeLog = &log;
    korvex = getConcreteIKorvexAPI(onScript);
}

KitSession::~KitSession() {
    releaseConcreteIKorvexAPI(korvex);
    activeLog = nullptr;
}

void KitSession::startDevice() {
    if (started)
        return;
    started = true;
    korvex->startAPI();
}

HardwareReport KitSession::hardware() {
    // The operation initialises the document itself; start from an empty one so that it
    // can be destroyed on every path.
    Document d;
    korvex->getHardwareState(d.get());
    return readHardwareReport(d.get());
}

AcquisitionReport KitSession::acquisition() {
    Document d;
    korvex->getAcquisitionStack(d.get());
    return readAcquisitionReport(d.get());
}

bool KitSession::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                           const Cancelled& cancelled) {
    auto deadline = Clock::now() + timeout;
    while (true) {
        if (done())
            return true;
        if (Clock::now() >= deadline || (cancelled && cancelled()))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool KitSession::waitForDongle(std::chrono::milliseconds timeout, const Cancelled& cancelled) {
    return waitUntil([&] { return korvex->isDongleConnected(); }, timeout, cancelled);
}

bool KitSession::waitForRemote(int remote, std::chrono::milliseconds timeout,
                               const Cancelled& cancelled) {
    return waitUntil(
        [&] {
            if (!korvex->isRemoteConnected(remote))
                return false;
            int mode = hardware().dongleMode;
            return mode == 8 || mode == 16;
        },
        timeout, cancelled);
}

bool KitSession::waitForConfigured(int remote, int config, std::chrono::milliseconds timeout,
                                   const Cancelled& cancelled) {
    return waitUntil(
        [&] {
            const RemoteSlot& slot = hardware().remote(remote);
            return slot.configured && slot.fixedConfig == config;
        },
        timeout, cancelled);
}

SensorSeries KitSession::sensorData(int remote, int sensorType, double start, double end) {
    Document d;
    Buffer b(*korvex);
    korvex->getSensorData(d.get(), &b.data, remote, sensorType, start, end, false, -1, -1);
    return readSensorSeries(d.get(), b.data.data, b.data.size);
}

SensorSeries KitSession::rawSensorData(int remote, int sensorType, double start, double end) {
    Document d;
    Buffer b(*korvex);
    korvex->getSensorData(d.get(), &b.data, remote, sensorType, start, end, true, -1, -1);
    // Keep the raw columns: they follow the converted ones.
    SensorSeries s = readSensorSeries(d.get(), b.data.data, b.data.size);
    auto width = bsonNumber(d.get(), "sampleSize").value_or(0);
    auto length = static_cast<std::size_t>(s.times.size());
    if (width > 0 && length > 0) {
        s.columns.clear();
        for (int j = 0; j < static_cast<int>(width); ++j) {
            const float* column = b.data.data + (static_cast<std::size_t>(width) + 1 + j) * length;
            s.columns.emplace_back(column, column + length);
        }
    }
    return s;
}

bool KitSession::lastSample(int remote, int sensorType, double& time, int& rate) {
    Document d;
    Buffer b(*korvex);
    korvex->getLastSample(d.get(), &b.data, remote, sensorType);
    SensorSeries s = readSensorSeries(d.get(), b.data.data, b.data.size);
    rate = s.sampleRate;
    if (s.times.empty())
        return false;
    time = s.times.back();
    return true;
}

KitSession::ExportResult KitSession::exportSensor(int remote, int sensorType,
                                                  const std::string& fileName) {
    // The caller prepares the document; the operation appends its fields.
    Document d;
    korvex->exportData(d.get(), remote, sensorType, fileName.c_str());
    ExportResult r;
    auto success = bsonBool(d.get(), "success");
    r.success = success.value_or(false);
    r.path = bsonString(d.get(), "path").value_or("");
    r.error = bsonString(d.get(), "error").value_or("");
    if (!success && r.error.empty())
        r.error = "the library gave no answer to the export";
    return r;
}
