#include "tools/j1939_monitor.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace tools {

namespace {

// TP.CM control bytes.
constexpr std::uint8_t kRts = 16;
constexpr std::uint8_t kCts = 17;
constexpr std::uint8_t kEndOfMessageAck = 19;
constexpr std::uint8_t kBam = 32;
constexpr std::uint8_t kAbort = 255;

std::uint32_t pgn_at(const CanFrame& f, std::size_t at) {
    return (f.data[at] | (f.data[at + 1] << 8) | (f.data[at + 2] << 16)) & kMaxPgn;
}

std::string time_text(std::uint32_t time_ms) {
    return fmt::format("({:7}.{:03})", time_ms / 1000, time_ms % 1000);
}

}  // namespace

J1939Message j1939_header(std::uint32_t identifier) {
    J1939Message m;
    m.priority = static_cast<std::uint8_t>((identifier >> 26) & 7);
    m.source = static_cast<std::uint8_t>(identifier);
    const std::uint32_t pgn = (identifier >> 8) & kMaxPgn;
    if (((pgn >> 8) & 0xFF) < 0xF0) {
        m.pgn = pgn & ~0xFFu;
        m.destination = static_cast<std::uint8_t>(pgn);
    } else {
        m.pgn = pgn;
        m.destination = kGlobalAddress;
    }
    return m;
}

std::string abort_reason_text(std::uint8_t reason) {
    switch (reason) {
        case 1:
            return "already in a session";
        case 2:
            return "resources needed elsewhere";
        case 3:
            return "timeout";
        case 4:
            return "CTS while sending";
        case 5:
            return "retransmit limit reached";
        case 6:
            return "unexpected data packet";
        case 7:
            return "bad sequence number";
        case 8:
            return "duplicate sequence number";
        case 9:
            return "message too large";
        default:
            return "other";
    }
}

std::string monitor_line(const MonitorEvent& e) {
    if (e.kind == MonitorEvent::Kind::Message || e.kind == MonitorEvent::Kind::TpFrame) {
        return j1939_dump_line(e.time_ms, e.message);
    }
    const J1939Message& m = e.message;
    std::string line = fmt::format(
        "{}  {}  {:05X}  {:02X} -> {:02X}  [{}]  {} ", time_text(e.time_ms), m.priority & 7, m.pgn,
        m.source, m.destination, e.announced_size, e.broadcast ? "BAM" : "RTS/CTS");
    if (e.kind == MonitorEvent::Kind::Aborted) {
        line += fmt::format("aborted by {:02X} (reason {}: {})", e.aborted_by, e.abort_reason,
                            abort_reason_text(e.abort_reason));
        if (!e.broadcast && !e.cts_seen && e.aborted_by != m.destination) {
            line += fmt::format(", no CTS from {:02X}", m.destination);
        }
    } else {
        line += fmt::format("timed out ({})", e.note);
    }
    line += fmt::format(", {} of {} packets", e.packets_received, e.packets);
    return line;
}

MonitorEvent J1939Monitor::ended(MonitorEvent::Kind kind, const Key& key, const Session& s,
                                 std::uint32_t time_ms) {
    MonitorEvent e;
    e.kind = kind;
    e.time_ms = time_ms;
    e.message.pgn = s.pgn;
    e.message.priority = s.priority;
    e.message.source = key.first;
    e.message.destination = key.second;
    e.announced_size = s.size;
    e.packets = s.packets;
    e.packets_received = s.received;
    e.broadcast = s.broadcast;
    e.cts_seen = s.cts_seen;
    return e;
}

MonitorEvent J1939Monitor::completed(const Key& key, Session& s, std::uint32_t time_ms) {
    MonitorEvent e = ended(MonitorEvent::Kind::Message, key, s, time_ms);
    e.message.data = std::move(s.data);
    return e;
}

std::vector<MonitorEvent> J1939Monitor::frame(const CanFrame& frame, std::uint32_t time_ms,
                                              std::uint64_t now_ms) {
    std::vector<MonitorEvent> out = expire(now_ms);
    if (!frame.extended) {
        return out;
    }
    J1939Message header = j1939_header(frame.id);
    if (header.pgn != kPgnTpCm && header.pgn != kPgnTpDt) {
        MonitorEvent e;
        e.time_ms = time_ms;
        e.message = std::move(header);
        e.message.data.assign(frame.payload().begin(), frame.payload().end());
        out.push_back(std::move(e));
        return out;
    }
    if (show_tp_frames_) {
        MonitorEvent e;
        e.kind = MonitorEvent::Kind::TpFrame;
        e.time_ms = time_ms;
        e.message = header;
        e.message.data.assign(frame.payload().begin(), frame.payload().end());
        out.push_back(std::move(e));
    }
    if (frame.length == 8) {
        if (header.pgn == kPgnTpCm) {
            control(header, frame, time_ms, now_ms, out);
        } else {
            data(header, frame, time_ms, now_ms, out);
        }
    }
    return out;
}

