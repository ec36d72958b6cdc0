// Our RP1210 J1939 client against the Linux kernel's own CAN and J1939 stacks. The other
// nodes on the bus belong to the kernel: CAN_J1939 sockets, whose transport protocol and
// table of address claims the kernel runs, and CAN_RAW sockets that play a peer frame by
// frame and record every frame on the bus, which the scenarios check byte for byte.
//
// Runs inside the test VM on a vcan interface (scripts/vm/tests/kernel_peers.sh), the
// library loaded the way an application loads it and the SocketCAN driver selected by
// LD_LIBRARY_PATH. Without the interface (KERNEL_PEERS_INTERFACE, vcan0 by default) every
// case skips.

#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <linux/can/raw.h>
#include <linux/errqueue.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "interfaces.hpp"
#include "j1939_format.hpp"
#include "platform/paths.hpp"
#include "qz121032/rp1210_loader.hpp"
#include "temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using namespace qz121032::testing;
using Clock = std::chrono::steady_clock;

constexpr auto kGenerous = 20s;

constexpr std::uint32_t kPgnProprietaryB = 0xFF42;  // PDU2: the kernel nodes' single frames
constexpr std::uint32_t kPgnEtpCm = 0xC800;
constexpr std::uint8_t kNullAddress = 0xFE;  // the source of a Cannot Claim

constexpr std::uint8_t kOurAddress = 0x80;
constexpr std::uint8_t kKernelAddress = 0x90;
constexpr std::uint64_t kOurName = 0x00A0'0000'0000'0080ULL;

constexpr short kErrMessageTooLong = 141;
constexpr short kErrAddressLost = 153;

// ---- J1939 frames -------------------------------------------------------------------------

std::uint32_t j1939_id(std::uint8_t priority, std::uint32_t pgn, std::uint8_t source,
                       std::uint8_t destination) {
    const bool pdu2 = (pgn & 0xF000) == 0xF000;
    const std::uint32_t middle =
        pdu2 ? ((pgn << 8) & 0x3FFFF00) : (((pgn << 8) & 0x3FF0000) | (destination << 8));
    return (std::uint32_t{priority} & 7) << 26 | middle | source;
}

// A frame on the bus as the CAN_RAW capture saw it.
struct Frame {
    canid_t id = 0;  // without the flag bits
    bool extended = false;
    Bytes data;
    std::int64_t ns = 0;  // the kernel's receive time (CLOCK_REALTIME)

    std::uint8_t priority() const { return static_cast<std::uint8_t>((id >> 26) & 7); }
    std::uint8_t source() const { return static_cast<std::uint8_t>(id); }
    bool pdu2() const { return (id & 0xF00000) == 0xF00000; }
    std::uint32_t pgn() const { return pdu2() ? (id >> 8) & 0x3FFFF : (id >> 8) & 0x3FF00; }
    std::uint8_t destination() const {
        return pdu2() ? kGlobal : static_cast<std::uint8_t>(id >> 8);
    }
    bool is(std::uint32_t wanted_pgn, std::uint8_t from, std::uint8_t to) const {
        return extended && pgn() == wanted_pgn && source() == from && destination() == to;
    }
};

// A TP.CM or ETP.CM frame of the control byte from `from` to `to`.
std::function<bool(const Frame&)> control(std::uint32_t pgn, std::uint8_t from, std::uint8_t to,
                                          std::uint8_t control_byte) {
    return [=](const Frame& f) {
        return f.is(pgn, from, to) && !f.data.empty() && f.data[0] == control_byte;
    };
}

Bytes name_bytes(std::uint64_t name) {
    Bytes bytes;
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(name >> (8 * i)));
    }
    return bytes;
}

std::uint64_t name_of(const Bytes& data) {
    std::uint64_t name = 0;
    for (std::size_t i = 0; i < 8 && i < data.size(); ++i) {
        name |= std::uint64_t{data[i]} << (8 * i);
    }
    return name;
}

// Data of `size` bytes that differ from message to message (`seed`) and along the message.
Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + seed);
    }
    return data;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(two);
    }
    return text;
}

std::string describe(const Frame& f) {
    char id[16];
    std::snprintf(id, sizeof id, f.extended ? "%08X" : "%03X", f.id);
    return std::string(id) + " [" + std::to_string(f.data.size()) + "] " + hex(f.data);
}

bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = kGenerous) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        // Polling interval, not a synchronisation: the condition decides.
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// ---- sockets ----------------------------------------------------------------------------

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Waits until the socket has something to read (or an error queued), up to `end`.
bool wait_readable(int fd, Clock::time_point end) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

Fd raw_socket(int ifindex) {
    Fd fd(::socket(PF_CAN, SOCK_RAW, CAN_RAW));
    EXPECT_GE(fd.get(), 0) << std::strerror(errno);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = ifindex;
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    return fd;
}

