// A 1785-byte RTS/CTS transfer between two J1939 channels on the paced simulated bus at
// 250 kbit/s, from the send to the sender's confirmation (after the receiver's EOMACK),
// reported as a ratio to the time the transfer's frames alone occupy the wire (the bus's
// busy time, read from the simulator in the same run). The receiver grants all 255
// packets in one CTS, or 16 per CTS. Logging is off.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <optional>

#include "platform/clock.hpp"
#include "qzj1939lib/j1939_channel.hpp"
#include "sim_fixture.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnsim/tarnsim_control.h"

namespace {

using namespace std::chrono_literals;
using namespace qzj1939lib;

const tarnlib::ChannelIdentity kChannel0{"", 0x7330130123456ULL, 10001, 0};
const tarnlib::ChannelIdentity kChannel1{"", 0x7330130123456ULL, 10001, 1};
constexpr double kRate = 250000;

struct World {
    World() {
        tarnsim_configure(config.path().c_str());
        tarnsim_reset();
        tarnsim_set_paced(1);
        tarnlib::ChannelDirectory::instance().discover();
    }
    tarnsim_test::ConfigFile config{tarnsim_test::kTwoChannels};
};

struct Node {
    Node(const char* name, const tarnlib::ChannelIdentity& identity) {
        tarnlib::CanDeviceConfiguration config;
        config.identity = identity;
        config.bus.nominal.bitrate = kRate;
        config.bus.nominal.sample_point = 0.875;
        device = tarnlib::CanDevice::create(name, tarnlib::get_or_create_bus(config.bus, identity),
                                            config);
        device->wait_until_up(20s);
        channel = J1939Channel::create(device);
        if (auto opened = channel->open()) {
            events.emplace(std::move(*opened));
        }
    }
    // Waits for the first event of the kind; false when none comes in time.
    template <class T>
    bool wait_for() {
        const Instant limit = MonotonicClock::now() + 20s;
        while (auto r = events->receive_until(limit).item) {
            if (std::holds_alternative<T>(*r)) {
                return true;
            }
        }
        return false;
    }
    bool claim(std::uint8_t address) {
        return channel->claim_address(address, address) && wait_for<AddressState>();
    }
    std::shared_ptr<tarnlib::CanDevice> device;
    std::shared_ptr<J1939Channel> channel;
    std::optional<EventReceiver> events;
};

void BM_RtsCts1785Bytes(benchmark::State& state) {
    World world;
    Node a("bench_a", kChannel0), b("bench_b", kChannel1);
    if (!a.events || !b.events || !a.claim(0x20) || !b.claim(0x30)) {
        state.SkipWithError("the channels did not come up or claim their addresses");
        return;
    }
    if (!b.channel->set_option(kOptionMaxPacketsInCts,
                               static_cast<std::uint32_t>(state.range(0)))) {
        state.SkipWithError("option refused");
        return;
    }
    J1939Message message;
    message.pgn = 0xEF00;
    message.src_addr = 0x20;
    message.dest_addr = 0x30;
    message.data = std::vector<std::uint8_t>(1785, 0x5A);
    double elapsed_total = 0;
    double wire_total = 0;
    for (auto _ : state) {
        tarnsim_bus_stats stats{};
        tarnsim_get_bus_stats(0, &stats, 1);
        const std::int64_t start = platform::monotonic_ns();
        if (!a.channel->send(message, 1) || !a.wait_for<TxConfirmed>() ||
            !b.wait_for<RxMessage>()) {
            state.SkipWithError("the transfer failed");
            return;
        }
        const double elapsed = static_cast<double>(platform::monotonic_ns() - start) / 1e9;
        tarnsim_get_bus_stats(0, &stats, 0);
        state.SetIterationTime(elapsed);
        elapsed_total += elapsed;
        wire_total += static_cast<double>(stats.busy_ns) / 1e9;
    }
    state.counters["transfer_ms"] = 1e3 * elapsed_total / static_cast<double>(state.iterations());
    state.counters["wire_ms"] = 1e3 * wire_total / static_cast<double>(state.iterations());
    state.counters["ratio_to_wire"] = elapsed_total / wire_total;
}
BENCHMARK(BM_RtsCts1785Bytes)
    ->ArgName("packets_per_cts")
    ->Arg(255)
    ->Arg(16)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
