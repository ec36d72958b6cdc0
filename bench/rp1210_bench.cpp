// Raw CAN through the exports of the built library on the simulated interface, with
// logging off (DebugLevel -1, as the example INI ships). Each figure comes with the
// baseline it is measured against in the same run:
//   - frames from the unpaced simulator to RP1210_ReadMessage, for 1 and 8 clients, as a
//     fraction of the simulator alone (a write and a read through two driver handles);
//   - the time from the end of a frame on the paced 1 Mbit/s wire to the return of a
//     blocked RP1210_ReadMessage, against the machine's thread wake-up time (a condition
//     variable's notify to the return of the thread blocked on it) and the frame time;
//     how late a raised thread's timed wait ends is shown beside it;
//   - the processor time ten idle connected clients cost;
//   - the real-world case: 8 clients in 2 processes on one channel, the bus loaded to 100 %
//     at 1 Mbit/s for 10 s by a node on the other channel: frames lost and processor time
//     of both processes per delivered frame, with the context switches per delivered frame
//     and what they cost at the measured price of a wake-up.
// Run from the linux-release preset; repeat and take medians on a shared machine.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "can_world.hpp"
#include "platform/event.hpp"
#include "platform/process.hpp"
#include "platform/thread.hpp"

#ifdef __linux__
#include <sys/resource.h>
#endif

namespace {

using namespace std::chrono_literals;
using qz121032::testing::CanWorld;
using qz121032::testing::Peer;

// An 8-byte standard frame at 1 Mbit/s takes 111 to 131 bit times with its stuff bits.
constexpr double kFrameTimeUs = 131.0;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double process_cpu_seconds() {
#ifdef __linux__
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#else
    return 0.0;
#endif
}

// Context switches of every thread of the process so far: each is a thread going to sleep
// (it will have to be woken) or being preempted.
double process_context_switches() {
#ifdef __linux__
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
#else
    return 0.0;
#endif
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// Connected clients on the first channel that pass every frame; a blocking read waits at
// most 100 ms.
struct Clients {
    Clients(qz121032::Rp1210Library& api, int count) : api_(api) {
        for (int n = 0; n < count; ++n) {
            const short id = api.ClientConnect(nullptr, 1, "CAN:Baud=1000", 0, 1 << 20, 0);
            if (id <= 0 || id > 127) {
                std::fprintf(stderr, "connect failed: %d\n", id);
                std::abort();
            }
            char pass[1];
            api.SendCommand(3, id, pass, 0);
            char timeout[2] = {1, 100};
            api.SendCommand(215, id, timeout, 2);
            ids.push_back(id);
        }
    }
    ~Clients() {
        for (short id : ids) {
            api_.ClientDisconnect(id);
        }
    }
    Clients(const Clients&) = delete;
    Clients& operator=(const Clients&) = delete;

    qz121032::Rp1210Library& api_;
    std::vector<short> ids;
};

CanWorld& world() {
    qz121032::testing::world_debug_level() = -1;
    return CanWorld::get();
}

// ---- frames to RP1210_ReadMessage, against the simulator alone ----

double simulator_alone_frames_per_s = 0.0;

// Two handles of the simulated driver: one writes, the other reads each frame.
void BM_Baseline_SimulatorAlone(benchmark::State& state) {
    world().set_paced(0);
    Peer sender(1000000, 1);
    Peer receiver(1000000, 0);
    auto& driver = sender.handle();
    tarnlib::CanMessage frame;
    frame.id = 0x100;
    frame.dlc = 8;
    frame.data = {1, 2, 3, 4, 5, 6, 7, 8};
    frame.flag.bits = tarnlib::CanMsgFlags::STD;
    std::int64_t frames = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        (void)driver.write(frame);
        auto batch = receiver.handle().read(1000);
        frames += batch ? static_cast<std::int64_t>(batch->size()) : 0;
    }
    simulator_alone_frames_per_s = static_cast<double>(frames) / seconds_since(start);
    world().set_paced(1);
    state.counters["frames_per_s"] = simulator_alone_frames_per_s;
}
BENCHMARK(BM_Baseline_SimulatorAlone)->UseRealTime();

// Every client reads every frame a peer sends on the unpaced wire, each in its own thread
// blocked in RP1210_ReadMessage.
void BM_FramesToReadMessage(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    auto& api = world().api();
    world().set_paced(0);
    Clients clients(api, count);
    Peer peer(1000000);
    // Below the driver's receive queue (1024 frames): the unpaced wire delivers at once.
    constexpr int kBatch = 500;
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> read{0};
    std::vector<std::thread> readers;
    for (short id : clients.ids) {
        readers.emplace_back([&api, &stop, &read, id] {
            char buffer[32];
            while (!stop.load()) {
                if (api.ReadMessage(id, buffer, sizeof buffer, 1) > 0) {
                    read.fetch_add(1);
                }
            }
        });
    }
    std::int64_t frames = 0;
    const auto start = std::chrono::steady_clock::now();
    const double switches_start = process_context_switches();
    for (auto _ : state) {
        for (int n = 0; n < kBatch; ++n) {
            (void)peer.send(0x100, {static_cast<std::uint8_t>(n), 0, 0, 0, 0, 0, 0, 0}, false);
        }
        frames += kBatch;
        const std::int64_t expected = frames * count;
        while (read.load() < expected) {
            std::this_thread::yield();
        }
    }
    const double deliveries_per_s = static_cast<double>(frames * count) / seconds_since(start);
    state.counters["switches_per_delivery"] =
        (process_context_switches() - switches_start) / static_cast<double>(frames * count);
    stop.store(true);
    for (auto& r : readers) {
        r.join();
    }
    world().set_paced(1);
    state.counters["deliveries_per_s"] = deliveries_per_s;
    if (simulator_alone_frames_per_s > 0.0) {
        state.counters["to_simulator_alone"] = deliveries_per_s / simulator_alone_frames_per_s;
    }
}
BENCHMARK(BM_FramesToReadMessage)->Arg(1)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- latency, against the machine's wake-up time ----

double wake_up_median_us = 0.0;
double wake_up_cpu_us = 0.0;
double timer_lateness_median_us = 0.0;

// Two threads that take turns through a condition variable: the time from a notify to the
// return of the thread blocked on it, and the processor time one such wake-up costs.
void BM_Baseline_ThreadWakeUp(benchmark::State& state) {
    std::mutex mutex;  // guards turn, notified_at, stop
    std::condition_variable changed;
    int turn = 0;
    std::int64_t notified_at = 0;
    bool stop = false;
    std::vector<double> samples;
    std::thread other([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return turn == 1 || stop; });
            if (stop) {
                return;
            }
            samples.push_back(static_cast<double>(platform::monotonic_ns() - notified_at) / 1000);
            turn = 0;
            notified_at = platform::monotonic_ns();
            changed.notify_all();
        }
    });
    std::int64_t wake_ups = 0;
    const double cpu_start = process_cpu_seconds();
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        turn = 1;
        notified_at = platform::monotonic_ns();
        changed.notify_all();
        changed.wait(lock, [&] { return turn == 0; });
        samples.push_back(static_cast<double>(platform::monotonic_ns() - notified_at) / 1000);
        wake_ups += 2;
    }
    wake_up_cpu_us = 1e6 * (process_cpu_seconds() - cpu_start) / static_cast<double>(wake_ups);
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    other.join();
    wake_up_median_us = percentile(samples, 0.5);
    state.counters["median_us"] = wake_up_median_us;
    state.counters["p99_us"] = percentile(samples, 0.99);
    state.counters["cpu_us_per_wake_up"] = wake_up_cpu_us;
}
BENCHMARK(BM_Baseline_ThreadWakeUp)->Iterations(20000)->Unit(benchmark::kMillisecond);

