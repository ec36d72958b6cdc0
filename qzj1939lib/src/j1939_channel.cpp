#include "qzj1939lib/j1939_channel.hpp"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <queue>
#include <thread>
#include <tuple>

#include "address_claim.hpp"
#include "platform/log.hpp"
#include "platform/thread.hpp"
#include "shared_data_manager.hpp"
#include "tarnlib/state_machine/event_waiter.hpp"
#include "tp.hpp"
#include "tx_command.hpp"

namespace qzj1939lib {

namespace {

constexpr const char* kTarget = "qzj1939lib::j1939_channel";
constexpr auto kStateWait = std::chrono::seconds(1);
constexpr std::uint32_t kDrainTimeoutMs = 1000;
// How long close waits for what the Tx thread still has to send: frames due within it go
// out at their time, later ones are dropped.
constexpr auto kFlushLimit = std::chrono::milliseconds(250);
// How often a channel in shared mode looks for the claims of processes that ended.
constexpr auto kUpkeepPeriod = std::chrono::milliseconds(250);

using tarnlib::CanMessage;
using tarnlib::CanMsgFlags;
using tarnlib::Status;
using tarnlib::TarnlibError;

template <class T = Ok>
J1939Result<T> fail(Status status, std::string message) {
    return platform::unexpected(TarnlibError{status, std::move(message)});
}

std::string status_text(Status status) {
    return tarnlib::status_name(static_cast<std::int32_t>(status));
}

// The record's debug form for log lines.
std::string frame_text(const CanMessage& frame) {
    return fmt::format("CanMessage {{ id: 0x{:X}, dlc: {}, flags: {}, data: [{}] }}", frame.id,
                       frame.dlc, tarnlib::flag_text(frame.flag),
                       platform::log::hex_dump(frame.data.data(), frame.data.size()));
}

// Without the shared table: ids from a counter of the process; with it, from the table's
// counter, unique across processes.
std::atomic<std::uint32_t> g_next_client_id{1};

// A number for the CAN channel that every process computes alike: FNV-1a over the
// channel's identity text.
std::uint32_t channel_number(const tarnlib::ChannelIdentity& identity) {
    std::uint32_t hash = 0x811C9DC5u;
    for (const char c : tarnlib::to_string(identity)) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 0x01000193u;
    }
    return hash;
}

// What the channel remembers of every frame written until its acknowledgement arrives.
struct TxItem {
    std::uint32_t id = 0;
    std::optional<std::uint32_t> tag;
};

}  // namespace

const char* to_string(ClaimState state) noexcept {
    switch (state) {
        case ClaimState::Unclaimed:
            return "Unclaimed";
        case ClaimState::ClaimSent:
            return "ClaimSent";
        case ClaimState::Claimed:
            return "Claimed";
        case ClaimState::CannotClaim:
            return "CannotClaim";
    }
    return "Unknown";
}

std::string to_string(const TarnlibError& error) {
    return fmt::format("{} ({})", error.message, status_text(error.status));
}

// What the receive path shares with the rest of the channel. It owns no device, so that
// a receive path still running on the device's read thread when the channel goes never
// holds the device.
struct Engines {
    Engines(std::uint32_t client, std::uint32_t channel, std::unique_ptr<ClaimStore> claims)
        : client_id(client), address_claim(channel, client, std::move(claims)) {
        // Called under ac_mutex; the lock order is ac_mutex, then tp_mutex.
        address_claim.set_state_listener([this](const AddressStateChanged& change) {
            std::lock_guard lock(tp_mutex);
            if (change.state == ClaimState::Claimed) {
                tp.set_local_address(change.address, change.protector);
            } else {
                tp.remove_local_address(change.address);
            }
        });
    }

    const std::uint32_t client_id;
    std::atomic<bool> tx_echo{false};
    std::atomic<bool> tp_passthrough{false};

    // Guards pending. Writers hold it from appending their item until the device write
    // has returned, so that the list is in write order.
    std::mutex pending_mutex;
    std::deque<TxItem> pending;

