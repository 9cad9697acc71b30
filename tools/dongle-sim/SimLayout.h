// What a simulated remote streams for each fixed configuration: its sensor blocks, in the
// order they appear in a data frame, with their rates, sample sizes and slot lengths.
//
// A block's slot is sized for the most samples one 10 ms frame can carry at the block's
// rate (4 at 380 Hz, 1 at 95 Hz); the count byte of each block then says how many of those
// bytes are valid in a given frame. The combined ECG configuration (47) streams its ECG
// electrodes and its three analog inputs as four separate blocks at one rate.
#pragma once

#include <cstdint>
#include <vector>

// Sensor type identifiers as they appear in block headers.
inline constexpr int SIM_ACCELEROMETER = 1;
inline constexpr int SIM_MAGNETOMETER = 2;
inline constexpr int SIM_GYROSCOPE = 3;
inline constexpr int SIM_BAROMETER = 4;
inline constexpr int SIM_MICROPHONE = 6;
inline constexpr int SIM_LIGHT = 7;
inline constexpr int SIM_FORCE = 8;
inline constexpr int SIM_WHEEL = 9;
inline constexpr int SIM_ECG = 10;
inline constexpr int SIM_BATTERY = 11;
inline constexpr int SIM_HIGH_GAIN = 12;
inline constexpr int SIM_DIGITAL = 13;
inline constexpr int SIM_ANALOG7 = 21;
inline constexpr int SIM_ANALOG8 = 22;
inline constexpr int SIM_ANALOG9 = 23;
inline constexpr int SIM_THERMOMETER = 26;

// One 10 ms frame per streaming remote.
inline constexpr int SIM_FRAMES_PER_SECOND = 100;
// Header of a data frame's payload: remote, counter, spare byte, block count.
inline constexpr int SIM_DATA_HEADER_SIZE = 4;

struct SimBlockLayout {
    int type = 0;
    int rate = 0;       // samples per second
    int sampleSize = 0; // bytes per sample
    int slotLength = 0; // data bytes reserved in every frame (the announced length)
};

// Bytes per sample of a sensor type; 0 for a type no remote streams.
int simSampleSize(int type);

// Most samples a 10 ms frame can carry at `rate`: rate / 100 rounded up.
int simMaxSamplesPerFrame(int rate);

// The blocks of a fixed configuration in frame order; empty for a number without one.
const std::vector<SimBlockLayout>& simBlockLayout(int config);

// Every configuration number that has blocks, ascending.
const std::vector<int>& simConfigurations();

// Payload size of every data frame of `config` (header plus all slots); 0 for none.
int simDataPayloadSize(int config);

// Samples of a `rate` stream that fall into frame `frameIndex` (0-based since the start of
// the stream): the k-th sample is due at k / rate seconds, frame i covers [i, i+1) * 10 ms.
int simSamplesInFrame(int rate, int64_t frameIndex);
// Index of the first sample carried by frame `frameIndex`.
int64_t simFirstSampleOfFrame(int rate, int64_t frameIndex);
