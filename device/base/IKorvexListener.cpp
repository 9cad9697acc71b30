#include "device/base/IKorvexListener.h"

#include <boost/format.hpp>

namespace {

// The numbered messages shared by every component of the library. Code 21 has no text on
// purpose: it is reported as "Code 21 not defined".
const std::map<int32_t, std::string> messageTable = {
    {0, "HardwareAPI::set_fixed_config - Dongle not in CONNECTED mode"},
    {1, "HardwareAPI::set_fixed_config - Remote not connected"},
    {2, "HardwareAPI::start_data_acquisition - Remote not connected"},
    {3, "HardwareAPI::start_data_acquisition - Dongle not in CONNECTED mode"},
    {4, "HardwareAPI::start_data_acquisition - Remote not configured"},
    {5, "HardwareAPI::stop_data_acquisition - Remote not connected"},
    {6, "HardwareAPI::stop_data_acquisition - Dongle not in DATA mode"},
    {7, "HardwareAPI::remote_power_down - Remote not connected"},
    {8, "HardwareAPI::set_output_config - Dongle not in DATA or CONNECTED mode"},
    {9, "HardwareAPI::set_output_config - Remote not connected"},
    {10, "HardwareAPI::set_output_config - Process on-going for that remote"},
    {11, "HardwareAPI::reloadAcquisition - Dongle in DATA mode"},
    {12, "KorvexAPI::setUpNewAcquisition - Save or delete the previous acquisition before "
         "creating a new one"},
    {13, "KorvexAPI::setFixedConfiguration - Remote already configured"},
    {14, "KorvexAPI::setUpNewAcquisition - Impossible to perform that operation, the dongle "
         "is in DATA mode"},
    {15, "KorvexAPI::setFixedConfiguration - Impossible to perform that operation, the dongle "
         "is not in CONNECTED mode"},
    {16, "KorvexAPI::start_data_acquisition - Remote not connected"},
    {17, "KorvexAPI::SaveAcquisition - Impossible to perform that operation, the dongle is in "
         "DATA mode"},
    {18, "KorvexAPI::deleteAcquisition - Impossible to perform that operation, the dongle is "
         "in DATA mode"},
    {19, "KorvexAPI::reloadAcquisition - Impossible to perform that operation, the dongle is "
         "in DATA mode"},
    {20, "KorvexAPI::saveAcquisition - No acquisition defined"},
    {22, "KorvexAPI::getSensorData - Sensor not defined for the this acquisition %1%"},
    {23, "KorvexAPI::getSensorData - Empty sample collection; no data"},
    {24, "RawDataWriter::listenLoop - Cannot open the raw data file"},
    {25, "RawDataWriter::listenLoop - Cannot write to raw data file"},
    {26, "RawDataWriter::listenLoop - Cannot close the raw data file"},
    {27, "FileSystem - Cannot open file"},
    {28, "FileSystem - Cannot write file"},
    {29, "FileSystem:: - Cannot read file"},
    {30, "FileSystem - Cannot close file"},
    {31, "DataParser::listenLoop - SOP/EOP not correct %1%"},
    {32, "DataParser::listenLoop - Unknown command %1%"},
    {33, "DataParser::dataFromRemote - ParckInfo : sensor data length not set"},
    {34, "DataParser::listenLoop - Command not implemented"},
    {35, "DataParser::findRemote - Remote %1% already paired"},
    {36, "DataParser::findRemote - No remote in pairing mode"},
    {37, "HardwareAPI::set_output_config - Sensor or key out of range"},
    {38, "HardwareAPI::set_fixed_config - Fixed configuration not managed"},
};

} // namespace

IKorvexListener::IKorvexListener() : errorMessages(messageTable) {}

IKorvexListener::~IKorvexListener() = default;

std::string IKorvexListener::errorMessage(int code, std::string detail) const {
    auto found = errorMessages.find(code);
    if (found == errorMessages.end())
        return "Code " + std::to_string(code) + " not defined";
    const std::string& message = found->second;
    if (detail.empty())
        return message;
    // A text without a placeholder (the parser names the command with warning 34) would make
    // the formatter throw on the surplus argument; keep the detail by appending it instead.
    if (message.find("%1%") == std::string::npos)
        return message + " - " + detail;
    try {
        return (boost::format(message) % detail).str();
    } catch (const std::exception&) {
        return message + " - " + detail;
    }
}
