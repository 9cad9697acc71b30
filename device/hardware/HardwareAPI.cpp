#include "device/hardware/HardwareAPI.h"

#include "device/api/LogLine.h"
#include "device/api/IKorvexListener.h"
#include "device/hardware/HardwareDispatch.h"
#include "device/hardware/HardwareState.h"
#include "device/link/CommandSender.h"
#include "device/link/DataParser.h"
#include "device/link/SerialDevice.h"
#include "device/link/SerialPortCheck.h"
#include "device/link/protocol/Protocol.h"
#include "device/sensors/RemoteConfiguration.h"
#include "device/sensors/Sensor.h"
#include "device/storage/AcquisitionStack.h"
#include "device/storage/FileSystem.h"
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
        if (value > 1000000) return 0;
    }
    return int(value);
}

}  // namespace

HardwareAPI::HardwareAPI(IKorvexListener* dispatch, HardwareState* state, AcquisitionStack* stack,
                         FileSystem* files)
    : hardwareState(state), acquisitionStack(stack), protocol(nullptr), fileSystem(files),
      listener(nullptr), portCheck(nullptr), serialDevice(nullptr), commandSender(nullptr),
      rawDataWriter(nullptr), dataParser(nullptr) {
    protocol = new Protocol();
    listener = new HardwareDispatch(dispatch, this, hardwareState, protocol);
    portCheck = new SerialPortCheck(hardwareState, protocol);
    serialDevice = new SerialDevice(ioService, listener, portCheck);
    commandSender = new CommandSender(listener, serialDevice, protocol);
    dataParser = new DataParser(listener, hardwareState, acquisitionStack,
                                serialDevice->getReceiveQueue());
    rawDataWriter = new RawDataWriter(listener, acquisitionStack, dataParser->getRawQueue(), fileSystem);
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
    if (started) return;
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
    if (stopped.exchange(true)) return;
    serialDevice->close();
    // Each wait of the workers wakes on its stop request. The writer writes what is still
    // queued and closes its file before it returns.
    for (std::jthread* t : {&portCheckThread, &senderThread, &parserThread, &writerThread}) {
        t->request_stop();
        if (t->joinable()) t->join();
    }
    ioWork.reset();
    ioService.stop();
    if (ioThread.joinable()) ioThread.join();
}

void HardwareAPI::endInterruptedRun() {
    if (hardwareState->dongleMode != DongleModeData) return;
    dataParser->endOfRun();
    listener->listener->sendEvent("dataStopped", "");
}

bool HardwareAPI::startDataAcquisition() {
    listener->log("HardwareAPI::startDataAcquisition");
    if (hardwareState->dongleMode != DongleModeConnected) return listener->error(3, "");
    bool r1 = connected(hardwareState, 1), r2 = connected(hardwareState, 2);
    bool c1 = hardwareState->packetConfig(1)->configured;
    bool c2 = hardwareState->packetConfig(2)->configured;
    if (r1) {
        if (!(c1 || (r2 && c2))) return listener->error(4, "");
    } else {
        if (!r2) return listener->error(2, "");
        if (!c2) return listener->error(4, "");
    }
    // Remotes that are gone are dropped from an acquisition that never ran, so the run is
    // not refused for a remote nobody can reach any more.
    Acquisition* current = acquisitionStack->getCurrent();
    bool neverStarted = current && current->lastStartDate().is_not_a_date_time();
    for (int remote : {1, 2}) {
        if (connected(hardwareState, remote)) continue;
        RemotePacketConfig* config = hardwareState->packetConfig(remote);
        if (config->fixedConfig != 0 && neverStarted) {
            config->clear();
            acquisitionStack->removeRemote(remote);
        }
    }
    saveHardwareState();
    if (current)
        for (auto& [remote, configuration] : current->remoteConfigurations)
            for (auto& [type, sensor] : configuration->sensors) sensor->awaitingFirstFrame = true;
    if (r1 && c1 && r2 && !c2)
        protocol->startAsymetricData(1);
    else if (r1 && !c1 && r2 && c2)
        protocol->startAsymetricData(2);
    else
        protocol->startData();
    return true;
}

bool HardwareAPI::stopDataAcquisition() {
    listener->log("HardwareAPI::stopDataAcquisition");
    if (hardwareState->dongleMode != DongleModeData) return listener->error(6, "");
    if (!connected(hardwareState, 1) && !connected(hardwareState, 2)) return listener->error(5, "");
    protocol->stopData();
    protocol->getDongleStatus();
    return true;
}

