// The hardware status: client counts per channel across processes, the status record, the
// activity window and the channel key. Every test uses blocks of its own names; the real
// block stays with the library.
//
// Multi-process cases start this binary again as "<binary> --child <mode> <args...>",
// which main() serves before GoogleTest starts.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "hw_status.hpp"
#include "platform/clock.hpp"
#include "platform/event.hpp"
#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "platform/shared_memory.hpp"
#include "qzj1939lib/shared_memory_block.hpp"

namespace qz121032 {
namespace {

constexpr std::uint32_t kKey = 0x1234ABCD;

struct Names {
    std::string block;
    std::string mutex;
};

Names unique_names() {
    static std::atomic<int> counter{0};
    const std::string block = "QZ121032_HW_STATUS_TEST_" +
                              std::to_string(platform::current_process_id()) + "_" +
                              std::to_string(counter++);
    return {block, block + "_LOCK"};
}

std::shared_ptr<HardwareStatus> open_status(const Names& names) {
    auto status = HardwareStatus::open_named(names.block, names.mutex);
    EXPECT_TRUE(status) << (status ? "" : status.error());
    return status ? *status : nullptr;
}

// A second view of the same block, for reading and seeding entries word by word.
struct RawView {
    qzj1939lib::SharedMemoryBlock block;