// Every frame on the bus from its start, read by a thread of its own so that long transfers
// cannot overflow the socket's buffer.
class BusCapture {
  public:
    explicit BusCapture(int ifindex) : fd_(raw_socket(ifindex)) {
        const int on = 1;
        EXPECT_EQ(::setsockopt(fd_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), 0);
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    }

    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }
    std::vector<Frame> since(std::size_t mark) const {
        std::lock_guard lock(mutex_);
        return {frames_.begin() + static_cast<std::ptrdiff_t>(std::min(mark, frames_.size())),
                frames_.end()};
    }
    // The first frame from `mark` on that satisfies `wanted`, waiting up to `limit`.
    std::optional<Frame> wait_for(std::size_t mark, const std::function<bool(const Frame&)>& wanted,
                                  std::chrono::milliseconds limit = kGenerous) const {
        std::unique_lock lock(mutex_);
        std::optional<Frame> found;
        changed_.wait_for(lock, limit, [&] {
            for (std::size_t i = mark; i < frames_.size(); ++i) {
                if (wanted(frames_[i])) {
                    found = frames_[i];
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    // The Address Claimed frames from `mark` on: source address and NAME.
    std::vector<std::pair<std::uint8_t, std::uint64_t>> claims(std::size_t mark) const {
        std::vector<std::pair<std::uint8_t, std::uint64_t>> out;
        for (const Frame& f : since(mark)) {
            if (f.extended && f.pgn() == kPgnAddressClaimed) {
                out.emplace_back(f.source(), name_of(f.data));
            }
        }
        return out;
    }

  private:
    void run(const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            if (!wait_readable(fd_.get(), Clock::now() + 50ms)) {
                continue;
            }
            can_frame frame{};
            iovec io{&frame, sizeof frame};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr msg{};
            msg.msg_iov = &io;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            if (::recvmsg(fd_.get(), &msg, 0) != static_cast<ssize_t>(sizeof frame)) {
                continue;
            }
            Frame f;
            f.extended = (frame.can_id & CAN_EFF_FLAG) != 0;
            f.id = frame.can_id & (f.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
            f.data.assign(frame.data, frame.data + std::min<std::size_t>(frame.len, 8));
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
                    timespec ts{};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    f.ns = std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
                }
            }
            {
                std::lock_guard lock(mutex_);
                frames_.push_back(std::move(f));
            }
            changed_.notify_all();
        }
    }

    Fd fd_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Frame> frames_;
    std::jthread thread_;  // last: stops before the members it reads go
};

// A peer played frame by frame on a CAN_RAW socket.
class RawPeer {
  public:
    explicit RawPeer(int ifindex) : fd_(raw_socket(ifindex)) {}
    void send(std::uint32_t id, const Bytes& data) {
        can_frame frame{};
        frame.can_id = id | CAN_EFF_FLAG;
        frame.len = static_cast<std::uint8_t>(data.size());
        std::copy(data.begin(), data.end(), frame.data);
        ASSERT_EQ(::write(fd_.get(), &frame, sizeof frame), static_cast<ssize_t>(sizeof frame))
            << std::strerror(errno);
    }

  private:
    Fd fd_;
};

// A message a socket of the kernel's J1939 stack received.
struct KernelMessage {
    std::uint32_t pgn = 0;
    std::uint8_t source = 0;
    std::uint8_t destination = kGlobal;
    std::uint8_t priority = 0;
    Bytes data;
};

// A node of the kernel's J1939 stack. With NAME 0 it sends from its fixed address; with a
// NAME the kernel looks its address up in its table of claims, which it keeps from the
// Address Claimed frames on the bus: a NAME that lost its address, or whose claim is not
// 250 ms old, cannot send (EADDRNOTAVAIL).
class KernelNode {
  public:
    KernelNode(int ifindex, std::uint64_t name, std::uint8_t address)
        : ifindex_(ifindex), name_(name), fd_(bound(ifindex, name, address)) {}

    std::uint64_t name() const { return name_; }

    // 0, or the errno of the refusal. Messages of more than 8 bytes go as transfers (more
    // than 1785 bytes: extended transfers), run by the kernel after the call returns.
    int send(std::uint8_t destination, std::uint32_t pgn, const Bytes& data) const {
        return send_from(fd_, destination, pgn, data);
    }
    int claim() const { return send(kGlobal, kPgnAddressClaimed, name_bytes(name_)); }
    // Address Claimed from the null address: the node gives its address up.
    int cannot_claim() const {
        return send_from(bound(ifindex_, name_, kNullAddress), kGlobal, kPgnAddressClaimed,
                         name_bytes(name_));
    }

    // Drops what the node has received so far.
    void drain() const {
        (void)receive([](const KernelMessage&) { return false; }, 0ms);
    }

    // The next message that satisfies `wanted`, waiting up to `limit`; others are dropped.
    std::optional<KernelMessage> receive(const std::function<bool(const KernelMessage&)>& wanted,
                                         std::chrono::milliseconds limit = kGenerous) const {
        const auto end = Clock::now() + limit;
        while (wait_readable(fd_.get(), end)) {
            std::array<std::uint8_t, 2048> buffer;
            sockaddr_can from{};
            iovec io{buffer.data(), buffer.size()};
            alignas(cmsghdr) char control[256];
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof from;
            msg.msg_iov = &io;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd_.get(), &msg, MSG_DONTWAIT);
            if (n < 0) {
                continue;  // an error of a transfer this node sent: transfer_error() reads it
            }
            KernelMessage m;
            m.pgn = from.can_addr.j1939.pgn;
            m.source = from.can_addr.j1939.addr;
            m.data.assign(buffer.begin(), buffer.begin() + n);
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_CAN_J1939 && c->cmsg_type == SCM_J1939_DEST_ADDR) {
                    m.destination = *CMSG_DATA(c);
                } else if (c->cmsg_level == SOL_CAN_J1939 && c->cmsg_type == SCM_J1939_PRIO) {
                    m.priority = *CMSG_DATA(c);
                }
            }
            if (wanted(m)) {
                return m;
            }
        }
        return std::nullopt;
    }

    // What the kernel reported about a transfer this node sent that failed, from the
    // socket's error queue: the errno and the J1939_EE_INFO code.
    std::optional<std::pair<int, int>> transfer_error(
        std::chrono::milliseconds limit = kGenerous) const {
        const auto end = Clock::now() + limit;
        do {
            std::array<std::uint8_t, 256> buffer;
            iovec io{buffer.data(), buffer.size()};
            alignas(cmsghdr) char control[512];
            msghdr msg{};
            msg.msg_iov = &io;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            if (::recvmsg(fd_.get(), &msg, MSG_ERRQUEUE | MSG_DONTWAIT) >= 0) {
                for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                    if (c->cmsg_level == SOL_CAN_J1939 && c->cmsg_type == SCM_J1939_ERRQUEUE) {
                        sock_extended_err error{};
                        std::memcpy(&error, CMSG_DATA(c), sizeof error);
                        if (error.ee_info != J1939_EE_INFO_NONE) {
                            return std::pair<int, int>(static_cast<int>(error.ee_errno),
                                                       static_cast<int>(error.ee_info));
                        }
                    }
                }
                continue;
            }
            pollfd p{fd_.get(), POLLERR, 0};
            ::poll(&p, 1, 20);
        } while (Clock::now() < end);
        return std::nullopt;
    }

  private:
    static Fd bound(int ifindex, std::uint64_t name, std::uint8_t address) {
        Fd fd(::socket(PF_CAN, SOCK_DGRAM, CAN_J1939));
        EXPECT_GE(fd.get(), 0) << std::strerror(errno);
        const int on = 1;
        // Broadcasts (BAM, Address Claimed) are received and sent only with SO_BROADCAST.
        EXPECT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
        // (The kernel answers this option with the value set, not 0.)
        EXPECT_GE(::setsockopt(fd.get(), SOL_CAN_J1939, SO_J1939_ERRQUEUE, &on, sizeof on), 0);
        sockaddr_can self{};
        self.can_family = AF_CAN;
        self.can_ifindex = ifindex;
        self.can_addr.j1939.name = name;
        self.can_addr.j1939.addr = address;
        self.can_addr.j1939.pgn = J1939_NO_PGN;
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&self), sizeof self), 0)
            << std::strerror(errno);
        return fd;
    }
    static int send_from(const Fd& fd, std::uint8_t destination, std::uint32_t pgn,
                         const Bytes& data) {
        sockaddr_can to{};
        to.can_family = AF_CAN;
        to.can_addr.j1939.name = J1939_NO_NAME;
        to.can_addr.j1939.addr = destination;
        to.can_addr.j1939.pgn = pgn;
        const ssize_t n = ::sendto(fd.get(), data.data(), data.size(), 0,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return n == static_cast<ssize_t>(data.size()) ? 0 : (n < 0 ? errno : EMSGSIZE);
    }

    const int ifindex_;
    const std::uint64_t name_;
    Fd fd_;
};

