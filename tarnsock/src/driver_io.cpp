// The driver's traffic: sending through the kernel (and the driver's own queue when the
// kernel's is full), receiving with the local-echo and overrun rules, and the thread that
// watches the sockets for wait handles, queued frames and link changes.

#include <linux/can/error.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>

#include "driver_internal.hpp"
#include "platform/clock.hpp"

namespace tarnsock {

using namespace detail;

namespace {

bool valid_fd_length(std::uint32_t n) {
    return n <= 8 || n == 12 || n == 16 || n == 20 || n == 24 || n == 32 || n == 48 || n == 64;
}

// The kernel stamps frames with the wall clock. The offset to the monotonic clock is the
// wall clock read between two monotonic readings, against their middle.
std::int64_t wall_minus_monotonic_ns() {
    const std::int64_t before = platform::monotonic_ns();
    const std::int64_t wall = realtime_ns();
    const std::int64_t after = platform::monotonic_ns();
    return wall - (before + (after - before) / 2);
}

}  // namespace

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
        TxFrame& tx = h.tx.front();
        // Recorded before its first attempt, and again only when it has waited in the queue
        // for half the ring's window: a frame retried every millisecond while the kernel's
        // queue is full must not push other sends out of the ring.
        const std::int64_t now = realtime_ns();
        if (ring_ && (tx.recorded_ns == 0 || now - tx.recorded_ns > EchoRing::kWindowNs / 2)) {
            canfd_frame frame{};
            std::memcpy(&frame, tx.bytes, tx.size);
            ring_->record(key_of(h.iface.ifindex, frame), now);
            tx.recorded_ns = now;
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
        // On the driver's clock; the two clocks' offset is read anew each time and moves by
        // a few microseconds, which must not make a handle's time stamps go back.
        const std::int64_t mono = std::max(stamp - wall_minus_monotonic_ns(), h.last_time_ns);
        h.last_time_ns = mono;
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
