#pragma once
// A J1939 channel: SAE J1939 on one CAN device. It turns messages into 29-bit frames and
// back, claims addresses, runs the transport protocol for messages of 9 to 1785 bytes, and
// hands what the application must see to an event queue whose receiving end open()
// returns.
//
// Threads that enter a channel: the caller's (open, close, send, claims, options), the CAN
// device's read thread (the receive path), and the channel's own transmit thread
// "J1939Channel({client id})::tx_thread", which lives from open to close, sends scheduled
// frames and drives the address-claim and transport-protocol timers.
//
// Lock order of the J1939 layer. A thread takes a lock only while it holds none of those
// below it in this list; each is held briefly unless said otherwise.
//   1. the library mutex (lib.cpp): the j1939_* handle table; held across a whole export
//      but for its waits, so the channel's locks come inside it;
//   2. a channel's state mutex: open, close and the TP passthrough option; held across
//      open and close, which join the transmit thread (that thread never takes it);
//   3. a channel's address-claim mutex: its claim manager; the manager's state listener
//      takes 4 under it, so the transport protocol learns an address the moment its claim
//      holds;
//   4. a channel's transport-protocol mutex: its TP handler;
//   5. a channel's pending-Tx mutex: held across the device write, so the CAN layer's
//      locks come below it; never held with 3 or 4;
//   6. a channel's queue-ends mutex (the receive path's senders), then a queue's own mutex
//      (every send to the Tx command and event queues);
//   7. the shared address-claim table's named mutex, which every process takes: innermost.
//      Under it nothing else is locked, queued, logged or written: the claim manager
//      collects its log lines and commands and hands them on after releasing it.
// Logging takes only the log sink's own mutex (a leaf), never while 7 is held. A callback
// or notifier is never called with any of these held.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/expected.hpp"
#include "qzj1939lib/j1939_message.hpp"
#include "qzj1939lib/queue.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/can_message.hpp"

namespace qzj1939lib {

// Address-claim states; the values are those of the shared claim table.
enum class ClaimState : std::uint8_t {
    Unclaimed = 0,    // no claim (in the shared table: a free slot)
    ClaimSent = 1,    // Address Claimed sent, the 250 ms wait runs
    Claimed = 2,      // address owned
    CannotClaim = 3,  // lost to another node
};
// "Unclaimed", "ClaimSent", "Claimed", "CannotClaim".
const char* to_string(ClaimState state) noexcept;

// What a channel hands to the application. The variant's index is the event kind's value.
struct RxMessage {  // 0: a received message, single frame or reassembled
    J1939Message message;
};
struct RxError {  // 1: a frame or transfer that failed on reception (header, time stamp)
    J1939Message header;
};
struct TxConfirmed {  // 2: a tagged message went out (data; time stamp of the acknowledgement)
    std::uint32_t tag = 0;
    J1939Message message;
};
struct TxFailed {  // 3: a tagged transport-protocol transfer failed (header)
    std::uint32_t tag = 0;
    J1939Message header;
};
struct AddressState {  // 4: an address-claim state change of this channel
    std::uint8_t address = 0;
    ClaimState state = ClaimState::Unclaimed;
};
using ChannelEvent = std::variant<RxMessage, RxError, TxConfirmed, TxFailed, AddressState>;

using EventReceiver = Receiver<ChannelEvent>;

template <class T>
using J1939Result = platform::Expected<T, tarnlib::TarnlibError>;
using platform::Ok;

// For log lines: "Channel not open (tarnERR_INVHANDLE)".
std::string to_string(const tarnlib::TarnlibError& error);

// Channel options.
enum ChannelOption : std::uint32_t {
    kOptionTxEcho = 0,              // 0 or 1; set only; close turns it off
    kOptionTpPassthrough = 1,       // 0 or 1; set only while closed
    kOptionBamInterpacketTime = 2,  // ms, 0-200, default 50
    kOptionMaxPacketsInRts = 3,     // 1-255, default 255
    kOptionMaxPacketsInCts = 4,     // 1-255, default 255
    kOptionT1 = 5,                  // ms, 0-20000, default 750
    kOptionT2 = 6,                  // ms, 0-20000, default 1250
    kOptionT3 = 7,                  // ms, 0-20000, default 1250
    kOptionT4 = 8,                  // ms, 0-20000, default 1050
};

class J1939Channel {
  public:
    // A closed channel on the device. Its client id tells its address claims apart from
    // those of other channels on the same CAN channel. Once the process has configured the
    // shared address-claim table (j1939_configure_shared_address_table), the id comes from
    // the table's counter, unique across processes, and the claims are kept in the table;
    // before that, from a counter of the process, with the claims in the channel.
    static std::shared_ptr<J1939Channel> create(std::shared_ptr<tarnlib::CanDevice> device);

    J1939Channel(const J1939Channel&) = delete;
    J1939Channel& operator=(const J1939Channel&) = delete;
    // Closes the channel if it is open.
    ~J1939Channel();

    // Goes on bus, starts the transmit thread and returns the receiving end of the event
    // queue. The queue closes when the channel closes.
    J1939Result<EventReceiver> open();
    // Releases the channel's address claims, turns TX echo off, goes off bus and stops the
    // transmit thread. On failure the channel stays open.
    J1939Result<Ok> close();

    // Up to 8 data bytes go out as one frame; 9 to 1785 through the transport protocol.
    // A tag (non-zero) asks for a TxConfirmed (or, for a transfer, TxFailed) event.
    J1939Result<Ok> send(J1939Message message, std::optional<std::uint32_t> tag);
    J1939Result<Ok> claim_address(std::uint8_t address, std::uint64_t name);
    J1939Result<Ok> remove_address_claim(std::uint8_t address);

    J1939Result<Ok> set_option(std::uint32_t option, std::uint32_t value);
    J1939Result<std::uint32_t> get_option(std::uint32_t option);

    std::uint32_t client_id() const noexcept;
    bool is_open() const;
    const std::shared_ptr<tarnlib::CanDevice>& device() const noexcept;

    struct Core;

  private:
    explicit J1939Channel(std::unique_ptr<Core> core);
    std::unique_ptr<Core> core_;
};

}  // namespace qzj1939lib
