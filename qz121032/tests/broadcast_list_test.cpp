// The broadcast list on its own, with time stepped by the test: the parameter block of every
// operation (results written back, the refusals with 144) and the schedule the transmit
// thread collects from, falling behind included.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "broadcast_blocks.hpp"
#include "broadcast_list.hpp"

namespace qz121032 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
using TimePoint = BroadcastList::TimePoint;
using testing::broadcast_add_block;

const TimePoint kStart{std::chrono::hours(1)};

TimePoint at(int ms) {
    return kStart + milliseconds(ms);
}

// The message of the k-th entry a test puts into a list: a standard CAN frame with
// identifier k and one data byte.
Bytes message_of(int k) {
    return {0, 0x00, static_cast<std::uint8_t>(k), 0xD0};
}

// A list holding `entries` entries, entry k with message_of(k) every 100 * (k + 1) ms.
BroadcastList list_of(int entries) {
    BroadcastList list;
    for (int k = 0; k < entries; ++k) {
        Bytes block = broadcast_add_block(static_cast<std::uint16_t>(100 * (k + 1)), message_of(k));
        EXPECT_TRUE(list.command(block, kStart).has_value());
    }
    return list;
}

// The messages of the list in index order, read back through the read operation.
std::vector<Bytes> contents(BroadcastList& list) {
    std::vector<Bytes> messages;
    for (std::uint8_t index = 0;; ++index) {
        Bytes block(6 + 64, 0);
        block[0] = 2;
        block[2] = index;
        EXPECT_TRUE(list.command(block, kStart).has_value());
        if (block[1] == 1) {
            return messages;
        }
        messages.emplace_back(block.begin() + 6, block.begin() + 6 + (block[4] | block[5] << 8));
    }
}

struct CommandCase {
    const char* name;
    int entries;        // entries in the list before the command
    Bytes block;        // the parameter block as the application passes it
    bool succeeds;      // else 144
    Bytes block_after;  // the block as the command leaves it
    int entries_after;
};

// Expected blocks written out by hand from the layout: operation, result, interval or index
// (2 bytes, least significant first), message length (2 bytes), message.
const CommandCase kCommandCases[] = {
    {"add to empty gives index 0",
     0,
     {1, 0xEE, 0x64, 0x00, 3, 0, 0, 0x01, 0x23},
     true,
     {1, 0, 0x64, 0x00, 3, 0, 0, 0x01, 0x23},
     1},
    {"add appends at the end", 3, {1, 0xEE, 0x0A, 0x00, 0, 0}, true, {1, 3, 0x0A, 0x00, 0, 0}, 4},
    {"16th add fits", 15, {1, 0xEE, 0x0A, 0x00, 0, 0}, true, {1, 15, 0x0A, 0x00, 0, 0}, 16},
    {"17th add: full list",
     16,
     {1, 0xEE, 0x0A, 0x00, 1, 0, 0xAA},
     false,
     {1, 255, 0x0A, 0x00, 1, 0, 0xAA},
     16},
    {"add shorter than its header",
     0,
     {1, 0xEE, 0x0A, 0x00, 0},
     false,
     {1, 0xEE, 0x0A, 0x00, 0},
     0},
    {"add shorter than its message",
     0,
     {1, 0xEE, 0x0A, 0x00, 3, 0, 1, 2},
     false,
     {1, 0xEE, 0x0A, 0x00, 3, 0, 1, 2},
     0},
    {"add with bytes beyond the message",
     0,
     {1, 0xEE, 0x0A, 0x00, 1, 0, 7, 8, 9},
     true,
     {1, 0, 0x0A, 0x00, 1, 0, 7, 8, 9},
     1},
    {"read entry 1",
     3,
     {2, 0xEE, 1, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE},
     true,
     {2, 0, 0xC8, 0x00, 4, 0, 0, 0x00, 0x01, 0xD0},
     3},
    {"read past the end", 3, {2, 0xEE, 3}, true, {2, 1, 3}, 3},
    {"read on empty", 0, {2, 0xEE, 0}, true, {2, 1, 0}, 0},
    {"read one byte too short",
     3,
     {2, 0xEE, 1, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE},
     false,
     {2, 0xEE, 1, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE},
     3},
    {"read without an index", 3, {2, 0xEE}, false, {2, 0xEE}, 3},
    {"clear writes the number removed", 3, {3, 0xEE}, true, {3, 3}, 0},
    {"clear on empty", 0, {3, 0xEE, 0xEE}, true, {3, 0, 0xEE}, 0},
    {"clear without a result byte", 3, {3}, false, {3}, 3},
    {"remove index 2 of three", 3, {4, 0xEE, 2}, true, {4, 0, 2}, 2},
    {"remove past the end", 3, {4, 0xEE, 3}, true, {4, 1, 3}, 3},
    {"remove without an index", 3, {4, 0xEE}, false, {4, 0xEE}, 3},
    {"count on empty", 0, {5, 0xEE}, true, {5, 0}, 0},
    {"count", 16, {5, 0xEE, 0xEE}, true, {5, 16, 0xEE}, 16},
    {"count without a result byte", 2, {5}, false, {5}, 2},
    {"empty block", 2, {}, false, {}, 2},
    {"operation 0", 2, {0, 0xEE, 0}, false, {0, 0xEE, 0}, 2},
    {"operation 6", 2, {6, 0xEE, 0}, false, {6, 0xEE, 0}, 2},
};

