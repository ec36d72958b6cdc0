// The transport protocol engine: transmit sessions (BAM and RTS/CTS), receive sessions,
// their deadlines, and the frames, deadlines and events they produce.
//
// Frames we send are strict: TP.CM and TP.DT always carry 8 data bytes (the last TP.DT
// padded with 0xFF) at priority 7. Frames we accept are read liberally, as other J1939
// stacks on the bus send them: any priority, longer TP.DT payloads, an RTS without a
// per-CTS limit, a CTS that grants fewer packets than asked.

#include "tp.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/log.hpp"

namespace qzj1939lib {
namespace {

constexpr const char* kTarget = "qzj1939lib::tp";

constexpr std::uint8_t kTpPriority = 7;
constexpr std::size_t kFrameSize = 8;
constexpr std::size_t kPacketPayload = 7;
constexpr std::uint8_t kPad = 0xFF;

// TP.CM control bytes.
constexpr std::uint8_t kRts = 0x10;
constexpr std::uint8_t kCts = 0x11;
constexpr std::uint8_t kEomAck = 0x13;
constexpr std::uint8_t kBam = 0x20;
constexpr std::uint8_t kAbort = 0xFF;

// Abort reasons and the role byte of an Abort.
constexpr std::uint8_t kReasonTimeout = 3;
constexpr std::uint8_t kReasonCtsDuringTransfer = 4;
constexpr std::uint8_t kReasonMaxRetransmissions = 5;
constexpr std::uint8_t kReasonTooLarge = 9;
constexpr std::uint8_t kReasonOther = 250;
constexpr std::uint8_t kRoleSender = 0;
constexpr std::uint8_t kRoleReceiver = 1;

constexpr unsigned kMaxRetransmissions = 2;
constexpr std::uint32_t kNoPacketLimit = 255;
constexpr std::chrono::milliseconds kBamFirstPacketWait{750};

using std::chrono::milliseconds;

// Transmit sessions are keyed by (own address, peer or 255), receive sessions by (peer,
// own address or 255).
struct SessionKey {
    std::uint8_t src_addr = 0;
    std::uint8_t dest_addr = 0;
    friend auto operator<=>(const SessionKey&, const SessionKey&) = default;
};

std::string to_string(SessionKey key) {
    return fmt::format("SessionKey {{ src_addr: 0x{:02X}, dest_addr: 0x{:02X} }}", key.src_addr,
                       key.dest_addr);
}

enum class SessionState { Idle, WaitingForCts, SendingData, WaitingForEom, ReceivingData };

const char* to_string(SessionState state) {
    switch (state) {
        case SessionState::Idle:
            return "Idle";
        case SessionState::WaitingForCts:
            return "WaitingForCts";
        case SessionState::SendingData:
            return "SendingData";
        case SessionState::WaitingForEom:
            return "WaitingForEom";
        case SessionState::ReceivingData:
            return "ReceivingData";
    }
    return "?";
}

// The PGN as it stands in a TP.CM frame and in reassembled messages: 18 bits, and for a
// PDU1 PGN without the PS byte (that is the destination, not part of the group).
std::uint32_t normalized_pgn(std::uint32_t pgn) {
    pgn &= 0x3FFFF;
    return is_pdu2(pgn) ? pgn : pgn & 0x3FF00;
}

std::uint32_t packets_for(std::size_t size) {
    return static_cast<std::uint32_t>((size + kPacketPayload - 1) / kPacketPayload);
}

std::uint32_t cm_pgn(const std::vector<std::uint8_t>& d) {
    return d[5] | (static_cast<std::uint32_t>(d[6]) << 8) |
           (static_cast<std::uint32_t>(d[7]) << 16);
}

std::uint32_t cm_size(const std::vector<std::uint8_t>& d) {
    return d[1] | (static_cast<std::uint32_t>(d[2]) << 8);
}

J1939Message header_of(const J1939Message& message) {
    J1939Message header = message;
    header.data.reset();
    header.timestamp.reset();
    return header;
}

struct Pending {
    J1939Message message;
    std::optional<std::uint32_t> tag;
};

struct TxSession {
    J1939Message message;
    std::optional<std::uint32_t> tag;
    bool bam = false;
    SessionState state = SessionState::Idle;
    std::uint32_t pgn = 0;  // as announced in our TP.CM frames
    std::uint32_t total_packets = 0;
    std::uint32_t next_packet = 1;   // the next TP.DT to send
    std::uint32_t window_left = 0;   // packets of the current window not sent yet
    std::uint32_t awaiting_ack = 0;  // the last TP.DT sent, whose acknowledgement we wait for
    std::uint32_t max_packets_per_cts = kNoPacketLimit;  // byte 4 of our RTS
    // Our RTS is on the bus: its transmit acknowledgement came back. Frames arrive in bus
    // order, so a CTS or EOMACK before it answered another node's session with the same
    // addresses and PGN (another application sharing our address), not this one.
    bool announced = false;
    unsigned retransmissions = 0;
    Instant deadline;
};

struct RxSession {
    J1939Message header;                 // PGN (PS cleared for PDU1), priority of the announcement
    std::uint32_t pgn_as_announced = 0;  // echoed in our CTS, EOMACK and Abort frames
    std::vector<std::uint8_t> data;      // the announced size
    std::uint32_t total_packets = 0;
    bool bam = false;
    bool responder = false;
    std::uint32_t next_expected = 1;
    std::uint32_t window_end = 0;  // last packet of the current window
    std::uint32_t packets_per_cts = kNoPacketLimit;
    unsigned retransmissions = 0;
    Instant deadline;
};

}  // namespace

struct TransportProtocol::Impl {
    TpOptions options;
    TxCommandSender commands;
    EventSender events;
    std::map<std::uint8_t, bool> local_addresses;  // own address -> protector flag
    std::map<SessionKey, TxSession> tx;
    std::map<SessionKey, RxSession> rx;
    std::deque<Pending> pending;

