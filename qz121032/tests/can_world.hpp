#pragma once
// The world of the raw-CAN and J1939 client tests: a private simulated interface (two
// channels on one bus, devices 1 and 2, and two on a second bus, devices 3 and 4), an INI file for
// it in a temporary current directory, the built RP1210 library loaded the way applications load
// it, a peer node on the other channel that is driven through the driver directly, and the fixture
// the tests call the library through.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "platform/dynamic_library.hpp"
#include "platform/paths.hpp"
#include "qz121032/rp1210_loader.hpp"
#include "sim_fixture.hpp"
#include "tarnlib/can_handle.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnsim/tarnsim_control.h"
#include "temp_dir.hpp"

namespace qz121032::testing {

inline constexpr const char* kCanIni =
    "[VendorInformation]\n"
    "RP1210=C\n"
    "Version=3.0\n"
    "MessageString=OstrelRP1210Msg\n"
    "ErrorString=OstrelRP1210Err\n"
    "TimestampWeight=1000\n"
    "AutoDetectCapable=yes\n"
    "DebugLevel=1\n"
    "DebugFile=rp1210.log\n"
    "DebugFileSize=0\n"
    "DebugMode=0\n"
    "NumberOfRTSCTSSessions=1\n"
    "CANFormatsSupported=4,5\n"
    "J1939FormatsSupported=1,2\n"
    "J1939Addresses=1\n"
    "CANAutoBaud=true\n"
    "Devices=1,2,3,4\n"
    "Protocols=1,2\n"
    "[DeviceInformation1]\n"
    "DeviceID=1\n"
    "DeviceDescription=Simulated interface, channel 1\n"
    "DeviceName=Sim\n"
    "DeviceParams=Serial=@SERIAL@\n"
    "MultiCANChannels=2\n"
    "MultiJ1939Channels=2\n"
    "MultiISO15765Channels=0\n"
    "[DeviceInformation3]\n"
    "DeviceID=3\n"
    "DeviceDescription=Simulated interface, channel 3 (second bus)\n"
    "DeviceName=Sim3\n"
    "DeviceParams=Serial=@SERIAL@,Channel=2\n"
    "MultiCANChannels=1\n"
    "MultiJ1939Channels=1\n"
    "MultiISO15765Channels=0\n"
    "[DeviceInformation4]\n"
    "DeviceID=4\n"
    "DeviceDescription=Simulated interface, channel 4 (second bus)\n"
    "DeviceName=Sim4\n"
    "DeviceParams=Serial=@SERIAL@,Channel=3\n"
    "MultiCANChannels=1\n"
    "MultiJ1939Channels=1\n"
    "MultiISO15765Channels=0\n"
    "[DeviceInformation2]\n"
    "DeviceID=2\n"
    "DeviceDescription=Simulated interface, channel 2\n"
    "DeviceName=Sim2\n"
    "DeviceParams=Serial=@SERIAL@,Channel=1\n"
    "MultiCANChannels=1\n"
    "MultiJ1939Channels=1\n"
    "MultiISO15765Channels=0\n"
    "[ProtocolInformation1]\n"
    "ProtocolString=CAN\n"
    "ProtocolDescription=Raw CAN\n"
    "ProtocolSpeed=125,250,500,1000,Auto\n"
    "ProtocolParams=none\n"
    "Devices=1,2,3,4\n"
    "[ProtocolInformation2]\n"
    "ProtocolString=J1939\n"
    "ProtocolDescription=SAE J1939\n"
    "ProtocolSpeed=125,250,500,1000,Auto\n"
    "ProtocolParams=none\n"
    "Devices=1,2,3,4\n";

inline constexpr std::uint64_t kEan = 0x7330130123456ULL;

// The DebugLevel of the world's INI, read when the world is made. The tests read the log
// (1: info); benchmarks turn logging off (-1), as the example INI ships.
inline int& world_debug_level() {
    static int level = 1;
    return level;
}

// A serial number of this process's own: the hardware status is shared by every process of
// the machine and keyed by channel identity, so parallel test processes must not share one.
inline std::uint64_t world_serial() {
    static const std::uint64_t serial = 20000 + std::random_device{}() % 900000;
    return serial;
}

inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}
inline constexpr auto kGenerous = std::chrono::seconds(20);

// Polls the condition until it holds or the generous limit passes.
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

// Threads of this process, where the system tells (Linux), else nullopt.
inline std::optional<std::size_t> thread_count() {
#ifdef __linux__
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
#else
    return std::nullopt;
#endif
}

inline std::filesystem::path binary_dir() {
    return std::filesystem::path(platform::current_executable_path()).parent_path();
}

inline std::string executable(const std::string& name) {
    return (binary_dir() /
            (name +
             std::filesystem::path(platform::current_executable_path()).extension().string()))
        .string();
}

class CanWorld {
  public:
    // The process's world, made on first use: simulator configuration in TARNSIM_CONFIG
    // (children inherit it), INI in the current directory, library loaded.
    static CanWorld& get() {
        static CanWorld* const world = new CanWorld();
        return *world;
    }

