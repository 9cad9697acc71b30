#include "tools/dongle-sim/DongleModel.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/Packet.h"
#include "tools/dongle-sim/SimLayout.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

// Versions a remote reports in its status reply.
constexpr uint16_t remoteSensorFirmware = 0x0203;
constexpr uint16_t remoteRadioFirmware = 0x0105;
// Battery reading counts per volt.
constexpr double batteryCountsPerVolt = 682.5;
// Radio status values in RF_CONNECTION: connected; lost (switched off, out of range);
// no longer paired.
constexpr uint8_t rfConnected = 1;
constexpr uint8_t rfLost = 0;
constexpr uint8_t rfUnpaired = 2;
// The output setting sensor whose two keys move together.
constexpr int linkedSettingSensor = 20;

SimEmission makeEmission(SimEmission::Kind kind, uint8_t command, std::vector<uint8_t> frame) {
    SimEmission e;
    e.kind = kind;
    e.command = command;
    e.frame = std::move(frame);
    return e;
}

} // namespace

DongleModel::DongleModel() : DongleModel(Options{}) {}

namespace {

RemoteSignals remoteSignals(const DongleModel::Options& options, int remote) {
    return RemoteSignals(options.seed, remote,
                         options.defaultConstants
                             ? SimCalibration{}
                             : SimCalibration::forRemote(options.seed, remote));
}

} // namespace

DongleModel::DongleModel(const Options& options)
    : opts(options), signals{remoteSignals(options, 1), remoteSignals(options, 2)} {
    for (int i = 0; i < 2; ++i)
        units[i].id = opts.unitIDs[i] & 0xFFFFFF;
}

// --- start state ---------------------------------------------------------------------

void DongleModel::setUnitPresent(int unit, bool present) {
    if (validRemote(unit))
        units[unit - 1].present = present;
}

void DongleModel::setPairing(int slot, uint32_t remoteID) {
    if (!validRemote(slot))
        return;
    slots[slot - 1].paired = remoteID != 0;
    slots[slot - 1].id = remoteID & 0xFFFFFF;
}

bool DongleModel::setFixedConfig(int slot, int config) {
    Unit* unit = validRemote(slot) ? unitBehind(slot) : nullptr;
    if (!unit || (config != 0 && simBlockLayout(config).empty()))
        return false;
    if (running && slots[slot - 1].inRun && config != unit->fixedConfig)
        return false;
    unit->fixedConfig = config;
    return true;
}

void DongleModel::hostAttached() { announceToNewHost = true; }

void DongleModel::settleConnections() {
    for (int s = 1; s <= 2; ++s)
        slots[s - 1].reportedConnected = connected(s);
}

// --- helpers ---------------------------------------------------------------------------

DongleModel::Unit* DongleModel::unitBehind(int slot) {
    return const_cast<Unit*>(static_cast<const DongleModel*>(this)->unitBehind(slot));
}

const DongleModel::Unit* DongleModel::unitBehind(int slot) const {
    const Slot& s = slots[slot - 1];
    if (!s.paired)
        return nullptr;
    for (const Unit& unit : units)
        if (unit.present && unit.id == s.id)
            return &unit;
    return nullptr;
}

bool DongleModel::connected(int slot) const {
    if (!validRemote(slot))
        return false;
    const Unit* unit = unitBehind(slot);
    return unit && unit->powered && unit->inRange;
}

bool DongleModel::streaming(int slot) const {
    return validRemote(slot) && running && slots[slot - 1].inRun && connected(slot);
}

int DongleModel::fixedConfig(int slot) const {
    const Unit* unit = validRemote(slot) ? unitBehind(slot) : nullptr;
    return unit ? unit->fixedConfig : 0;
}

uint32_t DongleModel::unitID(int unit) const { return validRemote(unit) ? units[unit - 1].id : 0; }

const SimCalibration& DongleModel::calibration(int slot) const {
    return signals[validRemote(slot) ? slot - 1 : 0].calibration();
}

int DongleModel::modeNumber() const {
    if (running)
        return DONGLE_MODE_DATA;
    if (pairingInProgress)
        return DONGLE_MODE_PAIRING;
    if (connected(1) || connected(2))
        return DONGLE_MODE_CONNECTED;
    if (slots[0].paired || slots[1].paired)
        return DONGLE_MODE_PAIRED;
    return DONGLE_MODE_IDLE;
}

double DongleModel::batteryVolts(int slot) const {
    const Unit* unit = unitBehind(slot);
    if (unit && unit->batteryOverride)
        return *unit->batteryOverride;
    return signals[slot - 1].batteryVolts(static_cast<double>(tickCount) / SIM_FRAMES_PER_SECOND);
}