// ---- the transport protocol as the bus shows it ---------------------------------------

// Checks one transfer of `data` from `from` to `to` (255: BAM) in the frames from `mark` on,
// once its last frame (the EOMACK, or a BAM's last packet) is there: the announcement, the
// CTS windows, each packet numbered in order and carrying the data with 0xFF after its end,
// the EOMACK, and no abort. Returns the announcement's priority.
std::optional<std::uint8_t> check_transfer(const BusCapture& bus, std::size_t mark,
                                           std::uint8_t from, std::uint8_t to, std::uint32_t pgn,
                                           const Bytes& data) {
    const bool bam = to == kGlobal;
    const std::uint32_t packets = static_cast<std::uint32_t>((data.size() + 6) / 7);
    const auto size_lo = static_cast<std::uint8_t>(data.size());
    const auto size_hi = static_cast<std::uint8_t>(data.size() >> 8);
    const Bytes pgn_bytes{static_cast<std::uint8_t>(pgn), static_cast<std::uint8_t>(pgn >> 8),
                          static_cast<std::uint8_t>(pgn >> 16)};
    const auto last = bam ? std::function<bool(const Frame&)>([&](const Frame& f) {
        return f.is(kPgnTpDt, from, to) && !f.data.empty() && f.data[0] == packets;
    })
                          : control(kPgnTpCm, to, from, 0x13);
    if (!bus.wait_for(mark, last)) {
        ADD_FAILURE() << "the transfer's last frame never came";
        return std::nullopt;
    }

    std::optional<Frame> announcement;
    Bytes payload;
    std::uint32_t next = 1;     // the packet expected next
    std::uint32_t granted = 0;  // packets of the current CTS window still to come
    bool closed = false;
    for (const Frame& f : bus.since(mark)) {
        const bool forth = f.extended && f.source() == from && f.destination() == to;
        const bool back = f.extended && f.source() == to && f.destination() == from;
        if (closed || !(forth || back) || (f.pgn() != kPgnTpCm && f.pgn() != kPgnTpDt)) {
            continue;
        }
        SCOPED_TRACE(describe(f));
        EXPECT_EQ(f.data.size(), 8u);
        if (f.data.size() != 8) {
            return std::nullopt;
        }
        const Bytes tail(f.data.begin() + 5, f.data.end());
        if (forth && f.pgn() == kPgnTpCm && !announcement) {
            announcement = f;
            EXPECT_EQ(f.data[0], bam ? 0x20 : 0x10);
            EXPECT_EQ(Bytes(f.data.begin() + 1, f.data.begin() + 4),
                      (Bytes{size_lo, size_hi, static_cast<std::uint8_t>(packets)}));
            if (bam) {
                EXPECT_EQ(f.data[4], 0xFF);
            }
            EXPECT_EQ(tail, pgn_bytes);
        } else if (forth && f.pgn() == kPgnTpDt) {
            EXPECT_TRUE(announcement.has_value()) << "a packet before the announcement";
            EXPECT_EQ(f.data[0], next) << "packets out of order";
            EXPECT_TRUE(bam || granted > 0) << "a packet no CTS asked for";
            payload.insert(payload.end(), f.data.begin() + 1, f.data.end());
            ++next;
            granted = granted > 0 ? granted - 1 : 0;
            closed = bam && next > packets;
        } else if (back && f.data[0] == 0x11) {
            EXPECT_FALSE(bam);
            EXPECT_EQ(granted, 0u) << "a CTS before the window's packets were all sent";
            EXPECT_GE(f.data[1], 1) << "a hold (CTS for 0 packets) was not expected";
            if (announcement && announcement->data[4] != 0xFF) {
                EXPECT_LE(f.data[1], announcement->data[4]) << "more packets than the RTS allows";
            }
            EXPECT_EQ(f.data[2], next);
            EXPECT_EQ(f.data[3], 0xFF);
            EXPECT_EQ(f.data[4], 0xFF);
            EXPECT_EQ(tail, pgn_bytes);
            granted = f.data[1];
        } else if (back && f.data[0] == 0x13) {
            EXPECT_EQ(f.data, (Bytes{0x13, size_lo, size_hi, static_cast<std::uint8_t>(packets),
                                     0xFF, pgn_bytes[0], pgn_bytes[1], pgn_bytes[2]}));
            closed = true;
        } else {
            ADD_FAILURE() << "unexpected frame in the transfer";
        }
    }
    EXPECT_EQ(next, packets + 1) << "packets sent";
    if (payload.size() != packets * 7) {
        return std::nullopt;
    }
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(data.size())),
              data);
    EXPECT_EQ(Bytes(payload.begin() + static_cast<std::ptrdiff_t>(data.size()), payload.end()),
              Bytes(payload.size() - data.size(), 0xFF))
        << "the last packet's padding";
    if (!announcement) {
        return std::nullopt;
    }
    return announcement->priority();
}

