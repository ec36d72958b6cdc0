#include "hw_status.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>

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

// Lowers a count by one without wrapping below 0.
void decrement(std::atomic_ref<std::uint32_t> count) {
    std::uint32_t value = count.load();
    while (value > 0 && !count.compare_exchange_weak(value, value - 1)) {
    }
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

    std::atomic_ref<std::uint32_t> word(std::size_t index) const {
        return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + 4 * index));
    }
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
    if (reinterpret_cast<std::uintptr_t>(block->data()) % alignof(std::uint64_t) != 0) {
        return platform::unexpected(std::string("hardware status block is misaligned"));
    }
    if (block->created()) {
        for (std::size_t i = 0; i < kEntries; ++i) {
            Entry{block->data() + i * kEntrySize}.clear();
        }
    }
    lock.unlock();
    return std::make_shared<HardwareStatus>(Private{}, std::move(*block), std::move(*mutex));
}

HardwareStatus::HardwareStatus(Private, qzj1939lib::SharedMemoryBlock block,
                               qzj1939lib::AccessMutex mutex)
    : block_(std::move(block)), access_mutex_(std::move(mutex)) {}

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
    {
        std::lock_guard access(access_mutex_);
        // Key 0 marks a free entry, so it cannot be counted.
        std::optional<std::size_t> index = key != 0 ? find_locked(key) : std::nullopt;
        if (!index && key != 0) {
            index = find_locked(0);
        }
        if (index) {
            const Entry e = entry(*index);
            e.word(kKey).store(key);
            e.word(kClients).fetch_add(1);
            const auto m = static_cast<std::uint32_t>(marker);
            if (m <= 2) {
                e.word(kProtocolCounts + m).fetch_add(1);
            }
        } else {
            QZ_LOG_WARN(kTarget, "Hardware status has no free entry for channel key {:08X}", key);
        }
    }
    if (registrations_++ == 0) {
        stop_poll_.reset();
        poll_thread_ = platform::Thread("rp1210-hwstatus-poll", platform::ThreadPriority::Normal,
                                        [this] { poll_thread_body(); });
    }
}

void HardwareStatus::unregister_client(std::uint32_t key, ProtocolMarker marker) {
    std::lock_guard registration(registration_mutex_);
    if (key != 0) {
        std::lock_guard access(access_mutex_);
        if (const auto index = find_locked(key)) {
            const Entry e = entry(*index);
            const std::uint32_t before = e.word(kClients).fetch_sub(1);
            const auto m = static_cast<std::uint32_t>(marker);
            if (m <= 2) {
                decrement(e.word(kProtocolCounts + m));
            }
            if (before <= 1) {
                e.clear();
            }
        }
    }
    if (registrations_ == 0) {
        return;  // nothing of this process's to undo
    }
    if (--registrations_ == 0) {
        stop_poll_.set();
        poll_thread_.join();
    }
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
        std::lock_guard access(access_mutex_);
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
    }
}

}  // namespace qz121032
