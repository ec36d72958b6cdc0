// Raw CAN through the exports of the built library on the simulated interface: frames per
// second from the simulator to RP1210_ReadMessage, the latency from a peer's write to the
// return of a blocked read, and the processor time idle connected clients cost.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "can_world.hpp"

#ifdef __linux__
#include <sys/resource.h>
#endif

namespace {

using qz121032::testing::CanWorld;
using qz121032::testing::Peer;

struct Clients {
    explicit Clients(int count, long rx_size = 1 << 20) {
        auto& api = CanWorld::get().api();
        for (int n = 0; n < count; ++n) {
            const short id = api.ClientConnect(nullptr, 1, "CAN:Baud=1000", 0, rx_size, 0);
            if (id <= 0 || id > 127) {
                std::fprintf(stderr, "connect failed: %d\n", id);
                std::abort();
            }
            char pass[1];
            api.SendCommand(3, id, pass, 0);
            char timeout[2] = {static_cast<char>(200), static_cast<char>(100)};
            api.SendCommand(215, id, timeout, 2);
            ids.push_back(id);
        }
    }
    ~Clients() {
        for (short id : ids) {
            CanWorld::get().api().ClientDisconnect(id);
        }
    }
    std::vector<short> ids;
};

// Unpaced wire: how fast frames get from the driver through every client's listener and
// buffer to the application's read, per client.
void BM_FramesToReadMessage(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    CanWorld::get().set_paced(0);
    Clients clients(count);
    Peer peer(1000000);
    // Below the driver's receive queue (1024 frames): the unpaced wire delivers at once.
    constexpr int kBatch = 500;
    std::int64_t frames = 0;
    for (auto _ : state) {
        std::vector<std::thread> readers;
        for (short id : clients.ids) {
            readers.emplace_back([id] {
                char buffer[32];
                for (int n = 0; n < kBatch; ++n) {
                    if (CanWorld::get().api().ReadMessage(id, buffer, sizeof buffer, 1) <= 0) {
                        std::fprintf(stderr, "a frame did not arrive\n");
                        std::abort();
                    }
                }
            });
        }
        for (int n = 0; n < kBatch; ++n) {
            (void)peer.send(0x100, {static_cast<std::uint8_t>(n), 0, 0, 0, 0, 0, 0, 0}, false);
        }
        for (auto& r : readers) {
            r.join();
        }
        frames += kBatch;
    }
    CanWorld::get().set_paced(1);
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FramesToReadMessage)->Arg(1)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);

// One frame at a time on the paced 1 Mbit/s wire: peer write to the blocked read's return.
void BM_WriteToBlockedReadLatency(benchmark::State& state) {
    Clients clients(1);
    Peer peer(1000000);
    const short id = clients.ids.front();
    std::vector<double> samples;
    for (auto _ : state) {
        std::atomic<std::int64_t> returned{0};
        std::thread reader([&] {
            char buffer[32];
            CanWorld::get().api().ReadMessage(id, buffer, sizeof buffer, 1);
            returned = platform::monotonic_ns();
        });
        // The reader is blocked once nothing else is left to do; a short settling time
        // keeps the measurement about the wake-up, not the thread start.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::int64_t written = platform::monotonic_ns();
        (void)peer.send(0x7E8, {1, 2, 3, 4, 5, 6, 7, 8}, false);
        reader.join();
        samples.push_back(static_cast<double>(returned.load() - written) / 1000.0);
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
        // An 8-byte standard frame is at least 111 bit times on the wire.
        state.counters["wire_time_us"] = 111.0;
    }
}
BENCHMARK(BM_WriteToBlockedReadLatency)->Iterations(300)->Unit(benchmark::kMillisecond);

#ifdef __linux__
double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Ten connected clients on a quiet bus: processor time per second of wall time.
void BM_IdleClientsCpu(benchmark::State& state) {
    Clients clients(10);
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const double cpu_start = process_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += process_cpu_seconds() - cpu_start;
    }
    state.counters["cpu_ms_per_s"] = 1000.0 * cpu / wall;
}
BENCHMARK(BM_IdleClientsCpu)->Iterations(1)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
