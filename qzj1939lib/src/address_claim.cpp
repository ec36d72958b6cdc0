#include "address_claim.hpp"

#include <mutex>

#include "platform/log.hpp"

namespace qzj1939lib {

namespace {

constexpr const char* kTarget = "qzj1939lib::address_claim";
constexpr auto kClaimWait = std::chrono::milliseconds(250);
constexpr std::uint8_t kMaxClaimableAddress = 253;

using platform::log::Level;
using tarnlib::Status;
using tarnlib::TarnlibError;

class LocalClaimStore final : public ClaimStore {
  public:
    bool shared() const noexcept override { return false; }
    void lock() override {}
    void unlock() override {}
    std::size_t slot_count() const override { return entries_.size(); }
    ClaimEntry read(std::size_t slot) const override { return entries_[slot]; }
    void write(std::size_t slot, const ClaimEntry& entry) override { entries_[slot] = entry; }
    std::optional<std::size_t> free_slot() override {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (!entries_[i].in_use()) {
                return i;
            }
        }
        entries_.emplace_back();
        return entries_.size() - 1;
    }

  private:
    std::vector<ClaimEntry> entries_;
};

J1939Result<std::optional<J1939Message>> refuse(Status status, const char* text) {
    return platform::unexpected(TarnlibError{status, text});
}

std::uint64_t name_of(const J1939Message& message) {
    std::uint64_t name = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        name |= static_cast<std::uint64_t>((*message.data)[i]) << (8 * i);
    }
    return name;
}

}  // namespace

std::unique_ptr<ClaimStore> make_local_claim_store() {
    return std::make_unique<LocalClaimStore>();
}

J1939Message address_claimed_frame(std::uint8_t address, std::uint64_t name) {
    J1939Message frame;
    frame.pgn = kPgnAddressClaimed;
    frame.priority = 6;
    frame.src_addr = address;
    frame.dest_addr = kGlobalAddress;
    std::vector<std::uint8_t> data(8);
    for (std::size_t i = 0; i < 8; ++i) {
        data[i] = static_cast<std::uint8_t>(name >> (8 * i));
    }
    frame.data = std::move(data);
    return frame;
}

std::chrono::milliseconds pseudo_random_delay(std::uint64_t name, std::uint8_t address) {
    std::uint32_t hash = 0x811C9DC5u;
    auto mix = [&hash](std::uint8_t byte) {
        hash ^= byte;
        hash *= 0x01000193u;
    };
    for (std::size_t i = 0; i < 8; ++i) {
        mix(static_cast<std::uint8_t>(name >> (8 * i)));
    }
    mix(address);
    return std::chrono::milliseconds(hash % 154);
}

AddressClaimManager::AddressClaimManager(std::uint32_t channel, std::uint32_t client_id,
                                         std::unique_ptr<ClaimStore> store)
    : channel_(channel), client_id_(client_id), store_(std::move(store)) {}

AddressClaimManager::~AddressClaimManager() {
    std::vector<TxCommand> commands;
    {
        platform::log::Deferred log;
        std::lock_guard lock(*store_);
        for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
            const ClaimEntry entry = store_->read(slot);
            if (ours(entry)) {
                QZ_LOG_LATER(log, Level::Error, kTarget,
                             "Found leftover address claim for address {:02X}, channel {}, "
                             "client {}",
                             entry.address, channel_, client_id_);
                (void)remove_locked(slot, commands, log);
            }
        }
    }
    flush(commands);
}

void AddressClaimManager::change_state(ClaimEntry& entry, ClaimState state,
                                       std::vector<TxCommand>& out,
                                       platform::log::Deferred& log) const {
    QZ_LOG_LATER(log, Level::Info, kTarget, "Address {:02X} on channel {} changing state to {}",
                 entry.address, channel_, to_string(state));
    entry.state = state;
    out.push_back(AddressStateChanged{entry.address, state, true, entry.protector});
}

void AddressClaimManager::flush(std::vector<TxCommand>& commands) {
    if (!sender_) {
        return;
    }
    for (TxCommand& command : commands) {
        if (const auto* change = std::get_if<AddressStateChanged>(&command); change && listener_) {
            listener_(*change);
        }
        if (!sender_.send(std::move(command))) {
            QZ_LOG_DEBUG(kTarget, "Tx command queue is closed, dropping address state change");
        }
    }
    commands.clear();
}

