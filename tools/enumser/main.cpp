// EnumSer: lists the serial ports of this machine, one per line, the dongle's marked.
//
// Run without arguments. KORVEX_DONGLE_USB_IDS adds USB ids (vid:pid, hex, comma separated)
// that count as the dongle; the port registry names simulated dongles. KORVEX_SYSFS_ROOT
// points the scan at another sysfs tree (for tests).

#include "tools/enumser/PortRegistry.h"
#include "tools/enumser/SerialPortList.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr, "usage: EnumSer\n"
                             "Lists serial ports as \"<device> <description>\" lines.\n");
        return 2;
    }
    PortListOptions options;
    if (const char* root = std::getenv("KORVEX_SYSFS_ROOT"); root && *root)
        options.sysfsRoot = root;
    options.registryDirectory = portRegistryDirectory();
    if (const char* ids = std::getenv("KORVEX_DONGLE_USB_IDS")) {
        std::vector<std::string> rejected;
        options.dongleIds = parseDongleUsbIds(ids, &rejected);
        for (const auto& item : rejected)
            std::fprintf(
                stderr,
                "EnumSer: ignoring \"%s\" in KORVEX_DONGLE_USB_IDS (expected vid:pid in hex)\n",
                item.c_str());
    }
    std::string text = formatPortList(listSerialPorts(options));
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return 1;
    return 0;
}
