#pragma once
// The j1939_* exports of the built library, loaded the way applications load it, on a
// private simulated interface (two channels on one bus, an interface serial number of its
// own, so that channel numbers in the machine-wide claim table are this test's only).
//
// Each scenario runs in a process of its own (the handle table, the shared-table choice
// and the log are per process): the test starts this binary again with
// "--scenario Suite.Name", which runs just that test. Helper processes of a scenario are
// "--peer MODE ..." runs of the same binary; they inherit the simulator configuration.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynamic_library.hpp"
#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "qzj1939lib/j1939.h"
#include "sim_fixture.hpp"
#include "tarnsim/tarnsim_control.h"

namespace j1939_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
inline constexpr auto kGenerous = std::chrono::seconds(20);

inline bool g_scenario_child = false;

// The exports, resolved by their plain names, and the simulator's frame injection.
#define J1939_TEST_EXPORTS(X)                                                                \
    X(create_channel)                                                                        \
    X(destroy_channel)                                                                       \
    X(open_channel) X(close_channel) X(register_callbacks) X(claim_address)                  \
        X(remove_address_claim) X(write) X(read) X(set_channel_option) X(get_channel_option) \
            X(configure_shared_address_table) X(start_log)
struct Api {
#define J1939_TEST_FIELD(name) decltype(&j1939_##name) name = nullptr;
    J1939_TEST_EXPORTS(J1939_TEST_FIELD)
#undef J1939_TEST_FIELD
    tarnsim_inject_fn inject = nullptr;
    std::vector<platform::DynamicLibrary> libraries;  // kept loaded for the process
};

inline fs::path binary_dir() {
    return fs::path(platform::current_executable_path()).parent_path();
}

