#include "hw_status.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <utility>
#include <vector>

#include "platform/clock.hpp"
#include "platform/log.hpp"
#include "platform/process.hpp"

namespace qz121032 {

namespace {

constexpr const char* kTarget = "qz121032";

// The words of the block are little-endian; they are accessed in place.
static_assert(std::endian::native == std::endian::little);
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);

// Word indices in an entry.
constexpr std::size_t kKey = 0;
constexpr std::size_t kClients = 1;
constexpr std::size_t kProtocolCounts = 2;  // words 2, 3, 4 by protocol marker
constexpr std::size_t kActivity = 5;
constexpr std::size_t kPreviousActivity = 6;
constexpr std::size_t kWindowStart = 8;  // words 8-9

constexpr std::size_t kCountWords = 5;  // words 0-4: the key and the counts

// The companion block "<block name>_OWNERS", unsigned 32-bit words:
//   header, 16 words: 0 the last token handed out; 1 journal state (1: a change is under
//   way); 2 the journalled entry; 3 the journalled record (kNoRecord: none); 4-8 words 0-4
//   of the entry before the change; 9-13 the record's row before the change.
//   64 owner records of 176 words: 0 the owner's token (0: free), 1-15 reserved, then 32
//   rows of 5 words laid out like words 0-4 of an entry (key, clients, CAN, J1939,
//   other): what the owner added to entry i.
constexpr std::size_t kOwnerRecords = 64;
constexpr std::size_t kOwnersHeaderWords = 16;
constexpr std::size_t kRecordHeaderWords = 16;
constexpr std::size_t kRecordWords =
    kRecordHeaderWords + HardwareStatus::kEntries * kCountWords;  // 176
constexpr std::uint32_t kOwnersSize = 4 * (kOwnersHeaderWords + kOwnerRecords * kRecordWords);
constexpr std::size_t kLastToken = 0;
constexpr std::size_t kJournalState = 1;
constexpr std::size_t kJournalEntry = 2;
constexpr std::size_t kJournalRecord = 3;
constexpr std::size_t kJournalEntryWords = 4;
constexpr std::size_t kJournalRowWords = 9;
constexpr std::uint32_t kNoRecord = 0xFFFFFFFF;

// Set by tests only; see set_registration_pause_for_tests.
std::atomic<void (*)()> registration_pause{nullptr};

// Record bytes.
constexpr std::size_t kInterfaceKind = 0;
constexpr std::size_t kClientCount = 1;
constexpr std::size_t kJ1939Status = 2;
constexpr std::size_t kJ1939Count = 3;
constexpr std::size_t kCanStatus = 6;
constexpr std::size_t kCanCount = 7;

// Status byte bits.
constexpr std::uint8_t kStatusInUse = 0x01;
constexpr std::uint8_t kStatusTraffic = 0x02;
constexpr std::uint8_t kStatusBusOff = 0x04;
// Bus-off bit of the driver's status word.
constexpr std::uint32_t kDriverBusOff = 0x02;

void fnv1a(std::uint32_t& hash, std::uint8_t byte) {
    hash ^= byte;
    hash *= 16777619u;
}

template <class T>
void fnv1a_le(std::uint32_t& hash, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        fnv1a(hash, static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// RP1210 interface kind of the driver's bus type; 1 for anything unknown.
std::uint8_t interface_kind(std::optional<std::uint32_t> bus_type) {
    switch (bus_type.value_or(0)) {
        case 1:
        case 4:
            return 3;
        case 3:
            return 5;
        default:
            return 1;
    }
}

std::uint8_t saturate_byte(std::uint32_t count) {
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(count, 0xFF));
}

// Lowers a count without wrapping below 0.
void subtract(std::atomic_ref<std::uint32_t> count, std::uint32_t amount) {
    std::uint32_t value = count.load();
    while (value > 0 && !count.compare_exchange_weak(value, value - std::min(value, amount))) {
    }
}

std::size_t protocol_word(ProtocolMarker marker) {
    return kProtocolCounts + static_cast<std::uint32_t>(marker);
}

bool counted_protocol(ProtocolMarker marker) {
    return static_cast<std::uint32_t>(marker) <= 2;
}

// Word `index` of a block, accessed in place. The blocks' data starts on a 64-byte
// boundary, so every word is naturally aligned.
std::atomic_ref<std::uint32_t> word_at(std::uint8_t* base, std::size_t index) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + 4 * index));
}

}  // namespace

