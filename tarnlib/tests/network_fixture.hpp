#pragma once
// Shared pieces of the network-system tests: the simulated hardware (the simulator is the
// hardware; nothing of the driver is mocked), a log sink that keeps every line, a recorder
// of the events a device publishes, and bounded waits for conditions.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "platform/dynamic_library.hpp"
#include "platform/log.hpp"
#include "platform/thread.hpp"
#include "sim_fixture.hpp"
#include "tarnlib/bus_configuration.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnlib/driver_library.hpp"
#include "tarnlib/network_event.hpp"
#include "tarnsim/tarnsim_control.h"

namespace tarnlib::test {

// The limit of every wait: it only ends a test that would otherwise hang.
inline constexpr std::chrono::milliseconds kGenerous{20000};

// Interface 0 (bus 0) carries the devices under test and their peers; interface 1 (bus 1) is
// the one the tests unplug.
inline constexpr const char* kHardware =
    "[interface]\n"
    "ean = 73-30130-12345-6\n"
    "serial = 10001\n"
    "channels = 2\n"
    "firmware = 3.25.900\n"
    "bus_type = 2\n"
    "[interface]\n"
    "ean = 73-30130-00683-2\n"
    "serial = 20002\n"
    "channels = 2\n"
    "[bus]\n"
    "channels = 0:0, 0:1\n"
    "[bus]\n"
    "channels = 1:0, 1:1\n";

inline const ChannelIdentity kA0{"", 0x7330130123456ULL, 10001, 0};
inline const ChannelIdentity kA1{"", 0x7330130123456ULL, 10001, 1};
inline const ChannelIdentity kB0{"", 0x7330130006832ULL, 20002, 0};
inline const ChannelIdentity kB1{"", 0x7330130006832ULL, 20002, 1};

// The simulator's control functions, from the same library the driver context loads.
class Simulator {
  public:
    Simulator() : config_(kHardware) {
        auto library =
            platform::DynamicLibrary::open(platform::shared_library_file_name("tarnlib32"));
        if (!library) {
            std::fprintf(stderr, "cannot load the simulated driver: %s\n",
                         library.error().what.c_str());
            std::abort();
        }
        library_.emplace(std::move(library.value()));
        configure_ = library_->function<tarnsim_configure_fn>("tarnsim_configure");
        reset_ = library_->function<tarnsim_reset_fn>("tarnsim_reset");
        plug_ = library_->function<tarnsim_set_plugged_fn>("tarnsim_set_plugged");
        inject_ = library_->function<tarnsim_inject_fn>("tarnsim_inject");
        paced_ = library_->function<tarnsim_set_paced_fn>("tarnsim_set_paced");
    }
    void restart() {
        ASSERT_EQ(configure_(config_.path().c_str()), 0);
        ASSERT_EQ(reset_(), 0);
    }
    void plug(int interface_index, bool plugged) {
        ASSERT_EQ(plug_(interface_index, plugged ? 1 : 0), 0);
    }
    // A foreign node sends a standard frame (or, with TARN_MSG_ERROR_FRAME, an error frame).
    int inject(int bus, std::uint32_t id, std::vector<std::uint8_t> data, std::uint32_t flags,
               std::int32_t bitrate) {
        return inject_(bus, static_cast<std::int32_t>(id), data.empty() ? nullptr : data.data(),
                       static_cast<std::uint32_t>(data.size()), flags, bitrate);
    }
    void set_paced(bool paced) { ASSERT_EQ(paced_(paced ? 1 : 0), 0); }

  private:
    tarnsim_test::ConfigFile config_;
    std::optional<platform::DynamicLibrary> library_;
    tarnsim_configure_fn configure_ = nullptr;
    tarnsim_reset_fn reset_ = nullptr;
    tarnsim_set_plugged_fn plug_ = nullptr;
    tarnsim_inject_fn inject_ = nullptr;
    tarnsim_set_paced_fn paced_ = nullptr;
};

inline Simulator& simulator() {
    static Simulator* const sim = new Simulator();
    return *sim;
}

struct LogLine {
    platform::log::Level level;
    std::string target;
    std::string text;
};

// Keeps every line the process logs, at every level.
class LogCapture : public platform::log::Sink {
  public:
    void write(platform::log::Level level, std::string_view target,
               std::string_view text) noexcept override {
        std::lock_guard lock(mutex_);
        lines_.push_back({level, std::string(target), std::string(text)});
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    std::size_t count(platform::log::Level level, const std::string& target,
                      const std::string& text) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const LogLine& line : lines_) {
            n += line.level == level && line.target == target && line.text == text ? 1 : 0;
        }
        return n;
    }
    bool contains(platform::log::Level level, const std::string& target,
                  const std::string& text) const {
        return count(level, target, text) > 0;
    }
    // Lines of the target that start with the prefix.
    std::size_t count_prefix(const std::string& target, const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const LogLine& line : lines_) {
            n += line.target == target && line.text.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }

  private:
    mutable std::mutex mutex_;  // guards lines_
    std::vector<LogLine> lines_;
};