bool HardwareAPI::setFixedConfiguration(int remote, int config) {
    listener->log(logLine("HardwareAPI::setFixedConfiguration - remote: %1% - config: %2%", remote, config));
    if (hardwareState->dongleMode != DongleModeConnected) return listener->error(0, "");
    if (!HardwareState::isValidRemote(remote) || !connected(hardwareState, remote))
        return listener->error(1, "");
    protocol->setFixedConfig(remote, config);
    protocol->getPacketConfig(remote);
    if (acquisitionStack->hasSensor(remote, SensorBarometer)) protocol->getCalibration(remote, SensorBarometer);
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
    listener->log(logLine("HardwareAPI::setOutputConfig - remote: %1% - sensorID %2% - Key %3% - Value %4%",
                      remote, sensorID, key, value));
    int mode = hardwareState->dongleMode;
    if (mode != DongleModeData && mode != DongleModeConnected) return listener->error(8, "");
    if (!HardwareState::isValidRemote(remote) || !connected(hardwareState, remote))
        return listener->error(9, "");
    int idle = 0;
    if (!hardwareState->outputConfigBusyRemote.compare_exchange_strong(idle, remote))
        return listener->error(10, "");
    RemoteOutputConfig* output = hardwareState->outputConfig(remote);
    output->pendingSensor = sensorID;
    output->pendingSetting = RemoteOutputConfig::packSetting(key, value);
    protocol->setOutputConfig(remote, sensorID, key, value);
    return true;
}

void HardwareAPI::buildMetadata(bson_t* document) const {
    Acquisition* current = acquisitionStack->getCurrent();
    std::string id = current ? current->acquisitionID : std::string();
    std::string date = boost::posix_time::to_iso_string(boost::posix_time::microsec_clock::local_time());
    BSON_APPEND_UTF8(document, "acquisitionID", id.c_str());
    BSON_APPEND_INT32(document, "dongleID", hardwareState->dongleID);
    BSON_APPEND_INT32(document, "fwVersion", hardwareState->fwVersion);
    BSON_APPEND_UTF8(document, "lastStartDate", date.c_str());
    for (int remote : {1, 2}) {
        RemoteStatus* status = hardwareState->remoteStatus(remote);
        RemotePacketConfig* config = hardwareState->packetConfig(remote);
        bson_t slot, lengths;
        std::string key = "remote" + std::to_string(remote);
        bson_append_document_begin(document, key.c_str(), -1, &slot);
        BSON_APPEND_INT32(&slot, "remoteID", status->remoteID);
        BSON_APPEND_INT32(&slot, "rfFwVersion", status->rfFwVersion);
        BSON_APPEND_INT32(&slot, "sensorFwVersion", status->sensorFwVersion);
        int32_t fixedConfig = config->fixedConfig;
        // A remote whose layout is known but whose configuration reply never came (refused
        // or lost) streams the configuration the acquisition set up for it; without that
        // number here its recording could never be read again.
        if (fixedConfig == 0 && config->configured && current)
            if (RemoteConfiguration* configuration = current->remoteConfiguration(remote))
                fixedConfig = configuration->fixedConfig;
        BSON_APPEND_INT32(&slot, "fixedConfig", fixedConfig);
        bson_append_document_begin(&slot, "sensorDataLen", -1, &lengths);
        for (auto [type, length] : config->sensorDataLens())
            bson_append_int32(&lengths, std::to_string(type).c_str(), -1, length);
        bson_append_document_end(&slot, &lengths);
        bson_append_document_end(document, &slot);
    }
}

void HardwareAPI::saveHardwareState() {
    listener->log("HardwareAPI::saveHardwareState");
    if (Acquisition* current = acquisitionStack->getCurrent()) {
        current->dongleID = hardwareState->dongleID;
        current->fwVersion = hardwareState->fwVersion;
        for (auto& [remote, configuration] : current->remoteConfigurations) {
            if (!HardwareState::isValidRemote(remote)) continue;
            RemoteStatus* status = hardwareState->remoteStatus(remote);
            RemotePacketConfig* config = hardwareState->packetConfig(remote);
            configuration->remoteId = status->remoteID;
            configuration->fixedConfig = config->fixedConfig != 0 ? int32_t(config->fixedConfig)
                                                                  : configuration->fixedConfig;
            configuration->replaceSensorDataLengths(config->sensorDataLens(), config->configured);
        }
    }
    bson_t document;
    bson_init(&document);
    buildMetadata(&document);
    rawDataWriter->writeMetadata(&document);
    bson_destroy(&document);
}

