// Named threads: the full name for logs, the shortened one for the system, and joining.

#include <gtest/gtest.h>

#include <atomic>

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

}  // namespace
}  // namespace platform_test
