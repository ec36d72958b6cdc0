#include "simulator.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.hpp"

namespace tarnsim {

namespace {

constexpr tarnStatus kOk = 0;
constexpr tarnStatus kErrParam = -1;
constexpr tarnStatus kErrNoMsg = -2;
constexpr tarnStatus kErrNotFound = -3;
constexpr tarnStatus kErrTimeout = -7;
constexpr tarnStatus kErrNoHandles = -9;
constexpr tarnStatus kErrInvHandle = -10;
constexpr tarnStatus kErrTxBufOfl = -13;
constexpr tarnStatus kErrNotSupported = -19;
constexpr tarnStatus kErrNoCard = -26;
constexpr tarnStatus kErrInternal = -30;
constexpr tarnStatus kErrNoAccess = -31;
constexpr tarnStatus kErrConfig = -37;

constexpr std::int64_t kPollNs = 1'000'000;  // cross-process readiness is polled each 1 ms
constexpr std::uint32_t kErrorFrameBits = 20;
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

// Bits of a frame on the wire: arbitration and control at the nominal rate, data and CRC
// at the data rate for FD frames with bit-rate switch. Stuff bits are counted at their
// worst case (one per four bits of the stuffed fields).
struct FrameBits {
    std::uint32_t nominal;
    std::uint32_t data;
};

FrameBits frame_bits(const Frame& f) {
    const bool ext = (f.flags & TARN_MSG_EXT) != 0;
    const std::uint32_t payload = (f.flags & TARN_MSG_RTR) ? 0 : f.length * 8;
    if (f.flags & TARN_MSG_ERROR_FRAME) {
        return {kErrorFrameBits, 0};
    }
    if (!(f.flags & TARN_MSG_FDF)) {
        // SOF, identifier, control, data, CRC: stuffed; then delimiters, ACK, EOF, IFS.
        const std::uint32_t stuffed = (ext ? 54u : 34u) + payload;
        return {stuffed + (stuffed - 1) / 4 + 13, 0};
    }
    const std::uint32_t arbitration = ext ? 41u : 22u;
    const std::uint32_t crc = f.length <= 16 ? 21u : 25u;
    const std::uint32_t data_part = payload + crc + (payload + crc) / 4;
    const std::uint32_t tail = 13;
    if (f.flags & TARN_MSG_BRS) {
        return {arbitration + arbitration / 4 + tail, data_part};
    }
    return {arbitration + arbitration / 4 + tail + data_part, 0};
}

std::int64_t frame_duration_ns(const Frame& f, std::int32_t bitrate, std::int32_t data_bitrate) {
    const FrameBits bits = frame_bits(f);
    const double nominal = bitrate > 0 ? bitrate : 500000.0;
    const double data = data_bitrate > 0 ? data_bitrate : nominal;
    return static_cast<std::int64_t>(bits.nominal * 1e9 / nominal + bits.data * 1e9 / data);
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
    return f;
}

void initialise_state(SharedState& s, const Config& config, std::int64_t now) {
    const std::uint32_t token = s.next_token;
    std::memset(static_cast<void*>(&s), 0, sizeof(SharedState));
    s.magic = kStateMagic;
    s.next_token = token;  // tokens stay unique across resets
    s.paced = 1;
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

// Holds the process lock (mutex_) and the instance's named mutex, attached on first use.
class Simulator::Session {
  public:
    explicit Session(Simulator& sim) : sim_(sim), local_(sim.mutex_) { lock_named(); }
    ~Session() { unlock_named(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    tarnStatus status() const { return status_; }
    // The session's status if it failed, else whether the handle may be used.
    tarnStatus check(tarnHandle handle, bool require_card) {
        return status_ != kOk ? status_ : sim_.check_handle(state(), handle, require_card);
    }
    SharedState& state() { return *static_cast<SharedState*>(sim_.attachment_->state.data()); }

    // Waits for a local delivery or the time, with the named mutex released.
    void wait_until(std::int64_t deadline) {
        unlock_named();
        const std::int64_t now = now_ns();
        if (deadline > now) {
            sim_.changed_.wait_for(local_, std::chrono::nanoseconds(deadline - now));
        }
        lock_named();
    }

  private:
    void lock_named() {
        status_ = sim_.attach_locked();
        if (status_ == kOk) {
            sim_.attachment_->mutex.lock();
            named_ = true;
        }
    }

    void unlock_named() {
        if (named_) {
            sim_.attachment_->mutex.unlock();
            named_ = false;
        }
    }

    Simulator& sim_;
    std::unique_lock<std::mutex> local_;
    bool named_ = false;
    tarnStatus status_ = kOk;
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
    mutex->unlock();
    auto liveness = platform::LivenessMark::hold(name + ".proc." + std::to_string(token));
    attachment_.emplace(Attachment{name, config, std::move(mutex.value()), std::move(state.value()),
                                   token, std::nullopt});
    if (liveness) {
        attachment_->liveness.emplace(std::move(liveness.value()));
    }
    return kOk;
}

void Simulator::detach_locked() {
    if (!attachment_) {
        return;
    }
    {
        std::lock_guard named(attachment_->mutex);
        auto& s = *static_cast<SharedState*>(attachment_->state.data());
        for (HandleState& h : s.handles) {
            if (h.in_use && h.owner == attachment_->token) {
                h.in_use = 0;
            }
        }
    }
    events_.clear();
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
    for (HandleState& h : s.handles) {
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
            h.in_use = 0;
        }
    }
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

namespace {

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

void push_rx(const SharedState& s, HandleState& h, Frame f) {
    if (h.rx.count >= s.channels[h.channel].rx_capacity) {
        h.overflow_pending = 1;
        h.overflow_status = 1;
        return;
    }
    if (h.overflow_pending) {
        f.flags |= TARN_MSG_SW_OVERRUN;
        h.overflow_pending = 0;
    }
    h.rx.push(f);
}

}  // namespace

void Simulator::schedule(SharedState& s, HandleState& h, Frame& f, std::int64_t now) {
    const ChannelState& ch = s.channels[h.channel];
    const std::int64_t duration = frame_duration_ns(f, ch.bitrate, ch.data_bitrate);
    if (!s.paced) {
        f.time_ns = now;
    } else if (ch.bus >= 0) {
        BusState& bus = s.buses[ch.bus];
        f.time_ns = std::max(bus.busy_until_ns, now) + duration;
        bus.busy_until_ns = f.time_ns;
    } else {
        f.time_ns = now + duration;
    }
}

void Simulator::schedule_pending(SharedState& s, HandleState& h, std::int64_t now) {
    if (!transmitting(s, h)) {
        return;
    }
    for (std::uint32_t i = 0; i < h.tx.count; ++i) {
        Frame& f = h.tx.at(i);
        if (f.time_ns == kNotScheduled) {
            schedule(s, h, f, now);
        }
    }
}

void Simulator::advance(SharedState& s, std::int64_t now) {
    // Frames leave the transmit queues in the order they were put on the wire.
    for (;;) {
        std::size_t best = kMaxHandles;
        std::int64_t best_time = now;
        for (std::size_t i = 0; i < kMaxHandles; ++i) {
            HandleState& h = s.handles[i];
            if (h.in_use && h.tx.count > 0 && h.tx.front().time_ns <= best_time) {
                if (best == kMaxHandles || h.tx.front().time_ns < best_time) {
                    best = i;
                    best_time = h.tx.front().time_ns;
                }
            }
        }
        if (best == kMaxHandles) {
            return;
        }
        HandleState& sender = s.handles[best];
        const Frame f = sender.tx.front();
        sender.tx.pop();
        if (card_ok(s, sender)) {
            deliver(s, best, f);
        }
    }
}

void Simulator::deliver(SharedState& s, std::size_t sender_index, const Frame& f) {
    const HandleState& sender = s.handles[sender_index];
    const ChannelState& from = s.channels[sender.channel];
    const std::int32_t bus = from.bus;

    if (bus >= 0) {
        BusState& b = s.buses[bus];
        const FrameBits bits = frame_bits(f);
        ++b.frames;
        b.bits += bits.nominal + bits.data;
        b.busy_ns +=
            static_cast<std::uint64_t>(frame_duration_ns(f, from.bitrate, from.data_bitrate));
    }

    // A frame is acknowledged by any active, non-silent node on another channel of the bus
    // that reads it correctly, or by the bus's foreign node.
    bool acked = bus >= 0 && s.buses[bus].foreign_ack;
    for (std::size_t i = 0; i < kMaxHandles && !acked && bus >= 0; ++i) {
        const HandleState& h = s.handles[i];
        if (h.channel != sender.channel && s.channels[h.channel].bus == bus && transmitting(s, h) &&
            timing_matches(s.channels[h.channel], from.bitrate, from.data_bitrate, f)) {
            acked = true;
        }
    }

    for (std::size_t i = 0; i < kMaxHandles; ++i) {
        HandleState& h = s.handles[i];
        if (!receiving(s, h)) {
            continue;
        }
        if (i == sender_index) {
            if (h.txack) {
                Frame copy = f;
                copy.flags |= acked ? TARN_MSG_TXACK : TARN_MSG_TXNACK;
                push_rx(s, h, copy);
            }
        } else if (h.channel == sender.channel) {
            if (h.local_echo) {
                Frame copy = f;
                if (h.local_txack) {
                    copy.flags |= TARN_MSG_LOCAL_TXACK;
                }
                push_rx(s, h, copy);
            }
        } else if (bus >= 0 && s.channels[h.channel].bus == bus) {
            if (timing_matches(s.channels[h.channel], from.bitrate, from.data_bitrate, f)) {
                push_rx(s, h, f);
            } else {
                push_rx(s, h, error_frame(f.time_ns));
            }
        }
    }
}

void Simulator::signal_ready_locked(SharedState& s) {
    bool any = false;
    for (auto& [slot, event] : events_) {
        if (s.handles[slot].in_use && s.handles[slot].rx.count > 0) {
            event->set();
            any = true;
        }
    }
    if (any) {
        changed_.notify_all();
    }
}

void Simulator::watcher_body() {
    while (!watcher_stop_.load()) {
        watcher_timer_.wait_until(now_ns() + kPollNs);
        if (watcher_stop_.load()) {
            break;
        }
        Session session(*this);
        if (session.status() == kOk) {
            advance(session.state(), now_ns());
            signal_ready_locked(session.state());
        }
    }
}

void Simulator::stop_watcher() {
    std::lock_guard guard(watcher_mutex_);
    if (watcher_.joinable()) {
        watcher_stop_.store(true);
        watcher_timer_.wake();
        watcher_.join();
        watcher_stop_.store(false);
    }
}

// ---- driver operations ----

void Simulator::initialize_library() {
    Session session(*this);
}

tarnStatus Simulator::unload_library() {
    stop_watcher();
    std::lock_guard local(mutex_);
    if (attachment_) {
        std::lock_guard named(attachment_->mutex);
        auto& s = *static_cast<SharedState*>(attachment_->state.data());
        for (HandleState& h : s.handles) {
            if (h.in_use && h.owner == attachment_->token) {
                h.in_use = 0;
            }
        }
        events_.clear();
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
    int free_slot = -1;
    for (std::size_t i = 0; i < kMaxHandles; ++i) {
        const HandleState& h = s.handles[i];
        if (!h.in_use) {
            if (free_slot < 0) {
                free_slot = static_cast<int>(i);
            }
            continue;
        }
        if (h.channel == global && card_ok(s, h) &&
            (exclusive || (h.open_flags & TARN_OPEN_EXCLUSIVE))) {
            return kErrNoAccess;
        }
    }
    if (free_slot < 0) {
        return kErrNoHandles;
    }
    HandleState& h = s.handles[free_slot];
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
    h.rx.clear();
    h.tx.clear();
    return free_slot;
}

tarnStatus Simulator::close(tarnHandle handle) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, false); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    s.handles[handle].in_use = 0;
    events_.erase(handle);
    return kOk;
}

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
    HandleState& h = s.handles[handle];
    const std::int64_t now = now_ns();
    advance(s, now);
    h.silent = mode == TARN_DRIVERTYPE_SILENT ? 1 : 0;
    schedule_pending(s, h, now);
    return kOk;
}

tarnStatus Simulator::bus_on(tarnHandle handle, bool on) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    HandleState& h = s.handles[handle];
    const std::int64_t now = now_ns();
    advance(s, now);
    if (on) {
        s.channels[h.channel].bus_off = 0;  // going on bus recovers from bus off
        h.on_bus = 1;
        schedule_pending(s, h, now);
    } else {
        h.on_bus = 0;
        h.tx.clear();
    }
    return kOk;
}

tarnStatus Simulator::write(tarnHandle handle, std::int32_t id, const void* data, std::uint32_t dlc,
                            std::uint32_t flags) {
    Session session(*this);
    if (tarnStatus st = session.check(handle, true); st != kOk) {
        return st;
    }
    SharedState& s = session.state();
    HandleState& h = s.handles[handle];
    const bool ext = (flags & TARN_MSG_EXT) != 0;
    if (id < 0 || (ext && id > 0x1FFFFFFF) || (!ext && id > 0x7FF)) {
        return kErrParam;
    }
    Frame f{};
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
    const std::int64_t now = now_ns();
    advance(s, now);
    if (h.tx.count >= s.channels[h.channel].tx_capacity) {
        return kErrTxBufOfl;
    }
    if (transmitting(s, h)) {
        schedule(s, h, f, now);
    } else {
        f.time_ns = kNotScheduled;
    }
    h.tx.push(f);
    advance(s, now);
    signal_ready_locked(s);
    changed_.notify_all();
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
        const std::int64_t now = now_ns();
        advance(s, now);
        signal_ready_locked(s);
        HandleState& h = s.handles[handle];
        if (h.tx.count == 0) {
            return kOk;
        }
        if (now >= deadline) {
            return kErrTimeout;
        }
        const std::int64_t next = h.tx.front().time_ns;
        session.wait_until(std::min({deadline, next, now + kPollNs}));
    }
}

tarnStatus Simulator::read(tarnHandle handle, std::int32_t* id, void* data, std::uint32_t* dlc,
                           std::uint32_t* flags, std::uint32_t* time, std::uint32_t timeout_ms) {
    const std::int64_t deadline = now_ns() + static_cast<std::int64_t>(timeout_ms) * 1'000'000;
    Session session(*this);
    for (;;) {
        if (tarnStatus st = session.check(handle, true); st != kOk) {
            return st;
        }
        SharedState& s = session.state();
        const std::int64_t now = now_ns();
        advance(s, now);
        HandleState& h = s.handles[handle];
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
            signal_ready_locked(s);
            return kOk;
        }
        if (now >= deadline) {
            return kErrNoMsg;
        }
        // The earliest frame still on the wire anywhere, so that paced frames are read as
        // soon as they arrive; other processes' frames are found by polling.
        std::int64_t next = now + kPollNs;
        for (const HandleState& other : s.handles) {
            if (other.in_use && other.tx.count > 0) {
                next = std::min(next, std::max(now, other.tx.frames[other.tx.head].time_ns));
            }
        }
        session.wait_until(std::min(deadline, next));
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
    advance(s, now_ns());
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
    bool start_watcher = false;
    {
        Session session(*this);
        if (tarnStatus st = session.check(handle, true); st != kOk) {
            return st;
        }
        SharedState& s = session.state();
        HandleState& h = s.handles[handle];
        if (function == TARN_IOCTL_GET_EVENTHANDLE) {
            if (buffer == nullptr || size < sizeof(void*)) {
                return kErrParam;
            }
            auto& event = events_[handle];
            if (!event) {
                event = std::make_unique<platform::Event>(platform::Event::Reset::Automatic);
            }
#if defined(_WIN32)
            void* native = event->native_handle();
#else
            void* native = event.get();
#endif
            std::memcpy(buffer, &native, sizeof(void*));
            signal_ready_locked(s);
            start_watcher = true;
        } else {
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
        }
    }
    if (start_watcher) {
        std::lock_guard guard(watcher_mutex_);
        if (!watcher_.joinable()) {
            watcher_ = platform::Thread("tarnsim watcher", platform::ThreadPriority::Normal,
                                        [this] { watcher_body(); });
        }
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
    stop_watcher();
    std::lock_guard local(mutex_);
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
    initialise_state(session.state(), attachment_->config, now_ns());
    rebuild_view_locked(session.state());
    events_.clear();
    return kOk;
}

tarnStatus Simulator::set_plugged(std::int32_t interface_index, bool plugged) {
    Session session(*this);
    if (session.status() != kOk) {
        return session.status();
    }
    if (interface_index < 0 || interface_index >= static_cast<std::int32_t>(kMaxInterfaces) ||
        !session.state().interfaces[interface_index].present) {
        return kErrParam;
    }
    InterfaceState& is = session.state().interfaces[interface_index];
    if (is.plugged && !plugged) {
        ++is.generation;
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
    advance(s, now);
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
    }
    BusState& b = s.buses[bus];
    const FrameBits bits = frame_bits(f);
    const std::int64_t duration = frame_duration_ns(f, bitrate, bitrate);
    b.busy_until_ns = std::max(b.busy_until_ns, now) + duration;
    ++b.frames;
    b.bits += bits.nominal + bits.data;
    b.busy_ns += static_cast<std::uint64_t>(duration);
    if (f.flags & TARN_MSG_ERROR_FRAME) {
        ++b.error_frames;
    }
    for (HandleState& h : s.handles) {
        if (receiving(s, h) && s.channels[h.channel].bus == bus) {
            const bool readable =
                (f.flags & TARN_MSG_ERROR_FRAME) || s.channels[h.channel].bitrate == bitrate;
            push_rx(s, h, readable ? f : error_frame(now));
        }
    }
    signal_ready_locked(s);
    changed_.notify_all();
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
    advance(s, now_ns());
    s.channels[global].bus_off = 1;
    for (HandleState& h : s.handles) {
        if (h.in_use && h.channel == global) {
            h.tx.clear();
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
    advance(session.state(), now_ns());
    session.state().paced = paced ? 1 : 0;
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
    advance(s, now);
    signal_ready_locked(s);
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
