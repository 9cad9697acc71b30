#include "device/hardware/HardwareAPI.h"

#include "device/base/LogLine.h"
#include "device/base/IKorvexListener.h"
#include "device/hardware/HardwareDispatch.h"
#include "device/base/HardwareState.h"
#include "device/link/CommandSender.h"
#include "device/link/DataParser.h"
#include "device/link/SerialDevice.h"
#include "device/link/SerialPortCheck.h"
#include "device/protocol/Protocol.h"
#include "device/sensors/RemoteConfiguration.h"
#include "device/sensors/Sensor.h"
#include "device/sensors/SensorClasses.h"
#include "device/storage/AcquisitionStack.h"
#include "device/base/FileSystem.h"
#include "device/storage/RawDataWriter.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

bool connected(HardwareState* state, int remote) {
    return state->remoteStatus(remote)->rfStatus == 1;
}

// The decimal value of the leading digits of a key ("12" -> 12, "7abc" -> 7, "x" -> 0).
int leadingNumber(const char* key) {
    long value = 0;
    for (const char* p = key; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 1000000)
            return 0;
    }
    return int(value);
}

} // namespace

HardwareAPI::HardwareAPI(IKorvexListener* dispatch, HardwareState* state, AcquisitionStack* stack,
                         FileSystem* files, AnswerTiming answerTiming)
    : hardwareState(state), acquisitionStack(stack), protocol(nullptr), fileSystem(files),
      listener(nullptr), portCheck(nullptr), serialDevice(nullptr), commandSender(nullptr),
      rawDataWriter(nullptr), dataParser(nullptr) {
    protocol = new Protocol();
    listener = new HardwareDispatch(dispatch, this, hardwareState, protocol);
    portCheck = new SerialPortCheck(hardwareState, protocol);
    serialDevice = new SerialDevice(ioService, listener, portCheck);
    commandSender = new CommandSender(listener, serialDevice, protocol, answerTiming);
    commandSender->setGiveUpHandler(
        [this](const Packet& frame) { listener->commandUnanswered(frame); });
    dataParser =
        new DataParser(listener, hardwareState, acquisitionStack, serialDevice->getReceiveQueue());
    rawDataWriter =
        new RawDataWriter(listener, acquisitionStack, dataParser->getRawQueue(), fileSystem);
    dataParser->setAbortHandler([this] { listener->abortDataStream(); });
    rawDataWriter->setAbortHandler([this] { listener->abortDataStream(); });
}

HardwareAPI::~HardwareAPI() {
    shutdown();
    delete rawDataWriter;
    delete dataParser;
    delete commandSender;
    delete serialDevice;
    delete listener;
    delete protocol;
    delete portCheck;
}

void HardwareAPI::start() {
    if (started)
        return;
    started = true;
    ioWork.emplace(boost::asio::make_work_guard(ioService));
    serialDevice->open();
    portCheckThread = std::jthread([this](std::stop_token stop) { portCheck->checkLoop(stop); });
    writerThread = std::jthread([this](std::stop_token stop) { rawDataWriter->listenLoop(stop); });
    parserThread = std::jthread([this](std::stop_token stop) { dataParser->listenLoop(stop); });
    senderThread = std::jthread([this](std::stop_token stop) { commandSender->listenLoop(stop); });
    ioThread = std::jthread([this] {
        for (;;) {
            try {
                ioService.run();
                return;
            } catch (const std::exception& e) {
                // A completion handler must never end the I/O thread silently.
                listener->log(logLine("HardwareAPI::ioThread - %1%", e.what()));
            }
        }
    });
}

void HardwareAPI::shutdown() {
    if (stopped.exchange(true))
        return;
    serialDevice->close();
    // Each wait of the workers wakes on its stop request. The writer writes what is still
    // queued and closes its file before it returns.
    for (std::jthread* t : {&portCheckThread, &senderThread, &parserThread, &writerThread}) {
        t->request_stop();
        if (t->joinable())
            t->join();
    }
    ioWork.reset();
    ioService.stop();
    if (ioThread.joinable())
        ioThread.join();
}

void HardwareAPI::endInterruptedRun() {
    if (hardwareState->dongleMode != DongleModeData)
        return;
    dataParser->endOfRun();
    runEnded();
    listener->listener->sendEvent("dataStopped", "");
}

