#include "interfaces.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <system_error>
#include <tuple>

namespace tarnsock {

namespace fs = std::filesystem;

namespace {

constexpr int kCanLinkType = 280;  // ARPHRD_CAN
constexpr unsigned kIffUp = 0x1;   // IFF_UP
constexpr unsigned long kCanFdMtu = 72;

std::string read_text(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    return text;
}

// sysfs numbers are decimal, or hexadecimal with 0x; anything else reads as 0.
unsigned long read_number(const fs::path& file) {
    const std::string text = read_text(file);
    if (text.empty()) {
        return 0;
    }
    try {
        return std::stoul(text, nullptr, 0);
    } catch (...) {
        return 0;
    }
}

std::uint32_t read_hex(const fs::path& file) {
    const std::string text = read_text(file);
    try {
        return static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
    } catch (...) {
        return 0;
    }
}

// "can10" -> ("can", 10) so that names sort as people number them.
std::pair<std::string, unsigned long> name_key(const std::string& name) {
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) {
        --digits;
    }
    if (digits == name.size() || name.size() - digits > 9) {
        return {name, 0};
    }
    return {name.substr(0, digits), std::stoul(name.substr(digits))};
}

// Finds the USB or PCI device above the interface's device link and fills the identity
// fields from it.
void identify_device(const fs::path& interface_dir, InterfaceInfo& info) {
    std::error_code ec;
    const fs::path link = interface_dir / "device";
    if (!fs::exists(link, ec)) {
        info.kind = DeviceKind::Virtual;
        info.device_text = info.name;
        info.serial = text_serial("virtual:" + info.name);
        return;
    }
    const fs::path device = fs::canonical(link, ec);
    if (ec) {
        info.kind = DeviceKind::Other;
        info.serial = text_serial("device:" + info.name);
        return;
    }
    for (fs::path dir = device; dir.has_relative_path() && dir != dir.root_path();
         dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec)) {
            info.kind = DeviceKind::Usb;
            info.vendor = read_hex(dir / "idVendor");
            info.product = read_hex(dir / "idProduct");
            const std::string serial = read_text(dir / "serial");
            if (!serial.empty()) {
                info.device_text = serial;
                const bool plain =
                    serial.size() <= 18 && std::all_of(serial.begin(), serial.end(), [](char c) {
                        return std::isdigit(static_cast<unsigned char>(c)) != 0;
                    });
                info.serial = plain ? std::stoull(serial) : text_serial(serial);
            } else {
                // No serial number: the port the adapter is plugged into names it.
                info.device_text = "port " + dir.filename().string();
                info.serial = text_serial("usb-port:" + dir.filename().string());
            }
            return;
        }
        const fs::path subsystem = fs::canonical(dir / "subsystem", ec);
        if (!ec && subsystem.filename() == "pci") {
            info.kind = DeviceKind::Pci;
            info.vendor = read_hex(dir / "vendor");
            info.product = read_hex(dir / "device");
            // 0000:03:00.1 -> domain, bus, slot, function as decimal fields: 3000001.
            const std::string address = dir.filename().string();
            info.device_text = address;
            unsigned domain = 0, bus = 0, slot = 0, function = 0;
            if (std::sscanf(address.c_str(), "%x:%x:%x.%x", &domain, &bus, &slot, &function) == 4) {
                info.serial =
                    ((static_cast<std::uint64_t>(domain) * 1000 + bus) * 100 + slot) * 10 +
                    function;
            } else {
                info.serial = text_serial("pci:" + address);
            }
            return;
        }
    }
    info.kind = DeviceKind::Other;
    info.device_text = device.string();
    info.serial = text_serial("device:" + device.string());
}

}  // namespace

std::uint64_t text_serial(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    // Serial numbers in the INI file's DeviceParams are 32-bit numbers.
    const std::uint64_t folded = (hash ^ (hash >> 32)) & 0xFFFFFFFFull;
    return folded == 0 ? 1 : folded;
}

std::uint64_t make_ean(DeviceKind kind, std::uint32_t vendor, std::uint32_t product) {
    int digits[13] = {};
    digits[0] = static_cast<int>(kind) % 10;
    for (int i = 5; i >= 1; --i, vendor /= 10) {
        digits[i] = static_cast<int>(vendor % 10);
    }
    for (int i = 10; i >= 6; --i, product /= 10) {
        digits[i] = static_cast<int>(product % 10);
    }
    digits[11] = 0;
    int sum = 0;
    for (int i = 0; i < 12; ++i) {
        sum += digits[i] * (i % 2 == 0 ? 1 : 3);
    }
    digits[12] = (10 - sum % 10) % 10;
    std::uint64_t packed = 0;
    for (int d : digits) {
        packed = packed << 4 | static_cast<std::uint64_t>(d);
    }
    return packed;
}

std::optional<bool> interface_up(const fs::path& sysfs_net, const InterfaceInfo& iface) {
    const fs::path dir = sysfs_net / iface.name;
    if (static_cast<int>(read_number(dir / "ifindex")) != iface.ifindex) {
        return std::nullopt;
    }
    return (read_number(dir / "flags") & kIffUp) != 0;
}

std::vector<InterfaceInfo> list_interfaces(const fs::path& sysfs_net) {
    std::vector<InterfaceInfo> found;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(sysfs_net, ec)) {
        const fs::path dir = entry.path();
        if (read_number(dir / "type") != kCanLinkType) {
            continue;
        }
        InterfaceInfo info;
        info.name = dir.filename().string();
        info.ifindex = static_cast<int>(read_number(dir / "ifindex"));
        info.up = (read_number(dir / "flags") & kIffUp) != 0;
        info.fd_capable = read_number(dir / "mtu") == kCanFdMtu;
        identify_device(dir, info);
        const unsigned long port = read_number(dir / "dev_port");
        info.channel = static_cast<std::uint32_t>(port != 0 ? port : read_number(dir / "dev_id"));
        info.ean = make_ean(info.kind, info.vendor, info.product);
        found.push_back(std::move(info));
    }

    // Two interfaces of one device with the same port number (drivers that give none)
    // are numbered in order of their interface index, which follows the driver's order.
    std::sort(found.begin(), found.end(),
              [](const InterfaceInfo& a, const InterfaceInfo& b) { return a.ifindex < b.ifindex; });
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::set<std::uint32_t>> taken;
    for (InterfaceInfo& info : found) {
        std::set<std::uint32_t>& channels = taken[{info.ean, info.serial}];
        while (channels.count(info.channel) != 0) {
            ++info.channel;
        }
        channels.insert(info.channel);
    }

    std::sort(found.begin(), found.end(), [](const InterfaceInfo& a, const InterfaceInfo& b) {
        return name_key(a.name) < name_key(b.name);
    });
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint32_t> cards;
    for (InterfaceInfo& info : found) {
        info.card = cards.emplace(std::pair{info.ean, info.serial}, cards.size()).first->second;
    }
    return found;
}

}  // namespace tarnsock