// ---- the RP1210 side --------------------------------------------------------------------

std::string interface_name() {
    const char* name = std::getenv("KERNEL_PEERS_INTERFACE");
    return name != nullptr && *name != '\0' ? name : "vcan0";
}

// The library as an application loads it, with an INI file in a temporary current directory
// whose device 1 is the interface, named by the identity the SocketCAN driver gives it.
class World {
  public:
    static World& get() {
        static World* const world = new World();
        return *world;
    }
    qz121032::Rp1210Library& api() { return *api_; }
    int ifindex() const { return ifindex_; }
    std::string log() const { return qz121032::testing::read_file(dir_ / "rp1210.log"); }

  private:
    World() : ifindex_(static_cast<int>(::if_nametoindex(interface_name().c_str()))) {
        std::string params;
        for (const tarnsock::InterfaceInfo& i : tarnsock::list_interfaces("/sys/class/net")) {
            if (i.name == interface_name()) {
                char text[96];
                std::snprintf(text, sizeof text, "EAN=%llx,Serial=%llu,Chan=%u",
                              static_cast<unsigned long long>(i.ean),
                              static_cast<unsigned long long>(i.serial), i.channel);
                params = text;
            }
        }
        if (params.empty()) {
            std::fprintf(stderr, "the SocketCAN listing has no %s\n", interface_name().c_str());
            std::abort();
        }
        dir_.write("ostrel_qz121032.ini",
                   "[VendorInformation]\nRP1210=C\nVersion=3.0\nMessageString=OstrelRP1210Msg\n"
                   "ErrorString=OstrelRP1210Err\nTimestampWeight=1000\nAutoDetectCapable=yes\n"
                   "DebugLevel=1\nDebugFile=rp1210.log\nDebugFileSize=0\nDebugMode=0\n"
                   "NumberOfRTSCTSSessions=1\nCANFormatsSupported=4,5\n"
                   "J1939FormatsSupported=1,2\nJ1939Addresses=1\nCANAutoBaud=true\n"
                   "Devices=1\nProtocols=1\n"
                   "[DeviceInformation1]\nDeviceID=1\nDeviceDescription=" +
                       interface_name() + "\nDeviceName=" + interface_name() +
                       "\nDeviceParams=" + params +
                       "\nMultiCANChannels=1\nMultiJ1939Channels=1\nMultiISO15765Channels=0\n"
                       "[ProtocolInformation1]\nProtocolString=J1939\n"
                       "ProtocolDescription=SAE J1939\nProtocolSpeed=250\nProtocolParams=\n"
                       "Devices=1\n");
        std::filesystem::current_path(dir_.path());
        const auto library =
            std::filesystem::path(platform::current_executable_path()).parent_path() /
            qz121032::rp1210_library_file_name();
        auto loaded = qz121032::Rp1210Library::load(library.string());
        if (!loaded) {
            std::fprintf(stderr, "%s\n", loaded.error().c_str());
            std::abort();
        }
        api_.emplace(std::move(loaded.value()));
        std::atexit([] {
            std::error_code ec;
            std::filesystem::current_path(std::filesystem::temp_directory_path(), ec);
        });
    }