    // ---- output --------------------------------------------------------------------------

    // `then`: an event the Tx thread hands on once the frame has been written.
    void send_frame(J1939Message frame, Instant at, std::optional<ChannelEvent> then = {}) {
        if (!commands) {
            QZ_LOG_ERROR(kTarget, "Channel event sender not set");
            return;
        }
        if (!commands.send(SendAt{std::move(frame), std::uint32_t{0}, at, std::move(then)})) {
            QZ_LOG_DEBUG(kTarget, "Failed to send message");
        }
    }

    void send_cm(std::uint8_t src, std::uint8_t dest, std::array<std::uint8_t, 5> head,
                 std::uint32_t pgn, Instant at, std::optional<ChannelEvent> then = {}) {
        J1939Message frame;
        frame.pgn = kPgnTpCm;
        frame.priority = kTpPriority;
        frame.src_addr = src;
        frame.dest_addr = dest;
        std::vector<std::uint8_t> data(head.begin(), head.end());
        data.insert(data.end(),
                    {static_cast<std::uint8_t>(pgn), static_cast<std::uint8_t>(pgn >> 8),
                     static_cast<std::uint8_t>(pgn >> 16)});
        frame.data = std::move(data);
        send_frame(std::move(frame), at, std::move(then));
    }

    void send_abort(std::uint8_t src, std::uint8_t dest, std::uint8_t reason, std::uint8_t role,
                    std::uint32_t pgn, Instant now) {
        send_cm(src, dest, {kAbort, reason, role, kPad, kPad}, pgn, now);
    }

    void schedule(Instant at) {
        if (!commands.send(TpScheduleTimeout{at})) {
            QZ_LOG_DEBUG(kTarget, "Failed to send TpScheduleTimeout event");
        }
    }

    void emit(ChannelEvent event) {
        if (!events.send(std::move(event))) {
            QZ_LOG_DEBUG(kTarget, "Failed to send event");
        }
    }

    void set_deadline(Instant& deadline, Instant at) {
        deadline = at;
        schedule(at);
    }

    // ---- transmit ------------------------------------------------------------------------

