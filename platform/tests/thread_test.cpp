// Named threads: the full name for logs, the shortened one for the system, and joining.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#ifdef __linux__
#include <pthread.h>
#endif

#include "platform/thread.hpp"

namespace platform_test {
namespace {

TEST(Thread, KeepsTheFullNameAndGivesTheSystemAShortenedOne) {
    const std::string name = "qz-device-read-thread-channel-1";
    const std::string too_long(100, 'x');
    std::string kept;
    std::string seen;
    std::string os_name;
    platform::Thread thread(name, platform::ThreadPriority::Raised, [&] {
        seen = platform::current_thread_name();
#ifdef __linux__
        char buffer[64] = {};
        ::pthread_getname_np(::pthread_self(), buffer, sizeof buffer);
        os_name = buffer;
#endif
        platform::set_current_thread_name(too_long);
        kept = platform::current_thread_name();
    });
    EXPECT_EQ(thread.name(), name);
    thread.join();
    EXPECT_FALSE(thread.joinable());
    EXPECT_EQ(seen, name);
    EXPECT_EQ(kept, too_long.substr(0, platform::max_thread_name_length));
#ifdef __linux__
    EXPECT_EQ(os_name, name.substr(0, 15));
#endif
    // Naming is per thread.
    EXPECT_NE(platform::current_thread_name(), name);
}

TEST(Thread, DestructionAndMoveAssignmentJoin) {
    std::atomic<int> finished{0};
    {
        platform::Thread thread("first", platform::ThreadPriority::Normal, [&] { ++finished; });
        // Assigning over a running thread joins it first (std::thread would terminate).
        thread = platform::Thread("second", platform::ThreadPriority::Normal, [&] { ++finished; });
        EXPECT_GE(finished.load(), 1);
        EXPECT_EQ(thread.name(), "second");
    }
    EXPECT_EQ(finished.load(), 2);
}

TEST(Thread, KnowsItselfAndCanBeLeftToEndFromItsOwnBody) {
    std::atomic<bool> inside_is_current{false};
    std::atomic<bool> done{false};
    platform::Thread holder;
    std::atomic<platform::Thread*> self{nullptr};
    holder = platform::Thread("self-stopping", platform::ThreadPriority::Normal, [&] {
        while (self.load() == nullptr) {
            std::this_thread::yield();
        }
        // A thread stopped from inside its own body is detached, not joined.
        inside_is_current = self.load()->is_current();
        self.load()->detach();
        done = true;
    });
    EXPECT_FALSE(holder.is_current());
    self = &holder;
    while (!done.load()) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(inside_is_current.load());
    EXPECT_FALSE(holder.joinable());
}

// Clients connect and disconnect in several threads at once, each time starting and ending
// threads. The names are longer than a std::string keeps inline, so that a thread-local name
// that allocates would be freed after its storage at each thread's end (the Windows test runs
// check the heap).
TEST(Thread, ThreadsStartAndEndInSeveralThreadsAtOnce) {
    std::atomic<int> ran{0};
    std::vector<platform::Thread> starters;
    for (int s = 0; s < 4; ++s) {
        starters.emplace_back("starter", platform::ThreadPriority::Normal, [&] {
            for (int round = 0; round < 500; ++round) {
                platform::Thread a("connect-thread-with-a-long-name-a",
                                   platform::ThreadPriority::Raised, [&] { ++ran; });
                platform::Thread b("connect-thread-with-a-long-name-b",
                                   platform::ThreadPriority::Normal, [&] { ++ran; });
                a.join();
            }
        });
    }
    starters.clear();
    EXPECT_EQ(ran.load(), 4 * 500 * 2);
}

}  // namespace
}  // namespace platform_test