std::uint32_t channel_key(const tarnlib::ChannelIdentity& identity) {
    std::uint32_t hash = 0x811c9dc5u;
    for (const char c : identity.name) {
        fnv1a(hash, static_cast<std::uint8_t>(c));
    }
    fnv1a(hash, 0xFF);
    fnv1a_le(hash, identity.ean);
    fnv1a_le(hash, identity.serial);
    fnv1a_le(hash, identity.channel);
    return hash;
}

// The words of one entry in the mapping. They are naturally aligned: the data starts on a
// 64-byte boundary and entries are 40 bytes long.
struct HardwareStatus::Entry {
    std::uint8_t* base;

    std::atomic_ref<std::uint32_t> word(std::size_t index) const { return word_at(base, index); }
    std::atomic_ref<std::uint64_t> window_start() const {
        return std::atomic_ref<std::uint64_t>(
            *reinterpret_cast<std::uint64_t*>(base + 4 * kWindowStart));
    }
    void clear() const {
        for (std::size_t w = kClients; w <= kPreviousActivity; ++w) {
            word(w).store(0);
        }
        window_start().store(0);
        word(kKey).store(0);
    }
};

// The words of the companion block.
struct HardwareStatus::Owners {
    std::uint8_t* base;

    std::atomic_ref<std::uint32_t> word(std::size_t index) const { return word_at(base, index); }
    std::atomic_ref<std::uint32_t> token(std::size_t record) const {
        return word(kOwnersHeaderWords + record * kRecordWords);
    }
    std::atomic_ref<std::uint32_t> row(std::size_t record, std::size_t entry,
                                       std::size_t index) const {
        return word(kOwnersHeaderWords + record * kRecordWords + kRecordHeaderWords +
                    entry * kCountWords + index);
    }
    void clear_row(std::size_t record, std::size_t entry) const {
        for (std::size_t w = 0; w < kCountWords; ++w) {
            row(record, entry, w).store(0);
        }
    }
};

std::shared_ptr<HardwareStatus> HardwareStatus::open() {
    auto status = open_named(kHardwareStatusBlockName, kHardwareStatusMutexName);
    if (!status) {
        platform::fatal("Failed to allocate RP1210 hardware status shared memory");
    }
    return std::move(*status);
}

platform::Expected<std::shared_ptr<HardwareStatus>, std::string> HardwareStatus::open_named(
    const std::string& block_name, const std::string& mutex_name) {
    auto mutex = qzj1939lib::AccessMutex::create(mutex_name);
    if (!mutex) {
        return platform::unexpected(mutex.error().what);
    }
    // The access mutex is held from before the block exists until its entries are
    // initialised: another process that opens the new block in between must not register
    // a client that the initialisation then wipes out.
    std::unique_lock lock(*mutex);
    auto block = qzj1939lib::SharedMemoryBlock::open_or_create(block_name, kBlockSize);
    if (!block) {
        return platform::unexpected(block.error().what);
    }
    auto owners =
        qzj1939lib::SharedMemoryBlock::open_or_create(block_name + "_OWNERS", kOwnersSize);
    if (!owners) {
        return platform::unexpected(owners.error().what);
    }
    if (reinterpret_cast<std::uintptr_t>(block->data()) % alignof(std::uint64_t) != 0) {
        return platform::unexpected(std::string("hardware status block is misaligned"));
    }
    if (block->created()) {
        for (std::size_t i = 0; i < kEntries; ++i) {
            Entry{block->data() + i * kEntrySize}.clear();
        }
    }
    lock.unlock();
    return std::make_shared<HardwareStatus>(Private{}, block_name, std::move(*block),
                                            std::move(*owners), std::move(*mutex));
}

HardwareStatus::HardwareStatus(Private, std::string block_name, qzj1939lib::SharedMemoryBlock block,
                               qzj1939lib::SharedMemoryBlock owners, qzj1939lib::AccessMutex mutex)
    : block_name_(std::move(block_name)),
      block_(std::move(block)),
      owners_(std::move(owners)),
      access_mutex_(std::move(mutex)) {}

HardwareStatus::~HardwareStatus() {
    std::lock_guard lock(registration_mutex_);
    stop_poll_.set();
    if (poll_thread_.joinable()) {
        poll_thread_.join();
    }
}