    // TP.DT number `seq` of the session's message, 8 bytes with 0xFF padding.
    std::optional<J1939Message> build_packet(const TxSession& s, std::uint32_t seq) const {
        if (seq == 0 || seq > s.total_packets) {
            QZ_LOG_WARN(kTarget, "Packet number larger than total packets {}, {}", seq,
                        s.total_packets);
            return std::nullopt;
        }
        const std::vector<std::uint8_t>& data = *s.message.data;
        const std::size_t start = (seq - 1) * kPacketPayload;
        if (start >= data.size()) {
            QZ_LOG_WARN(kTarget, "Start index {} out of bounds for message size {}", start,
                        data.size());
            return std::nullopt;
        }
        const std::size_t end = std::min(data.size(), start + kPacketPayload);
        std::vector<std::uint8_t> bytes(kFrameSize, kPad);
        bytes[0] = static_cast<std::uint8_t>(seq);
        std::copy(data.begin() + static_cast<std::ptrdiff_t>(start),
                  data.begin() + static_cast<std::ptrdiff_t>(end), bytes.begin() + 1);
        J1939Message frame;
        frame.pgn = kPgnTpDt;
        frame.priority = kTpPriority;
        frame.src_addr = s.message.src_addr;
        frame.dest_addr = s.bam ? kGlobalAddress : s.message.dest_addr;
        frame.data = std::move(bytes);
        return frame;
    }

    // Sends the next packet of the window at `at`.
    void send_packet(TxSession& s, Instant at) {
        if (auto frame = build_packet(s, s.next_packet)) {
            send_frame(std::move(*frame), at);
        }
        s.awaiting_ack = s.next_packet;
        ++s.next_packet;
        --s.window_left;
    }

    // RTS/CTS: sends the next packet of the window now; after the window's last packet the
    // session waits for the next CTS, or for the EOMACK when every packet is out.
    void continue_window(TxSession& s, Instant now) {
        send_packet(s, now);
        if (s.window_left > 0) {
            s.state = SessionState::SendingData;
            set_deadline(s.deadline, now + milliseconds(options.t2_ms));
            return;
        }
        s.state = s.next_packet > s.total_packets ? SessionState::WaitingForEom
                                                  : SessionState::WaitingForCts;
        set_deadline(s.deadline, now + milliseconds(options.t3_ms));
    }

    void start_transfer(Pending p, SessionKey key, Instant now) {
        TxSession s;
        s.message = std::move(p.message);
        s.tag = p.tag;
        s.bam = key.dest_addr == kGlobalAddress;
        s.pgn = normalized_pgn(s.message.pgn);
        const std::size_t size = s.message.size();
        s.total_packets = packets_for(size);
        const auto size_lo = static_cast<std::uint8_t>(size);
        const auto size_hi = static_cast<std::uint8_t>(size >> 8);
        const auto packets = static_cast<std::uint8_t>(s.total_packets);
        if (s.bam) {
            send_cm(key.src_addr, kGlobalAddress, {kBam, size_lo, size_hi, packets, kPad}, s.pgn,
                    now);
            s.state = SessionState::SendingData;
            s.window_left = s.total_packets;
            send_packet(s, now + milliseconds(options.bam_interpacket_ms));
            set_deadline(s.deadline, now + milliseconds(options.t1_ms));
        } else {
            s.max_packets_per_cts = options.max_packets_rts;
            send_cm(
                key.src_addr, key.dest_addr,
                {kRts, size_lo, size_hi, packets, static_cast<std::uint8_t>(s.max_packets_per_cts)},
                s.pgn, now);
            s.state = SessionState::WaitingForCts;
            set_deadline(s.deadline, now + milliseconds(options.t3_ms));
        }
        tx.insert_or_assign(key, std::move(s));
    }

    // Starts every message that was pending when the pass began and whose addresses have
    // no transfer running; the others keep their order at the end of the queue.
    void start_pending(Instant now) {
        for (std::size_t n = pending.size(); n > 0; --n) {
            Pending p = std::move(pending.front());
            pending.pop_front();
            const SessionKey key{p.message.src_addr, p.message.dest_addr};
            if (tx.contains(key)) {
                pending.push_back(std::move(p));
            } else {
                start_transfer(std::move(p), key, now);
            }
        }
    }

    // Ends a transmit session: TxConfirmed (with the acknowledgement's time stamp) or
    // TxFailed when the message carries a tag, then the next transfers start.
    void end_tx(std::map<SessionKey, TxSession>::iterator it, bool confirmed,
                std::optional<std::uint64_t> timestamp, Instant now) {
        TxSession s = std::move(it->second);
        tx.erase(it);
        if (s.tag) {
            if (confirmed) {
                s.message.timestamp = timestamp;
                emit(TxConfirmed{*s.tag, std::move(s.message)});
            } else {
                emit(TxFailed{*s.tag, header_of(s.message)});
            }
        }
        start_pending(now);
    }