// How late a timed wait of a raised thread (as the device read thread is) ends: the floor
// of anything that happens at the end of a frame, which only a timer can tell.
void BM_Baseline_TimerLateness(benchmark::State& state) {
    std::vector<double> samples;
    std::thread waiter([&] {
        platform::raise_current_thread_priority();
        platform::Event event;
        for (auto _ : state) {
            const std::int64_t due = platform::monotonic_ns() + 150'000;
            event.wait_until(due);
            samples.push_back(static_cast<double>(platform::monotonic_ns() - due) / 1000);
        }
    });
    waiter.join();
    timer_lateness_median_us = percentile(samples, 0.5);
    state.counters["median_us"] = timer_lateness_median_us;
    state.counters["p99_us"] = percentile(samples, 0.99);
}
BENCHMARK(BM_Baseline_TimerLateness)->Iterations(2000)->Unit(benchmark::kMillisecond);

// One frame at a time on the paced 1 Mbit/s wire; the end of the frame is its time stamp
// (the peer's transmit acknowledgement carries it, in microseconds).
void BM_EndOfWireToBlockedRead(benchmark::State& state) {
    auto& api = world().api();
    Clients clients(api, 1);
    Peer peer(1000000);
    const short id = clients.ids.front();
    std::atomic<std::int64_t> returned_ns{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buffer[32];
        while (!stop.load()) {
            if (api.ReadMessage(id, buffer, sizeof buffer, 1) > 0) {
                returned_ns.store(platform::monotonic_ns());
            }
        }
    });
    std::vector<double> samples;
    for (auto _ : state) {
        std::this_thread::sleep_for(1ms);  // the reader is blocked again, the bus idle
        returned_ns.store(0);
        (void)peer.send(0x7E8, {1, 2, 3, 4, 5, 6, 7, 8}, false);
        const auto acks = peer.acknowledgements(1);
        while (returned_ns.load() == 0) {
            std::this_thread::yield();
        }
        if (acks.size() == 1) {
            const auto returned_us = static_cast<std::uint32_t>(returned_ns.load() / 1000);
            const auto end_us = static_cast<std::uint32_t>(acks.front().timestamp);
            samples.push_back(static_cast<double>(static_cast<std::int32_t>(returned_us - end_us)));
        }
    }
    stop.store(true);
    reader.join();
    const double median = percentile(samples, 0.5);
    const double p99 = percentile(samples, 0.99);
    state.counters["median_us"] = median;
    state.counters["p99_us"] = p99;
    state.counters["p99_to_frame_time"] = p99 / kFrameTimeUs;
    if (wake_up_median_us > 0.0) {
        state.counters["median_to_wake_up"] = median / wake_up_median_us;
    }
    if (timer_lateness_median_us > 0.0) {
        state.counters["median_to_timed_wake_up"] = median / timer_lateness_median_us;
    }
}
BENCHMARK(BM_EndOfWireToBlockedRead)->Iterations(1000)->Unit(benchmark::kMillisecond);

