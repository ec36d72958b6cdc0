#include "platform/event.hpp"
#include "platform/named_event.hpp"

#include <windows.h>

#include <limits>
#include <mutex>
#include <optional>

#include "handle.hpp"
#include "platform/clock.hpp"
#include "platform/process.hpp"

namespace platform {

namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

std::int64_t deadline_after(std::chrono::nanoseconds timeout) noexcept {
    const std::int64_t now = monotonic_ns();
    const std::int64_t count = timeout.count() < 0 ? 0 : timeout.count();
    return count > std::numeric_limits<std::int64_t>::max() - now
               ? std::numeric_limits<std::int64_t>::max()
               : now + count;
}

// Milliseconds for a wait of the remaining time, rounded up so that the wait does not end
// before the deadline, and below INFINITE.
DWORD wait_ms(std::int64_t remaining_ns) noexcept {
    if (remaining_ns <= 0) {
        return 0;
    }
    const std::int64_t ms = (remaining_ns + 999'999) / 1'000'000;
    return ms >= static_cast<std::int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// Waits on the handle until it is signalled or the deadline on monotonic_ns() has passed.
// The wait timeout runs on another clock than QueryPerformanceCounter and may end a little
// early: then it waits again for the rest. Returns false when the wait fails.
bool wait_handle_until(HANDLE handle, std::int64_t deadline_ns, WaitResult& result) noexcept {
    for (;;) {
        const DWORD r = ::WaitForSingleObject(handle, wait_ms(deadline_ns - monotonic_ns()));
        if (r == WAIT_OBJECT_0) {
            result = WaitResult::Signalled;
            return true;
        }
        if (r != WAIT_TIMEOUT) {
            return false;
        }
        if (monotonic_ns() >= deadline_ns) {
            result = WaitResult::TimedOut;
            return true;
        }
    }
}

// NtQueryEvent reads an event's state without consuming it, which WaitForSingleObject
// would do for an automatic-reset event. Resolved from ntdll once.
struct EventBasicInformation {
    int type;  // EVENT_TYPE
    LONG state;
};
using NtQueryEventFn = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

NtQueryEventFn nt_query_event() noexcept {
    static const NtQueryEventFn function =
        win32::resolve<NtQueryEventFn>(L"ntdll.dll", "NtQueryEvent");
    return function;
}

}  // namespace

struct Event::Impl {
    win32::UniqueHandle handle;
    bool manual = false;

    std::mutex mutex;                                             // guards due, timer
    std::int64_t due = std::numeric_limits<std::int64_t>::max();  // pending set_at time
    PTP_TIMER timer = nullptr;  // made at the first set_at; sets the event when it fires

    ~Impl() {
        if (timer != nullptr) {
            ::SetThreadpoolTimer(timer, nullptr, 0, 0);
            ::WaitForThreadpoolTimerCallbacks(timer, TRUE);
            ::CloseThreadpoolTimer(timer);
        }
    }

    // The pool's clock is not the monotonic clock of the due times, and the timer may fire
    // a little before the due time by that clock. The waiter then finds nothing due yet and
    // asks for the same time again: that must arm the timer anew, not count as pending, or
    // the wake-up is lost. So firing forgets the due time (a set_at racing with it then
    // at worst wakes its waiter early, who looks and asks again).
    static void CALLBACK fire(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) {
        auto* impl = static_cast<Impl*>(context);
        {
            std::lock_guard lock(impl->mutex);
            impl->due = std::numeric_limits<std::int64_t>::max();
        }
        ::SetEvent(impl->handle.get());
    }

    // Ends a pending time.
    void cancel() noexcept {
        std::lock_guard lock(mutex);
        due = std::numeric_limits<std::int64_t>::max();
        if (timer != nullptr) {
            ::SetThreadpoolTimer(timer, nullptr, 0, 0);
        }
    }
};

Event::Event(Reset reset, bool initially_set) : impl_(std::make_unique<Impl>()) {
    impl_->manual = reset == Reset::Manual;
    impl_->handle.reset(::CreateEventW(nullptr, impl_->manual ? TRUE : FALSE,
                                       initially_set ? TRUE : FALSE, nullptr));
    if (!impl_->handle) {
        fatal("platform::Event: CreateEventW failed");
    }
}

Event::~Event() = default;

void Event::set() noexcept {
    impl_->cancel();
    ::SetEvent(impl_->handle.get());
}

void Event::set_at(std::int64_t deadline_monotonic_ns) noexcept {
    const std::int64_t now = monotonic_ns();
    if (deadline_monotonic_ns <= now) {
        set();
        return;
    }
    std::lock_guard lock(impl_->mutex);
    if (impl_->due > now && impl_->due <= deadline_monotonic_ns) {
        return;  // an earlier time is pending
    }
    if (impl_->timer == nullptr) {
        impl_->timer = ::CreateThreadpoolTimer(&Impl::fire, impl_.get(), nullptr);
        if (impl_->timer == nullptr) {
            ::SetEvent(impl_->handle.get());  // early rather than never
            return;
        }
    }
    impl_->due = deadline_monotonic_ns;
    // Relative due time (negative), in 100 ns units, rounded up.
    const std::int64_t relative = -((deadline_monotonic_ns - now + 99) / 100);
    FILETIME due;
    due.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(relative) & 0xFFFFFFFFu);
    due.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(relative) >> 32);
    ::SetThreadpoolTimer(impl_->timer, &due, 0, 0);
}

