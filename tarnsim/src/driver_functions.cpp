// The driver functions, as the exports call them.

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "session.hpp"
#include "wire.hpp"

namespace tarnsim {

namespace {

constexpr std::uint32_t kSentFlags =
    TARN_MSG_RTR | TARN_MSG_STD | TARN_MSG_EXT | TARN_MSG_FDF | TARN_MSG_BRS | TARN_MSG_ESI;

// Nominal and data-phase bit limits this simulator reports and accepts.
constexpr tarnBusParamLimits kLimits = {
    1,
    {3, 1, 1, 1, 0, 1},            // nominal minimum
    {160, 128, 32, 32, 64, 1024},  // nominal maximum
    {3, 1, 1, 1, 0, 1},            // data minimum
    {40, 32, 16, 16, 8, 1024},     // data maximum
};

bool valid_fd_length(std::uint32_t n) {
    return n <= 8 || n == 12 || n == 16 || n == 20 || n == 24 || n == 32 || n == 48 || n == 64;
}

template <class T>
tarnStatus put(void* buffer, std::uint32_t size, const T& value) {
    if (buffer == nullptr || size < sizeof(T)) {
        return kErrParam;
    }
    std::memcpy(buffer, &value, sizeof(T));
    return kOk;
}

tarnClockInfo clock_info(const InterfaceState& is) {
    return tarnClockInfo{1, static_cast<std::int32_t>(is.clock_hz), 1, 0, 0};
}

}  // namespace

void Simulator::initialize_library() {
    Session session(*this);
}

tarnStatus Simulator::unload_library() {
    // An application unloads the driver from its own unload, which on Windows holds the
    // loader lock; no thread can end while it is held, so waiting here would wait for ever.
    // The thread needs nothing but its own stop flag and bell to end.
    stop_delivery(DeliveryEnd::LeaveToEnd);
    std::unique_lock exclusive(attach_mutex_);
    if (attachment_) {
        close_mine_locked();
    }
    return kOk;
}

tarnStatus Simulator::get_number_of_channels(std::int32_t* count) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    if (count == nullptr) {
        return kErrParam;
    }
    if (session.state().startup_status != 0) {
        return session.state().startup_status;
    }
    *count = static_cast<std::int32_t>(view_.size());
    return kOk;
}

tarnStatus Simulator::enum_hardware(std::int32_t* count) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    if (count == nullptr) {
        return kErrParam;
    }
    rebuild_view_locked(session.state());
    *count = static_cast<std::int32_t>(view_.size());
    return kOk;
}

tarnStatus Simulator::get_channel_data(std::int32_t channel, std::int32_t item, void* buffer,
                                       std::uint32_t size) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    SharedState& s = session.state();
    std::uint32_t global = 0;
    if (tarnStatus st = channel_of(s, channel, global); st != kOk) {
        return st;
    }
    const InterfaceState& is = s.interfaces[global / kMaxChannelsPerInterface];
    switch (item) {
        case TARN_CHANNELDATA_CARD_NUMBER:
            return put(buffer, size, is.card);
        case TARN_CHANNELDATA_CHAN_NO_ON_CARD:
            return put(buffer, size, static_cast<std::uint32_t>(global % kMaxChannelsPerInterface));
        case TARN_CHANNELDATA_CARD_SERIAL_NO:
            return put(buffer, size, is.serial);
        case TARN_CHANNELDATA_CARD_UPC_NO:
            return put(buffer, size, is.ean);
        case TARN_CHANNELDATA_BUS_PARAM_LIMITS:
            if (!is.bus_param_limits) {
                return kErrNotSupported;
            }
            return put(buffer, size, kLimits);
        case TARN_CHANNELDATA_CLOCK_INFO:
            return put(buffer, size, clock_info(is));
        default:
            return kErrNotSupported;
    }
}