    const int ifindex_;
    qz121032::testing::TempDir dir_;
    std::optional<qz121032::Rp1210Library> api_;
};

// Whether this process loaded the SocketCAN driver (bin/socketcan/libtarnlib32.so).
bool socketcan_driver_loaded() {
    const std::string maps = qz121032::testing::read_file("/proc/self/maps");
    return maps.find("/socketcan/libtarnlib32.so") != std::string::npos;
}

// A message as RP1210_ReadMessage returns it from a J1939 client.
struct J1939Read {
    short result = 0;
    std::optional<std::uint8_t> echo;  // present while echo is on
    std::uint32_t pgn = 0;
    std::uint8_t how = 0;
    std::uint8_t source = 0;
    std::uint8_t destination = 0;
    Bytes data;
};

class KernelPeersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists("/sys/class/net/" + interface_name())) {
            GTEST_SKIP() << "no interface " << interface_name()
                         << ": these cases run in the VM (scripts/vm/tests/kernel_peers.sh)";
        }
        log_mark_ = World::get().log().size();
    }
    void TearDown() override {
        for (short client : clients_) {
            api().ClientDisconnect(client);
        }
        if (HasFailure()) {
            const std::string log = World::get().log();
            std::printf("--- the library's log of the failed test:\n%s---\n",
                        log.substr(std::min(log_mark_, log.size())).c_str());
        }
    }

    qz121032::Rp1210Library& api() { return World::get().api(); }
    int ifindex() { return World::get().ifindex(); }

    // A J1939 client at 250 kbit/s that holds `address` (when given), with every message
    // passing, BAM packets 5 ms apart, and a 20 s limit on blocking reads.
    short client(std::optional<std::uint8_t> address = kOurAddress, std::uint64_t name = kOurName) {
        const short id = api().ClientConnect(nullptr, 1, "J1939:Baud=250", 0, 0, 0);
        EXPECT_TRUE(id >= 0 && id < 128) << "connect: " << id;
        if (id < 0 || id >= 128) {
            return -1;
        }
        clients_.push_back(id);
        EXPECT_TRUE(socketcan_driver_loaded())
            << "the library did not load bin/socketcan/libtarnlib32.so: run with "
               "LD_LIBRARY_PATH=<build>/bin/socketcan";
        EXPECT_EQ(command(id, 215, {200, 100}), 0);
        EXPECT_EQ(command(id, 27, {5, 0, 0, 0}), 0);
        EXPECT_EQ(command(id, 3, {}), 0);
        if (address) {
            EXPECT_EQ(protect(id, *address, name), 0);
        }
        return id;
    }
    short disconnect(short id) {
        clients_.erase(std::remove(clients_.begin(), clients_.end(), id), clients_.end());
        return api().ClientDisconnect(id);
    }
    short protect(short id, std::uint8_t address, std::uint64_t name) {
        Bytes args{address};
        const Bytes n = name_bytes(name);
        args.insert(args.end(), n.begin(), n.end());
        args.push_back(0);  // wait for the claim's outcome
        return command(id, 19, args);
    }
    short command(short id, short number, Bytes args) {
        return api().SendCommand(number, id, reinterpret_cast<char*>(args.data()),
                                 static_cast<short>(args.size()));
    }
    short send(short id, Bytes message) {
        return api().SendMessage(id, reinterpret_cast<char*>(message.data()),
                                 static_cast<short>(message.size()), 0, 0);
    }
    J1939Read read(short id, bool echo_on, bool block = true) {
        std::array<char, 2048> buffer;
        J1939Read m;
        m.result =
            api().ReadMessage(id, buffer.data(), static_cast<short>(buffer.size()), block ? 1 : 0);
        const std::size_t header = 4 + (echo_on ? 1 : 0) + 6;
        if (m.result < static_cast<short>(header)) {
            return m;
        }
        const auto* b = reinterpret_cast<const std::uint8_t*>(buffer.data());
        std::size_t at = 4;
        if (echo_on) {
            m.echo = b[at++];
        }
        m.pgn = b[at] | (b[at + 1] << 8) | (b[at + 2] << 16);
        m.how = b[at + 3];
        m.source = b[at + 4];
        m.destination = b[at + 5];
        m.data.assign(b + header, b + m.result);
        return m;
    }
    bool log_contains(const std::string& text) {
        return World::get().log().find(text, log_mark_) != std::string::npos;
    }

  private:
    std::vector<short> clients_;
    std::size_t log_mark_ = 0;
};

