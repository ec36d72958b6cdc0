#include "shared_data_manager.hpp"

#include <mutex>
#include <string>

#include "platform/process.hpp"

namespace qzj1939lib {

namespace {

constexpr std::uint32_t kNoDeadline = 1'000'000'000;
constexpr std::uint32_t kOwnersSize = 4 + 4 * kSharedTableEntries;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;

template <class T>
void store_le(std::uint8_t* at, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

template <class T>
T load_le(const std::uint8_t* at) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(static_cast<T>(at[i]) << (8 * i));
    }
    return value;
}

std::uint8_t* entry_at(std::uint8_t* data, std::size_t index) {
    return data + kSharedEntriesOffset + index * kSharedEntrySize;
}

// The process's table, configured once and kept for the life of the process.
std::mutex g_configure_mutex;  // serialises configure()
std::atomic<SharedDataManager*> g_table{nullptr};

class SharedClaimStore final : public ClaimStore {
  public:
    explicit SharedClaimStore(SharedDataManager& table) : table_(table) {}
    bool shared() const noexcept override { return true; }
    void lock() override { table_.lock(); }
    void unlock() override { table_.unlock(); }
    std::size_t slot_count() const override { return kSharedTableEntries; }
    ClaimEntry read(std::size_t slot) const override { return table_.read(slot); }
    void write(std::size_t slot, const ClaimEntry& entry) override {
        if (!entry.in_use()) {
            table_.write(slot, entry);
            table_.set_owner(slot, 0);
        } else if (!table_.read(slot).in_use()) {
            table_.set_owner(slot, table_.token());
            table_.write(slot, entry);
        } else {
            table_.write(slot, entry);  // another client's entry keeps its owner
        }
    }
    bool owner_gone(std::size_t slot) const override { return table_.owner_gone(slot); }
    std::optional<std::size_t> free_slot() override {
        for (std::size_t i = 0; i < kSharedTableEntries; ++i) {
            if (!table_.read(i).in_use()) {
                return i;
            }
        }
        return std::nullopt;
    }

  private:
    SharedDataManager& table_;
};

}  // namespace

EntryBytes encode_entry(const ClaimEntry& entry) {
    EntryBytes bytes{};
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = kNoDeadline;
    if (entry.deadline) {
        // The clock counts from the machine's start, so its instants are not negative.
        const std::int64_t ns =
            std::max<std::int64_t>(0, entry.deadline->time_since_epoch().count());
        seconds = static_cast<std::uint64_t>(ns / kNsPerSecond);
        nanoseconds = static_cast<std::uint32_t>(ns % kNsPerSecond);
    }
    store_le(&bytes[0], seconds);
    store_le(&bytes[8], nanoseconds);
    store_le(&bytes[16], entry.channel);
    store_le(&bytes[20], entry.client_id);
    store_le(&bytes[24], entry.name);
    bytes[32] = static_cast<std::uint8_t>(entry.state);
    bytes[33] = entry.address;
    bytes[34] = entry.protector ? 1 : 0;
    bytes[35] = entry.bam_marker;
    bytes[36] = entry.rts_marker;
    return bytes;
}

ClaimEntry decode_entry(const std::uint8_t* bytes) {
    ClaimEntry entry;
    if (bytes[32] > static_cast<std::uint8_t>(ClaimState::CannotClaim)) {
        return entry;  // not an entry any writer completed: free
    }
    const auto seconds = load_le<std::uint64_t>(bytes);
    const auto nanoseconds = load_le<std::uint32_t>(bytes + 8);
    if (nanoseconds < kNoDeadline) {
        entry.deadline = Instant(std::chrono::nanoseconds(
            static_cast<std::int64_t>(seconds) * kNsPerSecond + nanoseconds));
    }
    entry.channel = load_le<std::uint32_t>(bytes + 16);
    entry.client_id = load_le<std::uint32_t>(bytes + 20);
    entry.name = load_le<std::uint64_t>(bytes + 24);
    entry.state = static_cast<ClaimState>(bytes[32]);
    entry.address = bytes[33];
    entry.protector = bytes[34] != 0;
    entry.bam_marker = bytes[35];
    entry.rts_marker = bytes[36];
    return entry;
}