tarnHandle Simulator::open_channel(std::int32_t channel, std::int32_t flags) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    SharedState& s = session.state();
    std::uint32_t global = 0;
    if (tarnStatus st = channel_of(s, channel, global); st != kOk) {
        return st == kErrParam ? kErrNotFound : st;
    }
    const InterfaceState& is = s.interfaces[global / kMaxChannelsPerInterface];
    if ((flags & TARN_OPEN_CAN_FD) && !is.fd) {
        return kErrNotSupported;
    }
    reclaim_dead_handles_locked(s);
    const bool exclusive = (flags & TARN_OPEN_EXCLUSIVE) != 0;
    const std::uint32_t wire = s.channels[global].wire;
    for (std::uint32_t i = 0; i < s.wires[wire].count; ++i) {
        const HandleState& h = s.handles[s.wires[wire].handles[i]];
        if (h.channel == global && card_ok(s, h) &&
            (exclusive || (h.open_flags & TARN_OPEN_EXCLUSIVE))) {
            return kErrNoAccess;
        }
    }
    const std::size_t slot =
        open_handle(s, attachment_->token, global, static_cast<std::uint32_t>(flags));
    if (slot == kMaxHandles) {
        return kErrNoHandles;
    }
    // A slot this process had before another process's reset is listed already.
    mine_.erase(std::remove(mine_.begin(), mine_.end(), slot), mine_.end());
    mine_.push_back(static_cast<std::uint8_t>(slot));
    if (!waiters_[slot]) {
        waiters_[slot] = std::make_unique<Waiters>();
    }
    waiters_[slot]->watched = false;
    waiters_[slot]->event.reset();
    return static_cast<tarnHandle>(slot);
}

tarnStatus Simulator::close(tarnHandle handle) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, false); st != kOk) {
        return st;
    }
    release_handle_locked(session.state(), static_cast<std::size_t>(handle), session.signals());
    return kOk;
}

namespace {

// A channel that is on the bus for a handle of another process keeps its bit rate, as a
// controller in use does: a request for another rate is refused. The segments may differ
// (programs choose their own sample points, and the simulated bus delivers by bit rate).
bool held_at_other_rate(const SharedState& s, tarnHandle handle, std::int32_t bitrate) {
    const HandleState& self = s.handles[handle];
    const ChannelState& ch = s.channels[self.channel];
    if (ch.bitrate == bitrate) {
        return false;
    }
    for (const HandleState& h : s.handles) {
        if (h.in_use && h.on_bus && h.channel == self.channel && h.owner != self.owner) {
            return true;
        }
    }
    return false;
}

}  // namespace

tarnStatus Simulator::set_bus_params(tarnHandle handle, std::int32_t bitrate, std::uint32_t tseg1,
                                     std::uint32_t tseg2, std::uint32_t sjw, std::uint32_t samples,
                                     std::uint32_t sync_mode) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    if (bitrate <= 0 || tseg1 < 1 || tseg2 < 1 || sjw < 1 || sjw > tseg2 ||
        (samples != 1 && samples != 3)) {
        return kErrParam;
    }
    if (held_at_other_rate(s, handle, bitrate)) {
        return kErrNoAccess;
    }
    ChannelState& ch = s.channels[s.handles[handle].channel];
    ch.bitrate = bitrate;
    ch.tseg1 = tseg1;
    ch.tseg2 = tseg2;
    ch.sjw = sjw;
    ch.samples = samples;
    ch.sync_mode = sync_mode;
    return kOk;
}

namespace {

bool within(const tarnBusParamsTq& p, const tarnBusParamsTq& min, const tarnBusParamsTq& max) {
    return p.tq == 1 + p.prop + p.phase1 + p.phase2 && p.tq >= min.tq && p.tq <= max.tq &&
           p.phase1 >= min.phase1 && p.phase1 <= max.phase1 && p.phase2 >= min.phase2 &&
           p.phase2 <= max.phase2 && p.sjw >= min.sjw && p.sjw <= max.sjw && p.prop >= min.prop &&
           p.prop <= max.prop && p.prescaler >= min.prescaler && p.prescaler <= max.prescaler;
}

std::int32_t tq_bitrate(std::uint32_t clock_hz, const tarnBusParamsTq& p) {
    return static_cast<std::int32_t>(
        (static_cast<double>(clock_hz) / (static_cast<double>(p.prescaler) * p.tq)) + 0.5);
}

}  // namespace