    std::mutex ac_mutex;  // guards address_claim
    AddressClaimManager address_claim;

    std::mutex tp_mutex;  // guards tp
    TransportProtocol tp;

    std::mutex senders_mutex;  // guards commands, events: the receive path's queue ends
    TxCommandSender commands;
    EventSender events;

    void on_event(const tarnlib::NetworkEvent& event);
    void on_frame(const CanMessage& frame, const TxCommandSender& commands,
                  const EventSender& events);
    void on_tx_ack(const CanMessage& frame, const EventSender& events);
    // Takes the pending item of an acknowledged frame. A frame whose acknowledgement never
    // came (written before the handle was reopened, or not acknowledged) is skipped, so the
    // list stays aligned.
    std::optional<TxItem> take_pending(const CanMessage& frame, bool log_mismatch);
    void deliver(const J1939Message& message, bool local_echo, const EventSender& events);
};

namespace {

void put_event(const EventSender& events, ChannelEvent event, const char* what) {
    if (!events.send(std::move(event))) {
        QZ_LOG_DEBUG(kTarget, "Event queue has no receiver, dropping {}", what);
    }
}

void put_command(const TxCommandSender& commands, TxCommand command) {
    if (!commands.send(std::move(command))) {
        QZ_LOG_DEBUG(kTarget, "Tx command queue is closed, dropping response");
    }
}

}  // namespace

void Engines::on_event(const tarnlib::NetworkEvent& event) {
    if (event.kind == tarnlib::EventKind::Down) {
        // The handle is gone: the acknowledgements of what it had not sent never come.
        std::lock_guard lock(pending_mutex);
        pending.clear();
        return;
    }
    if (event.kind != tarnlib::EventKind::Frames || !event.frames) {
        return;
    }
    TxCommandSender batch_commands;
    EventSender batch_events;
    {
        std::lock_guard lock(senders_mutex);
        batch_commands = commands;
        batch_events = events;
    }
    if (!batch_events) {
        return;  // closed
    }
    for (const CanMessage& frame : *event.frames) {
        on_frame(frame, batch_commands, batch_events);
    }
}

std::optional<TxItem> Engines::take_pending(const CanMessage& frame, bool log_mismatch) {
    std::lock_guard lock(pending_mutex);
    if (pending.empty()) {
        if (log_mismatch) {
            QZ_LOG_ERROR(kTarget, "TxAck received for CAN id {:X} with no matching Tx item",
                         frame.id);
        }
        return std::nullopt;
    }
    if (pending.front().id == frame.id) {
        const TxItem item = pending.front();
        pending.pop_front();
        return item;
    }
    if (log_mismatch) {
        QZ_LOG_ERROR(kTarget, "TxAck CAN id {:X} does not match expected id {:X}", frame.id,
                     pending.front().id);
    }
    const auto match = std::find_if(pending.begin(), pending.end(),
                                    [&](const TxItem& item) { return item.id == frame.id; });
    if (match == pending.end()) {
        pending.pop_front();
        return std::nullopt;
    }
    const TxItem item = *match;
    pending.erase(pending.begin(), match + 1);
    return item;
}

void Engines::on_tx_ack(const CanMessage& frame, const EventSender& events) {
    const std::optional<TxItem> item = take_pending(frame, true);
    if (!item || !item->tag) {
        return;
    }
    J1939Message message = from_can_message(frame);
    if (*item->tag != 0) {
        put_event(events, TxConfirmed{*item->tag, std::move(message)}, "TxConfirmed");
    } else if (message.pgn == kPgnTpDt || message.pgn == kPgnTpCm) {
        std::lock_guard lock(tp_mutex);
        tp.on_tx_ack(message, MonotonicClock::now());
    }
}

void Engines::deliver(const J1939Message& message, bool local_echo, const EventSender& events) {
    if (local_echo && !tx_echo.load()) {
        return;
    }
    put_event(events, RxMessage{message}, "received message");
}