    std::atomic_ref<std::uint32_t> word(std::size_t entry, std::size_t index) const {
        return std::atomic_ref<std::uint32_t>(
            *reinterpret_cast<std::uint32_t*>(block.data() + entry * 40 + index * 4));
    }
};

RawView raw_view(const Names& names) {
    return RawView{
        std::move(qzj1939lib::SharedMemoryBlock::open_or_create(names.block, 1280).value())};
}

bool eventually(const std::function<bool()>& condition) {
    const std::int64_t limit = platform::monotonic_ns() + 20'000'000'000;
    while (!condition()) {
        if (platform::monotonic_ns() > limit) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// A reusable barrier for a fixed number of threads. (std::barrier of the mingw runtime has
// been seen to hang under wine.)
class Barrier {
  public:
    explicit Barrier(int count) : count_(count) {}
    void arrive_and_wait() {
        std::unique_lock lock(mutex_);
        const std::uint64_t generation = generation_;
        if (++arrived_ == count_) {
            arrived_ = 0;
            ++generation_;
            lock.unlock();
            all_arrived_.notify_all();
            return;
        }
        all_arrived_.wait(lock, [&] { return generation_ != generation; });
    }

  private:
    const int count_;
    std::mutex mutex_;  // guards arrived_ and generation_
    int arrived_ = 0;
    std::uint64_t generation_ = 0;
    std::condition_variable all_arrived_;
};

// Child: args block mutex control key. Registers a CAN client on the key, reports ready in
// word 0 of the control block, waits for word 1, unregisters.
int register_child(const std::vector<std::string>& args) {
    auto status = HardwareStatus::open_named(args.at(0), args.at(1));
    auto control = platform::SharedMemory::open(args.at(2), 64);
    if (!status || !control) {
        return 10;
    }
    auto* words = static_cast<std::uint32_t*>(control->data());
    const auto key = static_cast<std::uint32_t>(std::stoul(args.at(3)));
    (*status)->register_client(key, ProtocolMarker::Can);
    std::atomic_ref<std::uint32_t>(words[0]).store(1);
    if (!eventually([&] { return std::atomic_ref<std::uint32_t>(words[1]).load() == 1; })) {
        return 11;
    }
    (*status)->unregister_client(key, ProtocolMarker::Can);
    return 0;
}

// Words of the control block that a test shares with its children.
constexpr std::size_t kStop = 0;       // set by the parent: churners stop
constexpr std::size_t kFinish = 1;     // set by the parent: a live churner ends
constexpr std::size_t kChurnDone = 2;  // set by a live churner when it has stopped
constexpr std::size_t kReady = 8;      // first of the ready flags, one per child slot
constexpr std::size_t kControlWords = 64;

struct Control {
    std::string name;
    platform::SharedMemory block;

    std::atomic_ref<std::uint32_t> word(std::size_t index) const {
        return std::atomic_ref<std::uint32_t>(static_cast<std::uint32_t*>(block.data())[index]);
    }
};

std::optional<Control> open_control(const std::string& name) {
    auto block = platform::SharedMemory::open(name, 4 * kControlWords);
    if (!block) {
        return std::nullopt;
    }
    return Control{name, std::move(*block)};
}

[[noreturn]] void block_until_killed() {
    platform::Event never;
    for (;;) {
        never.wait();
    }
}

// The ready flag of a "hold" child, set by its pause too.
std::atomic<std::uint32_t*> ready_flag{nullptr};

// Child: args block mutex control slot then (key marker) pairs, among which the word
// "pause" may stand. Registers the clients, sets its ready flag and waits to be killed.
// The registration after "pause" stops half done instead, holding the access mutex, and
// sets the ready flag there.
int hold_child(const std::vector<std::string>& args) {
    auto status = HardwareStatus::open_named(args.at(0), args.at(1));
    auto control = open_control(args.at(2));
    if (!status || !control) {
        return 10;
    }
    ready_flag.store(static_cast<std::uint32_t*>(control->block.data()) + kReady +
                     std::stoul(args.at(3)));
    for (std::size_t i = 4; i < args.size(); i += 2) {
        if (args[i] == "pause") {
            HardwareStatus::set_registration_pause_for_tests([] {
                std::atomic_ref<std::uint32_t>(*ready_flag.load()).store(1);
                block_until_killed();
            });
            --i;
            continue;
        }
        (*status)->register_client(static_cast<std::uint32_t>(std::stoul(args.at(i))),
                                   static_cast<ProtocolMarker>(std::stoul(args.at(i + 1))));
    }
    std::atomic_ref<std::uint32_t>(*ready_flag.load()).store(1);
    block_until_killed();
}

// Connects and disconnects clients on two channels over and over, beside one CAN client on
// the first that stays: what a live application does while others come and go. Counts its
// rounds in `rounds`; returns when `stop` is set, with only the steady client left.
void churn(HardwareStatus& status, std::uint32_t key, std::uint32_t other_key,
           std::atomic_ref<std::uint32_t> rounds, const std::function<bool()>& stop) {
    while (!stop()) {
        status.register_client(key, ProtocolMarker::J1939);
        status.register_client(other_key, ProtocolMarker::Can);
        status.register_client(key, ProtocolMarker::Other);
        status.unregister_client(key, ProtocolMarker::J1939);
        status.register_client(other_key, ProtocolMarker::J1939);
        status.unregister_client(other_key, ProtocolMarker::Can);
        status.unregister_client(key, ProtocolMarker::Other);
        status.unregister_client(other_key, ProtocolMarker::J1939);
        rounds.fetch_add(1);
    }
}

// Child: args block mutex control slot key other_key. Registers the steady client and
// churns, counting rounds in its ready word, until stopped (or killed); then reports done,
// waits for the finish and unregisters.
int churn_child(const std::vector<std::string>& args) {
    auto status = HardwareStatus::open_named(args.at(0), args.at(1));
    auto control = open_control(args.at(2));
    if (!status || !control) {
        return 10;
    }
    const auto key = static_cast<std::uint32_t>(std::stoul(args.at(4)));
    const auto other_key = static_cast<std::uint32_t>(std::stoul(args.at(5)));
    (*status)->register_client(key, ProtocolMarker::Can);
    churn(**status, key, other_key, control->word(kReady + std::stoul(args.at(3))),
          [&] { return control->word(kStop).load() != 0; });
    control->word(kChurnDone).store(1);
    if (!eventually([&] { return control->word(kFinish).load() != 0; })) {
        return 11;
    }
    (*status)->unregister_client(key, ProtocolMarker::Can);
    return 0;
}

// Keys of the entries in use.
std::vector<std::uint32_t> keys_in_use(const RawView& raw) {
    std::vector<std::uint32_t> keys;
    for (std::size_t i = 0; i < HardwareStatus::kEntries; ++i) {
        if (const std::uint32_t key = raw.word(i, 0).load(); key != 0) {
            keys.push_back(key);
        }
    }
    return keys;
}

TEST(HardwareStatus, CountsClientsAndFreesTheEntryWithTheLast) {
    const Names names = unique_names();
    auto status = open_status(names);
    ASSERT_TRUE(status);
    const RawView raw = raw_view(names);
    EXPECT_FALSE(status->polling());

    status->register_client(kKey, ProtocolMarker::Can);
    status->register_client(kKey, ProtocolMarker::Can);
    status->register_client(kKey, ProtocolMarker::Other);
    EXPECT_TRUE(status->polling());
    // Entry 0, words 0 to 4: key, clients, CAN, J1939, other.
    EXPECT_EQ(raw.word(0, 0).load(), kKey);
    EXPECT_EQ(raw.word(0, 1).load(), 3u);
    EXPECT_EQ(raw.word(0, 2).load(), 2u);
    EXPECT_EQ(raw.word(0, 3).load(), 0u);
    EXPECT_EQ(raw.word(0, 4).load(), 1u);
    // Little-endian in the block.
    EXPECT_EQ(raw.block.data()[0], 0xCD);
    EXPECT_EQ(raw.block.data()[3], 0x12);

    const auto record = status->status(kKey, {});
    EXPECT_EQ(record[1], 3);
    EXPECT_EQ(record[6], 0x01);
    EXPECT_EQ(record[7], 2);
    EXPECT_EQ(record[2], 0) << "no J1939 client";
    EXPECT_EQ(record[3], 0);

    status->unregister_client(kKey, ProtocolMarker::Other);
    status->unregister_client(kKey, ProtocolMarker::Can);
    EXPECT_EQ(raw.word(0, 1).load(), 1u);
    EXPECT_TRUE(status->polling());
    raw.word(0, 5).store(1);
    status->unregister_client(kKey, ProtocolMarker::Can);
    for (std::size_t w = 0; w < 10; ++w) {
        EXPECT_EQ(raw.word(0, w).load(), 0u) << "word " << w;
    }
    EXPECT_FALSE(status->polling()) << "the last unregistration stops the poll thread";
    std::array<std::uint8_t, 64> idle{};
    idle[0] = 1;
    EXPECT_EQ(status->status(kKey, {}), idle);

    // A further unregistration finds nothing and changes nothing.
    status->unregister_client(kKey, ProtocolMarker::Can);
    EXPECT_EQ(raw.word(0, 1).load(), 0u);
}

TEST(HardwareStatus, AFullTableRecordsNothingUntilAnEntryIsFreed) {
    const Names names = unique_names();
    auto status = open_status(names);
    ASSERT_TRUE(status);
    for (std::uint32_t key = 1; key <= 32; ++key) {
        status->register_client(key, ProtocolMarker::J1939);
    }
    status->register_client(100, ProtocolMarker::J1939);
    EXPECT_EQ(status->status(100, {})[1], 0);
    status->unregister_client(100, ProtocolMarker::J1939);
    EXPECT_TRUE(status->polling()) << "32 registrations remain";

    // Another process whose client found the table full as well.
    auto other = open_status(names);
    ASSERT_TRUE(other);
    other->register_client(100, ProtocolMarker::J1939);

    status->unregister_client(7, ProtocolMarker::J1939);
    status->register_client(100, ProtocolMarker::J1939);
    EXPECT_EQ(status->status(100, {})[1], 1);
    EXPECT_EQ(raw_view(names).word(6, 0).load(), 100u) << "the freed entry is reused";
    other->unregister_client(100, ProtocolMarker::J1939);
    EXPECT_EQ(status->status(100, {})[1], 1) << "a client that was never counted takes nothing off";
    for (std::uint32_t key = 1; key <= 32; ++key) {
        if (key != 7) {
            status->unregister_client(key, ProtocolMarker::J1939);
        }
    }
    status->unregister_client(100, ProtocolMarker::J1939);
    EXPECT_FALSE(status->polling());
}

TEST(HardwareStatus, ClientsOfTwoProcessesCountOnOneChannel) {
    const Names names = unique_names();
    auto status = open_status(names);
    ASSERT_TRUE(status);
    const std::string control_name = names.block + "_CONTROL";
    auto control = platform::SharedMemory::open(control_name, 64);
    ASSERT_TRUE(control) << control.error().what;
    auto* words = static_cast<std::uint32_t*>(control->data());

    status->register_client(kKey, ProtocolMarker::Can);
    auto child = platform::ChildProcess::spawn(
        platform::current_executable_path(),
        {"--child", "register", names.block, names.mutex, control_name, std::to_string(kKey)});
    ASSERT_TRUE(child) << child.error().what;
    ASSERT_TRUE(eventually([&] { return std::atomic_ref<std::uint32_t>(words[0]).load() == 1; }));

    const auto record = status->status(kKey, {});
    EXPECT_EQ(record[1], 2);
    EXPECT_EQ(record[6] & 0x01, 0x01);
    EXPECT_EQ(record[7], 2);

    std::atomic_ref<std::uint32_t>(words[1]).store(1);
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(status->status(kKey, {})[1], 1);
    EXPECT_EQ(status->status(kKey, {})[7], 1);
    status->unregister_client(kKey, ProtocolMarker::Can);
}

// The tests with children that are killed: a block of their own, a control block shared
// with the children, and a raw view of the block.
class HardwareStatusOwners : public ::testing::Test {
  protected:
    void SetUp() override {
        status = open_status(names);
        ASSERT_TRUE(status);
        control = open_control(names.block + "_CONTROL");
        ASSERT_TRUE(control);
        raw.emplace(raw_view(names));
    }

    // Starts this binary in a child mode on the test's block and control block.
    platform::Result<platform::ChildProcess> spawn(const std::string& mode,
                                                   std::vector<std::string> more) const {
        std::vector<std::string> args = {"--child", mode, names.block, names.mutex, control->name};
        args.insert(args.end(), more.begin(), more.end());
        return platform::ChildProcess::spawn(platform::current_executable_path(), args);
    }
    bool ready(std::size_t slot, std::uint32_t at_least = 1) const {
        return eventually([&] { return control->word(kReady + slot).load() >= at_least; });
    }
    std::vector<std::uint32_t> keys_in_use() const { return qz121032::keys_in_use(*raw); }

    const Names names = unique_names();
    std::shared_ptr<HardwareStatus> status;
    std::optional<Control> control;
    std::optional<RawView> raw;
};

// A process killed with clients on the survivor's channel and on a channel of its own: the
// survivor's poll thread takes its clients back and frees the entry of its own channel.
TEST_F(HardwareStatusOwners, TheClientsOfAKilledProcessAreTakenBack) {
    constexpr std::uint32_t kOwnKey = 0x00C0FFEE;

    status->register_client(kKey, ProtocolMarker::Can);
    auto child = spawn("hold", {"0", std::to_string(kKey), "0", std::to_string(kKey), "0",
                                std::to_string(kOwnKey), "1"});
    ASSERT_TRUE(child) << child.error().what;
    ASSERT_TRUE(ready(0));
    EXPECT_EQ(status->status(kKey, {})[1], 3);
    EXPECT_EQ(status->status(kKey, {})[7], 3);
    EXPECT_EQ(status->status(kOwnKey, {})[3], 1);

    child->kill_hard();
    EXPECT_EQ(child->wait(), -1);
    ASSERT_TRUE(eventually([&] { return status->status(kKey, {})[1] == 1; }));
    const auto record = status->status(kKey, {});
    EXPECT_EQ(record[7], 1);
    EXPECT_EQ(record[6], 0x01);
    EXPECT_EQ(keys_in_use(), std::vector<std::uint32_t>{kKey});

    status->unregister_client(kKey, ProtocolMarker::Can);
    EXPECT_TRUE(keys_in_use().empty());
}

// A process killed in the middle of a registration, holding the access mutex: the next
// holder takes the mutex and undoes the half-done change, and the rest of the killed
// process's clients are taken back as usual.
TEST_F(HardwareStatusOwners, AProcessKilledHalfwayThroughARegistrationLeavesNothingHalfDone) {
    status->register_client(kKey, ProtocolMarker::Can);
    const std::string key = std::to_string(kKey);
    auto child = spawn("hold", {"0", key, "0", "pause", key, "1"});
    ASSERT_TRUE(child) << child.error().what;
    ASSERT_TRUE(ready(0));
    EXPECT_EQ(raw->word(0, 3).load(), 1u) << "the J1939 client is counted in the entry";
    child->kill_hard();
    EXPECT_EQ(child->wait(), -1);

    EXPECT_EQ(status->status(kKey, {})[3], 0) << "the half-done registration is undone";
    ASSERT_TRUE(eventually([&] { return status->status(kKey, {})[1] == 1; }));
    EXPECT_EQ(status->status(kKey, {})[7], 1);
    status->unregister_client(kKey, ProtocolMarker::Can);
    EXPECT_TRUE(keys_in_use().empty());
}

// Processes killed on more channels than the table has entries, while this process holds
// the block without clients (so without a poll thread): a registration that finds the
// table full takes the dead processes' entries back and gets one.
TEST_F(HardwareStatusOwners, ProcessesKilledOnManyChannelsDoNotFillTheTable) {
    constexpr int kGroups = 5;
    constexpr int kGroupSize = 8;

    for (int group = 0; group < kGroups; ++group) {
        std::vector<platform::ChildProcess> children;
        for (int slot = 0; slot < kGroupSize; ++slot) {
            control->word(kReady + slot).store(0);
            const std::uint32_t key = 1000 + group * kGroupSize + slot;
            auto child = spawn("hold", {std::to_string(slot), std::to_string(key), "0"});
            ASSERT_TRUE(child) << child.error().what;
            children.push_back(std::move(*child));
        }
        for (int slot = 0; slot < kGroupSize; ++slot) {
            ASSERT_TRUE(ready(slot));
        }
        for (auto& child : children) {
            child.kill_hard();
            EXPECT_EQ(child.wait(), -1);
        }
    }
    EXPECT_FALSE(status->polling());

    status->register_client(kKey, ProtocolMarker::J1939);
    const auto record = status->status(kKey, {});
    EXPECT_EQ(record[1], 1);
    EXPECT_EQ(record[3], 1);
    EXPECT_TRUE(eventually([&] { return keys_in_use() == std::vector<std::uint32_t>{kKey}; }))
        << keys_in_use().size() << " entries in use";
    status->unregister_client(kKey, ProtocolMarker::J1939);
}

// Two live processes connect and disconnect clients on two channels while a third, doing
// the same, is killed again and again: the steady clients of the live ones stay counted
// throughout, and once the killed ones are taken back the counts are exactly theirs.
TEST_F(HardwareStatusOwners, ClientsOfLiveProcessesAreNeverTakenBack) {
    constexpr int kKills = 12;
    constexpr std::uint32_t kOtherKey = 0x0BADF00D;
    const std::string key = std::to_string(kKey);
    const std::string other_key = std::to_string(kOtherKey);

    status->register_client(kKey, ProtocolMarker::Can);
    auto live = spawn("churn", {"0", key, other_key});
    ASSERT_TRUE(live) << live.error().what;
    std::uint32_t own_rounds = 0;
    std::jthread own_churn([&](std::stop_token stop) {
        churn(*status, kKey, kOtherKey, std::atomic_ref<std::uint32_t>(own_rounds),
              [&] { return stop.stop_requested(); });
    });
    ASSERT_TRUE(ready(0));

    for (int kill = 0; kill < kKills; ++kill) {
        control->word(kReady + 1).store(0);
        auto victim = spawn("churn", {"1", key, other_key});
        ASSERT_TRUE(victim) << victim.error().what;
        // Killed after a varying number of rounds, so at varying points of a round.
        const std::uint32_t rounds = 1 + (kill * 7) % 23;
        ASSERT_TRUE(ready(1, rounds));
        victim->kill_hard();
        EXPECT_EQ(victim->wait(), -1);
        const auto record = status->status(kKey, {});
        EXPECT_GE(record[1], 2) << "after kill " << kill;
        EXPECT_GE(record[7], 2) << "after kill " << kill;
    }

    own_churn.request_stop();
    own_churn.join();
    control->word(kStop).store(1);
    ASSERT_TRUE(eventually([&] { return control->word(kChurnDone).load() == 1; }));
    const auto exact = [&] {
        const auto record = status->status(kKey, {});
        return record[1] == 2 && record[7] == 2 && record[3] == 0 &&
               keys_in_use() == std::vector<std::uint32_t>{kKey} &&
               raw->word(0, 4).load() == 0;  // the first registration took entry 0
    };
    EXPECT_TRUE(eventually(exact))
        << "clients " << int{status->status(kKey, {})[1]} << ", CAN "
        << int{status->status(kKey, {})[7]} << ", J1939 " << int{status->status(kKey, {})[3]}
        << ", " << keys_in_use().size() << " entries in use";
    control->word(kFinish).store(1);
    EXPECT_EQ(live->wait_for(std::chrono::seconds(60)), std::optional<int>(0));
    status->unregister_client(kKey, ProtocolMarker::Can);
    EXPECT_TRUE(keys_in_use().empty());
}

TEST(HardwareStatus, CanAndJ1939OnOneChannelFillBothStatusPairs) {
    const Names names = unique_names();
    auto status = open_status(names);
    ASSERT_TRUE(status);
    status->register_client(kKey, ProtocolMarker::Can);
    status->register_client(kKey, ProtocolMarker::J1939);
    status->register_client(kKey, ProtocolMarker::J1939);

    // Bus off (bit 1 of the driver's status word) shows in both status bytes.
    const auto record = status->status(kKey, {2, 0x02});
    std::array<std::uint8_t, 64> expected{};
    expected[0] = 1;  // bus type 2
    expected[1] = 3;
    expected[2] = 0x05;
    expected[3] = 2;
    expected[6] = 0x05;
    expected[7] = 1;
    EXPECT_EQ(record, expected);
    EXPECT_EQ(status->status(kKey, {2, 0xFD})[2], 0x01) << "bus-off bit only";

    status->unregister_client(kKey, ProtocolMarker::J1939);
    status->unregister_client(kKey, ProtocolMarker::J1939);
    EXPECT_EQ(status->status(kKey, {})[2], 0);
    EXPECT_EQ(status->status(kKey, {})[3], 0);
    status->unregister_client(kKey, ProtocolMarker::Can);
}

TEST(HardwareStatus, InterfaceKindFollowsTheDriverBusType) {
    const Names names = unique_names();
    auto status = open_status(names);
    ASSERT_TRUE(status);
    const std::vector<std::pair<std::optional<std::uint32_t>, std::uint8_t>> cases = {
        {1, 3}, {2, 1}, {3, 5}, {4, 3}, {0, 1}, {5, 1}, {0xFFFFFFFF, 1}, {std::nullopt, 1}};
    for (const auto& [bus_type, kind] : cases) {
        EXPECT_EQ(status->status(kKey, {bus_type, std::nullopt})[0], kind)
            << "bus type " << bus_type.value_or(999);
    }
}

// The window logic stepped by hand: the entry is seeded in the block directly, so that no
// poll thread of this process runs beside the steps.
TEST(HardwareStatus, ActivityCountsForTheCurrentAndThePreviousWindow) {
    const Names names = unique_names();
    auto status = open_status(names);
    ASSERT_TRUE(status);
    const RawView raw = raw_view(names);
    raw.word(3, 0).store(kKey);
    raw.word(3, 1).store(1);
    raw.word(3, 2).store(1);
    const auto traffic = [&] { return (status->status(kKey, {})[6] & 0x02) != 0; };
    const auto window_start = [&] {
        return static_cast<std::uint64_t>(raw.word(3, 9).load()) << 32 | raw.word(3, 8).load();
    };

    constexpr std::uint64_t t0 = 1'700'000'000'000;  // ms since 1970
    EXPECT_FALSE(traffic());
    status->report_activity(kKey);
    status->report_activity(0x0BADBEEF);  // no entry: nothing
    EXPECT_TRUE(traffic());

    status->poll_once(t0);  // first window change: the activity moves to word 6
    EXPECT_EQ(window_start(), t0);
    EXPECT_EQ(raw.word(3, 5).load(), 0u);
    EXPECT_EQ(raw.word(3, 6).load(), 1u);
    EXPECT_TRUE(traffic());

    status->poll_once(t0 + 999);   // within the window
    status->poll_once(t0 - 5000);  // a clock that went back counts as no time
    EXPECT_EQ(window_start(), t0);
    EXPECT_TRUE(traffic());

    status->poll_once(t0 + 1000);  // no traffic in the window that ended
    EXPECT_EQ(window_start(), t0 + 1000);
    EXPECT_FALSE(traffic());

    // Activity reported late in a window survives the next change.
    status->report_activity(kKey);
    status->poll_once(t0 + 2500);
    EXPECT_TRUE(traffic());

    // Every process steps the same window: only the first one changes it.
    auto other = open_status(names);
    ASSERT_TRUE(other);
    other->poll_once(t0 + 2500);
    EXPECT_TRUE(traffic()) << "a second change in the same instant would have cleared it";
    other->poll_once(t0 + 3500);
    EXPECT_FALSE(traffic());

    // Free entries are left alone.
    raw.word(4, 5).store(1);
    status->poll_once(t0 + 10'000);
    EXPECT_EQ(raw.word(4, 5).load(), 1u);
    EXPECT_EQ(raw.word(4, 8).load(), 0u);
}

// Poll steps of several processes (here: several openers on threads) that meet the same
// window change at the same instant: exactly one of them moves the window and carries the
// activity over; a second mover would take the already-cleared flag and lose it.
TEST(HardwareStatus, RacingPollStepsChangeAWindowOnce) {
    constexpr int kPollers = 4;
    constexpr int kRounds = 2000;
    const Names names = unique_names();
    std::vector<std::shared_ptr<HardwareStatus>> pollers;
    for (int i = 0; i < kPollers; ++i) {
        pollers.push_back(open_status(names));
        ASSERT_TRUE(pollers.back());
    }
    const RawView raw = raw_view(names);
    raw.word(0, 0).store(kKey);

    Barrier sync(kPollers + 1);
    std::atomic<std::uint64_t> now{1'700'000'000'000};
    std::vector<std::thread> threads;
    for (int i = 0; i < kPollers; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < kRounds; ++round) {
                sync.arrive_and_wait();  // activity reported, instant set
                pollers[i]->poll_once(now.load());
                sync.arrive_and_wait();  // all stepped
            }
        });
    }
    int lost = 0;
    for (int round = 0; round < kRounds; ++round) {
        raw.word(0, 5).store(1);
        now += 1000;
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        lost += raw.word(0, 6).load() == 1 ? 0 : 1;
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(lost, 0);
}

TEST(HardwareStatus, ChannelKeyIsFnv1aOverTheIdentity) {
    // Golden vectors from the FNV-1a definition (offset basis 0x811C9DC5, prime 16777619)
    // applied to the byte strings below by a separate calculation:
    //   FF, then 20 zero bytes                                             -> 0x761680AE
    //   "bus A", FF, 56 34 12 30 01 73 07 00, 11 27 00 00 00 00 00 00,
    //   01 00 00 00                                                        -> 0x03C94B5D
    EXPECT_EQ(channel_key({}), 0x761680AEu);
    EXPECT_EQ(channel_key({"bus A", 0x0007330130123456, 10001, 1}), 0x03C94B5Du);
    EXPECT_NE(channel_key({"", 0x0007330130123456, 10001, 0}),
              channel_key({"", 0x0007330130123456, 10001, 1}));
}

}  // namespace
}  // namespace qz121032

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--child") {
        const std::string mode = argv[2];
        const std::vector<std::string> args(argv + 3, argv + argc);
        if (mode == "register") {
            return qz121032::register_child(args);
        }
        if (mode == "hold") {
            return qz121032::hold_child(args);
        }
        if (mode == "churn") {
            return qz121032::churn_child(args);
        }
        return 100;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
