#include "device/link/PortListing.h"

#include <cctype>

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isComName(std::string_view name) {
    if (name.size() < 4 || name.substr(0, 3) != "COM")
        return false;
    for (char c : name.substr(3))
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace

bool isPortName(std::string_view name) {
    if (name.size() > 5 && name.substr(0, 5) == "/dev/")
        return true;
    return isComName(name);
}

std::string portNameFromListing(std::string_view output) {
    output = output.substr(0, portListingLimit);
    size_t marker = output.find(dongleMarker);
    if (marker == std::string_view::npos)
        return "";
    size_t begin = marker;
    while (begin > 0 && !isSpace(output[begin - 1]))
        --begin;
    std::string_view name = output.substr(begin, marker - begin);
    return isPortName(name) ? std::string(name) : std::string();
}
