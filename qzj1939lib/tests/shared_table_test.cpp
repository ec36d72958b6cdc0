// The shared address-claim table: its byte layout, and the address-claim manager in shared
// mode over a table of its own name, with stepped time. Clients 1 and 2 share CAN channel
// 7; client 3 is on channel 8.

#include <gtest/gtest.h>

#include <atomic>

#include "address_claim.hpp"
#include "network_fixture.hpp"
#include "platform/process.hpp"
#include "shared_data_manager.hpp"

namespace qzj1939lib {
namespace {

using namespace std::chrono_literals;
using platform::log::Level;
using tarnlib::Status;
using tarnlib::test::logs;

const Instant t0 = Instant(std::chrono::seconds(1000));
constexpr std::uint64_t kLow = 0x1000;
constexpr std::uint64_t kHigh = 0x2000;

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

struct Client {
    Client(SharedDataManager& table, std::uint32_t channel, std::uint32_t id)
        : manager(channel, id, make_shared_claim_store(table)) {
        auto [sender, receiver] = make_queue<TxCommand>();
        manager.set_sender(std::move(sender));
        commands.emplace(std::move(receiver));
    }
    std::vector<AddressStateChanged> state_changes() {
        std::vector<AddressStateChanged> out;
        while (auto r = commands->try_receive().item) {
            if (const auto* s = std::get_if<AddressStateChanged>(&*r)) {
                out.push_back(*s);
            }
        }
        return out;
    }
    AddressClaimManager manager;
    std::optional<Receiver<TxCommand>> commands;
};

TEST(SharedTable, TheLowestNameSpeaksForAnAddressAndHandsItOverOnRemoval) {
    logs().clear();
    auto table = fresh_table();
    Client one(*table, 7, 1), two(*table, 7, 2), three(*table, 8, 3);
    struct Claim {
        const char* what;
        Client& client;
        std::uint64_t name;
    };
    // Each becomes the protector: its Address Claimed frame comes back to be sent now.
    const Claim claims[] = {
        {"the first claim speaks", two, kHigh},
        {"a lower NAME takes over", one, kLow},
        {"another CAN channel is another contest", three, kHigh},
    };
    for (const Claim& c : claims) {
        SCOPED_TRACE(c.what);
        auto started = c.client.manager.start_claim(0x80, c.name, t0);
        ASSERT_TRUE(started);
        ASSERT_TRUE(*started);
        EXPECT_EQ(**started, address_claimed_frame(0x80, c.name));
    }
    EXPECT_TRUE(one.manager.claim(0x80)->protector);
    EXPECT_FALSE(two.manager.claim(0x80)->protector);
    EXPECT_TRUE(three.manager.claim(0x80)->protector);
    auto again = two.manager.start_claim(0x80, kHigh, t0);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message, "Address already claimed");

    // A client that joins a Claimed address with a higher NAME is Claimed at once, silent.
    for (Client* c : {&one, &two, &three}) {
        c->manager.timer_step(t0 + 250ms);
        c->state_changes();
    }
    Client late(*table, 7, 4);
    auto joined = late.manager.start_claim(0x80, kHigh + 1, t0 + 1s);
    ASSERT_TRUE(joined);
    EXPECT_FALSE(*joined);
    EXPECT_EQ(late.manager.claim(0x80)->state, ClaimState::Claimed);

    // The protector's frame echoed to another client of the channel: its transport protocol
    // learns the address, as a non-protector; any other NAME is no news.
    EXPECT_FALSE(two.manager.on_address_claimed(address_claimed_frame(0x80, kLow), true, t0 + 1s));
    auto learnt = two.state_changes();
    ASSERT_EQ(learnt.size(), 1u);
    EXPECT_EQ(learnt[0].state, ClaimState::Claimed);
    EXPECT_FALSE(learnt[0].notify);
    EXPECT_FALSE(learnt[0].protector);
    two.manager.on_address_claimed(address_claimed_frame(0x80, kHigh), true, t0 + 1s);
    EXPECT_TRUE(two.state_changes().empty());
    EXPECT_EQ(two.manager.claim(0x80)->state, ClaimState::Claimed) << "an echo is no contest";

    // Removing the protector hands the address to the next lowest NAME, whose frame goes out.
    auto removed = one.manager.remove_claim(0x80);
    ASSERT_TRUE(removed);
    ASSERT_TRUE(*removed);
    EXPECT_EQ(**removed, address_claimed_frame(0x80, kHigh));
    EXPECT_TRUE(two.manager.claim(0x80)->protector);
    EXPECT_FALSE(late.manager.claim(0x80)->protector);
    EXPECT_TRUE(logs().contains(Level::Info, "qzj1939lib::address_claim",
                                "Address 80 on channel 7 now claimed by another client"));
    auto quiet = late.manager.remove_claim(0x80);
    ASSERT_TRUE(quiet);
    EXPECT_FALSE(*quiet) << "a claim that did not speak hands nothing over";

    // A node on the bus with a lower NAME: every client of the channel gives up; only the
    // protector sends Cannot Claim.
    auto lost = two.manager.on_address_claimed(address_claimed_frame(0x80, 1), false, t0 + 2s);
    ASSERT_TRUE(lost);
    EXPECT_EQ(std::get<SendAt>(*lost).message.src_addr, kNullAddress);
    EXPECT_EQ(two.manager.claim(0x80)->state, ClaimState::CannotClaim);
    EXPECT_EQ(three.manager.claim(0x80)->state, ClaimState::Claimed);
}

TEST(SharedTable, SixteenClaimsInAllThenTheFreedEntryIsReused) {
    auto table = fresh_table();
    Client a(*table, 7, 1), b(*table, 8, 2);
    for (std::uint8_t i = 0; i < 16; ++i) {
        Client& c = i % 2 ? a : b;
        ASSERT_TRUE(c.manager.start_claim(0x10 + i, kLow, t0)) << int(i);
    }
    auto full = a.manager.start_claim(0x40, kLow, t0);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().status, Status::tarnERR_NOHANDLES);
    EXPECT_EQ(full.error().message, "Address list is full");
    EXPECT_FALSE(a.manager.claim(0x40)) << "a failed claim leaves nothing behind";

    ASSERT_TRUE(a.manager.remove_claim(0x15));  // entry 5
    ASSERT_TRUE(a.manager.start_claim(0x40, kLow, t0));
    table->lock();
    EXPECT_EQ(table->read(5).address, 0x40);
    table->unlock();
    EXPECT_EQ(a.manager.release_all().size(), 0u);
    EXPECT_EQ(b.manager.release_all().size(), 0u);
    table->lock();
    for (std::size_t i = 0; i < kSharedTableEntries; ++i) {
        EXPECT_FALSE(table->read(i).in_use()) << i;
    }
    table->unlock();
}

}  // namespace
}  // namespace qzj1939lib