    // Ends a transmit session that we abort.
    void abort_tx(std::map<SessionKey, TxSession>::iterator it, std::uint8_t reason, Instant now) {
        send_abort(it->first.src_addr, it->first.dest_addr, reason, kRoleSender, it->second.pgn,
                   now);
        end_tx(it, false, std::nullopt, now);
    }

    void on_cts(const J1939Message& frame, const std::vector<std::uint8_t>& d, Instant now) {
        const auto it = tx.find(SessionKey{frame.dest_addr, frame.src_addr});
        if (it == tx.end()) {
            return;
        }
        TxSession& s = it->second;
        if (!s.announced) {
            QZ_LOG_INFO(kTarget, "Received CTS for {} before our RTS was on the bus, ignoring",
                        to_string(it->first));
            return;
        }
        if (s.state == SessionState::SendingData) {
            QZ_LOG_WARN(kTarget, "Received CTS during data transfer, aborting session");
            abort_tx(it, kReasonCtsDuringTransfer, now);
            return;
        }
        if (s.state != SessionState::WaitingForCts && s.state != SessionState::WaitingForEom) {
            QZ_LOG_INFO(kTarget, "Received CTS in state {}, ignoring", to_string(s.state));
            return;
        }
        const std::uint32_t count = d[1];
        const std::uint32_t next = d[2];
        if (count == 0) {
            // A hold: the receiver keeps the connection open; its next packet number has no
            // meaning here (peers commonly send 0xFF).
            set_deadline(s.deadline, now + milliseconds(options.t4_ms));
            return;
        }
        if (next != s.next_packet) {
            QZ_LOG_WARN(kTarget, "Received CTS with unexpected next packet number, {} != {}", next,
                        s.next_packet);
            if (++s.retransmissions > kMaxRetransmissions) {
                QZ_LOG_WARN(kTarget, "Maximum retransmissions reached, aborting session");
                abort_tx(it, kReasonMaxRetransmissions, now);
                return;
            }
        }
        if (count > s.max_packets_per_cts) {
            QZ_LOG_WARN(kTarget,
                        "Received CTS with too many packets to send {}, max is {}, aborting", count,
                        s.max_packets_per_cts);
            abort_tx(it, kReasonOther, now);
            return;
        }
        if (next == 0 || next > s.total_packets) {
            QZ_LOG_WARN(kTarget, "Received CTS with invalid next packet number {} of {}, aborting",
                        next, s.total_packets);
            abort_tx(it, kReasonOther, now);
            return;
        }
        s.next_packet = next;
        s.window_left = std::min(count, s.total_packets - next + 1);
        continue_window(s, now);
    }

    void on_eom_ack(const J1939Message& frame, const std::vector<std::uint8_t>& d, Instant now) {
        const SessionKey key{frame.dest_addr, frame.src_addr};
        const auto it = tx.find(key);
        if (it == tx.end()) {
            QZ_LOG_INFO(kTarget, "Received EOMACK for unknown session {}, ignoring",
                        to_string(key));
            return;
        }
        const TxSession& s = it->second;
        if (s.state != SessionState::WaitingForEom) {
            // Before our last packet nothing can acknowledge this session's message: the
            // EOMACK ends another node's session with the same addresses.
            QZ_LOG_INFO(kTarget, "Received EOMACK for {} in state {}, ignoring", to_string(key),
                        to_string(s.state));
            return;
        }
        const bool matches = cm_size(d) == s.message.size() && d[3] == s.total_packets &&
                             normalized_pgn(cm_pgn(d)) == s.pgn;
        end_tx(it, matches, frame.timestamp, now);
    }

    void on_tx_ack(const J1939Message& frame, Instant now) {
        if (frame.pgn == kPgnTpCm && frame.data && !frame.data->empty() &&
            (*frame.data)[0] == kRts) {
            if (const auto it = tx.find(SessionKey{frame.src_addr, frame.dest_addr});
                it != tx.end() && !it->second.bam) {
                it->second.announced = true;
            }
            return;
        }
        if (frame.pgn != kPgnTpDt || !frame.data || frame.data->empty()) {
            return;
        }
        const auto it = tx.find(SessionKey{frame.src_addr, frame.dest_addr});
        if (it == tx.end()) {
            return;
        }
        TxSession& s = it->second;
        // Only the packet we sent last moves the session on: a stale acknowledgement must
        // neither skip nor repeat a packet.
        if (s.state != SessionState::SendingData || (*frame.data)[0] != s.awaiting_ack) {
            return;
        }
        if (!s.bam) {
            continue_window(s, now);
            return;
        }
        if (s.window_left == 0) {
            end_tx(it, true, frame.timestamp, now);
            return;
        }
        send_packet(s, now + milliseconds(options.bam_interpacket_ms));
        set_deadline(s.deadline, now + milliseconds(options.t2_ms));
    }

