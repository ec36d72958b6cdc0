// Throughput of the simulated driver: the unpaced frame rate between two handles, and the
// paced rate as a fraction of what the bus can physically carry.

#include <benchmark/benchmark.h>

#include <cstdint>

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
tarnStatus TARN_CALL tarnRead(tarnHandle, int32_t*, void*, uint32_t*, uint32_t*, uint32_t*);
}

namespace {

// An 8-byte standard frame without stuff bits: 47 + 64 bits.
constexpr double kMinFrameBits = 111.0;

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

void BM_UnpacedFrameRate(benchmark::State& state) {
    Bus bus(1000000, false);
    const std::uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::int64_t frames = 0;
    for (auto _ : state) {
        tarnWrite(bus.tx, 0x123, data, 8, 0);
        if (take(bus.rx, 1000)) {
            ++frames;
        }
    }
    state.SetItemsProcessed(frames);
}
BENCHMARK(BM_UnpacedFrameRate);

void BM_PacedFractionOfLimit(benchmark::State& state) {
    const auto rate = static_cast<std::int32_t>(state.range(0));
    Bus bus(rate, true);
    const std::uint8_t data[8] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    std::int64_t frames = 0;
    for (auto _ : state) {
        // Keep the transmit queue full and take whatever has arrived.
        while (tarnWrite(bus.tx, 0x555, data, 8, 0) == 0) {
        }
        if (take(bus.rx, 1000)) {
            ++frames;
        }
    }
    state.SetItemsProcessed(frames);
    state.counters["fraction_of_limit"] = benchmark::Counter(
        static_cast<double>(frames) * kMinFrameBits / rate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PacedFractionOfLimit)
    ->Arg(125000)
    ->Arg(500000)
    ->Arg(1000000)
    ->UseRealTime()
    ->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
