// The reply parser and the data decoder fed frames under fuzzed packet configurations.
//
// Input: which fixed configuration each remote has (0 = none), a few fuzzed sensor data
// lengths that override what the remote announced, whether data frames also go to the
// decoder directly (as a reload does), then frames. Frames are cut by their length byte;
// the last one may be cut short. Each frame is handed over in a buffer of exactly its
// size, so that any read past it is caught.
#include "device/base/HardwareState.h"
#include "device/link/DataParser.h"
#include "device/sensors/RemoteConfiguration.h"
#include "device/storage/AcquisitionStack.h"
#include "fuzz/FuzzSupport.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    QuietListener listener;
    HardwareState state;
    AcquisitionStack stack(&listener, &state, nullptr);
    PacketQueue receiveQueue;
    DataParser parser(&listener, &state, &stack, &receiveQueue);
    int aborts = 0;
    parser.setAbortHandler([&] { ++aborts; });

    const auto& configs = fuzzConfigurations();
    for (int remote : {1, 2}) {
        size_t pick = in.ConsumeIntegralInRange<size_t>(0, configs.size());
        if (pick == 0)
            continue;
        int config = configs[pick - 1];
        stack.addRemote(remote, config, 0x0A1B00 + remote);
        if (RemoteConfiguration* rc = stack.getCurrent()->remoteConfiguration(remote))
            rc->replaceSensorDataLengths(fuzzPacketLengths(config), true);
    }
    int overrides = in.ConsumeIntegralInRange<int>(0, 7);
    for (int i = 0; i < overrides; ++i) {
        int remote = in.ConsumeBool() ? 2 : 1;
        int type = in.ConsumeIntegral<uint8_t>();
        int length = in.ConsumeIntegral<uint8_t>();
        if (RemoteConfiguration* rc = stack.getCurrent()->remoteConfiguration(remote))
            rc->setSensorDataLength(type, length);
    }
    const bool direct = in.ConsumeBool();

    std::vector<uint8_t> rest = in.ConsumeRemainingBytes<uint8_t>();
    size_t at = 0;
    while (at < rest.size()) {
        size_t frameSize = rest.size() - at >= 3 ? size_t(rest[at + 2]) + 4 : rest.size() - at;
        frameSize = std::min(frameSize, rest.size() - at);
        std::unique_ptr<uint8_t[]> frame(new uint8_t[frameSize]);
        std::copy(rest.begin() + long(at), rest.begin() + long(at + frameSize), frame.get());
        std::span<const uint8_t> bytes(frame.get(), frameSize);
        parser.handleFrame(bytes);
        if (direct)
            parser.dataFromRemote(bytes);
        at += frameSize;
        // The writer is not running: keep the copies for recording from piling up.
        parser.getRawQueue()->clear();
    }
    // The end of a run re-times every sensor from what was decoded.
    parser.endOfRun();
    return 0;
}
