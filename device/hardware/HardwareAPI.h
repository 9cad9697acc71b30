// HardwareAPI: the library's side of the dongle.
//
// It owns the serial transport and the workers that talk to the dongle (I/O service,
// reply parser, raw data writer, command sender, port watcher), starts and stops them, and
// carries out the device operations that must be checked against the hardware model.
// Commands are never sent here: they are queued for the command sender.
#pragma once

#include "device/hardware/IHardwareAPI.h"
#include "device/link/Asio.h"
#include "device/link/CommandSender.h"

#include <bson/bson.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <thread>

class EventDispatch;
class IKorvexListener;
class HardwareState;
class AcquisitionStack;
class FileSystem;
class Protocol;
class HardwareDispatch;
class SerialPortCheck;
class SerialDevice;
class RawDataWriter;
class DataParser;
class Acquisition;
class RemoteConfiguration;
struct RunRecord;
struct RunRemote;

class HardwareAPI : public IHardwareAPI {
public:
    // `answerTiming`: how long the command sender waits for each answer (tests shorten it).
    HardwareAPI(IKorvexListener* dispatch, HardwareState* state, AcquisitionStack* stack,
                FileSystem* files, AnswerTiming answerTiming = {});
    // Complete shutdown: stops every worker (the raw data writer writes what is queued and
    // closes its file), closes the port. The hardware model belongs to the API object.
    ~HardwareAPI() override;

    HardwareAPI(const HardwareAPI&) = delete;
    HardwareAPI& operator=(const HardwareAPI&) = delete;

    void start() override;
    bool startDataAcquisition() override;
    bool stopDataAcquisition() override;
    bool setFixedConfiguration(int remote, int config) override;
    bool remotePowerDown(int remote) override;
    bool setOutputConfig(int remote, int sensorID, int key, int value) override;
    bool reloadAcquisition(std::string acquisitionID) override;

    // Copies the hardware model into the current acquisition and stores the metadata file
    // that makes its raw frames readable again.
    void saveHardwareState();
    // Builds the metadata document of the current acquisition from the hardware model.
    void buildMetadata(bson_t* document) const;

    // Stops every worker; safe to call more than once.
    void shutdown();

    // A remote that came back gets its configuration again. In Data mode the mode stays as
    // it is (only the dongle's status ends a run, closing its raw file); otherwise it becomes
    // Connected, as the configuration needs.
    void configureReturningRemote(int remote, int config);

    // The dongle went away: a run in progress ends as a stop would.
    void endInterruptedRun();
    // A run has ended (stopped, or cut short): the metadata is written again with the
    // calibration constants the sensors were converted with.
    void runEnded();

    HardwareState* hardwareState;
    AcquisitionStack* acquisitionStack;
    Protocol* protocol;
    FileSystem* fileSystem;
    HardwareDispatch* listener;
    boost::asio::io_context ioService;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> ioWork;
    std::jthread ioThread, parserThread, writerThread, senderThread, portCheckThread;
    SerialPortCheck* portCheck;
    SerialDevice* serialDevice;
    CommandSender* commandSender;
    RawDataWriter* rawDataWriter;
    DataParser* dataParser;

private:
    // The configuration requests of setFixedConfiguration, after its check of the mode.
    bool sendConfiguration(int remote, int config);
    // The layout `remote` will stream into `acquisition` with when a run starts now
    // (fixedConfig 0 when it will not stream into it), and the record of such a run.
    RunRemote liveLayout(const Acquisition& acquisition, int remote) const;
    RunRecord liveRun(const Acquisition& acquisition) const;
    // The calibration constants a remote's sensors convert with, as the run records keep
    // them, and back.
    static std::map<int32_t, std::vector<int32_t>>
    reportedConstants(const RemoteConfiguration& configuration);
    static void applyConstants(RemoteConfiguration& configuration,
                               const std::map<int32_t, std::vector<int32_t>>& constants);
    // True when `run` can be recorded into `acquisition` without making any of its
    // recorded frames unreadable: same configurations, same frame layouts.
    static bool runFits(const Acquisition& acquisition, const RunRecord& run);
    // Stacks the current acquisition and makes a new one for `run`'s remotes.
    Acquisition* keepRecordingAndStartAnew(const RunRecord& run);

    bool started = false;
    std::atomic<bool> stopped{false};
};