J1939Result<std::optional<J1939Message>> AddressClaimManager::start_claim(std::uint8_t address,
                                                                          std::uint64_t name,
                                                                          Instant now) {
    if (address > kMaxClaimableAddress) {
        QZ_LOG_ERROR(kTarget, "Invalid source address");
        return refuse(Status::tarnERR_PARAM, "Invalid source address");
    }
    ClaimEntry entry;
    std::vector<TxCommand> commands;
    {
        platform::log::Deferred log;
        std::lock_guard lock(*store_);
        if (store_->shared() && !store_->free_slot()) {
            // A full table may hold the entries of processes that ended: they go first.
            take_back_locked(log);
        }
        std::optional<ClaimEntry> lowest_other;
        for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
            const ClaimEntry e = store_->read(slot);
            if (!on_channel(e, address)) {
                continue;
            }
            if (e.client_id == client_id_) {
                const char* text =
                    store_->shared() ? "Address already claimed" : "Address already in use";
                QZ_LOG_LATER(log, Level::Error, kTarget, "{}", text);
                return refuse(Status::tarnERR_PARAM, text);
            }
            if (!lowest_other || e.name < lowest_other->name) {
                lowest_other = e;
            }
        }
        const std::optional<std::size_t> free = store_->free_slot();
        if (!free) {
            QZ_LOG_LATER(log, Level::Error, kTarget, "Maximum number of address claims reached");
            return refuse(Status::tarnERR_NOHANDLES, "Address list is full");
        }
        entry.deadline = now + kClaimWait;
        entry.channel = channel_;
        entry.client_id = client_id_;
        entry.name = name;
        entry.address = address;
        entry.protector = !lowest_other || name < lowest_other->name;
        entry.state = ClaimState::ClaimSent;
        if (entry.protector) {
            for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
                ClaimEntry e = store_->read(slot);
                if (on_channel(e, address) && e.protector) {
                    e.protector = false;
                    store_->write(slot, e);
                }
            }
        }
        const bool copies =
            lowest_other && (!entry.protector || lowest_other->state == ClaimState::Claimed);
        if (copies && lowest_other->state == ClaimState::CannotClaim) {
            // Joining an address that is lost already: that is this claim's outcome too.
            change_state(entry, ClaimState::CannotClaim, commands, log);
        } else if (copies) {
            entry.state = lowest_other->state;
        }
        store_->write(*free, entry);
    }
    QZ_LOG_INFO(kTarget, "Starting address claim for SA {:02X}", address);
    if (sender_) {
        commands.push_back(RunAddressClaim{});
        flush(commands);
    } else {
        QZ_LOG_ERROR(kTarget, "No subscriber registered before claiming address");
    }
    if (!entry.protector) {
        return std::optional<J1939Message>();
    }
    return std::optional<J1939Message>(address_claimed_frame(address, name));
}

std::optional<Instant> AddressClaimManager::timer_step(Instant now) {
    std::optional<Instant> next;
    std::vector<TxCommand> commands;
    {
        platform::log::Deferred log;
        std::lock_guard lock(*store_);
        for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
            ClaimEntry e = store_->read(slot);
            if (!ours(e) || e.state == ClaimState::CannotClaim || !e.deadline) {
                continue;
            }
            if (*e.deadline > now) {
                next = next ? std::min(*next, *e.deadline) : *e.deadline;
                continue;
            }
            change_state(e, ClaimState::Claimed, commands, log);
            QZ_LOG_LATER(log, Level::Info, kTarget,
                         "Successfully claimed address {:02X} for channel {}, client {}", e.address,
                         channel_, client_id_);
            e.deadline.reset();
            store_->write(slot, e);
        }
    }
    flush(commands);
    return next;
}

