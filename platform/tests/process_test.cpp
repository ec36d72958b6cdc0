// Child processes: exit codes, hard kills, the destructor's clean-up, argument quoting,
// fatal() and crashes.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "platform/process.hpp"
#include "platform/shared_memory.hpp"
#include "platform/thread.hpp"
#include "test_support.hpp"

namespace platform_test {
namespace {

constexpr std::size_t kBlockSize = 64;

// Arguments that need quoting on Windows; each must reach the child unchanged.
const std::vector<std::string> kTrickyArguments = {
    "plain",
    "",
    "two words",
    "tab\there",
    "quote\"inside",
    "\"quoted\"",
    "trailing backslash\\",
    "C:\\path with space\\",
    "back\\\\\"slash",
    "a\\b\\c",
};

int exit_child(const std::vector<std::string>& args) {
    return std::stoi(args.at(0));
}

int arguments_child(const std::vector<std::string>& args) {
    return args == kTrickyArguments ? 0 : 10;
}

// args: block. Opens the block, reports ready, and holds until killed.
int hold_child(const std::vector<std::string>& args) {
    auto block = platform::SharedMemory::open(args.at(0), kBlockSize);
    if (!block) {
        return 10;
    }
    word(*block, 0).store(1);
    block_until_killed();
}

int fatal_child(const std::vector<std::string>&) {
#ifndef _WIN32
    // abort() would leave a core file in the test directory.
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
#endif
    platform::fatal("platform_tests: fatal() called on purpose by a child process");
}

// Writes through a null pointer in a thread of its own.
int crash_child(const std::vector<std::string>&) {
#ifndef _WIN32
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
#endif
    platform::Thread thread("crashing", platform::ThreadPriority::Normal, [] {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    });
    thread.join();
    return 0;
}

[[maybe_unused]] const bool registered =
    register_child_mode("exit", exit_child) && register_child_mode("arguments", arguments_child) &&
    register_child_mode("hold", hold_child) && register_child_mode("fatal", fatal_child) &&
    register_child_mode("crash", crash_child);

TEST(ChildProcess, ReportsTheExitCodeOnceAndAgain) {
    auto child = spawn_child("exit", {"7"});
    ASSERT_TRUE(child) << child.error().what;
    EXPECT_EQ(child->wait(), 7);
    EXPECT_EQ(child->wait(), 7);
}

TEST(ChildProcess, PassesArgumentsUnchanged) {
    auto child = spawn_child("arguments", kTrickyArguments);
    ASSERT_TRUE(child) << child.error().what;
    EXPECT_EQ(child->wait(), 0);
}

TEST(ChildProcess, DestructorKillsAndReapsARunningChild) {
    const std::string name = unique_name("destructor");
    {
        auto child = spawn_child("hold", {name});
        ASSERT_TRUE(child) << child.error().what;
        auto block = platform::SharedMemory::open(name, kBlockSize);
        ASSERT_TRUE(block) << block.error().what;
        ASSERT_TRUE(eventually([&] { return word(*block, 0).load() == 1; }));
    }
    // The child held the block; its death (not this process) ended the block.
    auto block = platform::SharedMemory::open(name, kBlockSize);
    ASSERT_TRUE(block) << block.error().what;
    EXPECT_TRUE(block->created());
}

TEST(ChildProcess, BoundedWaitReportsARunningChildThenItsEnd) {
    const std::string name = unique_name("bounded");
    auto child = spawn_child("hold", {name});
    ASSERT_TRUE(child) << child.error().what;
    EXPECT_EQ(child->wait_for(std::chrono::milliseconds(50)), std::nullopt);
    child->kill_hard();
    EXPECT_EQ(child->wait_for(std::chrono::seconds(20)), std::optional<int>(-1));
    EXPECT_EQ(child->wait(), -1);

    auto exiting = spawn_child("exit", {"7"});
    ASSERT_TRUE(exiting) << exiting.error().what;
    EXPECT_EQ(exiting->wait_for(std::chrono::seconds(20)), std::optional<int>(7));
}

// Under wine a crash would otherwise end with exit code 0 (see crash_exit_win32.cpp).
TEST(ChildProcess, FatalAndACrashEndTheProcessWithAFailure) {
    for (const char* mode : {"fatal", "crash"}) {
        SCOPED_TRACE(mode);
        auto child = spawn_child(mode);
        ASSERT_TRUE(child) << child.error().what;
        EXPECT_NE(child->wait(), 0);
    }
}

TEST(ChildProcess, SpawningAMissingProgramFails) {
    EXPECT_FALSE(platform::ChildProcess::spawn("qz-no-such-program-anywhere", {}));
}

}  // namespace
}  // namespace platform_test
