// The simulated driver alone: the unpaced frame rate between two handles (a write and a
// read per frame), against a baseline measured in the same run (the same frame into a
// mutex-guarded ring and out, in one process: to_baseline is how many times as long the
// simulator takes), and the paced rate of a saturated bus as a fraction of its physical
// frame rate, from the exact length of its frames. Run from the linux-release preset.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "sim_fixture.hpp"
#include "tarnlib/driver_api.h"
#include "tarnsim/tarnsim_control.h"

extern "C" {
tarnStatus TARN_CALL tarnEnumHardwareEx(int32_t*);
tarnHandle TARN_CALL tarnOpenChannel(int32_t, int32_t);
tarnStatus TARN_CALL tarnClose(tarnHandle);
tarnStatus TARN_CALL tarnSetBusParams(tarnHandle, int32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                      uint32_t);
tarnStatus TARN_CALL tarnBusOn(tarnHandle);
tarnStatus TARN_CALL tarnWrite(tarnHandle, int32_t, const void*, uint32_t, uint32_t);
tarnStatus TARN_CALL tarnReadWait(tarnHandle, int32_t*, void*, uint32_t*, uint32_t*, uint32_t*,
                                  uint32_t);
}

namespace {

// Standard identifier 0x2AA with 8 bytes 0xAA: 111 bits on the wire, no stuff bit (its
// length is worked out by hand in tarnsim/tests/frame_bits_test.cpp).
constexpr std::int32_t kId = 0x2AA;
constexpr std::uint8_t kFill = 0xAA;
constexpr double kFrameBits = 111.0;

struct Bus {
    explicit Bus(std::int32_t rate, bool paced) {
        tarnsim_configure(config.path().c_str());
        tarnsim_reset();
        tarnsim_set_paced(paced ? 1 : 0);
        std::int32_t count = 0;
        tarnEnumHardwareEx(&count);
        for (tarnHandle* h : {&tx, &rx}) {
            *h = tarnOpenChannel(h == &tx ? 0 : 1, 0);
            tarnSetBusParams(*h, rate, 11, 4, 1, 1, 0);
            tarnBusOn(*h);
        }
    }
    ~Bus() {
        tarnClose(tx);
        tarnClose(rx);
    }
    tarnsim_test::ConfigFile config{tarnsim_test::kTwoChannels};
    tarnHandle tx = -1;
    tarnHandle rx = -1;
};

bool take(tarnHandle h, std::uint32_t timeout_ms) {
    std::int32_t id = 0;
    std::uint8_t data[64];
    std::uint32_t dlc = 0, flags = 0, time = 0;
    return tarnReadWait(h, &id, data, &dlc, &flags, &time, timeout_ms) == 0;
}

// The same work without the simulator: a frame record into a ring under a mutex and out.
struct Record {
    std::int32_t id;
    std::uint32_t flags, dlc, length;
    std::int64_t time;
    std::uint8_t data[64];
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double baseline_ns_per_frame = 0.0;

void BM_Baseline_MutexRing(benchmark::State& state) {
    static Record ring[1024];
    std::mutex mutex;
    std::uint32_t head = 0, count = 0;
    const std::uint8_t data[8] = {kFill, kFill, kFill, kFill, kFill, kFill, kFill, kFill};
    Record out{};
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        {
            std::lock_guard lock(mutex);
            Record& r = ring[(head + count++) % 1024];
            r.id = kId;
            r.dlc = r.length = 8;
            std::memcpy(r.data, data, 8);
        }
        {
            std::lock_guard lock(mutex);
            out = ring[head];
            head = (head + 1) % 1024;
            --count;
        }
        benchmark::DoNotOptimize(out);
    }
    baseline_ns_per_frame = seconds_since(start) * 1e9 / static_cast<double>(state.iterations());
    state.counters["ns_per_frame"] = baseline_ns_per_frame;
}
BENCHMARK(BM_Baseline_MutexRing)->UseRealTime();

void BM_UnpacedWriteAndRead(benchmark::State& state) {
    Bus bus(1000000, false);
    const std::uint8_t data[8] = {kFill, kFill, kFill, kFill, kFill, kFill, kFill, kFill};
    std::int64_t frames = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        tarnWrite(bus.tx, kId, data, 8, 0);
        if (take(bus.rx, 1000)) {
            ++frames;
        }
    }
    const double ns_per_frame = seconds_since(start) * 1e9 / static_cast<double>(frames);
    state.counters["frames_per_s"] = 1e9 / ns_per_frame;
    state.counters["ns_per_frame"] = ns_per_frame;
    if (baseline_ns_per_frame > 0.0) {
        state.counters["to_baseline"] = ns_per_frame / baseline_ns_per_frame;
    }
}
BENCHMARK(BM_UnpacedWriteAndRead)->UseRealTime();

// The transmit queue kept full: frames arrive back to back, each after exactly its bit
// time. 1.0 is the physical frame rate of the bus.
void BM_SaturatedFractionOfPhysicalRate(benchmark::State& state) {
    const auto rate = static_cast<std::int32_t>(state.range(0));
    Bus bus(rate, true);
    const std::uint8_t data[8] = {kFill, kFill, kFill, kFill, kFill, kFill, kFill, kFill};
    std::int64_t frames = 0;
    for (auto _ : state) {
        while (tarnWrite(bus.tx, kId, data, 8, 0) == 0) {
        }
        if (take(bus.rx, 1000)) {
            ++frames;
        }
    }
    state.SetItemsProcessed(frames);
    state.counters["fraction_of_physical_rate"] = benchmark::Counter(
        static_cast<double>(frames) * kFrameBits / rate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SaturatedFractionOfPhysicalRate)
    ->Arg(125000)
    ->Arg(500000)
    ->Arg(1000000)
    ->UseRealTime()
    ->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