std::optional<TxCommand> AddressClaimManager::on_address_claimed(const J1939Message& message,
                                                                 bool is_local_echo, Instant now) {
    if (message.size() < 8) {
        QZ_LOG_DEBUG(kTarget, "Ignoring Address Claimed from SA {:02X} with {} data bytes",
                     message.src_addr, message.size());
        return std::nullopt;
    }
    const std::uint8_t address = message.src_addr;
    const std::uint64_t name = name_of(message);
    std::optional<TxCommand> answer;
    std::vector<TxCommand> commands;
    {
        platform::log::Deferred log;
        std::lock_guard lock(*store_);
        // The claim that speaks for the address here: the lowest NAME on this channel.
        std::optional<std::size_t> found;
        ClaimEntry claim;
        for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
            const ClaimEntry e = store_->read(slot);
            if (on_channel(e, address) && (!found || e.name < claim.name)) {
                found = slot;
                claim = e;
            }
        }
        if (!found) {
            return std::nullopt;
        }
        if (is_local_echo && store_->shared()) {
            // Another client of this CAN channel announced the address: when it is the
            // protector's claim, the transport protocol learns the address.
            if (name == claim.name && claim.state == ClaimState::Claimed && sender_) {
                commands.push_back(AddressStateChanged{address, ClaimState::Claimed, false,
                                                       claim.client_id == client_id_});
            }
        } else if (name < claim.name || claim.state == ClaimState::CannotClaim) {
            // Another node wins; this client's own claim, if it has one, gives up.
            for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
                ClaimEntry e = store_->read(slot);
                if (!ours(e) || e.address != address) {
                    continue;
                }
                change_state(e, ClaimState::CannotClaim, commands, log);
                e.deadline.reset();
                store_->write(slot, e);
                QZ_LOG_LATER(log, Level::Info, kTarget,
                             "Other node has higher priority, giving up address {:02X}", address);
                if (e.protector) {
                    QZ_LOG_LATER(log, Level::Info, kTarget,
                                 "We were protector for address {:02X}, sending Cannot "
                                 "Claim",
                                 address);
                    answer = SendAt{address_claimed_frame(kNullAddress, e.name), std::nullopt,
                                    now + pseudo_random_delay(e.name, address)};
                }
                break;
            }
        } else if (claim.client_id == client_id_) {
            QZ_LOG_LATER(log, Level::Info, kTarget,
                         "We have higher priority, defending address {:02X}", address);
            // Defended at once while the claim's 250 ms still run too: the other node may
            // have started its claim after ours passed it, and would otherwise never hear of
            // ours and hold the address as well.
            answer = SendAt{address_claimed_frame(address, claim.name), std::nullopt, now};
        }
    }
    flush(commands);
    return answer;
}

std::vector<TxCommand> AddressClaimManager::on_request_for_claim(const J1939Message& request,
                                                                 Instant now) {
    std::vector<TxCommand> answers;
    platform::log::Deferred log;
    std::lock_guard lock(*store_);
    for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
        const ClaimEntry e = store_->read(slot);
        if (!ours(e) || e.state == ClaimState::ClaimSent || !e.protector ||
            (request.dest_addr != kGlobalAddress && request.dest_addr != e.address)) {
            continue;
        }
        QZ_LOG_LATER(log, Level::Info, kTarget,
                     "Responding to AC request from SA {:02X} with our address {:02X} "
                     "(channel {})",
                     request.src_addr, e.address, channel_);
        const std::uint8_t source = e.state == ClaimState::CannotClaim ? kNullAddress : e.address;
        answers.push_back(SendAt{address_claimed_frame(source, e.name), std::nullopt,
                                 now + pseudo_random_delay(e.name, e.address)});
    }
    return answers;
}

std::optional<J1939Message> AddressClaimManager::remove_locked(std::size_t slot,
                                                               std::vector<TxCommand>& out,
                                                               platform::log::Deferred& log) {
    const ClaimEntry removed = store_->read(slot);
    store_->write(slot, ClaimEntry{});
    // The transport protocol forgets the address; the application is not told.
    out.push_back(AddressStateChanged{removed.address, ClaimState::Unclaimed, false, false});
    QZ_LOG_LATER(log, Level::Info, kTarget, "Address {:02X} on channel {} released",
                 removed.address, channel_);
    if (!removed.protector) {
        return std::nullopt;
    }
    std::optional<std::size_t> heir;
    ClaimEntry next;
    for (std::size_t i = 0; i < store_->slot_count(); ++i) {
        const ClaimEntry e = store_->read(i);
        if (on_channel(e, removed.address) && (!heir || e.name < next.name)) {
            heir = i;
            next = e;
        }
    }
    if (!heir) {
        return std::nullopt;
    }
    next.protector = true;
    next.bam_marker = removed.bam_marker;
    next.rts_marker = removed.rts_marker;
    store_->write(*heir, next);
    QZ_LOG_LATER(log, Level::Info, kTarget,
                 "Address {:02X} on channel {} now claimed by another client", removed.address,
                 channel_);
    return address_claimed_frame(removed.address, next.name);
}

