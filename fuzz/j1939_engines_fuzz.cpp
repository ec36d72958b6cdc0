// The J1939 protocol engines under bytes from the bus: two clients of one CAN channel, each
// with its address-claim manager and transport-protocol handler, over one shared claim
// table, fed an arbitrary sequence of frames (any identifier, 0 to 8 bytes, TP.CM of every
// control byte and size), sends, claims and time steps. Each client's frames are
// acknowledged back to it and seen by the other as another handle's frames, as the channel
// and the bus would do.
//
// Checked besides crashes and sanitizer reports: every session ends within its timers once
// time runs on far enough, the handlers hold no more than their session limits allow, and
// what reaches the application is well formed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "address_claim.hpp"
#include "platform/log.hpp"
#include "tp.hpp"
#include "tx_command.hpp"

namespace qzj1939lib {
namespace {

using namespace std::chrono_literals;

// Fails the run: libFuzzer keeps the input.
void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Reads the input front to back; past its end, zeros.
struct Input {
    const std::uint8_t* at;
    const std::uint8_t* end;
    bool empty() const { return at == end; }
    std::uint8_t byte() { return at == end ? 0 : *at++; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::uint32_t u32() { return u16() | std::uint32_t{u16()} << 16; }
    std::uint64_t u64() { return u32() | std::uint64_t{u32()} << 32; }
};

// The shared table's 16 slots, in memory; the entries of client 3 belong to a process
// that has ended once `ghost_gone` is set.
class TableStore final : public ClaimStore {
  public:
    TableStore(std::shared_ptr<std::vector<ClaimEntry>> slots, std::shared_ptr<bool> ghost_gone)
        : slots_(std::move(slots)), ghost_gone_(std::move(ghost_gone)) {}
    bool owner_gone(std::size_t slot) const override {
        return *ghost_gone_ && (*slots_)[slot].client_id == 3;
    }
    bool shared() const noexcept override { return true; }
    void lock() override {}
    void unlock() override {}
    std::size_t slot_count() const override { return slots_->size(); }
    ClaimEntry read(std::size_t slot) const override { return (*slots_)[slot]; }
    void write(std::size_t slot, const ClaimEntry& entry) override { (*slots_)[slot] = entry; }
    std::optional<std::size_t> free_slot() override {
        for (std::size_t i = 0; i < slots_->size(); ++i) {
            if (!(*slots_)[i].in_use()) {
                return i;
            }
        }
        return std::nullopt;
    }

  private:
    std::shared_ptr<std::vector<ClaimEntry>> slots_;
    std::shared_ptr<bool> ghost_gone_;
};

// Formats every line, so that the engines' log texts run too, and drops it.
struct DropSink : platform::log::Sink {
    void write(platform::log::Level, std::string_view, std::string_view) noexcept override {}
};

struct Client {
    Client(std::uint32_t id, std::unique_ptr<ClaimStore> store) : claims(1, id, std::move(store)) {
        auto [command_sender, command_receiver] = make_queue<TxCommand>();
        auto [event_sender, event_receiver] = make_queue<ChannelEvent>();
        commands.emplace(std::move(command_receiver));
        events.emplace(std::move(event_receiver));
        claims.set_sender(command_sender);
        claims.set_state_listener([this](const AddressStateChanged& change) {
            if (change.state == ClaimState::Claimed) {
                tp.set_local_address(change.address, change.protector);
            } else {
                tp.remove_local_address(change.address);
            }
        });
        tp.attach(std::move(command_sender), std::move(event_sender));
    }
    ~Client() {
        // The manager removes what this client still holds (the channel's close).
        tp.detach();
        claims.take_sender();
    }

