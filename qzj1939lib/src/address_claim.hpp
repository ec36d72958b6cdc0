#pragma once
// Address claiming for one J1939 channel: starting claims, defending or giving up an
// address when another node claims it, answering requests for Address Claimed, and telling
// the channel about every state change.
//
// A protocol engine: it never writes to the bus, never reads the clock and never sleeps. It
// returns frames for the channel to send at once, or Tx commands (SendAt, RunAddressClaim,
// AddressStateChanged) for the channel's transmit thread. The caller passes the current
// instant in.
//
// The claims live in a ClaimStore: the channel's own list (local mode), or the table every
// process shares (shared mode), where several clients of one CAN channel may hold the same
// address and only the claim with the lowest NAME, the protector, speaks for it on the bus.
// The operations are the same over both; local mode differs only in its error texts and in
// treating Address Claimed frames of other handles on the same CAN channel (local echoes)
// like those of any other node, since nothing else arbitrates between local-mode channels.
//
// Not synchronised: the channel calls it under its address-claim mutex. The store's own
// lock (the shared table's named mutex) is taken inside, only around scans and updates,
// never while a Tx command is queued or a log line is written (the layer's lock order is
// in j1939_channel.hpp).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/log.hpp"
#include "qzj1939lib/j1939_channel.hpp"
#include "qzj1939lib/j1939_message.hpp"
#include "tx_command.hpp"

namespace qzj1939lib {

// One claim of one client for one address on one CAN channel.
struct ClaimEntry {
    std::optional<Instant> deadline;  // when a ClaimSent claim becomes Claimed
    std::uint32_t channel = 0;        // the same number in every process for one CAN channel
    std::uint32_t client_id = 0;
    std::uint64_t name = 0;
    ClaimState state = ClaimState::Unclaimed;  // Unclaimed: the slot is free
    std::uint8_t address = kNullAddress;
    bool protector = false;
    std::uint8_t bam_marker = 0;  // transfer markers: kept in place, never set
    std::uint8_t rts_marker = 0;

    bool in_use() const noexcept { return state != ClaimState::Unclaimed; }
    friend bool operator==(const ClaimEntry&, const ClaimEntry&) = default;
};

// Where the claims are kept: slots scanned in index order, between lock() and unlock().
class ClaimStore {
  public:
    virtual ~ClaimStore() = default;
    // Shared: the claims of every client of every process; local: this channel's only.
    virtual bool shared() const noexcept = 0;
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual std::size_t slot_count() const = 0;
    virtual ClaimEntry read(std::size_t slot) const = 0;
    virtual void write(std::size_t slot, const ClaimEntry& entry) = 0;
    // The lowest free slot, or none when the store is full.
    virtual std::optional<std::size_t> free_slot() = 0;
    // Whether the process that added the slot's entry is known to have ended (shared only).
    virtual bool owner_gone(std::size_t) const { return false; }
};

// The channel's own growable list; its lock is the channel's address-claim mutex, so
// lock() and unlock() do nothing.
std::unique_ptr<ClaimStore> make_local_claim_store();

// The Address Claimed frame: PGN 0xEE00, priority 6, to 255, the NAME least significant
// byte first, from the address (254 for Cannot Claim).
J1939Message address_claimed_frame(std::uint8_t address, std::uint64_t name);
// The delay before a Cannot Claim or an answer to a request: FNV-1a (32-bit) over the NAME
// bytes, least significant first, and the address, modulo 154 ms.
std::chrono::milliseconds pseudo_random_delay(std::uint64_t name, std::uint8_t address);

class AddressClaimManager {
  public:
    AddressClaimManager(std::uint32_t channel, std::uint32_t client_id,
                        std::unique_ptr<ClaimStore> store);
    // Removes (and logs) the claims this client still holds.
    ~AddressClaimManager();
    AddressClaimManager(const AddressClaimManager&) = delete;
    AddressClaimManager& operator=(const AddressClaimManager&) = delete;

    // The Tx command queue while the channel is open.
    bool has_sender() const noexcept { return static_cast<bool>(sender_); }
    void set_sender(TxCommandSender sender) { sender_ = std::move(sender); }
    void take_sender() { sender_.reset(); }
    // Called with each address state change when it is made, while a sender is set and
    // before the change is queued: the channel's transport protocol learns a claimed address
    // at the instant the claim holds (the queued command, handled by the transmit thread a
    // moment later, only tells the application), so an RTS that arrives right after the
    // claim is answered.
    using StateListener = std::function<void(const AddressStateChanged&)>;
    void set_state_listener(StateListener listener) { listener_ = std::move(listener); }

    // Starts a claim; the Address Claimed frame to send now when this claim speaks for the
    // address.
    J1939Result<std::optional<J1939Message>> start_claim(std::uint8_t address, std::uint64_t name,
                                                         Instant now);
    // An Address Claimed frame from the bus (is_local_echo: sent by another handle on this
    // CAN channel). Returns what to send in answer, if anything.
    std::optional<TxCommand> on_address_claimed(const J1939Message& message, bool is_local_echo,
                                                Instant now);
    // A request for Address Claimed (not our own): one SendAt per claim that answers it.
    std::vector<TxCommand> on_request_for_claim(const J1939Message& request, Instant now);
    // Moves claims whose 250 ms passed to Claimed; the earliest deadline still ahead.
    std::optional<Instant> timer_step(Instant now);
    // Periodic work (shared mode): takes back the entries of processes that ended, and
    // makes this client protector of an address whose protector is gone when its NAME is
    // the lowest left. The Address Claimed frames of the claims that became protector.
    std::vector<J1939Message> upkeep();
    // Frees this client's claim; the frame of a claim that takes over the address, if any.
    J1939Result<std::optional<J1939Message>> remove_claim(std::uint8_t address);
    // Removes every claim of this client; the frames the removals produced.
    std::vector<J1939Message> release_all();

    std::uint32_t channel() const noexcept { return channel_; }
    std::uint32_t client_id() const noexcept { return client_id_; }
    bool shared() const noexcept { return store_->shared(); }
    // This client's claim for the address, if any (a copy; for tests and diagnostics).
    std::optional<ClaimEntry> claim(std::uint8_t address) const;

  private:
    bool ours(const ClaimEntry& e) const noexcept {
        return e.in_use() && e.channel == channel_ && e.client_id == client_id_;
    }
    bool on_channel(const ClaimEntry& e, std::uint8_t address) const noexcept {
        return e.in_use() && e.channel == channel_ && e.address == address;
    }
    // Logs the change and records the command for the transmit thread; the commands are
    // queued by flush() once the store is unlocked.
    void change_state(ClaimEntry& entry, ClaimState state, std::vector<TxCommand>& out,
                      platform::log::Deferred& log) const;
    void flush(std::vector<TxCommand>& commands);
    // Frees this client's slot for the address (store locked); the frame of the claim that
    // becomes protector, if any.
    std::optional<J1939Message> remove_locked(std::size_t slot, std::vector<TxCommand>& out,
                                              platform::log::Deferred& log);
    // Frees the entries of ended processes (store locked); how many.
    std::size_t take_back_locked(platform::log::Deferred& log);

    const std::uint32_t channel_;
    const std::uint32_t client_id_;
    std::unique_ptr<ClaimStore> store_;
    TxCommandSender sender_;
    StateListener listener_;
};

}  // namespace qzj1939lib