void Engines::on_frame(const CanMessage& frame, const TxCommandSender& commands,
                       const EventSender& events) {
    const CanMsgFlags flags = frame.flag;
    if (flags.has(CanMsgFlags::ERROR_FRAME)) {
        J1939Message header = decode_id(frame.id);
        header.timestamp = frame.timestamp;
        put_event(events, RxError{std::move(header)}, "Rx error");
        return;
    }
    if (!flags.has(CanMsgFlags::EXT)) {
        return;
    }
    if (flags.has(CanMsgFlags::TXACK)) {
        on_tx_ack(frame, events);
        return;
    }
    if (flags.has(CanMsgFlags::TXNACK)) {
        QZ_LOG_ERROR(kTarget, "Unexpected TxNack received for CAN msg {}", frame_text(frame));
        // No acknowledgement follows for this frame.
        (void)take_pending(frame, false);
        return;
    }
    const bool local_echo = flags.has(CanMsgFlags::LOCAL_TXACK);
    const J1939Message message = from_can_message(frame);
    const Instant now = MonotonicClock::now();
    switch (message.pgn) {
        case kPgnTpDt:
        case kPgnTpCm:
            if (!tp_passthrough.load()) {
                if (!local_echo) {
                    std::lock_guard lock(tp_mutex);
                    tp.receive(message, now);
                }
                return;
            }
            break;
        case kPgnAddressClaimed: {
            std::optional<TxCommand> answer;
            {
                std::lock_guard lock(ac_mutex);
                answer = address_claim.on_address_claimed(message, local_echo, now);
            }
            if (answer) {
                put_command(commands, std::move(*answer));
            }
            break;
        }
        case kPgnRequest: {
            const std::vector<std::uint8_t>& data = *message.data;
            if (!local_echo && data.size() > 2 &&
                (data[0] | data[1] << 8 | data[2] << 16) == static_cast<int>(kPgnAddressClaimed)) {
                std::vector<TxCommand> answers;
                {
                    std::lock_guard lock(ac_mutex);
                    answers = address_claim.on_request_for_claim(message, now);
                }
                for (TxCommand& answer : answers) {
                    put_command(commands, std::move(answer));
                }
            }
            break;
        }
        default:
            break;
    }
    deliver(message, local_echo, events);
}

struct J1939Channel::Core {
    Core(std::shared_ptr<tarnlib::CanDevice> dev, std::shared_ptr<Engines> eng)
        : device(std::move(dev)), engines(std::move(eng)) {}

    const std::shared_ptr<tarnlib::CanDevice> device;
    const std::shared_ptr<Engines> engines;
    tarnlib::Notifier::SubscriptionId subscription = 0;

    // Guards open, tx_thread and its queue ends; serialises open, close and the TP
    // passthrough option.
    mutable std::mutex state_mutex;
    std::atomic<bool> open{false};
    platform::Thread tx_thread;
    std::shared_ptr<Receiver<TxCommand>> tx_commands;  // kept across a stop, for a restart
    EventSender tx_events;

    // Appends the Tx item and writes the frame, under the pending-list mutex.
    Status transmit(const J1939Message& message, std::optional<std::uint32_t> tag);
    void start_tx_thread();
    void run_tx_thread(Receiver<TxCommand>& commands, const EventSender& events);
    // Has the Tx thread send what it holds and end (state mutex held).
    void stop_tx_thread_locked();
    // Waits for the device to publish the event, or to be in the state already.
    bool set_bus_on(bool on, const char* waiter_name);
    // Takes the queue ends back from the engines and the receive path and joins the Tx
    // thread (state mutex held).
    void detach_locked();
    J1939Result<Ok> close_locked();
};

Status J1939Channel::Core::transmit(const J1939Message& message, std::optional<std::uint32_t> tag) {
    const CanMessage frame = to_can_message(message);
    std::lock_guard lock(engines->pending_mutex);
    engines->pending.push_back(TxItem{frame.id, tag});
    const Status status = device->write(frame);
    if (status != Status::tarnOK) {
        engines->pending.pop_back();
    }
    return status;
}