// ---- scenarios ----------------------------------------------------------------------------

TEST_F(KernelPeersTest, TransfersBothWaysAreByteExactOnTheBusAndAtTheReceiver) {
    BusCapture bus(ifindex());
    const KernelNode kernel(ifindex(), J1939_NO_NAME, kKernelAddress);
    const short ours = client();
    ASSERT_GE(ours, 0);
    ASSERT_EQ(command(ours, 16, {1}), 0);  // echo: our sends come back as confirmations

    struct Case {
        bool from_kernel;
        std::size_t size;
        bool bam;
    };
    const Case cases[] = {
        {true, 9, false},  {true, 100, false}, {true, 1785, false}, {true, 9, true},
        {true, 100, true}, {false, 9, false},  {false, 100, false}, {false, 1785, false},
        {false, 9, true},  {false, 100, true}, {false, 1785, true},
    };
    std::uint8_t seed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.from_kernel ? "kernel to us, " : "us to kernel, ")
                                          << c.size << " bytes by " << (c.bam ? "BAM" : "RTS/CTS"));
        const Bytes data = pattern(c.size, ++seed);
        const std::uint32_t pgn = c.bam ? kPgnDm1 : kPgnProprietaryA;
        const std::uint8_t from = c.from_kernel ? kKernelAddress : kOurAddress;
        const std::uint8_t to = c.bam ? kGlobal : (c.from_kernel ? kOurAddress : kKernelAddress);
        const std::size_t mark = bus.size();
        if (c.from_kernel) {
            ASSERT_EQ(kernel.send(to, pgn, data), 0);
            const J1939Read r = read(ours, true);
            const std::optional<std::uint8_t> priority =
                check_transfer(bus, mark, from, to, pgn, data);
            ASSERT_GT(r.result, 0);
            EXPECT_EQ(r.echo, 0);
            EXPECT_EQ(r.pgn, pgn);
            // The priority of the announcement, bit 7 for a BAM.
            EXPECT_EQ(r.how, priority.value_or(0xFF) | (c.bam ? kToGlobal : 0));
            EXPECT_EQ(r.source, from);
            EXPECT_EQ(r.destination, to);
            EXPECT_EQ(r.data, data);
        } else {
            const std::uint8_t how = c.bam ? (6 | kToGlobal) : 6;
            ASSERT_EQ(send(ours, j1939_message(pgn, how, kOurAddress, to, data)), 0);
            const auto got = kernel.receive(
                [&](const KernelMessage& m) { return m.pgn == pgn && m.source == kOurAddress; });
            ASSERT_TRUE(got.has_value()) << "the kernel received nothing";
            EXPECT_EQ(got->destination, to);
            EXPECT_EQ(got->data, data);
            // Our stack announces its transfers at priority 7.
            EXPECT_EQ(check_transfer(bus, mark, from, to, pgn, data), 7);
            const J1939Read confirmation = read(ours, true);
            ASSERT_GT(confirmation.result, 0);
            EXPECT_EQ(confirmation.echo, 1);
            EXPECT_EQ(confirmation.pgn, pgn);
            EXPECT_EQ(confirmation.how, how);
            EXPECT_EQ(confirmation.data, data);
        }
    }
    EXPECT_FALSE(kernel.transfer_error(0ms)) << "the kernel reported a failed transfer";
}

