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

// The exports, resolved by their plain names.
struct Api {
    explicit Api(platform::DynamicLibrary loaded) : library(std::move(loaded)) {}
    platform::DynamicLibrary library;
    decltype(&j1939_create_channel) create_channel = nullptr;
    decltype(&j1939_destroy_channel) destroy_channel = nullptr;
    decltype(&j1939_open_channel) open_channel = nullptr;
    decltype(&j1939_close_channel) close_channel = nullptr;
    decltype(&j1939_register_callbacks) register_callbacks = nullptr;
    decltype(&j1939_claim_address) claim_address = nullptr;
    decltype(&j1939_remove_address_claim) remove_address_claim = nullptr;
    decltype(&j1939_write) write = nullptr;
    decltype(&j1939_read) read = nullptr;
    decltype(&j1939_set_channel_option) set_option = nullptr;
    decltype(&j1939_get_channel_option) get_option = nullptr;
    decltype(&j1939_configure_shared_address_table) configure_shared_table = nullptr;
    decltype(&j1939_start_log) start_log = nullptr;
    // The simulator's control interface.
    std::optional<platform::DynamicLibrary> simulator;
    tarnsim_inject_fn inject = nullptr;
};

inline fs::path binary_dir() {
    return fs::path(platform::current_executable_path()).parent_path();
}

inline Api& api() {
    static Api* const loaded = [] {
        const std::string path =
            (binary_dir() / platform::shared_library_file_name("qz121032")).string();
        auto library = platform::DynamicLibrary::open(path);
        if (!library) {
            std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(),
                         library.error().what.c_str());
            std::abort();
        }
        auto* a = new Api(std::move(*library));
        bool complete = true;
        auto resolve = [&](auto& fn, const char* name) {
            fn = a->library.function<std::remove_reference_t<decltype(fn)>>(name);
            complete = complete && fn != nullptr;
        };
        resolve(a->create_channel, "j1939_create_channel");
        resolve(a->destroy_channel, "j1939_destroy_channel");
        resolve(a->open_channel, "j1939_open_channel");
        resolve(a->close_channel, "j1939_close_channel");
        resolve(a->register_callbacks, "j1939_register_callbacks");
        resolve(a->claim_address, "j1939_claim_address");
        resolve(a->remove_address_claim, "j1939_remove_address_claim");
        resolve(a->write, "j1939_write");
        resolve(a->read, "j1939_read");
        resolve(a->set_option, "j1939_set_channel_option");
        resolve(a->get_option, "j1939_get_channel_option");
        resolve(a->configure_shared_table, "j1939_configure_shared_address_table");
        resolve(a->start_log, "j1939_start_log");
        auto sim = platform::DynamicLibrary::open(platform::shared_library_file_name("tarnlib32"));
        if (!complete || !sim) {
            std::fprintf(stderr, "the library or the simulator lacks exports\n");
            std::abort();
        }
        a->simulator.emplace(std::move(*sim));
        a->inject = a->simulator->function<tarnsim_inject_fn>("tarnsim_inject");
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
inline std::optional<std::string> wait_file(const fs::path& path) {
    if (!eventually([&] { return fs::exists(path); })) {
        return std::nullopt;
    }
    return read_file(path);
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

// What the callbacks saw, for every channel of the process.
struct RxSeen {
    j1939_handle handle;
    J1939Header header;
    Bytes data;
    bool error;
};
struct TxSeen {
    j1939_handle handle;
    std::uint32_t tag;
    bool failed;
};
struct AddressSeen {
    j1939_handle handle;
    std::uint32_t address;
    bool claimed;
};
struct Seen {
    std::mutex mutex;  // guards the lists
    std::condition_variable changed;
    std::vector<RxSeen> rx;
    std::vector<TxSeen> tx;
    std::vector<AddressSeen> addresses;

    // Waits (with the generous limit) until the condition holds over the lists.
    bool until(const std::function<bool(Seen&)>& condition) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kGenerous, [&] { return condition(*this); });
    }
    bool has_rx(j1939_handle handle, std::uint32_t pgn, std::size_t size) {
        for (const RxSeen& r : rx) {
            if (r.handle == handle && r.header.pgn == pgn && r.data.size() == size && !r.error) {
                return true;
            }
        }
        return false;
    }
    bool has_tx(j1939_handle handle, std::uint32_t tag, bool failed) {
        for (const TxSeen& t : tx) {
            if (t.handle == handle && t.tag == tag && t.failed == failed) {
                return true;
            }
        }
        return false;
    }
    bool has_address(j1939_handle handle, std::uint32_t address, bool claimed) {
        for (const AddressSeen& a : addresses) {
            if (a.handle == handle && a.address == address && a.claimed == claimed) {
                return true;
            }
        }
        return false;
    }
};
inline Seen& seen() {
    static Seen* const s = new Seen();
    return *s;
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
// Results of the closes and destroys callbacks made on their own channels.
inline std::vector<std::int32_t>& self_close_results() {
    static auto* results = new std::vector<std::int32_t>();
    return *results;
}

inline void J1939_CALLBACK on_rx(j1939_handle handle, std::uint32_t context, J1939Header h,
                                 std::uint64_t, const std::uint8_t* data, std::uint32_t length,
                                 std::uint32_t is_error) {
    if ((context & kAnswerPing) && h.pgn == kPgnPing) {
        // Refused when another thread has closed the channel meanwhile.
        (void)write(handle, kPgnPong, h.dest_addr, h.src_addr, Bytes(data, data + length));
    }
    std::optional<std::int32_t> closed;
    if ((context & kCloseOnAsk) && h.pgn == kPgnCloseYou) {
        closed = api().close_channel(handle);
    }
    if ((context & kDestroyOnAsk) && h.pgn == kPgnCloseYou) {
        closed = api().destroy_channel(handle);
    }
    Seen& s = seen();
    {
        std::lock_guard lock(s.mutex);
        s.rx.push_back(RxSeen{handle, h, Bytes(data, data + length), is_error != 0});
        if (closed) {
            self_close_results().push_back(*closed);
        }
    }
    s.changed.notify_all();
}

inline void J1939_CALLBACK on_tx(j1939_handle handle, std::uint32_t, std::uint32_t tag, J1939Header,
                                 std::uint64_t, std::uint32_t failed) {
    Seen& s = seen();
    {
        std::lock_guard lock(s.mutex);
        s.tx.push_back(TxSeen{handle, tag, failed != 0});
    }
    s.changed.notify_all();
}

inline void J1939_CALLBACK on_address(j1939_handle handle, std::uint32_t, std::uint32_t address,
                                      std::uint32_t claimed) {
    Seen& s = seen();
    {
        std::lock_guard lock(s.mutex);
        s.addresses.push_back(AddressSeen{handle, address, claimed != 0});
    }
    s.changed.notify_all();
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