bool HardwareAPI::startDataAcquisition() {
    listener->log("HardwareAPI::startDataAcquisition");
    if (hardwareState->dongleMode != DongleModeConnected)
        return listener->error(3, "");
    bool r1 = connected(hardwareState, 1), r2 = connected(hardwareState, 2);
    bool c1 = hardwareState->packetConfig(1)->configured;
    bool c2 = hardwareState->packetConfig(2)->configured;
    if (r1) {
        if (!(c1 || (r2 && c2)))
            return listener->error(4, "");
    } else {
        if (!r2)
            return listener->error(2, "");
        if (!c2)
            return listener->error(4, "");
    }
    // From here the parser decodes nothing: the run's place in the raw file and the state
    // of every sensor are set as one step, between two frames.
    std::lock_guard structure(acquisitionStack->structure());
    // Remotes that are gone are dropped from an acquisition that never ran, so the run is
    // not refused for a remote nobody can reach any more.
    Acquisition* current = acquisitionStack->getCurrent();
    bool neverStarted = current && !current->hasRecording();
    for (int remote : {1, 2}) {
        if (connected(hardwareState, remote))
            continue;
        RemotePacketConfig* config = hardwareState->packetConfig(remote);
        if (config->fixedConfig != 0 && neverStarted) {
            config->clear();
            acquisitionStack->removeRemote(remote);
        }
    }
    if (current) {
        RunRecord run = liveRun(*current);
        if (!runFits(*current, run)) {
            current = keepRecordingAndStartAnew(run);
            run = liveRun(*current);
        }
        run.rawOffset =
            rawDataWriter->settledRawSize(current->acquisitionID, std::chrono::seconds(2));
        current->runs.push_back(run);
    }
    saveHardwareState();
    if (current)
        for (auto& [remote, configuration] : current->remoteConfigurations)
            for (auto& [type, sensor] : configuration->sensors)
                sensor->awaitingFirstFrame = true;
    if (r1 && c1 && r2 && !c2)
        protocol->startAsymetricData(1);
    else if (r1 && !c1 && r2 && c2)
        protocol->startAsymetricData(2);
    else
        protocol->startData();
    return true;
}

RunRemote HardwareAPI::liveLayout(const Acquisition& acquisition, int remote) const {
    RunRemote layout;
    RemoteConfiguration* configuration = acquisition.remoteConfiguration(remote);
    RemotePacketConfig* config = hardwareState->packetConfig(remote);
    // Only a remote of the acquisition that is on the radio with a known layout streams
    // into it.
    if (!configuration || !connected(hardwareState, remote) || !config->configured)
        return layout;
    RemoteStatus* status = hardwareState->remoteStatus(remote);
    layout.remoteID = status->remoteID;
    layout.rfFwVersion = status->rfFwVersion;
    layout.sensorFwVersion = status->sensorFwVersion;
    // A remote whose layout is known but whose configuration reply never came (refused or
    // lost) streams the configuration the acquisition set up for it; without that number
    // its recording could never be read again.
    layout.fixedConfig =
        config->fixedConfig != 0 ? int32_t(config->fixedConfig) : configuration->fixedConfig;
    layout.sensorDataLen = config->sensorDataLens();
    layout.constants = reportedConstants(*configuration);
    return layout;
}

std::map<int32_t, std::vector<int32_t>>
HardwareAPI::reportedConstants(const RemoteConfiguration& configuration) {
    std::map<int32_t, std::vector<int32_t>> constants;
    if (auto* barometer = dynamic_cast<Barometer*>(configuration.sensor(SensorBarometer))) {
        auto editor = barometer->samples.edit();
        constants[SensorBarometer] = {barometer->A0, barometer->B1, barometer->B2, barometer->C12};
    }
    if (auto* thermometer = dynamic_cast<Thermometer*>(configuration.sensor(SensorThermometer))) {
        auto editor = thermometer->samples.edit();
        constants[SensorThermometer] = {int32_t(thermometer->calAt85degrees),
                                        int32_t(thermometer->calAt30degrees)};
    }
    return constants;
}

