// The driver's channels and handles: enumeration, opening and closing, bit timing, bus on
// and off, status and settings. Traffic is in driver_io.cpp.

#include "driver.hpp"

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
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

#include "driver_internal.hpp"
#include "link_control.hpp"
#include "platform/clock.hpp"

namespace tarnsock {

using namespace detail;

namespace {

// Kept as plain data: thread_local objects must be trivially destructible here.
thread_local char error_detail[512];

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

std::string lock_file_name(const InterfaceInfo& iface) {
    char name[128];
    std::snprintf(name, sizeof name, "/dev/shm/tarnsock-%llx-%llu-%u.lock",
                  static_cast<unsigned long long>(iface.ean),
                  static_cast<unsigned long long>(iface.serial), iface.channel);
    return name;
}

// Copies an item's value into the caller's buffer, which must hold it.
template <typename T>
tarnStatus copy_out(void* buffer, std::uint32_t size, const T& value) {
    if (buffer == nullptr || size < sizeof value) {
        return kErrParam;
    }
    std::memcpy(buffer, &value, sizeof value);
    return kOk;
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
            return kErrParam;
        }
        iface = interfaces_[static_cast<std::size_t>(channel)];
    }
    auto put = [&](const auto& value) { return copy_out(buffer, size, value); };
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
        h->on_bus = false;
        set_receiving(h->fd, false);
    }
    // The channel is free for the next open at once, even while a call of another thread
    // still holds the handle (the descriptors close with its last reference).
    if (h->lock_fd >= 0) {
        ::flock(h->lock_fd, LOCK_UN);
    }
    stop_watcher_if_idle();
    // The socket closes with the last reference, once calls still inside have returned.
    return kOk;
}

tarnStatus Driver::unload() {
    for (std::size_t slot = 0; slot < kMaxHandles; ++slot) {
        close(static_cast<tarnHandle>(slot));  // an empty slot answers INVHANDLE
    }
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
    auto put = [&](const auto& value) { return copy_out(buffer, size, value); };
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

}  // namespace tarnsock