TEST_F(KernelPeersTest, AddressContestsWithAKernelNodeEndTheSameOnBothSides) {
    constexpr std::uint64_t kLower = 0x0000'0000'0000'0010ULL;  // wins against ours
    constexpr std::uint64_t kHigher = 0x00B0'0000'0000'0010ULL;
    using Claims = std::vector<std::pair<std::uint8_t, std::uint64_t>>;
    struct Case {
        const char* what;
        std::uint8_t address;
        std::uint64_t kernel_name;
        bool kernel_first;  // the kernel node holds the address before ours claims it
        Claims claims;      // the Address Claimed frames on the bus: source, NAME
    };
    const Case cases[] = {
        {"the kernel node holds it, ours is lower and takes it",
         0x81,
         kHigher,
         true,
         {{0x81, kHigher}, {0x81, kOurName}, {kNullAddress, kHigher}}},
        {"the kernel node holds it and defends it",
         0x82,
         kLower,
         true,
         {{0x82, kLower}, {0x82, kOurName}, {0x82, kLower}, {kNullAddress, kOurName}}},
        {"ours holds it, the kernel node is lower and takes it",
         0x83,
         kLower,
         false,
         {{0x83, kOurName}, {0x83, kLower}, {kNullAddress, kOurName}}},
        {"ours holds it and defends it",
         0x84,
         kHigher,
         false,
         {{0x84, kOurName}, {0x84, kHigher}, {0x84, kOurName}, {kNullAddress, kHigher}}},
    };
    BusCapture bus(ifindex());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool ours_wins = kOurName < c.kernel_name;
        const std::size_t mark = bus.size();
        const KernelNode node(ifindex(), c.kernel_name, c.address);
        // A single frame from the kernel node: refused while the kernel does not give its
        // NAME the address.
        const auto kernel_sends = [&] { return node.send(kGlobal, kPgnProprietaryB, {c.address}); };
        // The kernel node plays its part as J1939-81 asks of a node that cannot change its
        // address: it claims again against a higher NAME, and gives up against a lower one.
        const auto contend = [&](const std::stop_token& stop) {
            while (!stop.stop_requested()) {
                const auto contender = node.receive(
                    [&](const KernelMessage& m) {
                        return m.pgn == kPgnAddressClaimed && m.source == c.address &&
                               name_of(m.data) != node.name();
                    },
                    50ms);
                if (contender && node.name() < name_of(contender->data)) {
                    EXPECT_EQ(node.claim(), 0);
                } else if (contender) {
                    EXPECT_EQ(node.cannot_claim(), 0);
                    return;
                }
            }
        };
        std::jthread kernel_side;
        short ours = -1;
        if (c.kernel_first) {
            ASSERT_EQ(node.claim(), 0);
            ASSERT_TRUE(eventually([&] { return kernel_sends() == 0; }))
                << "the kernel never gave its node the address";
            kernel_side = std::jthread(contend);
            ours = client(std::nullopt);
            EXPECT_EQ(protect(ours, c.address, kOurName), ours_wins ? 0 : kErrAddressLost);
        } else {
            ours = client(c.address);
            node.drain();  // the node starts now: our claim is past
            kernel_side = std::jthread(contend);
            ASSERT_EQ(node.claim(), 0);
        }
        const auto [last_source, last_name] = c.claims.back();
        ASSERT_TRUE(bus.wait_for(mark, [&](const Frame& f) {
            return f.extended && f.pgn() == kPgnAddressClaimed && f.source() == last_source &&
                   name_of(f.data) == last_name;
        })) << "the contest did not end";

        // Our standing: a transfer needs a claimed address, and goes out from it.
        const std::size_t before_transfer = bus.size();
        EXPECT_EQ(
            send(ours, j1939_message(kPgnDm1, 6 | kToGlobal, c.address, kGlobal, pattern(9, 0))),
            ours_wins ? 0 : kErrMessageTooLong);
        if (ours_wins) {
            EXPECT_TRUE(
                check_transfer(bus, before_transfer, c.address, kGlobal, kPgnDm1, pattern(9, 0)));
        }
        // The kernel's: it struck the loser's NAME from its table.
        if (ours_wins) {
            EXPECT_EQ(kernel_sends(), EADDRNOTAVAIL);
        } else {
            EXPECT_TRUE(eventually([&] { return kernel_sends() == 0; }));
        }
        kernel_side = {};
        EXPECT_EQ(bus.claims(mark), c.claims);
        for (const Frame& f : bus.since(mark)) {
            if (f.extended && f.pgn() == kPgnAddressClaimed) {
                EXPECT_EQ(f.id, j1939_id(6, kPgnAddressClaimed, f.source(), kGlobal))
                    << describe(f);
            }
        }
        EXPECT_EQ(disconnect(ours), 0);
    }
}

