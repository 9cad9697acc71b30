#include "tools/enumser/SerialPortList.h"

#include "tools/enumser/PortRegistry.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maxUsbIds = 64;
constexpr std::size_t maxTtyScanned = 4096;
constexpr std::size_t maxDescription = 80;
constexpr int maxParentSteps = 16;

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

std::optional<uint16_t> parseHex16(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 4)
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::tolower(c) - 'a' + 10);
    }
    return static_cast<uint16_t>(value);
}

// First line of a small sysfs attribute, trimmed; empty when missing.
std::string readAttribute(const fs::path& file) {
    std::ifstream in(file);
    if (!in)
        return {};
    std::string line(256, '\0');
    in.getline(line.data(), static_cast<std::streamsize>(line.size()));
    line.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    while (!line.empty() && line.back() == '\0')
        line.pop_back();
    return std::string(trim(line));
}

// A description can hold anything a device reports about itself; keep it on one line and
// inside its brackets.
std::string cleanDescription(std::string_view text) {
    std::string clean;
    for (unsigned char c : text) {
        if (clean.size() >= maxDescription)
            break;
        if (c < ' ' || c == 0x7F)
            clean += ' ';
        else if (c == '<')
            clean += '(';
        else if (c == '>')
            clean += ')';
        else
            clean += static_cast<char>(c);
    }
    return std::string(trim(clean));
}

bool containsKorvex(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("korvex") != std::string::npos;
}

bool isPlainTtyName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':';
    });
}

struct UsbInfo {
    UsbId id;
    std::string product;
};

// The USB device a tty hangs off: the nearest ancestor of its device folder with
// idVendor and idProduct.
// The walk never leaves the sysfs tree it started in.
std::optional<UsbInfo> usbInfoFor(const fs::path& deviceLink, const fs::path& sysfsRoot) {
    std::error_code ec;
    fs::path folder = fs::canonical(deviceLink, ec);
    if (ec)
        return std::nullopt;
    for (int step = 0; step < maxParentSteps && folder.has_relative_path() && folder != sysfsRoot;
         ++step) {
        auto vendor = parseHex16(readAttribute(folder / "idVendor"));
        auto product = parseHex16(readAttribute(folder / "idProduct"));
        if (vendor && product)
            return UsbInfo{{*vendor, *product}, readAttribute(folder / "product")};
        folder = folder.parent_path();
    }
    return std::nullopt;
}

std::string hex4(uint16_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text(4, '0');
    for (int i = 3; i >= 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = digits[value & 0xF];
    return text;
}

// ttyS2 < ttyS10: digit runs compare by value.
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t iEnd = i, jEnd = j;
            while (iEnd < a.size() && std::isdigit(static_cast<unsigned char>(a[iEnd])))
                ++iEnd;
            while (jEnd < b.size() && std::isdigit(static_cast<unsigned char>(b[jEnd])))
                ++jEnd;
            std::string_view x(a.data() + i, iEnd - i), y(b.data() + j, jEnd - j);
            while (x.size() > 1 && x[0] == '0')
                x.remove_prefix(1);
            while (y.size() > 1 && y[0] == '0')
                y.remove_prefix(1);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (x != y)
                return x < y;
            i = iEnd;
            j = jEnd;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// Ports listed by the kernel's tty class that have real hardware behind them.
void addSysfsPorts(const PortListOptions& options, std::vector<SerialPortEntry>& dongles,
                   std::vector<SerialPortEntry>& others) {
    std::error_code ec;
    fs::path root = fs::weakly_canonical(options.sysfsRoot, ec);
    fs::directory_iterator it(options.sysfsRoot / "class" / "tty", ec);
    std::size_t scanned = 0;
    for (; !ec && it != fs::directory_iterator() && scanned < maxTtyScanned;
         it.increment(ec), ++scanned) {
        std::string name = it->path().filename().string();
        if (!isPlainTtyName(name))
            continue;
        fs::path deviceLink = it->path() / "device";
        std::error_code linkError;
        if (!fs::exists(deviceLink, linkError))
            continue; // virtual terminals, pseudo-terminal masters, the console
        // On-board UART slots the kernel reserves without hardware report type 0.
        if (readAttribute(it->path() / "type") == "0")
            continue;

        SerialPortEntry entry;
        entry.devicePath = "/dev/" + name;
        if (auto usb = usbInfoFor(deviceLink, root)) {
            bool listed = std::find(options.dongleIds.begin(), options.dongleIds.end(), usb->id) !=
                          options.dongleIds.end();
            entry.dongle = listed || containsKorvex(usb->product);
            std::string ids = hex4(usb->id.vendor) + ":" + hex4(usb->id.product);
            std::string product = cleanDescription(usb->product);
            entry.description = entry.dongle      ? std::string(dongleDescription)
                                : product.empty() ? "USB Serial Device (" + ids + ")"
                                                  : product + " (" + ids + ")";
        } else {
            entry.description = "Serial Port";
        }
        (entry.dongle ? dongles : others).push_back(std::move(entry));
    }
}

} // namespace

std::vector<UsbId> parseDongleUsbIds(std::string_view text, std::vector<std::string>* rejected) {
    std::vector<UsbId> ids;
    while (!text.empty()) {
        auto comma = text.find(',');
        std::string_view item = trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty())
            continue;
        auto colon = item.find(':');
        std::optional<uint16_t> vendor, product;
        if (colon != std::string_view::npos) {
            vendor = parseHex16(trim(item.substr(0, colon)));
            product = parseHex16(trim(item.substr(colon + 1)));
        }
        if (!vendor || !product) {
            if (rejected)
                rejected->emplace_back(item.substr(0, 64));
            continue;
        }
        UsbId id{*vendor, *product};
        if (std::find(ids.begin(), ids.end(), id) == ids.end() && ids.size() < maxUsbIds)
            ids.push_back(id);
    }
    return ids;
}

std::vector<SerialPortEntry> listSerialPorts(const PortListOptions& options) {
    std::vector<SerialPortEntry> dongles;
    std::vector<SerialPortEntry> others;
    addSysfsPorts(options, dongles, others);

    auto byName = [](const SerialPortEntry& a, const SerialPortEntry& b) {
        return naturalLess(a.devicePath, b.devicePath);
    };
    std::sort(dongles.begin(), dongles.end(), byName);
    std::sort(others.begin(), others.end(), byName);

    for (auto& port : readPortRegistry(options.registryDirectory))
        dongles.push_back({port.devicePath, std::string(dongleDescription), true});

    std::vector<SerialPortEntry> entries;
    auto add = [&](SerialPortEntry& entry) {
        if (entries.size() >= maxListedPorts)
            return;
        bool seen = std::any_of(entries.begin(), entries.end(), [&](const SerialPortEntry& e) {
            return e.devicePath == entry.devicePath;
        });
        if (!seen)
            entries.push_back(std::move(entry));
    };
    for (auto& entry : dongles)
        add(entry);
    for (auto& entry : others)
        add(entry);
    return entries;
}

std::string formatPortList(const std::vector<SerialPortEntry>& entries) {
    std::string text;
    for (const auto& entry : entries)
        text += entry.devicePath + " <" + entry.description + ">\n";
    return text;
}