HardwareStatus::Entry HardwareStatus::entry(std::size_t index) const {
    return Entry{block_.data() + index * kEntrySize};
}

HardwareStatus::Owners HardwareStatus::owners() const {
    return Owners{owners_.data()};
}

std::string HardwareStatus::mark_name(std::uint32_t token) const {
    return block_name_ + "_OWNER_" + std::to_string(token);
}

void HardwareStatus::set_registration_pause_for_tests(void (*pause)()) {
    registration_pause.store(pause);
}

std::unique_lock<qzj1939lib::AccessMutex> HardwareStatus::lock_access() {
    std::unique_lock lock(access_mutex_);
    recover_locked();
    return lock;
}

void HardwareStatus::recover_locked() {
    const Owners o = owners();
    if (o.word(kJournalState).load() == 0) {
        return;
    }
    // Only a holder of the mutex changes entries and rows, and it ends the journal before it
    // lets go: the holder died in the middle of this change.
    const std::uint32_t index = o.word(kJournalEntry).load();
    const std::uint32_t record = o.word(kJournalRecord).load();
    if (index < kEntries) {
        const Entry e = entry(index);
        for (std::size_t w = 0; w < kCountWords; ++w) {
            e.word(w).store(o.word(kJournalEntryWords + w).load());
        }
        if (record < kOwnerRecords) {
            for (std::size_t w = 0; w < kCountWords; ++w) {
                o.row(record, index, w).store(o.word(kJournalRowWords + w).load());
            }
        }
        QZ_LOG_WARN(kTarget,
                    "Hardware status undid a change of channel key {:08X} left unfinished by a "
                    "process that ended",
                    e.word(kKey).load());
    }
    o.word(kJournalState).store(0);
}

void HardwareStatus::begin_change_locked(std::size_t index, std::optional<std::size_t> record) {
    const Owners o = owners();
    const Entry e = entry(index);
    for (std::size_t w = 0; w < kCountWords; ++w) {
        o.word(kJournalEntryWords + w).store(e.word(w).load());
        o.word(kJournalRowWords + w).store(record ? o.row(*record, index, w).load() : 0);
    }
    o.word(kJournalEntry).store(static_cast<std::uint32_t>(index));
    o.word(kJournalRecord).store(record ? static_cast<std::uint32_t>(*record) : kNoRecord);
    o.word(kJournalState).store(1);
}

void HardwareStatus::end_change_locked() {
    owners().word(kJournalState).store(0);
}

std::optional<std::size_t> HardwareStatus::find_locked(std::uint32_t key) const {
    for (std::size_t i = 0; i < kEntries; ++i) {
        if (entry(i).word(kKey).load() == key) {
            return i;
        }
    }
    return std::nullopt;
}

void HardwareStatus::register_client(std::uint32_t key, ProtocolMarker marker) {
    std::lock_guard registration(registration_mutex_);
    if (registrations_ == 0) {
        claim_owner_record();
    }
    // Key 0 marks a free entry, so it cannot be counted.
    bool counted = key != 0 && try_count(key, marker);
    if (!counted && key != 0) {
        // Entries may be held only by the clients of processes that have ended.
        reclaim();
        counted = try_count(key, marker);
    }
    if (!counted) {
        QZ_LOG_WARN(kTarget, "Hardware status has no free entry for channel key {:08X}", key);
    }
    if (registrations_++ == 0) {
        stop_poll_.reset();
        poll_thread_ = platform::Thread("rp1210-hwstatus-poll", platform::ThreadPriority::Normal,
                                        [this] { poll_thread_body(); });
    }
}

bool HardwareStatus::try_count(std::uint32_t key, ProtocolMarker marker) {
    const auto lock = lock_access();
    std::optional<std::size_t> index = find_locked(key);
    if (!index) {
        index = find_locked(0);
    }
    if (!index) {
        return false;
    }
    begin_change_locked(*index, record_);
    const Entry e = entry(*index);
    e.word(kKey).store(key);
    e.word(kClients).fetch_add(1);
    if (counted_protocol(marker)) {
        e.word(protocol_word(marker)).fetch_add(1);
    }
    if (const auto pause = registration_pause.load()) {
        pause();
    }
    if (record_) {
        const Owners o = owners();
        o.row(*record_, *index, kKey).store(key);
        o.row(*record_, *index, kClients).fetch_add(1);
        if (counted_protocol(marker)) {
            o.row(*record_, *index, protocol_word(marker)).fetch_add(1);
        }
    }
    end_change_locked();
    return true;
}

