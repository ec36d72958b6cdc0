// The state-machine runtime: dispatch rules, timer threads, notifiers and event waiters.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "network_fixture.hpp"
#include "platform/clock.hpp"
#include "tarnlib/state_machine/event_waiter.hpp"
#include "tarnlib/state_machine/fsm.hpp"
#include "tarnlib/state_machine/notifier.hpp"
#include "tarnlib/state_machine/runtime_core.hpp"

namespace tarnlib {
namespace {

using namespace std::chrono_literals;
using test::eventually;

// A machine of three states that writes down every call: a --Timeout--> b, whose entry goes
// on to c at once; c --Reevaluate--> a handler outside the table. A Down dispatches into
// the machine `other` (or, when that is null, into itself).
struct Probe {
    using Machine = Fsm<Probe>;

    static Machine::Outcome a(Probe& p, const NetworkEvent& e, std::int32_t arg) {
        p.note("a", e, arg);
        if (e.kind == EventKind::Timeout) {
            return Machine::transition(&Probe::b);
        }
        if (e.kind == EventKind::Down) {
            (p.other ? p.other->fsm : p.fsm).dispatch(NetworkEvent::of(EventKind::Up), 7);
        }
        return Machine::handled();
    }
    static Machine::Outcome b(Probe& p, const NetworkEvent& e, std::int32_t arg) {
        p.note("b", e, arg);
        return e.kind == EventKind::Entry ? Machine::transition(&Probe::c) : Machine::handled();
    }
    static Machine::Outcome c(Probe& p, const NetworkEvent& e, std::int32_t arg) {
        p.note("c", e, arg);
        return e.kind == EventKind::Reevaluate ? Machine::transition(&Probe::stray)
                                               : Machine::handled();
    }
    static Machine::Outcome stray(Probe& p, const NetworkEvent& e, std::int32_t arg) {
        p.note("stray", e, arg);
        if (e.kind == EventKind::Down && p.other) {
            p.other->fsm.dispatch(NetworkEvent::of(EventKind::Down), 0);
        }
        return Machine::handled();
    }

    void note(const char* state, const NetworkEvent& e, std::int32_t arg) {
        calls.push_back(std::string(state) + ":" + to_string(e.kind) + ":" + std::to_string(arg));
    }

    static constexpr Machine::State kStates[] = {
        {&Probe::a, "a"}, {&Probe::b, "b"}, {&Probe::c, "c"}};

    std::vector<std::string> calls;
    Probe* other = nullptr;
    Machine fsm{"probe", *this, &Probe::a, kStates};
};

TEST(Fsm, TransitionsCallExitThenEntryAndFollowEntryTransitions) {
    Probe p;
    p.fsm.start();
    EXPECT_EQ(p.fsm.state_name(), std::string("a"));
    p.fsm.dispatch(NetworkEvent::of(EventKind::Timeout), 3);
    EXPECT_EQ(p.calls, (std::vector<std::string>{"a:Entry:0", "a:Timeout:3", "a:Exit:0",
                                                 "b:Entry:0", "b:Exit:0", "c:Entry:0"}));
    EXPECT_EQ(p.fsm.state_name(), std::string("c"));
    p.fsm.dispatch(NetworkEvent::of(EventKind::Reevaluate), 0);
    EXPECT_EQ(p.fsm.state_name(), std::string("unknown"));

    // A stopped machine drops every event.
    p.calls.clear();
    p.fsm.stop();
    p.fsm.dispatch(NetworkEvent::of(EventKind::Down), 0);
    EXPECT_TRUE(p.calls.empty());
}

TEST(Fsm, HandlerMayDispatchIntoAnotherMachine) {
    Probe outer;
    Probe inner;
    outer.other = &inner;
    outer.fsm.start();
    inner.fsm.start();
    outer.fsm.dispatch(NetworkEvent::of(EventKind::Down), 0);
    EXPECT_EQ(inner.calls.back(), "a:Up:7");
}

TEST(FsmDeathTest, DispatchIntoTheOwnMachineEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Probe p;
            p.fsm.start();
            p.fsm.dispatch(NetworkEvent::of(EventKind::Down), 0);
        },
        "nested dispatch is not allowed; dispatch must come from outside the state handler");
    // Also when the way back leads through another machine.
    EXPECT_DEATH(
        {
            Probe first;
            Probe second;
            first.other = &second;
            second.other = &first;
            first.fsm.start();
            second.fsm.start();
            for (Probe* p : {&first, &second}) {
                p->fsm.dispatch(NetworkEvent::of(EventKind::Timeout), 0);
                p->fsm.dispatch(NetworkEvent::of(EventKind::Reevaluate), 0);
            }
            first.fsm.dispatch(NetworkEvent::of(EventKind::Down), 0);
        },
        "nested dispatch is not allowed; dispatch must come from outside the state handler");
}

// The fire times of a ThreadControl.
struct Fires {
    std::mutex mutex;  // guards times
    std::vector<std::int64_t> times;
    std::size_t count() {
        std::lock_guard lock(mutex);
        return times.size();
    }
    std::int64_t first() {
        std::lock_guard lock(mutex);
        return times.front();
    }
};