TEST_F(KernelPeersTest, APeerSilentAfterOneCtsIsAbortedAfterT3AndNeverConfirmed) {
    constexpr std::uint8_t kSilent = 0xA0;
    constexpr auto kT3 = 1250ms;
    BusCapture bus(ifindex());
    RawPeer peer(ifindex());
    const short ours = client();
    ASSERT_GE(ours, 0);
    ASSERT_EQ(command(ours, 16, {1}), 0);
    const Bytes data = pattern(100, 0x42);  // 15 packets
    for (const std::uint8_t granted : {2, 15}) {
        SCOPED_TRACE(::testing::Message() << "one CTS for " << int{granted} << " of 15 packets");
        const std::size_t mark = bus.size();
        ASSERT_EQ(send(ours, j1939_message(kPgnProprietaryA, 6, kOurAddress, kSilent, data)), 0);
        ASSERT_TRUE(bus.wait_for(mark, control(kPgnTpCm, kOurAddress, kSilent, 0x10)));
        peer.send(j1939_id(7, kPgnTpCm, kSilent, kOurAddress),
                  {0x11, granted, 1, 0xFF, 0xFF, 0x00, 0xEF, 0x00});
        const auto abort = bus.wait_for(mark, control(kPgnTpCm, kOurAddress, kSilent, 0xFF));
        ASSERT_TRUE(abort.has_value()) << "no abort";
        // Reason 3 (timeout), from the sender (role 0), for the transfer's PGN.
        EXPECT_EQ(abort->data, (Bytes{0xFF, 3, 0, 0xFF, 0xFF, 0x00, 0xEF, 0x00}));
        EXPECT_EQ(abort->id, j1939_id(7, kPgnTpCm, kOurAddress, kSilent));

        // The granted packets went out, and the abort one T3 after the last of them.
        std::vector<Frame> packets;
        for (const Frame& f : bus.since(mark)) {
            if (f.is(kPgnTpDt, kOurAddress, kSilent)) {
                packets.push_back(f);
            }
        }
        ASSERT_EQ(packets.size(), granted);
        Bytes padded = data;
        padded.resize(15 * 7, 0xFF);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            Bytes expected{static_cast<std::uint8_t>(i + 1)};
            expected.insert(expected.end(), padded.begin() + static_cast<std::ptrdiff_t>(7 * i),
                            padded.begin() + static_cast<std::ptrdiff_t>(7 * i + 7));
            EXPECT_EQ(packets[i].data, expected);
        }
        // The kernel's stack, which holds no address here, stays out of it: the only frame
        // from the silent address is our peer's CTS.
        std::size_t from_silent = 0;
        for (const Frame& f : bus.since(mark)) {
            from_silent += f.extended && f.source() == kSilent ? 1 : 0;
        }
        EXPECT_EQ(from_silent, 1u);
        const auto waited = std::chrono::nanoseconds(abort->ns - packets.back().ns);
        std::printf("abort %lld ms after the last packet\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
        EXPECT_GE(waited, kT3 - 20ms);
        EXPECT_LT(waited, kT3 + 500ms);

        // The application never reads a confirmation of the failed transfer: the next thing
        // it reads is the confirmation of the next message.
        const Bytes single{1, 2, 3, 4, 5, 6, 7, granted};
        ASSERT_EQ(send(ours, j1939_message(kPgnProprietaryA, 6, kOurAddress, kSilent, single)), 0);
        const J1939Read next = read(ours, true);
        EXPECT_EQ(next.echo, 1);
        EXPECT_EQ(next.data, single);
        EXPECT_TRUE(log_contains("timed out")) << "the library's log says nothing of it";
    }
}

TEST_F(KernelPeersTest, AnExtendedTransferIsNotTakenAndTheClientCarriesOn) {
    BusCapture bus(ifindex());
    const KernelNode kernel(ifindex(), J1939_NO_NAME, kKernelAddress);
    const short ours = client();
    ASSERT_GE(ours, 0);
    const Bytes big = pattern(2000, 0x33);
    const std::size_t mark = bus.size();
    ASSERT_EQ(kernel.send(kOurAddress, kPgnProprietaryA, big), 0);

    // The kernel announces it with an ETP RTS (ETP.CM, the size in four bytes) and, as no
    // CTS comes, gives up with an abort and an error on its socket.
    const auto rts = bus.wait_for(mark, control(kPgnEtpCm, kKernelAddress, kOurAddress, 0x14));
    ASSERT_TRUE(rts.has_value()) << "no ETP RTS";
    EXPECT_EQ(rts->data, (Bytes{0x14, 0xD0, 0x07, 0x00, 0x00, 0x00, 0xEF, 0x00}));
    const auto abort = bus.wait_for(mark, control(kPgnEtpCm, kKernelAddress, kOurAddress, 0xFF));
    ASSERT_TRUE(abort.has_value()) << "the kernel never gave up";
    EXPECT_EQ(abort->data[1], 3) << "not a timeout";
    const auto error = kernel.transfer_error();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->second, J1939_EE_INFO_TX_ABORT);
    std::printf("kernel: ETP abort %s; errno %d (%s)\n", describe(*abort).c_str(), error->first,
                std::strerror(error->first));

    // Ours answered nothing, and its application read the two ETP.CM frames as the single
    // frames they are, and none of the data.
    std::vector<Frame> answers;
    for (const Frame& f : bus.since(mark)) {
        if (f.extended && f.source() == kOurAddress) {
            answers.push_back(f);
        }
    }
    EXPECT_TRUE(answers.empty()) << "ours answered " << describe(answers.front());
    // The abort seen on the bus may not have reached the client's queue yet: both are read
    // as they come, and then nothing more waits.
    std::vector<J1939Read> delivered{read(ours, false), read(ours, false)};
    for (J1939Read r = read(ours, false, false); r.result > 0; r = read(ours, false, false)) {
        delivered.push_back(r);
    }
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].pgn, kPgnEtpCm);
    EXPECT_EQ(delivered[0].data, rts->data);
    EXPECT_EQ(delivered[1].pgn, kPgnEtpCm);
    EXPECT_EQ(delivered[1].data, abort->data);

    // Both keep working: a transfer each way.
    const Bytes after = pattern(100, 0x99);
    ASSERT_EQ(kernel.send(kOurAddress, kPgnProprietaryA, after), 0);
    const J1939Read r = read(ours, false);
    EXPECT_EQ(r.pgn, kPgnProprietaryA);
    EXPECT_EQ(r.data, after);
    ASSERT_EQ(send(ours, j1939_message(kPgnProprietaryA, 6, kOurAddress, kKernelAddress, after)),
              0);
    const auto got =
        kernel.receive([](const KernelMessage& m) { return m.pgn == kPgnProprietaryA; });
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->data, after);
}

}  // namespace
