#pragma once
// Waiting: an event that any thread can set, and waits with a deadline on the monotonic
// clock. Windows: events and (high-resolution where available) waitable timers. POSIX:
// a condition variable.

#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/expected.hpp"

namespace platform {

enum class WaitResult { Signalled, TimedOut };

class Event {
  public:
    enum class Reset { Manual, Automatic };
    // Failure to create the event ends the process.
    explicit Event(Reset reset = Reset::Automatic, bool initially_set = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event();

    void set() noexcept;
    // Sets the event at the deadline on platform::monotonic_ns() (at once when it has
    // passed), without the caller's waking up for it: a wait that reaches that time returns
    // Signalled. A pending time that is earlier stays in force; set() and reset() end it.
    // POSIX: the waiter's own timed wait serves, so no other thread wakes. Windows: a
    // thread-pool timer sets the event.
    void set_at(std::int64_t deadline_monotonic_ns) noexcept;
    void reset() noexcept;
    bool is_set() const noexcept;

    // Waits until the event is set or the timeout passes. An automatic-reset event is
    // reset by the wait that sees it set.
    WaitResult wait_for(std::chrono::nanoseconds timeout) noexcept;
    // Deadline on platform::monotonic_ns().
    WaitResult wait_until(std::int64_t deadline_monotonic_ns) noexcept;
    void wait() noexcept;

    // The Windows HANDLE of the event (null on POSIX), for waits on several objects.
    void* native_handle() const noexcept;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// Waits on an event from outside (for example a driver's Windows event handle) for at
// most the timeout. On POSIX the handle is a platform::Event*.
WaitResult wait_native_event(void* handle, std::chrono::milliseconds timeout) noexcept;
// Sets such an event, for example to end a wait on it early. A null handle is ignored.
void set_native_event(void* handle) noexcept;

// A wake-up timer for timer threads: wait_until blocks until the deadline passes or
// wake() is called, whichever comes first. Uses a high-resolution waitable timer on
// Windows where the system has one.
class TimerWait {
  public:
    // Failure to create the timer or the wake-up event ends the process.
    TimerWait();
    TimerWait(const TimerWait&) = delete;
    TimerWait& operator=(const TimerWait&) = delete;
    ~TimerWait();

    // Returns Signalled when woken, TimedOut when the deadline passed.
    WaitResult wait_until(std::int64_t deadline_monotonic_ns) noexcept;
    void wake() noexcept;

    // The object the system refused to create.
    enum class Failure { WakeEvent, Timer };
    // Like the constructor, but reports the failure to the caller, which names it in its
    // own fatal message.
    static Expected<std::unique_ptr<TimerWait>, Failure> create() noexcept;

    struct Impl;

  private:
    explicit TimerWait(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