std::size_t AddressClaimManager::take_back_locked(platform::log::Deferred& log) {
    std::size_t taken = 0;
    for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
        const ClaimEntry e = store_->read(slot);
        if (!e.in_use() || !store_->owner_gone(slot)) {
            continue;
        }
        store_->write(slot, ClaimEntry{});
        ++taken;
        QZ_LOG_LATER(log, Level::Warn, kTarget,
                     "Took back address claim for address {:02X}, channel {}, client {} of a "
                     "process that ended",
                     e.address, e.channel, e.client_id);
    }
    return taken;
}

std::vector<J1939Message> AddressClaimManager::upkeep() {
    std::vector<J1939Message> frames;
    if (!store_->shared()) {
        return frames;
    }
    std::vector<TxCommand> commands;
    {
        platform::log::Deferred log;
        std::lock_guard lock(*store_);
        take_back_locked(log);
        // An address whose protector is gone (taken back, or a writer that died) is spoken
        // for by the lowest NAME left; each client looks after its own claims.
        for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
            ClaimEntry e = store_->read(slot);
            if (!ours(e) || e.protector) {
                continue;
            }
            bool guarded = false;
            bool lowest = true;
            for (std::size_t other = 0; other < store_->slot_count(); ++other) {
                const ClaimEntry o = store_->read(other);
                if (other == slot || !on_channel(o, e.address)) {
                    continue;
                }
                guarded = guarded || o.protector;
                lowest =
                    lowest && !(o.name < e.name || (o.name == e.name && o.client_id < e.client_id));
            }
            if (guarded || !lowest) {
                continue;
            }
            e.protector = true;
            store_->write(slot, e);
            QZ_LOG_LATER(log, Level::Info, kTarget,
                         "Address {:02X} on channel {} now claimed by client {}, its protector "
                         "is gone",
                         e.address, channel_, client_id_);
            if (e.state == ClaimState::Claimed) {
                commands.push_back(AddressStateChanged{e.address, e.state, false, true});
            }
            if (e.state != ClaimState::CannotClaim) {
                frames.push_back(address_claimed_frame(e.address, e.name));
            }
        }
    }
    flush(commands);
    return frames;
}

J1939Result<std::optional<J1939Message>> AddressClaimManager::remove_claim(std::uint8_t address) {
    std::optional<J1939Message> frame;
    std::vector<TxCommand> commands;
    {
        platform::log::Deferred log;
        std::lock_guard lock(*store_);
        std::optional<std::size_t> slot;
        for (std::size_t i = 0; i < store_->slot_count() && !slot; ++i) {
            const ClaimEntry e = store_->read(i);
            if (ours(e) && e.address == address) {
                slot = i;
            }
        }
        if (!slot) {
            return refuse(Status::tarnERR_PARAM, "Address not claimed");
        }
        frame = remove_locked(*slot, commands, log);
    }
    flush(commands);
    return frame;
}

std::vector<J1939Message> AddressClaimManager::release_all() {
    std::vector<J1939Message> frames;
    std::vector<TxCommand> commands;
    {
        platform::log::Deferred log;
        std::lock_guard lock(*store_);
        for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
            if (ours(store_->read(slot))) {
                if (auto frame = remove_locked(slot, commands, log)) {
                    frames.push_back(std::move(*frame));
                }
            }
        }
    }
    flush(commands);
    return frames;
}

std::optional<ClaimEntry> AddressClaimManager::claim(std::uint8_t address) const {
    std::lock_guard lock(*store_);
    for (std::size_t slot = 0; slot < store_->slot_count(); ++slot) {
        const ClaimEntry e = store_->read(slot);
        if (ours(e) && e.address == address) {
            return e;
        }
    }
    return std::nullopt;
}

}  // namespace qzj1939lib
