#pragma once
// A J1939 bus monitor over raw CAN frames: it follows every transport-protocol transfer on
// the bus (J1939-21 BAM and RTS/CTS, between any two nodes) and reassembles it, without
// taking part in it. Single frames pass through as messages. It keeps its own state and
// timers, so it shows what any node sent, the library's own J1939 stack included.
//
// The caller feeds it the received frames with two times: the frame's time stamp (used for
// printing) and the arrival time on a steady clock (used for the transfer timeouts), and
// calls expire() now and then so that a transfer that stalls is reported without waiting
// for the next frame.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/can_text.hpp"
#include "tools/j1939_text.hpp"

namespace tools {

inline constexpr std::uint32_t kPgnTpCm = 0xEC00;
inline constexpr std::uint32_t kPgnTpDt = 0xEB00;

// The PGN, priority, source and destination of an extended identifier (PDU1 PGNs with their
// PS byte as destination and 00 in the PGN; PDU2 to FF).
J1939Message j1939_header(std::uint32_t identifier);

struct MonitorEvent {
    enum class Kind {
        Message,   // a single frame or a completed transfer
        TpFrame,   // a TP.CM or TP.DT frame, reported only when asked for
        Aborted,   // a Connection Abort ended a transfer
        TimedOut,  // a transfer stopped before its end
    };
    Kind kind = Kind::Message;
    std::uint32_t time_ms = 0;
    // The message: for a transfer its PGN, the announcement's priority, the addresses and
    // the data received so far (complete for Message); for TpFrame the frame itself.
    J1939Message message;
    std::uint32_t announced_size = 0;  // transfers: the size the announcement gave
    std::uint32_t packets = 0;         // transfers: packets announced
    std::uint32_t packets_received = 0;
    bool broadcast = false;         // transfers: a BAM (else RTS/CTS)
    bool cts_seen = false;          // RTS/CTS: the receiver answered at least once
    std::uint8_t abort_reason = 0;  // Aborted
    std::uint8_t aborted_by = 0;    // Aborted: the address that sent the abort
    std::string note;               // TimedOut: what was awaited
};

// The dump line of an event, in the form of j1939_dump_line; aborted and timed-out
// transfers name what happened instead of their data.
std::string monitor_line(const MonitorEvent& event);
// The text of a Connection Abort reason (J1939-21).
std::string abort_reason_text(std::uint8_t reason);

class J1939Monitor {
  public:
    // BAM packets are at most 750 ms apart (T1); in an RTS/CTS transfer no side waits more
    // than 1250 ms (T2, T3) for the other.
    static constexpr std::uint32_t kBamTimeoutMs = 750;
    static constexpr std::uint32_t kRtsCtsTimeoutMs = 1250;
    // Transfers followed at once: more than a bus of 254 nodes has, each with a BAM and a
    // few RTS/CTS transfers; announcements beyond it (a faulty or hostile node) are not
    // followed, so that memory stays bounded.
    static constexpr std::size_t kMaxTransfers = 1024;

    explicit J1939Monitor(bool show_tp_frames = false) : show_tp_frames_(show_tp_frames) {}

    // One received frame; returns what it completes or ends (and the frame itself when
    // TP frames are shown). Standard frames are no J1939 frames: nothing.
    std::vector<MonitorEvent> frame(const CanFrame& frame, std::uint32_t time_ms,
                                    std::uint64_t now_ms);
    // Transfers that have been silent for longer than their timeout, ended.
    std::vector<MonitorEvent> expire(std::uint64_t now_ms);
    // Transfers in progress.
    std::size_t open_transfers() const { return sessions_.size(); }

  private:
    struct Session {
        bool broadcast = false;
        std::uint32_t pgn = 0;
        std::uint8_t priority = 7;
        std::uint32_t size = 0;
        std::uint32_t packets = 0;
        std::vector<std::uint8_t> data;
        std::vector<bool> have;
        std::uint32_t received = 0;
        bool cts_seen = false;
        std::uint32_t time_ms = 0;   // time stamp of the announcement
        std::uint64_t start_ms = 0;  // arrival of the announcement
        std::uint64_t last_ms = 0;   // arrival of its last frame
    };
    using Key = std::pair<std::uint8_t, std::uint8_t>;  // source, destination

    void control(const J1939Message& header, const CanFrame& frame, std::uint32_t time_ms,
                 std::uint64_t now_ms, std::vector<MonitorEvent>& out);
    void data(const J1939Message& header, const CanFrame& frame, std::uint32_t time_ms,
              std::uint64_t now_ms, std::vector<MonitorEvent>& out);
    static MonitorEvent ended(MonitorEvent::Kind kind, const Key& key, const Session& s,
                              std::uint32_t time_ms);
    static MonitorEvent completed(const Key& key, Session& s, std::uint32_t time_ms);

    bool show_tp_frames_;
    std::map<Key, Session> sessions_;
};

}  // namespace tools