void HardwareAPI::applyConstants(RemoteConfiguration& configuration,
                                 const std::map<int32_t, std::vector<int32_t>>& constants) {
    for (const auto& [type, words] : constants) {
        if (type == SensorBarometer && words.size() == 4) {
            if (auto* barometer = dynamic_cast<Barometer*>(configuration.sensor(SensorBarometer)))
                barometer->setCoefficientWords(int16_t(words[0]), int16_t(words[1]),
                                               int16_t(words[2]), int16_t(words[3]));
        } else if (type == SensorThermometer && words.size() == 2) {
            if (auto* thermometer =
                    dynamic_cast<Thermometer*>(configuration.sensor(SensorThermometer)))
                thermometer->setCalibrationPoints(float(words[0]), float(words[1]));
        }
    }
}

void HardwareAPI::runEnded() {
    // Constants that arrived while the run streamed (a remote configured just before the
    // start, or again after a radio loss) are the ones the stop converted with: keep them.
    {
        std::lock_guard structure(acquisitionStack->structure());
        Acquisition* current = acquisitionStack->getCurrent();
        if (!current || current->runs.empty())
            return;
        RunRecord& run = current->runs.back();
        for (auto& [remote, configuration] : current->remoteConfigurations)
            if (HardwareState::isValidRemote(remote) && run.remote(remote).fixedConfig != 0)
                run.remote(remote).constants = reportedConstants(*configuration);
    }
    bson_t document;
    bson_init(&document);
    buildMetadata(&document);
    rawDataWriter->writeMetadata(&document);
    bson_destroy(&document);
}

RunRecord HardwareAPI::liveRun(const Acquisition& acquisition) const {
    RunRecord run;
    run.startDate =
        boost::posix_time::to_iso_string(boost::posix_time::microsec_clock::local_time());
    for (int remote : {1, 2})
        run.remote(remote) = liveLayout(acquisition, remote);
    return run;
}

bool HardwareAPI::runFits(const Acquisition& acquisition, const RunRecord& run) {
    for (int remote : {1, 2}) {
        const RunRemote& layout = run.remote(remote);
        if (layout.fixedConfig == 0)
            continue;
        // The sensors must be those of the configuration the frames will carry, and the
        // frames must split into blocks as the earlier runs' frames do.
        RemoteConfiguration* configuration = acquisition.remoteConfiguration(remote);
        if (!configuration || configuration->fixedConfig != layout.fixedConfig)
            return false;
        const RunRemote* recorded = acquisition.recordedLayout(remote);
        if (recorded && !recorded->sameLayout(layout))
            return false;
    }
    return true;
}

Acquisition* HardwareAPI::keepRecordingAndStartAnew(const RunRecord& run) {
    // What is recorded stays readable as it is: the acquisition goes on the stack whole, and
    // the new run starts an acquisition of its own with the live layout.
    std::string kept = acquisitionStack->currentAcquisitionID();
    acquisitionStack->stackCurrent();
    acquisitionStack->setUpNewAcquisition();
    for (int remote : {1, 2}) {
        const RunRemote& layout = run.remote(remote);
        if (layout.fixedConfig != 0)
            acquisitionStack->addRemote(remote, layout.fixedConfig, layout.remoteID);
    }
    Acquisition* fresh = acquisitionStack->getCurrent();
    listener->log(logLine("HardwareAPI::startDataAcquisition - the layout differs from the one %1% "
                          "was recorded with: "
                          "it is kept on the stack and the run goes to %2%",
                          kept, fresh ? fresh->acquisitionID : std::string()));
    listener->acquisitionStackChanged();
    return fresh;
}

bool HardwareAPI::stopDataAcquisition() {
    listener->log("HardwareAPI::stopDataAcquisition");
    if (hardwareState->dongleMode != DongleModeData)
        return listener->error(6, "");
    if (!connected(hardwareState, 1) && !connected(hardwareState, 2))
        return listener->error(5, "");
    protocol->stopData();
    protocol->getDongleStatus();
    return true;
}

bool HardwareAPI::setFixedConfiguration(int remote, int config) {
    listener->log(
        logLine("HardwareAPI::setFixedConfiguration - remote: %1% - config: %2%", remote, config));
    if (hardwareState->dongleMode != DongleModeConnected)
        return listener->error(0, "");
    return sendConfiguration(remote, config);
}

void HardwareAPI::configureReturningRemote(int remote, int config) {
    if (hardwareState->dongleMode != DongleModeData)
        hardwareState->dongleMode = DongleModeConnected;
    sendConfiguration(remote, config);
}

