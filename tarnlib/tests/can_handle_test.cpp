// The handle object and discovery over the simulated driver, loaded like the product does.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/dynamic_library.hpp"
#include "platform/event.hpp"
#include "sim_fixture.hpp"
#include "tarnlib/can_handle.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnlib/driver_library.hpp"
#include "tarnsim/tarnsim_control.h"

namespace tarnlib {
namespace {

// Interface 0: serial 0, card 7, legacy bus parameters, 2 channels on bus 0.
// Interface 1: two channels, channel 0 on bus 0 with interface 0.
constexpr const char* kHardware =
    "[interface]\n"
    "ean = 73-30130-12345-6\n"
    "serial = 0\n"
    "card = 7\n"
    "channels = 2\n"
    "legacy_bus_params = yes\n"
    "firmware = 4.2.311\n"
    "bus_type = 3\n"
    "[interface]\n"
    "ean = 73-30130-00683-2\n"
    "serial = 20002\n"
    "channels = 2\n"
    "clock = 80000000\n"
    "[bus]\n"
    "channels = 0:0, 0:1, 1:0\n";

constexpr std::uint64_t kEanA = 0x7330130123456ULL;
constexpr std::uint64_t kEanB = 0x7330130006832ULL;
constexpr std::uint32_t kGenerousMs = 20000;

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
    }
    void restart() {
        ASSERT_EQ(configure_(config_.path().c_str()), 0);
        ASSERT_EQ(reset_(), 0);
    }
    void plug(int interface_index, bool plugged) {
        ASSERT_EQ(plug_(interface_index, plugged ? 1 : 0), 0);
    }

  private:
    tarnsim_test::ConfigFile config_;
    std::optional<platform::DynamicLibrary> library_;
    tarnsim_configure_fn configure_ = nullptr;
    tarnsim_reset_fn reset_ = nullptr;
    tarnsim_set_plugged_fn plug_ = nullptr;
};

Simulator& simulator() {
    static Simulator* const sim = new Simulator();
    return *sim;
}

BusConfiguration classic(double rate, double sample = 0.875) {
    BusConfiguration c;
    c.nominal.bitrate = rate;
    c.nominal.sample_point = sample;
    return c;
}

class CanHandleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simulator().restart();
        ASSERT_TRUE(DriverLibrary::instance().loaded());
        ASSERT_EQ(ChannelDirectory::instance().discover(), Status::tarnOK);
    }
    ChannelIdentity a0{"", kEanA, 7, 0};
    ChannelIdentity a1{"", kEanA, 7, 1};
    ChannelIdentity b0{"", kEanB, 20002, 0};
    ChannelIdentity b1{"", kEanB, 20002, 1};
};

TEST_F(CanHandleTest, DiscoveryFindsIdentitiesAndForgetsRemovedInterfaces) {
    // Interface 0 reports serial 0 and is identified by its card number.
    EXPECT_EQ(ChannelDirectory::instance().find({}),
              (std::vector<ChannelIdentity>{b0, b1, a0, a1}));
    EXPECT_EQ(ChannelDirectory::instance().find({kEanA, std::nullopt, 1u}),
              (std::vector<ChannelIdentity>{a1}));
    EXPECT_EQ(ChannelDirectory::instance().find({std::nullopt, 20002u, std::nullopt}).size(), 2u);
    EXPECT_TRUE(ChannelDirectory::instance().find({std::nullopt, 99u, std::nullopt}).empty());
    EXPECT_EQ(ChannelDirectory::instance().channel_number(b0), 2);

    simulator().plug(0, false);
    EXPECT_EQ(ChannelDirectory::instance().find({}), (std::vector<ChannelIdentity>{b0, b1}));
    EXPECT_EQ(ChannelDirectory::instance().channel_number(b0), 0);  // numbers moved
    EXPECT_EQ(CanHandle::open(a0, classic(250000), {}).error(), Status::tarnERR_NOTFOUND);
}