    // ---- receive -------------------------------------------------------------------------

    std::optional<bool> responder_for(std::uint8_t address) const {
        const auto it = local_addresses.find(address);
        if (it == local_addresses.end()) {
            return std::nullopt;
        }
        return it->second;
    }

    void send_rx_cm(SessionKey key, std::array<std::uint8_t, 5> head, const RxSession& s,
                    Instant now, std::optional<ChannelEvent> then = {}) {
        send_cm(key.dest_addr, key.src_addr, head, s.pgn_as_announced, now, std::move(then));
    }

    void send_cts(SessionKey key, RxSession& s, Instant now) {
        const std::uint32_t left = s.total_packets - s.next_expected + 1;
        const std::uint32_t count = std::min(left, s.packets_per_cts);
        s.window_end = s.next_expected + count - 1;
        send_rx_cm(key,
                   {kCts, static_cast<std::uint8_t>(count),
                    static_cast<std::uint8_t>(s.next_expected), kPad, kPad},
                   s, now);
    }

    void end_rx_with_error(std::map<SessionKey, RxSession>::iterator it,
                           std::optional<std::uint64_t> timestamp) {
        J1939Message header = it->second.header;
        header.timestamp = timestamp;
        rx.erase(it);
        emit(RxError{std::move(header)});
    }

    void on_rts(const J1939Message& frame, const std::vector<std::uint8_t>& d, Instant now) {
        const std::optional<bool> responder = responder_for(frame.dest_addr);
        if (!responder) {
            return;
        }
        const SessionKey key{frame.src_addr, frame.dest_addr};
        rx.erase(key);
        const std::uint32_t size = cm_size(d);
        const std::uint32_t packets = d[3];
        const std::uint32_t pgn = cm_pgn(d);
        if (size > kMaxTpMessageSize) {
            if (*responder) {
                send_abort(key.dest_addr, key.src_addr, kReasonTooLarge, kRoleReceiver, pgn, now);
            }
            return;
        }
        if (packets == 0 || packets != packets_for(size)) {
            if (*responder) {
                send_abort(key.dest_addr, key.src_addr, kReasonOther, kRoleReceiver, pgn, now);
            }
            return;
        }
        RxSession s = new_rx_session(frame, size, packets, pgn);
        s.responder = *responder;
        if (s.responder) {
            // Byte 4 is the sender's limit per CTS; 0 and 255 mean none.
            const std::uint32_t limit = d[4] == 0 ? kNoPacketLimit : d[4];
            s.packets_per_cts = std::min(options.max_packets_cts, limit);
        }
        s.window_end = std::min(s.total_packets, s.packets_per_cts);
        set_deadline(s.deadline, now + milliseconds(options.t2_ms));
        if (s.responder) {
            send_cts(key, s, now);
        }
        rx.insert_or_assign(key, std::move(s));
    }

    void on_bam(const J1939Message& frame, const std::vector<std::uint8_t>& d, Instant now) {
        if (frame.dest_addr != kGlobalAddress) {
            return;
        }
        const std::uint32_t size = cm_size(d);
        const std::uint32_t packets = d[3];
        if (packets == 0 || packets != packets_for(size)) {
            return;
        }
        RxSession s = new_rx_session(frame, size, packets, cm_pgn(d));
        s.bam = true;
        s.window_end = s.total_packets;
        set_deadline(s.deadline, now + kBamFirstPacketWait);
        rx.insert_or_assign(SessionKey{frame.src_addr, kGlobalAddress}, std::move(s));
    }

    static RxSession new_rx_session(const J1939Message& frame, std::uint32_t size,
                                    std::uint32_t packets, std::uint32_t pgn) {
        RxSession s;
        s.header.pgn = normalized_pgn(pgn);
        s.header.priority = frame.priority;
        s.header.src_addr = frame.src_addr;
        s.header.dest_addr = frame.dest_addr;
        s.pgn_as_announced = pgn;
        s.data.assign(size, 0);
        s.total_packets = packets;
        return s;
    }

