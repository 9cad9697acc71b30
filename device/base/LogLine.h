// Log texts of the library: "%1%", "%2%", ... replaced by the values in order.
#pragma once

#include <boost/format.hpp>

#include <string>

template <typename... Values>
std::string logLine(const char* text, const Values&... values) {
    boost::format line(text);
    (line % ... % values);
    return line.str();
}
