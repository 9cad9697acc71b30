// The serial ports of this machine as the port enumerator lists them.
//
// One line per port: the device path, a space, a description in angle brackets. The
// dongle's line carries exactly the marker description, which is what the device library
// looks for. A port is the dongle when it is a USB serial device whose product string
// contains "Korvex" or whose vid:pid is among the configured dongle ids, or when it is a
// simulated dongle named in the port registry.
//
// Dongle lines come first: the library reads only the beginning of the output, and a
// machine can have dozens of on-board serial ports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view dongleDescription = "Korvex Virtual COM Port";
inline constexpr std::size_t maxListedPorts = 256;

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool operator==(const UsbId&) const = default;
};

// Parses a comma-separated list of "vid:pid" in hex ("1d6b:0104, 0483:5740"). Blanks around
// entries are ignored; "0x" prefixes and upper case are accepted. Entries that are not two
// hex numbers of at most four digits are left out and, when `rejected` is given, listed
// there. At most 64 ids are kept.
std::vector<UsbId> parseDongleUsbIds(std::string_view text,
                                     std::vector<std::string>* rejected = nullptr);

struct PortListOptions {
    std::filesystem::path sysfsRoot = "/sys";
    std::filesystem::path registryDirectory; // empty: no simulated dongles
    std::vector<UsbId> dongleIds;
};

struct SerialPortEntry {
    std::string devicePath;
    std::string description; // without the angle brackets
    bool dongle = false;
};

// Every serial port, dongles first (USB dongles, then simulated ones newest first), then
// the others in natural name order; each device once; at most maxListedPorts entries.
std::vector<SerialPortEntry> listSerialPorts(const PortListOptions& options);

// "<devicePath> <description>\n" for each entry.
std::string formatPortList(const std::vector<SerialPortEntry>& entries);