// ---- idle cost ----

#ifdef __linux__
// Ten connected clients on a quiet bus: processor time per second of wall time.
void BM_IdleClientsCpu(benchmark::State& state) {
    Clients clients(world().api(), 10);
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        std::this_thread::sleep_for(500ms);  // settled after connecting
        const double cpu_start = process_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        wall += seconds_since(start);
        cpu += process_cpu_seconds() - cpu_start;
    }
    state.counters["cpu_ms_per_s"] = 1000.0 * cpu / wall;
}
BENCHMARK(BM_IdleClientsCpu)->Iterations(1)->Unit(benchmark::kMillisecond);
#endif

// ---- 8 clients in 2 processes, 100 % load at 1 Mbit/s ----

constexpr int kClientsPerProcess = 4;
constexpr auto kLoadTime = 10s;

// Counts what each client reads until `sent` is known and reached, or until reads after
// that found nothing for a second (the frames it did not get are lost).
struct LoadReaders {
    LoadReaders(qz121032::Rp1210Library& api, const std::vector<short>& ids) {
        counts = std::vector<std::atomic<std::int64_t>>(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            threads.emplace_back([this, &api, id = ids[i], i] {
                char buffer[32];
                int idle = 0;  // reads in a row that timed out (100 ms each) after the end
                for (;;) {
                    const short n = api.ReadMessage(id, buffer, sizeof buffer, 1);
                    if (n > 0) {
                        counts[i].fetch_add(1);
                    }
                    const std::int64_t target = sent.load();
                    idle = (target >= 0 && n <= 0) ? idle + 1 : 0;
                    if (target >= 0 && (counts[i].load() >= target || idle >= 10)) {
                        return;
                    }
                }
            });
        }
    }
    void finish(std::int64_t frames) {
        sent.store(frames);
        for (auto& t : threads) {
            t.join();
        }
    }
    std::int64_t received() const {
        std::int64_t total = 0;
        for (const auto& c : counts) {
            total += c.load();
        }
        return total;
    }

    std::atomic<std::int64_t> sent{-1};
    std::vector<std::atomic<std::int64_t>> counts;
    std::vector<std::thread> threads;
};

bool wait_for_file(const std::filesystem::path& path, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!std::filesystem::exists(path)) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void write_file(const std::filesystem::path& path, const std::string& text) {
    const auto partial = path.string() + ".part";
    std::ofstream(partial) << text;
    std::filesystem::rename(partial, path);
}