void HardwareStatus::unregister_client(std::uint32_t key, ProtocolMarker marker) {
    std::lock_guard registration(registration_mutex_);
    if (key != 0) {
        const auto lock = lock_access();
        if (const auto index = find_locked(key)) {
            uncount_locked(*index, marker);
        }
    }
    if (registrations_ == 0) {
        return;  // nothing of this process's to undo
    }
    if (--registrations_ == 0) {
        release_owner_record();
        stop_poll_.set();
        poll_thread_.join();
    }
}

void HardwareStatus::uncount_locked(std::size_t index, ProtocolMarker marker) {
    const Owners o = owners();
    if (record_) {
        // Only what this process counted is taken off: a client whose registration found
        // the table full was never counted, and the entry's clients belong to others.
        const bool ours =
            o.row(*record_, index, kKey).load() == entry(index).word(kKey).load() &&
            o.row(*record_, index, kClients).load() > 0 &&
            (!counted_protocol(marker) || o.row(*record_, index, protocol_word(marker)).load() > 0);
        if (!ours) {
            return;
        }
    }
    begin_change_locked(index, record_);
    const Entry e = entry(index);
    const std::uint32_t before = e.word(kClients).fetch_sub(1);
    if (counted_protocol(marker)) {
        subtract(e.word(protocol_word(marker)), 1);
    }
    if (before <= 1) {
        e.clear();
    }
    if (record_) {
        subtract(o.row(*record_, index, kClients), 1);
        if (counted_protocol(marker)) {
            subtract(o.row(*record_, index, protocol_word(marker)), 1);
        }
        if (o.row(*record_, index, kClients).load() == 0) {
            o.clear_row(*record_, index);
        }
    }
    end_change_locked();
}

void HardwareStatus::take_back_locked(std::size_t record) {
    const Owners o = owners();
    std::uint32_t clients = 0;
    for (std::size_t i = 0; i < kEntries; ++i) {
        const std::uint32_t key = o.row(record, i, kKey).load();
        if (key == 0) {
            continue;
        }
        begin_change_locked(i, record);
        const Entry e = entry(i);
        if (e.word(kKey).load() == key) {
            for (std::size_t w = kClients; w < kCountWords; ++w) {
                subtract(e.word(w), o.row(record, i, w).load());
            }
            clients += o.row(record, i, kClients).load();
            if (e.word(kClients).load() == 0) {
                e.clear();
            }
        }
        o.clear_row(record, i);
        end_change_locked();
    }
    o.token(record).store(0);
    if (clients > 0) {
        QZ_LOG_INFO(kTarget, "Hardware status took back {} clients of a process that ended",
                    clients);
    }
}

void HardwareStatus::reclaim() {
    // Probe the owners' marks without the mutex: a mark, once gone, never comes back, so
    // an owner found gone stays gone. Under the mutex, a record is taken back only if it
    // still belongs to that owner.
    const Owners o = owners();
    std::vector<std::pair<std::size_t, std::uint32_t>> gone;  // record, token
    for (std::size_t r = 0; r < kOwnerRecords; ++r) {
        const std::uint32_t token = o.token(r).load();
        if (token != 0 && token != token_ && !platform::LivenessMark::held(mark_name(token))) {
            gone.emplace_back(r, token);
        }
    }
    if (gone.empty()) {
        return;
    }
    const auto lock = lock_access();
    for (const auto& [record, token] : gone) {
        if (o.token(record).load() == token) {
            take_back_locked(record);
        }
    }
}