void Event::reset() noexcept {
    impl_->cancel();
    ::ResetEvent(impl_->handle.get());
}

bool Event::is_set() const noexcept {
    HANDLE handle = impl_->handle.get();
    if (!impl_->manual) {
        if (auto query = nt_query_event()) {
            EventBasicInformation info{};
            constexpr int kEventBasicInformation = 0;
            if (query(handle, kEventBasicInformation, &info, sizeof info, nullptr) >= 0) {
                return info.state != 0;
            }
        }
        // Without NtQueryEvent: consume the state and put it back.
        if (::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
            ::SetEvent(handle);
            return true;
        }
        return false;
    }
    return ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

WaitResult Event::wait_for(std::chrono::nanoseconds timeout) noexcept {
    return wait_until(deadline_after(timeout));
}

WaitResult Event::wait_until(std::int64_t deadline_monotonic_ns) noexcept {
    WaitResult result = WaitResult::TimedOut;
    if (!wait_handle_until(impl_->handle.get(), deadline_monotonic_ns, result)) {
        fatal("platform::Event: WaitForSingleObject failed");
    }
    return result;
}

void Event::wait() noexcept {
    if (::WaitForSingleObject(impl_->handle.get(), INFINITE) != WAIT_OBJECT_0) {
        fatal("platform::Event: WaitForSingleObject failed");
    }
}

void* Event::native_handle() const noexcept {
    return impl_->handle.get();
}

WaitResult wait_native_event(void* handle, std::chrono::milliseconds timeout) noexcept {
    // A handle that cannot be waited on (closed by its owner, say) reads as a timeout at
    // once; the caller decides what to do about a source that stays silent.
    WaitResult result = WaitResult::TimedOut;
    if (handle == nullptr ||
        !wait_handle_until(static_cast<HANDLE>(handle), deadline_after(timeout), result)) {
        return WaitResult::TimedOut;
    }
    return result;
}

void set_native_event(void* handle) noexcept {
    if (handle != nullptr) {
        ::SetEvent(static_cast<HANDLE>(handle));
    }
}

struct TimerWait::Impl {
    win32::UniqueHandle timer;  // synchronisation (automatic-reset) waitable timer
    win32::UniqueHandle woken;  // automatic-reset event set by wake()
};

namespace {

// Creates the timer and the wake-up event of a TimerWait; the failure names the object the
// system refused.
std::optional<TimerWait::Failure> create_objects(TimerWait::Impl& impl) noexcept {
    // High resolution (Windows 10 1803 and later) avoids the 15.6 ms tick; older systems
    // and wine refuse the flag, and the ordinary timer serves.
    impl.timer.reset(::CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
    if (!impl.timer) {
        impl.timer.reset(::CreateWaitableTimerW(nullptr, FALSE, nullptr));
    }
    if (!impl.timer) {
        return TimerWait::Failure::Timer;
    }
    impl.woken.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!impl.woken) {
        return TimerWait::Failure::WakeEvent;
    }
    return std::nullopt;
}

}  // namespace

TimerWait::TimerWait() : impl_(std::make_unique<Impl>()) {
    if (auto failure = create_objects(*impl_)) {
        fatal(*failure == Failure::Timer ? "platform::TimerWait: CreateWaitableTimer failed"
                                         : "platform::TimerWait: CreateEventW failed");
    }
}

TimerWait::TimerWait(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}

TimerWait::~TimerWait() = default;

Expected<std::unique_ptr<TimerWait>, TimerWait::Failure> TimerWait::create() noexcept {
    auto impl = std::make_unique<Impl>();
    if (auto failure = create_objects(*impl)) {
        return unexpected(*failure);
    }
    return std::unique_ptr<TimerWait>(new TimerWait(std::move(impl)));
}

WaitResult TimerWait::wait_until(std::int64_t deadline_monotonic_ns) noexcept {
    HANDLE woken = impl_->woken.get();
    HANDLE timer = impl_->timer.get();
    for (;;) {
        const std::int64_t remaining = deadline_monotonic_ns - monotonic_ns();
        if (remaining <= 0) {
            // A wake-up that came with or before the deadline wins, as on POSIX.
            return ::WaitForSingleObject(woken, 0) == WAIT_OBJECT_0 ? WaitResult::Signalled
                                                                    : WaitResult::TimedOut;
        }
        // Negative due time: relative, in 100 ns units, rounded up. Setting the timer also
        // clears a signal left from an earlier round.
        LARGE_INTEGER due;
        due.QuadPart = -((remaining + 99) / 100);
        if (!::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            fatal("platform::TimerWait: SetWaitableTimer failed");
        }
        HANDLE handles[2] = {woken, timer};
        const DWORD r = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) {
            ::CancelWaitableTimer(timer);
            return WaitResult::Signalled;
        }
        if (r != WAIT_OBJECT_0 + 1) {
            fatal("platform::TimerWait: WaitForMultipleObjects failed");
        }
        // The timer fired. Its clock is not QueryPerformanceCounter: the next round checks
        // the deadline on monotonic_ns() and waits for any rest.
    }
}