void DongleModel::setBattery(int slot, double volts) {
    if (Unit* unit = validRemote(slot) ? unitBehind(slot) : nullptr)
        unit->batteryOverride = volts;
}

SimEmission DongleModel::ack(uint8_t command) const {
    const uint8_t payload[] = {command};
    return makeEmission(SimEmission::Kind::Answer, command, buildFrame(ACK, payload));
}

SimEmission DongleModel::nack(uint8_t command, uint8_t error) const {
    const uint8_t payload[] = {command, error};
    return makeEmission(SimEmission::Kind::Answer, command, buildFrame(NACK, payload));
}

SimEmission DongleModel::framingError(uint8_t command, uint8_t errorCode) const {
    return nack(command, errorCode);
}

SimEmission DongleModel::reply(uint8_t command, std::vector<uint8_t> payload) const {
    return makeEmission(SimEmission::Kind::Answer, command, buildFrame(command, payload));
}

void DongleModel::emitConnectionChanges(std::vector<SimEmission>& out) {
    for (int s = 1; s <= 2; ++s) {
        Slot& slot = slots[s - 1];
        bool now = connected(s);
        if (now == slot.reportedConnected)
            continue;
        slot.reportedConnected = now;
        uint8_t status = now ? rfConnected : (slot.paired ? rfLost : rfUnpaired);
        const uint8_t payload[] = {static_cast<uint8_t>(s), status};
        out.push_back(makeEmission(SimEmission::Kind::Connection, RF_CONNECTION,
                                   buildFrame(RF_CONNECTION, payload)));
    }
    endRunIfNobodyStreams();
}

void DongleModel::endRunIfNobodyStreams() {
    if (!running)
        return;
    for (int s = 1; s <= 2; ++s)
        if (slots[s - 1].inRun && connected(s))
            return;
    // Every remote of the run has gone: the dongle leaves Data mode on its own.
    running = false;
    for (Slot& slot : slots)
        slot.inRun = false;
}

void DongleModel::applySetting(Unit& unit, int sensorType, uint8_t packed) {
    unit.settings[sensorType][packed >> 5] = packed & 0x1F;
    if (sensorType == linkedSettingSensor) {
        if (packed == 0x00)
            unit.settings[sensorType][1] = 0;
        else if (packed == 0x21)
            unit.settings[sensorType][0] = 2;
    }
}

// --- commands --------------------------------------------------------------------------

std::vector<SimEmission> DongleModel::handleCommand(std::span<const uint8_t> frame) {
    std::vector<SimEmission> out;
    if (frame.size() < 4)
        return out;
    const uint8_t command = frame[1];
    const std::size_t length = std::min<std::size_t>(frame[2], frame.size() - 4);
    const auto payload = frame.subspan(3, length);
    auto expectLength = [&](std::size_t expected) {
        if (payload.size() == expected)
            return true;
        out.push_back(nack(command, NACK_INVALID_PAYLOAD_LENGTH));
        return false;
    };

    switch (command) {
    case START_PAIRING:
        if (expectLength(5))
            out = handleStartPairing(payload);
        break;
    case STOP_PAIRING:
        if (expectLength(0)) {
            std::erase_if(pending, [](const PendingEvent& e) {
                return e.what == PendingEvent::What::PairingDone;
            });
            pairingInProgress = false;
            out.push_back(ack(command));
        }
        break;
    case GET_PAIRING:
        if (expectLength(0)) {
            std::vector<uint8_t> p;
            for (const Slot& slot : slots) {
                p.push_back(slot.paired ? PAIRING_STATUS_PAIRED : PAIRING_STATUS_NOT_PAIRED);
                appendBigEndian24(p, slot.paired ? slot.id : 0);
            }
            out.push_back(reply(command, p));
            // A host that has just opened the port asks for the pairing table first. When
            // asked to (hostAttached), the remotes that connected while nobody was listening
            // are announced then, once per host.
            if (announceToNewHost) {
                announceToNewHost = false;
                for (Slot& slot : slots)
                    slot.reportedConnected = false;
            }
        }
        break;
    case FIND_REMOTE:
        if (expectLength(0)) {
            if (running) {
                out.push_back(nack(command, NACK_INVALID_STATE));
                break;
            }
            // A remote that is on, in range and not paired to either slot answers the call.
            const Unit* found = nullptr;
            for (const Unit& unit : units) {
                bool taken = (slots[0].paired && slots[0].id == unit.id) ||
                             (slots[1].paired && slots[1].id == unit.id);
                if (unit.present && unit.powered && unit.inRange && !taken) {
                    found = &unit;
                    break;
                }
            }
            if (!found) {
                out.push_back(nack(command, NACK_NO_RESPONSE));
                break;
            }
            std::vector<uint8_t> p;
            appendBigEndian24(p, found->id);
            out.push_back(reply(command, p));
        }
        break;
    case GET_DONGLE_STATUS:
        if (expectLength(0)) {
            std::vector<uint8_t> p;
            appendBigEndian16(p, opts.fwVersion);
            p.push_back(static_cast<uint8_t>(modeNumber()));
            appendBigEndian24(p, opts.dongleID);
            out.push_back(reply(command, p));
        }
        break;
    case START_DATA:
        if (expectLength(0))
            out = handleStartData();
        break;
    case STOP_DATA:
        if (expectLength(0)) {
            if (!running) {
                out.push_back(nack(command, NACK_INVALID_STATE));
                break;
            }
            running = false;
            for (Slot& slot : slots)
                slot.inRun = false;
            out.push_back(ack(command));
        }
        break;
    case GET_SENSOR_CONFIG:
    case SET_OUTPUT_CONFIG:
    case GET_OUTPUT_CONFIG:
    case SET_FIXED_CONFIG:
    case GET_FIXED_CONFIG:
    case GET_PACKET_CONFIG:
    case GET_CALIBRATION:
    case GET_REMOTE_STATUS:
    case POWER_DOWN:
    case START_ASYMETRIC_DATA: out = handleRemoteCommand(command, payload); break;
    case ENTER_BOOTLOADER:
        // Firmware updates are not part of the simulated dongle.
        out.push_back(nack(command, NACK_COMMAND_ERROR));
        break;
    default:
        // SET_SENSOR_CONFIG, frames only the dongle sends, and unknown codes.
        out.push_back(nack(command, NACK_INVALID_COMMAND));
        break;
    }
    emitConnectionChanges(out);
    return out;
}