bool J1939Channel::Core::set_bus_on(bool on, const char* waiter_name) {
    using tarnlib::EventKind;
    auto waiter = tarnlib::EventWaiter::create(
        waiter_name, tarnlib::NetworkEvent::of(on ? EventKind::Up : EventKind::Configured));
    const auto id = device->subscribe(waiter->callback());
    tarnlib::CanDeviceConfiguration configuration = device->configuration();
    configuration.bus_on = on;
    const bool changed = device->reconfigure(configuration);
    const bool there = !changed && (on ? device->is_up() : device->state_name() == "configured");
    const bool reached = there || waiter->wait(kStateWait);
    device->unsubscribe(id);
    return reached;
}

void J1939Channel::Core::start_tx_thread() {
    tx_thread = platform::Thread(
        fmt::format("J1939Channel({})::tx_thread", engines->client_id),
        platform::ThreadPriority::Raised,
        [this, receiver = tx_commands, events = tx_events]() { run_tx_thread(*receiver, events); });
}

void J1939Channel::Core::stop_tx_thread_locked() {
    if (!tx_thread.joinable()) {
        return;
    }
    {
        std::lock_guard lock(engines->senders_mutex);
        if (!engines->commands.send(StopTx{})) {
            QZ_LOG_DEBUG(kTarget, "Tx command queue is closed, Tx thread ends by itself");
        }
    }
    tx_thread.join();
}