void TimerWait::wake() noexcept {
    ::SetEvent(impl_->woken.get());
}

struct NamedEvent::Impl {
    win32::UniqueHandle handle;  // automatic-reset named event
};

Result<NamedEvent> NamedEvent::open(const std::string& name) {
    if (name.empty()) {
        return unexpected(SystemError{"shared object names must not be empty", ERROR_INVALID_NAME});
    }
    auto impl = std::make_unique<Impl>();
    impl->handle.reset(::CreateEventA(nullptr, FALSE, FALSE, name.c_str()));
    if (!impl->handle) {
        return unexpected(
            SystemError{"CreateEventA failed for " + name, static_cast<int>(::GetLastError())});
    }
    return NamedEvent(std::move(impl));
}

NamedEvent::NamedEvent(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
NamedEvent::NamedEvent(NamedEvent&&) noexcept = default;
NamedEvent& NamedEvent::operator=(NamedEvent&&) noexcept = default;
NamedEvent::~NamedEvent() = default;

void NamedEvent::set() noexcept {
    ::SetEvent(impl_->handle.get());
}

WaitResult NamedEvent::wait_until(std::int64_t deadline_monotonic_ns) noexcept {
    WaitResult result = WaitResult::TimedOut;
    if (deadline_monotonic_ns == std::numeric_limits<std::int64_t>::max()) {
        if (::WaitForSingleObject(impl_->handle.get(), INFINITE) != WAIT_OBJECT_0) {
            fatal("platform::NamedEvent: WaitForSingleObject failed");
        }
        return WaitResult::Signalled;
    }
    if (!wait_handle_until(impl_->handle.get(), deadline_monotonic_ns, result)) {
        fatal("platform::NamedEvent: WaitForSingleObject failed");
    }
    return result;
}

}  // namespace platform
