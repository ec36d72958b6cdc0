// Named mutexes: exclusion between processes, and a holder that dies leaves the mutex to
// the next waiter.

#include <gtest/gtest.h>

#include "platform/named_mutex.hpp"
#include "platform/thread.hpp"
#include "test_support.hpp"

namespace platform_test {
namespace {

constexpr std::size_t kBlockSize = 64;
// Word layout of the block beside the mutex.
constexpr std::size_t kArrived = 0;  // the child is ready
constexpr std::size_t kGo = 1;       // the parent lets both start
constexpr std::size_t kCounter = 2;  // incremented under the mutex, not atomically

constexpr int kIncrements = 10000;

// Read, then write: without exclusion, increments of the two processes get lost.
void increment_under(platform::NamedMutex& mutex, const platform::SharedMemory& block) {
    for (int i = 0; i < kIncrements; ++i) {
        mutex.lock();
        auto counter = word(block, kCounter);
        counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        mutex.unlock();
    }
}

// args: mutex block. Increments alongside the parent once it says go.
int count_child(const std::vector<std::string>& args) {
    auto mutex = platform::NamedMutex::open(args.at(0));
    auto block = platform::SharedMemory::open(args.at(1), kBlockSize);
    if (!mutex || !block) {
        return 10;
    }
    word(*block, kArrived).store(1);
    if (!eventually([&] { return word(*block, kGo).load() == 1; })) {
        return 11;
    }
    increment_under(*mutex, *block);
    return 0;
}

// args: mutex block. Takes the mutex, reports it, and dies holding it when killed.
int hold_child(const std::vector<std::string>& args) {
    auto mutex = platform::NamedMutex::open(args.at(0));
    auto block = platform::SharedMemory::open(args.at(1), kBlockSize);
    if (!mutex || !block) {
        return 10;
    }
    if (mutex->lock()) {
        return 11;  // nobody held it before
    }
    word(*block, kArrived).store(1);
    block_until_killed();
}

[[maybe_unused]] const bool registered = register_child_mode("mutex-count", count_child) &&
                                         register_child_mode("mutex-hold", hold_child);

TEST(NamedMutex, ExcludesAcrossProcesses) {
    const std::string mutex_name = unique_name("count lock");
    const std::string block_name = unique_name("count block");
    auto mutex = platform::NamedMutex::open(mutex_name);
    ASSERT_TRUE(mutex) << mutex.error().what;
    auto block = platform::SharedMemory::open(block_name, kBlockSize);
    ASSERT_TRUE(block) << block.error().what;

    auto child = spawn_child("mutex-count", {mutex_name, block_name});
    ASSERT_TRUE(child) << child.error().what;
    ASSERT_TRUE(eventually([&] { return word(*block, kArrived).load() == 1; }));
    word(*block, kGo).store(1);
    increment_under(*mutex, *block);
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(word(*block, kCounter).load(), 2u * kIncrements);
}

TEST(NamedMutex, HolderThatDiesLeavesItToTheNextWaiter) {
    const std::string mutex_name = unique_name("abandoned lock");
    const std::string block_name = unique_name("abandoned block");
    auto mutex = platform::NamedMutex::open(mutex_name);
    ASSERT_TRUE(mutex) << mutex.error().what;
    auto block = platform::SharedMemory::open(block_name, kBlockSize);
    ASSERT_TRUE(block) << block.error().what;

    auto child = spawn_child("mutex-hold", {mutex_name, block_name});
    ASSERT_TRUE(child) << child.error().what;
    ASSERT_TRUE(eventually([&] { return word(*block, kArrived).load() == 1; }));

    // The waiter blocks on the held mutex (or comes to it after the kill): either way it
    // gets the mutex with the abandonment reported, and proceeds.
    bool abandoned = false;
    platform::Thread waiter("abandoned waiter", platform::ThreadPriority::Normal, [&] {
        abandoned = mutex->lock();
        mutex->unlock();
    });
    child->kill_hard();
    EXPECT_EQ(child->wait(), -1);
    waiter.join();
    EXPECT_TRUE(abandoned);

    // Once recovered, the mutex is an ordinary one again.
    EXPECT_FALSE(mutex->lock());
    mutex->unlock();
}

}  // namespace
}  // namespace platform_test
