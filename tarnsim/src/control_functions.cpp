// The control functions: tests and tools change the virtual hardware and read the buses.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "session.hpp"
#include "wire.hpp"

namespace tarnsim {

tarnStatus Simulator::configure(const char* config_path) {
    stop_delivery(DeliveryEnd::Wait);
    std::unique_lock exclusive(attach_mutex_);
    detach_locked();
    if (config_path == nullptr) {
        return attach_locked();
    }
    ParseResult parsed = load_config_file(config_path);
    if (!parsed.config) {
        std::fprintf(stderr, "tarnsim: %s\n", parsed.error.c_str());
        return kErrConfig;
    }
    return attach_config_locked(*parsed.config);
}

tarnStatus Simulator::reset() {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    SharedState& s = session.state();
    // Every waiter, here and in other processes, finds its handle gone.
    for (std::size_t slot = 0; slot < kMaxHandles; ++slot) {
        if (s.handles[slot].in_use) {
            poke(s, slot, std::numeric_limits<std::int64_t>::min(), true, session.signals());
        }
    }
    Signals& signals = session.signals();
    for (std::uint8_t slot : mine_) {
        Waiters& w = *waiters_[slot];
        signals.add(&w, std::numeric_limits<std::int64_t>::min(), w.watched, true);
        w.watched = false;
    }
    mine_.clear();
    initialise_state(s, attachment_->config, now_ns());
    rebuild_view_locked(s);
    return kOk;
}

tarnStatus Simulator::set_plugged(std::int32_t interface_index, bool plugged) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    SharedState& s = session.state();
    if (interface_index < 0 || interface_index >= static_cast<std::int32_t>(kMaxInterfaces) ||
        !s.interfaces[interface_index].present) {
        return kErrParam;
    }
    InterfaceState& is = s.interfaces[interface_index];
    if (is.plugged && !plugged) {
        ++is.generation;
        // Whoever waits on one of its handles finds out now.
        for (std::size_t slot = 0; slot < kMaxHandles; ++slot) {
            const HandleState& h = s.handles[slot];
            if (h.in_use && h.channel / kMaxChannelsPerInterface ==
                                static_cast<std::uint32_t>(interface_index)) {
                poke(s, slot, now_ns(), true, session.signals());
            }
        }
    }
    is.plugged = plugged ? 1 : 0;
    return kOk;
}

tarnStatus Simulator::inject(std::int32_t bus, std::int32_t id, const void* data, std::uint32_t dlc,
                             std::uint32_t flags, std::int32_t bitrate) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    SharedState& s = session.state();
    if (bus < 0 || bus >= static_cast<std::int32_t>(kMaxBuses) || !s.buses[bus].present ||
        bitrate <= 0) {
        return kErrParam;
    }
    const std::int64_t now = now_ns();
    advance(s, now, session.wakeups());
    Frame f{};
    if (flags & TARN_MSG_ERROR_FRAME) {
        f = error_frame(now);
    } else {
        const bool ext = (flags & TARN_MSG_EXT) != 0;
        const std::uint32_t length = (flags & TARN_MSG_FDF) ? dlc : std::min<std::uint32_t>(dlc, 8);
        if (id < 0 || id > (ext ? 0x1FFFFFFF : 0x7FF) || length > 64 ||
            (length > 0 && data == nullptr)) {
            return kErrParam;
        }
        f.id = id;
        f.dlc = dlc;
        f.length = (flags & TARN_MSG_RTR) ? 0 : length;
        f.flags = (flags & (TARN_MSG_RTR | TARN_MSG_FDF)) | (ext ? TARN_MSG_EXT : TARN_MSG_STD);
        f.time_ns = now;
        if (f.length > 0) {
            std::memcpy(f.data, data, f.length);
        }
        measure(f);
    }
    inject_frame(s, static_cast<std::uint32_t>(bus), f, bitrate, now, session.wakeups());
    return kOk;
}

tarnStatus Simulator::force_bus_off(std::int32_t interface_index, std::int32_t channel) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    if (interface_index < 0 || interface_index >= static_cast<std::int32_t>(kMaxInterfaces) ||
        channel < 0 || channel >= static_cast<std::int32_t>(kMaxChannelsPerInterface)) {
        return kErrParam;
    }
    SharedState& s = session.state();
    const std::uint32_t global =
        static_cast<std::uint32_t>(interface_index) * kMaxChannelsPerInterface +
        static_cast<std::uint32_t>(channel);
    if (!s.interfaces[interface_index].present ||
        static_cast<std::uint32_t>(channel) >= s.interfaces[interface_index].channels) {
        return kErrParam;
    }
    const std::int64_t now = now_ns();
    advance(s, now, session.wakeups());
    s.channels[global].bus_off = 1;
    const WireState& wire = s.wires[s.channels[global].wire];
    for (std::uint32_t i = 0; i < wire.count; ++i) {
        const std::size_t slot = wire.handles[i];
        if (s.handles[slot].channel == global) {
            s.handles[slot].tx.clear();
            poke(s, slot, now, true, session.signals());  // a write sync is over
        }
    }
    return kOk;
}

tarnStatus Simulator::set_queue_sizes(std::int32_t interface_index, std::int32_t channel,
                                      std::uint32_t tx, std::uint32_t rx) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    if (interface_index < 0 || interface_index >= static_cast<std::int32_t>(kMaxInterfaces) ||
        channel < 0 || channel >= static_cast<std::int32_t>(kMaxChannelsPerInterface) ||
        tx > kMaxTxFrames || rx > kMaxRxFrames) {
        return kErrParam;
    }
    ChannelState& ch =
        session.state()
            .channels[static_cast<std::uint32_t>(interface_index) * kMaxChannelsPerInterface +
                      static_cast<std::uint32_t>(channel)];
    if (tx != 0) {
        ch.tx_capacity = tx;
    }
    if (rx != 0) {
        ch.rx_capacity = rx;
    }
    return kOk;
}

tarnStatus Simulator::set_startup_status(tarnStatus status) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    if (status > 0) {
        return kErrParam;
    }
    session.state().startup_status = status;
    return kOk;
}

tarnStatus Simulator::set_paced(bool paced) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    SharedState& s = session.state();
    const std::int64_t now = now_ns();
    advance(s, now, session.wakeups());
    s.paced = paced ? 1 : 0;
    if (!paced) {
        // What is on the wire ends now, like everything written from here on.
        end_all_now(s, now);
        advance(s, now, session.wakeups());
    }
    return kOk;
}

tarnStatus Simulator::get_bus_stats(std::int32_t bus, tarnsim_bus_stats* stats, bool reset) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    SharedState& s = session.state();
    if (bus < 0 || bus >= static_cast<std::int32_t>(kMaxBuses) || !s.buses[bus].present ||
        stats == nullptr) {
        return kErrParam;
    }
    const std::int64_t now = now_ns();
    advance(s, now, session.wakeups());
    BusState& b = s.buses[bus];
    stats->frames = b.frames;
    stats->error_frames = b.error_frames;
    stats->bits = b.bits;
    stats->busy_ns = b.busy_ns;
    stats->elapsed_ns =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, now - b.stats_since_ns));
    stats->load = stats->elapsed_ns > 0
                      ? static_cast<double>(b.busy_ns) / static_cast<double>(stats->elapsed_ns)
                      : 0.0;
    if (reset) {
        b.frames = 0;
        b.error_frames = 0;
        b.bits = 0;
        b.busy_ns = 0;
        b.stats_since_ns = now;
    }
    return kOk;
}

}  // namespace tarnsim
