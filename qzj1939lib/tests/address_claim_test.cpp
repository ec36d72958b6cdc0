// The address-claim manager as an engine: frames and stepped instants in, frames and Tx
// commands out. Channel 7, client 3 throughout.

#include <gtest/gtest.h>

#include <atomic>

#include "address_claim.hpp"
#include "network_fixture.hpp"

namespace qzj1939lib {
namespace {

using namespace std::chrono_literals;
using platform::log::Level;
using tarnlib::Status;
using tarnlib::test::logs;

constexpr const char* kTarget = "qzj1939lib::address_claim";
constexpr std::uint64_t kOurName = 0x0123456789ABCDEF;
const Instant t0 = Instant(std::chrono::seconds(1000));

J1939Message claimed_by(std::uint8_t address, std::uint64_t name, std::size_t bytes = 8) {
    J1939Message m = address_claimed_frame(address, name);
    m.data->resize(bytes);
    return m;
}

J1939Message request(std::uint8_t from, std::uint8_t to, std::size_t bytes = 3) {
    J1939Message m;
    m.pgn = kPgnRequest;
    m.src_addr = from;
    m.dest_addr = to;
    m.data = std::vector<std::uint8_t>{0x00, 0xEE, 0x00};
    m.data->resize(bytes, 0xFF);
    return m;
}

class AddressClaimTest : public ::testing::Test {
  protected:
    AddressClaimTest() {
        logs().clear();
        auto [sender, receiver] = make_queue<TxCommand>();
        manager.set_sender(std::move(sender));
        commands.emplace(std::move(receiver));
    }
    // The commands queued so far.
    std::vector<TxCommand> drain() {
        std::vector<TxCommand> out;
        while (auto r = commands->try_receive().item) {
            out.push_back(std::move(*r));
        }
        return out;
    }
    std::vector<AddressStateChanged> state_changes() {
        std::vector<AddressStateChanged> out;
        for (const TxCommand& c : drain()) {
            if (const auto* s = std::get_if<AddressStateChanged>(&c)) {
                out.push_back(*s);
            }
        }
        return out;
    }
    // Starts a claim at t0 and lets its 250 ms pass.
    void claim(std::uint8_t address, std::uint64_t name = kOurName) {
        ASSERT_TRUE(manager.start_claim(address, name, t0));
        manager.timer_step(t0 + 250ms);
        ASSERT_EQ(manager.claim(address)->state, ClaimState::Claimed);
        drain();
    }

    AddressClaimManager manager{7, 3, make_local_claim_store()};
    std::optional<Receiver<TxCommand>> commands;
};

TEST_F(AddressClaimTest, AcceptsAddressesUpTo253AndSendsTheNameLeastSignificantByteFirst) {
    for (std::uint8_t refused : {254, 255}) {
        auto r = manager.start_claim(refused, kOurName, t0);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().status, Status::tarnERR_PARAM);
        EXPECT_EQ(r.error().message, "Invalid source address");
    }
    auto r = manager.start_claim(253, kOurName, t0);
    ASSERT_TRUE(r);
    ASSERT_TRUE(*r);
    // 0x18EEFFFD: priority 6, PGN 0xEE00 to 255, from 0xFD.
    EXPECT_EQ(encode_id(**r), 0x18EEFFFDu);
    EXPECT_EQ((*r)->data,
              (std::vector<std::uint8_t>{0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));
    EXPECT_TRUE(std::holds_alternative<RunAddressClaim>(drain().at(0)));
    EXPECT_TRUE(logs().contains(Level::Info, kTarget, "Starting address claim for SA FD"));

    auto again = manager.start_claim(253, kOurName + 1, t0);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message, "Address already in use");
}

TEST_F(AddressClaimTest, BecomesClaimed250msAfterTheStartWhenUncontested) {
    ASSERT_TRUE(manager.start_claim(0x80, kOurName, t0));
    EXPECT_EQ(manager.timer_step(t0 + 249ms), t0 + 250ms);
    EXPECT_EQ(manager.claim(0x80)->state, ClaimState::ClaimSent);
    EXPECT_EQ(manager.timer_step(t0 + 250ms), std::nullopt);
    EXPECT_EQ(manager.claim(0x80)->state, ClaimState::Claimed);
    const auto changes = state_changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].state, ClaimState::Claimed);
    EXPECT_TRUE(changes[0].notify);
    EXPECT_TRUE(changes[0].protector);
    EXPECT_TRUE(
        logs().contains(Level::Info, kTarget, "Address 80 on channel 7 changing state to Claimed"));
    EXPECT_TRUE(logs().contains(Level::Info, kTarget,
                                "Successfully claimed address 80 for channel 7, client 3"));
}