tarnStatus Simulator::set_bus_params_tq(tarnHandle handle, const tarnBusParamsTq* nominal,
                                        const tarnBusParamsTq* data) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    const HandleState& h = s.handles[handle];
    if (nominal == nullptr || !within(*nominal, kLimits.nominal_min, kLimits.nominal_max)) {
        return kErrParam;
    }
    if (data != nullptr) {
        if (!(h.open_flags & TARN_OPEN_CAN_FD)) {
            return kErrNotSupported;
        }
        if (!within(*data, kLimits.data_min, kLimits.data_max)) {
            return kErrParam;
        }
    }
    const std::uint32_t clock = s.interfaces[h.channel / kMaxChannelsPerInterface].clock_hz;
    if (held_at_other_rate(s, handle, tq_bitrate(clock, *nominal))) {
        return kErrNoAccess;
    }
    ChannelState& ch = s.channels[h.channel];
    ch.bitrate = tq_bitrate(clock, *nominal);
    ch.tseg1 = static_cast<std::uint32_t>(nominal->prop + nominal->phase1);
    ch.tseg2 = static_cast<std::uint32_t>(nominal->phase2);
    ch.sjw = static_cast<std::uint32_t>(nominal->sjw);
    ch.samples = 1;
    ch.sync_mode = 0;
    if (data != nullptr) {
        ch.data_bitrate = tq_bitrate(clock, *data);
        ch.data_tseg1 = static_cast<std::uint32_t>(data->prop + data->phase1);
        ch.data_tseg2 = static_cast<std::uint32_t>(data->phase2);
        ch.data_sjw = static_cast<std::uint32_t>(data->sjw);
    }
    return kOk;
}

tarnStatus Simulator::get_bus_params(tarnHandle handle, bool data_phase, std::int32_t* bitrate,
                                     std::uint32_t* tseg1, std::uint32_t* tseg2, std::uint32_t* sjw,
                                     std::uint32_t* samples, std::uint32_t* sync_mode) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    const ChannelState& ch = s.channels[s.handles[handle].channel];
    auto set = [](auto* out, auto value) {
        if (out != nullptr) {
            *out = value;
        }
    };
    if (data_phase) {
        set(bitrate, ch.data_bitrate);
        set(tseg1, ch.data_tseg1);
        set(tseg2, ch.data_tseg2);
        set(sjw, ch.data_sjw);
    } else {
        set(bitrate, ch.bitrate);
        set(tseg1, ch.tseg1);
        set(tseg2, ch.tseg2);
        set(sjw, ch.sjw);
        set(samples, ch.samples);
        set(sync_mode, ch.sync_mode);
    }
    return kOk;
}

tarnStatus Simulator::set_output_control(tarnHandle handle, std::uint32_t mode) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    if (mode != TARN_DRIVERTYPE_SILENT && mode != TARN_DRIVERTYPE_NORMAL) {
        return kErrParam;
    }
    const auto slot = static_cast<std::size_t>(handle);
    const std::int64_t now = now_ns();
    advance(s, now, session.wakeups());
    s.handles[slot].silent = mode == TARN_DRIVERTYPE_SILENT ? 1 : 0;
    schedule_pending(s, slot, now, session.wakeups());
    poke(s, slot, now, true, session.signals());  // a write sync looks at the new end times
    return kOk;
}

tarnStatus Simulator::bus_on(tarnHandle handle, bool on) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    const auto slot = static_cast<std::size_t>(handle);
    HandleState& h = s.handles[slot];
    const std::int64_t now = now_ns();
    advance(s, now, session.wakeups());
    if (on) {
        s.channels[h.channel].bus_off = 0;  // going on bus recovers from bus off
        h.on_bus = 1;
        schedule_pending(s, slot, now, session.wakeups());
    } else {
        h.on_bus = 0;
        h.tx.clear();
    }
    poke(s, slot, now, true, session.signals());
    return kOk;
}

