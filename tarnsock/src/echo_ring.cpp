#include "echo_ring.hpp"

#include <cstring>

namespace tarnsock {

// Entries are written and read without a lock: a writer takes a slot by counting up the
// head, marks it busy (sequence 0), fills it and publishes its sequence number; a reader
// trusts a slot only when the sequence is the same before and after it copied the fields.
// All fields are atomics, so a torn read is detected, never undefined.
struct EchoRing::Entry {
    std::atomic<std::uint64_t> sequence;  // position + 1 once published, 0 while written
    std::atomic<std::int64_t> sent_ns;
    std::atomic<std::uint64_t> header;  // ifindex << 40 | length << 32 | can_id
    std::atomic<std::uint64_t> data[8];
};

struct EchoRing::Block {
    std::atomic<std::uint64_t> head;
    Entry entries[kEntries];
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

namespace {

std::uint64_t header_of(const EchoKey& key) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(key.ifindex) & 0xFFFFFF) << 40 |
           static_cast<std::uint64_t>(key.length) << 32 | key.can_id;
}

void words_of(const EchoKey& key, std::uint64_t (&words)[8]) {
    std::memset(words, 0, sizeof words);
    std::memcpy(words, key.data, key.length <= 64 ? key.length : 64);
}

}  // namespace

std::optional<EchoRing> EchoRing::open(const std::string& name) {
    auto memory = platform::SharedMemory::open(name, sizeof(Block));
    if (!memory) {
        return std::nullopt;
    }
    return EchoRing(std::move(memory.value()));
}

EchoRing::EchoRing(platform::SharedMemory memory) noexcept
    : memory_(std::move(memory)), block_(static_cast<Block*>(memory_.data())) {}

void EchoRing::record(const EchoKey& key, std::int64_t now_ns) noexcept {
    const std::uint64_t position = block_->head.fetch_add(1, std::memory_order_acq_rel);
    Entry& e = block_->entries[position % kEntries];
    e.sequence.store(0, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_release);
    e.sent_ns.store(now_ns, std::memory_order_relaxed);
    e.header.store(header_of(key), std::memory_order_relaxed);
    std::uint64_t words[8];
    words_of(key, words);
    for (int i = 0; i < 8; ++i) {
        e.data[i].store(words[i], std::memory_order_relaxed);
    }
    e.sequence.store(position + 1, std::memory_order_release);
}

bool EchoRing::sent_here(const EchoKey& key, std::int64_t at_ns) const noexcept {
    const std::uint64_t header = header_of(key);
    std::uint64_t words[8];
    words_of(key, words);
    const std::uint64_t head = block_->head.load(std::memory_order_acquire);
    const std::uint64_t oldest = head > kEntries ? head - kEntries : 0;
    for (std::uint64_t position = head; position-- > oldest;) {
        const Entry& e = block_->entries[position % kEntries];
        if (e.sequence.load(std::memory_order_acquire) != position + 1) {
            continue;
        }
        const std::int64_t sent = e.sent_ns.load(std::memory_order_relaxed);
        const bool same = e.header.load(std::memory_order_relaxed) == header && [&] {
            for (int i = 0; i < 8; ++i) {
                if (e.data[i].load(std::memory_order_relaxed) != words[i]) {
                    return false;
                }
            }
            return true;
        }();
        std::atomic_thread_fence(std::memory_order_acquire);
        if (e.sequence.load(std::memory_order_relaxed) != position + 1) {
            continue;
        }
        // Sends are recorded in about the order of their times: once entries are well
        // older than the window, the rest are older still.
        if (sent < at_ns - 2 * kWindowNs) {
            return false;
        }
        // The clocks are read in different processes, a little apart: a millisecond's slack.
        if (same && sent <= at_ns + 1'000'000 && sent >= at_ns - kWindowNs) {
            return true;
        }
    }
    return false;
}

}  // namespace tarnsock