bool HardwareAPI::reloadAcquisition(std::string acquisitionID) {
    listener->log(logLine("HardwareAPI::reloadAcquisition - %1%", acquisitionID));
    if (!FileSystem::isPlainFileName(acquisitionID)) return listener->error(27, "");
    std::string dir = fileSystem->getDirectory(FileSystem::RawData);
    std::string raw = dir + acquisitionID + ".raw";
    std::string meta = dir + acquisitionID + ".bson";
    std::error_code ec;
    auto rawSize = std::filesystem::file_size(std::filesystem::u8path(raw), ec);
    if (ec || rawSize < 2) return listener->error(27, "");

    bson_t document;
    std::string errorText;
    if (!fileSystem->readBson(&document, meta, errorText)) return false;
    bson_iter_t iter, found;
    auto readInt = [&](const char* path) {
        int32_t value = 0;
        if (bson_iter_init(&iter, &document) && bson_iter_find_descendant(&iter, path, &found) &&
            BSON_ITER_HOLDS_INT32(&found))
            value = bson_iter_int32(&found);
        return value;
    };
    std::string lastStartDate;
    if (bson_iter_init_find(&iter, &document, "lastStartDate") && BSON_ITER_HOLDS_UTF8(&iter))
        lastStartDate = bson_iter_utf8(&iter, nullptr);
    int config1 = readInt("remote1.fixedConfig");
    int config2 = readInt("remote2.fixedConfig");
    if (config1 == 0 && config2 == 0) {
        listener->log("HardwareAPI::reloadAcquisition - No fixed config in metadata");
        bson_destroy(&document);
        return false;
    }
    listener->log(logLine("HardwareAPI::reloadAcquisition: config1 %1% - config2 %2%", config1, config2));

    Acquisition* current = acquisitionStack->getCurrent();
    current->fromDB = true;
    current->acquisitionID = acquisitionID;
    try {
        current->setLastStartDate(boost::posix_time::from_iso_string(lastStartDate));
    } catch (const std::exception&) {
        current->setLastStartDate(boost::posix_time::ptime());
    }
    for (int remote : {1, 2}) {
        int config = remote == 1 ? config1 : config2;
        if (config <= 0) continue;
        std::string slot = "remote" + std::to_string(remote);
        acquisitionStack->addRemote(remote, config, readInt((slot + ".remoteID").c_str()));
        RemoteConfiguration* configuration = current->remoteConfiguration(remote);
        bson_iter_t lengths;
        if (configuration && bson_iter_init(&iter, &document) &&
            bson_iter_find_descendant(&iter, (slot + ".sensorDataLen").c_str(), &found) &&
            BSON_ITER_HOLDS_DOCUMENT(&found) && bson_iter_recurse(&found, &lengths)) {
            while (bson_iter_next(&lengths)) {
                int type = leadingNumber(bson_iter_key(&lengths));
                if (type != 0 && BSON_ITER_HOLDS_INT32(&lengths))
                    configuration->setSensorDataLength(type, bson_iter_int32(&lengths));
            }
        }
    }
    bson_destroy(&document);

    std::ifstream file(std::filesystem::u8path(raw), std::ios::binary);
    if (!file) return listener->error(24, "");
    // Replay every complete frame through the decoder, exactly as it was decoded live.
    // The file is read in large blocks; a frame split across blocks is carried over.
    std::vector<uint8_t> buffer;
    std::vector<char> block(1 << 20);
    std::size_t start = 0;
    uint64_t skipped = 0;
    while (file) {
        file.read(block.data(), std::streamsize(block.size()));
        std::streamsize got = file.gcount();
        if (got <= 0) break;
        buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(start));
        start = 0;
        buffer.insert(buffer.end(), block.begin(), block.begin() + got);
        while (buffer.size() - start >= 3) {
            std::size_t size = std::size_t(buffer[start + 2]) + 4;
            if (buffer.size() - start < size) break;
            std::span<const uint8_t> frame(buffer.data() + start, size);
            if (frame[0] == 0x02 && frame[size - 1] == 0x0A && frame[1] == DATA_FROM_REMOTE)
                dataParser->dataFromRemote(frame);
            else
                ++skipped;
            start += size;
        }
    }
    if (skipped)
        listener->log(logLine("HardwareAPI::reloadAcquisition - %1% malformed frames skipped", skipped));
    for (auto& [remote, configuration] : current->remoteConfigurations) configuration->recalibrateAll();
    listener->acquisitionStackChanged();
    listener->hardwareStateChanged();
    return true;
}