std::vector<SimEmission> DongleModel::handleStartPairing(std::span<const uint8_t> payload) {
    const uint8_t command = START_PAIRING;
    const int remote = payload[0];
    const uint8_t action = payload[1];
    const uint32_t id = (static_cast<uint32_t>(payload[2]) << 16) | (payload[3] << 8) | payload[4];
    if (!validRemote(remote))
        return {nack(command, NACK_INVALID_PAYLOAD_VALUE)};
    if (running)
        return {nack(command, NACK_INVALID_STATE)};
    if (action == PAIRING_ACTION_PAIR) {
        const Slot& other = slots[2 - remote];
        if (id == 0 || (other.paired && other.id == id))
            return {nack(command, NACK_INVALID_PAYLOAD_VALUE)};
        pairingInProgress = true;
        pending.push_back(
            {tickCount + opts.pairingTicks, PendingEvent::What::PairingDone, remote, id});
    } else {
        // Any other action releases the slot.
        slots[remote - 1].paired = false;
        slots[remote - 1].id = 0;
    }
    return {ack(command)};
}

std::vector<SimEmission> DongleModel::handleStartData() {
    const uint8_t command = START_DATA;
    if (modeNumber() != DONGLE_MODE_CONNECTED)
        return {nack(command, NACK_INVALID_STATE)};
    bool any = false;
    for (int s = 1; s <= 2; ++s) {
        bool joins = connected(s) && fixedConfig(s) != 0;
        slots[s - 1].inRun = joins;
        slots[s - 1].runStartTick = tickCount + 1;
        any = any || joins;
    }
    if (!any)
        return {nack(command, NACK_INVALID_STATE)};
    running = true;
    return {ack(command)};
}