TEST_F(CanHandleTest, FramesBetweenTwoHandles) {
    auto sender = CanHandle::open(a0, classic(250000), {});
    ASSERT_TRUE(sender) << status_name(static_cast<int>(sender.error()));
    auto receiver = CanHandle::open(b0, classic(250000), {});
    ASSERT_TRUE(receiver);
    EXPECT_EQ(to_string(*sender), "73-30130-12345-6/7/0 hnd[0]");
    EXPECT_EQ(sender->flags().bits, CanOpenFlags::ACCEPT_VIRTUAL | CanOpenFlags::ACCEPT_LARGE_DLC);
    EXPECT_EQ(receiver->clock_hz(), 80e6);
    ASSERT_EQ(sender->io_ctl(TARN_IOCTL_SET_TXACK, 1), Status::tarnOK);
    ASSERT_EQ(sender->bus_on(), Status::tarnOK);
    ASSERT_EQ(receiver->bus_on(), Status::tarnOK);

    // Nothing waiting is an empty batch.
    auto none = receiver->read(0);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());

    // The legacy path (interface 0) and the time-quantum path (interface 1) agree.
    EXPECT_EQ(sender->get_timing()->nominal.bitrate, 250000.0);
    EXPECT_EQ(receiver->get_timing()->nominal.bitrate, 250000.0);
    EXPECT_DOUBLE_EQ(sender->get_timing()->nominal.sample_point, 0.875);
    EXPECT_DOUBLE_EQ(receiver->get_timing()->nominal.sample_point, 0.875);

    CanMessage m;
    m.id = 0x18FEF100;
    m.data = {1, 2, 3, 4, 5, 6, 7, 8};
    m.dlc = 8;
    m.flag = CanMsgFlags{CanMsgFlags::EXT};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sender->write(m), Status::tarnOK);
    }
    ASSERT_EQ(sender->write_sync(kGenerousMs), Status::tarnOK);
    auto got = receiver->read(kGenerousMs);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 3u);  // one batch: all frames waiting
    EXPECT_EQ((*got)[0].id, m.id);
    EXPECT_EQ((*got)[0].data, m.data);
    EXPECT_EQ((*got)[0].flag, m.flag);
    auto acks = sender->read(kGenerousMs);
    ASSERT_TRUE(acks);
    ASSERT_EQ(acks->size(), 3u);
    EXPECT_EQ((*acks)[2].flag.bits, CanMsgFlags::EXT | CanMsgFlags::TXACK);
    EXPECT_EQ((*acks)[2].timestamp, (*got)[2].timestamp);

    EXPECT_EQ(*sender->firmware_revision(), (4ULL << 48) | (2ULL << 32) | 311);
    EXPECT_EQ(*sender->bus_type(), 3u);
    EXPECT_EQ(*receiver->read_status() & ~0x7FFu, 0u);

    // The wait handle is signalled while frames wait.
    auto wait = receiver->wait_handle();
    ASSERT_TRUE(wait);
    ASSERT_EQ(sender->write(m), Status::tarnOK);
    EXPECT_EQ(platform::wait_native_event(*wait, std::chrono::milliseconds(kGenerousMs)),
              platform::WaitResult::Signalled);
    EXPECT_EQ(receiver->read(0)->size(), 1u);

    EXPECT_EQ(sender->close(), Status::tarnOK);
    EXPECT_EQ(sender->close(), Status::tarnERR_INVHANDLE);  // closed once only
    EXPECT_EQ(sender->write(m), Status::tarnERR_INVHANDLE);
}

TEST_F(CanHandleTest, FdTimingAndOpenFailures) {
    BusConfiguration fd = classic(500000, 0.8);
    fd.kind = BusKind::Fd;
    fd.data.bitrate = 2000000;
    fd.data.sample_point = 0.7;
    auto h = CanHandle::open(b1, fd, {});
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->flags().has(CanOpenFlags::CAN_FD));
    auto timing = h->get_timing();
    ASSERT_TRUE(timing);
    EXPECT_EQ(timing->kind, BusKind::Fd);
    EXPECT_EQ(timing->nominal.bitrate, 500000.0);
    EXPECT_DOUBLE_EQ(timing->nominal.sample_point, 0.8);
    EXPECT_EQ(timing->data.bitrate, 2000000.0);
    EXPECT_DOUBLE_EQ(timing->data.sample_point, 0.7);

    // An exclusive bus needs the exclusive flag; the driver refuses a second exclusive open.
    BusConfiguration exclusive = classic(250000);
    exclusive.exclusive = true;
    EXPECT_EQ(CanHandle::open(a1, exclusive, {}).error(), Status::tarnERR_NO_ACCESS);
    auto first = CanHandle::open(a1, exclusive, CanOpenFlags{CanOpenFlags::EXCLUSIVE});
    ASSERT_TRUE(first);
    EXPECT_EQ(CanHandle::open(a1, classic(250000), {}).error(), Status::tarnERR_NO_ACCESS);

    // A timing no clock can make closes the handle again: the channel stays free.
    EXPECT_EQ(CanHandle::open(b0, classic(1e9), {}).error(), Status::tarnERR_PARAM);
    EXPECT_TRUE(CanHandle::open(b0, classic(250000), CanOpenFlags{CanOpenFlags::EXCLUSIVE}));

    // An unplugged interface fails its open handles.
    simulator().plug(1, false);
    EXPECT_EQ(h->bus_on(), Status::tarnERR_NOCARD);
    EXPECT_EQ(h->read(0).error(), Status::tarnERR_NOCARD);
}

}  // namespace
}  // namespace tarnlib
