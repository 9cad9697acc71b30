#include "device/base/HardwareState.h"

RemoteStatus::RemoteStatus(int32_t remote) : remote(remote) {}

void RemoteStatus::reset() {
    pairStatus = 0;
    remoteID = 0;
    rfStatus = 0;
    rfFwVersion = 0;
    sensorFwVersion = 0;
    batteryVoltage = 0.0;
}

RemotePacketConfig::RemotePacketConfig(int32_t remote) : remote(remote) {}

void RemotePacketConfig::setSensorDataLen(int32_t sensorType, int32_t length) {
    std::lock_guard guard(lock);
    configured = true;
    sensorDataLen[sensorType] = length;
}

std::optional<int32_t> RemotePacketConfig::sensorDataLenOf(int32_t sensorType) const {
    std::lock_guard guard(lock);
    auto found = sensorDataLen.find(sensorType);
    if (found == sensorDataLen.end())
        return std::nullopt;
    return found->second;
}

std::map<int32_t, int32_t> RemotePacketConfig::sensorDataLens() const {
    std::lock_guard guard(lock);
    return sensorDataLen;
}

void RemotePacketConfig::clear() {
    std::lock_guard guard(lock);
    configured = false;
    fixedConfig = 0;
    sensorDataLen.clear();
}

RemoteOutputConfig::RemoteOutputConfig(int32_t remote) : remote(remote) {}

int32_t RemoteOutputConfig::packSetting(int32_t key, int32_t value) {
    return (key & 7) * 32 + (value & 0x1F);
}

void RemoteOutputConfig::setSetting(int32_t sensorType, int32_t packed) {
    std::lock_guard guard(lock);
    settings[sensorType][packed >> 5] = packed & 0x1F;
}

std::map<int32_t, std::map<int32_t, int32_t>> RemoteOutputConfig::settingsCopy() const {
    std::lock_guard guard(lock);
    return settings;
}

void RemoteOutputConfig::clear() {
    std::lock_guard guard(lock);
    settings.clear();
}

HardwareState::HardwareState() {
    for (int32_t remote : {1, 2}) {
        remotes.emplace(remote, std::make_unique<RemoteStatus>(remote));
        packetConfigs.emplace(remote, std::make_unique<RemotePacketConfig>(remote));
        outputConfigs.emplace(remote, std::make_unique<RemoteOutputConfig>(remote));
    }
}

HardwareState::~HardwareState() { reset(); }

bool HardwareState::isValidRemote(int remote) { return remote == 1 || remote == 2; }

RemoteStatus* HardwareState::remoteStatus(int remote) const {
    auto found = remotes.find(remote);
    return found == remotes.end() ? nullptr : found->second.get();
}

RemotePacketConfig* HardwareState::packetConfig(int remote) const {
    auto found = packetConfigs.find(remote);
    return found == packetConfigs.end() ? nullptr : found->second.get();
}

RemoteOutputConfig* HardwareState::outputConfig(int remote) const {
    auto found = outputConfigs.find(remote);
    return found == outputConfigs.end() ? nullptr : found->second.get();
}

void HardwareState::reset() {
    donglePlugged = false;
    fwVersion = 0;
    dongleID = 0;
    dongleMode = DongleModeIdle;
    // The answer a setting waited for can no longer come: the remotes take settings again.
    outputConfigBusyRemote = 0;
    for (auto& [remote, status] : remotes)
        status->reset();
    for (auto& [remote, config] : packetConfigs)
        if (config->configured)
            config->clear();
    for (auto& [remote, config] : outputConfigs)
        config->clear();
}