inline Api& api() {
    static Api* const loaded = [] {
        auto* a = new Api();
        auto library = platform::DynamicLibrary::open(
            (binary_dir() / platform::shared_library_file_name("qz121032")).string());
        auto simulator =
            platform::DynamicLibrary::open(platform::shared_library_file_name("tarnlib32"));
        if (!library || !simulator) {
            std::fprintf(stderr, "cannot load the library or the simulator\n");
            std::abort();
        }
#define J1939_TEST_RESOLVE(name)                                     \
    a->name = library->function<decltype(a->name)>("j1939_" #name);  \
    if (a->name == nullptr) {                                        \
        std::fprintf(stderr, "the library lacks j1939_" #name "\n"); \
        std::abort();                                                \
    }
        J1939_TEST_EXPORTS(J1939_TEST_RESOLVE)
#undef J1939_TEST_RESOLVE
        a->inject = simulator->function<tarnsim_inject_fn>("tarnsim_inject");
        a->libraries.push_back(std::move(*library));
        a->libraries.push_back(std::move(*simulator));
        return a;
    }();
    return *loaded;
}

inline void set_environment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A scenario's world: the simulator configuration (TARNSIM_CONFIG, inherited by peers) and
// a temporary current directory, both removed at the end. A failed scenario prints the
// library's log (when it started one).
class World {
  public:
    World()
        : config_(replace(tarnsim_test::kTwoChannels, "serial = 10001",
                          "serial = " + std::to_string(20000 + std::random_device{}() % 900000))) {
        set_environment("TARNSIM_CONFIG", config_.path());
        dir_ = fs::temp_directory_path() / ("qzj1939lib-test-" + tarnsim_test::unique_token());
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    ~World() {
        if (::testing::Test::HasFailure()) {
            std::printf("--- qzj1939lib.log of the failed scenario:\n%s---\n",
                        read_file(dir_ / "qzj1939lib.log").c_str());
        }
        std::error_code ec;
        fs::current_path(fs::temp_directory_path(), ec);
        fs::remove_all(dir_, ec);
    }
    const fs::path& dir() const { return dir_; }

  private:
    static std::string replace(std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    }
    tarnsim_test::ConfigFile config_;
    fs::path dir_;
};

// Polls the condition until it holds or the limit passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = kGenerous) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        // Polling interval, not a synchronisation: the condition decides.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Written under another name and renamed, so that a reader never sees half of it.
inline void write_file(const fs::path& path, const std::string& text) {
    const fs::path partial = path.string() + ".partial";
    std::ofstream(partial, std::ios::binary) << text;
    fs::rename(partial, path);
}
// The text of a file another process writes with write_file (never empty). Under wine a
// file that has just been renamed into place can read as empty for a moment (seen once in the
// 32-bit suite, where the peer's handle then failed to parse), so the wait is for its text.
inline std::optional<std::string> wait_file(const fs::path& path) {
    std::string text;
    if (!eventually([&] { return fs::exists(path) && !(text = read_file(path)).empty(); })) {
        return std::nullopt;
    }
    return text;
}

// Threads of this process where the system tells (Linux), else nullopt.
inline std::optional<std::size_t> thread_count() {
#ifdef __linux__
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
#else
    return std::nullopt;
#endif
}

// Runs the current test in a process of its own; true in the parent, which only checks
// the child's exit status.
inline bool in_own_process() {
    if (g_scenario_child) {
        return false;
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    auto child = platform::ChildProcess::spawn(
        platform::current_executable_path(),
        {"--scenario", std::string(test->test_suite_name()) + "." + test->name()});
    EXPECT_TRUE(child) << child.error().what;
    if (child) {
        const auto code = child->wait_for(std::chrono::minutes(8));
        EXPECT_EQ(code, std::optional<int>(0)) << "the scenario's process failed or hung";
    }
    return true;
}

inline J1939Header header(std::uint32_t pgn, std::uint8_t src, std::uint8_t dest,
                          std::uint8_t priority = 6) {
    return J1939Header{pgn, priority, src, dest, 0};
}

inline Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    }
    return data;
}

inline std::int32_t write(j1939_handle handle, std::uint32_t pgn, std::uint8_t src,
                          std::uint8_t dest, const Bytes& data, std::uint32_t tag = 0) {
    return api().write(handle, header(pgn, src, dest), data.data(),
                       static_cast<std::uint32_t>(data.size()), tag);
}

struct Read {
    J1939ReadResult result{};
    Bytes data;
};
inline Read read(j1939_handle handle, std::int32_t timeout_ms = 20000, std::uint32_t size = 2048) {
    Read r;
    r.data.resize(size);
    r.result = api().read(handle, r.data.data(), size, timeout_ms);
    r.data.resize(r.result.status == 0 ? r.result.length : 0);
    return r;
}
// Reads until a message of the PGN arrives (others are passed over), or a failure.
inline Read read_pgn(j1939_handle handle, std::uint32_t pgn) {
    for (;;) {
        Read r = read(handle);
        if (r.result.status != 0 || r.result.header.pgn == pgn) {
            return r;
        }
    }
}

// What the callbacks saw, for every channel of the process: received messages (value:
// PGN, flag: is error), transmit outcomes (value: tag, flag: failed) and address outcomes
// (value: address, flag: claimed).
struct Event {
    enum Kind { Rx, Tx, Address } kind;
    j1939_handle handle;
    std::uint32_t value;
    bool flag;
    J1939Header header;
    Bytes data;
};
struct Seen {
    std::mutex mutex;  // guards events
    std::condition_variable changed;
    std::vector<Event> events;

    void add(Event event) {
        {
            std::lock_guard lock(mutex);
            events.push_back(std::move(event));
        }
        changed.notify_all();
    }
    // Events of the kind, handle and value (flag not set: either), and for received
    // messages of the size.
    std::size_t count(Event::Kind kind, j1939_handle handle, std::uint32_t value,
                      std::optional<bool> flag = false, std::optional<std::size_t> size = {}) {
        std::lock_guard lock(mutex);
        return std::count_if(events.begin(), events.end(), [&](const Event& e) {
            return e.kind == kind && e.handle == handle && e.value == value &&
                   (!flag || e.flag == *flag) && (!size || e.data.size() == *size);
        });
    }
    // Waits (with the generous limit) until the condition holds.
    bool until(const std::function<bool()>& condition) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kGenerous, [&] {
            lock.unlock();
            const bool holds = condition();
            lock.lock();
            return holds;
        });
    }
};
inline Seen& seen() {
    static Seen* const s = new Seen();
    return *s;
}
inline bool received(j1939_handle h, std::uint32_t pgn, std::size_t size) {
    return seen().count(Event::Rx, h, pgn, false, size) > 0;
}
inline bool sent(j1939_handle h, std::uint32_t tag, bool failed) {
    return seen().count(Event::Tx, h, tag, failed) > 0;
}
inline bool claimed(j1939_handle h, std::uint32_t address, bool claimed = true) {
    return seen().count(Event::Address, h, address, claimed) > 0;
}

