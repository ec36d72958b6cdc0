#include "simulator.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "frame_bits.hpp"
#include "platform/clock.hpp"
#include "platform/dynamic_library.hpp"

namespace tarnsim {

namespace {

constexpr tarnStatus kOk = 0;
constexpr tarnStatus kErrParam = -1;
constexpr tarnStatus kErrNoMsg = -2;
constexpr tarnStatus kErrNotFound = -3;
constexpr tarnStatus kErrTimeout = -7;
constexpr tarnStatus kErrNotInitialized = -8;
constexpr tarnStatus kErrNoHandles = -9;
constexpr tarnStatus kErrInvHandle = -10;
constexpr tarnStatus kErrTxBufOfl = -13;
constexpr tarnStatus kErrNotSupported = -19;
constexpr tarnStatus kErrNoCard = -26;
constexpr tarnStatus kErrInternal = -30;
constexpr tarnStatus kErrNoAccess = -31;
constexpr tarnStatus kErrConfig = -37;

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

std::int64_t now_ns() {
    return platform::monotonic_ns();
}

bool valid_fd_length(std::uint32_t n) {
    return n <= 8 || n == 12 || n == 16 || n == 20 || n == 24 || n == 32 || n == 48 || n == 64;
}

// How long a frame is on the wire at the sending channel's rates.
std::int64_t duration_ns(const Frame& f, const ChannelState& ch) {
    const std::int64_t nominal = ch.bitrate > 0 ? ch.bitrate : 500000;
    const std::int64_t data = ch.data_bitrate > 0 ? ch.data_bitrate : nominal;
    return f.nominal_bits * 1'000'000'000LL / nominal + f.data_bits * 1'000'000'000LL / data;
}

void measure(Frame& f) {
    const FrameBits bits = frame_bits(f);
    f.nominal_bits = static_cast<std::uint16_t>(bits.nominal);
    f.data_bits = static_cast<std::uint16_t>(bits.data);
}

bool timing_matches(const ChannelState& a, std::int32_t bitrate, std::int32_t data_bitrate,
                    const Frame& f) {
    if (a.bitrate != bitrate) {
        return false;
    }
    return !(f.flags & TARN_MSG_BRS) || a.data_bitrate == data_bitrate;
}

Frame error_frame(std::int64_t time_ns) {
    Frame f{};
    f.flags = TARN_MSG_ERROR_FRAME;
    f.time_ns = time_ns;
    measure(f);
    return f;
}

void initialise_state(SharedState& s, const Config& config, std::int64_t now) {
    const std::uint32_t token = s.next_token;
    std::memset(static_cast<void*>(&s), 0, sizeof(SharedState));
    s.magic = kStateMagic;
    s.next_token = token;  // tokens stay unique across resets
    s.paced = 1;
    s.next_end_ns = kNotScheduled;
    std::fill(std::begin(s.wire_next_end_ns), std::end(s.wire_next_end_ns), kNotScheduled);
    for (std::size_t c = 0; c < kMaxChannels; ++c) {
        ChannelState& ch = s.channels[c];
        ch.bus = -1;
        ch.bitrate = 500000;
        ch.tseg1 = 11;
        ch.tseg2 = 4;
        ch.sjw = 1;
        ch.samples = 1;
        ch.data_bitrate = 2000000;
        ch.data_tseg1 = 11;
        ch.data_tseg2 = 4;
        ch.data_sjw = 1;
        ch.tx_capacity = kDefaultTxFrames;
        ch.rx_capacity = kDefaultRxFrames;
    }
    for (std::size_t i = 0; i < config.interfaces.size() && i < kMaxInterfaces; ++i) {
        const InterfaceConfig& c = config.interfaces[i];
        InterfaceState& is = s.interfaces[i];
        is.present = 1;
        is.plugged = 1;
        is.channels = c.channels;
        is.ean = c.ean;
        is.serial = c.serial;
        is.card = c.card;
        is.bus_type = c.bus_type;
        is.firmware = c.firmware;
        is.clock_hz = c.clock_hz;
        is.capabilities = c.capabilities;
        is.bus_param_limits = c.bus_param_limits ? 1 : 0;
        is.fd = c.fd ? 1 : 0;
    }
    for (std::size_t b = 0; b < config.buses.size() && b < kMaxBuses; ++b) {
        s.buses[b].present = 1;
        s.buses[b].foreign_ack = config.buses[b].foreign_ack ? 1 : 0;
        s.buses[b].stats_since_ns = now;
        for (const ChannelRef& m : config.buses[b].members) {
            s.channels[m.interface_index * kMaxChannelsPerInterface + m.channel].bus =
                static_cast<std::int32_t>(b);
        }
    }
    for (std::size_t c = 0; c < kMaxChannels; ++c) {
        ChannelState& ch = s.channels[c];
        ch.wire = ch.bus >= 0 ? static_cast<std::uint32_t>(ch.bus)
                              : static_cast<std::uint32_t>(kMaxBuses + c);
    }
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

bool card_ok(const SharedState& s, const HandleState& h) {
    const InterfaceState& is = s.interfaces[h.channel / kMaxChannelsPerInterface];
    return is.plugged && is.generation == h.generation;
}

bool receiving(const SharedState& s, const HandleState& h) {
    return h.in_use && h.on_bus && !s.channels[h.channel].bus_off && card_ok(s, h);
}

bool transmitting(const SharedState& s, const HandleState& h) {
    return receiving(s, h) && !h.silent;
}

// A handle the sender's frame reaches when it ends: other channels of the wire, the sender
// itself with transmit acknowledgements, its channel's other handles with local echo.
bool reaches(const SharedState& s, const HandleState& sender, const HandleState& h) {
    if (!receiving(s, h)) {
        return false;
    }
    if (&h == &sender) {
        return h.txack != 0;
    }
    return h.channel != sender.channel || h.local_echo != 0;
}

void remove_from_wire(SharedState& s, std::size_t slot) {
    WireState& wire = s.wires[s.handles[slot].wire];
    for (std::uint32_t i = 0; i < wire.count; ++i) {
        if (wire.handles[i] == slot) {
            wire.handles[i] = wire.handles[--wire.count];
            return;
        }
    }
}

// A frame with this end time is on the wire now.
void note_pending(SharedState& s, std::uint32_t wire, std::int64_t end) {
    s.wire_next_end_ns[wire] = std::min(s.wire_next_end_ns[wire], end);
    s.next_end_ns = std::min(s.next_end_ns, end);
    s.pending_wires |= std::uint64_t{1} << wire;
}

}  // namespace

void Simulator::Signals::add(Waiters* w, std::int64_t at, bool event, bool wake) {
    for (std::uint32_t i = 0; i < locals; ++i) {
        if (local[i].waiters == w) {
            local[i].at = std::min(local[i].at, at);
            local[i].event = local[i].event || event;
            local[i].wake = local[i].wake || wake;
            return;
        }
    }
    local[locals++] = Local{w, at, event, wake};
}

void Simulator::Signals::ring(std::uint32_t token) {
    for (std::uint32_t i = 0; i < rings; ++i) {
        if (tokens[i] == token) {
            return;
        }
    }
    tokens[rings++] = token;
}

// Holds the attachment lock (shared) and the instance's named mutex, attached on first
// use, and gives the wake-ups found meanwhile once the named mutex is released.
class Simulator::Session {
  public:
    // attach: attach on first use (driver calls); otherwise an attachment must exist.
    explicit Session(Simulator& sim, bool attach = true) : sim_(sim) { enter(attach); }
    ~Session() { leave(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    tarnStatus status() const { return status_; }
    // The session's status if it failed, else whether the handle may be used.
    tarnStatus check(tarnHandle handle, bool require_card) {
        return status_ != kOk ? status_ : sim_.check_handle(state(), handle, require_card);
    }
    SharedState& state() { return *sim_.attachment_->shared; }
    Signals& signals() { return signals_; }

    // Releases the locks, gives the wake-ups found so far, waits for the event or the
    // deadline, and takes the locks again.
    void wait(platform::Event& event, std::int64_t deadline) {
        leave();
        event.wait_until(deadline);
        enter(true);
    }

  private:
    void enter(bool attach) {
        status_ = kOk;
        shared_ = std::shared_lock(sim_.attach_mutex_);
        if (!sim_.attachment_) {
            if (!attach) {
                status_ = kErrNotInitialized;
                return;
            }
            shared_.unlock();
            {
                std::unique_lock exclusive(sim_.attach_mutex_);
                if (!sim_.attachment_) {
                    status_ = sim_.attach_locked();
                }
            }
            shared_.lock();
            if (status_ == kOk && !sim_.attachment_) {
                status_ = kErrNotInitialized;  // detached again meanwhile
            }
            if (status_ != kOk) {
                return;
            }
        }
        sim_.attachment_->mutex.lock();
        named_ = true;
    }

    void leave() {
        if (named_) {
            sim_.attachment_->mutex.unlock();
            named_ = false;
        }
        if (shared_.owns_lock()) {
            sim_.give(signals_);
            shared_.unlock();
        }
    }

    Simulator& sim_;
    std::shared_lock<std::shared_mutex> shared_;
    bool named_ = false;
    tarnStatus status_ = kOk;
    Signals signals_;
};

Simulator& Simulator::instance() {
    static Simulator* const sim = new Simulator();
    return *sim;
}

tarnStatus Simulator::attach_locked() {
    if (attachment_) {
        return kOk;
    }
    const char* path = std::getenv("TARNSIM_CONFIG");
    if (path == nullptr || *path == '\0') {
        return attach_config_locked(default_config());
    }
    ParseResult parsed = load_config_file(path);
    if (!parsed.config) {
        std::fprintf(stderr, "tarnsim: %s\n", parsed.error.c_str());
        return kErrConfig;
    }
    return attach_config_locked(*parsed.config);
}

tarnStatus Simulator::attach_config_locked(const Config& config) {
    const std::string name = "tarnsim." + config.instance;
    auto mutex = platform::NamedMutex::open(name + ".lock");
    if (!mutex) {
        std::fprintf(stderr, "tarnsim: %s\n", mutex.error().what.c_str());
        return kErrInternal;
    }
    mutex->lock();
    auto state = platform::SharedMemory::open(name + ".state", sizeof(SharedState));
    if (!state) {
        mutex->unlock();
        std::fprintf(stderr, "tarnsim: %s\n", state.error().what.c_str());
        return kErrInternal;
    }
    auto& s = *static_cast<SharedState*>(state->data());
    if (s.magic != kStateMagic) {
        initialise_state(s, config, now_ns());
    }
    const std::uint32_t token = ++s.next_token;
    rebuild_view_locked(s);
    mine_.clear();
    mutex->unlock();
    auto liveness = platform::LivenessMark::hold(name + ".proc." + std::to_string(token));
    attachment_.emplace(Attachment{name, config, std::move(mutex.value()), std::move(state.value()),
                                   &s, token, std::nullopt});
    if (liveness) {
        attachment_->liveness.emplace(std::move(liveness.value()));
    }
    return kOk;
}

void Simulator::close_mine_locked() {
    Signals signals;
    {
        std::lock_guard named(attachment_->mutex);
        SharedState& s = *attachment_->shared;
        while (!mine_.empty()) {
            const std::size_t slot = mine_.back();
            const HandleState& h = s.handles[slot];
            if (h.in_use && h.owner == attachment_->token) {
                release_handle_locked(s, slot, signals);
            } else {
                mine_.pop_back();  // reset by another process meanwhile
            }
        }
    }
    give(signals);
}

void Simulator::detach_locked() {
    if (!attachment_) {
        return;
    }
    close_mine_locked();
    {
        std::lock_guard guard(bells_mutex_);
        bells_.clear();
    }
    view_.clear();
    attachment_.reset();
}

void Simulator::rebuild_view_locked(const SharedState& s) {
    view_.clear();
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        const InterfaceState& is = s.interfaces[i];
        if (is.present && is.plugged) {
            for (std::uint32_t c = 0; c < is.channels; ++c) {
                view_.push_back(static_cast<std::uint32_t>(i * kMaxChannelsPerInterface + c));
            }
        }
    }
}

void Simulator::reclaim_dead_handles_locked(SharedState& s) {
    std::vector<std::pair<std::uint32_t, bool>> known;  // token, alive
    Signals signals;
    for (std::size_t slot = 0; slot < kMaxHandles; ++slot) {
        const HandleState& h = s.handles[slot];
        if (!h.in_use || h.owner == attachment_->token) {
            continue;
        }
        auto it = std::find_if(known.begin(), known.end(),
                               [&](const auto& k) { return k.first == h.owner; });
        bool alive = true;
        if (it != known.end()) {
            alive = it->second;
        } else {
            alive = platform::LivenessMark::held(attachment_->name + ".proc." +
                                                 std::to_string(h.owner));
            known.emplace_back(h.owner, alive);
        }
        if (!alive) {
            release_handle_locked(s, slot, signals);
        }
    }
    std::lock_guard guard(bells_mutex_);
    for (const auto& [token, alive] : known) {
        if (!alive) {
            bells_.erase(token);
        }
    }
}

void Simulator::release_handle_locked(SharedState& s, std::size_t slot, Signals& signals) {
    HandleState& h = s.handles[slot];
    remove_from_wire(s, slot);
    h.in_use = 0;
    if (h.owner != attachment_->token) {
        return;
    }
    mine_.erase(std::remove(mine_.begin(), mine_.end(), slot), mine_.end());
    // Whoever still waits on it finds out that it is gone.
    Waiters& w = *waiters_[slot];
    signals.add(&w, std::numeric_limits<std::int64_t>::min(), w.watched, true);
    w.watched = false;
}

tarnStatus Simulator::check_handle(SharedState& s, tarnHandle handle, bool require_card) const {
    if (handle < 0 || handle >= static_cast<tarnHandle>(kMaxHandles)) {
        return kErrInvHandle;
    }
    const HandleState& h = s.handles[handle];
    if (!h.in_use || h.owner != attachment_->token) {
        return kErrInvHandle;
    }
    const InterfaceState& is = s.interfaces[h.channel / kMaxChannelsPerInterface];
    if (require_card && (!is.plugged || is.generation != h.generation)) {
        return kErrNoCard;
    }
    return kOk;
}

tarnStatus Simulator::channel_of(const SharedState& s, std::int32_t channel,
                                 std::uint32_t& global) const {
    if (channel < 0 || static_cast<std::size_t>(channel) >= view_.size()) {
        return kErrParam;
    }
    global = view_[static_cast<std::size_t>(channel)];
    if (!s.interfaces[global / kMaxChannelsPerInterface].plugged) {
        return kErrNoCard;
    }
    return kOk;
}

// ---- the wire ----

void Simulator::schedule(SharedState& s, std::size_t slot, Frame& f, std::int64_t now,
                         Signals& signals) {
    HandleState& h = s.handles[slot];
    const ChannelState& ch = s.channels[h.channel];
    WireState& wire = s.wires[h.wire];
    if (!s.paced) {
        f.time_ns = now;
    } else {
        f.time_ns = std::max(wire.busy_until_ns, now) + duration_ns(f, ch);
        wire.busy_until_ns = f.time_ns;
    }
    note_pending(s, h.wire, f.time_ns);
    // Waiters for this frame that would look later wake at its end.
    for (std::uint32_t i = 0; i < wire.count; ++i) {
        const std::size_t other = wire.handles[i];
        if (reaches(s, h, s.handles[other])) {
            poke(s, other, f.time_ns, false, signals);
        }
    }
}

void Simulator::schedule_pending(SharedState& s, std::size_t slot, std::int64_t now,
                                 Signals& signals) {
    HandleState& h = s.handles[slot];
    if (!transmitting(s, h)) {
        return;
    }
    for (std::uint32_t i = 0; i < h.tx.count; ++i) {
        Frame& f = h.tx.at(i);
        if (f.time_ns == kNotScheduled) {
            schedule(s, slot, f, now, signals);
        }
    }
}

void Simulator::advance(SharedState& s, std::int64_t now, Signals& signals) {
    if (now < s.next_end_ns) {
        return;
    }
    std::int64_t next = kNotScheduled;
    for (std::uint64_t pending = s.pending_wires; pending != 0; pending &= pending - 1) {
        const auto w = static_cast<std::uint32_t>(std::countr_zero(pending));
        if (s.wire_next_end_ns[w] <= now) {
            deliver_due(s, w, now, signals);
        }
        if (s.wire_next_end_ns[w] == kNotScheduled) {
            s.pending_wires &= ~(std::uint64_t{1} << w);
        }
        next = std::min(next, s.wire_next_end_ns[w]);
    }
    s.next_end_ns = next;
}

void Simulator::deliver_due(SharedState& s, std::uint32_t w, std::int64_t now, Signals& signals) {
    // Frames leave the transmit queues in the order they were put on the wire, which is the
    // order of their end times.
    const WireState& wire = s.wires[w];
    for (;;) {
        std::size_t sender = kMaxHandles;
        std::int64_t first = kNotScheduled;
        for (std::uint32_t i = 0; i < wire.count; ++i) {
            HandleState& h = s.handles[wire.handles[i]];
            if (h.tx.count > 0 && h.tx.front().time_ns < first) {
                sender = wire.handles[i];
                first = h.tx.front().time_ns;
            }
        }
        if (first > now) {
            s.wire_next_end_ns[w] = first;
            return;
        }
        HandleState& h = s.handles[sender];
        const Frame f = h.tx.front();
        h.tx.pop();
        if (card_ok(s, h)) {
            deliver(s, sender, f, signals);
        }
    }
}

void Simulator::deliver(SharedState& s, std::size_t sender_slot, const Frame& f, Signals& signals) {
    const HandleState& sender = s.handles[sender_slot];
    const ChannelState& from = s.channels[sender.channel];
    const std::int32_t bus = from.bus;
    const WireState& wire = s.wires[sender.wire];

    if (bus >= 0) {
        BusState& b = s.buses[bus];
        ++b.frames;
        b.bits += static_cast<std::uint64_t>(f.nominal_bits) + f.data_bits;
        b.busy_ns += static_cast<std::uint64_t>(duration_ns(f, from));
    }

    // A frame is acknowledged by any active, non-silent node on another channel of the bus
    // that reads it correctly, or by the bus's foreign node.
    bool acked = bus >= 0 && s.buses[bus].foreign_ack;
    for (std::uint32_t i = 0; i < wire.count && !acked && bus >= 0; ++i) {
        const HandleState& h = s.handles[wire.handles[i]];
        if (h.channel != sender.channel && transmitting(s, h) &&
            timing_matches(s.channels[h.channel], from.bitrate, from.data_bitrate, f)) {
            acked = true;
        }
    }

    for (std::uint32_t i = 0; i < wire.count; ++i) {
        const std::size_t slot = wire.handles[i];
        const HandleState& h = s.handles[slot];
        if (!reaches(s, sender, h)) {
            continue;
        }
        Frame copy = f;
        if (slot == sender_slot) {
            copy.flags |= acked ? TARN_MSG_TXACK : TARN_MSG_TXNACK;
        } else if (h.channel == sender.channel) {
            if (h.local_txack) {
                copy.flags |= TARN_MSG_LOCAL_TXACK;
            }
        } else if (!timing_matches(s.channels[h.channel], from.bitrate, from.data_bitrate, f)) {
            copy = error_frame(f.time_ns);
        }
        push_rx(s, slot, copy, signals);
    }
}

void Simulator::push_rx(SharedState& s, std::size_t slot, Frame f, Signals& signals) {
    HandleState& h = s.handles[slot];
    if (h.rx.count >= s.channels[h.channel].rx_capacity) {
        h.overflow_pending = 1;
        h.overflow_status = 1;
        return;
    }
    if (h.overflow_pending) {
        f.flags |= TARN_MSG_SW_OVERRUN;
        h.overflow_pending = 0;
    }
    const bool was_empty = h.rx.count == 0;
    h.rx.push(f);
    if (was_empty) {
        // Waiters armed for this end time or earlier wake by themselves.
        poke(s, slot, f.time_ns, false, signals);
    }
}

// ---- wake-ups ----

void Simulator::poke(SharedState& s, std::size_t slot, std::int64_t at, bool force,
                     Signals& signals) {
    HandleState& h = s.handles[slot];
    if (!h.wakeable || (!force && at >= h.armed_ns)) {
        return;
    }
    h.armed_ns = std::min(h.armed_ns, at);
    if (h.owner == attachment_->token) {
        Waiters& w = *waiters_[slot];
        signals.add(&w, h.armed_ns, w.watched, true);
    } else {
        h.poked = 1;
        signals.ring(h.owner);
    }
}

void Simulator::rearm(SharedState& s, std::size_t slot, Signals& signals) {
    HandleState& h = s.handles[slot];
    const std::int64_t next = s.wire_next_end_ns[h.wire];
    if (next == h.armed_ns) {
        return;
    }
    h.armed_ns = next;
    Waiters& w = *waiters_[slot];
    if (w.watched && next != kNotScheduled) {
        signals.add(&w, next, true, false);
    }
}

void Simulator::make_wakeable_locked(SharedState& s, std::size_t slot) {
    HandleState& h = s.handles[slot];
    if (h.wakeable) {
        return;
    }
    // Others ring the doorbell once the handle is wakeable: it answers before.
    {
        std::lock_guard guard(delivery_mutex_);
        if (delivery_.thread.joinable() && delivery_.token != attachment_->token) {
            // Left running by a configure that raced with this call: it ends by itself.
            delivery_.stop->store(true);
            delivery_.bell->set();
            retired_.push_back(std::move(delivery_));
            delivery_ = Delivery{};
        }
        if (!delivery_.thread.joinable()) {
            auto bell = platform::NamedEvent::open(attachment_->name + ".bell." +
                                                   std::to_string(attachment_->token));
            if (!bell) {
                std::fprintf(stderr, "tarnsim: %s\n", bell.error().what.c_str());
                return;  // waits end by their own times only
            }
            delivery_.token = attachment_->token;
            delivery_.bell = std::make_shared<platform::NamedEvent>(std::move(bell.value()));
            delivery_.stop = std::make_shared<std::atomic<bool>>(false);
            delivery_.thread =
                platform::Thread("tarnsim delivery", platform::ThreadPriority::Normal,
                                 [this, bell = delivery_.bell, stop = delivery_.stop,
                                  token = delivery_.token] { delivery_body(*bell, *stop, token); });
        }
    }
    h.wakeable = 1;
}

void Simulator::delivery_body(platform::NamedEvent& bell, const std::atomic<bool>& stop,
                              std::uint32_t token) {
    for (;;) {
        bell.wait_until(kNotScheduled);
        if (stop.load()) {
            return;
        }
        Session session(*this, false);
        if (session.status() == kOk && attachment_->token == token && !stop.load()) {
            sweep_locked(session.state(), session.signals());
        }
    }
}

void Simulator::sweep_locked(SharedState& s, Signals& signals) {
    for (std::size_t i = 0; i < mine_.size();) {
        const std::size_t slot = mine_[i];
        HandleState& h = s.handles[slot];
        Waiters& w = *waiters_[slot];
        if (!h.in_use || h.owner != attachment_->token) {
            // Reset by another process: its waiters find out that it is gone.
            signals.add(&w, std::numeric_limits<std::int64_t>::min(), w.watched, true);
            w.watched = false;
            mine_[i] = mine_.back();
            mine_.pop_back();
            continue;
        }
        if (h.poked) {
            h.poked = 0;
            signals.add(&w, h.armed_ns, w.watched, true);
        }
        ++i;
    }
}

void Simulator::give(Signals& signals) {
    for (std::uint32_t i = 0; i < signals.locals; ++i) {
        const Signals::Local& l = signals.local[i];
        if (l.event) {
            l.waiters->event.set_at(l.at);
        }
        if (l.wake) {
            l.waiters->wake.set();
        }
    }
    for (std::uint32_t i = 0; i < signals.rings; ++i) {
        ring(signals.tokens[i]);
    }
    signals.locals = 0;
    signals.rings = 0;
}

void Simulator::ring(std::uint32_t token) {
    std::lock_guard guard(bells_mutex_);
    auto it = bells_.find(token);
    if (it == bells_.end()) {
        auto bell =
            platform::NamedEvent::open(attachment_->name + ".bell." + std::to_string(token));
        if (!bell) {
            return;
        }
        it = bells_.emplace(token, std::move(bell.value())).first;
    }
    it->second.set();
}

void Simulator::stop_delivery(DeliveryEnd end) {
    std::vector<Delivery> old;
    {
        std::lock_guard guard(delivery_mutex_);
        old = std::move(retired_);
        retired_.clear();
        if (delivery_.thread.joinable()) {
            old.push_back(std::move(delivery_));
        }
        delivery_ = Delivery{};
    }
    if (old.empty()) {
        return;
    }
    if (end == DeliveryEnd::LeaveToEnd) {
        // The threads' code must stay in place after the driver is unloaded.
        platform::keep_library_loaded(reinterpret_cast<const void*>(&Simulator::instance));
    }
    for (Delivery& d : old) {
        d.stop->store(true);
        d.bell->set();
        if (end == DeliveryEnd::Wait) {
            d.thread.join();
        } else {
            d.thread.detach();
        }
    }
}

// ---- driver operations ----

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
    std::size_t slot = 0;
    while (slot < kMaxHandles && s.handles[slot].in_use) {
        ++slot;
    }
    if (slot == kMaxHandles) {
        return kErrNoHandles;
    }
    HandleState& h = s.handles[slot];
    h.in_use = 1;
    h.owner = attachment_->token;
    h.channel = global;
    h.generation = is.generation;
    h.open_flags = static_cast<std::uint32_t>(flags);
    h.on_bus = 0;
    h.silent = 0;
    h.txack = 0;
    h.local_txack = 0;
    h.local_echo = 0;
    h.overflow_pending = 0;
    h.overflow_status = 0;
    h.wire = wire;
    h.wakeable = 0;
    h.poked = 0;
    h.armed_ns = kNotScheduled;
    h.rx.clear();
    h.tx.clear();
    WireState& w = s.wires[wire];
    w.handles[w.count++] = static_cast<std::uint8_t>(slot);
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
    advance(s, now, session.signals());
    s.handles[slot].silent = mode == TARN_DRIVERTYPE_SILENT ? 1 : 0;
    schedule_pending(s, slot, now, session.signals());
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
    advance(s, now, session.signals());
    if (on) {
        s.channels[h.channel].bus_off = 0;  // going on bus recovers from bus off
        h.on_bus = 1;
        schedule_pending(s, slot, now, session.signals());
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
    advance(s, now, session.signals());
    if (h.tx.count >= s.channels[h.channel].tx_capacity) {
        return kErrTxBufOfl;
    }
    if (transmitting(s, h)) {
        schedule(s, slot, f, now, session.signals());
    } else {
        f.time_ns = kNotScheduled;
    }
    h.tx.push(f);
    advance(s, now, session.signals());  // unpaced: it has ended already
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
        advance(s, now, session.signals());
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
            advance(s, *now, session.signals());
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
    advance(s, now_ns(), session.signals());
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
        advance(s, now_ns(), session.signals());
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

// ---- control operations ----

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
    advance(s, now, session.signals());
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
    BusState& b = s.buses[bus];
    WireState& wire = s.wires[bus];
    ChannelState sender{};
    sender.bitrate = bitrate;
    const std::int64_t duration = duration_ns(f, sender);
    wire.busy_until_ns = std::max(wire.busy_until_ns, now) + duration;
    ++b.frames;
    b.bits += static_cast<std::uint64_t>(f.nominal_bits) + f.data_bits;
    b.busy_ns += static_cast<std::uint64_t>(duration);
    if (f.flags & TARN_MSG_ERROR_FRAME) {
        ++b.error_frames;
    }
    for (std::uint32_t i = 0; i < wire.count; ++i) {
        const std::size_t slot = wire.handles[i];
        const HandleState& h = s.handles[slot];
        if (receiving(s, h)) {
            const bool readable =
                (f.flags & TARN_MSG_ERROR_FRAME) || s.channels[h.channel].bitrate == bitrate;
            push_rx(s, slot, readable ? f : error_frame(now), session.signals());
        }
    }
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
    advance(s, now, session.signals());
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
    advance(s, now, session.signals());
    s.paced = paced ? 1 : 0;
    if (!paced) {
        // What is on the wire ends now, like everything written from here on.
        for (std::uint32_t w = 0; w < kMaxWires; ++w) {
            for (std::uint32_t i = 0; i < s.wires[w].count; ++i) {
                HandleState& h = s.handles[s.wires[w].handles[i]];
                for (std::uint32_t n = 0; n < h.tx.count; ++n) {
                    if (h.tx.at(n).time_ns != kNotScheduled) {
                        h.tx.at(n).time_ns = now;
                        note_pending(s, w, now);
                    }
                }
            }
        }
        advance(s, now, session.signals());
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
    advance(s, now, session.signals());
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