void HardwareStatus::claim_owner_record() {
    constexpr const char* kUnrecorded =
        "the clients of this process cannot be taken back if it ends without disconnecting "
        "them";
    if (!mark_) {
        std::uint32_t token = 0;
        {
            const auto lock = lock_access();
            const Owners o = owners();
            token = o.word(kLastToken).load() + 1;
            if (token == 0) {
                token = 1;  // 0 marks a free record
            }
            o.word(kLastToken).store(token);
        }
        // The mark exists before the token appears in a record, so that a record whose
        // owner's mark is missing always means an owner that is gone.
        auto mark = platform::LivenessMark::hold(mark_name(token));
        if (!mark) {
            QZ_LOG_WARN(kTarget, "Hardware status cannot mark this process alive ({}); {}",
                        mark.error().what, kUnrecorded);
            return;
        }
        mark_.emplace(std::move(*mark));
        token_ = token;
    }
    const auto try_claim = [&] {
        const auto lock = lock_access();
        const Owners o = owners();
        for (std::size_t r = 0; r < kOwnerRecords; ++r) {
            if (o.token(r).load() == 0) {
                for (std::size_t i = 0; i < kEntries; ++i) {
                    o.clear_row(r, i);
                }
                o.token(r).store(token_);
                record_ = r;
                return true;
            }
        }
        return false;
    };
    if (!try_claim()) {
        reclaim();
        if (!try_claim()) {
            QZ_LOG_WARN(kTarget, "Hardware status has no free owner record; {}", kUnrecorded);
        }
    }
}

void HardwareStatus::release_owner_record() {
    if (!record_) {
        return;
    }
    {
        // Every registration has been undone, so the rows are empty; whatever is left is
        // subtracted all the same.
        const auto lock = lock_access();
        if (owners().token(*record_).load() == token_) {
            take_back_locked(*record_);
        }
    }
    record_.reset();
}

void HardwareStatus::report_activity(std::uint32_t key) {
    if (key == 0) {
        return;
    }
    // Without the mutex: a lookup that races with a registration elsewhere at worst misses
    // one report.
    if (const auto index = find_locked(key)) {
        entry(*index).word(kActivity).store(1);
    }
}

std::array<std::uint8_t, 64> HardwareStatus::status(std::uint32_t key,
                                                    const DeviceStatusInputs& device) {
    std::uint32_t clients = 0;
    std::uint32_t can = 0;
    std::uint32_t j1939 = 0;
    bool traffic = false;
    if (key != 0) {
        const auto lock = lock_access();
        if (const auto index = find_locked(key)) {
            const Entry e = entry(*index);
            clients = e.word(kClients).load();
            can = e.word(kProtocolCounts + static_cast<std::uint32_t>(ProtocolMarker::Can)).load();
            j1939 =
                e.word(kProtocolCounts + static_cast<std::uint32_t>(ProtocolMarker::J1939)).load();
            traffic = e.word(kPreviousActivity).load() != 0 || e.word(kActivity).load() != 0;
        }
    }

    std::uint8_t protocol_status = kStatusInUse;
    if (traffic) {
        protocol_status |= kStatusTraffic;
    }
    if (device.status_word && (*device.status_word & kDriverBusOff) != 0) {
        protocol_status |= kStatusBusOff;
    }

    std::array<std::uint8_t, 64> record{};
    record[kInterfaceKind] = interface_kind(device.bus_type);
    record[kClientCount] = saturate_byte(clients);
    if (j1939 > 0) {
        record[kJ1939Status] = protocol_status;
        record[kJ1939Count] = saturate_byte(j1939);
    }
    if (can > 0) {
        record[kCanStatus] = protocol_status;
        record[kCanCount] = saturate_byte(can);
    }
    return record;
}

void HardwareStatus::poll_once(std::uint64_t now_ms) {
    for (std::size_t i = 0; i < kEntries; ++i) {
        const Entry e = entry(i);
        if (e.word(kKey).load() == 0) {
            continue;
        }
        std::uint64_t start = e.window_start().load();
        const std::uint64_t elapsed = now_ms > start ? now_ms - start : 0;
        if (elapsed < kWindowMs) {
            continue;
        }
        // Whichever process swaps first moves the window; the others leave it.
        if (e.window_start().compare_exchange_strong(start, now_ms)) {
            const std::uint32_t active = e.word(kActivity).exchange(0);
            e.word(kPreviousActivity).store(active != 0 ? 1 : 0);
        }
    }
}

bool HardwareStatus::polling() const {
    std::lock_guard lock(registration_mutex_);
    return poll_thread_.joinable();
}

void HardwareStatus::poll_thread_body() {
    while (stop_poll_.wait_for(kPollPeriod) == platform::WaitResult::TimedOut) {
        poll_once(platform::wall_ms());
        reclaim();
    }
}

}  // namespace qz121032