inline LogCapture& logs() {
    static const std::shared_ptr<LogCapture> capture = [] {
        auto sink = std::make_shared<LogCapture>();
        platform::log::install(sink);
        platform::log::set_max_level(platform::log::Level::Trace);
        return sink;
    }();
    return *capture;
}

// Waits, polling, until the condition holds; false after the generous limit.
inline bool eventually(const std::function<bool()>& condition) {
    const std::int64_t limit =
        platform::monotonic_ns() + std::chrono::nanoseconds(kGenerous).count();
    while (!condition()) {
        if (platform::monotonic_ns() > limit) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// Records the events a notifier publishes, for waits and checks of their order.
class Recorder {
  public:
    // The callback to subscribe. It shares the records: unsubscribing does not wait for a
    // call already running, which may end after the recorder is gone.
    std::function<void(const NetworkEvent&, std::int32_t)> callback() {
        return [records = records_](const NetworkEvent& event, std::int32_t) {
            {
                std::lock_guard lock(records->mutex);
                records->events.push_back(event);
                records->threads.push_back(platform::current_thread_name());
            }
            records->changed.notify_all();
        };
    }
    std::vector<NetworkEvent> events() const {
        std::lock_guard lock(records_->mutex);
        return records_->events;
    }
    // The names of the threads that delivered the events of the kind, in order.
    std::vector<std::string> threads(EventKind kind) const {
        std::lock_guard lock(records_->mutex);
        std::vector<std::string> out;
        for (std::size_t i = 0; i < records_->events.size(); ++i) {
            if (records_->events[i].kind == kind) {
                out.push_back(records_->threads[i]);
            }
        }
        return out;
    }
    // Status events only (no frames), in order.
    std::vector<EventKind> kinds() const {
        std::lock_guard lock(records_->mutex);
        std::vector<EventKind> out;
        for (const NetworkEvent& e : records_->events) {
            if (e.kind != EventKind::Frames) {
                out.push_back(e.kind);
            }
        }
        return out;
    }
    std::vector<CanMessage> frames() const {
        std::lock_guard lock(records_->mutex);
        std::vector<CanMessage> out;
        for (const NetworkEvent& e : records_->events) {
            if (e.kind == EventKind::Frames) {
                out.insert(out.end(), e.frames->begin(), e.frames->end());
            }
        }
        return out;
    }
    std::size_t count(EventKind kind) const {
        std::lock_guard lock(records_->mutex);
        std::size_t n = 0;
        for (const NetworkEvent& e : records_->events) {
            n += e.kind == kind ? 1 : 0;
        }
        return n;
    }
    // Waits until the recorded events satisfy the condition; false after the limit.
    bool wait_for(const std::function<bool(const std::vector<NetworkEvent>&)>& condition) {
        std::unique_lock lock(records_->mutex);
        return records_->changed.wait_for(lock, kGenerous,
                                          [&] { return condition(records_->events); });
    }
    bool wait_for_count(EventKind kind, std::size_t n) {
        return wait_for([&](const std::vector<NetworkEvent>& events) {
            std::size_t seen = 0;
            for (const NetworkEvent& e : events) {
                seen += e.kind == kind ? 1 : 0;
            }
            return seen >= n;
        });
    }
    // Waits for frames with the id, counting every received frame with it.
    bool wait_for_frames(std::uint32_t id, std::size_t n) {
        return wait_for([&](const std::vector<NetworkEvent>& events) {
            std::size_t seen = 0;
            for (const NetworkEvent& e : events) {
                if (e.kind == EventKind::Frames) {
                    for (const CanMessage& m : *e.frames) {
                        seen += m.id == id ? 1 : 0;
                    }
                }
            }
            return seen >= n;
        });
    }
    void clear() {
        std::lock_guard lock(records_->mutex);
        records_->events.clear();
        records_->threads.clear();
    }

  private:
    struct Records {
        mutable std::mutex mutex;  // guards events and threads
        std::condition_variable changed;
        std::vector<NetworkEvent> events;
        std::vector<std::string> threads;
    };
    const std::shared_ptr<Records> records_ = std::make_shared<Records>();
};

inline BusConfiguration classic(double rate, double sample = 0.875) {
    BusConfiguration c;
    c.nominal.bitrate = rate;
    c.nominal.sample_point = sample;
    return c;
}

inline CanMessage standard_frame(std::uint32_t id, std::vector<std::uint8_t> data) {
    CanMessage m;
    m.id = id;
    m.dlc = static_cast<std::uint8_t>(data.size());
    m.data = std::move(data);
    m.flag = CanMsgFlags{CanMsgFlags::STD};
    return m;
}

// The hardware as configured, before each test.
class NetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logs().clear();
        simulator().restart();
        ASSERT_TRUE(DriverLibrary::instance().loaded());
        ASSERT_EQ(ChannelDirectory::instance().discover(), Status::tarnOK);
    }
    // Whatever a test created is gone with its last holder: no bus stays registered.
    void TearDown() override {
        for (const ChannelIdentity& identity : {kA0, kA1, kB0, kB1}) {
            EXPECT_TRUE(eventually([&] { return find_bus(identity) == nullptr; }))
                << to_string(identity);
        }
    }
};

}  // namespace tarnlib::test