bool HardwareAPI::sendConfiguration(int remote, int config) {
    if (!HardwareState::isValidRemote(remote) || !connected(hardwareState, remote))
        return listener->error(1, "");
    // Checked before anything is queued: the follow-up requests without the configuration
    // itself would leave the remote half set up.
    if (!fixedConfiguration(config))
        return listener->error(38, "");
    protocol->setFixedConfig(remote, config);
    protocol->getPacketConfig(remote);
    if (acquisitionStack->hasSensor(remote, SensorBarometer))
        protocol->getCalibration(remote, SensorBarometer);
    protocol->getFixedConfig(remote);
    if (acquisitionStack->hasSensor(remote, SensorThermometer))
        protocol->getCalibration(remote, SensorThermometer);
    return true;
}

bool HardwareAPI::remotePowerDown(int remote) {
    listener->log(logLine("HardwareAPI::remotePowerDown - remote: %1%", remote));
    if (!HardwareState::isValidRemote(remote) || !connected(hardwareState, remote))
        return listener->error(7, "");
    protocol->powerDown(remote);
    return true;
}

bool HardwareAPI::setOutputConfig(int remote, int sensorID, int key, int value) {
    listener->log(
        logLine("HardwareAPI::setOutputConfig - remote: %1% - sensorID %2% - Key %3% - Value %4%",
                remote, sensorID, key, value));
    int mode = hardwareState->dongleMode;
    if (mode != DongleModeData && mode != DongleModeConnected)
        return listener->error(8, "");
    if (!HardwareState::isValidRemote(remote) || !connected(hardwareState, remote))
        return listener->error(9, "");
    // A frame the encoder refuses would never be answered, and the remote would stay busy.
    if (Protocol::buildSetOutputConfig(remote, sensorID, key, value).empty())
        return listener->error(37, "");
    int idle = 0;
    if (!hardwareState->outputConfigBusyRemote.compare_exchange_strong(idle, remote))
        return listener->error(10, "");
    RemoteOutputConfig* output = hardwareState->outputConfig(remote);
    output->pendingSensor = sensorID;
    output->pendingSetting = RemoteOutputConfig::packSetting(key, value);
    protocol->setOutputConfig(remote, sensorID, key, value);
    return true;
}

namespace {

void appendSlot(bson_t* document, const char* key, const RunRemote& layout) {
    bson_t slot, lengths;
    bson_append_document_begin(document, key, -1, &slot);
    BSON_APPEND_INT32(&slot, "remoteID", layout.remoteID);
    BSON_APPEND_INT32(&slot, "rfFwVersion", layout.rfFwVersion);
    BSON_APPEND_INT32(&slot, "sensorFwVersion", layout.sensorFwVersion);
    BSON_APPEND_INT32(&slot, "fixedConfig", layout.fixedConfig);
    bson_append_document_begin(&slot, "sensorDataLen", -1, &lengths);
    for (auto [type, length] : layout.sensorDataLen)
        bson_append_int32(&lengths, std::to_string(type).c_str(), -1, length);
    bson_append_document_end(&slot, &lengths);
    if (!layout.constants.empty()) {
        bson_t constants;
        bson_append_document_begin(&slot, "constants", -1, &constants);
        for (const auto& [type, words] : layout.constants) {
            bson_t array;
            bson_append_array_begin(&constants, std::to_string(type).c_str(), -1, &array);
            for (std::size_t i = 0; i < words.size(); ++i)
                bson_append_int32(&array, std::to_string(i).c_str(), -1, words[i]);
            bson_append_array_end(&constants, &array);
        }
        bson_append_document_end(&slot, &constants);
    }
    bson_append_document_end(document, &slot);
}

} // namespace

