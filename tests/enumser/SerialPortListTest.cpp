#include "tools/enumser/SerialPortList.h"

#include "tests/support/PseudoTerminal.h"
#include "tests/support/TempDir.h"
#include "tools/enumser/PortRegistry.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

// A small sysfs tree: tty class entries whose device links lead into a device hierarchy
// with USB devices carrying idVendor, idProduct and product, like the kernel's.
class FakeSysfs {
public:
    explicit FakeSysfs(const fs::path& root) : root(root) { fs::create_directories(root / "class" / "tty"); }

    fs::path usbDevice(const std::string& name, const std::string& vendor, const std::string& product,
                       const std::string& productName) {
        fs::path device = root / "devices" / "pci0000:00" / "usb1" / name;
        writeFile(device / "idVendor", vendor + "\n");
        writeFile(device / "idProduct", product + "\n");
        if (!productName.empty())
            writeFile(device / "product", productName + "\n");
        return device;
    }

    void tty(const std::string& name, const fs::path& device, const std::string& type = "") {
        fs::path entry = root / "class" / "tty" / name;
        fs::create_directories(entry);
        if (!device.empty()) {
            fs::create_directories(device);
            fs::create_symlink(device, entry / "device");
        }
        if (!type.empty())
            writeFile(entry / "type", type + "\n");
    }

    fs::path root;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

TEST(DongleUsbIds, ParsesListsLeniently) {
    std::vector<std::string> rejected;
    auto ids = parseDongleUsbIds(" 1d50:6018,0x0483:0X5740 ,, ABCD:ef ,1d50:6018", &rejected);
    EXPECT_EQ(ids, (std::vector<UsbId>{{0x1d50, 0x6018}, {0x0483, 0x5740}, {0xabcd, 0x00ef}}));
    EXPECT_TRUE(rejected.empty());
}

TEST(DongleUsbIds, RejectsWhatIsNotTwoHexNumbers) {
    std::vector<std::string> rejected;
    auto ids = parseDongleUsbIds("1d50,12345:1,g1:2,:5,6:,1:2:3, 0403:6001", &rejected);
    EXPECT_EQ(ids, (std::vector<UsbId>{{0x0403, 0x6001}}));
    EXPECT_EQ(rejected, (std::vector<std::string>{"1d50", "12345:1", "g1:2", ":5", "6:", "1:2:3"}));
    EXPECT_TRUE(parseDongleUsbIds("").empty());
}

class SerialPortListTest : public ::testing::Test {
protected:
    SerialPortListTest() : sysfs(folder.path() / "sys") {
        auto korvex = sysfs.usbDevice("1-1", "1d50", "6018", "Korvex Radio Dongle");
        sysfs.tty("ttyACM0", korvex / "1-1:1.0");
        auto ftdi = sysfs.usbDevice("1-2", "0403", "6001", "FT232R <USB>\tUART");
        sysfs.tty("ttyUSB0", ftdi / "1-2:1.0" / "ttyUSB0");
        auto bare = sysfs.usbDevice("1-3", "10c4", "ea60", "");
        sysfs.tty("ttyUSB1", bare / "1-3:1.0" / "ttyUSB1");
        fs::path uart = sysfs.root / "devices" / "platform" / "serial8250";
        sysfs.tty("ttyS0", uart, "4");
        sysfs.tty("ttyS1", uart, "0"); // a reserved slot without hardware
        sysfs.tty("ttyS2", uart, "4");
        sysfs.tty("ttyS10", uart, "4");
        sysfs.tty("tty0", ""); // virtual terminal: no device
        options.sysfsRoot = sysfs.root;
    }

    TempDir folder;
    FakeSysfs sysfs;
    PortListOptions options;
};

TEST_F(SerialPortListTest, ListsHardwarePortsWithTheDongleFirst) {
    EXPECT_EQ(lines(formatPortList(listSerialPorts(options))), (std::vector<std::string>{
                                                                   "/dev/ttyACM0 <Korvex Virtual COM Port>",
                                                                   "/dev/ttyS0 <Serial Port>",
                                                                   "/dev/ttyS2 <Serial Port>",
                                                                   "/dev/ttyS10 <Serial Port>",
                                                                   "/dev/ttyUSB0 <FT232R (USB) UART (0403:6001)>",
                                                                   "/dev/ttyUSB1 <USB Serial Device (10c4:ea60)>",
                                                               }));
}

TEST_F(SerialPortListTest, ConfiguredUsbIdsMakeAnyAdapterTheDongle) {
    options.dongleIds = parseDongleUsbIds("10c4:EA60");
    auto entries = listSerialPorts(options);
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[0].devicePath, "/dev/ttyACM0");
    EXPECT_EQ(entries[1].devicePath, "/dev/ttyUSB1");
    EXPECT_EQ(entries[1].description, dongleDescription);
    EXPECT_TRUE(entries[1].dongle);
}

TEST_F(SerialPortListTest, SimulatedDonglesFollowTheUsbOnesAndStaleOnesAreLeftOut) {
    PseudoTerminal terminal;
    options.registryDirectory = folder.path() / "ports";
    writeFile(options.registryDirectory / "sim", terminal.path + "\n");
    writeFile(options.registryDirectory / "stale", "/dev/pts/987654\n");
    auto text = formatPortList(listSerialPorts(options));
    auto all = lines(text);
    ASSERT_EQ(all.size(), 7u) << text;
    EXPECT_EQ(all[0], "/dev/ttyACM0 <Korvex Virtual COM Port>");
    EXPECT_EQ(all[1], terminal.path + " <Korvex Virtual COM Port>");
    EXPECT_EQ(text.find("987654"), std::string::npos);
}

} // namespace