platform::Expected<std::unique_ptr<SharedDataManager>, std::string> SharedDataManager::open(
    const std::string& block_name, const std::string& mutex_name) {
    auto mutex = AccessMutex::create(mutex_name);
    if (!mutex) {
        platform::fatal("Failed to create the shared address-claim table mutex");
    }
    std::unique_lock lock(*mutex);
    auto block = SharedMemoryBlock::open_or_create(block_name, kSharedTableSize);
    if (!block) {
        return platform::unexpected(block.error().what);
    }
    if (block->created()) {
        std::uint8_t* data = block->data();
        store_le<std::uint32_t>(data, 1);
        for (std::size_t i = 0; i < kSharedTableEntries; ++i) {
            const EntryBytes free = encode_entry(ClaimEntry{});
            std::copy(free.begin(), free.end(), entry_at(data, i));
        }
    }
    // The owners' companion; without it the table works as before, nothing taken back.
    std::optional<SharedMemoryBlock> owners;
    std::optional<platform::LivenessMark> mark;
    std::uint32_t token = 0;
    const std::string mark_prefix = block_name + "_OWNER_";
    if (auto companion = SharedMemoryBlock::open_or_create(block_name + "_OWNERS", kOwnersSize)) {
        std::uint8_t* data = companion->data();
        const std::uint32_t next = load_le<std::uint32_t>(data) + 1;
        store_le<std::uint32_t>(data, next);
        if (auto held = platform::LivenessMark::hold(mark_prefix + std::to_string(next))) {
            mark.emplace(std::move(*held));
            owners.emplace(std::move(*companion));
            token = next;
        }
    }
    lock.unlock();
    std::unique_ptr<SharedDataManager> table(
        new SharedDataManager(std::move(*block), std::move(*mutex)));
    table->mark_prefix_ = mark_prefix;
    table->owners_ = std::move(owners);
    table->mark_ = std::move(mark);
    table->token_ = token;
    return table;
}

std::uint32_t SharedDataManager::owner(std::size_t index) const {
    return owners_ ? load_le<std::uint32_t>(owners_->data() + 4 + 4 * index) : 0;
}

void SharedDataManager::set_owner(std::size_t index, std::uint32_t token) {
    if (owners_) {
        store_le<std::uint32_t>(owners_->data() + 4 + 4 * index, token);
    }
}

bool SharedDataManager::owner_gone(std::size_t index) const {
    const std::uint32_t token = owner(index);
    return token != 0 && token != token_ &&
           !platform::LivenessMark::held(mark_prefix_ + std::to_string(token));
}

platform::Expected<SharedDataManager*, std::string> SharedDataManager::configure() {
    std::lock_guard lock(g_configure_mutex);
    if (g_table.load() != nullptr) {
        return platform::unexpected(
            std::string("The shared address-claim table is configured already"));
    }
    auto table = open(kSharedTableName, kSharedTableMutexName);
    if (!table) {
        return platform::unexpected(std::move(table).error());
    }
    // Kept for the life of the process: channels of any thread may use it until the end.
    SharedDataManager* kept = table->release();
    g_table.store(kept);
    return kept;
}

SharedDataManager* SharedDataManager::configured() noexcept {
    return g_table.load();
}

std::uint32_t SharedDataManager::next_client_id() {
    std::lock_guard lock(mutex_);
    const auto id = load_le<std::uint32_t>(block_.data());
    store_le<std::uint32_t>(block_.data(), id + 1);
    return id;
}

ClaimEntry SharedDataManager::read(std::size_t index) const {
    return decode_entry(entry_at(block_.data(), index));
}

void SharedDataManager::write(std::size_t index, const ClaimEntry& entry) {
    const EntryBytes bytes = encode_entry(entry);
    std::copy(bytes.begin(), bytes.end(), entry_at(block_.data(), index));
}

std::unique_ptr<ClaimStore> make_shared_claim_store(SharedDataManager& table) {
    return std::make_unique<SharedClaimStore>(table);
}

}  // namespace qzj1939lib