tarnStatus Simulator::write(tarnHandle handle, std::int32_t id, const void* data, std::uint32_t dlc,
                            std::uint32_t flags) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    const auto slot = static_cast<std::size_t>(handle);
    HandleState& h = s.handles[slot];
    const bool ext = (flags & TARN_MSG_EXT) != 0;
    if (id < 0 || (ext && id > 0x1FFFFFFF) || (!ext && id > 0x7FF)) {
        return kErrParam;
    }
    Frame f;
    f.id = id;
    f.dlc = dlc;
    if (flags & TARN_MSG_FDF) {
        if (!(h.open_flags & TARN_OPEN_CAN_FD) || !valid_fd_length(dlc) || (flags & TARN_MSG_RTR)) {
            return kErrParam;
        }
        f.length = dlc;
    } else {
        if (dlc > 15 || (dlc > 8 && !(h.open_flags & TARN_OPEN_ACCEPT_LARGE_DLC))) {
            return kErrParam;
        }
        f.length = (flags & TARN_MSG_RTR) ? 0 : std::min<std::uint32_t>(dlc, 8);
        flags &= ~(TARN_MSG_BRS | TARN_MSG_ESI);
    }
    if (f.length > 0) {
        if (data == nullptr) {
            return kErrParam;
        }
        std::memcpy(f.data, data, f.length);
    }
    f.flags =
        (flags & kSentFlags & ~(TARN_MSG_STD | TARN_MSG_EXT)) | (ext ? TARN_MSG_EXT : TARN_MSG_STD);
    measure(f);
    const std::int64_t now = now_ns();
    advance(s, now, session.wakeups());
    if (h.tx.count >= s.channels[h.channel].tx_capacity) {
        return kErrTxBufOfl;
    }
    if (transmitting(s, h)) {
        schedule(s, slot, f, now, session.wakeups());
    } else {
        f.time_ns = kNotScheduled;
    }
    h.tx.push(f);
    advance(s, now, session.wakeups());  // unpaced: it has ended already
    return kOk;
}

tarnStatus Simulator::write_sync(tarnHandle handle, std::uint32_t timeout_ms) {
    const std::int64_t deadline = now_ns() + static_cast<std::int64_t>(timeout_ms) * 1'000'000;
    Session session(*this);
    for (;;) {
        if (tarnStatus st = session.check(handle, true); st != kOk) {
            return st;
        }
        SharedState& s = session.state();
        const auto slot = static_cast<std::size_t>(handle);
        const std::int64_t now = now_ns();
        advance(s, now, session.wakeups());
        HandleState& h = s.handles[slot];
        if (h.tx.count == 0) {
            return kOk;
        }
        if (now >= deadline) {
            return kErrTimeout;
        }
        // The last frame ends then; a change of its schedule wakes the wait.
        make_wakeable_locked(s, slot);
        Waiters& w = *waiters_[slot];
        w.wake.reset();
        session.wait(w.wake, std::min(deadline, h.tx.back().time_ns));
    }
}

tarnStatus Simulator::read(tarnHandle handle, std::int32_t* id, void* data, std::uint32_t* dlc,
                           std::uint32_t* flags, std::uint32_t* time, std::uint32_t timeout_ms) {
    std::optional<std::int64_t> deadline;
    Session session(*this);
    for (;;) {
        if (tarnStatus st = session.check(handle, true); st != kOk) {
            return st;
        }
        SharedState& s = session.state();
        const auto slot = static_cast<std::size_t>(handle);
        // The clock is read only when something is on a wire or the call may wait.
        std::optional<std::int64_t> now;
        if (s.next_end_ns != kNotScheduled) {
            now = now_ns();
            advance(s, *now, session.wakeups());
        }
        HandleState& h = s.handles[slot];
        if (h.rx.count > 0) {
            const Frame& f = h.rx.front();
            if (id != nullptr) {
                *id = f.id;
            }
            if (data != nullptr && f.length > 0) {
                std::memcpy(data, f.data, f.length);
            }
            if (dlc != nullptr) {
                *dlc = f.dlc;
            }
            if (flags != nullptr) {
                *flags = f.flags;
            }
            if (time != nullptr) {
                *time = static_cast<std::uint32_t>(static_cast<std::uint64_t>(f.time_ns / 1000));
            }
            h.rx.pop();
            if (h.rx.count == 0) {
                rearm(s, slot, session.signals());
            }
            return kOk;
        }
        rearm(s, slot, session.signals());
        if (timeout_ms == 0) {
            return kErrNoMsg;
        }
        if (!now) {
            now = now_ns();
        }
        if (!deadline) {
            deadline = *now + static_cast<std::int64_t>(timeout_ms) * 1'000'000;
        }
        if (*now >= *deadline) {
            return kErrNoMsg;
        }
        // Until the next frame on the wire ends; an earlier one, or a frame from nowhere
        // (an injection, a change of state), wakes the wait.
        make_wakeable_locked(s, slot);
        Waiters& w = *waiters_[slot];
        w.wake.reset();
        session.wait(w.wake, std::min(*deadline, h.armed_ns));
    }
}

