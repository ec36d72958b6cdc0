#pragma once
// The transport protocol of one J1939 channel: messages of 9 to 1785 bytes sent as BAM (to
// the global address) or RTS/CTS (to one address) transfers, incoming transfers reassembled,
// and the protocol's timeouts and retransmission limit enforced.
//
// A protocol engine: it never writes to the bus, never reads the clock and never sleeps.
// Every frame it sends is a SendAt command (tag present and zero) into the Tx command queue,
// whose acknowledgement the channel hands back through on_tx_ack; every deadline it sets is
// announced as a TpScheduleTimeout command; completed transfers and failures become events.
// The caller passes the current instant to every call.
//
// Not synchronised: the channel calls it only under its transport-protocol mutex.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "qzj1939lib/j1939_channel.hpp"
#include "qzj1939lib/j1939_message.hpp"
#include "tx_command.hpp"

namespace qzj1939lib {

struct TpOptions {
    std::uint32_t bam_interpacket_ms = 50;  // option 2, 0-200
    std::uint32_t max_packets_rts = 255;    // option 3, 1-255: byte 4 of our RTS
    std::uint32_t max_packets_cts = 255;    // option 4, 1-255: most packets per own CTS
    std::uint32_t t1_ms = 750;              // option 5, 0-20000
    std::uint32_t t2_ms = 1250;             // option 6
    std::uint32_t t3_ms = 1250;             // option 7
    std::uint32_t t4_ms = 1050;             // option 8
};

inline constexpr std::size_t kMaxTpMessageSize = 1785;

class TransportProtocol {
  public:
    TransportProtocol();
    ~TransportProtocol();
    TransportProtocol(const TransportProtocol&) = delete;
    TransportProtocol& operator=(const TransportProtocol&) = delete;

    // Open: the queues frames, deadlines and events go to.
    void attach(TxCommandSender commands, EventSender events);
    // Close: drops the senders, every session, the pending messages and the local
    // addresses. Options stay.
    void detach();
    bool attached() const noexcept;

    // Queues a message of 9 to 1785 bytes (with its tag: non-zero asks for TxConfirmed or
    // TxFailed) and starts it when no transfer with the same addresses runs.
    J1939Result<Ok> send(J1939Message message, std::optional<std::uint32_t> tag, Instant now);
    // A TP.CM or TP.DT frame from another node (never an echo of our own).
    void receive(const J1939Message& frame, Instant now);
    // The acknowledgement of one of our own TP.CM or TP.DT frames: the frame as it went out,
    // with the acknowledgement's time stamp.
    void on_tx_ack(const J1939Message& frame, Instant now);
    // Ends what timed out; the earliest remaining deadline.
    std::optional<Instant> timer_step(Instant now);

    // Options 2-8.
    J1939Result<Ok> set_option(std::uint32_t option, std::uint32_t value);
    J1939Result<std::uint32_t> get_option(std::uint32_t option) const;

    // Addresses of this channel while their claim is Claimed, with the claim's protector
    // flag: only a protector answers (CTS, EOMACK, Abort) for its address.
    void set_local_address(std::uint8_t address, bool protector);
    void remove_local_address(std::uint8_t address);

    // What the handler holds now, for tests and the fuzz target: running sessions, the
    // bytes their buffers hold, and messages waiting for a session.
    struct Load {
        std::size_t tx_sessions = 0;
        std::size_t rx_sessions = 0;
        std::size_t rx_bytes = 0;
        std::size_t pending = 0;
    };
    Load load() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qzj1939lib