    void on_abort(const J1939Message& frame, const std::vector<std::uint8_t>& d, Instant now) {
        const std::uint8_t reason = d[1];
        // Role 1: the peer received, so our transmit session ends; role 0: the peer sent,
        // so our receive session ends. Stacks that fill the reserved bits send the role in
        // the two low bits (0xFC, 0xFD); those that predate the role byte send 0xFF, and an
        // Abort without a role ends whichever session we have with the peer.
        const std::uint8_t role = d[2] & 0x03;
        const std::uint32_t pgn = normalized_pgn(cm_pgn(d));
        if (role != kRoleSender) {
            const SessionKey key{frame.dest_addr, frame.src_addr};
            if (const auto it = tx.find(key); it != tx.end()) {
                QZ_LOG_WARN(kTarget, "TP Tx session aborted by remote {}, reason {}",
                            to_string(key), reason);
                warn_if_other_pgn(pgn, it->second.pgn);
                end_tx(it, false, std::nullopt, now);
            }
        }
        if (role != kRoleReceiver) {
            const SessionKey key{frame.src_addr, frame.dest_addr};
            if (const auto it = rx.find(key); it != rx.end()) {
                QZ_LOG_WARN(kTarget, "TP Rx session aborted by remote {}, reason {}",
                            to_string(key), reason);
                warn_if_other_pgn(pgn, it->second.header.pgn);
                end_rx_with_error(it, frame.timestamp);
            }
        }
    }

    static void warn_if_other_pgn(std::uint32_t abort_pgn, std::uint32_t session_pgn) {
        if (abort_pgn != session_pgn) {
            QZ_LOG_WARN(kTarget, "Abort PGN {} does not match session PGN {}, abort anyway",
                        abort_pgn, session_pgn);
        }
    }

    void on_cm(const J1939Message& frame, Instant now) {
        if (!frame.data || frame.data->size() != kFrameSize) {
            return;
        }
        const std::vector<std::uint8_t>& d = *frame.data;
        switch (d[0]) {
            case kRts:
                on_rts(frame, d, now);
                break;
            case kCts:
                on_cts(frame, d, now);
                break;
            case kEomAck:
                on_eom_ack(frame, d, now);
                break;
            case kBam:
                on_bam(frame, d, now);
                break;
            case kAbort:
                on_abort(frame, d, now);
                break;
            default:
                QZ_LOG_WARN(kTarget, "Unknown TP.CM control byte: {}", d[0]);
                break;
        }
    }

    void on_dt(const J1939Message& frame, Instant now) {
        if (!frame.data || frame.data->size() < 2) {
            QZ_LOG_WARN(kTarget, "Received TP.DT message with invalid data");
            return;
        }
        const SessionKey key{frame.src_addr, frame.dest_addr};
        const auto it = rx.find(key);
        if (it == rx.end()) {
            return;
        }
        RxSession& s = it->second;
        const std::vector<std::uint8_t>& d = *frame.data;
        const std::uint32_t seq = d[0];
        if (seq != s.next_expected) {
            on_out_of_order(it, seq, frame.timestamp, now);
            return;
        }
        const std::size_t start = (seq - 1) * kPacketPayload;
        const std::size_t need = std::min(kPacketPayload, s.data.size() - start);
        if (d.size() - 1 < need) {
            QZ_LOG_WARN(kTarget, "Ignoring TP.DT packet with invalid data length, {} != {}",
                        d.size() - 1, need);
            return;
        }
        std::copy(d.begin() + 1, d.begin() + 1 + static_cast<std::ptrdiff_t>(need),
                  s.data.begin() + static_cast<std::ptrdiff_t>(start));
        s.deadline = now + milliseconds(options.t2_ms);

        if (seq == s.total_packets) {
            J1939Message message = std::move(s.header);
            message.timestamp = frame.timestamp;
            const auto size = static_cast<std::uint32_t>(s.data.size());
            message.data = std::move(s.data);
            const bool acknowledge = s.responder && !s.bam;
            const std::uint32_t packets = s.total_packets;
            const std::uint32_t pgn = s.pgn_as_announced;
            rx.erase(it);
            if (acknowledge) {
                // The message travels with its End of Message Acknowledgment: the Tx thread
                // hands it on once the acknowledgment has been written to the driver, so an
                // application that reads it and closes at once cannot drop the
                // acknowledgment the sender waits for.
                send_cm(
                    key.dest_addr, key.src_addr,
                    {kEomAck, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                     static_cast<std::uint8_t>(packets), kPad},
                    pgn, now, ChannelEvent{RxMessage{std::move(message)}});
            } else {
                emit(RxMessage{std::move(message)});
            }
            return;
        }
        ++s.next_expected;
        if (s.next_expected <= s.window_end || !s.responder) {
            s.deadline = now + milliseconds(options.t1_ms);
        } else {
            send_cts(key, s, now);
        }
        schedule(s.deadline);
    }

