#pragma once
// The CAN network interfaces of this machine as the kernel lists them in sysfs, with an
// identity that stays the same across replug and reboot: it comes from the device behind
// the interface (USB vendor, product and serial number; PCI vendor, device and address),
// never from the interface name alone, which the kernel hands out in order of appearance.
// An interface without a device (vcan, vxcan) is identified by its name, which is all it has.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarnsock {

enum class DeviceKind : std::uint32_t { Pci = 1, Usb = 2, Virtual = 3, Other = 4 };

struct InterfaceInfo {
    std::string name;  // can0
    int ifindex = 0;
    bool up = false;
    bool fd_capable = false;  // the interface's MTU admits CAN FD frames
    DeviceKind kind = DeviceKind::Virtual;
    std::uint32_t vendor = 0;   // USB or PCI vendor id
    std::uint32_t product = 0;  // USB product or PCI device id
    std::string device_text;    // USB serial string or PCI address, for listings
    // The identity the product sees: EAN (packed decimal), serial number, channel on card.
    std::uint64_t ean = 0;
    std::uint64_t serial = 0;
    std::uint32_t channel = 0;
    std::uint32_t card = 0;  // index of the device among this listing's devices
};

// Lists the CAN interfaces (link type 280) under sysfs_net (normally /sys/class/net),
// up or down, in the order of their names with numbers compared as numbers (can2 before
// can10). Interfaces of one device get their channel numbers from the kernel's port
// numbers, or in order of their interface index when the driver gives none.
std::vector<InterfaceInfo> list_interfaces(const std::filesystem::path& sysfs_net);

// Whether the interface is up; nullopt when it is gone (or another took its name).
std::optional<bool> interface_up(const std::filesystem::path& sysfs_net,
                                 const InterfaceInfo& iface);

// The EAN-13 of a device: a digit for its kind, the vendor and product ids as five decimal
// digits each, a zero and the check digit, packed as decimal digits in hexadecimal nibbles.
std::uint64_t make_ean(DeviceKind kind, std::uint32_t vendor, std::uint32_t product);

// A 32-bit number from a text (FNV-1a), for serial numbers that are not plain numbers of
// at most nine digits: DeviceParams take 32-bit serial numbers.
std::uint64_t text_serial(const std::string& text);

}  // namespace tarnsock