TEST_F(AddressClaimTest, ContestsAreDecidedByTheLowerName) {
    struct Case {
        const char* what;
        bool claimed_first;             // our claim's 250 ms have passed
        std::uint64_t other;            // the other node's NAME
        std::size_t bytes;              // data bytes of its frame
        ClaimState after;               // our state afterwards
        bool answers;                   // a SendAt comes back
        std::uint8_t source;            // from this address
        std::chrono::milliseconds due;  // after this delay
    };
    const Case cases[] = {
        {"higher NAME against Claimed: defended at once", true, kOurName + 1, 8,
         ClaimState::Claimed, true, 0x25, 0ms},
        {"equal NAME counts as ours", true, kOurName, 8, ClaimState::Claimed, true, 0x25, 0ms},
        // The other node may have started after our claim passed it: it must hear of ours.
        {"higher NAME while ClaimSent: defended at once, the claim still pending", false,
         kOurName + 1, 8, ClaimState::ClaimSent, true, 0x25, 0ms},
        // FNV-1a over EF CD AB 89 67 45 23 01 25: 0xA23547F0 = 2721400816; mod 154 = 134.
        {"lower NAME: Cannot Claim after the pseudo-random delay", true, kOurName - 1, 8,
         ClaimState::CannotClaim, true, kNullAddress, 134ms},
        {"fewer than 8 bytes are ignored", true, 0, 7, ClaimState::Claimed, false, 0, 0ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AddressClaimManager fresh{7, 3, make_local_claim_store()};
        auto [sender, receiver] = make_queue<TxCommand>();
        fresh.set_sender(std::move(sender));
        ASSERT_TRUE(fresh.start_claim(0x25, kOurName, t0));
        if (c.claimed_first) {
            fresh.timer_step(t0 + 250ms);
        }
        const Instant now = t0 + 1s;
        auto answer = fresh.on_address_claimed(claimed_by(0x25, c.other, c.bytes), false, now);
        EXPECT_EQ(fresh.claim(0x25)->state, c.after);
        ASSERT_EQ(answer.has_value(), c.answers);
        if (c.answers) {
            const auto& send = std::get<SendAt>(*answer);
            EXPECT_EQ(send.message.src_addr, c.source);
            EXPECT_EQ(send.message, address_claimed_frame(c.source, kOurName));
            EXPECT_EQ(send.at, now + c.due);
            EXPECT_FALSE(send.tag);
        }
        fresh.take_sender();
        (void)fresh.remove_claim(0x25);
    }
    EXPECT_EQ(pseudo_random_delay(kOurName, 0x25), 134ms);
    // FNV-1a over eight 00 bytes and 80: 0x48E64B7F = 1223052159; mod 154 = 21.
    EXPECT_EQ(pseudo_random_delay(0, 0x80), 21ms);
}

TEST_F(AddressClaimTest, ALostAddressLosesEveryLaterContestAndIsNotClaimedByTheTimer) {
    claim(0x25);
    ASSERT_TRUE(manager.on_address_claimed(claimed_by(0x25, 1), false, t0 + 1s));
    EXPECT_TRUE(logs().contains(Level::Info, kTarget,
                                "Other node has higher priority, giving up address 25"));
    EXPECT_TRUE(logs().contains(Level::Info, kTarget,
                                "We were protector for address 25, sending Cannot Claim"));
    // Even a higher NAME now wins against the lost claim.
    auto again = manager.on_address_claimed(claimed_by(0x25, ~0ull), false, t0 + 2s);
    ASSERT_TRUE(again);
    EXPECT_EQ(std::get<SendAt>(*again).message.src_addr, kNullAddress);
    EXPECT_EQ(manager.timer_step(t0 + 3s), std::nullopt);
    EXPECT_EQ(manager.claim(0x25)->state, ClaimState::CannotClaim);
    // Frames for addresses we do not hold change nothing.
    EXPECT_FALSE(manager.on_address_claimed(claimed_by(0x26, 1), false, t0 + 3s));
}

TEST_F(AddressClaimTest, RequestsAreAnsweredForTheGlobalAddressAndOurOwnOnly) {
    claim(0x25);
    claim(0x26);
    ASSERT_TRUE(manager.start_claim(0x27, kOurName, t0 + 1s));  // still ClaimSent
    struct Case {
        std::uint8_t to;
        std::vector<std::uint8_t> answered_from;
    };
    const Case cases[] = {{255, {0x25, 0x26}}, {0x26, {0x26}}, {0x30, {}}, {0x27, {}}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> from;
        for (const TxCommand& cmd : manager.on_request_for_claim(request(0xF9, c.to), t0 + 1s)) {
            const SendAt& send = std::get<SendAt>(cmd);
            from.push_back(send.message.src_addr);
            EXPECT_EQ(send.at, t0 + 1s + pseudo_random_delay(kOurName, send.message.src_addr));
        }
        EXPECT_EQ(from, c.answered_from) << "request to " << int(c.to);
    }
    EXPECT_TRUE(logs().contains(Level::Info, kTarget,
                                "Responding to AC request from SA F9 with our address 26 "
                                "(channel 7)"));
    // A lost claim answers as the null address.
    manager.on_address_claimed(claimed_by(0x26, 1), false, t0 + 2s);
    auto answers = manager.on_request_for_claim(request(0xF9, 0x26), t0 + 2s);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(std::get<SendAt>(answers[0]).message.src_addr, kNullAddress);
}

TEST_F(AddressClaimTest, RemovalReleasesQuietlyAndLeftoversAreReported) {
    auto missing = manager.remove_claim(0x40);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, "Address not claimed");

    claim(0x40);
    auto removed = manager.remove_claim(0x40);
    ASSERT_TRUE(removed);
    EXPECT_FALSE(*removed);  // nothing to send in local mode
    const auto changes = state_changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].state, ClaimState::Unclaimed);
    EXPECT_FALSE(changes[0].notify);
    EXPECT_TRUE(logs().contains(Level::Info, kTarget, "Address 40 on channel 7 released"));
    EXPECT_FALSE(manager.claim(0x40));

    {
        AddressClaimManager leaving{9, 4, make_local_claim_store()};
        ASSERT_TRUE(leaving.start_claim(0x41, kOurName, t0));
        ASSERT_TRUE(leaving.start_claim(0x42, kOurName, t0));
        EXPECT_EQ(leaving.release_all().size(), 0u);
        ASSERT_TRUE(leaving.start_claim(0x43, kOurName, t0));
    }
    EXPECT_TRUE(logs().contains(Level::Error, kTarget,
                                "Found leftover address claim for address 43, channel 9, "
                                "client 4"));
    EXPECT_EQ(logs().count_prefix(kTarget, "Found leftover"), 1u);
}

