#include "platform/named_event.hpp"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <limits>

#include "platform/clock.hpp"
#include "shared_file.hpp"

namespace platform {

namespace {

// The segment of the "evt" kind holds one futex word: 0 clear, 1 set, 2 clear with a
// waiter that the next set must wake. Zeroed pages start it clear.
struct Segment {
    std::atomic<std::uint32_t> state;
};
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

constexpr std::uint32_t kClear = 0;
constexpr std::uint32_t kSet = 1;
constexpr std::uint32_t kWaited = 2;

// Futexes of a shared mapping are keyed by the file page, so they work across processes;
// FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, the clock of monotonic_ns.
long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value,
           const timespec* deadline) noexcept {
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, deadline,
                     nullptr, FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

struct NamedEvent::Impl {
    std::unique_ptr<posix::SharedFile> file;
    std::atomic<std::uint32_t>* state = nullptr;
};

Result<NamedEvent> NamedEvent::open(const std::string& name) {
    auto file = posix::SharedFile::open("evt", name, sizeof(Segment));
    if (!file) {
        return unexpected(std::move(file).error());
    }
    auto impl = std::make_unique<Impl>();
    impl->state = &static_cast<Segment*>((*file)->data())->state;
    impl->file = std::move(*file);
    return NamedEvent(std::move(impl));
}

NamedEvent::NamedEvent(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
NamedEvent::NamedEvent(NamedEvent&&) noexcept = default;
NamedEvent& NamedEvent::operator=(NamedEvent&&) noexcept = default;
NamedEvent::~NamedEvent() = default;

void NamedEvent::set() noexcept {
    std::atomic<std::uint32_t>& state = *impl_->state;
    if (state.exchange(kSet) == kWaited) {
        // Every waiter looks again; one of them takes the signal, the others wait on.
        futex(state, FUTEX_WAKE, INT_MAX, nullptr);
    }
}

WaitResult NamedEvent::wait_until(std::int64_t deadline_monotonic_ns) noexcept {
    std::atomic<std::uint32_t>& state = *impl_->state;
    for (;;) {
        std::uint32_t seen = state.load();
        if (seen == kSet) {
            if (state.compare_exchange_strong(seen, kClear)) {
                return WaitResult::Signalled;
            }
            continue;
        }
        if (seen == kClear && !state.compare_exchange_strong(seen, kWaited)) {
            continue;
        }
        if (monotonic_ns() >= deadline_monotonic_ns) {
            return WaitResult::TimedOut;
        }
        timespec deadline{};
        const timespec* limit = nullptr;
        if (deadline_monotonic_ns != std::numeric_limits<std::int64_t>::max()) {
            deadline.tv_sec = static_cast<time_t>(deadline_monotonic_ns / 1'000'000'000);
            deadline.tv_nsec = static_cast<long>(deadline_monotonic_ns % 1'000'000'000);
            limit = &deadline;
        }
        // EAGAIN (set meanwhile), EINTR and ETIMEDOUT all go round again.
        futex(state, FUTEX_WAIT_BITSET, kWaited, limit);
    }
}

}  // namespace platform