// The second process: arguments are the world's directory and the library's path; the
// simulator instance comes with TARNSIM_CONFIG. Writes "child.ready" when its clients are
// connected, waits for "parent.sent" (the number of frames sent) and writes
// "child.result": frames received and processor seconds.
int full_load_child(const std::string& directory, const std::string& library) {
    std::filesystem::current_path(directory);
    auto api = qz121032::Rp1210Library::load(library);
    if (!api) {
        std::fprintf(stderr, "%s\n", api.error().c_str());
        return 2;
    }
    const std::filesystem::path dir(directory);
    std::int64_t received = 0;
    double cpu = 0;
    double switches = 0;
    {
        Clients clients(*api, kClientsPerProcess);
        LoadReaders readers(*api, clients.ids);
        const double cpu_start = process_cpu_seconds();
        const double switches_start = process_context_switches();
        write_file(dir / "child.ready", "1");
        if (!wait_for_file(dir / "parent.sent", 120s)) {
            return 3;
        }
        std::int64_t sent = 0;
        std::ifstream(dir / "parent.sent") >> sent;
        readers.finish(sent);
        cpu = process_cpu_seconds() - cpu_start;
        switches = process_context_switches() - switches_start;
        received = readers.received();
    }
    write_file(dir / "child.result", std::to_string(received) + " " + std::to_string(cpu) + " " +
                                         std::to_string(switches));
    return 0;
}

void BM_EightClientsTwoProcessesFullLoad(benchmark::State& state) {
    auto& w = world();
    auto& api = w.api();
    const std::filesystem::path dir = w.directory();
    for (const char* name : {"child.ready", "parent.sent", "child.result"}) {
        std::filesystem::remove(dir / name);
    }
    auto child = platform::ChildProcess::spawn(
        platform::current_executable_path(),
        {"--full-load-child", dir.string(),
         (qz121032::testing::binary_dir() / qz121032::rp1210_library_file_name()).string()});
    if (!child) {
        state.SkipWithError("cannot start the second process");
        return;
    }
    Clients clients(api, kClientsPerProcess);
    LoadReaders readers(api, clients.ids);
    Peer peer(1000000);
    if (!wait_for_file(dir / "child.ready", 60s)) {
        state.SkipWithError("the second process did not get ready");
        return;
    }
    tarnsim_bus_stats stats{};
    w.bus_stats(0, &stats, 1);
    const double cpu_start = process_cpu_seconds();
    const double switches_start = process_context_switches();
    std::int64_t sent = 0;
    for (auto _ : state) {
        // The peer's transmit queue (256 frames, 33 ms of wire time) never runs dry.
        tarnlib::CanMessage frame;
        frame.dlc = 8;
        frame.flag.bits = tarnlib::CanMsgFlags::STD;
        const auto end = std::chrono::steady_clock::now() + kLoadTime;
        while (std::chrono::steady_clock::now() < end) {
            frame.id = static_cast<std::uint32_t>(0x100 + sent % 0x500);
            frame.data = {static_cast<std::uint8_t>(sent),
                          static_cast<std::uint8_t>(sent >> 8),
                          0x55,
                          0xAA,
                          0,
                          0xFF,
                          1,
                          2};
            if (peer.handle().write(frame) == tarnlib::Status::tarnOK) {
                ++sent;
            } else {
                std::this_thread::sleep_for(5ms);
            }
        }
        (void)peer.handle().write_sync(10000);
        w.bus_stats(0, &stats, 0);
    }
    write_file(dir / "parent.sent", std::to_string(sent));
    readers.finish(sent);
    const double parent_cpu = process_cpu_seconds() - cpu_start;
    const double parent_switches = process_context_switches() - switches_start;
    const int exit_code = child->wait();
    std::int64_t child_received = 0;
    double child_cpu = 0;
    double child_switches = 0;
    std::ifstream(dir / "child.result") >> child_received >> child_cpu >> child_switches;
    if (exit_code != 0) {
        state.SkipWithError("the second process failed");
        return;
    }
    const std::int64_t received = readers.received() + child_received;
    const std::int64_t expected = sent * 2 * kClientsPerProcess;
    state.counters["frames_sent"] = static_cast<double>(sent);
    state.counters["bus_load"] = stats.load;
    state.counters["frames_lost"] = static_cast<double>(expected - received);
    const double deliveries = static_cast<double>(std::max<std::int64_t>(received, 1));
    state.counters["cpu_us_per_delivery"] = 1e6 * (parent_cpu + child_cpu) / deliveries;
    state.counters["switches_per_delivery"] = (parent_switches + child_switches) / deliveries;
    // What the context switches alone cost, at the price of a wake-up measured above.
    if (wake_up_cpu_us > 0.0) {
        state.counters["switch_cpu_us_per_delivery"] =
            state.counters["switches_per_delivery"] * wake_up_cpu_us;
    }
    if (stats.frames > 0) {
        const double frame_time_us =
            static_cast<double>(stats.busy_ns) / static_cast<double>(stats.frames) / 1000.0;
        state.counters["cpu_to_frame_time"] = state.counters["cpu_us_per_delivery"] / frame_time_us;
    }
}
BENCHMARK(BM_EightClientsTwoProcessesFullLoad)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--full-load-child") {
        return full_load_child(argv[2], argv[3]);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