    AddressClaimManager claims;
    TransportProtocol tp;
    std::optional<Receiver<TxCommand>> commands;
    std::optional<Receiver<ChannelEvent>> events;
    std::optional<Instant> tp_deadline;
    std::optional<Instant> claim_deadline;
    std::vector<J1939Message> on_bus;  // written, to be acknowledged and seen by the other
};

void check_event(const ChannelEvent& event) {
    if (const auto* rx = std::get_if<RxMessage>(&event)) {
        check(rx->message.data.has_value());
        const std::size_t size = rx->message.data->size();
        check(size <= kMaxTpMessageSize);
    }
}

// What the transmit thread does with the queued commands: frames due now go to the bus,
// later ones are kept, deadlines are remembered; events are checked and dropped.
void run_commands(Client& c, std::vector<SendAt>& scheduled, Instant now) {
    while (auto item = c.commands->try_receive().item) {
        if (auto* send = std::get_if<SendAt>(&*item)) {
            check(send->message.size() <= 8);
            if (send->then) {
                check_event(*send->then);
            }
            if (send->at <= now) {
                c.on_bus.push_back(std::move(send->message));
            } else {
                scheduled.push_back(std::move(*send));
            }
        } else if (const auto* timeout = std::get_if<TpScheduleTimeout>(&*item)) {
            c.tp_deadline = c.tp_deadline ? std::min(*c.tp_deadline, timeout->at) : timeout->at;
        } else if (std::holds_alternative<RunAddressClaim>(*item)) {
            c.claim_deadline = c.claims.timer_step(now);
        }
    }
    while (auto event = c.events->try_receive().item) {
        check_event(*event);
    }
}

// A frame from a node elsewhere on the bus, or another client's frame (a local echo), as
// the channel's receive path dispatches it.
void receive(Client& c, const J1939Message& frame, bool local_echo, Instant now) {
    if (!frame.data) {
        return;
    }
    switch (frame.pgn) {
        case kPgnTpCm:
        case kPgnTpDt:
            if (!local_echo) {
                c.tp.receive(frame, now);
            }
            break;
        case kPgnAddressClaimed:
            (void)c.claims.on_address_claimed(frame, local_echo, now);
            break;
        case kPgnRequest: {
            const std::vector<std::uint8_t>& d = *frame.data;
            if (!local_echo && d.size() > 2 && (d[0] | d[1] << 8 | d[2] << 16) == 0xEE00) {
                (void)c.claims.on_request_for_claim(frame, now);
            }
            break;
        }
        default:
            break;
    }
}

// A TP.CM with a chosen control byte and plausible fields, so that the fuzzer reaches the
// sessions quickly; the generic frame reaches everything else.
J1939Message tp_cm(Input& in) {
    static constexpr std::uint8_t kControls[] = {0x10, 0x11, 0x13, 0x20, 0xFF};
    const std::uint8_t pick = in.byte();
    J1939Message m;
    m.pgn = kPgnTpCm;
    m.priority = 7;
    m.src_addr = in.byte();
    m.dest_addr = in.byte() & 1 ? 0xFF : static_cast<std::uint8_t>(0x80 + (pick >> 4 & 1));
    const std::uint16_t size = in.u16();
    const std::uint8_t packets =
        in.byte() & 1 ? static_cast<std::uint8_t>((size + 6) / 7) : in.byte();
    m.data = std::vector<std::uint8_t>{pick < 0xF0 ? kControls[pick % 5] : in.byte(),
                                       static_cast<std::uint8_t>(size),
                                       static_cast<std::uint8_t>(size >> 8),
                                       packets,
                                       in.byte(),
                                       0x00,
                                       0xEF,
                                       0x00};
    return m;
}

J1939Message any_frame(Input& in) {
    J1939Message m = decode_id(in.u32() & 0x1FFFFFFF);
    std::vector<std::uint8_t> data(in.byte() % 9);
    for (std::uint8_t& b : data) {
        b = in.byte();
    }
    m.data = std::move(data);
    return m;
}

void run(Input in) {
    auto slots = std::make_shared<std::vector<ClaimEntry>>(16);
    auto ghost_gone = std::make_shared<bool>(false);
    Client clients[2] = {Client(1, std::make_unique<TableStore>(slots, ghost_gone)),
                         Client(2, std::make_unique<TableStore>(slots, ghost_gone))};
    // A client of another process, which ends when the input says so (its claims stay
    // in the table until a live client takes them back).
    AddressClaimManager ghost(1, 3, std::make_unique<TableStore>(slots, ghost_gone));
    std::vector<SendAt> scheduled[2];
    Instant now = Instant(std::chrono::seconds(1000));
    for (Client& c : clients) {
        // Short timers and small windows now and then, so that the paths behind them run.
        for (std::uint32_t option = kOptionBamInterpacketTime; option <= kOptionT4; ++option) {
            if (in.byte() & 1) {
                (void)c.tp.set_option(option, in.u16() % 300);
            }
        }
    }
    std::size_t sends = 0;
    for (int steps = 0; !in.empty() && steps < 4096; ++steps) {
        const std::uint8_t op = in.byte();
        Client& c = clients[op >> 7];
        switch (op & 7) {
            case 0:
            case 1: {  // a frame from another node
                const J1939Message frame = (op & 7) == 0 ? any_frame(in) : tp_cm(in);
                for (Client& each : clients) {
                    receive(each, frame, false, now);
                }
                break;
            }
            case 2: {  // a TP.DT with the next packets of whatever runs
                J1939Message m;
                m.pgn = kPgnTpDt;
                m.priority = 7;
                m.src_addr = in.byte();
                m.dest_addr = in.byte() & 1 ? 0xFF : 0x80;
                std::vector<std::uint8_t> data(8, in.byte());
                data[0] = in.byte();
                m.data = std::move(data);
                for (Client& each : clients) {
                    receive(each, m, false, now);
                }
                break;
            }
            case 3:  // time passes
                now += std::chrono::milliseconds(in.u16() % 2048);
                break;
            case 4: {  // the application sends
                J1939Message m;
                m.pgn = 0xEF00;
                m.priority = 6;
                m.src_addr = static_cast<std::uint8_t>(0x80 + (in.byte() & 1));
                m.dest_addr = in.byte();
                m.data = std::vector<std::uint8_t>(in.u16() % 1800, 0x5A);
                const auto tag = in.byte();
                if (c.tp.send(std::move(m), tag ? std::optional<std::uint32_t>(tag) : std::nullopt,
                              now)) {
                    ++sends;
                }
                break;
            }
            case 5: {  // the application claims or gives up an address
                const std::uint8_t address = static_cast<std::uint8_t>(0x7F + in.byte() % 4);
                if (in.byte() & 1) {
                    if (auto frame = c.claims.start_claim(address, in.u64(), now);
                        frame && *frame) {
                        c.on_bus.push_back(std::move(**frame));
                    }
                } else if (auto frame = c.claims.remove_claim(address); frame && *frame) {
                    c.on_bus.push_back(std::move(**frame));
                }
                break;
            }
            case 6:  // the other process claims, or ends; the periodic work runs
                if (*ghost_gone || in.byte() & 1) {
                    *ghost_gone = true;
                } else {
                    (void)ghost.start_claim(static_cast<std::uint8_t>(0x7F + in.byte() % 4),
                                            in.u64(), now);
                }
                for (Client& each : clients) {
                    for (J1939Message& frame : each.claims.upkeep()) {
                        check(frame.pgn == kPgnAddressClaimed);
                        each.on_bus.push_back(std::move(frame));
                    }
                }
                break;
            default:  // the transmit threads and the bus run
                break;
        }
        for (int i = 0; i < 2; ++i) {
            Client& each = clients[i];
            if (each.claim_deadline && *each.claim_deadline <= now) {
                each.claim_deadline = each.claims.timer_step(now);
            }
            if (each.tp_deadline && *each.tp_deadline <= now) {
                each.tp_deadline = each.tp.timer_step(now);
            }
            run_commands(each, scheduled[i], now);
            std::vector<SendAt> later;
            for (SendAt& s : scheduled[i]) {
                if (s.at <= now) {
                    each.on_bus.push_back(std::move(s.message));
                } else {
                    later.push_back(std::move(s));
                }
            }
            scheduled[i] = std::move(later);
            // Written frames: acknowledged to the writer, seen by the other client.
            std::vector<J1939Message> written = std::move(each.on_bus);
            each.on_bus.clear();
            for (J1939Message& frame : written) {
                if (frame.pgn == kPgnTpCm || frame.pgn == kPgnTpDt) {
                    each.tp.on_tx_ack(frame, now);
                }
                receive(clients[1 - i], frame, true, now);
            }
            run_commands(each, scheduled[i], now);
            const TransportProtocol::Load load = each.tp.load();
            // One receive session per (source, destination); each holds one message.
            check(load.rx_sessions <= 256 * 256);
            check(load.rx_bytes <= load.rx_sessions * kMaxTpMessageSize);
            check(load.pending + load.tx_sessions <= sends);
        }
    }

    // Time runs on past every timer: each session ends (messages still waiting start and
    // end the same way, at most one start per message).
    for (int i = 0; i < 2; ++i) {
        Client& c = clients[i];
        for (std::size_t round = 0; round <= sends + 1; ++round) {
            now += 30s;  // beyond the longest timer (20 s)
            c.tp_deadline = c.tp.timer_step(now);
            run_commands(c, scheduled[i], now);
            if (!c.tp_deadline) {
                break;
            }
        }
        const TransportProtocol::Load load = c.tp.load();
        check(!c.tp_deadline);
        check(load.rx_sessions == 0 && load.tx_sessions == 0);
    }
    // No claim keeps a deadline past its 250 ms.
    for (int i = 0; i < 2; ++i) {
        check(!clients[i].claims.timer_step(now));
    }
}

}  // namespace
}  // namespace qzj1939lib

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::log::install(std::make_shared<qzj1939lib::DropSink>());
    platform::log::set_max_level(platform::log::Level::Trace);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzj1939lib::run(qzj1939lib::Input{data, data + size});
    return 0;
}