    void on_out_of_order(std::map<SessionKey, RxSession>::iterator it, std::uint32_t seq,
                         std::optional<std::uint64_t> timestamp, Instant now) {
        RxSession& s = it->second;
        if (s.bam) {
            QZ_LOG_WARN(kTarget,
                        "Received out-of-order TP.DT packet in BAM session, aborting session {}",
                        to_string(it->first));
            end_rx_with_error(it, timestamp);
            return;
        }
        QZ_LOG_WARN(kTarget, "Received out-of-order TP.DT packet, {} != {}", seq, s.next_expected);
        if (seq != s.window_end || !s.responder) {
            return;
        }
        if (++s.retransmissions > kMaxRetransmissions) {
            QZ_LOG_WARN(kTarget, "Maximum retransmissions reached, aborting session {}",
                        to_string(it->first));
            send_abort(it->first.dest_addr, it->first.src_addr, kReasonMaxRetransmissions,
                       kRoleReceiver, s.pgn_as_announced, now);
            end_rx_with_error(it, timestamp);
            return;
        }
        QZ_LOG_INFO(kTarget, "Request retransmission of missing packets {}", s.next_expected);
        const std::uint32_t count = s.window_end - s.next_expected + 1;
        send_rx_cm(it->first,
                   {kCts, static_cast<std::uint8_t>(count),
                    static_cast<std::uint8_t>(s.next_expected), kPad, kPad},
                   s, now);
        set_deadline(s.deadline, now + milliseconds(options.t2_ms));
    }

    // ---- timers --------------------------------------------------------------------------