void HardwareAPI::buildMetadata(bson_t* document) const {
    std::lock_guard structure(acquisitionStack->structure());
    Acquisition* current = acquisitionStack->getCurrent();
    std::string id = current ? current->acquisitionID : std::string();
    // The start of the latest run: the document is written when a run starts, and again
    // when it ends.
    std::string date =
        current && !current->runs.empty()
            ? current->runs.back().startDate
            : boost::posix_time::to_iso_string(boost::posix_time::microsec_clock::local_time());
    BSON_APPEND_UTF8(document, "acquisitionID", id.c_str());
    BSON_APPEND_INT32(document, "dongleID", hardwareState->dongleID);
    BSON_APPEND_INT32(document, "fwVersion", hardwareState->fwVersion);
    BSON_APPEND_UTF8(document, "lastStartDate", date.c_str());
    for (int remote : {1, 2}) {
        std::string key = "remote" + std::to_string(remote);
        // A remote that streamed in some run is described as it was recorded, so that a
        // reader that knows only these keys still splits every frame of the file; one that
        // never streamed is described by the hardware model.
        if (const RunRemote* recorded = current ? current->recordedLayout(remote) : nullptr) {
            appendSlot(document, key.c_str(), *recorded);
            continue;
        }
        RemoteStatus* status = hardwareState->remoteStatus(remote);
        RemotePacketConfig* config = hardwareState->packetConfig(remote);
        RunRemote layout;
        layout.remoteID = status->remoteID;
        layout.rfFwVersion = status->rfFwVersion;
        layout.sensorFwVersion = status->sensorFwVersion;
        layout.fixedConfig = config->fixedConfig;
        if (layout.fixedConfig == 0 && config->configured && current)
            if (RemoteConfiguration* configuration = current->remoteConfiguration(remote))
                layout.fixedConfig = configuration->fixedConfig;
        layout.sensorDataLen = config->sensorDataLens();
        appendSlot(document, key.c_str(), layout);
    }
    if (!current || current->runs.empty())
        return;
    bson_t runs;
    bson_append_array_begin(document, "runs", -1, &runs);
    for (std::size_t i = 0; i < current->runs.size(); ++i) {
        const RunRecord& run = current->runs[i];
        bson_t entry;
        bson_append_document_begin(&runs, std::to_string(i).c_str(), -1, &entry);
        BSON_APPEND_INT64(&entry, "rawOffset", run.rawOffset);
        BSON_APPEND_UTF8(&entry, "startDate", run.startDate.c_str());
        appendSlot(&entry, "remote1", run.remote(1));
        appendSlot(&entry, "remote2", run.remote(2));
        bson_append_document_end(&runs, &entry);
    }
    bson_append_array_end(document, &runs);
}

void HardwareAPI::saveHardwareState() {
    listener->log("HardwareAPI::saveHardwareState");
    {
        std::lock_guard structure(acquisitionStack->structure());
        if (Acquisition* current = acquisitionStack->getCurrent()) {
            current->dongleID = hardwareState->dongleID;
            current->fwVersion = hardwareState->fwVersion;
            const RunRecord* run = current->runs.empty() ? nullptr : &current->runs.back();
            for (auto& [remote, configuration] : current->remoteConfigurations) {
                if (!HardwareState::isValidRemote(remote))
                    continue;
                // A remote of the acquisition that does not stream in this run keeps the
                // layout its recorded frames have.
                RunRemote layout = run ? run->remote(remote) : liveLayout(*current, remote);
                if (layout.fixedConfig == 0)
                    continue;
                configuration->remoteId = layout.remoteID;
                configuration->fixedConfig = layout.fixedConfig;
                configuration->replaceSensorDataLengths(layout.sensorDataLen, true);
            }
        }
    }
    bson_t document;
    bson_init(&document);
    buildMetadata(&document);
    rawDataWriter->writeMetadata(&document);
    bson_destroy(&document);
}

