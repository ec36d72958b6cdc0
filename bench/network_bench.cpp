// The CAN network system's devices on the simulated driver: how long a frame takes from
// entering the simulator to a CanDevice subscriber (median, 99th percentile), against a
// baseline measured in the same run (a thread blocked in the driver's read on a plain
// handle); how often an up device with nothing to do wakes up; and how much of the wire a
// sender uses that writes each frame when the previous one's transmit acknowledgement
// arrives (as the J1939 transport protocol does), against the wire limit of its frames.
// Run from the linux-release preset.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "sim_fixture.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/can_handle.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnsim/tarnsim_control.h"

namespace {

using namespace std::chrono_literals;
using namespace tarnlib;

const ChannelIdentity kChannel0{"", 0x7330130123456ULL, 10001, 0};
const ChannelIdentity kChannel1{"", 0x7330130123456ULL, 10001, 1};
constexpr std::int32_t kRate = 500000;
const std::uint8_t kData[8] = {1, 2, 3, 4, 5, 6, 7, 8};

// One interface with two channels on one bus, private to this run.
struct World {
    World() {
        tarnsim_configure(config.path().c_str());
        tarnsim_reset();
        ChannelDirectory::instance().discover();
    }
    tarnsim_test::ConfigFile config{tarnsim_test::kTwoChannels};
};

BusConfiguration classic(double rate) {
    BusConfiguration c;
    c.nominal.bitrate = rate;
    c.nominal.sample_point = 0.875;
    return c;
}

// A device named "bd" on the first channel, up at the rate; null if it does not come up.
std::shared_ptr<CanDevice> up_device(std::int32_t rate) {
    CanDeviceConfiguration configuration;
    configuration.identity = kChannel0;
    configuration.bus = classic(rate);
    auto device =
        CanDevice::create("bd", get_or_create_bus(classic(rate), kChannel0), configuration);
    return device->wait_until_up(20s) ? device : nullptr;
}

// Stamps the arrival of a frame on the receiving thread and wakes the sender.
class Arrival {
  public:
    void arrived() {
        const std::int64_t now = platform::monotonic_ns();
        {
            std::lock_guard lock(mutex_);
            at_ = now;
            got_ = true;
        }
        changed_.notify_one();
    }
    std::int64_t wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return got_; });
        got_ = false;
        return at_;
    }

  private:
    std::mutex mutex_;  // guards at_, got_
    std::condition_variable changed_;
    std::int64_t at_ = 0;
    bool got_ = false;
};

// Injects one frame per iteration and records how long it took to arrive.
std::vector<double> measure(benchmark::State& state, Arrival& arrival) {
    std::vector<double> microseconds;
    for (auto _ : state) {
        const std::int64_t start = platform::monotonic_ns();
        tarnsim_inject(0, 0x123, kData, 8, 0, kRate);
        const double seconds = static_cast<double>(arrival.wait() - start) / 1e9;
        state.SetIterationTime(seconds);
        microseconds.push_back(seconds * 1e6);
    }
    return microseconds;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

// The baseline medians of this run, for the ratios.
double baseline_median_us = 0.0;

void report(benchmark::State& state, const std::vector<double>& microseconds) {
    if (microseconds.empty()) {
        return;
    }
    state.counters["median_us"] = percentile(microseconds, 0.5);
    state.counters["p99_us"] = percentile(microseconds, 0.99);
}

void BM_Baseline_InjectToBlockedDriverRead(benchmark::State& state) {
    World world;
    auto handle = CanHandle::open(kChannel1, classic(kRate), {});
    if (!handle || handle->bus_on() != Status::tarnOK) {
        state.SkipWithError("cannot open the channel");
        return;
    }
    Arrival arrival;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            auto frames = handle->read(100);
            if (frames && !frames->empty()) {
                arrival.arrived();
            }
        }
    });
    const auto microseconds = measure(state, arrival);
    stop.store(true);
    reader.join();
    report(state, microseconds);
    baseline_median_us = percentile(microseconds, 0.5);
}
BENCHMARK(BM_Baseline_InjectToBlockedDriverRead)->UseManualTime()->Iterations(3000);

