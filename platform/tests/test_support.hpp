#pragma once
// Helpers for the platform tests: unique object names, flags in shared blocks, bounded
// waits for conditions, and child processes that run this binary in a child mode.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "platform/process.hpp"
#include "platform/shared_memory.hpp"

namespace platform_test {

// A child mode: this binary started as "<binary> --child <mode> <args...>" runs the mode's
// function instead of the tests; its return value is the exit code.
using ChildMain = int (*)(const std::vector<std::string>& args);
bool register_child_mode(const char* mode, ChildMain main);
int run_child_mode(const std::string& mode, const std::vector<std::string>& args);
inline constexpr const char* kChildFlag = "--child";

// Starts this binary in the child mode with the arguments.
platform::Result<platform::ChildProcess> spawn_child(const std::string& mode,
                                                     std::vector<std::string> args = {});

// A name no other test or parallel run uses. It holds a space, a dot and a slash, which
// the POSIX implementation must map to a file name.
std::string unique_name(const std::string& what);

// Word `index` of a shared block, for flags and counters that two processes touch.
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);
inline std::atomic_ref<std::uint32_t> word(const platform::SharedMemory& block, std::size_t index) {
    return std::atomic_ref<std::uint32_t>(static_cast<std::uint32_t*>(block.data())[index]);
}

// Waits, yielding, until the condition holds; false if it did not within a generous limit.
// The limit only ends a test that would otherwise hang; it is no timing assertion.
template <class Condition>
bool eventually(Condition condition) {
    constexpr std::int64_t kLimitNs = 60'000'000'000;
    const std::int64_t limit = platform::monotonic_ns() + kLimitNs;
    while (!condition()) {
        if (platform::monotonic_ns() > limit) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// Blocks the calling thread until the process is killed.
[[noreturn]] void block_until_killed();

}  // namespace platform_test