std::vector<SimEmission> DongleModel::handleRemoteCommand(uint8_t command,
                                                          std::span<const uint8_t> payload) {
    std::size_t expected = 1;
    if (command == SET_FIXED_CONFIG || command == GET_CALIBRATION)
        expected = 2;
    bool lengthOk = payload.size() == expected;
    if (command == GET_OUTPUT_CONFIG)
        lengthOk = payload.size() <= 1;
    if (command == SET_OUTPUT_CONFIG)
        lengthOk =
            payload.size() >= 4 && payload.size() == 2 + 2 * static_cast<std::size_t>(payload[1]);
    if (!lengthOk)
        return {nack(command, NACK_INVALID_PAYLOAD_LENGTH)};

    int remote = 0;
    if (!payload.empty()) {
        remote = payload[0];
    } else {
        // The remote-less form asks about the first connected remote.
        remote = connected(1) ? 1 : (connected(2) ? 2 : 1);
    }
    if (!validRemote(remote))
        return {nack(command, NACK_INVALID_PAYLOAD_VALUE)};
    if (command == START_ASYMETRIC_DATA && running)
        return {nack(command, NACK_INVALID_STATE)};
    if (!connected(remote))
        return {nack(command, NACK_NO_RESPONSE)};
    Unit& unit = *unitBehind(remote);
    const auto r = static_cast<uint8_t>(remote);

    switch (command) {
    case START_ASYMETRIC_DATA: {
        if (unit.fixedConfig == 0)
            return {nack(command, NACK_INVALID_STATE)};
        for (int s = 1; s <= 2; ++s) {
            slots[s - 1].inRun = s == remote;
            slots[s - 1].runStartTick = tickCount + 1;
        }
        running = true;
        return {ack(command)};
    }
    case SET_FIXED_CONFIG: {
        int config = payload[1];
        if (simBlockLayout(config).empty())
            return {nack(command, NACK_INVALID_PAYLOAD_VALUE)};
        // A streaming remote cannot change its frame layout; the same number again (as a
        // host sends after a radio drop) is fine.
        if (streaming(remote) && config != unit.fixedConfig)
            return {nack(command, NACK_INVALID_STATE)};
        unit.fixedConfig = config;
        return {ack(command)};
    }
    case GET_FIXED_CONFIG: return {reply(command, {r, static_cast<uint8_t>(unit.fixedConfig)})};
    case GET_PACKET_CONFIG: {
        const auto& blocks = simBlockLayout(unit.fixedConfig);
        std::vector<uint8_t> p = {r, static_cast<uint8_t>(blocks.size())};
        for (const auto& block : blocks) {
            p.push_back(static_cast<uint8_t>(block.type));
            p.push_back(static_cast<uint8_t>(block.slotLength));
        }
        return {reply(command, p)};
    }
    case GET_SENSOR_CONFIG: {
        const auto& blocks = simBlockLayout(unit.fixedConfig);
        std::vector<uint8_t> p = {r, static_cast<uint8_t>(blocks.size())};
        for (const auto& block : blocks)
            p.push_back(static_cast<uint8_t>(block.type));
        return {reply(command, p)};
    }
    case GET_CALIBRATION: {
        const uint8_t type = payload[1];
        const SimCalibration& constants = signals[remote - 1].calibration();
        std::vector<uint8_t> p = {r, type, 0};
        if (type == SIM_BAROMETER) {
            for (int16_t word : constants.barometer)
                appendBigEndian16(p, static_cast<uint16_t>(word));
        } else if (type == SIM_THERMOMETER) {
            appendBigEndian16(p, constants.thermometerAt85);
            appendBigEndian16(p, constants.thermometerAt30);
        }
        p[2] = static_cast<uint8_t>(p.size() - 3); // other sensors have no factory constants
        return {reply(command, p)};
    }
    case GET_REMOTE_STATUS: {
        std::vector<uint8_t> p = {r};
        appendBigEndian16(p, remoteSensorFirmware);
        appendBigEndian16(p, remoteRadioFirmware);
        long reading = std::lround(batteryVolts(remote) * batteryCountsPerVolt);
        appendBigEndian16(p, static_cast<uint16_t>(std::clamp<long>(reading, 0, 32767)));
        return {reply(command, p)};
    }
    case POWER_DOWN:
        pending.push_back(
            {tickCount + opts.powerDownTicks, PendingEvent::What::PowerOff, remote, unit.id});
        return {ack(command)};
    case SET_OUTPUT_CONFIG: {
        const int count = payload[1];
        for (int i = 0; i < count; ++i)
            if (payload[2 + 2 * i] == 0)
                return {nack(command, NACK_INVALID_PAYLOAD_VALUE)};
        for (int i = 0; i < count; ++i)
            applySetting(unit, payload[2 + 2 * i], payload[3 + 2 * i]);
        return {ack(command)};
    }
    case GET_OUTPUT_CONFIG: {
        std::vector<uint8_t> p = {r, 0};
        int entries = 0;
        for (const auto& [type, keys] : unit.settings)
            for (const auto& [key, value] : keys) {
                if (p.size() + 2 > FRAME_MAX_PAYLOAD)
                    break;
                p.push_back(static_cast<uint8_t>(type));
                p.push_back(static_cast<uint8_t>((key << 5) | (value & 0x1F)));
                ++entries;
            }
        p[1] = static_cast<uint8_t>(entries);
        return {reply(command, p)};
    }
    default: return {nack(command, NACK_INVALID_COMMAND)};
    }
}

