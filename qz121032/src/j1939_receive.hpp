#pragma once
// The receive side of a J1939 client, shared by its receive thread, its commands and
// RP1210_SendMessage: the receive buffer, the echo and receive switches, the filters, and
// the claimed-address list that mirrors the address-claim events of the client's channel.
//
// The read format of RP1210_ReadMessage on a J1939 client:
//
//   bytes 0-3  time stamp in milliseconds, most significant byte first
//   byte 4     only while echo is on: 1 for the confirmation of an own message, 0 else
//   next 3     PGN, least significant byte first
//   next 1     how/priority: priority in bits 0-2; bit 7 set when the destination is 255
//              and the data is longer than 8 bytes (a BAM transfer)
//   next 1     source address
//   next 1     destination address
//   rest       data

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "client_device.hpp"
#include "hw_status.hpp"
#include "message_buffer.hpp"
#include "platform/expected.hpp"
#include "qzj1939lib/j1939_channel.hpp"
#include "receive_filters.hpp"

namespace qz121032 {

// The longest message the receive thread stores, and the transmit thread's read area.
inline constexpr std::size_t kJ1939MessageArea = 2048;

// Writes the read form of `message` into `out`, with the echo byte when `echo` is set, and
// returns its length. A length above out.size() is what it would need: nothing is written
// then.
std::size_t encode_j1939_read_message(const qzj1939lib::J1939Message& message,
                                      std::optional<bool> echo, std::span<std::uint8_t> out);

// One Set_Message_Filtering_For_J1939 record.
struct J1939Filter {
    static constexpr std::uint8_t kComparePgn = 0x01;
    static constexpr std::uint8_t kCompareSource = 0x04;
    static constexpr std::uint8_t kCompareDestination = 0x08;

    std::uint32_t pgn = 0;
    std::uint8_t flags = 0;  // other bits than the three above have no effect
    std::uint8_t source = 0;
    std::uint8_t destination = 0;

    bool matches(const qzj1939lib::J1939Message& message) const;
};

// The 7-byte records of Set_Message_Filtering_For_J1939 (flags, PGN least significant byte
// first with a top byte of at most 3, priority (ignored), source, destination); nullopt when
// the length is not a multiple of 7 or a top PGN byte is above 3.
std::optional<std::vector<J1939Filter>> parse_j1939_filters(std::span<const std::uint8_t> records);

// The addresses whose claim state this client has heard of, and whether each is claimed
// now. An address stays listed until it is released.
class ClaimedAddresses {
  public:
    // Lists the address (claimed or lost) and wakes every waiter.
    void update(std::uint8_t address, bool claimed);
    void remove(std::uint8_t address);
    bool any_claimed() const;
    // Waits until the address is listed, at most `limit`: whether it is claimed then, or
    // nullopt when it was not listed in time.
    std::optional<bool> wait_listed(std::uint8_t address, std::chrono::milliseconds limit);

  private:
    mutable std::mutex mutex_;  // guards list_
    std::condition_variable changed_;
    std::vector<std::pair<std::uint8_t, bool>> list_;
};

struct J1939ReceiveContext {
    std::shared_ptr<MessageBuffer> receive_buffer;
    std::shared_ptr<HardwareStatus> hardware_status;
    std::uint32_t channel_key = 0;
    std::atomic<bool> echo{false};
    std::atomic<bool> receive_enabled{true};
    ClaimedAddresses claims;

    std::mutex filter_mutex;  // guards filters
    ReceiveFilters<J1939Filter> filters;

    // What the receive thread does with one event of the channel: received messages and
    // confirmations of own messages go through the filters into the receive buffer,
    // address states into the claimed-address list; the rest is ignored. `area` is the
    // thread's conversion area of kJ1939MessageArea bytes.
    void on_event(const qzj1939lib::ChannelEvent& event, std::span<std::uint8_t> area);

  private:
    void deliver(const qzj1939lib::J1939Message& message, bool confirmation,
                 std::span<std::uint8_t> area);
};

}  // namespace qz121032
