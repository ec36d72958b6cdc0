// Events and timer waits: reset behaviour, wake-ups from other threads, and deadlines on
// the monotonic clock that never end early.

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/clock.hpp"
#include "platform/event.hpp"
#include "platform/thread.hpp"

namespace platform_test {
namespace {

using namespace std::chrono_literals;
using platform::Event;
using platform::WaitResult;

constexpr std::int64_t kHourNs = 3'600'000'000'000;

// The handle wait_native_event takes for an Event on this platform.
void* wait_handle(Event& event) {
#ifdef _WIN32
    return event.native_handle();
#else
    EXPECT_EQ(event.native_handle(), nullptr);
    return &event;
#endif
}

TEST(Event, AutomaticResetIsConsumedByTheWaitThatSeesIt) {
    Event event(Event::Reset::Automatic);
    EXPECT_FALSE(event.is_set());
    event.set();
    // Looking does not consume.
    EXPECT_TRUE(event.is_set());
    EXPECT_TRUE(event.is_set());
    EXPECT_EQ(event.wait_for(0ns), WaitResult::Signalled);
    EXPECT_FALSE(event.is_set());
    EXPECT_EQ(event.wait_for(0ns), WaitResult::TimedOut);

    event.set();
    EXPECT_EQ(platform::wait_native_event(wait_handle(event), 0ms), WaitResult::Signalled);
    EXPECT_EQ(platform::wait_native_event(wait_handle(event), 0ms), WaitResult::TimedOut);
}

TEST(Event, ManualResetStaysSetUntilReset) {
    Event event(Event::Reset::Manual, true);
    EXPECT_EQ(event.wait_for(0ns), WaitResult::Signalled);
    EXPECT_EQ(event.wait_until(platform::monotonic_ns()), WaitResult::Signalled);
    event.wait();
    EXPECT_TRUE(event.is_set());
    event.reset();
    EXPECT_FALSE(event.is_set());
    EXPECT_EQ(event.wait_for(0ns), WaitResult::TimedOut);
}

TEST(Event, SetFromAnotherThreadReleasesEveryWaiterOfAManualEvent) {
    Event event(Event::Reset::Manual);
    std::vector<platform::Thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back("waiter", platform::ThreadPriority::Normal, [&] { event.wait(); });
    }
    event.set();
    for (auto& waiter : waiters) {
        waiter.join();  // hangs (until the CTest timeout) if a waiter is not released
    }
}

TEST(Event, SetFromAnotherThreadEndsAWaitWithAFarDeadline) {
    Event event(Event::Reset::Automatic);
    WaitResult result = WaitResult::TimedOut;
    platform::Thread waiter("waiter", platform::ThreadPriority::Normal,
                            [&] { result = event.wait_until(platform::monotonic_ns() + kHourNs); });
    event.set();
    waiter.join();
    EXPECT_EQ(result, WaitResult::Signalled);
}

TEST(Event, TimeoutsEndNoEarlierThanTheDeadline) {
    Event event;
    const std::int64_t deadline = platform::monotonic_ns() + 20'000'000;
    EXPECT_EQ(event.wait_until(deadline), WaitResult::TimedOut);
    EXPECT_GE(platform::monotonic_ns(), deadline);

    const std::int64_t start = platform::monotonic_ns();
    EXPECT_EQ(platform::wait_native_event(wait_handle(event), 15ms), WaitResult::TimedOut);
    EXPECT_GE(platform::monotonic_ns() - start, 15'000'000);
}

TEST(Event, SetAtSignalsTheWaitThatReachesItsTime) {
    for (auto reset : {Event::Reset::Automatic, Event::Reset::Manual}) {
        Event event(reset);
        // A wait with a far deadline ends at the due time, not before.
        std::int64_t due = platform::monotonic_ns() + 5'000'000;
        event.set_at(due);
        EXPECT_FALSE(event.is_set());
        EXPECT_EQ(event.wait_until(platform::monotonic_ns() + kHourNs), WaitResult::Signalled);
        EXPECT_GE(platform::monotonic_ns(), due);
        EXPECT_EQ(event.is_set(), reset == Event::Reset::Manual);
        event.reset();

        // An earlier pending time stays; a later one does not replace it.
        due = platform::monotonic_ns() + 2'000'000;
        event.set_at(due);
        event.set_at(due + kHourNs);
        EXPECT_EQ(platform::wait_native_event(wait_handle(event), 1h), WaitResult::Signalled);
        EXPECT_GE(platform::monotonic_ns(), due);
        event.reset();

        // reset() ends the pending time; a time that has passed sets at once.
        event.set_at(platform::monotonic_ns() + 1'000'000);
        event.reset();
        EXPECT_EQ(event.wait_for(3ms), WaitResult::TimedOut);
        event.set_at(platform::monotonic_ns() - 1);
        EXPECT_TRUE(event.is_set());
    }
}

TEST(Event, SetAtShortensAWaitInProgressAndSetNativeEventEndsOne) {
    Event event(Event::Reset::Automatic);
    std::atomic<std::int64_t> returned{0};
    platform::Thread waiter("waiter", platform::ThreadPriority::Normal, [&] {
        EXPECT_EQ(event.wait_until(platform::monotonic_ns() + kHourNs), WaitResult::Signalled);
        returned = platform::monotonic_ns();
    });
    const std::int64_t due = platform::monotonic_ns() + 3'000'000;
    event.set_at(due);
    waiter.join();
    EXPECT_GE(returned.load(), due);

    platform::Thread second("waiter", platform::ThreadPriority::Normal, [&] {
        EXPECT_EQ(platform::wait_native_event(wait_handle(event), 1h), WaitResult::Signalled);
    });
    platform::set_native_event(wait_handle(event));
    second.join();
    platform::set_native_event(nullptr);  // ignored
}

TEST(TimerWait, WakeEndsTheWaitAndIsKeptUntilAWaitTakesIt) {
    platform::TimerWait timer;
    WaitResult result = WaitResult::TimedOut;
    platform::Thread sleeper("timer", platform::ThreadPriority::Raised, [&] {
        result = timer.wait_until(platform::monotonic_ns() + kHourNs);
    });
    // Before or during the wait, the wake-up ends it.
    timer.wake();
    sleeper.join();
    EXPECT_EQ(result, WaitResult::Signalled);

    // A wake-up with nobody waiting wins even over a deadline that has passed; the wait
    // takes it, so the next one times out.
    timer.wake();
    EXPECT_EQ(timer.wait_until(platform::monotonic_ns() - 1), WaitResult::Signalled);
    EXPECT_EQ(timer.wait_until(platform::monotonic_ns() - 1), WaitResult::TimedOut);
}

TEST(TimerWait, DeadlineEndsTheWaitNoEarlier) {
    platform::TimerWait timer;
    for (std::int64_t delay_ns : {1'000'000, 5'000'000, 16'000'000}) {
        const std::int64_t deadline = platform::monotonic_ns() + delay_ns;
        EXPECT_EQ(timer.wait_until(deadline), WaitResult::TimedOut);
        EXPECT_GE(platform::monotonic_ns(), deadline) << delay_ns;
    }
}

}  // namespace
}  // namespace platform_test
