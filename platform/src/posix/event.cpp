#include "platform/event.hpp"

#include <condition_variable>
#include <limits>
#include <mutex>

#include "platform/clock.hpp"

namespace platform {

namespace {

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
    std::mutex mutex;  // guards is_set
    std::condition_variable changed;
    bool is_set = false;
    bool manual = false;
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
    }
    // An automatic event releases one waiter, which resets it.
    if (impl_->manual) {
        impl_->changed.notify_all();
    } else {
        impl_->changed.notify_one();
    }
}

void Event::reset() noexcept {
    std::lock_guard lock(impl_->mutex);
    impl_->is_set = false;
}

bool Event::is_set() const noexcept {
    std::lock_guard lock(impl_->mutex);
    return impl_->is_set;
}

WaitResult Event::wait_for(std::chrono::nanoseconds timeout) noexcept {
    return wait_until(deadline_after(timeout));
}

WaitResult Event::wait_until(std::int64_t deadline_monotonic_ns) noexcept {
    std::unique_lock lock(impl_->mutex);
    if (!impl_->changed.wait_until(lock, steady_deadline(deadline_monotonic_ns),
                                   [this] { return impl_->is_set; })) {
        return WaitResult::TimedOut;
    }
    if (!impl_->manual) {
        impl_->is_set = false;
    }
    return WaitResult::Signalled;
}

void Event::wait() noexcept {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [this] { return impl_->is_set; });
    if (!impl_->manual) {
        impl_->is_set = false;
    }
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