    std::optional<Instant> timer_step(Instant now) {
        for (auto it = tx.begin(); it != tx.end();) {
            if (it->second.deadline > now) {
                ++it;
                continue;
            }
            const auto next = std::next(it);
            const SessionKey key = it->first;
            TxSession s = std::move(it->second);
            tx.erase(it);
            QZ_LOG_WARN(kTarget, "TP session {} timed out in state {}", to_string(key),
                        to_string(s.state));
            if (!s.bam) {
                send_abort(key.src_addr, key.dest_addr, kReasonTimeout, kRoleSender, s.pgn, now);
            }
            if (s.tag) {
                emit(TxFailed{*s.tag, header_of(s.message)});
            }
            it = next;
        }
        for (auto it = rx.begin(); it != rx.end();) {
            if (it->second.deadline > now) {
                ++it;
                continue;
            }
            const auto next = std::next(it);
            QZ_LOG_WARN(kTarget, "TP RX session {} timed out in state {}", to_string(it->first),
                        to_string(SessionState::ReceivingData));
            if (it->second.responder && !it->second.bam) {
                send_abort(it->first.dest_addr, it->first.src_addr, kReasonTimeout, kRoleReceiver,
                           it->second.pgn_as_announced, now);
            }
            end_rx_with_error(it, std::nullopt);
            it = next;
        }
        start_pending(now);

        std::optional<Instant> earliest;
        const auto consider = [&](Instant deadline) {
            if (!earliest || deadline < *earliest) {
                earliest = deadline;
            }
        };
        for (const auto& [key, s] : tx) {
            consider(s.deadline);
        }
        for (const auto& [key, s] : rx) {
            consider(s.deadline);
        }
        return earliest;
    }
};

TransportProtocol::TransportProtocol() : impl_(std::make_unique<Impl>()) {}
TransportProtocol::~TransportProtocol() = default;

void TransportProtocol::attach(TxCommandSender commands, EventSender events) {
    impl_->commands = std::move(commands);
    impl_->events = std::move(events);
}

void TransportProtocol::detach() {
    impl_->commands.reset();
    impl_->events.reset();
    impl_->tx.clear();
    impl_->rx.clear();
    impl_->pending.clear();
    impl_->local_addresses.clear();
}

bool TransportProtocol::attached() const noexcept {
    return static_cast<bool>(impl_->commands);
}

J1939Result<Ok> TransportProtocol::send(J1939Message message, std::optional<std::uint32_t> tag,
                                        Instant now) {
    using tarnlib::Status;
    if (!attached()) {
        return platform::unexpected(
            tarnlib::TarnlibError{Status::tarnERR_INVHANDLE, "TP handler not initialized"});
    }
    if (impl_->local_addresses.empty()) {
        return platform::unexpected(
            tarnlib::TarnlibError{Status::tarnERR_INVHANDLE, "Source address not set"});
    }
    if (message.size() < 9 || message.size() > kMaxTpMessageSize) {
        return platform::unexpected(
            tarnlib::TarnlibError{Status::tarnERR_PARAM, "Invalid message size"});
    }
    impl_->pending.push_back(Pending{std::move(message), tag});
    impl_->start_pending(now);
    return Ok{};
}

void TransportProtocol::receive(const J1939Message& frame, Instant now) {
    // A detached handler has nobody to answer or report to.
    if (!attached()) {
        return;
    }
    if (frame.pgn == kPgnTpCm) {
        impl_->on_cm(frame, now);
    } else if (frame.pgn == kPgnTpDt) {
        impl_->on_dt(frame, now);
    }
}

void TransportProtocol::on_tx_ack(const J1939Message& frame, Instant now) {
    impl_->on_tx_ack(frame, now);
}

std::optional<Instant> TransportProtocol::timer_step(Instant now) {
    return impl_->timer_step(now);
}

J1939Result<Ok> TransportProtocol::set_option(std::uint32_t option, std::uint32_t value) {
    const auto refuse = [](const char* text) -> J1939Result<Ok> {
        return platform::unexpected(tarnlib::TarnlibError{tarnlib::Status::tarnERR_PARAM, text});
    };
    TpOptions& o = impl_->options;
    switch (option) {
        case kOptionBamInterpacketTime:
            if (value > 200) {
                return refuse("Invalid value for interpacket time");
            }
            o.bam_interpacket_ms = value;
            return Ok{};
        case kOptionMaxPacketsInRts:
            if (value < 1 || value > 255) {
                return refuse("Invalid value for max packets in RTS");
            }
            o.max_packets_rts = value;
            return Ok{};
        case kOptionMaxPacketsInCts:
            if (value < 1 || value > 255) {
                return refuse("Invalid value for max packets in CTS");
            }
            o.max_packets_cts = value;
            return Ok{};
        case kOptionT1:
        case kOptionT2:
        case kOptionT3:
        case kOptionT4: {
            if (value > 20000) {
                return refuse("Invalid timeout value");
            }
            std::uint32_t* fields[] = {&o.t1_ms, &o.t2_ms, &o.t3_ms, &o.t4_ms};
            *fields[option - kOptionT1] = value;
            return Ok{};
        }
        default:
            return refuse("Invalid option");
    }
}

J1939Result<std::uint32_t> TransportProtocol::get_option(std::uint32_t option) const {
    const TpOptions& o = impl_->options;
    switch (option) {
        case kOptionBamInterpacketTime:
            return o.bam_interpacket_ms;
        case kOptionMaxPacketsInRts:
            return o.max_packets_rts;
        case kOptionMaxPacketsInCts:
            return o.max_packets_cts;
        case kOptionT1:
            return o.t1_ms;
        case kOptionT2:
            return o.t2_ms;
        case kOptionT3:
            return o.t3_ms;
        case kOptionT4:
            return o.t4_ms;
        default:
            return platform::unexpected(
                tarnlib::TarnlibError{tarnlib::Status::tarnERR_PARAM, "Invalid option"});
    }
}

void TransportProtocol::set_local_address(std::uint8_t address, bool protector) {
    impl_->local_addresses.insert_or_assign(address, protector);
}

void TransportProtocol::remove_local_address(std::uint8_t address) {
    impl_->local_addresses.erase(address);
}

TransportProtocol::Load TransportProtocol::load() const {
    Load load;
    load.tx_sessions = impl_->tx.size();
    load.rx_sessions = impl_->rx.size();
    for (const auto& [key, session] : impl_->rx) {
        load.rx_bytes += session.data.capacity();
    }
    load.pending = impl_->pending.size();
    return load;
}

}  // namespace qzj1939lib
