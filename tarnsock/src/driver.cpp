#include "driver.hpp"

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link_control.hpp"
#include "platform/clock.hpp"

namespace tarnsock {

namespace {

constexpr tarnStatus kOk = 0;
constexpr tarnStatus kErrParam = -1;
constexpr tarnStatus kErrNoMsg = -2;
constexpr tarnStatus kErrNotFound = -3;
constexpr tarnStatus kErrNoHandles = -9;
constexpr tarnStatus kErrInvHandle = -10;
constexpr tarnStatus kErrTimeout = -7;
constexpr tarnStatus kErrTxBufOfl = -13;
constexpr tarnStatus kErrHardware = -15;
constexpr tarnStatus kErrNotSupported = -19;
constexpr tarnStatus kErrNoCard = -26;
constexpr tarnStatus kErrNoAccess = -31;

constexpr std::uint32_t kVirtualClockHz = 80'000'000;
constexpr const char* kSysfsNet = "/sys/class/net";

// Kept as plain data: thread_local objects must be trivially destructible here.
thread_local char error_detail[512];

bool debug_enabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("TARNSOCK_DEBUG");
        return value != nullptr && *value != '\0' && *value != '0';
    }();
    return enabled;
}

// Failures say why in the caller's thread, for its log, and on stderr when asked for.
tarnStatus fail(tarnStatus status, const std::string& why) {
    set_error_detail(why);
    if (debug_enabled()) {
        std::fprintf(stderr, "tarnsock: %s\n", why.c_str());
    }
    return status;
}

std::int64_t realtime_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Virtual interfaces (vcan, vxcan) have no controller: no bit timing, state or counters,
// and libsocketcan would only complain about them on stderr.
bool has_controller(const InterfaceInfo& iface) {
    return iface.kind != DeviceKind::Virtual;
}

std::uint32_t clock_hz(const InterfaceInfo& iface) {
    return has_controller(iface) ? link_clock_hz(iface.name).value_or(kVirtualClockHz)
                                 : kVirtualClockHz;
}

// "can0: USB 1d50:606f, serial 004C00435652" and the like, for listings.
std::string describe(const InterfaceInfo& iface) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04x:%04x", iface.vendor, iface.product);
    switch (iface.kind) {
        case DeviceKind::Usb:
            return iface.name + ": USB " + ids + ", " +
                   (iface.device_text.rfind("port ", 0) == 0 ? iface.device_text
                                                             : "serial " + iface.device_text);
        case DeviceKind::Pci:
            return iface.name + ": PCI " + ids + " at " + iface.device_text;
        case DeviceKind::Virtual:
            return iface.name + ": virtual, no controller";
        default:
            return iface.name + ": " + iface.device_text;
    }
}

bool valid_fd_length(std::uint32_t n) {
    return n <= 8 || n == 12 || n == 16 || n == 20 || n == 24 || n == 32 || n == 48 || n == 64;
}

void write_eventfd(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void drain_eventfd(int fd) {
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(fd, &value, sizeof value);
}

// Receives all frames, or none while the handle is off bus.
void set_receiving(int fd, bool all) {
    if (all) {
        const can_filter everything{0, 0};
        ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &everything, sizeof everything);
    } else {
        ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0);
    }
}

EchoKey key_of(int ifindex, const canfd_frame& frame) {
    EchoKey key;
    key.ifindex = ifindex;
    key.can_id = frame.can_id;
    key.length = frame.len;
    std::memcpy(key.data, frame.data, std::min<std::size_t>(frame.len, 64));
    return key;
}

std::string lock_file_name(const InterfaceInfo& iface) {
    char name[128];
    std::snprintf(name, sizeof name, "/dev/shm/tarnsock-%llx-%llu-%u.lock",
                  static_cast<unsigned long long>(iface.ean),
                  static_cast<unsigned long long>(iface.serial), iface.channel);
    return name;
}

}  // namespace

void set_error_detail(const std::string& text) {
    std::snprintf(error_detail, sizeof error_detail, "%s", text.c_str());
}

std::uint32_t copy_error_detail(char* buffer, std::uint32_t size) {
    const auto length = static_cast<std::uint32_t>(std::strlen(error_detail));
    if (buffer != nullptr && size > 0) {
        std::snprintf(buffer, size, "%s", error_detail);
    }
    return length;
}

