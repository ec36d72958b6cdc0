// The SocketCAN driver on a kernel with CAN: run inside the test VM (scripts/vm), where
// vcan0 exists and can0/can1 are emulated SJA1000 controllers on one bus, up at 250 kbit/s.
// Cases whose interfaces are missing, or that need a privilege this run lacks, skip and say so.
//
// The driver is loaded by path, like the product loads it by name.

#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "driver_loader.hpp"
#include "interfaces.hpp"
#include "link_control.hpp"
#include "platform/event.hpp"
#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "tarnlib/driver_api.h"

namespace {

constexpr tarnStatus kOk = 0;
constexpr tarnStatus kNoMsg = -2;
constexpr tarnStatus kHardware = -15;
constexpr tarnStatus kNoCard = -26;
constexpr tarnStatus kNoAccess = -31;
constexpr std::uint32_t kGenerousMs = 20000;

// The SocketCAN driver beside this test, loaded once by path.
driver_test::Driver& api() {
    static driver_test::Driver& driver = []() -> driver_test::Driver& {
        const auto dir = std::filesystem::path(platform::current_executable_path()).parent_path();
        if (auto error = driver_test::load_driver((dir / "socketcan/libtarnlib32.so").string())) {
            platform::fatal(error->c_str());
        }
        return driver_test::drv();
    }();
    return driver;
}

std::string detail() {
    char text[512] = {};
    api().get_error_detail(text, sizeof text);
    return text;
}

// The driver's channel number of an interface, by name.
int channel_of(const std::string& name) {
    std::int32_t count = 0;
    EXPECT_EQ(api().enum_hardware_ex(&count), kOk);
    const auto list = tarnsock::list_interfaces("/sys/class/net");
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool privileged() {
    return tarnsock::may_configure_links();
}

void run(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

struct Rx {
    tarnStatus status = kNoMsg;
    std::int32_t id = 0;
    std::uint8_t data[64] = {};
    std::uint32_t dlc = 0, flags = 0, time = 0;
};

Rx read_wait(tarnHandle h, std::uint32_t timeout_ms = kGenerousMs) {
    Rx rx;
    rx.status = api().read_wait(h, &rx.id, rx.data, &rx.dlc, &rx.flags, &rx.time, timeout_ms);
    return rx;
}

// Reads until a frame with this id comes, skipping others (error frames of a lone node).
Rx read_id(tarnHandle h, std::int32_t id) {
    for (;;) {
        Rx rx = read_wait(h);
        if (rx.status != kOk || (rx.id == id && !(rx.flags & TARN_MSG_ERROR_FRAME))) {
            return rx;
        }
    }
}

void set(tarnHandle h, std::uint32_t function, std::uint32_t value) {
    ASSERT_EQ(api().io_ctl(h, function, &value, sizeof value), kOk);
}

tarnHandle open_on_bus(int channel, std::int32_t bitrate = 250000) {
    const tarnHandle h = api().open_channel(channel, 0);
    EXPECT_GE(h, 0) << detail();
    EXPECT_EQ(api().set_bus_params(h, bitrate, 13, 2, 1, 1, 0), kOk) << detail();
    EXPECT_EQ(api().bus_on(h), kOk) << detail();
    return h;
}

// Another program on the same host: a plain CAN_RAW socket, as cansend and candump use.
class RawSocket {
  public:
    explicit RawSocket(const std::string& name) {
        fd_ = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = static_cast<int>(if_nametoindex(name.c_str()));
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~RawSocket() { ::close(fd_); }
    void send(canid_t id, std::vector<std::uint8_t> data) {
        can_frame f{};
        f.can_id = id;
        f.len = static_cast<std::uint8_t>(data.size());
        std::memcpy(f.data, data.data(), data.size());
        ASSERT_EQ(::write(fd_, &f, sizeof f), static_cast<ssize_t>(sizeof f));
    }
    // Sends and waits until the frame has come back through the interface, so that it has
    // reached every socket's queue: a sender that outruns the kernel's backlog loses frames
    // before any socket sees them.
    void send_through(canid_t id, std::vector<std::uint8_t> data) {
        if (!own_) {
            const int one = 1;
            ::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &one, sizeof one);
            own_ = true;
        }
        send(id, data);
        for (;;) {
            can_frame back{};
            msghdr msg{};
            iovec iov{&back, sizeof back};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            ASSERT_GT(::recvmsg(fd_, &msg, 0), 0);
            if ((msg.msg_flags & MSG_CONFIRM) && back.can_id == id &&
                std::memcmp(back.data, data.data(), data.size()) == 0) {
                return;
            }
        }
    }

  private:
    int fd_ = -1;
    bool own_ = false;
};

#define REQUIRE_INTERFACE(name)                                                \
    const int name##_channel = channel_of(#name);                              \
    if (name##_channel < 0) {                                                  \
        GTEST_SKIP() << #name " does not exist here (the VM test rig has it)"; \
    }

}  // namespace

// The kernel marks every frame sent from this host as local, whoever sent it. The driver's
// local echo must be this library's frames only, in this process or another one; frames of
// other programs (cansend, the kernel's J1939 stack) are frames from the bus.
TEST(SocketCan, LocalEchoIsThisLibraryOnlyAcrossProcesses) {
    REQUIRE_INTERFACE(vcan0);
    const tarnHandle sender = open_on_bus(vcan0_channel);
    const tarnHandle echo = open_on_bus(vcan0_channel);
    const tarnHandle quiet = open_on_bus(vcan0_channel);
    set(sender, TARN_IOCTL_SET_TXACK, 1);
    set(echo, TARN_IOCTL_SET_LOCAL_TXECHO, 1);
    set(echo, TARN_IOCTL_SET_LOCAL_TXACK, 1);
    set(quiet, TARN_IOCTL_SET_LOCAL_TXECHO, 0);

    const std::uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(api().write(sender, 0x18FEF100, payload, 8, TARN_MSG_EXT), kOk);
    RawSocket other("vcan0");
    other.send(0x123, {0xAA, 0xBB});

    // Another process of this library sends on the same interface.
    auto child = platform::ChildProcess::spawn(platform::current_executable_path(),
                                               {"--send-once", "vcan0"});
    ASSERT_TRUE(child.has_value());
    ASSERT_EQ(child->wait_for(std::chrono::milliseconds(kGenerousMs)), 0);

    struct Expect {
        tarnHandle handle;
        std::int32_t id;
        std::uint32_t flags;  // beyond STD/EXT
    };
    const Expect sequence[] = {
        {sender, 0x18FEF100, TARN_MSG_TXACK},  // its own, acknowledged
        {sender, 0x123, 0},                    // another program's: from the bus
        {echo, 0x18FEF100, TARN_MSG_LOCAL_TXACK},
        {echo, 0x123, 0},
        {echo, 0x7A5, TARN_MSG_LOCAL_TXACK},
        {quiet, 0x123, 0},  // no local echo: only the other program's frame
    };
    for (const Expect& e : sequence) {
        SCOPED_TRACE(::testing::Message() << "handle " << e.handle << " id 0x" << std::hex << e.id);
        const Rx rx = read_wait(e.handle);
        ASSERT_EQ(rx.status, kOk);
        EXPECT_EQ(rx.id, e.id);
        EXPECT_EQ(rx.flags & ~(TARN_MSG_STD | TARN_MSG_EXT), e.flags);
    }
    // The sender without local echo: the other process's frame is not for it either.
    EXPECT_EQ(read_wait(sender, 50).status, kNoMsg);
    EXPECT_EQ(read_wait(quiet, 50).status, kNoMsg);
    for (tarnHandle h : {sender, echo, quiet}) {
        EXPECT_EQ(api().close(h), kOk);
    }
}

// The identity of the emulated controllers comes from their PCI cards; vcan has its own.
TEST(SocketCan, IdentitiesOfEmulatedCardsAndVirtualInterfaces) {
    REQUIRE_INTERFACE(can0);
    REQUIRE_INTERFACE(can1);
    REQUIRE_INTERFACE(vcan0);
    auto identity = [](int channel) {
        std::uint64_t ean = 0, serial = 0;
        std::uint32_t on_card = 0;
        EXPECT_EQ(api().get_channel_data(channel, TARN_CHANNELDATA_CARD_UPC_NO, &ean, sizeof ean),
                  kOk);
        EXPECT_EQ(api().get_channel_data(channel, TARN_CHANNELDATA_CARD_SERIAL_NO, &serial,
                                         sizeof serial),
                  kOk);
        EXPECT_EQ(api().get_channel_data(channel, TARN_CHANNELDATA_CHAN_NO_ON_CARD, &on_card,
                                         sizeof on_card),
                  kOk);
        return std::tuple{ean, serial, on_card};
    };
    const auto a = identity(can0_channel);
    const auto b = identity(can1_channel);
    const auto v = identity(vcan0_channel);
    EXPECT_EQ(std::get<0>(a) >> 48, 1u) << "a PCI card's EAN starts with 1";
    EXPECT_NE(a, b);
    EXPECT_EQ(std::get<0>(v), 0x3000000000007u);
    EXPECT_EQ(std::get<1>(v), tarnsock::text_serial("virtual:vcan0"));
}

// An interface that is up keeps its bit rate for whoever uses it; a request for another
// rate is refused with the command that changes it. One that is down is configured and
// brought up by a program with CAP_NET_ADMIN, and explained to one without.
TEST(SocketCan, BitTimingBelongsToTheInterface) {
    REQUIRE_INTERFACE(can0);
    REQUIRE_INTERFACE(can1);
    const tarnHandle h = api().open_channel(can0_channel, 0);
    ASSERT_GE(h, 0);
    EXPECT_EQ(api().set_bus_params(h, 250000, 13, 2, 1, 1, 0), kOk) << detail();
    std::int32_t bitrate = 0;
    std::uint32_t tseg1 = 0, tseg2 = 0, sjw = 0, samples = 0, sync = 0;
    EXPECT_EQ(api().get_bus_params(h, &bitrate, &tseg1, &tseg2, &sjw, &samples, &sync), kOk);
    EXPECT_EQ(bitrate, 250000);
    EXPECT_EQ(api().set_bus_params(h, 500000, 13, 2, 1, 1, 0), kNoAccess);
    EXPECT_NE(detail().find("ip link set can0 down && ip link set can0 up type can bitrate 500000 "
                            "sample-point 0.875"),
              std::string::npos);
    api().close(h);

    if (privileged()) {
        run("ip link set can1 down");
    } else if (tarnsock::interface_up("/sys/class/net",
                                      tarnsock::list_interfaces("/sys/class/net")[can1_channel])
                   .value_or(true)) {
        GTEST_SKIP() << "the unprivileged run expects can1 down (scripts/vm/tests)";
    }
    const tarnHandle down = api().open_channel(can1_channel, 0);
    ASSERT_GE(down, 0);
    if (privileged()) {
        EXPECT_EQ(api().set_bus_params(down, 500000, 13, 2, 1, 1, 0), kOk) << detail();
        EXPECT_EQ(api().bus_on(down), kOk) << detail();
        ASSERT_TRUE(tarnsock::link_timing("can1").has_value());
        EXPECT_EQ(tarnsock::link_timing("can1")->bitrate, 500000u);
        api().close(down);
        // A silent handle brings it up listen-only, so that a rate being tried (bit-rate
        // detection) cannot disturb the bus.
        run("ip link set can1 down");
        const tarnHandle silent = api().open_channel(can1_channel, 0);
        ASSERT_GE(silent, 0);
        EXPECT_EQ(api().set_bus_output_control(silent, TARN_DRIVERTYPE_SILENT), kOk);
        EXPECT_EQ(api().set_bus_params(silent, 125000, 13, 2, 1, 1, 0), kOk) << detail();
        EXPECT_EQ(api().bus_on(silent), kOk) << detail();
        EXPECT_EQ(std::system("ip -details link show can1 | grep -q LISTEN-ONLY"), 0);
        api().close(silent);
        run("ip link set can1 down && ip link set can1 type can listen-only off bitrate 250000 && "
            "ip link set can1 up");
    } else {
        EXPECT_EQ(api().set_bus_params(down, 250000, 13, 2, 1, 1, 0), kHardware);
        EXPECT_NE(detail().find("can1 is down, and this program may not configure it. An "
                                "administrator brings it up with: ip link set can1 up type can "
                                "bitrate 250000 sample-point 0.875"),
                  std::string::npos)
            << detail();
        api().close(down);
    }
}

// A burst larger than the kernel's transmit queue: the driver queues what the kernel cannot
// take yet, every write succeeds and every frame leaves the controller, in order (its
// transmit acknowledgements say so). The emulated bus is not paced, so the receiving
// controller may overflow: it arrives in order, and the receiver is told of any loss.
TEST(SocketCan, ABurstIsQueuedNotRefused) {
    REQUIRE_INTERFACE(can0);
    REQUIRE_INTERFACE(can1);
    const tarnHandle tx = open_on_bus(can0_channel);
    const tarnHandle rx = open_on_bus(can1_channel);
    set(tx, TARN_IOCTL_SET_TXACK, 1);
    constexpr int kFrames = 600;
    std::thread writer([&] {
        for (int i = 0; i < kFrames; ++i) {
            const std::uint8_t data[4] = {static_cast<std::uint8_t>(i >> 8),
                                          static_cast<std::uint8_t>(i), 0x55, 0xAA};
            ASSERT_EQ(api().write(tx, 0x100 + i % 2, data, 4, TARN_MSG_STD), kOk) << "frame " << i;
        }
        EXPECT_EQ(api().write_sync(tx, kGenerousMs), kOk);
    });
    auto number = [](const Rx& r) { return (r.data[0] << 8) | r.data[1]; };
    int acknowledged = 0;
    while (acknowledged < kFrames) {
        const Rx r = read_id(tx, 0x100 + acknowledged % 2);
        if (r.status != kOk || number(r) != acknowledged || !(r.flags & TARN_MSG_TXACK)) {
            ADD_FAILURE() << "acknowledgement " << acknowledged << ": status " << r.status
                          << ", frame " << number(r) << ", flags 0x" << std::hex << r.flags;
            break;
        }
        ++acknowledged;
    }
    writer.join();

    int received = 0, last = -1, errors = 0;
    bool told = false;
    // Once the receiver's queue is empty, a last frame: a loss in that queue is counted on
    // the next frame stored.
    bool end_sent = false;
    for (Rx r = read_wait(rx, 200); r.status == kOk || !end_sent; r = read_wait(rx, 200)) {
        if (r.status != kOk) {
            const std::uint8_t end[1] = {0xEE};
            ASSERT_EQ(api().write(tx, 0x1FF, end, 1, TARN_MSG_STD), kOk);
            end_sent = true;
            continue;
        }
        told = told || (r.flags & (TARN_MSG_HW_OVERRUN | TARN_MSG_SW_OVERRUN)) != 0;
        if (r.flags & TARN_MSG_ERROR_FRAME) {
            ++errors;
            continue;
        }
        if (r.id == 0x1FF) {
            break;
        }
        EXPECT_GT(number(r), last);
        last = number(r);
        ++received;
    }
    std::uint32_t rx_status = 0;
    EXPECT_EQ(api().read_status(rx, &rx_status), kOk);
    EXPECT_TRUE(received == kFrames || told)
        << received << " frames and no overrun reported; " << errors
        << " error frames, receiver status 0x" << std::hex << rx_status;
    std::uint32_t status = 0;
    EXPECT_EQ(api().read_status(tx, &status), kOk);
    EXPECT_TRUE(status & TARN_STAT_ERROR_ACTIVE) << std::hex << status;
    api().close(tx);
    api().close(rx);
}

// A reader that falls behind loses frames in the kernel's socket queue, as with any
// hardware queue: the first frame stored after the gap says so, and so does the status, once.
TEST(SocketCan, AReaderThatFallsBehindIsToldOfTheLoss) {
    REQUIRE_INTERFACE(vcan0);
    const tarnHandle h = open_on_bus(vcan0_channel);
    RawSocket other("vcan0");
    constexpr int kFrames = 5000;  // more than any socket queue holds
    for (int i = 0; i < kFrames; ++i) {
        other.send_through(0x200,
                           {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)});
    }
    int received = 0, flagged_at = -1, last = -1;
    // The kernel counts the loss on the next frame it stores: one more after the burst.
    bool marker_sent = false;
    for (Rx r = read_wait(h, 200); r.status == kOk || !marker_sent; r = read_wait(h, 200)) {
        if (r.status != kOk) {
            other.send_through(0x200, {0xFF, 0xFF});
            marker_sent = true;
            continue;
        }
        const int number = (r.data[0] << 8) | r.data[1];
        if ((r.flags & TARN_MSG_SW_OVERRUN) && flagged_at < 0) {
            flagged_at = number;
            EXPECT_GT(number, last + 1) << "flagged where nothing was lost";
        }
        last = number;
        ++received;
    }
    ASSERT_LT(received, kFrames) << "the socket's queue held every frame";
    EXPECT_GE(flagged_at, 0) << received << " of " << kFrames << " frames, no loss flagged";
    std::uint32_t status = 0;
    EXPECT_EQ(api().read_status(h, &status), kOk);
    EXPECT_TRUE(status & TARN_STAT_SW_OVERRUN);
    EXPECT_EQ(api().read_status(h, &status), kOk);
    EXPECT_FALSE(status & TARN_STAT_SW_OVERRUN);
    api().close(h);
}

// The wait handle is set when a frame arrives, and when the interface goes away; the handle
// then reports the card missing, and an interface of the same name made again is the same
// channel.
TEST(SocketCan, AnInterfaceThatGoesAndComesBack) {
    if (!privileged()) {
        GTEST_SKIP() << "needs CAP_NET_ADMIN to add and delete interfaces";
    }
    if (std::system("ip link add vcan7 type vcan 2>/dev/null") != 0) {
        GTEST_SKIP() << "this kernel has no vcan (the VM test rig has it)";
    }
    run("ip link set vcan7 up");
    const int channel = channel_of("vcan7");
    ASSERT_GE(channel, 0);
    const tarnHandle h = open_on_bus(channel);
    void* wait = nullptr;
    ASSERT_EQ(api().io_ctl(h, TARN_IOCTL_GET_EVENTHANDLE, &wait, sizeof wait), kOk);
    RawSocket("vcan7").send(0x42, {1});
    EXPECT_EQ(platform::wait_native_event(wait, std::chrono::milliseconds(kGenerousMs)),
              platform::WaitResult::Signalled);
    EXPECT_EQ(read_wait(h).id, 0x42);
    EXPECT_EQ(read_wait(h, 0).status, kNoMsg);

    run("ip link set vcan7 down");
    EXPECT_EQ(platform::wait_native_event(wait, std::chrono::milliseconds(kGenerousMs)),
              platform::WaitResult::Signalled);
    EXPECT_EQ(read_wait(h).status, kNoCard);
    api().close(h);

    run("ip link del vcan7");
    EXPECT_LT(channel_of("vcan7"), 0);
    run("ip link add vcan7 type vcan && ip link set vcan7 up");
    const int again = channel_of("vcan7");
    ASSERT_GE(again, 0);
    std::uint64_t serial = 0;
    EXPECT_EQ(
        api().get_channel_data(again, TARN_CHANNELDATA_CARD_SERIAL_NO, &serial, sizeof serial),
        kOk);
    EXPECT_EQ(serial, tarnsock::text_serial("virtual:vcan7"));
    const tarnHandle h2 = open_on_bus(again);
    RawSocket("vcan7").send(0x43, {2});
    EXPECT_EQ(read_wait(h2).id, 0x43);
    api().close(h2);
    run("ip link del vcan7");
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--send-once") {
        // The other process of the local-echo case: one frame through the driver.
        const int channel = channel_of(argv[2]);
        const tarnHandle h = open_on_bus(channel);
        const std::uint8_t data[3] = {7, 7, 7};
        const bool ok = api().write(h, 0x7A5, data, 3, TARN_MSG_STD) == kOk &&
                        api().write_sync(h, kGenerousMs) == kOk;
        api().close(h);
        return ok ? 0 : 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
