#include "device/storage/AcquisitionStack.h"

#include "device/base/HardwareState.h"
#include "device/base/IKorvexListener.h"
#include "device/sensors/RemoteConfiguration.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

Acquisition::Acquisition(HardwareState* hardwareState, CalibrationData* calibrationStore)
    : hardwareState(hardwareState), calibrationStore(calibrationStore) {}

Acquisition::~Acquisition() = default;

boost::posix_time::ptime Acquisition::lastStartDate() const {
    std::lock_guard lock(dateLock);
    return startDate;
}

void Acquisition::setLastStartDate(boost::posix_time::ptime date) {
    std::lock_guard lock(dateLock);
    startDate = date;
}

const RunRemote* Acquisition::recordedLayout(int remote) const {
    for (auto run = runs.rbegin(); run != runs.rend(); ++run)
        if (run->remote(remote).fixedConfig != 0)
            return &run->remote(remote);
    return nullptr;
}

bool Acquisition::isEmpty() const {
    return remoteConfigurations.empty() && lastStartDate().is_not_a_date_time();
}

RemoteConfiguration* Acquisition::remoteConfiguration(int remote) const {
    auto it = remoteConfigurations.find(remote);
    return it == remoteConfigurations.end() ? nullptr : it->second.get();
}

Sensor* Acquisition::getSensor(int remote, int sensorType) const {
    RemoteConfiguration* configuration = remoteConfiguration(remote);
    return configuration ? configuration->sensor(sensorType) : nullptr;
}

AcquisitionStack::AcquisitionStack(IKorvexListener* listener, HardwareState* hardwareState,
                                   CalibrationData* calibrationStore)
    : listener(listener), hardwareState(hardwareState), calibrationStore(calibrationStore) {
    setUpNewAcquisition();
}

AcquisitionStack::~AcquisitionStack() { clear(); }

std::string AcquisitionStack::newIdentifier() {
    // A fresh generator each time: it seeds itself from the system's entropy source.
    boost::uuids::random_generator generator;
    return boost::uuids::to_string(generator());
}

bool AcquisitionStack::setUpNewAcquisition() {
    {
        std::lock_guard lock(currentLock);
        // A recording is stacked or discarded first, never dropped here.
        if (current && !current->remoteConfigurations.empty())
            return false;
    }
    auto acquisition = std::make_unique<Acquisition>(hardwareState, calibrationStore);
    acquisition->acquisitionID = newIdentifier();
    acquisition->createdDate = boost::posix_time::microsec_clock::local_time();
    acquisition->setLastStartDate(boost::posix_time::ptime(boost::posix_time::not_a_date_time));
    acquisition->fromDB = false;
    std::string id = acquisition->acquisitionID;
    std::unique_ptr<Acquisition> replaced;
    {
        std::lock_guard structureGuard(structureLock);
        std::lock_guard lock(currentLock);
        replaced = std::move(current);
        current = std::move(acquisition);
    }
    if (listener)
        listener->log(
            boost::str(boost::format("AcquisitionStack::setUpNewAcquisition - ID: %1%") % id));
    return true;
}

bool AcquisitionStack::stackCurrent() {
    std::lock_guard structureGuard(structureLock);
    std::lock_guard lock(currentLock);
    if (!current)
        return false;
    stacked.push_back(std::move(current));
    return true;
}

bool AcquisitionStack::discardCurrent() {
    std::unique_ptr<Acquisition> discarded;
    std::lock_guard structureGuard(structureLock);
    {
        std::lock_guard lock(currentLock);
        if (!current || current->isEmpty())
            return false;
        discarded = std::move(current);
    }
    return true;
}

void AcquisitionStack::clear() {
    std::unique_ptr<Acquisition> discarded;
    std::lock_guard structureGuard(structureLock);
    {
        std::lock_guard lock(currentLock);
        discarded = std::move(current);
    }
    stacked.clear();
}

bool AcquisitionStack::addRemote(int remote, int fixedConfig, int remoteID) {
    if (!HardwareState::isValidRemote(remote))
        return false;
    std::lock_guard structureGuard(structureLock);
    Acquisition* acquisition = getCurrent();
    if (!acquisition || acquisition->remoteConfigurations.count(remote))
        return false;
    if (fixedConfig == 0)
        return true;
    acquisition->remoteConfigurations[remote] = std::make_unique<RemoteConfiguration>(
        remote, remoteID, fixedConfig, hardwareState, calibrationStore);
    return true;
}

void AcquisitionStack::removeRemote(int remote) {
    std::lock_guard structureGuard(structureLock);
    if (Acquisition* acquisition = getCurrent())
        acquisition->remoteConfigurations.erase(remote);
}

bool AcquisitionStack::hasRemote(int remote) const {
    std::lock_guard structureGuard(structureLock);
    Acquisition* acquisition = getCurrent();
    return acquisition && acquisition->remoteConfiguration(remote) != nullptr;
}

bool AcquisitionStack::hasSensor(int remote, int sensorType) const {
    return getSensor(remote, sensorType) != nullptr;
}

Sensor* AcquisitionStack::getSensor(int remote, int sensorType) const {
    std::lock_guard structureGuard(structureLock);
    Acquisition* acquisition = getCurrent();
    return acquisition ? acquisition->getSensor(remote, sensorType) : nullptr;
}

Acquisition* AcquisitionStack::getCurrent() const {
    std::lock_guard lock(currentLock);
    return current.get();
}

std::string AcquisitionStack::currentAcquisitionID() const {
    std::lock_guard lock(currentLock);
    return current ? current->acquisitionID : std::string();
}