TEST(BroadcastList, CommandsWriteTheirResultsIntoTheBlock) {
    for (const CommandCase& c : kCommandCases) {
        SCOPED_TRACE(c.name);
        BroadcastList list = list_of(c.entries);
        Bytes block = c.block;
        const auto result = list.command(block, kStart);
        EXPECT_EQ(result.has_value(), c.succeeds);
        if (!result) {
            EXPECT_EQ(result.error(), 144);
        }
        EXPECT_EQ(block, c.block_after);
        EXPECT_EQ(list.size(), static_cast<std::size_t>(c.entries_after));
    }
}

TEST(BroadcastList, RemovingMovesTheLaterEntriesDownAndReadGivesTheLargestInterval) {
    BroadcastList list = list_of(3);
    Bytes remove{4, 0xEE, 0};
    ASSERT_TRUE(list.command(remove, kStart).has_value());
    EXPECT_EQ(contents(list), (std::vector<Bytes>{message_of(1), message_of(2)}));

    Bytes block = broadcast_add_block(65535, {});
    ASSERT_TRUE(list.command(block, kStart).has_value());
    EXPECT_EQ(block[1], 2);
    Bytes read{2, 0xEE, 2, 0, 0, 0xEE};
    ASSERT_TRUE(list.command(read, kStart).has_value());
    EXPECT_EQ(read, (Bytes{2, 0, 0xFF, 0xFF, 0, 0}));
}

// One pass of the transmit thread at a time: which entries went out (by the identifier
// byte of their message) and the wait it was told.
struct Pass {
    int at_ms;
    std::vector<int> sent;
    std::optional<int> wait_ms;
};

struct ScheduleCase {
    const char* name;
    std::vector<std::uint16_t> intervals;  // entry k sends message_of(k), added at 0 ms
    std::vector<Pass> passes;
};

const ScheduleCase kScheduleCases[] = {
    {"new entry goes out at once, then every interval",
     {100},
     {{0, {0}, 100}, {50, {}, 50}, {99, {}, 1}, {100, {0}, 100}, {200, {0}, 100}}},
    {"a late pass stays on the grid", {100}, {{0, {0}, 100}, {130, {0}, 70}, {200, {0}, 100}}},
    {"no burst after falling behind",
     {100},
     {{0, {0}, 100}, {350, {0}, 100}, {400, {}, 50}, {450, {0}, 100}}},
    {"interval 0 is due on every pass",
     {0},
     {{0, {0}, 0}, {0, {0}, 0}, {1, {0}, 0}, {1000, {0}, 0}}},
    {"due entries in list order, wait for the earliest",
     {300, 100, 200},
     {{0, {0, 1, 2}, 100},
      {100, {1}, 100},
      {200, {1, 2}, 100},
      {300, {0, 1}, 100},
      {1000, {0, 1, 2}, 100}}},
};

TEST(BroadcastList, CollectsDueMessagesOnTheirSchedule) {
    for (const ScheduleCase& c : kScheduleCases) {
        SCOPED_TRACE(c.name);
        BroadcastList list;
        for (std::size_t k = 0; k < c.intervals.size(); ++k) {
            Bytes block = broadcast_add_block(c.intervals[k], message_of(static_cast<int>(k)));
            ASSERT_TRUE(list.command(block, kStart).has_value());
        }
        for (const Pass& pass : c.passes) {
            SCOPED_TRACE("pass at " + std::to_string(pass.at_ms) + " ms");
            std::vector<int> sent;
            const auto wait =
                list.collect_due(at(pass.at_ms), [&](std::span<const std::uint8_t> m) {
                    ASSERT_EQ(m.size(), 4u);
                    sent.push_back(m[2]);
                });
            EXPECT_EQ(sent, pass.sent);
            ASSERT_TRUE(wait.has_value());
            EXPECT_EQ(*wait, milliseconds(*pass.wait_ms));
        }
    }
}

TEST(BroadcastList, EmptyListHasNothingDueAndNoWait) {
    BroadcastList list = list_of(2);
    int sent = 0;
    EXPECT_TRUE(list.collect_due(at(0), [&](auto) { ++sent; }).has_value());
    EXPECT_EQ(sent, 2);
    Bytes clear{3, 0xEE};
    ASSERT_TRUE(list.command(clear, at(10)).has_value());
    EXPECT_EQ(list.collect_due(at(1000), [&](auto) { ++sent; }), std::nullopt);
    EXPECT_EQ(sent, 2);

    // An entry added later is due at the time of its adding.
    Bytes block = broadcast_add_block(100, message_of(5));
    ASSERT_TRUE(list.command(block, at(2000)).has_value());
    EXPECT_EQ(list.until_next_due(at(1990)), milliseconds(10));
    EXPECT_EQ(list.until_next_due(at(2010)), milliseconds(0));
}

}  // namespace
}  // namespace qz121032