// --- time ----------------------------------------------------------------------------------

std::vector<SimEmission> DongleModel::tick(std::vector<SimDataFrame>* dataFrames) {
    std::vector<SimEmission> out;
    ++tickCount;

    std::vector<PendingEvent> due;
    std::erase_if(pending, [&](const PendingEvent& e) {
        if (e.dueTick > tickCount)
            return false;
        due.push_back(e);
        return true;
    });
    for (const PendingEvent& e : due) {
        if (e.what == PendingEvent::What::PairingDone) {
            slots[e.slot - 1].paired = true;
            slots[e.slot - 1].id = e.id;
        } else {
            for (Unit& unit : units)
                if (unit.id == e.id) {
                    // A remote switched off forgets its configuration.
                    unit.powered = false;
                    unit.fixedConfig = 0;
                    unit.settings.clear();
                }
        }
    }
    if (!due.empty())
        pairingInProgress = std::any_of(pending.begin(), pending.end(), [](const PendingEvent& e) {
            return e.what == PendingEvent::What::PairingDone;
        });
    emitConnectionChanges(out);

    for (int s = 1; s <= 2; ++s) {
        if (!streaming(s))
            continue;
        SimDataFrame data = buildDataFrame(s);
        out.push_back(makeEmission(SimEmission::Kind::Data, DATA_FROM_REMOTE, data.frame));
        if (dataFrames)
            dataFrames->push_back(std::move(data));
    }
    return out;
}

SimDataFrame DongleModel::buildDataFrame(int slot) {
    SimDataFrame data;
    const int config = fixedConfig(slot);
    const auto& blocks = simBlockLayout(config);
    data.remote = slot;
    data.config = config;
    data.frameIndex = tickCount - slots[slot - 1].runStartTick;
    data.counter = static_cast<int>((opts.firstCounter + data.frameIndex) & 0xFF);

    std::vector<uint8_t> payload = {static_cast<uint8_t>(slot), static_cast<uint8_t>(data.counter),
                                    0, static_cast<uint8_t>(blocks.size())};
    for (const auto& block : blocks) {
        payload.push_back(static_cast<uint8_t>(block.type));
        const std::size_t countAt = payload.size();
        payload.push_back(0);
        const int samples = simSamplesInFrame(block.rate, data.frameIndex);
        const int64_t first = simFirstSampleOfFrame(block.rate, data.frameIndex);
        const std::size_t dataStart = payload.size();
        for (int i = 0; i < samples; ++i) {
            SimTruthSample truth;
            truth.type = block.type;
            truth.index = i;
            truth.sampleNumber = first + i;
            truth.values =
                signals[slot - 1].encode(block.type, config, block.rate, first + i, payload);
            data.samples.push_back(std::move(truth));
        }
        payload[countAt] = static_cast<uint8_t>(payload.size() - dataStart);
        payload.resize(dataStart + block.slotLength, 0); // padding up to the announced slot
    }
    data.frame = buildFrame(DATA_FROM_REMOTE, payload);
    return data;
}

// --- faults ------------------------------------------------------------------------------

std::vector<SimEmission> DongleModel::setInRange(int slot, bool inRange) {
    std::vector<SimEmission> out;
    if (!validRemote(slot))
        return out;
    // The remote paired to the slot, or else the remote of the same number.
    Unit* unit = unitBehind(slot);
    if (!unit && units[slot - 1].present)
        unit = &units[slot - 1];
    if (unit) {
        unit->inRange = inRange;
        if (inRange)
            unit->powered = true;
    }
    emitConnectionChanges(out);
    return out;
}

void DongleModel::unplug() {
    running = false;
    pairingInProgress = false;
    for (Slot& slot : slots)
        slot.inRun = false;
    std::erase_if(pending,
                  [](const PendingEvent& e) { return e.what == PendingEvent::What::PairingDone; });
    // The host learns the connections again from its queries after the next plug-in.
    settleConnections();
}

std::string DongleModel::describe() const {
    std::ostringstream text;
    text << "mode " << modeNumber();
    for (int s = 1; s <= 2; ++s) {
        const Slot& slot = slots[s - 1];
        text << " | remote " << s << ": ";
        if (!slot.paired) {
            text << "not paired";
            continue;
        }
        char id[8];
        std::snprintf(id, sizeof id, "%06X", slot.id);
        text << "paired " << id << (connected(s) ? " connected" : " not connected") << " config "
             << fixedConfig(s) << (streaming(s) ? " streaming" : "");
    }
    return text.str();
}
