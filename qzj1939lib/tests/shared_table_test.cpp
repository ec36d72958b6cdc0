// The shared address-claim table's byte layout, written out by hand. What the table does for
// claims is tested through the exports (j1939_exports_test.cpp).

#include <gtest/gtest.h>

#include <atomic>

#include "platform/process.hpp"
#include "shared_data_manager.hpp"

namespace qzj1939lib {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<SharedDataManager> fresh_table() {
    static std::atomic<int> counter{0};
    const std::string name = "QZJ1939LIB_TABLE_TEST_" +
                             std::to_string(platform::current_process_id()) + "_" +
                             std::to_string(counter++);
    auto table = SharedDataManager::open(name, name + "_LOCK");
    EXPECT_TRUE(table) << table.error();
    return std::move(*table);
}

TEST(SharedTable, EntriesHaveTheirFixedLittleEndianLayout) {
    ClaimEntry entry;
    entry.deadline = Instant(5s + 250ms);
    entry.channel = 0x11223344;
    entry.client_id = 7;
    entry.name = 0x0102030405060708;
    entry.state = ClaimState::Claimed;
    entry.address = 0x80;
    entry.protector = true;
    // Seconds 5, nanoseconds 250,000,000 = 0x0EE6B280, padding, channel, client, NAME,
    // state 2, address, protector, two markers, padding.
    const EntryBytes expected = {0x05, 0,    0,    0,    0,    0,    0,    0,    0x80, 0xB2,
                                 0xE6, 0x0E, 0,    0,    0,    0,    0x44, 0x33, 0x22, 0x11,
                                 0x07, 0,    0,    0,    0x08, 0x07, 0x06, 0x05, 0x04, 0x03,
                                 0x02, 0x01, 0x02, 0x80, 0x01, 0,    0,    0,    0,    0};
    EXPECT_EQ(encode_entry(entry), expected);
    EXPECT_EQ(decode_entry(expected.data()), entry);

    // A free entry: no deadline (1,000,000,000 ns = 0x3B9ACA00), address 254, the rest 0.
    const EntryBytes free = encode_entry(ClaimEntry{});
    EXPECT_EQ((std::vector<std::uint8_t>(free.begin() + 8, free.begin() + 12)),
              (std::vector<std::uint8_t>{0x00, 0xCA, 0x9A, 0x3B}));
    EXPECT_EQ(free[32], 0);
    EXPECT_EQ(free[33], 254);
    // A state byte no writer completes reads as a free entry.
    EntryBytes torn = expected;
    torn[32] = 0xA5;
    EXPECT_FALSE(decode_entry(torn.data()).in_use());

    // A new table: client ids from 1, every entry free.
    auto table = fresh_table();
    EXPECT_EQ(table->next_client_id(), 1u);
    EXPECT_EQ(table->next_client_id(), 2u);
    table->lock();
    for (std::size_t i = 0; i < kSharedTableEntries; ++i) {
        EXPECT_EQ(encode_entry(table->read(i)), free) << i;
    }
    table->unlock();
}

}  // namespace
}  // namespace qzj1939lib