// What a callback does beyond recording, chosen by the registered context.
enum Context : std::uint32_t {
    kRecord = 0,
    kAnswerPing = 1,    // rx of kPgnPing: writes kPgnPong on the same channel
    kCloseOnAsk = 2,    // rx of kPgnCloseYou: closes its own channel
    kDestroyOnAsk = 4,  // rx of kPgnCloseYou: destroys its own channel
};
inline constexpr std::uint32_t kPgnPing = 0xFF01;
inline constexpr std::uint32_t kPgnPong = 0xFF02;
inline constexpr std::uint32_t kPgnCloseYou = 0xFF03;
// A callback's close or destroy of its own channel is recorded as an address event with
// this value, flag set when it succeeded.
inline constexpr std::uint32_t kSelfClosed = 0x1000;

inline void J1939_CALLBACK on_rx(j1939_handle handle, std::uint32_t context, J1939Header h,
                                 std::uint64_t, const std::uint8_t* data, std::uint32_t length,
                                 std::uint32_t is_error) {
    const Bytes bytes(data, data + length);
    if ((context & kAnswerPing) && h.pgn == kPgnPing) {
        // Refused when another thread has closed the channel meanwhile.
        (void)write(handle, kPgnPong, h.dest_addr, h.src_addr, bytes);
    }
    if ((context & (kCloseOnAsk | kDestroyOnAsk)) && h.pgn == kPgnCloseYou) {
        const std::int32_t closed =
            (context & kCloseOnAsk) ? api().close_channel(handle) : api().destroy_channel(handle);
        seen().add({Event::Address, handle, kSelfClosed, closed == 0, h, {}});
    }
    seen().add({Event::Rx, handle, h.pgn, is_error != 0, h, bytes});
}
inline void J1939_CALLBACK on_tx(j1939_handle handle, std::uint32_t, std::uint32_t tag,
                                 J1939Header h, std::uint64_t, std::uint32_t failed) {
    seen().add({Event::Tx, handle, tag, failed != 0, h, {}});
}
inline void J1939_CALLBACK on_address(j1939_handle handle, std::uint32_t, std::uint32_t address,
                                      std::uint32_t is_claimed) {
    seen().add({Event::Address, handle, address, is_claimed != 0, {}, {}});
}

// A channel of the scenario: created on the simulator's channel, with callbacks when
// asked, opened.
inline j1939_handle open_channel(std::uint32_t channel, bool callbacks,
                                 std::uint32_t context = kRecord, std::uint32_t rate = 250000) {
    const J1939CreateResult created = api().create_channel(channel, 0, rate);
    EXPECT_EQ(created.status, 0);
    if (callbacks) {
        EXPECT_EQ(api().register_callbacks(created.handle, context, on_rx, on_tx, on_address), 0);
    }
    EXPECT_EQ(api().open_channel(created.handle), 0);
    return created.handle;
}

inline std::uint32_t low(std::uint64_t name) {
    return static_cast<std::uint32_t>(name);
}
inline std::uint32_t high(std::uint64_t name) {
    return static_cast<std::uint32_t>(name >> 32);
}
inline std::uint64_t name_of(const Bytes& data) {
    std::uint64_t name = 0;
    for (std::size_t i = 0; i < 8 && i < data.size(); ++i) {
        name |= std::uint64_t{data[i]} << (8 * i);
    }
    return name;
}

}  // namespace j1939_test