void J1939Monitor::control(const J1939Message& header, const CanFrame& frame, std::uint32_t time_ms,
                           std::uint64_t now_ms, std::vector<MonitorEvent>& out) {
    const std::uint8_t code = frame.data[0];
    if (code == kRts || code == kBam) {
        const bool broadcast = code == kBam;
        const std::uint32_t size = frame.data[1] | (frame.data[2] << 8);
        const std::uint32_t packets = frame.data[3];
        // An announcement that does not describe a transfer (a BAM to one address, an RTS
        // to everyone, a size the packets cannot carry) starts nothing.
        if (broadcast != (header.destination == kGlobalAddress) || size == 0 ||
            size > kMaxJ1939Data || packets != (size + 6) / 7) {
            return;
        }
        const Key key{header.source, header.destination};
        if (sessions_.size() >= kMaxTransfers && sessions_.count(key) == 0) {
            return;
        }
        if (const auto old = sessions_.find(key); old != sessions_.end()) {
            MonitorEvent e = ended(MonitorEvent::Kind::TimedOut, key, old->second, time_ms);
            e.note = "a new announcement replaced it";
            out.push_back(std::move(e));
        }
        Session& s = sessions_[key];
        s = Session{};
        s.broadcast = broadcast;
        s.pgn = pgn_at(frame, 5);
        s.priority = header.priority;
        s.size = size;
        s.packets = packets;
        s.data.assign(size, 0);
        s.have.assign(packets, false);
        s.time_ms = time_ms;
        s.start_ms = now_ms;
        s.last_ms = now_ms;
        return;
    }
    if (header.destination == kGlobalAddress) {
        return;
    }
    // CTS and End of Message Acknowledgment come from the receiver; an abort from either.
    const Key from_receiver{header.destination, header.source};
    if (code == kCts || code == kEndOfMessageAck) {
        const auto it = sessions_.find(from_receiver);
        if (it == sessions_.end() || it->second.broadcast) {
            return;
        }
        Session& s = it->second;
        s.last_ms = now_ms;
        s.cts_seen = true;
        if (code == kEndOfMessageAck) {
            if (s.received == s.packets) {
                out.push_back(completed(from_receiver, s, time_ms));
            } else {
                MonitorEvent e = ended(MonitorEvent::Kind::TimedOut, from_receiver, s, time_ms);
                e.note = "acknowledged, but not every packet was seen";
                out.push_back(std::move(e));
            }
            sessions_.erase(it);
        }
        return;
    }
    if (code == kAbort) {
        const std::uint32_t pgn = pgn_at(frame, 5);
        for (const Key& key : {Key{header.source, header.destination}, from_receiver}) {
            const auto it = sessions_.find(key);
            if (it != sessions_.end() && !it->second.broadcast && it->second.pgn == pgn) {
                MonitorEvent e = ended(MonitorEvent::Kind::Aborted, key, it->second, time_ms);
                e.abort_reason = frame.data[1];
                e.aborted_by = header.source;
                out.push_back(std::move(e));
                sessions_.erase(it);
                return;
            }
        }
    }
}

void J1939Monitor::data(const J1939Message& header, const CanFrame& frame, std::uint32_t time_ms,
                        std::uint64_t now_ms, std::vector<MonitorEvent>& out) {
    const Key key{header.source, header.destination};
    const auto it = sessions_.find(key);
    if (it == sessions_.end()) {
        return;
    }
    Session& s = it->second;
    const std::uint32_t sequence = frame.data[0];
    if (sequence == 0 || sequence > s.packets) {
        return;
    }
    s.last_ms = now_ms;
    const std::size_t at = (sequence - 1) * 7;
    const std::size_t count = std::min<std::size_t>(7, s.size - at);
    std::copy_n(frame.data.begin() + 1, count, s.data.begin() + static_cast<std::ptrdiff_t>(at));
    if (!s.have[sequence - 1]) {
        s.have[sequence - 1] = true;
        ++s.received;
    }
    // A BAM ends with its last packet; an RTS/CTS transfer with the receiver's
    // acknowledgment.
    if (s.broadcast && s.received == s.packets) {
        out.push_back(completed(key, s, time_ms));
        sessions_.erase(it);
    }
}

std::vector<MonitorEvent> J1939Monitor::expire(std::uint64_t now_ms) {
    std::vector<MonitorEvent> out;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        const Session& s = it->second;
        const std::uint32_t limit = s.broadcast ? kBamTimeoutMs : kRtsCtsTimeoutMs;
        if (now_ms <= s.last_ms + limit) {
            ++it;
            continue;
        }
        const std::uint8_t receiver = it->first.second;
        MonitorEvent e = ended(MonitorEvent::Kind::TimedOut, it->first, s,
                               s.time_ms + static_cast<std::uint32_t>(now_ms - s.start_ms));
        if (s.broadcast) {
            e.note = fmt::format("no packet for {} ms", limit);
        } else if (!s.cts_seen) {
            e.note = fmt::format("no CTS from {:02X}", receiver);
        } else if (s.received < s.packets) {
            e.note = fmt::format("no packet for {} ms", limit);
        } else {
            e.note = fmt::format("no End of Message Acknowledgment from {:02X}", receiver);
        }
        out.push_back(std::move(e));
        it = sessions_.erase(it);
    }
    return out;
}

}  // namespace tools