// The shared table's slots in memory, with a lock that the log sink below can see: no line
// may be written while it is held (on a real machine it is the named mutex every process
// waits for, and a slow log file would stall them all).
std::atomic<bool> g_table_locked{false};
std::atomic<int> g_lines_under_lock{0};

class WatchedTable final : public ClaimStore {
  public:
    bool shared() const noexcept override { return true; }
    void lock() override { g_table_locked = true; }
    void unlock() override { g_table_locked = false; }
    std::size_t slot_count() const override { return slots_.size(); }
    ClaimEntry read(std::size_t slot) const override { return slots_[slot]; }
    void write(std::size_t slot, const ClaimEntry& entry) override { slots_[slot] = entry; }
    std::optional<std::size_t> free_slot() override {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (!slots_[i].in_use()) {
                return i;
            }
        }
        return std::nullopt;
    }

  private:
    std::vector<ClaimEntry> slots_ = std::vector<ClaimEntry>(16);
};

// Counts lines written while the table is locked, and hands every line to the capture.
struct LockWatchingSink : platform::log::Sink {
    void write(Level level, std::string_view target, std::string_view text) noexcept override {
        if (g_table_locked) {
            ++g_lines_under_lock;
        }
        logs().write(level, target, text);
    }
};

// Two clients of one channel over one table: every operation that logs under the table's
// lock (claims, refusals, a full table, contests, requests, removals with hand-over, the
// leftovers of a destroyed manager) writes its lines only after the lock is released.
TEST_F(AddressClaimTest, NothingIsLoggedWhileTheSharedTableIsLocked) {
    logs();
    platform::log::uninstall();
    platform::log::install(std::make_shared<LockWatchingSink>());  // stays, forwarding
    platform::log::set_max_level(Level::Trace);
    g_lines_under_lock = 0;

    struct ProxyStore final : ClaimStore {  // a client's view of the table
        explicit ProxyStore(ClaimStore& t) : table(t) {}
        bool shared() const noexcept override { return true; }
        void lock() override { table.lock(); }
        void unlock() override { table.unlock(); }
        std::size_t slot_count() const override { return table.slot_count(); }
        ClaimEntry read(std::size_t slot) const override { return table.read(slot); }
        void write(std::size_t slot, const ClaimEntry& e) override { table.write(slot, e); }
        std::optional<std::size_t> free_slot() override { return table.free_slot(); }
        ClaimStore& table;
    };
    WatchedTable shared_table;  // outlives both managers
    AddressClaimManager second{7, 2, std::make_unique<ProxyStore>(shared_table)};
    auto first =
        std::make_unique<AddressClaimManager>(7, 1, std::make_unique<ProxyStore>(shared_table));
    auto [sender, receiver] = make_queue<TxCommand>();
    first->set_sender(sender);
    second.set_sender(sender);

    ASSERT_TRUE(first->start_claim(0x25, kOurName, t0));
    ASSERT_TRUE(second.start_claim(0x25, kOurName - 1, t0));  // the lower NAME protects
    EXPECT_EQ(second.start_claim(0x25, kOurName, t0).error().message, "Address already claimed");
    for (std::uint8_t a = 0x30; a < 0x30 + 14; ++a) {
        ASSERT_TRUE(first->start_claim(a, kOurName, t0));
    }
    EXPECT_EQ(second.start_claim(0x50, kOurName, t0).error().message, "Address list is full");
    first->timer_step(t0 + 250ms);
    second.timer_step(t0 + 250ms);
    EXPECT_EQ(second.on_request_for_claim(request(0xF9, 0x25), t0 + 1s).size(), 1u);
    EXPECT_TRUE(second.on_address_claimed(claimed_by(0x25, kOurName + 5), false, t0 + 1s));
    ASSERT_TRUE(second.remove_claim(0x25));  // hands the address to the first client
    EXPECT_TRUE(first->on_address_claimed(claimed_by(0x30, 1), false, t0 + 2s));
    first.reset();  // leftovers

    EXPECT_EQ(g_lines_under_lock, 0);
    for (const char* line : {"Maximum number of address claims reached", "Address already claimed",
                             "Responding to AC request from SA F9 with our address 25 (channel 7)",
                             "Address 25 on channel 7 now claimed by another client",
                             "We have higher priority, defending address 25",
                             "Other node has higher priority, giving up address 30",
                             "Found leftover address claim for address 25, channel 7, client 1"}) {
        EXPECT_GE(logs().count_prefix(kTarget, line), 1u) << line;
    }
}

}  // namespace
}  // namespace qzj1939lib