namespace {

// One remote slot document of the metadata ("remote1", or a run's "remote2"...).
RunRemote readSlot(const bson_t* document, const std::string& path) {
    RunRemote layout;
    bson_iter_t iter, found, lengths;
    auto readInt = [&](const char* key) {
        std::string full = path + "." + key;
        if (bson_iter_init(&iter, document) &&
            bson_iter_find_descendant(&iter, full.c_str(), &found) && BSON_ITER_HOLDS_INT32(&found))
            return bson_iter_int32(&found);
        return int32_t(0);
    };
    layout.remoteID = readInt("remoteID");
    layout.rfFwVersion = readInt("rfFwVersion");
    layout.sensorFwVersion = readInt("sensorFwVersion");
    layout.fixedConfig = readInt("fixedConfig");
    std::string lengthsPath = path + ".sensorDataLen";
    if (bson_iter_init(&iter, document) &&
        bson_iter_find_descendant(&iter, lengthsPath.c_str(), &found) &&
        BSON_ITER_HOLDS_DOCUMENT(&found) && bson_iter_recurse(&found, &lengths)) {
        while (bson_iter_next(&lengths)) {
            int type = leadingNumber(bson_iter_key(&lengths));
            if (type != 0 && BSON_ITER_HOLDS_INT32(&lengths))
                layout.sensorDataLen[type] = bson_iter_int32(&lengths);
        }
    }
    std::string constantsPath = path + ".constants";
    bson_iter_t words;
    if (bson_iter_init(&iter, document) &&
        bson_iter_find_descendant(&iter, constantsPath.c_str(), &found) &&
        BSON_ITER_HOLDS_DOCUMENT(&found) && bson_iter_recurse(&found, &lengths)) {
        while (bson_iter_next(&lengths)) {
            int type = leadingNumber(bson_iter_key(&lengths));
            if (type == 0 || !BSON_ITER_HOLDS_ARRAY(&lengths) ||
                !bson_iter_recurse(&lengths, &words))
                continue;
            std::vector<int32_t>& values = layout.constants[type];
            while (bson_iter_next(&words))
                if (BSON_ITER_HOLDS_INT32(&words))
                    values.push_back(bson_iter_int32(&words));
        }
    }
    return layout;
}

// The run records of a metadata document, oldest first. A document without them (written
// before runs were recorded) or with records that do not make sense (offsets not rising,
// not numbers) is read as one run over the whole file with the top-level layout.
std::vector<RunRecord> readRuns(const bson_t* document, const std::string& lastStartDate) {
    std::vector<RunRecord> runs;
    bson_iter_t iter, items;
    bool valid = bson_iter_init_find(&iter, document, "runs") && BSON_ITER_HOLDS_ARRAY(&iter) &&
                 bson_iter_recurse(&iter, &items);
    for (std::size_t i = 0; valid && bson_iter_next(&items); ++i) {
        bson_iter_t field;
        if (!BSON_ITER_HOLDS_DOCUMENT(&items) || !bson_iter_recurse(&items, &field)) {
            valid = false;
            break;
        }
        RunRecord run;
        bool hasOffset = false;
        while (bson_iter_next(&field)) {
            std::string key = bson_iter_key(&field);
            if (key == "rawOffset" &&
                (BSON_ITER_HOLDS_INT64(&field) || BSON_ITER_HOLDS_INT32(&field))) {
                run.rawOffset = bson_iter_as_int64(&field);
                hasOffset = true;
            } else if (key == "startDate" && BSON_ITER_HOLDS_UTF8(&field)) {
                run.startDate = bson_iter_utf8(&field, nullptr);
            }
        }
        std::string path = "runs." + std::to_string(i);
        run.remote(1) = readSlot(document, path + ".remote1");
        run.remote(2) = readSlot(document, path + ".remote2");
        if (!hasOffset || run.rawOffset < 0 ||
            (!runs.empty() && run.rawOffset < runs.back().rawOffset)) {
            valid = false;
            break;
        }
        runs.push_back(std::move(run));
    }
    if (valid && !runs.empty())
        return runs;
    RunRecord whole;
    whole.startDate = lastStartDate;
    whole.remote(1) = readSlot(document, "remote1");
    whole.remote(2) = readSlot(document, "remote2");
    return {whole};
}

} // namespace