    Rp1210Library& api() { return *api_; }
    const std::filesystem::path& directory() const { return dir_.path(); }
    // The library's debug log so far.
    std::string log() const { return read_file(dir_ / "rp1210.log"); }
    bool log_contains(const std::string& text) const {
        return log().find(text) != std::string::npos;
    }

    tarnsim_inject_fn inject = nullptr;
    tarnsim_set_plugged_fn set_plugged = nullptr;
    tarnsim_set_paced_fn set_paced = nullptr;
    tarnsim_get_bus_stats_fn bus_stats = nullptr;
    tarnsim_set_queue_sizes_fn set_queue_sizes = nullptr;

  private:
    CanWorld()
        : config_(replace_all(replace_all(tarnsim_test::kTwoChannels, "serial = 10001",
                                          "serial = " + std::to_string(world_serial())),
                              "channels = 2", "channels = 4") +
                  "foreign_ack = yes\n"
                  // A second bus of its own for traffic that the peer is not to see.
                  "[bus]\n"
                  "channels = 0:2, 0:3\n") {
#ifdef _WIN32
        _putenv_s("TARNSIM_CONFIG", config_.path().c_str());
#else
        setenv("TARNSIM_CONFIG", config_.path().c_str(), 1);
#endif
        dir_.write(
            "ostrel_qz121032.ini",
            replace_all(replace_all(kCanIni, "@SERIAL@", std::to_string(world_serial())),
                        "DebugLevel=1", "DebugLevel=" + std::to_string(world_debug_level())));
        std::filesystem::current_path(dir_.path());

        auto sim = platform::DynamicLibrary::open(platform::shared_library_file_name("tarnlib32"));
        if (!sim) {
            std::fprintf(stderr, "cannot load the simulated driver: %s\n",
                         sim.error().what.c_str());
            std::abort();
        }
        sim_.emplace(std::move(sim.value()));
        inject = sim_->function<tarnsim_inject_fn>("tarnsim_inject");
        set_plugged = sim_->function<tarnsim_set_plugged_fn>("tarnsim_set_plugged");
        set_paced = sim_->function<tarnsim_set_paced_fn>("tarnsim_set_paced");
        bus_stats = sim_->function<tarnsim_get_bus_stats_fn>("tarnsim_get_bus_stats");
        set_queue_sizes = sim_->function<tarnsim_set_queue_sizes_fn>("tarnsim_set_queue_sizes");

        const std::string library = (binary_dir() / rp1210_library_file_name()).string();
        auto loaded = Rp1210Library::load(library);
        if (!loaded) {
            std::fprintf(stderr, "%s\n", loaded.error().c_str());
            std::abort();
        }
        api_.emplace(std::move(loaded.value()));
        // The world lives as long as the process (the library stays loaded); its directory
        // goes with it.
        std::atexit([] {
            std::error_code ec;
            std::filesystem::current_path(std::filesystem::temp_directory_path(), ec);
            std::filesystem::remove_all(get().directory(), ec);
        });
    }

    tarnsim_test::ConfigFile config_;
    TempDir dir_;
    std::optional<platform::DynamicLibrary> sim_;
    std::optional<Rp1210Library> api_;
};

inline tarnlib::ChannelIdentity channel_identity(std::uint32_t channel) {
    tarnlib::ChannelIdentity identity;
    identity.ean = kEan;
    identity.serial = world_serial();
    identity.channel = channel;
    return identity;
}

inline tarnlib::BusConfiguration classic(double rate, double sample_point = 0.875) {
    tarnlib::BusConfiguration c;
    c.nominal.bitrate = rate;
    c.nominal.sample_point = sample_point;
    return c;
}

// A node on the bus through its own driver handle (channel 1 unless told otherwise), with
// transmit acknowledgements on so that its own frames show their time stamps.
class Peer {
  public:
    explicit Peer(double rate, std::uint32_t channel = 1) {
        EXPECT_EQ(tarnlib::ChannelDirectory::instance().discover(), tarnlib::Status::tarnOK);
        auto opened = tarnlib::CanHandle::open(channel_identity(channel), classic(rate), {});
        EXPECT_TRUE(opened.has_value());
        if (opened) {
            handle_.emplace(std::move(opened.value()));
            EXPECT_EQ(handle_->set_output_control(tarnlib::OutputControl::Normal),
                      tarnlib::Status::tarnOK);
            EXPECT_EQ(handle_->io_ctl(7, 1), tarnlib::Status::tarnOK);  // transmit acks
            EXPECT_EQ(handle_->bus_on(), tarnlib::Status::tarnOK);
        }
    }

    tarnlib::Status send(std::uint32_t id, std::vector<std::uint8_t> data, bool extended) {
        tarnlib::CanMessage frame;
        frame.id = id;
        frame.dlc = static_cast<std::uint8_t>(data.size());
        frame.data = std::move(data);
        frame.flag.bits = extended ? tarnlib::CanMsgFlags::EXT : tarnlib::CanMsgFlags::STD;
        // The transmit queue drains at the bus rate; a queue that stays full for the
        // generous limit is the failure it reports.
        const auto give_up = std::chrono::steady_clock::now() + kGenerous;
        for (;;) {
            const tarnlib::Status status = handle_->write(frame);
            if (status != tarnlib::Status::tarnERR_TXBUFOFL ||
                std::chrono::steady_clock::now() >= give_up) {
                return status;
            }
            (void)handle_->write_sync(1000);
        }
    }

