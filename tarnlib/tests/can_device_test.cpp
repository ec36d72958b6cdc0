// CanDevice and BusDevice on the simulated driver: opening, receiving and sending, losing
// and finding the channel again, busy channels, reconfiguration and shared buses.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "network_fixture.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/can_handle.hpp"

namespace tarnlib {
namespace {

using namespace std::chrono_literals;
using platform::log::Level;
using test::classic;
using test::eventually;
using test::kA0;
using test::kA1;
using test::kB0;
using test::kB1;
using test::kGenerous;
using test::logs;
using test::Recorder;
using test::simulator;
using test::standard_frame;

constexpr const char* kDeviceTarget = "tarnlib::network_system::can_device";

CanDeviceConfiguration config_for(const ChannelIdentity& identity, const BusConfiguration& bus) {
    CanDeviceConfiguration c;
    c.retry_delay = 50ms;  // short, so that retries come quickly
    c.identity = identity;
    c.bus = bus;
    return c;
}

// A handle on another channel of the bus, the other node of the tests.
CanHandle open_peer(const ChannelIdentity& identity, double rate) {
    auto peer = CanHandle::open(identity, classic(rate), {});
    EXPECT_TRUE(peer);
    EXPECT_EQ(peer->bus_on(), Status::tarnOK);
    return std::move(peer.value());
}

// A device with a recorder subscribed from the start.
struct Watched {
    Watched(std::string name, std::shared_ptr<BusDevice> bus, CanDeviceConfiguration config)
        : recorder(std::make_unique<Recorder>()),
          device(CanDevice::create(std::move(name), std::move(bus), std::move(config))) {
        subscription = device->subscribe(recorder->callback());
    }
    ~Watched() {
        if (device) {
            device->unsubscribe(subscription);
        }
    }
    std::unique_ptr<Recorder> recorder;
    std::shared_ptr<CanDevice> device;
    Notifier::SubscriptionId subscription = 0;
};

using CanDeviceTest = test::NetworkTest;

TEST_F(CanDeviceTest, ComesUpReceivesAndSends) {
    auto peer = open_peer(kA1, 250000);
    auto bus = get_or_create_bus(classic(250000), kA0);
    Watched w("dev", bus, config_for(kA0, classic(250000)));
    EXPECT_EQ(w.device->name(), "dev");
    ASSERT_TRUE(w.device->wait_until_up(kGenerous));
    EXPECT_EQ(w.device->state_name(), "up");
    EXPECT_TRUE(w.device->is_open());
    // It went through opening: the open logs what it opens.
    EXPECT_TRUE(logs().contains(Level::Debug, "tarnlib",
                                "Opening bus CC 88% @ 250k excl false with channel identity "
                                "73-30130-12345-6/10001/0 and flags CanOpenFlags()"));

    // Frames the peer sends arrive in order, as sent.
    const std::vector<CanMessage> sent{standard_frame(0x101, {1}), standard_frame(0x102, {2, 3}),
                                       standard_frame(0x103, {})};
    for (const CanMessage& m : sent) {
        ASSERT_EQ(peer.write(m), Status::tarnOK);
    }
    ASSERT_TRUE(w.recorder->wait_for_frames(0x103, 1));
    const auto got = w.recorder->frames();
    ASSERT_EQ(got.size(), 3u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(got[i].id, sent[i].id);
        EXPECT_EQ(got[i].data, sent[i].data);
        EXPECT_EQ(got[i].flag, sent[i].flag);
    }

    // What the device sends reaches the peer, and comes back acknowledged.
    ASSERT_EQ(w.device->write(standard_frame(0x200, {7, 7})), Status::tarnOK);
    EXPECT_EQ(w.device->write_sync(static_cast<std::uint32_t>(kGenerous.count())), Status::tarnOK);
    auto at_peer = peer.read(static_cast<std::uint32_t>(kGenerous.count()));
    ASSERT_TRUE(at_peer);
    ASSERT_EQ(at_peer->size(), 1u);
    EXPECT_EQ((*at_peer)[0].data, (std::vector<std::uint8_t>{7, 7}));
    ASSERT_TRUE(w.recorder->wait_for_frames(0x200, 1));
    EXPECT_TRUE(w.recorder->frames().back().flag.has(CanMsgFlags::TXACK));

    EXPECT_EQ(*w.device->bus_type(), 2u);
    EXPECT_EQ(*w.device->firmware_revision(), (3ULL << 48) | (25ULL << 32) | 900);
    EXPECT_TRUE(w.device->read_status());
    auto timing = w.device->current_timing();
    ASSERT_TRUE(timing && *timing);
    EXPECT_EQ(timing->value().nominal.bitrate, 250000.0);
    EXPECT_EQ(w.recorder->count(EventKind::Down), 0u);
    // Batches come from the device's read thread.
    for (const std::string& thread : w.recorder->threads(EventKind::Frames)) {
        EXPECT_EQ(thread, "dev_rx");
    }

    // Dropping the device closes its handle.
    auto weak = std::weak_ptr<CanDevice>(w.device);
    w.device->unsubscribe(w.subscription);
    w.device.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(
        logs().count_prefix(kDeviceTarget, "Closing CAN handle 73-30130-12345-6/10001/0 hnd["), 1u);
}

TEST_F(CanDeviceTest, WithoutBusOnEndsConfigured) {
    auto bus = get_or_create_bus(classic(250000), kA0);
    auto config = config_for(kA0, classic(250000));
    config.bus_on = false;
    Watched w("dev_off", bus, config);
    ASSERT_TRUE(eventually([&] { return w.device->state_name() == "configured"; }));
    EXPECT_TRUE(w.device->is_open());
    EXPECT_FALSE(w.device->wait_until_up(0ms));
}

TEST_F(CanDeviceTest, ReconfigureReopensOnlyForAChange) {
    auto peer = open_peer(kA1, 500000);
    auto bus = get_or_create_bus(classic(500000), kA0);
    auto config = config_for(kA0, classic(500000));
    Watched w("dev_re", bus, config);
    ASSERT_TRUE(w.device->wait_until_up(kGenerous));
    const std::uint64_t attempts = w.device->open_attempts();
    w.recorder->clear();

    EXPECT_FALSE(w.device->reconfigure(config));
    EXPECT_EQ(w.device->state_name(), "up");

    config.bus = classic(250000);
    EXPECT_TRUE(w.device->reconfigure(config));
    EXPECT_EQ(w.device->configuration(), config);
    ASSERT_TRUE(w.recorder->wait_for_count(EventKind::Up, 1));
    EXPECT_EQ(w.recorder->kinds(), (std::vector<EventKind>{EventKind::Down, EventKind::Up}));
    EXPECT_EQ(w.recorder->threads(EventKind::Down),
              (std::vector<std::string>{"dev_re_cfg"}));  // re-evaluated on its own thread
    EXPECT_EQ(w.device->open_attempts(), attempts + 1);
    // The bus timing stays the bus's; the reopened device receives.
    ASSERT_EQ(peer.write(standard_frame(0x300, {3})), Status::tarnOK);
    EXPECT_TRUE(w.recorder->wait_for_frames(0x300, 1));
}

TEST_F(CanDeviceTest, UnpluggedWhileUpRetriesAndComesBackReceiving) {
    auto peer = open_peer(kB1, 250000);
    auto bus = get_or_create_bus(classic(250000), kB0);
    Watched w("dev_unplug", bus, config_for(kB0, classic(250000)));
    ASSERT_TRUE(w.device->wait_until_up(kGenerous));
    ASSERT_EQ(peer.write(standard_frame(0x10, {1})), Status::tarnOK);
    ASSERT_TRUE(w.recorder->wait_for_frames(0x10, 1));
    w.recorder->clear();

    simulator().plug(1, false);
    // The simulator fails every call on the lost interface's handles, writes too.
    EXPECT_EQ(peer.write(standard_frame(0x11, {})), Status::tarnERR_NOCARD);
    EXPECT_EQ(peer.read(0).error(), Status::tarnERR_NOCARD);

    // The read thread ends on the error and has the machine re-evaluate: up -> waiting ->
    // opening -> missing, by itself.
    ASSERT_TRUE(w.recorder->wait_for_count(EventKind::Missing, 1));
    EXPECT_EQ(w.recorder->kinds(), (std::vector<EventKind>{EventKind::Down, EventKind::Missing}));
    EXPECT_EQ(w.recorder->threads(EventKind::Down), (std::vector<std::string>{"dev_unplug_cfg"}));
    EXPECT_TRUE(
        logs().contains(Level::Error, kDeviceTarget,
                        "Failed to read from CAN handle: tarnERR_NOCARD, exiting read thread"));
    EXPECT_TRUE(logs().contains(Level::Error, kDeviceTarget,
                                "Failed to bus off CAN handle during up state exit: "
                                "tarnERR_NOCARD"));
    EXPECT_FALSE(w.device->is_open());
    EXPECT_EQ(w.device->write(standard_frame(0x12, {})), Status::tarnERR_INVHANDLE);
    EXPECT_FALSE(w.device->current_timing().has_value());

    // Missing retries every retry delay.
    const std::uint64_t attempts = w.device->open_attempts();
    ASSERT_TRUE(eventually([&] { return w.device->open_attempts() >= attempts + 3; }));
    EXPECT_EQ(w.device->state_name(), "missing");
    EXPECT_EQ(w.recorder->count(EventKind::Missing), 1u);  // published on entry only

    simulator().plug(1, true);
    ASSERT_TRUE(w.recorder->wait_for_count(EventKind::Up, 1));
    EXPECT_EQ(w.device->state_name(), "up");
    auto new_peer = open_peer(kB1, 250000);
    ASSERT_EQ(new_peer.write(standard_frame(0x13, {4})), Status::tarnOK);
    EXPECT_TRUE(w.recorder->wait_for_frames(0x13, 1));
}

TEST_F(CanDeviceTest, MissingBeforeItEverOpenedComesUpWhenPluggedIn) {
    simulator().plug(1, false);
    auto bus = get_or_create_bus(classic(250000), kB0);
    Watched w("dev_late", bus, config_for(kB0, classic(250000)));
    ASSERT_TRUE(eventually([&] { return w.device->state_name() == "missing"; }));
    const std::uint64_t attempts = w.device->open_attempts();
    ASSERT_TRUE(eventually([&] { return w.device->open_attempts() >= attempts + 2; }));

    simulator().plug(1, true);
    ASSERT_TRUE(w.device->wait_until_up(kGenerous));
    auto peer = open_peer(kB1, 250000);
    ASSERT_EQ(peer.write(standard_frame(0x20, {})), Status::tarnOK);
    EXPECT_TRUE(w.recorder->wait_for_frames(0x20, 1));
}

TEST_F(CanDeviceTest, ChannelHeldExclusivelyElsewhereIsBusyUntilReleased) {
    BusConfiguration exclusive = classic(250000);
    exclusive.exclusive = true;
    auto holder = CanHandle::open(kA0, exclusive, CanOpenFlags{CanOpenFlags::EXCLUSIVE});
    ASSERT_TRUE(holder);

    auto bus = get_or_create_bus(classic(250000), kA0);
    Watched w("dev_busy", bus, config_for(kA0, classic(250000)));
    ASSERT_TRUE(eventually([&] { return w.device->state_name() == "busy"; }));
    // Retried after each retry delay, each time refused again.
    ASSERT_TRUE(w.recorder->wait_for_count(EventKind::Busy, 3));
    auto kinds = w.recorder->kinds();
    while (!kinds.empty() && kinds.front() != EventKind::Busy) {
        kinds.erase(kinds.begin());  // the subscription may have come after the first Busy
    }
    kinds.resize(5);
    EXPECT_EQ(kinds, (std::vector<EventKind>{EventKind::Busy, EventKind::Down, EventKind::Busy,
                                             EventKind::Down, EventKind::Busy}));
    ASSERT_EQ(holder->close(), Status::tarnOK);
    EXPECT_TRUE(w.device->wait_until_up(kGenerous));
}

TEST_F(CanDeviceTest, ExclusiveDeviceKeepsTheOthersOffUntilItLetsGo) {
    auto bus = get_or_create_bus(classic(250000), kA0);
    auto exclusive = config_for(kA0, classic(250000));
    exclusive.exclusive = true;
    Watched owner("dev_owner", bus, exclusive);
    ASSERT_TRUE(owner.device->wait_until_up(kGenerous));
    owner.recorder->clear();
    EXPECT_TRUE(bus->configuration().exclusive);
    EXPECT_TRUE(logs().contains(Level::Debug, kDeviceTarget,
                                "CanDevice::opening: 73-30130-12345-6/10001/0 claimed exclusive "
                                "access to bus"));

    // Another device is refused by the exclusive bus; one that wants exclusive access too
    // cannot claim it and waits in busy as well.
    Watched plain("dev_plain", bus, config_for(kA0, classic(250000)));
    Watched rival("dev_rival", bus, exclusive);
    ASSERT_TRUE(plain.recorder->wait_for_count(EventKind::Busy, 2));
    ASSERT_TRUE(rival.recorder->wait_for_count(EventKind::Busy, 2));
    EXPECT_TRUE(logs().contains(Level::Warn, "tarnlib",
                                "Bus CC 88% @ 250k requires exclusive access, but exclusive flag "
                                "not set"));
    EXPECT_TRUE(logs().contains(Level::Debug, kDeviceTarget,
                                "CanDevice::opening: 73-30130-12345-6/10001/0 failed to claim "
                                "exclusive access to bus"));
    rival.device.reset();
    // Its own claim did not make the owner reopen: it stayed up.
    EXPECT_TRUE(owner.recorder->kinds().empty());

    // Letting go: the owner releases the claim and reopens; the other device follows.
    auto released = exclusive;
    released.exclusive = false;
    ASSERT_TRUE(owner.device->reconfigure(released));
    ASSERT_TRUE(plain.device->wait_until_up(kGenerous));
    EXPECT_TRUE(owner.device->wait_until_up(kGenerous));
    EXPECT_FALSE(bus->configuration().exclusive);
    EXPECT_TRUE(logs().contains(Level::Debug, kDeviceTarget,
                                "CanDevice::opening: 73-30130-12345-6/10001/0 released exclusive "
                                "access to bus"));
}

TEST_F(CanDeviceTest, DroppedExclusiveDeviceLeavesNoClaimBehind) {
    auto bus = get_or_create_bus(classic(250000), kA0);
    auto exclusive = config_for(kA0, classic(250000));
    exclusive.exclusive = true;
    {
        Watched owner("dev_gone", bus, exclusive);
        ASSERT_TRUE(owner.device->wait_until_up(kGenerous));
    }
    EXPECT_FALSE(bus->configuration().exclusive);
    Watched next("dev_next", bus, config_for(kA0, classic(250000)));
    EXPECT_TRUE(next.device->wait_until_up(kGenerous));
}

TEST_F(CanDeviceTest, DevicesOfOneChannelShareItsBus) {
    auto bus = get_or_create_bus(classic(250000), kA0);
    EXPECT_EQ(bus->name(), "bus-73-30130-12345-6/10001/0");
    EXPECT_EQ(get_or_create_bus(classic(250000), kA0), bus);
    EXPECT_EQ(find_bus(kA0), bus);
    EXPECT_EQ(find_bus(kA1), nullptr);

    // Another timing gets the same bus, and the mismatch is logged.
    auto third = get_or_create_bus(classic(500000), kA0);
    EXPECT_EQ(third, bus);
    EXPECT_TRUE(logs().contains(Level::Info, "tarnlib",
                                "Existing BusDevice timing does not match requested bus config: "
                                "\n\texisting=CC 88% @ 250k, \n\trequested=CC 88% @ 500k"));
    EXPECT_TRUE(timing_matches(bus->configuration(), classic(250000)));
    EXPECT_FALSE(timing_matches(bus->configuration(), classic(500000)));

    // Two devices on it each have their own handle and hear each other (local echo).
    Watched first("dev_first", bus, config_for(kA0, classic(250000)));
    Watched second("dev_second", get_or_create_bus(classic(250000), kA0),
                   config_for(kA0, classic(250000)));
    EXPECT_EQ(second.device->bus(), first.device->bus());
    ASSERT_TRUE(first.device->wait_until_up(kGenerous));
    ASSERT_TRUE(second.device->wait_until_up(kGenerous));
    ASSERT_EQ(first.device->write(standard_frame(0x55, {5})), Status::tarnOK);
    ASSERT_TRUE(second.recorder->wait_for_frames(0x55, 1));
    EXPECT_TRUE(second.recorder->frames().back().flag.has(CanMsgFlags::LOCAL_TXACK));

    // A timing change reaches both devices, which reopen with it.
    first.recorder->clear();
    second.recorder->clear();
    bus->set_timing(classic(500000));
    ASSERT_TRUE(first.recorder->wait_for_count(EventKind::Up, 1));
    ASSERT_TRUE(second.recorder->wait_for_count(EventKind::Up, 1));
    EXPECT_EQ(first.recorder->kinds(), (std::vector<EventKind>{EventKind::Down, EventKind::Up}));
    EXPECT_TRUE(eventually([&] {
        auto timing = first.device->current_timing();
        return timing && *timing && timing->value().nominal.bitrate == 500000.0;
    }));

    // The bus lives as long as someone holds it; then the channel gets a new one.
    std::weak_ptr<BusDevice> weak = bus;
    bus.reset();
    third.reset();
    first.device.reset();
    EXPECT_FALSE(weak.expired());
    second.device.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(find_bus(kA0), nullptr);
    auto fresh = get_or_create_bus(classic(125000), kA0);
    EXPECT_EQ(fresh->configuration().nominal.bitrate, 125000.0);
}

using BusDeviceTest = test::NetworkTest;

TEST_F(BusDeviceTest, ChangesOnlyWhatDiffersAndSaysSoFromItsThread) {
    Recorder recorder;  // outlives the bus, which notifies it until it is gone
    BusConfiguration named = classic(250000);
    named.name = "J1939";
    auto bus = get_or_create_bus(named, kA1);
    EXPECT_EQ(bus->state_name(), "up");
    EXPECT_TRUE(bus->is_up());
    bus->notifier().subscribe(recorder.callback());

    // An equal timing sends nothing: the first thing the bus says is the Down asked for.
    bus->set_timing(classic(250000.0004));
    bus->request_state(false);
    ASSERT_TRUE(recorder.wait_for_count(EventKind::Down, 1));
    EXPECT_EQ(recorder.kinds(), (std::vector<EventKind>{EventKind::Down}));
    EXPECT_EQ(recorder.threads(EventKind::Down),
              (std::vector<std::string>{"bus-73-30130-12345-6/10001/1_step"}));
    EXPECT_FALSE(bus->is_up());
    EXPECT_TRUE(eventually([&] { return bus->state_name() == "down"; }));
    bus->request_state(true);
    ASSERT_TRUE(recorder.wait_for_count(EventKind::Up, 1));

    // The claim changes once; each change is re-evaluated.
    EXPECT_TRUE(bus->claim_exclusive(true));
    EXPECT_FALSE(bus->claim_exclusive(true));
    ASSERT_TRUE(recorder.wait_for_count(EventKind::Reevaluate, 1));
    EXPECT_TRUE(bus->claim_exclusive(false));
    ASSERT_TRUE(recorder.wait_for_count(EventKind::Reevaluate, 2));

    // A new timing keeps the bus's name and claim.
    EXPECT_TRUE(bus->claim_exclusive(true));
    bus->set_timing(classic(500000, 0.8));
    ASSERT_TRUE(eventually([&] { return bus->configuration().nominal.bitrate == 500000.0; }));
    EXPECT_EQ(bus->configuration().nominal.sample_point, 0.8);
    EXPECT_EQ(bus->configuration().name, std::optional<std::string>("J1939"));
    EXPECT_TRUE(bus->configuration().exclusive);
}

TEST(TimingMatch, ComparesKindAndEachPhaseWithinTheExistingTolerances) {
    BusConfiguration existing = classic(250000, 0.875);
    existing.nominal.bitrate_tolerance = 10.0;
    EXPECT_TRUE(timing_matches(existing, classic(250010, 0.8755)));
    EXPECT_FALSE(timing_matches(existing, classic(250011, 0.875)));
    EXPECT_FALSE(timing_matches(existing, classic(250000, 0.877)));
    // Tolerances are the existing bus's, not the request's.
    BusConfiguration loose = classic(250005);
    loose.nominal.bitrate_tolerance = 100.0;
    EXPECT_FALSE(timing_matches(classic(250000), loose));

    BusConfiguration fd = classic(500000, 0.8);
    fd.kind = BusKind::Fd;
    fd.data.bitrate = 2000000;
    fd.data.sample_point = 0.7;
    EXPECT_FALSE(timing_matches(fd, classic(500000, 0.8)));
    EXPECT_TRUE(timing_matches(fd, fd));
    BusConfiguration other_data = fd;
    other_data.data.bitrate = 4000000;
    EXPECT_FALSE(timing_matches(fd, other_data));
    // The data phase of a classic timing is not looked at.
    BusConfiguration classic_with_data = classic(500000, 0.8);
    classic_with_data.data.bitrate = 1;
    EXPECT_TRUE(timing_matches(classic(500000, 0.8), classic_with_data));
}

}  // namespace
}  // namespace tarnlib