TEST(ThreadControl, FiresOncePerDeadlineAndNotForACancelledOne) {
    Fires fires;
    ThreadControl control;
    control.start("tc_test_step", [&] {
        std::lock_guard lock(fires.mutex);
        fires.times.push_back(platform::monotonic_ns());
    });

    // A cancelled time-out never fires: the only fire is the later deadline's, not before it.
    control.set_timeout(20ms);
    control.set_timeout(std::nullopt);
    EXPECT_EQ(control.deadline(), std::nullopt);
    const std::int64_t later = platform::monotonic_ns() + 60'000'000;
    control.set_deadline(later);
    ASSERT_TRUE(eventually([&] { return fires.count() == 1; }));
    EXPECT_GE(fires.first(), later);
    EXPECT_EQ(control.deadline(), std::nullopt);  // cleared before the fire

    // A deadline that has passed fires at once; so does a zero time-out.
    control.set_deadline(platform::monotonic_ns() - 1'000'000'000);
    ASSERT_TRUE(eventually([&] { return fires.count() == 2; }));
    control.set_timeout(0ns);
    ASSERT_TRUE(eventually([&] { return fires.count() == 3; }));
    control.stop();
    control.set_timeout(0ns);  // no thread any more: nothing happens
}

TEST(ThreadControl, StopFromItsOwnFireFunctionDoesNotJoinItself) {
    std::atomic<int> fired{0};
    auto control = std::make_unique<ThreadControl>();
    ThreadControl* raw = control.get();
    control->start("tc_self_step", [&fired, raw] {
        raw->stop();
        fired.fetch_add(1);
    });
    control->set_timeout(0ns);
    ASSERT_TRUE(eventually([&] { return fired.load() == 1; }));
    control.reset();
}

TEST(Notifier, CallsSubscribersInOrderWithTheirTokens) {
    Notifier notifier;
    std::vector<std::string> calls;
    Notifier::SubscriptionId second = 0;
    notifier.subscribe(
        [&](const NetworkEvent& e, std::int32_t token) {
            calls.push_back(std::string("first:") + to_string(e.kind) + ":" +
                            std::to_string(token));
            if (e.kind == EventKind::Down) {
                notifier.unsubscribe(second);  // reached by this very notify: not called
            }
        },
        1);
    second = notifier.subscribe(
        [&](const NetworkEvent& e, std::int32_t token) {
            calls.push_back(std::string("second:") + to_string(e.kind) + ":" +
                            std::to_string(token));
        },
        2);
    notifier.notify(NetworkEvent::of(EventKind::Up));
    EXPECT_EQ(calls, (std::vector<std::string>{"first:Up:1", "second:Up:2"}));

    calls.clear();
    notifier.notify(NetworkEvent::of(EventKind::Down));
    EXPECT_EQ(calls, (std::vector<std::string>{"first:Down:1"}));
    EXPECT_EQ(notifier.size(), 1u);
    notifier.unsubscribe(999);  // unknown: ignored

    calls.clear();
    notifier.notify_and_clear(NetworkEvent::of(EventKind::Busy));
    notifier.notify(NetworkEvent::of(EventKind::Busy));
    EXPECT_EQ(calls, (std::vector<std::string>{"first:Busy:1"}));
    EXPECT_EQ(notifier.size(), 0u);
}

TEST(EventWaiter, TriggersOnTheAwaitedEventAndRearmsOnDownWithToken1) {
    auto waiter = EventWaiter::create("up_waiter", NetworkEvent::of(EventKind::Up));
    EXPECT_EQ(waiter->state_name(), "armed");
    EXPECT_FALSE(waiter->wait(0ms));
    waiter->deliver(NetworkEvent::of(EventKind::Down), 1);
    EXPECT_EQ(waiter->state_name(), "armed");

    // A thread already waiting is woken.
    Notifier notifier;
    notifier.subscribe(waiter->callback(), 1);
    std::atomic<bool> woke{false};
    std::thread waiting([&] { woke.store(waiter->wait(test::kGenerous)); });
    notifier.notify(NetworkEvent::of(EventKind::Up));
    waiting.join();
    EXPECT_TRUE(woke.load());
    EXPECT_EQ(waiter->state_name(), "triggered");

    waiter->deliver(NetworkEvent::of(EventKind::Down), 0);  // token 0: stays triggered
    EXPECT_TRUE(waiter->wait(0ms));
    notifier.notify(NetworkEvent::of(EventKind::Down));  // subscribed with token 1
    EXPECT_EQ(waiter->state_name(), "armed");
    EXPECT_FALSE(waiter->wait(0ms));
}

TEST(EventWaiter, FramesMustBeTheSameFrames) {
    std::vector<CanMessage> awaited{test::standard_frame(0x100, {1, 2}),
                                    test::standard_frame(0x101, {})};
    auto waiter = EventWaiter::create("frames", NetworkEvent::with_frames(awaited));
    waiter->deliver(NetworkEvent::with_frames({awaited[0]}), 0);
    auto changed = awaited;
    changed[1].data = {9};
    waiter->deliver(NetworkEvent::with_frames(changed), 0);
    waiter->deliver(NetworkEvent::of(EventKind::Up), 0);
    EXPECT_EQ(waiter->state_name(), "armed");
    waiter->deliver(NetworkEvent::with_frames(awaited), 0);
    EXPECT_EQ(waiter->state_name(), "triggered");
}

}  // namespace
}  // namespace tarnlib
