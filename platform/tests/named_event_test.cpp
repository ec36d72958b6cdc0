// Named events: a doorbell one process rings and another waits on, kept when nobody waits.

#include <gtest/gtest.h>

#include <limits>

#include "platform/named_event.hpp"
#include "platform/thread.hpp"
#include "test_support.hpp"

namespace platform_test {
namespace {

constexpr std::int64_t kForever = std::numeric_limits<std::int64_t>::max();

// args: event. Rings it and ends.
int ring_child(const std::vector<std::string>& args) {
    auto event = platform::NamedEvent::open(args.at(0));
    if (!event) {
        return 10;
    }
    event->set();
    return 0;
}

[[maybe_unused]] const bool registered = register_child_mode("event-ring", ring_child);

TEST(NamedEvent, AnotherProcessRingsIt) {
    const std::string name = unique_name("bell");
    auto event = platform::NamedEvent::open(name);
    ASSERT_TRUE(event) << event.error().what;
    auto child = spawn_child("event-ring", {name});
    ASSERT_TRUE(child) << child.error().what;
    EXPECT_EQ(event->wait_until(kForever), platform::WaitResult::Signalled);
    EXPECT_EQ(child->wait(), 0);
    // The wait took the signal.
    EXPECT_EQ(event->wait_until(platform::monotonic_ns()), platform::WaitResult::TimedOut);
}

TEST(NamedEvent, SetIsKeptForTheNextWaitAndDeadlinesEndWaits) {
    const std::string name = unique_name("bell");
    auto waiter = platform::NamedEvent::open(name);
    auto ringer = platform::NamedEvent::open(name);
    ASSERT_TRUE(waiter && ringer);

    const std::int64_t deadline = platform::monotonic_ns() + 3'000'000;
    EXPECT_EQ(waiter->wait_until(deadline), platform::WaitResult::TimedOut);
    EXPECT_GE(platform::monotonic_ns(), deadline);

    ringer->set();
    ringer->set();  // one signal, however often rung
    EXPECT_EQ(waiter->wait_until(platform::monotonic_ns()), platform::WaitResult::Signalled);
    EXPECT_EQ(waiter->wait_until(platform::monotonic_ns()), platform::WaitResult::TimedOut);

    // A wait in progress, without limit, ends when another thread rings.
    platform::Thread thread("waiter", platform::ThreadPriority::Normal, [&] {
        EXPECT_EQ(waiter->wait_until(kForever), platform::WaitResult::Signalled);
    });
    ringer->set();
    thread.join();
}

}  // namespace
}  // namespace platform_test