void BM_InjectToCanDeviceSubscriber(benchmark::State& state) {
    World world;
    auto device = up_device(kRate);
    if (!device) {
        state.SkipWithError("the device did not come up");
        return;
    }
    Arrival arrival;
    const auto subscription = device->subscribe([&](const NetworkEvent& event, std::int32_t) {
        if (event.kind == EventKind::Frames) {
            arrival.arrived();
        }
    });
    const auto microseconds = measure(state, arrival);
    device->unsubscribe(subscription);
    report(state, microseconds);
    if (baseline_median_us > 0.0) {
        state.counters["median_to_baseline"] = percentile(microseconds, 0.5) / baseline_median_us;
    }
}
BENCHMARK(BM_InjectToCanDeviceSubscriber)->UseManualTime()->Iterations(3000);

// Voluntary context switches (a thread blocking again after it woke) of this process's
// threads whose system name starts with the prefix.
std::uint64_t wakeups(const std::string& prefix) {
    std::uint64_t total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total += std::stoull(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

void BM_IdleWakeupsOfAnUpDevice(benchmark::State& state) {
    World world;
    auto device = up_device(kRate);
    if (!device) {
        state.SkipWithError("the device did not come up");
        return;
    }
    constexpr auto kWindow = 3s;
    for (auto _ : state) {
        // Threads "bd_step", "bd_cfg", "bd_rx"; the bus's "bus-<identity>_step".
        const std::uint64_t device_before = wakeups("bd_") + wakeups("bus-");
        const std::uint64_t simulator_before = wakeups("tarnsim");
        std::this_thread::sleep_for(kWindow);  // the idle window being measured
        const double seconds = std::chrono::duration<double>(kWindow).count();
        state.counters["device_wakeups_per_s"] =
            static_cast<double>(wakeups("bd_") + wakeups("bus-") - device_before) / seconds;
        state.counters["simulator_watcher_wakeups_per_s"] =
            static_cast<double>(wakeups("tarnsim") - simulator_before) / seconds;
    }
}
BENCHMARK(BM_IdleWakeupsOfAnUpDevice)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// Extended identifier 0x1FFFFFFF with 8 bytes 0xFF: 149 bits on the wire (worked out by
// hand in tarnsim/tests/frame_bits_test.cpp).
constexpr double kAckedFrameBits = 149.0;
constexpr std::int32_t kAckedRate = 250000;

void BM_AcknowledgementPacedSender(benchmark::State& state) {
    World world;
    // The node that acknowledges on the other channel.
    auto peer = CanHandle::open(kChannel1, classic(kAckedRate), {});
    if (!peer || peer->bus_on() != Status::tarnOK) {
        state.SkipWithError("cannot open the acknowledging node");
        return;
    }
    auto device = up_device(kAckedRate);
    if (!device) {
        state.SkipWithError("the device did not come up");
        return;
    }
    CanMessage frame;
    frame.id = 0x1FFFFFFF;
    frame.dlc = 8;
    frame.data.assign(8, 0xFF);
    frame.flag.bits = CanMsgFlags::EXT;
    constexpr int kFrames = 2000;
    std::atomic<int> acknowledged{0};
    std::vector<double> lateness;
    Arrival done;
    const auto subscription = device->subscribe([&](const NetworkEvent& event, std::int32_t) {
        if (event.kind != EventKind::Frames) {
            return;
        }
        for (const CanMessage& m : *event.frames) {
            if (m.flag.has(CanMsgFlags::TXACK)) {
                // From the end of the frame (its time stamp) to here, in microseconds.
                const auto now_us = static_cast<std::uint32_t>(platform::monotonic_ns() / 1000);
                lateness.push_back(
                    static_cast<std::int32_t>(now_us - static_cast<std::uint32_t>(m.timestamp)));
                const int n = acknowledged.fetch_add(1) + 1;
                if (n < kFrames) {
                    (void)device->write(frame);  // the next one, at once
                } else {
                    done.arrived();
                }
            }
        }
    });
    double fraction = 0.0;
    for (auto _ : state) {
        acknowledged.store(0);
        const std::int64_t start = platform::monotonic_ns();
        (void)device->write(frame);
        const double seconds = static_cast<double>(done.wait() - start) / 1e9;
        fraction = kFrames * kAckedFrameBits / kAckedRate / seconds;
    }
    device->unsubscribe(subscription);
    state.counters["fraction_of_wire_limit"] = fraction;
    // The gap between frames is how late the acknowledgement reaches the sender.
    state.counters["ack_after_end_median_us"] = percentile(lateness, 0.5);
    double sum = 0;
    for (double v : lateness) {
        sum += v;
    }
    state.counters["ack_after_end_mean_us"] = lateness.empty() ? 0.0 : sum / lateness.size();
}
BENCHMARK(BM_AcknowledgementPacedSender)->Iterations(3)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