    // Frames received from others (own acknowledgements and error frames left out), waiting
    // up to the generous limit for `count` of them.
    std::vector<tarnlib::CanMessage> receive(std::size_t count) {
        return collect(count, [](const tarnlib::CanMessage& frame) {
            return !frame.flag.has(tarnlib::CanMsgFlags::TXACK) &&
                   !frame.flag.has(tarnlib::CanMsgFlags::TXNACK) &&
                   !frame.flag.has(tarnlib::CanMsgFlags::ERROR_FRAME);
        });
    }

    // The peer's own frames coming back acknowledged, waiting for `count` of them.
    std::vector<tarnlib::CanMessage> acknowledgements(std::size_t count) {
        return collect(count, [](const tarnlib::CanMessage& frame) {
            return frame.flag.has(tarnlib::CanMsgFlags::TXACK);
        });
    }

    tarnlib::CanHandle& handle() { return *handle_; }

  private:
    std::vector<tarnlib::CanMessage> collect(
        std::size_t count, const std::function<bool(const tarnlib::CanMessage&)>& wanted) {
        std::vector<tarnlib::CanMessage> frames;
        const auto end = std::chrono::steady_clock::now() + kGenerous;
        while (frames.size() < count && std::chrono::steady_clock::now() < end) {
            auto batch = handle_->read(100);
            if (!batch) {
                break;
            }
            for (auto& frame : *batch) {
                if (wanted(frame)) {
                    frames.push_back(std::move(frame));
                }
            }
        }
        return frames;
    }

    std::optional<tarnlib::CanHandle> handle_;
};

using Bytes = std::vector<std::uint8_t>;

struct Read {
    short result = 0;  // byte count, or the negated error code
    Bytes bytes;
};

// A test that calls the library as an application does. Clients it connects are
// disconnected when the test ends.
class ClientTest : public ::testing::Test {
  protected:
    Rp1210Library& api = CanWorld::get().api();
    CanWorld& world = CanWorld::get();

    void SetUp() override { log_mark_ = world.log().size(); }
    void TearDown() override {
        for (short client : clients_) {
            api.ClientDisconnect(client);
        }
        // A failed scenario shows what the library logged while it ran (the lines of
        // the processes it started are in the same file).
        if (HasFailure()) {
            const std::string log = world.log();
            std::printf("--- the library's log of the failed test:\n%s---\n",
                        log.substr(std::min(log_mark_, log.size())).c_str());
        }
    }

    // Connects and gives the client a 20 s blocking time-out, so that a read that waits in
    // vain fails the test instead of hanging it.
    short connect(const char* protocol, short device = 1, long rx_size = 0, long tx_size = 0,
                  short app_packetizing = 0) {
        const short client =
            api.ClientConnect(nullptr, device, protocol, tx_size, rx_size, app_packetizing);
        if (client >= 0 && client < 128) {
            clients_.push_back(client);
            EXPECT_EQ(command(client, 215, {200, 100}), 0);
        }
        return client;
    }
    short disconnect(short client) {
        clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
        return api.ClientDisconnect(client);
    }
    short command(short client, short number, Bytes args) {
        return api.SendCommand(number, client, reinterpret_cast<char*>(args.data()),
                               static_cast<short>(args.size()));
    }
    short send(short client, Bytes message) {
        return api.SendMessage(client, reinterpret_cast<char*>(message.data()),
                               static_cast<short>(message.size()), 0, 0);
    }
    // A message of at most 2048 bytes (the longest J1939 message the library stores).
    Read read(short client, bool block = true) {
        std::array<char, 2048> buffer;
        Read r;
        r.result = api.ReadMessage(client, buffer.data(), static_cast<short>(buffer.size()),
                                   block ? 1 : 0);
        if (r.result > 0) {
            r.bytes.assign(buffer.begin(), buffer.begin() + r.result);
        }
        return r;
    }
    std::array<std::uint8_t, 64> status(short client) {
        std::array<std::uint8_t, 64> record{};
        EXPECT_EQ(api.GetHardwareStatus(client, reinterpret_cast<char*>(record.data()), 64, 0), 0);
        return record;
    }

  private:
    std::vector<short> clients_;
    std::size_t log_mark_ = 0;
};

// The read format's time stamp: milliseconds, most significant byte first.
inline std::uint32_t time_stamp(const Read& r) {
    return (std::uint32_t{r.bytes[0]} << 24) | (std::uint32_t{r.bytes[1]} << 16) |
           (std::uint32_t{r.bytes[2]} << 8) | r.bytes[3];
}

inline std::string hex(const Bytes& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(two);
    }
    return text;
}

}  // namespace qz121032::testing
