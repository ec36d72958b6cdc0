// The SocketCAN driver's parts that need no CAN in the kernel: identities read from a
// sysfs tree built here, and the shared ring that tells this library's frames apart.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "echo_ring.hpp"
#include "interfaces.hpp"

namespace fs = std::filesystem;
using namespace tarnsock;

namespace {

class FakeSysfs {
  public:
    FakeSysfs() {
        root_ = fs::temp_directory_path() /
                ("tarnsock-sysfs-" + std::to_string(std::random_device{}()));
        fs::create_directories(root_ / "class/net");
        fs::create_directories(root_ / "bus/pci");
        fs::create_directories(root_ / "bus/usb");
    }
    ~FakeSysfs() { fs::remove_all(root_); }
    fs::path net() const { return root_ / "class/net"; }

    // An interface; device is a directory under devices/ (empty: none, as for vcan).
    void add(const std::string& name, int ifindex, int type, const std::string& device = {},
             const std::string& dev_port = "0", bool up = true) {
        const fs::path dir = root_ / "devices/virtual/net" / name;
        fs::create_directories(dir);
        put(dir / "type", std::to_string(type));
        put(dir / "ifindex", std::to_string(ifindex));
        put(dir / "flags", up ? "0x40081" : "0x40080");
        put(dir / "mtu", "16");
        put(dir / "dev_port", dev_port);
        put(dir / "dev_id", "0x0");
        if (!device.empty()) {
            fs::create_symlink(root_ / "devices" / device, dir / "device");
        }
        fs::create_directory_symlink(dir, net() / name);
    }
    void usb_device(const std::string& path, const std::string& vendor, const std::string& product,
                    const std::string& serial) {
        const fs::path dir = root_ / "devices" / path;
        fs::create_directories(dir / (dir.filename().string() + ":1.0"));
        put(dir / "idVendor", vendor);
        put(dir / "idProduct", product);
        if (!serial.empty()) {
            put(dir / "serial", serial);
        }
        fs::create_directory_symlink(root_ / "bus/usb", dir / "subsystem");
    }
    void pci_device(const std::string& path, const std::string& vendor, const std::string& device) {
        const fs::path dir = root_ / "devices" / path;
        fs::create_directories(dir);
        put(dir / "vendor", vendor);
        put(dir / "device", device);
        fs::create_directory_symlink(root_ / "bus/pci", dir / "subsystem");
    }

  private:
    static void put(const fs::path& file, const std::string& text) {
        std::ofstream(file) << text << "\n";
    }
    fs::path root_;
};

const InterfaceInfo& named(const std::vector<InterfaceInfo>& list, const std::string& name) {
    for (const auto& i : list) {
        if (i.name == name) {
            return i;
        }
    }
    throw std::runtime_error("no interface " + name);
}

}  // namespace

