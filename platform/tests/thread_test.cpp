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
    std::string seen;
    std::string os_name;
    platform::Thread thread(name, platform::ThreadPriority::Raised, [&] {
        seen = platform::current_thread_name();
#ifdef __linux__
        char buffer[64] = {};
        ::pthread_getname_np(::pthread_self(), buffer, sizeof buffer);
        os_name = buffer;
#endif
    });
    EXPECT_EQ(thread.name(), name);
    thread.join();
    EXPECT_FALSE(thread.joinable());
    EXPECT_EQ(seen, name);
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
// threads. (The pthread emulation of mingw-w64 corrupted its heap doing this under Windows.)
TEST(Thread, ThreadsStartAndEndInSeveralThreadsAtOnce) {
    std::atomic<int> ran{0};
    std::vector<platform::Thread> starters;
    for (int s = 0; s < 4; ++s) {
        starters.emplace_back("starter", platform::ThreadPriority::Normal, [&] {
            for (int round = 0; round < 500; ++round) {
                platform::Thread a("a", platform::ThreadPriority::Raised, [&] { ++ran; });
                platform::Thread b("b", platform::ThreadPriority::Normal, [&] { ++ran; });
                a.join();
            }
        });
    }
    starters.clear();
    EXPECT_EQ(ran.load(), 4 * 500 * 2);
}

}  // namespace
}  // namespace platform_test
