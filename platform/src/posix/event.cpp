#include "platform/event.hpp"

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <mutex>

#include "platform/clock.hpp"

namespace platform {

namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

// On Linux std::chrono::steady_clock is CLOCK_MONOTONIC, the clock of monotonic_ns(), and
// libstdc++ waits on it with pthread_cond_clockwait: a deadline converts without rounding.
std::chrono::steady_clock::time_point steady_deadline(std::int64_t deadline_ns) noexcept {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline_ns));
}

std::int64_t deadline_after(std::chrono::nanoseconds timeout) noexcept {
    const std::int64_t now = monotonic_ns();
    const std::int64_t count = timeout.count() < 0 ? 0 : timeout.count();
    return count > std::numeric_limits<std::int64_t>::max() - now
               ? std::numeric_limits<std::int64_t>::max()
               : now + count;
}

}  // namespace

struct Event::Impl {
    std::mutex mutex;  // guards is_set, due
    std::condition_variable changed;
    bool is_set = false;
    bool manual = false;
    std::int64_t due = kNever;  // pending set_at time

    // Whether the event is set at `now`, a due time that has come counting as set.
    bool signalled(std::int64_t now) {
        if (due <= now) {
            is_set = true;
            due = kNever;
        }
        return is_set;
    }

    WaitResult wait_until(std::int64_t deadline) {
        std::unique_lock lock(mutex);
        for (;;) {
            const std::int64_t now = monotonic_ns();
            if (signalled(now)) {
                if (!manual) {
                    is_set = false;
                }
                return WaitResult::Signalled;
            }
            if (now >= deadline) {
                return WaitResult::TimedOut;
            }
            // Spurious wake-ups and notifications of a new due time both go round again.
            changed.wait_until(lock, steady_deadline(std::min(deadline, due)));
        }
    }
};

Event::Event(Reset reset, bool initially_set) : impl_(std::make_unique<Impl>()) {
    impl_->manual = reset == Reset::Manual;
    impl_->is_set = initially_set;
}

Event::~Event() = default;

void Event::set() noexcept {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->is_set = true;
        impl_->due = kNever;
    }
    // An automatic event releases one waiter, which resets it.
    if (impl_->manual) {
        impl_->changed.notify_all();
    } else {
        impl_->changed.notify_one();
    }
}

void Event::set_at(std::int64_t deadline_monotonic_ns) noexcept {
    if (deadline_monotonic_ns <= monotonic_ns()) {
        set();
        return;
    }
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->is_set || impl_->due <= deadline_monotonic_ns) {
            return;
        }
        impl_->due = deadline_monotonic_ns;
    }
    // Waiters shorten their waits to the new due time.
    impl_->changed.notify_all();
}

void Event::reset() noexcept {
    std::lock_guard lock(impl_->mutex);
    impl_->is_set = false;
    impl_->due = kNever;
}

bool Event::is_set() const noexcept {
    std::lock_guard lock(impl_->mutex);
    return impl_->signalled(monotonic_ns());
}

WaitResult Event::wait_for(std::chrono::nanoseconds timeout) noexcept {
    return wait_until(deadline_after(timeout));
}

WaitResult Event::wait_until(std::int64_t deadline_monotonic_ns) noexcept {
    return impl_->wait_until(deadline_monotonic_ns);
}

void Event::wait() noexcept {
    impl_->wait_until(kNever);
}

void* Event::native_handle() const noexcept {
    return nullptr;
}

WaitResult wait_native_event(void* handle, std::chrono::milliseconds timeout) noexcept {
    // Without an event there is nothing that could signal: report the timeout at once.
    if (handle == nullptr) {
        return WaitResult::TimedOut;
    }
    return static_cast<Event*>(handle)->wait_for(timeout);
}

void set_native_event(void* handle) noexcept {
    if (handle != nullptr) {
        static_cast<Event*>(handle)->set();
    }
}

// An automatic-reset event: a wake() while nobody waits is kept for the next wait.
struct TimerWait::Impl {
    Event woken{Event::Reset::Automatic};
};

TimerWait::TimerWait() : impl_(std::make_unique<Impl>()) {}
TimerWait::TimerWait(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
TimerWait::~TimerWait() = default;

// A condition variable cannot fail to be created.
Expected<std::unique_ptr<TimerWait>, TimerWait::Failure> TimerWait::create() noexcept {
    return std::unique_ptr<TimerWait>(new TimerWait(std::make_unique<Impl>()));
}

WaitResult TimerWait::wait_until(std::int64_t deadline_monotonic_ns) noexcept {
    return impl_->woken.wait_until(deadline_monotonic_ns);
}

void TimerWait::wake() noexcept {
    impl_->woken.set();
}

}  // namespace platform