Handle::~Handle() {
    for (int fd : {fd, wake_fd, lock_fd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

Driver& Driver::instance() {
    // Never destroyed, so that it outlives every caller at exit.
    static Driver* const driver = new Driver();
    return *driver;
}

// The ring is one per user: shared objects are private to their user, so programs of
// another user on the same interface count as other programs.
Driver::Driver() : ring_(EchoRing::open("tarnsock_sent_frames_" + std::to_string(::getuid()))) {}

std::shared_ptr<Handle> Driver::find(tarnHandle handle) {
    if (handle < 0 || static_cast<std::size_t>(handle) >= kMaxHandles) {
        return nullptr;
    }
    std::lock_guard lock(table_mutex_);
    return handles_[static_cast<std::size_t>(handle)];
}

// ---- enumeration ----

tarnStatus Driver::enumerate(std::int32_t* count) {
    if (count == nullptr) {
        return kErrParam;
    }
    std::vector<InterfaceInfo> found = list_interfaces(kSysfsNet);
    std::lock_guard lock(table_mutex_);
    interfaces_ = std::move(found);
    *count = static_cast<std::int32_t>(interfaces_.size());
    return kOk;
}

tarnStatus Driver::channel_data(std::int32_t channel, std::int32_t item, void* buffer,
                                std::uint32_t size) {
    InterfaceInfo iface;
    {
        std::lock_guard lock(table_mutex_);
        if (channel < 0 || static_cast<std::size_t>(channel) >= interfaces_.size()) {
            return kErrNotFound;
        }
        iface = interfaces_[static_cast<std::size_t>(channel)];
    }
    auto put = [&](const auto& value) {
        if (buffer == nullptr || size < sizeof value) {
            return kErrParam;
        }
        std::memcpy(buffer, &value, sizeof value);
        return kOk;
    };
    switch (item) {
        case TARN_CHANNELDATA_CARD_NUMBER:
            return put(std::uint32_t{iface.card});
        case TARN_CHANNELDATA_CHAN_NO_ON_CARD:
            return put(std::uint32_t{iface.channel});
        case TARN_CHANNELDATA_CARD_SERIAL_NO:
            return put(std::uint64_t{iface.serial});
        case TARN_CHANNELDATA_CARD_UPC_NO:
            return put(std::uint64_t{iface.ean});
        case TARN_CHANNELDATA_BUS_PARAM_LIMITS: {
            const TimingLimits l = has_controller(iface)
                                       ? link_timing_limits(iface.name).value_or(TimingLimits{})
                                       : TimingLimits{};
            tarnBusParamLimits limits{};
            limits.version = 2;
            const auto i = [](std::uint32_t v) { return static_cast<std::int32_t>(v); };
            limits.nominal_min = {i(1 + l.tseg1_min + l.tseg2_min),
                                  i(l.tseg1_min),
                                  i(l.tseg2_min),
                                  1,
                                  0,
                                  i(l.brp_min)};
            limits.nominal_max = {i(1 + l.tseg1_max + l.tseg2_max),
                                  i(l.tseg1_max),
                                  i(l.tseg2_max),
                                  i(l.sjw_max),
                                  0,
                                  i(l.brp_max)};
            limits.data_min = limits.nominal_min;
            limits.data_max = limits.nominal_max;
            return put(limits);
        }
        case TARN_CHANNELDATA_DEVDESCR_ASCII: {
            const std::string text = describe(iface);
            if (buffer == nullptr || size <= text.size()) {
                return kErrParam;
            }
            std::memcpy(buffer, text.c_str(), text.size() + 1);
            return kOk;
        }
        case TARN_CHANNELDATA_CLOCK_INFO: {
            const std::uint32_t hz = clock_hz(iface);
            return put(tarnClockInfo{1, static_cast<std::int32_t>(hz), 1, 0, 0});
        }
        default:
            return kErrNotSupported;
    }
}

// ---- handles ----

tarnHandle Driver::open(std::int32_t channel, std::int32_t flags) {
    auto h = std::make_shared<Handle>();
    {
        std::lock_guard lock(table_mutex_);
        if (channel < 0 || static_cast<std::size_t>(channel) >= interfaces_.size()) {
            return kErrNotFound;
        }
        h->iface = interfaces_[static_cast<std::size_t>(channel)];
    }
    h->open_flags = flags;
    const InterfaceInfo& iface = h->iface;
    const unsigned ifindex = if_nametoindex(iface.name.c_str());
    if (ifindex == 0 || static_cast<int>(ifindex) != iface.ifindex) {
        return fail(kErrNotFound, iface.name + " is gone");
    }
    if ((flags & TARN_OPEN_CAN_FD) && !iface.fd_capable) {
        return fail(kErrNotSupported,
                    iface.name + " does not carry CAN FD frames (its MTU is not 72)");
    }

    // Exclusive opens, across processes: a shared or exclusive flock on a file per channel.
    h->lock_fd = ::open(lock_file_name(iface).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (h->lock_fd >= 0) {
        ::fchmod(h->lock_fd, 0666);  // whoever comes next may be another user
        const bool exclusive = (flags & TARN_OPEN_EXCLUSIVE) != 0;
        if (!(flags & TARN_OPEN_OVERRIDE_EXCLUSIVE) &&
            ::flock(h->lock_fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            return fail(kErrNoAccess, iface.name + (exclusive ? " is open in another program"
                                                              : " is open exclusively"));
        }
    }

    h->fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
    h->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (h->fd < 0 || h->wake_fd < 0) {
        return fail(kErrHardware, std::string("no CAN socket: ") + std::strerror(errno));
    }
    const int one = 1;
    const can_err_mask_t errors = CAN_ERR_MASK;
    ::setsockopt(h->fd, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &one, sizeof one);
    ::setsockopt(h->fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors);
    ::setsockopt(h->fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    ::setsockopt(h->fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
    // Room for bursts while the reader is busy: about 1000 frames where the system allows
    // it (the forced size needs CAP_NET_ADMIN; the plain one is capped by rmem_max).
    const int receive_buffer = 1 << 20;
    if (::setsockopt(h->fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer) !=
        0) {
        ::setsockopt(h->fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    if (flags & TARN_OPEN_CAN_FD) {
        ::setsockopt(h->fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &one, sizeof one);
    }
    set_receiving(h->fd, false);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = iface.ifindex;
    if (::bind(h->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail(errno == ENODEV ? kErrNotFound : kErrHardware,
                    "cannot bind to " + iface.name + ": " + std::strerror(errno));
    }

    std::lock_guard lock(table_mutex_);
    for (std::size_t slot = 0; slot < kMaxHandles; ++slot) {
        if (!handles_[slot]) {
            handles_[slot] = h;
            ensure_watcher();
            return static_cast<tarnHandle>(slot);
        }
    }
    return kErrNoHandles;
}

tarnStatus Driver::close(tarnHandle handle) {
    std::shared_ptr<Handle> h;
    {
        std::lock_guard lock(table_mutex_);
        if (handle < 0 || static_cast<std::size_t>(handle) >= kMaxHandles ||
            !handles_[static_cast<std::size_t>(handle)]) {
            return kErrInvHandle;
        }
        h = std::move(handles_[static_cast<std::size_t>(handle)]);
    }
    h->closed = true;
    write_eventfd(h->wake_fd);  // a read blocked on the socket ends
    h->event.set();
    {
        // Frames still queued go out first, as far as the kernel takes them now.
        std::lock_guard lock(h->mutex);
        flush_locked(*h);
    }
    stop_watcher_if_idle();
    // The socket closes with the last reference, once calls still inside have returned.
    return kOk;
}

tarnStatus Driver::unload() {
    std::array<std::shared_ptr<Handle>, kMaxHandles> all;
    {
        std::lock_guard lock(table_mutex_);
        all.swap(handles_);
    }
    for (auto& h : all) {
        if (h) {
            h->closed = true;
            write_eventfd(h->wake_fd);
            h->event.set();
        }
    }
    stop_watcher_if_idle();
    return kOk;
}

// ---- bit timing ----

tarnStatus Driver::set_bus_params(tarnHandle handle, std::int32_t bitrate, std::uint32_t tseg1,
                                  std::uint32_t tseg2, std::uint32_t sjw) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    if (bitrate <= 0 || bitrate > 1'000'000 || tseg2 == 0) {
        return kErrParam;
    }
    const std::uint32_t sample_point = (1 + tseg1) * 1000 / (1 + tseg1 + tseg2);
    const InterfaceInfo& iface = h->iface;
    std::lock_guard lock(h->mutex);
    if (h->on_bus) {
        return fail(kErrNoAccess, "set the bit rate before going on bus");
    }
    if (has_controller(iface)) {
        // A controller that is down may have no timing yet (and libsocketcan would say so
        // on stderr): it is asked only when up.
        const bool up_now = interface_up(kSysfsNet, iface).value_or(false);
        const std::optional<LinkTiming> current = up_now ? link_timing(iface.name) : std::nullopt;
        const bool up = current.has_value();
        if (up) {
            // Others may be using the interface: taking it down to change the rate would
            // cut them off. Only the rate it runs at is accepted.
            if (current->bitrate != static_cast<std::uint32_t>(bitrate)) {
                return fail(kErrNoAccess,
                            iface.name + " is up at " + std::to_string(current->bitrate) +
                                " bit/s; " + std::to_string(bitrate) +
                                " bit/s refused. An administrator changes it with: " +
                                timing_command(iface.name, static_cast<std::uint32_t>(bitrate),
                                               sample_point, true));
            }
        } else if (!may_configure_links()) {
            return fail(kErrHardware,
                        iface.name +
                            " is down, and this program may not configure it. An "
                            "administrator brings it up with: " +
                            timing_command(iface.name, static_cast<std::uint32_t>(bitrate),
                                           sample_point, false));
        } else if (!set_link_timing(iface.name, static_cast<std::uint32_t>(bitrate),
                                    sample_point)) {
            return fail(kErrParam, iface.name + " refused " + std::to_string(bitrate) +
                                       " bit/s at sample point " +
                                       std::to_string(sample_point / 10.0) + " %");
        }
    }
    h->bitrate = bitrate;
    h->tseg1 = tseg1;
    h->tseg2 = tseg2;
    h->sjw = sjw;
    return kOk;
}

tarnStatus Driver::set_bus_params_tq(tarnHandle handle, const tarnBusParamsTq* nominal,
                                     const tarnBusParamsTq* data) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    if (nominal == nullptr || nominal->tq <= 0 || nominal->prescaler <= 0) {
        return kErrParam;
    }
    if (data != nullptr) {
        return fail(kErrNotSupported, "the CAN FD data phase is set by the administrator");
    }
    const std::uint32_t hz = clock_hz(h->iface);
    const auto bitrate = static_cast<std::int32_t>(
        hz / static_cast<std::uint32_t>(nominal->prescaler * nominal->tq));
    return set_bus_params(
        handle, bitrate, static_cast<std::uint32_t>(nominal->prop + nominal->phase1),
        static_cast<std::uint32_t>(nominal->phase2), static_cast<std::uint32_t>(nominal->sjw));
}

tarnStatus Driver::get_bus_params(tarnHandle handle, bool data_phase, std::int32_t* bitrate,
                                  std::uint32_t* tseg1, std::uint32_t* tseg2, std::uint32_t* sjw,
                                  std::uint32_t* samples, std::uint32_t* sync_mode) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    if (data_phase) {
        return kErrNotSupported;
    }
    LinkTiming t;
    if (auto current = has_controller(h->iface) && interface_up(kSysfsNet, h->iface).value_or(false)
                           ? link_timing(h->iface.name)
                           : std::nullopt) {
        t = *current;
    } else {
        std::lock_guard lock(h->mutex);
        t = LinkTiming{static_cast<std::uint32_t>(h->bitrate), 0, h->tseg1, h->tseg2, h->sjw};
    }
    if (bitrate != nullptr) {
        *bitrate = static_cast<std::int32_t>(t.bitrate);
    }
    if (tseg1 != nullptr) {
        *tseg1 = t.tseg1;
    }
    if (tseg2 != nullptr) {
        *tseg2 = t.tseg2;
    }
    if (sjw != nullptr) {
        *sjw = t.sjw;
    }
    if (samples != nullptr) {
        *samples = 1;
    }
    if (sync_mode != nullptr) {
        *sync_mode = 0;
    }
    return kOk;
}

// ---- bus on and off ----

tarnStatus Driver::set_output_control(tarnHandle handle, std::uint32_t mode) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    if (mode != TARN_DRIVERTYPE_SILENT && mode != TARN_DRIVERTYPE_NORMAL) {
        return kErrParam;
    }
    // A silent handle sends nothing; the interface itself goes on acknowledging, since
    // listen-only is a mode of the whole interface that only an administrator sets.
    std::lock_guard lock(h->mutex);
    h->silent = mode == TARN_DRIVERTYPE_SILENT;
    flush_locked(*h);
    return kOk;
}

tarnStatus Driver::bus_on(tarnHandle handle, bool on) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    if (h->gone) {
        return kErrNoCard;
    }
    const InterfaceInfo& iface = h->iface;
    std::lock_guard lock(h->mutex);
    if (!on) {
        h->on_bus = false;
        set_receiving(h->fd, false);
        return kOk;
    }
    if (h->on_bus) {
        return kOk;
    }
    const std::optional<bool> up = interface_up(kSysfsNet, iface);
    if (!up) {
        h->gone = true;
        return fail(kErrNoCard, iface.name + " is gone");
    }
    if (!has_controller(iface)) {
        if (!*up) {
            return fail(kErrHardware, iface.name +
                                          " is down. An administrator brings it up "
                                          "with: ip link set " +
                                          iface.name + " up");
        }
    } else {
        const LinkState state = link_state(iface.name);
        const bool privileged = may_configure_links();
        if (!*up || state == LinkState::Stopped) {
            // Brought up with the timing set_bus_params gave it, where this program may.
            // A silent handle brings it up listen-only: nobody else is on it yet, and a
            // rate being tried must not disturb the bus.
            if (!privileged || h->bitrate == 0 || !set_link_listen_only(iface.name, h->silent) ||
                !start_link(iface.name)) {
                const auto rate = static_cast<std::uint32_t>(h->bitrate != 0 ? h->bitrate : 250000);
                return fail(kErrHardware, iface.name +
                                              " is down. An administrator brings it up with: " +
                                              timing_command(iface.name, rate, 0, false));
            }
        } else if (state == LinkState::BusOff && privileged) {
            restart_link(iface.name);
        }
    }
    // Frames that arrived while off bus are not for this handle.
    set_receiving(h->fd, true);
    {
        std::lock_guard rx(h->rx_mutex);
        alignas(canfd_frame) std::uint8_t scratch[sizeof(canfd_frame)];
        while (::recv(h->fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
        }
    }
    h->on_bus = true;
    h->bus_off = false;
    flush_locked(*h);
    if (!h->tx.empty()) {
        wake_watcher();
    }
    return kOk;
}

// ---- sending ----

tarnStatus Driver::write(tarnHandle handle, std::int32_t id, const void* data, std::uint32_t dlc,
                         std::uint32_t flags) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    if (h->gone) {
        return kErrNoCard;
    }
    const bool ext = (flags & TARN_MSG_EXT) != 0;
    if (id < 0 || (ext && id > 0x1FFFFFFF) || (!ext && id > 0x7FF)) {
        return kErrParam;
    }
    TxFrame tx{};
    canfd_frame frame{};
    frame.can_id = static_cast<canid_t>(id) | (ext ? CAN_EFF_FLAG : 0);
    if (flags & TARN_MSG_FDF) {
        if (!(h->open_flags & TARN_OPEN_CAN_FD) || !valid_fd_length(dlc) ||
            (flags & TARN_MSG_RTR)) {
            return kErrParam;
        }
        frame.len = static_cast<std::uint8_t>(dlc);
        frame.flags = CANFD_FDF | ((flags & TARN_MSG_BRS) ? CANFD_BRS : 0) |
                      ((flags & TARN_MSG_ESI) ? CANFD_ESI : 0);
        tx.size = CANFD_MTU;
    } else {
        if (dlc > 15 || (dlc > 8 && !(h->open_flags & TARN_OPEN_ACCEPT_LARGE_DLC))) {
            return kErrParam;
        }
        frame.len = static_cast<std::uint8_t>(std::min<std::uint32_t>(dlc, 8));
        if (flags & TARN_MSG_RTR) {
            frame.can_id |= CAN_RTR_FLAG;
        }
        tx.size = CAN_MTU;
    }
    const bool has_data = !(flags & TARN_MSG_RTR) && frame.len > 0;
    if (has_data) {
        if (data == nullptr) {
            return kErrParam;
        }
        std::memcpy(frame.data, data, frame.len);
    }
    std::memcpy(tx.bytes, &frame, sizeof frame);

    std::lock_guard lock(h->mutex);
    if (h->tx.size() >= kTxCapacity) {
        return kErrTxBufOfl;
    }
    h->tx.push_back(tx);
    flush_locked(*h);
    if (!h->tx.empty() && h->on_bus && !h->silent) {
        wake_watcher();  // it tries again while the kernel's queue is full
    }
    return kOk;
}

void Driver::flush_locked(Handle& h) {
    if (!h.on_bus || h.silent || h.gone) {
        return;
    }
    while (!h.tx.empty()) {
        const TxFrame& tx = h.tx.front();
        canfd_frame frame{};
        std::memcpy(&frame, tx.bytes, tx.size);
        if (ring_) {
            ring_->record(key_of(h.iface.ifindex, frame), realtime_ns());
        }
        if (::send(h.fd, tx.bytes, tx.size, MSG_DONTWAIT) == static_cast<ssize_t>(tx.size)) {
            h.tx.pop_front();
            continue;
        }
        const int error = errno;
        if (error == ENOBUFS || error == EAGAIN || error == EINTR) {
            return;  // the kernel's queue is full: the watcher tries again shortly
        }
        if (error == ENETDOWN || error == ENODEV || error == ENXIO) {
            h.gone = true;
            h.event.set();
            return;
        }
        // A frame the interface cannot carry: dropped, so that it does not block the rest.
        if (debug_enabled()) {
            std::fprintf(stderr, "tarnsock: %s: frame dropped: %s\n", h.iface.name.c_str(),
                         std::strerror(error));
        }
        h.tx.pop_front();
    }
}

tarnStatus Driver::write_sync(tarnHandle handle, std::uint32_t timeout_ms) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    const std::int64_t deadline =
        platform::monotonic_ns() + static_cast<std::int64_t>(timeout_ms) * 1'000'000;
    for (;;) {
        if (h->gone) {
            return kErrNoCard;
        }
        {
            std::lock_guard lock(h->mutex);
            flush_locked(*h);
            // Sent once the kernel has taken the frames: a socket does not tell when its
            // frames have left the controller.
            if (h->tx.empty()) {
                return kOk;
            }
        }
        if (platform::monotonic_ns() >= deadline || h->closed) {
            return kErrTimeout;
        }
        pollfd p{h->wake_fd, POLLIN, 0};
        ::poll(&p, 1, 1);  // the kernel's queue has room again within a frame time or so
    }
}

// ---- receiving ----

int Driver::receive_one(Handle& h, Received& out) {
    for (;;) {
        canfd_frame frame{};
        iovec iov{&frame, sizeof frame};
        alignas(
            cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(h.fd, &msg, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return 0;
            }
            if (errno == ENETDOWN || errno == ENODEV || errno == ENXIO) {
                h.gone = true;
                return fail(kErrNoCard, h.iface.name + " went down or away");
            }
            return fail(kErrHardware, h.iface.name + ": " + std::strerror(errno));
        }
        if (n != CAN_MTU && n != CANFD_MTU) {
            continue;
        }
        std::int64_t stamp = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET) {
                continue;
            }
            if (c->cmsg_type == SO_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                stamp = static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
            } else if (c->cmsg_type == SO_RXQ_OVFL) {
                std::uint32_t drops = 0;
                std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                if (drops != h.drops_seen) {
                    h.drops_seen = drops;
                    h.overflow_pending = true;
                    std::lock_guard lock(h.mutex);
                    h.overflow_status = true;
                }
            }
        }
        const std::int64_t now_real = realtime_ns();
        if (stamp == 0) {
            stamp = now_real;
        }

        std::uint32_t flags = 0;
        if (msg.msg_flags & MSG_CONFIRM) {
            // This socket's own frame, back from the interface: sent.
            if (!h.txack) {
                continue;
            }
            flags |= TARN_MSG_TXACK;
        } else if (msg.msg_flags & MSG_DONTROUTE) {
            // Sent on this host by another socket: another handle of this library (local
            // echo), or another program, which counts as a node on the bus.
            if (ring_ && ring_->sent_here(key_of(h.iface.ifindex, frame), stamp)) {
                if (!h.local_echo) {
                    continue;
                }
                if (h.local_txack) {
                    flags |= TARN_MSG_LOCAL_TXACK;
                }
            }
        }

        out = Received{};
        const std::int64_t mono = platform::monotonic_ns() - (now_real - stamp);
        out.time = static_cast<std::uint32_t>(static_cast<std::uint64_t>(mono / 1000));
        if (frame.can_id & CAN_ERR_FLAG) {
            std::lock_guard lock(h.mutex);
            if (frame.can_id & CAN_ERR_BUSOFF) {
                h.bus_off = true;
            }
            if (frame.can_id & CAN_ERR_RESTARTED) {
                h.bus_off = false;
            }
            if ((frame.can_id & CAN_ERR_CRTL) &&
                (frame.data[1] & (CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW))) {
                h.hw_overflow_pending = true;
                h.hw_overflow_status = true;
            }
            out.flags = TARN_MSG_ERROR_FRAME;
        } else {
            const bool ext = (frame.can_id & CAN_EFF_FLAG) != 0;
            out.id = static_cast<std::int32_t>(frame.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK));
            out.flags = flags | (ext ? TARN_MSG_EXT : TARN_MSG_STD);
            out.dlc = frame.len;
            if (n == CANFD_MTU) {
                out.flags |= TARN_MSG_FDF | ((frame.flags & CANFD_BRS) ? TARN_MSG_BRS : 0) |
                             ((frame.flags & CANFD_ESI) ? TARN_MSG_ESI : 0);
            } else if (frame.can_id & CAN_RTR_FLAG) {
                out.flags |= TARN_MSG_RTR;
            }
            if (!(frame.can_id & CAN_RTR_FLAG)) {
                std::memcpy(out.data, frame.data, std::min<std::size_t>(frame.len, 64));
            }
        }
        if (h.overflow_pending) {
            out.flags |= TARN_MSG_SW_OVERRUN;
            h.overflow_pending = false;
        }
        if (h.hw_overflow_pending && !(out.flags & TARN_MSG_ERROR_FRAME)) {
            out.flags |= TARN_MSG_HW_OVERRUN;
            h.hw_overflow_pending = false;
        }
        return 1;
    }
}

tarnStatus Driver::read(tarnHandle handle, std::int32_t* id, void* data, std::uint32_t* dlc,
                        std::uint32_t* flags, std::uint32_t* time, std::uint32_t timeout_ms) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    const std::int64_t deadline =
        platform::monotonic_ns() + static_cast<std::int64_t>(timeout_ms) * 1'000'000;
    std::lock_guard rx(h->rx_mutex);
    for (;;) {
        if (h->closed) {
            return kErrInvHandle;
        }
        if (h->gone) {
            return kErrNoCard;
        }
        Received got;
        const int r = receive_one(*h, got);
        if (r < 0) {
            return r;
        }
        if (r == 1) {
            if (id != nullptr) {
                *id = got.id;
            }
            if (data != nullptr && !(got.flags & TARN_MSG_ERROR_FRAME)) {
                std::memcpy(data, got.data, std::min<std::uint32_t>(got.dlc, 64));
            }
            if (dlc != nullptr) {
                *dlc = got.dlc;
            }
            if (flags != nullptr) {
                *flags = got.flags;
            }
            if (time != nullptr) {
                *time = got.time;
            }
            return kOk;
        }
        const std::int64_t left = deadline - platform::monotonic_ns();
        if (timeout_ms == 0 || left <= 0) {
            rearm(*h);
            return kErrNoMsg;
        }
        pollfd p[2] = {{h->fd, POLLIN, 0}, {h->wake_fd, POLLIN, 0}};
        ::poll(p, 2, static_cast<int>((left + 999'999) / 1'000'000));
    }
}

tarnStatus Driver::read_status(tarnHandle handle, std::uint32_t* status) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    if (status == nullptr) {
        return kErrParam;
    }
    std::uint32_t word = 0;
    switch (has_controller(h->iface) ? link_state(h->iface.name) : LinkState::Unknown) {
        case LinkState::Warning:
            word = TARN_STAT_ERROR_WARNING | TARN_STAT_ERROR_ACTIVE;
            break;
        case LinkState::Passive:
            word = TARN_STAT_ERROR_PASSIVE;
            break;
        case LinkState::BusOff:
        case LinkState::Stopped:
            word = TARN_STAT_BUS_OFF;
            break;
        default:
            word = TARN_STAT_ERROR_ACTIVE;
            break;
    }
    if (auto counters =
            has_controller(h->iface) ? link_error_counters(h->iface.name) : std::nullopt) {
        word |= (counters->tx > 0 ? TARN_STAT_TXERR : 0) | (counters->rx > 0 ? TARN_STAT_RXERR : 0);
    }
    pollfd p{h->fd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        word |= TARN_STAT_RX_PENDING;
    }
    std::lock_guard lock(h->mutex);
    if (h->bus_off) {
        word =
            (word & ~(TARN_STAT_ERROR_ACTIVE | TARN_STAT_ERROR_WARNING | TARN_STAT_ERROR_PASSIVE)) |
            TARN_STAT_BUS_OFF;
    }
    if (!h->tx.empty()) {
        word |= TARN_STAT_TX_PENDING;
    }
    if (h->overflow_status) {
        word |= TARN_STAT_SW_OVERRUN;
        h->overflow_status = false;
    }
    if (h->hw_overflow_status) {
        word |= TARN_STAT_HW_OVERRUN;
        h->hw_overflow_status = false;
    }
    *status = word;
    return kOk;
}

// ---- settings ----

tarnStatus Driver::io_ctl(tarnHandle handle, std::uint32_t function, void* buffer,
                          std::uint32_t size) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    if (function == TARN_IOCTL_GET_EVENTHANDLE) {
        if (buffer == nullptr || size < sizeof(void*)) {
            return kErrParam;
        }
        void* native = &h->event;
        std::memcpy(buffer, &native, sizeof native);
        h->watched = true;
        rearm(*h);
        return kOk;
    }
    if (buffer == nullptr || size < sizeof(std::uint32_t)) {
        return kErrParam;
    }
    std::uint32_t value = 0;
    std::memcpy(&value, buffer, sizeof value);
    switch (function) {
        case TARN_IOCTL_SET_TIMER_SCALE:
            return value == 1 ? kOk : kErrParam;
        case TARN_IOCTL_SET_TXACK:
            h->txack = value != 0;
            return kOk;
        case TARN_IOCTL_SET_LOCAL_TXACK:
            h->local_txack = value != 0;
            return kOk;
        case TARN_IOCTL_SET_LOCAL_TXECHO:
            h->local_echo = value != 0;
            return kOk;
        default:
            return kErrNotSupported;
    }
}

tarnStatus Driver::handle_data(tarnHandle handle, std::int32_t item, void* buffer,
                               std::uint32_t size) {
    auto h = find(handle);
    if (!h) {
        return kErrInvHandle;
    }
    auto put = [&](const auto& value) {
        if (buffer == nullptr || size < sizeof value) {
            return kErrParam;
        }
        std::memcpy(buffer, &value, sizeof value);
        return kOk;
    };
    switch (item) {
        case TARN_HANDLEDATA_CAPABILITIES:
            // Bit rate and sample point, which is what the kernel takes.
            return put(std::uint32_t{TARN_CAPABILITY_LEGACY_BUS_PARAMS});
        case TARN_HANDLEDATA_FIRMWARE_REV: {
            // The kernel's release stands for the firmware: 6.1.0 -> 6.1, build 0.
            utsname u{};
            unsigned major = 0, minor = 0, patch = 0;
            if (::uname(&u) == 0) {
                std::sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
            }
            return put(static_cast<std::uint64_t>(major) << 48 |
                       static_cast<std::uint64_t>(minor) << 32 | (patch & 0xFFFF));
        }
        case TARN_HANDLEDATA_BUS_TYPE: {
            std::uint32_t type = 0;
            if (h->iface.kind == DeviceKind::Pci) {
                type = TARN_BUSTYPE_PCI;
            } else if (h->iface.kind == DeviceKind::Usb) {
                type = TARN_BUSTYPE_USB;
            }
            return put(type);
        }
        case TARN_HANDLEDATA_CLOCK_INFO: {
            const std::uint32_t hz = clock_hz(h->iface);
            return put(tarnClockInfo{1, static_cast<std::int32_t>(hz), 1, 0, 0});
        }
        default:
            return kErrNotSupported;
    }
}

// ---- the watcher thread ----

void Driver::rearm(Handle& h) {
    if (h.watched && !h.armed.exchange(true)) {
        wake_watcher();
    }
}

void Driver::wake_watcher() {
    if (watcher_wake_fd_ >= 0) {
        write_eventfd(watcher_wake_fd_);
    }
}

void Driver::ensure_watcher() {
    if (watcher_.joinable()) {
        return;
    }
    if (watcher_wake_fd_ < 0) {
        watcher_wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    if (netlink_fd_ < 0) {
        netlink_fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = RTMGRP_LINK;
        if (netlink_fd_ >= 0 &&
            ::bind(netlink_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(netlink_fd_);
            netlink_fd_ = -1;
        }
    }
    watcher_stop_ = std::make_shared<std::atomic<bool>>(false);
    auto stop = watcher_stop_;
    watcher_ = platform::Thread("tarnsock_watch", platform::ThreadPriority::Normal,
                                [this, stop] { watch(*stop); });
}

void Driver::stop_watcher_if_idle() {
    platform::Thread ending;
    {
        std::lock_guard lock(table_mutex_);
        for (const auto& h : handles_) {
            if (h) {
                return;
            }
        }
        if (!watcher_.joinable()) {
            return;
        }
        watcher_stop_->store(true);
        ending = std::move(watcher_);
    }
    wake_watcher();
    ending.join();
}

void Driver::link_changed(int ifindex, bool removed) {
    std::lock_guard lock(table_mutex_);
    for (const auto& h : handles_) {
        if (h && h->iface.ifindex == ifindex) {
            if (removed) {
                h->gone = true;
            }
            h->event.set();
        }
    }
}

void Driver::watch(const std::atomic<bool>& stop) {
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Handle>> polled;
    std::vector<std::shared_ptr<Handle>> sending;
    while (!stop.load()) {
        fds.clear();
        polled.clear();
        sending.clear();
        fds.push_back({watcher_wake_fd_, POLLIN, 0});
        fds.push_back({netlink_fd_, POLLIN, 0});
        {
            std::lock_guard lock(table_mutex_);
            for (const auto& h : handles_) {
                if (!h) {
                    continue;
                }
                if (h->armed) {
                    fds.push_back({h->fd, POLLIN, 0});
                    polled.push_back(h);
                }
                sending.push_back(h);
            }
        }
        bool pending = false;
        for (const auto& h : sending) {
            std::lock_guard lock(h->mutex);
            if (!h->tx.empty()) {
                flush_locked(*h);
                pending = pending || (!h->tx.empty() && h->on_bus && !h->silent && !h->gone);
            }
        }
        // While frames wait for room in the kernel's queue, look again every millisecond;
        // otherwise the wake-up, a socket or a link change ends the wait (and a second
        // passes at the longest, should a wake-up ever be missed).
        ::poll(fds.data(), fds.size(), pending ? 1 : 1000);
        if (fds[0].revents & POLLIN) {
            drain_eventfd(watcher_wake_fd_);
        }
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (fds[i + 2].revents != 0) {
                polled[i]->armed = false;
                polled[i]->event.set();
            }
        }
        if (netlink_fd_ >= 0 && (fds[1].revents & POLLIN)) {
            alignas(nlmsghdr) char buffer[8192];
            ssize_t n;
            while ((n = ::recv(netlink_fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
                int left = static_cast<int>(n);
                for (auto* m = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(m, left);
                     m = NLMSG_NEXT(m, left)) {
                    if (m->nlmsg_type == RTM_NEWLINK || m->nlmsg_type == RTM_DELLINK) {
                        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(m));
                        link_changed(info->ifi_index, m->nlmsg_type == RTM_DELLINK);
                    }
                }
            }
        }
    }
}

}  // namespace tarnsock