void J1939Channel::Core::run_tx_thread(Receiver<TxCommand>& commands, const EventSender& events) {
    struct Scheduled {
        Instant at;
        std::uint64_t sequence;  // equal instants go out in the order they were scheduled
        SendAt command;
    };
    const auto later = [](const Scheduled& a, const Scheduled& b) {
        return std::tie(a.at, a.sequence) > std::tie(b.at, b.sequence);
    };
    std::priority_queue<Scheduled, std::vector<Scheduled>, decltype(later)> heap(later);
    std::uint64_t sequence = 0;
    // A restarted thread (after a close that could not go off bus) lost its deadlines: both
    // steps run once at the start and give them back.
    std::optional<Instant> claim_deadline = MonotonicClock::now();
    std::optional<Instant> tp_deadline = claim_deadline;
    std::optional<Instant> upkeep_at;
    if (engines->address_claim.shared()) {
        upkeep_at = claim_deadline;
    }

    // `retry_until`: at close, a full driver queue is waited out until then.
    const auto send_now = [this, &events](const SendAt& command,
                                          std::optional<Instant> retry_until = std::nullopt) {
        Status st = transmit(command.message, command.tag);
        while (st == Status::tarnERR_TXBUFOFL && retry_until) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *retry_until - MonotonicClock::now());
            if (left.count() <= 0) {
                break;
            }
            (void)device->write_sync(static_cast<std::uint32_t>(left.count()));
            st = transmit(command.message, command.tag);
        }
        if (st != Status::tarnOK) {
            QZ_LOG_ERROR(kTarget, "Failed to send CAN message: {}", status_text(st));
        }
        if (command.then) {
            put_event(events, *command.then, "received message");
        }
    };
    // Close: what is queued goes out now, what is scheduled at its time if that comes
    // within the flush limit.
    const auto flush = [&]() {
        const Instant limit = MonotonicClock::now() + kFlushLimit;
        for (;;) {
            auto received = commands.try_receive();
            if (!received.item) {
                break;
            }
            if (auto* command = std::get_if<SendAt>(&*received.item)) {
                heap.push(Scheduled{command->at, sequence++, std::move(*command)});
            }
        }
        for (; !heap.empty(); heap.pop()) {
            const Scheduled& next = heap.top();
            if (next.at > limit) {
                QZ_LOG_DEBUG(kTarget, "Channel closing, dropping frame scheduled too late: {}",
                             frame_text(to_can_message(next.command.message)));
                continue;
            }
            std::this_thread::sleep_until(next.at);
            send_now(next.command, limit);
        }
    };
    const auto earlier = [](std::optional<Instant> a, std::optional<Instant> b) {
        if (!a || !b) {
            return a ? a : b;
        }
        return std::optional<Instant>(std::min(*a, *b));
    };

    for (;;) {
        std::optional<Instant> wake = earlier(earlier(claim_deadline, tp_deadline), upkeep_at);
        if (!heap.empty()) {
            wake = earlier(wake, heap.top().at);
        }
        auto received = commands.receive_until(wake);
        if (received.status == Receiver<TxCommand>::Status::Closed) {
            QZ_LOG_INFO(kTarget, "Terminating J1939 Tx thread");
            return;
        }
        if (received.item && std::holds_alternative<StopTx>(*received.item)) {
            flush();
            QZ_LOG_INFO(kTarget, "Terminating J1939 Tx thread");
            return;
        }
        Instant now = MonotonicClock::now();
        if (received.item) {
            std::visit(
                [&](auto& command) {
                    using T = std::decay_t<decltype(command)>;
                    if constexpr (std::is_same_v<T, SendAt>) {
                        if (command.at <= now) {
                            send_now(command);
                        } else {
                            heap.push(Scheduled{command.at, sequence++, std::move(command)});
                        }
                    } else if constexpr (std::is_same_v<T, AddressStateChanged>) {
                        // The transport protocol has it already (the claim manager's state
                        // listener); only the application is told here.
                        if (command.notify) {
                            put_event(events, AddressState{command.address, command.state},
                                      "address state");
                        }
                    } else if constexpr (std::is_same_v<T, RunAddressClaim>) {
                        std::lock_guard lock(engines->ac_mutex);
                        claim_deadline = engines->address_claim.timer_step(now);
                    } else if constexpr (std::is_same_v<T, TpScheduleTimeout>) {
                        tp_deadline = earlier(tp_deadline, command.at);
                    }
                },
                *received.item);
            now = MonotonicClock::now();
        }
        while (!heap.empty() && heap.top().at <= now) {
            send_now(heap.top().command);
            heap.pop();
        }
        if (claim_deadline && *claim_deadline <= now) {
            std::lock_guard lock(engines->ac_mutex);
            claim_deadline = engines->address_claim.timer_step(now);
        }
        if (tp_deadline && *tp_deadline <= now) {
            std::lock_guard lock(engines->tp_mutex);
            tp_deadline = engines->tp.timer_step(now);
        }
        if (upkeep_at && *upkeep_at <= now) {
            std::vector<J1939Message> frames;
            {
                std::lock_guard lock(engines->ac_mutex);
                frames = engines->address_claim.upkeep();
            }
            for (J1939Message& frame : frames) {
                send_now(SendAt{std::move(frame), std::nullopt, now});
            }
            upkeep_at = now + kUpkeepPeriod;
        }
    }
}

void J1939Channel::Core::detach_locked() {
    {
        std::lock_guard lock(engines->tp_mutex);
        engines->tp.detach();
    }
    {
        std::lock_guard lock(engines->ac_mutex);
        engines->address_claim.take_sender();
    }
    {
        std::lock_guard lock(engines->senders_mutex);
        engines->commands.reset();
        engines->events.reset();
    }
    if (tx_thread.joinable()) {
        tx_thread.join();
    }
    tx_commands.reset();
    tx_events.reset();
    std::lock_guard lock(engines->pending_mutex);
    engines->pending.clear();
}