tarnStatus Simulator::read_status(tarnHandle handle, std::uint32_t* status) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    if (status == nullptr) {
        return kErrParam;
    }
    advance(s, now_ns(), session.wakeups());
    HandleState& h = s.handles[handle];
    std::uint32_t word = s.channels[h.channel].bus_off ? TARN_STAT_BUS_OFF : TARN_STAT_ERROR_ACTIVE;
    if (h.tx.count > 0) {
        word |= TARN_STAT_TX_PENDING;
    }
    if (h.rx.count > 0) {
        word |= TARN_STAT_RX_PENDING;
    }
    if (h.overflow_status) {
        word |= TARN_STAT_SW_OVERRUN;
        h.overflow_status = 0;
    }
    *status = word;
    return kOk;
}

tarnStatus Simulator::io_ctl(tarnHandle handle, std::uint32_t function, void* buffer,
                             std::uint32_t size) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    const auto slot = static_cast<std::size_t>(handle);
    HandleState& h = s.handles[slot];
    if (function == TARN_IOCTL_GET_EVENTHANDLE) {
        if (buffer == nullptr || size < sizeof(void*)) {
            return kErrParam;
        }
        make_wakeable_locked(s, slot);
        Waiters& w = *waiters_[slot];
        w.watched = true;
#if defined(_WIN32)
        void* native = w.event.native_handle();
#else
        void* native = &w.event;
#endif
        std::memcpy(buffer, &native, sizeof(void*));
        advance(s, now_ns(), session.wakeups());
        if (h.rx.count > 0) {
            session.signals().add(&w, std::numeric_limits<std::int64_t>::min(), true, false);
        } else {
            h.armed_ns = kNotScheduled;
            rearm(s, slot, session.signals());
        }
        return kOk;
    }
    std::uint32_t value = 0;
    if (buffer == nullptr || size < sizeof(value)) {
        return kErrParam;
    }
    std::memcpy(&value, buffer, sizeof(value));
    switch (function) {
        case TARN_IOCTL_SET_TIMER_SCALE:
            if (value != 1) {
                return kErrNotSupported;  // time stamps are in microseconds only
            }
            break;
        case TARN_IOCTL_SET_TXACK:
            h.txack = value != 0;
            break;
        case TARN_IOCTL_SET_LOCAL_TXACK:
            h.local_txack = value != 0;
            break;
        case TARN_IOCTL_SET_LOCAL_TXECHO:
            h.local_echo = value != 0;
            break;
        default:
            return kErrNotSupported;
    }
    return kOk;
}

tarnStatus Simulator::get_handle_data(tarnHandle handle, std::int32_t item, void* buffer,
                                      std::uint32_t size) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    const InterfaceState& is = s.interfaces[s.handles[handle].channel / kMaxChannelsPerInterface];
    switch (item) {
        case TARN_HANDLEDATA_CAPABILITIES:
            return put(buffer, size, is.capabilities);
        case TARN_HANDLEDATA_FIRMWARE_REV:
            return put(buffer, size, is.firmware);
        case TARN_HANDLEDATA_BUS_TYPE:
            return put(buffer, size, is.bus_type);
        case TARN_HANDLEDATA_CLOCK_INFO:
            return put(buffer, size, clock_info(is));
        default:
            return kErrNotSupported;
    }
}

}  // namespace tarnsim
