// Automatic bit-rate detection on the simulated driver, with foreign nodes injected into the
// simulated bus.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "network_fixture.hpp"
#include "platform/event.hpp"
#include "tarnlib/autobaud_device.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/can_handle.hpp"

namespace tarnlib {
namespace {

using namespace std::chrono_literals;
using test::classic;
using test::kA0;
using test::kA1;
using test::kGenerous;
using test::Recorder;
using test::simulator;

constexpr int kBus0 = 0;

// The timings the RP1210 clients try, in their order.
std::vector<BusConfiguration> system_candidates() {
    return {classic(250000), classic(500000), classic(1000000, 0.75), classic(125000)};
}

// A foreign node on bus 0 that sends a frame every few milliseconds until it is dropped:
// its period is the node's, the tests wait for what the detector makes of it.
class Node {
  public:
    Node(std::int32_t bitrate, std::uint32_t flags)
        : thread_([this, bitrate, flags] {
              std::uint8_t counter = 0;
              do {
                  simulator().inject(kBus0, 0x123, {counter++, 0xAA}, flags, bitrate);
              } while (stop_.wait_for(5ms) == platform::WaitResult::TimedOut);
          }) {}
    ~Node() {
        stop_.set();
        thread_.join();
    }

  private:
    platform::Event stop_{platform::Event::Reset::Manual};
    std::thread thread_;
};

// The nominal rates of the timing reports, a rate repeated in a row counted once.
std::vector<double> reported_rates(const Recorder& recorder) {
    std::vector<double> rates;
    for (const NetworkEvent& e : recorder.events()) {
        if (e.kind == EventKind::TimingReport &&
            (rates.empty() || rates.back() != e.timing->nominal.bitrate)) {
            rates.push_back(e.timing->nominal.bitrate);
        }
    }
    return rates;
}

struct Detector {
    explicit Detector(AutoBaudOptions options, const ChannelIdentity& identity = kA0)
        : recorder(std::make_unique<Recorder>()) {
        auto created = AutoBaudDevice::create(identity, std::move(options));
        EXPECT_TRUE(created);
        device = std::move(created.value());
        device->subscribe(recorder->callback());
    }
    std::unique_ptr<Recorder> recorder;
    std::shared_ptr<AutoBaudDevice> device;
};

using AutoBaudTest = test::NetworkTest;

TEST_F(AutoBaudTest, FindsTheRateOfANodeAndRunsTheBusAtIt) {
    Node node(500000, 0);
    AutoBaudOptions options;
    options.candidates = system_candidates();
    options.dwell = 50ms;
    Detector d(std::move(options));
    EXPECT_EQ(d.device->name(), "autobaud-fsm-None");
    EXPECT_EQ(d.device->can_device()->name(), "candevice-autobaud-None");

    ASSERT_TRUE(d.recorder->wait_for_count(EventKind::Up, 1));
    EXPECT_EQ(d.device->state_name(), "up");
    const NetworkEvent up = d.recorder->events().back();
    ASSERT_TRUE(up.timing);
    EXPECT_EQ(up.timing->nominal.bitrate, 500000.0);
    // Watched last (the subscription may have missed the first report).
    EXPECT_EQ(reported_rates(*d.recorder).back(), 500000.0);

    // The bus runs at the found timing, and its device is an ordinary one now.
    auto bus = d.device->bus();
    EXPECT_EQ(bus->configuration().nominal.bitrate, 500000.0);
    EXPECT_FALSE(bus->configuration().exclusive);
    const std::shared_ptr<CanDevice> device = d.device->can_device();
    EXPECT_FALSE(device->configuration().silent);
    EXPECT_FALSE(device->configuration().exclusive);
    ASSERT_TRUE(device->wait_until_up(kGenerous));
    auto timing = device->current_timing();
    ASSERT_TRUE(timing && *timing);
    EXPECT_EQ(timing->value().nominal.bitrate, 500000.0);
    EXPECT_TRUE(test::eventually([&] { return bus->is_up(); }));

    // Another device on the channel comes up at that rate.
    CanDeviceConfiguration config;
    config.identity = kA0;
    config.bus = classic(500000);
    auto other =
        CanDevice::create("after_autobaud", get_or_create_bus(classic(500000), kA0), config);
    EXPECT_TRUE(other->wait_until_up(kGenerous));

    // The detector may go while its device stays with whoever holds it.
    d.device.reset();
    EXPECT_EQ(device->state_name(), "up");
}

TEST_F(AutoBaudTest, WithoutTrafficItCyclesForEverAndErrorFramesAreNoTraffic) {
    // No candidate runs at 333 kbit/s: the device only ever gets error frames from this
    // node, and some error frames on top.
    Node mismatched(333333, 0);
    Node error_frames(250000, TARN_MSG_ERROR_FRAME);
    Recorder seen;  // outlives the detector and its device
    AutoBaudOptions options;
    options.candidates = system_candidates();
    options.dwell = 30ms;
    Detector d(std::move(options));
    const auto subscription = d.device->can_device()->subscribe(seen.callback());

    // Three full rounds, each candidate after the one before it.
    ASSERT_TRUE(test::eventually([&] { return reported_rates(*d.recorder).size() >= 13; }));
    const std::vector<double> rates = reported_rates(*d.recorder);
    const auto candidates = system_candidates();
    std::size_t at = 0;
    while (candidates[at].nominal.bitrate != rates[0]) {
        ASSERT_LT(++at, candidates.size());
    }
    for (std::size_t i = 1; i < 13; ++i) {
        at = (at + 1) % candidates.size();
        EXPECT_EQ(rates[i], candidates[at].nominal.bitrate) << i;
    }
    EXPECT_EQ(d.recorder->count(EventKind::Up), 0u);
    EXPECT_NE(d.device->state_name(), "up");
    EXPECT_NE(d.device->state_name(), "reconfiguring");
    EXPECT_TRUE(d.device->can_device()->configuration().silent);
    // What the device did receive were error frames.
    const auto frames = seen.frames();
    EXPECT_FALSE(frames.empty());
    for (const CanMessage& m : frames) {
        EXPECT_TRUE(m.flag.has(CanMsgFlags::ERROR_FRAME));
    }
    d.device->can_device()->unsubscribe(subscription);
}

TEST_F(AutoBaudTest, OverallLimitEndsInFailTimeout) {
    AutoBaudOptions options;
    options.candidates = system_candidates();
    options.dwell = 30ms;
    options.overall_limit = 400ms;
    Detector d(std::move(options));
    ASSERT_TRUE(d.recorder->wait_for_count(EventKind::DetectionFailed, 1));
    EXPECT_EQ(d.device->state_name(), "fail_timeout");
    EXPECT_EQ(d.recorder->count(EventKind::Up), 0u);
}

TEST_F(AutoBaudTest, DetectorDroppedMidwayGivesTheBusBack) {
    AutoBaudOptions options;
    options.candidates = system_candidates();
    options.dwell = 30ms;
    Detector d(std::move(options));
    // Past the first candidate the bus is down for every device but the detector's.
    ASSERT_TRUE(test::eventually([&] { return reported_rates(*d.recorder).size() >= 2; }));
    std::shared_ptr<BusDevice> bus = d.device->bus();
    ASSERT_TRUE(test::eventually([&] { return !bus->is_up(); }));

    d.device.reset();
    EXPECT_TRUE(test::eventually([&] { return bus->is_up(); }));
    CanDeviceConfiguration config;
    config.identity = kA0;
    config.bus = bus->configuration();
    auto other = CanDevice::create("after_failure", bus, config);
    EXPECT_TRUE(other->wait_until_up(kGenerous));
}

TEST_F(AutoBaudTest, ProbeFrameFromTheSecondRoundFindsAnAcknowledgingNode) {
    // A node that only acknowledges: it never sends by itself.
    auto peer = CanHandle::open(kA1, classic(500000), {});
    ASSERT_TRUE(peer);
    ASSERT_EQ(peer->bus_on(), Status::tarnOK);

    AutoBaudOptions options;
    options.candidates = {classic(500000)};
    options.dwell = 30ms;
    options.probe = test::standard_frame(0x7DF, {0x02, 0x01, 0x00});
    Detector d(std::move(options));
    // One candidate: the first round listens silently, the second sends the probe, which the
    // node acknowledges.
    ASSERT_TRUE(d.recorder->wait_for_count(EventKind::Up, 1));
    EXPECT_EQ(d.device->bus()->configuration().nominal.bitrate, 500000.0);
    auto at_peer = peer->read(static_cast<std::uint32_t>(kGenerous.count()));
    ASSERT_TRUE(at_peer);
    ASSERT_FALSE(at_peer->empty());
    EXPECT_EQ((*at_peer)[0].id, 0x7DFu);
}

TEST_F(AutoBaudTest, PassesOnMissingAndBusyOfItsDevice) {
    simulator().plug(1, false);
    AutoBaudOptions options;
    options.candidates = system_candidates();
    options.dwell = 30ms;
    // The device's first Missing or Busy may come before the test subscribes: the states
    // say what the detector made of it.
    Detector missing(options, test::kB0);
    ASSERT_TRUE(
        test::eventually([&] { return missing.device->can_device()->state_name() == "missing"; }));
    EXPECT_EQ(missing.device->state_name(), "waiting_for_can");

    auto holder = CanHandle::open(kA0, classic(250000), {});
    ASSERT_TRUE(holder);
    Detector busy(options);  // its exclusive open is refused
    ASSERT_TRUE(
        test::eventually([&] { return busy.device->can_device()->state_name() == "busy"; }));
    EXPECT_EQ(busy.device->state_name(), "waiting_for_can");
    // Busy is published again on each retry, and the detector passes it on.
    EXPECT_TRUE(busy.recorder->wait_for_count(EventKind::Busy, 1));
}

TEST_F(AutoBaudTest, NeedsCandidatesUnlessTheChannelHasABus) {
    auto refused = AutoBaudDevice::create(kA0, {});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "timings list can not be empty");

    // With a bus for the channel its timing is the candidate; its name names the machine.
    BusConfiguration named = classic(250000);
    named.name = "J1939";
    auto bus = get_or_create_bus(named, kA0);
    auto detector = AutoBaudDevice::create(kA0, {});
    ASSERT_TRUE(detector);
    EXPECT_EQ((*detector)->name(), "autobaud-fsm-Some(\"J1939\")");
    EXPECT_EQ((*detector)->can_device()->name(), "candevice-autobaud-Some(\"J1939\")");
    EXPECT_EQ((*detector)->bus(), bus);
}

}  // namespace
}  // namespace tarnlib