J1939Result<Ok> J1939Channel::Core::close_locked() {
    engines->tx_echo = false;
    std::vector<J1939Message> frames;
    {
        std::lock_guard lock(engines->ac_mutex);
        frames = engines->address_claim.release_all();
    }
    // What the protocol has queued for the bus (End of Message Acknowledgments, Clear To
    // Send, Abort, answers to claims) goes out before the device leaves the bus, instead
    // of failing on a closed handle; a received transfer waiting for its acknowledgment
    // reaches the event queue with it.
    stop_tx_thread_locked();
    for (const J1939Message& frame : frames) {
        (void)transmit(frame, std::nullopt);
    }
    (void)device->write_sync(kDrainTimeoutMs);
    if (!set_bus_on(false, "bus_off_configured")) {
        const TarnlibError error{
            Status::tarnERR_TIMEOUT,
            fmt::format("CAN device did not reach 'configured' state within timeout: {}",
                        device->state_name())};
        QZ_LOG_ERROR(kTarget, "Failed to take CAN channel off bus: {}", to_string(error));
        start_tx_thread();  // the channel stays open
        return platform::unexpected(error);
    }
    detach_locked();
    open = false;
    return Ok{};
}

std::shared_ptr<J1939Channel> J1939Channel::create(std::shared_ptr<tarnlib::CanDevice> device) {
    SharedDataManager* const table = SharedDataManager::configured();
    const std::uint32_t client_id = table ? table->next_client_id() : g_next_client_id.fetch_add(1);
    auto engines = std::make_shared<Engines>(
        client_id, channel_number(device->configuration().identity),
        table ? make_shared_claim_store(*table) : make_local_claim_store());
    auto core = std::make_unique<Core>(std::move(device), engines);
    core->subscription = core->device->subscribe(
        [engines](const tarnlib::NetworkEvent& event, std::int32_t) { engines->on_event(event); });
    return std::shared_ptr<J1939Channel>(new J1939Channel(std::move(core)));
}

J1939Channel::J1939Channel(std::unique_ptr<Core> core) : core_(std::move(core)) {}

J1939Channel::~J1939Channel() {
    {
        std::lock_guard lock(core_->state_mutex);
        if (core_->open) {
            if (!core_->close_locked()) {
                // Off bus or not, nothing of the channel may outlive it.
                core_->detach_locked();
                core_->open = false;
            }
        }
    }
    core_->device->unsubscribe(core_->subscription);
}

J1939Result<EventReceiver> J1939Channel::open() {
    Core& c = *core_;
    std::lock_guard lock(c.state_mutex);
    if (c.open) {
        return fail<EventReceiver>(Status::tarnERR_INVHANDLE, "Channel already open");
    }
    auto [commands, command_receiver] = make_queue<TxCommand>();
    auto [events, event_receiver] = make_queue<ChannelEvent>();
    {
        std::lock_guard ac(c.engines->ac_mutex);
        if (c.engines->address_claim.has_sender()) {
            return fail<EventReceiver>(Status::tarnERR_PARAM, "Already subscribed");
        }
        c.engines->address_claim.set_sender(commands);
    }
    {
        std::lock_guard tp(c.engines->tp_mutex);
        c.engines->tp.attach(commands, events);
    }
    {
        std::lock_guard senders(c.engines->senders_mutex);
        c.engines->commands = commands;
        c.engines->events = events;
    }
    if (!c.set_bus_on(true, "bus_on_up")) {
        c.detach_locked();
        return fail<EventReceiver>(
            Status::tarnERR_TIMEOUT,
            fmt::format("CAN device did not come up within timeout: {}", c.device->state_name()));
    }
    c.tx_commands = std::make_shared<Receiver<TxCommand>>(std::move(command_receiver));
    c.tx_events = events;
    c.start_tx_thread();
    c.open = true;
    return std::move(event_receiver);
}

J1939Result<Ok> J1939Channel::close() {
    std::lock_guard lock(core_->state_mutex);
    if (!core_->open) {
        return Ok{};
    }
    return core_->close_locked();
}

J1939Result<Ok> J1939Channel::send(J1939Message message, std::optional<std::uint32_t> tag) {
    Core& c = *core_;
    if (!c.open) {
        return fail(Status::tarnERR_INVHANDLE, "Channel not open");
    }
    if (message.size() <= 8) {
        if (const Status st = c.transmit(message, tag); st != Status::tarnOK) {
            QZ_LOG_ERROR(kTarget, "Failed to write CAN message: {}", status_text(st));
            return fail(st, "Failed to send");
        }
        return Ok{};
    }
    if (c.engines->tp_passthrough) {
        return fail(Status::tarnERR_PARAM,
                    "Cannot send multi-frame message in TP passthrough mode");
    }
    std::lock_guard lock(c.engines->tp_mutex);
    return c.engines->tp.send(std::move(message), tag, MonotonicClock::now());
}

