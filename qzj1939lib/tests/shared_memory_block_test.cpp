// Named shared-memory blocks: one block per name across processes, the 64-byte header in
// front of the data, refusal of another size, and a fresh zeroed block once every holder is
// gone.
//
// Multi-process cases start this binary again as "<binary> --child <mode> <args...>",
// which main() serves before GoogleTest starts.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "platform/shared_memory.hpp"
#include "qzj1939lib/shared_memory_block.hpp"

namespace qzj1939lib {
namespace {

// Not a multiple of 4 or of the page size.
constexpr std::uint32_t kSize = 1001;
constexpr std::uint8_t kChildMark = 0xC5;

std::string unique_name(const char* what) {
    static std::atomic<int> counter{0};
    return std::string("QZJ1939LIB_BLOCK_TEST_") + what + "_" +
           std::to_string(platform::current_process_id()) + "_" + std::to_string(counter++);
}

void write_pattern(const SharedMemoryBlock& block) {
    for (std::uint32_t i = 0; i < block.data_size(); ++i) {
        block.data()[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
}

bool has_pattern(const SharedMemoryBlock& block, std::uint32_t skip_last = 0) {
    for (std::uint32_t i = 0; i + skip_last < block.data_size(); ++i) {
        if (block.data()[i] != static_cast<std::uint8_t>(i * 7 + 1)) {
            return false;
        }
    }
    return true;
}

bool all_zero(const SharedMemoryBlock& block) {
    for (std::uint32_t i = 0; i < block.data_size(); ++i) {
        if (block.data()[i] != 0) {
            return false;
        }
    }
    return true;
}

platform::Result<platform::ChildProcess> spawn_child(const std::string& mode,
                                                     const std::string& name) {
    return platform::ChildProcess::spawn(platform::current_executable_path(),
                                         {"--child", mode, name});
}

// Opens the parent's block, checks its pattern and marks the last data byte.
int share_child(const std::string& name) {
    auto block = SharedMemoryBlock::open_or_create(name, kSize);
    if (!block || block->created()) {
        return 10;
    }
    if (!has_pattern(*block, 1)) {
        return 11;
    }
    block->data()[kSize - 1] = kChildMark;
    return 0;
}

// Creates the block, fills it, and exits, which closes it.
int fill_child(const std::string& name) {
    auto block = SharedMemoryBlock::open_or_create(name, kSize);
    if (!block || !block->created()) {
        return 10;
    }
    write_pattern(*block);
    return 0;
}

TEST(SharedMemoryBlock, TwoProcessesShareOneBlock) {
    const std::string name = unique_name("share");
    auto block = SharedMemoryBlock::open_or_create(name, kSize);
    ASSERT_TRUE(block) << block.error().what;
    EXPECT_TRUE(block->created());
    EXPECT_EQ(block->data_size(), kSize);
    EXPECT_TRUE(all_zero(*block));
    write_pattern(*block);

    auto child = spawn_child("share", name);
    ASSERT_TRUE(child) << child.error().what;
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(block->data()[kSize - 1], kChildMark);
}

TEST(SharedMemoryBlock, TheHeaderHoldsTheDataSizeInFrontOfTheData) {
    const std::string name = unique_name("header");
    auto block = SharedMemoryBlock::open_or_create(name, kSize);
    ASSERT_TRUE(block) << block.error().what;
    block->data()[0] = 0xAB;

    // The whole mapping, seen without the block's interpretation: 64 + 1001 bytes.
    auto whole = platform::SharedMemory::open(name, kSize + 64);
    ASSERT_TRUE(whole) << whole.error().what;
    EXPECT_FALSE(whole->created());
    const auto* bytes = static_cast<const std::uint8_t*>(whole->data());
    // 1001 = 0x000003E9, little-endian, then the reserved word and the rest of the header.
    EXPECT_EQ(bytes[0], 0xE9);
    EXPECT_EQ(bytes[1], 0x03);
    EXPECT_EQ(bytes[2], 0x00);
    EXPECT_EQ(bytes[3], 0x00);
    for (int i = 4; i < 64; ++i) {
        EXPECT_EQ(bytes[i], 0) << "header byte " << i;
    }
    EXPECT_EQ(bytes[64], 0xAB);
}

TEST(SharedMemoryBlock, AnotherSizeIsRefusedAndLeavesTheBlockUnchanged) {
    const std::string name = unique_name("size");
    auto block = SharedMemoryBlock::open_or_create(name, kSize);
    ASSERT_TRUE(block) << block.error().what;
    write_pattern(*block);
    for (std::uint32_t other : {kSize - 1, kSize + 1, kSize * 4}) {
        EXPECT_FALSE(SharedMemoryBlock::open_or_create(name, other)) << other;
    }
    EXPECT_TRUE(has_pattern(*block));
    auto same = SharedMemoryBlock::open_or_create(name, kSize);
    ASSERT_TRUE(same) << same.error().what;
    EXPECT_FALSE(same->created());
    EXPECT_TRUE(has_pattern(*same));
}

TEST(SharedMemoryBlock, AHeaderWithAnotherSizeIsASizeMismatch) {
    // A mapping of the right length whose header names another data size.
    const std::string name = unique_name("foreign");
    auto foreign = platform::SharedMemory::open(name, 100 + 64);
    ASSERT_TRUE(foreign) << foreign.error().what;
    static_cast<std::uint8_t*>(foreign->data())[0] = 50;

    auto block = SharedMemoryBlock::open_or_create(name, 100);
    ASSERT_FALSE(block);
    EXPECT_EQ(block.error().kind, SharedBlockError::Kind::SizeMismatch);
    EXPECT_EQ(static_cast<std::uint8_t*>(foreign->data())[0], 50);
}

TEST(SharedMemoryBlock, TheBlockIsMadeAfreshOnceTheLastHolderHasClosedIt) {
    const std::string name = unique_name("fresh");
    auto child = spawn_child("fill", name);
    ASSERT_TRUE(child) << child.error().what;
    ASSERT_EQ(child->wait(), 0);

    auto block = SharedMemoryBlock::open_or_create(name, kSize);
    ASSERT_TRUE(block) << block.error().what;
    EXPECT_TRUE(block->created());
    EXPECT_TRUE(all_zero(*block));
}

TEST(SharedMemoryBlock, NamesWithANulByteAreRefused) {
    const std::string name = unique_name("nul") + std::string(1, '\0') + "tail";
    EXPECT_FALSE(SharedMemoryBlock::open_or_create(name, kSize));
    EXPECT_FALSE(AccessMutex::create(name));
}

}  // namespace
}  // namespace qzj1939lib

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--child") {
        const std::string mode = argv[2];
        if (mode == "share") {
            return qzj1939lib::share_child(argv[3]);
        }
        if (mode == "fill") {
            return qzj1939lib::fill_child(argv[3]);
        }
        return 100;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