TEST(TarnsockInterfaces, IdentitiesComeFromTheDeviceNotTheName) {
    FakeSysfs sys;
    sys.usb_device("pci0000:00/0000:00:14.0/usb1/1-2", "1d50", "606f", "004C00435652");
    sys.usb_device("pci0000:00/0000:00:14.0/usb1/1-3", "1d50", "606f", "");
    sys.usb_device("pci0000:00/0000:00:14.0/usb1/1-4", "0c72", "000c", "12345");
    sys.pci_device("pci0000:00/0000:00:04.0", "10e8", "8406");
    sys.pci_device("pci0000:00/0000:03:00.1", "13fe", "c302");
    sys.add("can10", 9, 280, "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0");
    sys.add("can2", 4, 280, "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0", "0", false);
    sys.add("can3", 5, 280, "pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0", "1");
    sys.add("can0", 2, 280, "pci0000:00/0000:00:04.0");
    // Two ports of one card whose driver numbers neither: interface index order.
    sys.add("can5", 7, 280, "pci0000:00/0000:03:00.1");
    sys.add("can4", 6, 280, "pci0000:00/0000:03:00.1");
    sys.add("vcan0", 8, 280);
    sys.add("eth0", 1, 1, "pci0000:00/0000:00:04.0");

    const auto list = list_interfaces(sys.net());
    std::vector<std::string> names;
    for (const auto& i : list) {
        names.push_back(i.name);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"can0", "can2", "can3", "can4", "can5", "can10", "vcan0"}));

    struct Case {
        const char* name;
        DeviceKind kind;
        std::uint64_t ean;
        std::uint64_t serial;
        std::uint32_t channel;
        bool up;
    };
    const Case cases[] = {
        // USB with a serial string that is not a number: its hash.
        {"can10", DeviceKind::Usb, 0x2075042468703, text_serial("004C00435652"), 0, true},
        // USB without a serial number: the port it is plugged into.
        {"can2", DeviceKind::Usb, 0x2075042468703, text_serial("usb-port:1-3"), 0, false},
        // USB with a numeric serial and a port number.
        {"can3", DeviceKind::Usb, 0x2031860001201, 12345, 1, true},
        // PCI: vendor and device, and the address as the serial number: 0000:00:04.0 -> 40,
        // 0000:03:00.1 -> 3001 (bus, two digits of slot, one of function).
        {"can0", DeviceKind::Pci, 0x1043283379806, 40, 0, true},
        {"can4", DeviceKind::Pci, 0x1051184992208, 3001, 0, true},
        {"can5", DeviceKind::Pci, 0x1051184992208, 3001, 1, true},
        {"vcan0", DeviceKind::Virtual, 0x3000000000007, text_serial("virtual:vcan0"), 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const InterfaceInfo& i = named(list, c.name);
        EXPECT_EQ(i.kind, c.kind);
        EXPECT_EQ(i.ean, c.ean) << std::hex << i.ean;
        EXPECT_EQ(i.serial, c.serial);
        EXPECT_EQ(i.channel, c.channel);
        EXPECT_EQ(i.up, c.up);
        EXPECT_EQ(interface_up(sys.net(), i), c.up);
    }
    EXPECT_EQ(named(list, "can4").card, named(list, "can5").card);
    EXPECT_NE(named(list, "can0").card, named(list, "can4").card);

    // An interface that went away, or whose name another took, is not up: it is gone.
    InterfaceInfo stale = named(list, "can0");
    stale.ifindex = 99;
    EXPECT_EQ(interface_up(sys.net(), stale), std::nullopt);
}

TEST(TarnsockEchoRing, KnowsItsOwnFramesOnTheirInterfaceForAWhile) {
    auto ring = EchoRing::open("tarnsock_test_ring_" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(ring.has_value());
    const std::int64_t t0 = 1'000'000'000'000;
    EchoKey ours{3, 0x98EEFF80u, 8, {1, 2, 3, 4, 5, 6, 7, 8}};
    ring->record(ours, t0);

    EchoKey other_data = ours;
    other_data.data[7] = 9;
    EchoKey other_interface = ours;
    other_interface.ifindex = 4;
    EchoKey other_id = ours;
    other_id.can_id ^= 1;

    struct Case {
        const char* what;
        const EchoKey& key;
        std::int64_t at;
        bool expected;
    };
    const Case cases[] = {
        {"the same frame just after", ours, t0 + 50'000, true},
        {"received before it was sent, within the clocks' slack", ours, t0 - 500'000, true},
        {"received well before it was sent", ours, t0 - 5'000'000, false},
        {"received after the window", ours, t0 + EchoRing::kWindowNs + 1, false},
        {"other data", other_data, t0 + 1000, false},
        {"another interface", other_interface, t0 + 1000, false},
        {"another identifier", other_id, t0 + 1000, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ring->sent_here(c.key, c.at), c.expected) << c.what;
    }

    // Many later sends push it out of the ring.
    EchoKey filler{3, 0x123, 1, {0}};
    for (std::uint32_t i = 0; i < EchoRing::kEntries; ++i) {
        ring->record(filler, t0 + 1000 + i);
    }
    EXPECT_FALSE(ring->sent_here(ours, t0 + 100'000));
    EXPECT_TRUE(ring->sent_here(filler, t0 + 100'000));
}

TEST(TarnsockEchoRing, IsSharedBetweenOpenersOfOneName) {
    const std::string name = "tarnsock_test_ring_" + std::to_string(std::random_device{}());
    auto a = EchoRing::open(name);
    auto b = EchoRing::open(name);
    ASSERT_TRUE(a && b);
    EchoKey key{7, 0x7FF, 0, {}};
    a->record(key, 5'000'000'000);
    EXPECT_TRUE(b->sent_here(key, 5'000'001'000));
}
