// Reading the port enumerator's output.
//
// The enumerator prints one line per serial port; the dongle's line is its port name
// followed directly by the marker below. Only the start of the output is examined (a
// runaway enumerator must not make us read without end).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr std::string_view dongleMarker = " <Korvex Virtual COM Port>";
constexpr size_t portListingLimit = 512;

// The dongle's port name from the enumerator's output, or "" when the output does not name
// one. The name is the whitespace-delimited word right before the first marker; it counts
// only as a device path ("/dev/...") or a COM name ("COM" and digits).
std::string portNameFromListing(std::string_view output);

// True for names the transport may open.
bool isPortName(std::string_view name);