J1939Result<Ok> J1939Channel::claim_address(std::uint8_t address, std::uint64_t name) {
    Core& c = *core_;
    if (!c.open) {
        return fail(Status::tarnERR_INVHANDLE, "Channel not open");
    }
    J1939Result<std::optional<J1939Message>> started = std::optional<J1939Message>();
    {
        std::lock_guard lock(c.engines->ac_mutex);
        started = c.engines->address_claim.start_claim(address, name, MonotonicClock::now());
    }
    if (!started) {
        QZ_LOG_ERROR(kTarget, "Failed to start Address Claim");
        return platform::unexpected(started.error());
    }
    if (*started) {
        if (const Status st = c.transmit(**started, std::nullopt); st != Status::tarnOK) {
            QZ_LOG_ERROR(kTarget, "Failed to write CAN message: {}", status_text(st));
        }
    }
    return Ok{};
}

J1939Result<Ok> J1939Channel::remove_address_claim(std::uint8_t address) {
    Core& c = *core_;
    J1939Result<std::optional<J1939Message>> removed = std::optional<J1939Message>();
    {
        std::lock_guard lock(c.engines->ac_mutex);
        removed = c.engines->address_claim.remove_claim(address);
    }
    if (!removed) {
        return platform::unexpected(removed.error());
    }
    if (*removed) {
        std::lock_guard lock(c.engines->senders_mutex);
        put_command(c.engines->commands,
                    SendAt{std::move(**removed), std::nullopt, MonotonicClock::now()});
    }
    return Ok{};
}

J1939Result<Ok> J1939Channel::set_option(std::uint32_t option, std::uint32_t value) {
    Core& c = *core_;
    switch (option) {
        case kOptionTxEcho:
            if (value > 1) {
                return fail(Status::tarnERR_PARAM, "Invalid value for TX echo");
            }
            c.engines->tx_echo = value == 1;
            return Ok{};
        case kOptionTpPassthrough: {
            std::lock_guard lock(c.state_mutex);
            if (c.open) {
                return fail(Status::tarnERR_INVHANDLE,
                            "Cannot change TP passthrough when channel is open");
            }
            if (value > 1) {
                return fail(Status::tarnERR_PARAM, "Invalid value for TP pasthrough");
            }
            c.engines->tp_passthrough = value == 1;
            return Ok{};
        }
        case kOptionBamInterpacketTime:
        case kOptionMaxPacketsInRts:
        case kOptionMaxPacketsInCts:
        case kOptionT1:
        case kOptionT2:
        case kOptionT3:
        case kOptionT4: {
            std::lock_guard lock(c.engines->tp_mutex);
            return c.engines->tp.set_option(option, value);
        }
        default:
            return fail(Status::tarnERR_PARAM, "Invalid option");
    }
}

J1939Result<std::uint32_t> J1939Channel::get_option(std::uint32_t option) {
    Core& c = *core_;
    if (option == kOptionTpPassthrough) {
        return c.engines->tp_passthrough ? 1u : 0u;
    }
    if (option >= kOptionBamInterpacketTime && option <= kOptionT4) {
        std::lock_guard lock(c.engines->tp_mutex);
        return c.engines->tp.get_option(option);
    }
    return fail<std::uint32_t>(Status::tarnERR_PARAM, "Invalid option");
}

std::uint32_t J1939Channel::client_id() const noexcept {
    return core_->engines->client_id;
}

bool J1939Channel::is_open() const {
    return core_->open;
}

const std::shared_ptr<tarnlib::CanDevice>& J1939Channel::device() const noexcept {
    return core_->device;
}

}  // namespace qzj1939lib