bool HardwareAPI::reloadAcquisition(std::string acquisitionID) {
    listener->log(logLine("HardwareAPI::reloadAcquisition - %1%", acquisitionID));
    if (!FileSystem::isPlainFileName(acquisitionID))
        return listener->error(27, "");
    std::string dir = fileSystem->getDirectory(FileSystem::RawData);
    std::string raw = dir + acquisitionID + ".raw";
    std::string meta = dir + acquisitionID + ".bson";
    std::error_code ec;
    auto rawSize = std::filesystem::file_size(std::filesystem::u8path(raw), ec);
    if (ec || rawSize < 2)
        return listener->error(27, "");

    bson_t document;
    std::string errorText;
    if (!fileSystem->readBson(&document, meta, errorText))
        return false;
    bson_iter_t iter;
    std::string lastStartDate;
    if (bson_iter_init_find(&iter, &document, "lastStartDate") && BSON_ITER_HOLDS_UTF8(&iter))
        lastStartDate = bson_iter_utf8(&iter, nullptr);
    std::vector<RunRecord> runs = readRuns(&document, lastStartDate);
    // Every remote that streamed in some run is rebuilt; the top-level slots name them too,
    // but a file written by an older version may have lost one there.
    RunRemote remotes[2] = {readSlot(&document, "remote1"), readSlot(&document, "remote2")};
    bson_destroy(&document);
    for (int remote : {1, 2}) {
        RunRemote& layout = remotes[remote - 1];
        if (layout.fixedConfig > 0)
            continue;
        for (auto run = runs.rbegin(); run != runs.rend(); ++run)
            if (run->remote(remote).fixedConfig > 0) {
                layout = run->remote(remote);
                break;
            }
    }
    int config1 = remotes[0].fixedConfig, config2 = remotes[1].fixedConfig;
    if (config1 <= 0 && config2 <= 0) {
        listener->log("HardwareAPI::reloadAcquisition - No fixed config in metadata");
        return false;
    }
    listener->log(
        logLine("HardwareAPI::reloadAcquisition: config1 %1% - config2 %2%", config1, config2));

    std::unique_lock structure(acquisitionStack->structure());
    Acquisition* current = acquisitionStack->getCurrent();
    current->fromDB = true;
    current->acquisitionID = acquisitionID;
    try {
        current->setLastStartDate(boost::posix_time::from_iso_string(lastStartDate));
    } catch (const std::exception&) {
        current->setLastStartDate(boost::posix_time::ptime());
    }
    for (int remote : {1, 2}) {
        const RunRemote& layout = remotes[remote - 1];
        if (layout.fixedConfig <= 0)
            continue;
        acquisitionStack->addRemote(remote, layout.fixedConfig, layout.remoteID);
        if (RemoteConfiguration* configuration = current->remoteConfiguration(remote)) {
            for (auto [type, length] : layout.sensorDataLen)
                configuration->setSensorDataLength(type, length);
            // The constants the samples were converted with when the recording ended.
            applyConstants(*configuration, layout.constants);
        }
    }
    current->runs = runs;

    std::ifstream file(std::filesystem::u8path(raw), std::ios::binary);
    if (!file)
        return listener->error(24, "");
    // Replay every complete frame through the decoder, exactly as it was decoded live: each
    // run starts its sensors' frame count afresh, as the start of streaming did, and walks
    // its frames with the layout it was recorded with. The file is read in large blocks; a
    // frame split across blocks is carried over.
    std::vector<uint8_t> buffer;
    std::vector<char> block(1 << 20);
    std::size_t start = 0;
    uint64_t fileOffset = 0; // file offset of buffer[0]
    std::size_t nextRun = 0;
    uint64_t skipped = 0, undecoded = 0;
    auto beginRun = [&](const RunRecord& run) {
        for (auto& [remote, configuration] : current->remoteConfigurations) {
            const RunRemote& layout = run.remote(remote);
            if (layout.fixedConfig == configuration->fixedConfig && !layout.sensorDataLen.empty())
                configuration->replaceSensorDataLengths(layout.sensorDataLen, true);
            for (auto& [type, sensor] : configuration->sensors)
                sensor->awaitingFirstFrame = true;
        }
    };
    while (file) {
        file.read(block.data(), std::streamsize(block.size()));
        std::streamsize got = file.gcount();
        if (got <= 0)
            break;
        buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(start));
        fileOffset += start;
        start = 0;
        buffer.insert(buffer.end(), block.begin(), block.begin() + got);
        while (buffer.size() - start >= 3) {
            std::size_t size = std::size_t(buffer[start + 2]) + 4;
            if (buffer.size() - start < size)
                break;
            while (nextRun < runs.size() && uint64_t(runs[nextRun].rawOffset) <= fileOffset + start)
                beginRun(runs[nextRun++]);
            std::span<const uint8_t> frame(buffer.data() + start, size);
            if (frame[0] == 0x02 && frame[size - 1] == 0x0A && frame[1] == DATA_FROM_REMOTE) {
                if (!dataParser->dataFromRemote(frame, true))
                    ++undecoded;
            } else {
                ++skipped;
            }
            start += size;
        }
    }
    if (skipped)
        listener->log(
            logLine("HardwareAPI::reloadAcquisition - %1% malformed frames skipped", skipped));
    if (undecoded)
        listener->log(logLine(
            "HardwareAPI::reloadAcquisition - %1% frames could not be split into sensor blocks",
            undecoded));
    for (auto& [remote, configuration] : current->remoteConfigurations)
        configuration->recalibrateAll();
    structure.unlock();
    listener->acquisitionStackChanged();
    listener->hardwareStateChanged();
    return true;
}
