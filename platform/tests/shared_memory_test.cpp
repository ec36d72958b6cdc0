// Shared blocks: one block per name across processes, zeroed on creation, refused at
// another size, and gone once every holder has closed it or died.

#include <gtest/gtest.h>

#include "platform/shared_memory.hpp"
#include "test_support.hpp"

namespace platform_test {
namespace {

// Not a multiple of the page size, so that a size check on page-rounded regions fails.
constexpr std::size_t kSize = 1000;

// Word layout of the test blocks.
constexpr std::size_t kReady = 0;    // set by a child when it has done its part
constexpr std::size_t kParent = 1;   // written by the parent
constexpr std::size_t kChild = 2;    // written by the child
constexpr std::size_t kPattern = 3;  // first word of a pattern running to the end

constexpr std::uint32_t kParentValue = 0x0A11CE00;
constexpr std::uint32_t kChildValue = 0x00B0B000;

void write_pattern(const platform::SharedMemory& block) {
    for (std::size_t i = kPattern; i < block.size() / 4; ++i) {
        word(block, i).store(static_cast<std::uint32_t>(i * 0x01010101u));
    }
}

bool has_pattern(const platform::SharedMemory& block) {
    for (std::size_t i = kPattern; i < block.size() / 4; ++i) {
        if (word(block, i).load() != static_cast<std::uint32_t>(i * 0x01010101u)) {
            return false;
        }
    }
    return true;
}

bool all_zero(const platform::SharedMemory& block) {
    const auto* bytes = static_cast<const unsigned char*>(block.data());
    for (std::size_t i = 0; i < block.size(); ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

std::size_t size_argument(const std::vector<std::string>& args) {
    return static_cast<std::size_t>(std::stoul(args.at(1)));
}

// args: name size. Opens the parent's block, checks the parent's write, answers.
int share_child(const std::vector<std::string>& args) {
    auto block = platform::SharedMemory::open(args.at(0), size_argument(args));
    if (!block || block->created()) {
        return 10;
    }
    if (word(*block, kParent).load() != kParentValue) {
        return 11;
    }
    word(*block, kChild).store(kChildValue);
    return 0;
}

// args: name size. Opens at other sizes (must fail), then at the right size (must find
// the parent's pattern).
int other_size_child(const std::vector<std::string>& args) {
    const std::size_t size = size_argument(args);
    for (std::size_t other : {size - 1, size + 1, size * 8}) {
        if (platform::SharedMemory::open(args.at(0), other)) {
            return 10;
        }
    }
    auto block = platform::SharedMemory::open(args.at(0), size);
    if (!block || block->created()) {
        return 11;
    }
    return has_pattern(*block) ? 0 : 12;
}

// args: name size. Opens, fills the pattern, reports ready, and holds until killed.
int hold_child(const std::vector<std::string>& args) {
    auto block = platform::SharedMemory::open(args.at(0), size_argument(args));
    if (!block) {
        return 10;
    }
    write_pattern(*block);
    word(*block, kReady).store(1);
    block_until_killed();
}

constexpr int kChurners = 3;
constexpr std::size_t kChurnSlot = 8;  // first of kChurners words, in the block and the tally

// args: name tally index iterations. Opens and closes the block over and over while the
// other churners do the same, and checks that every two processes that hold the block at
// the same time hold the same memory. In iteration `seq` (never 0) churner k writes seq to
// its slot in the block, then to its slot in the tally, which the parent holds throughout;
// it clears them in the reverse order before it closes. Another churner that reads the same
// seq from the tally slot before and after reading the block slot knows that k held its
// block across that read: it must find seq in its own block too. Anything else means that
// an open created a new block while k held the old one, or reset the held one.
int churn_child(const std::vector<std::string>& args) {
    auto tally = platform::SharedMemory::open(args.at(1), kSize);
    if (!tally || tally->created()) {
        return 10;
    }
    const auto self = static_cast<std::size_t>(std::stoi(args.at(2)));
    const auto iterations = static_cast<std::uint32_t>(std::stoul(args.at(3)));
    for (std::uint32_t seq = 1; seq <= iterations; ++seq) {
        auto block = platform::SharedMemory::open(args.at(0), kSize);
        if (!block) {
            return 11;
        }
        word(*block, kChurnSlot + self).store(seq);
        word(*tally, kChurnSlot + self).store(seq);
        for (int round = 0; round < 4; ++round) {
            for (std::size_t other = 0; other < kChurners; ++other) {
                const std::uint32_t before = word(*tally, kChurnSlot + other).load();
                const std::uint32_t seen = word(*block, kChurnSlot + other).load();
                const std::uint32_t after = word(*tally, kChurnSlot + other).load();
                if (before != 0 && before == after && seen != before) {
                    return 12;
                }
            }
        }
        word(*tally, kChurnSlot + self).store(0);
        word(*block, kChurnSlot + self).store(0);
    }
    return 0;
}

[[maybe_unused]] const bool registered = register_child_mode("shm-share", share_child) &&
                                         register_child_mode("shm-other-size", other_size_child) &&
                                         register_child_mode("shm-hold", hold_child) &&
                                         register_child_mode("shm-churn", churn_child);

TEST(SharedMemory, OpenersInOneProcessShareTheBlockAndTheLastCloseRemovesIt) {
    const std::string name = unique_name("local");
    {
        auto first = platform::SharedMemory::open(name, kSize);
        ASSERT_TRUE(first) << first.error().what;
        EXPECT_TRUE(first->created());
        EXPECT_EQ(first->size(), kSize);
        EXPECT_TRUE(all_zero(*first));
        write_pattern(*first);

        auto second = platform::SharedMemory::open(name, kSize);
        ASSERT_TRUE(second) << second.error().what;
        EXPECT_FALSE(second->created());
        EXPECT_TRUE(has_pattern(*second));
        word(*second, kChild).store(kChildValue);
        EXPECT_EQ(word(*first, kChild).load(), kChildValue);

        EXPECT_FALSE(platform::SharedMemory::open(name, kSize + 1));
        EXPECT_TRUE(has_pattern(*first));
    }
    auto again = platform::SharedMemory::open(name, kSize);
    ASSERT_TRUE(again) << again.error().what;
    EXPECT_TRUE(again->created());
    EXPECT_TRUE(all_zero(*again));
}

TEST(SharedMemory, RefusesEmptyNamesAndZeroSizes) {
    EXPECT_FALSE(platform::SharedMemory::open("", kSize));
    EXPECT_FALSE(platform::SharedMemory::open(unique_name("zero"), 0));
}

TEST(SharedMemory, TwoProcessesSeeEachOthersWrites) {
    const std::string name = unique_name("share");
    auto block = platform::SharedMemory::open(name, kSize);
    ASSERT_TRUE(block) << block.error().what;
    ASSERT_TRUE(block->created());
    word(*block, kParent).store(kParentValue);

    auto child = spawn_child("shm-share", {name, std::to_string(kSize)});
    ASSERT_TRUE(child) << child.error().what;
    EXPECT_EQ(child->wait(), 0);
    // The block outlives the child, since this process still holds it.
    EXPECT_EQ(word(*block, kChild).load(), kChildValue);
}

TEST(SharedMemory, OpenWithAnotherSizeFailsAndLeavesTheBlockUnchanged) {
    const std::string name = unique_name("size");
    auto block = platform::SharedMemory::open(name, kSize);
    ASSERT_TRUE(block) << block.error().what;
    write_pattern(*block);

    auto child = spawn_child("shm-other-size", {name, std::to_string(kSize)});
    ASSERT_TRUE(child) << child.error().what;
    EXPECT_EQ(child->wait(), 0);
    EXPECT_TRUE(has_pattern(*block));
    EXPECT_EQ(word(*block, kReady).load(), 0u);
}

TEST(SharedMemory, NextOpenAfterEveryHolderIsGoneCreatesAFreshBlock) {
    const std::string name = unique_name("fresh");
    auto child = spawn_child("shm-hold", {name, std::to_string(kSize)});
    ASSERT_TRUE(child) << child.error().what;
    {
        // Open until the child's block is there: before the child has created it, this
        // open creates a block that the child then joins, which serves as well.
        auto block = platform::SharedMemory::open(name, kSize);
        ASSERT_TRUE(block) << block.error().what;
        ASSERT_TRUE(eventually([&] { return word(*block, kReady).load() == 1; }));
        EXPECT_TRUE(has_pattern(*block));
    }
    // This process has closed its handle; the child, the last holder, dies without
    // cleaning up.
    child->kill_hard();
    EXPECT_EQ(child->wait(), -1);

    auto fresh = platform::SharedMemory::open(name, kSize);
    ASSERT_TRUE(fresh) << fresh.error().what;
    EXPECT_TRUE(fresh->created());
    EXPECT_TRUE(all_zero(*fresh));
}

TEST(SharedMemory, ConcurrentOpensAndClosesNeverSplitOrResetAHeldBlock) {
    const std::string name = unique_name("churn");
    const std::string tally_name = unique_name("churn tally");
    auto tally = platform::SharedMemory::open(tally_name, kSize);
    ASSERT_TRUE(tally) << tally.error().what;

    std::vector<platform::ChildProcess> children;
    for (int i = 0; i < kChurners; ++i) {
        auto child = spawn_child("shm-churn", {name, tally_name, std::to_string(i), "300"});
        ASSERT_TRUE(child) << child.error().what;
        children.push_back(std::move(*child));
    }
    for (auto& child : children) {
        EXPECT_EQ(child.wait(), 0);
    }
}

}  // namespace
}  // namespace platform_test
