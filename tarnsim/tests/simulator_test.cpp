// What only the simulated driver does, through its exported functions, in one process and
// across two: its timing model, queue sizes, bit-rate mismatches, silent nodes, the handle
// table shared between processes, and the control interface. What every driver does is in
// tarnlib/tests/driver_contract_test.cpp, which runs against this driver too.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "platform/event.hpp"
#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "sim_fixture.hpp"
#include "tarnlib/driver_api.h"
#include "tarnsim/tarnsim_control.h"

extern "C" {
tarnStatus TARN_CALL tarnGetNumberOfChannels(int32_t*);
tarnStatus TARN_CALL tarnEnumHardwareEx(int32_t*);
tarnStatus TARN_CALL tarnGetChannelData(int32_t, int32_t, void*, uint32_t);
tarnHandle TARN_CALL tarnOpenChannel(int32_t, int32_t);
tarnStatus TARN_CALL tarnClose(tarnHandle);
tarnStatus TARN_CALL tarnSetBusParams(tarnHandle, int32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                      uint32_t);
tarnStatus TARN_CALL tarnSetBusOutputControl(tarnHandle, uint32_t);
tarnStatus TARN_CALL tarnBusOn(tarnHandle);
tarnStatus TARN_CALL tarnWrite(tarnHandle, int32_t, const void*, uint32_t, uint32_t);
tarnStatus TARN_CALL tarnWriteSync(tarnHandle, uint32_t);
tarnStatus TARN_CALL tarnReadWait(tarnHandle, int32_t*, void*, uint32_t*, uint32_t*, uint32_t*,
                                  uint32_t);
tarnStatus TARN_CALL tarnRead(tarnHandle, int32_t*, void*, uint32_t*, uint32_t*, uint32_t*);
tarnStatus TARN_CALL tarnReadStatus(tarnHandle, uint32_t*);
tarnStatus TARN_CALL tarnIoCtl(tarnHandle, uint32_t, void*, uint32_t);
}

namespace {

using tarnsim_test::ConfigFile;

constexpr tarnStatus kOk = 0;
constexpr tarnStatus kNoMsg = -2;
constexpr tarnStatus kTxBufOfl = -13;
constexpr tarnStatus kNoCard = -26;
constexpr tarnStatus kNoAccess = -31;
constexpr std::uint32_t kGenerousMs = 20000;

struct Rx {
    tarnStatus status = kNoMsg;
    std::int32_t id = 0;
    std::uint8_t data[64] = {};
    std::uint32_t dlc = 0;
    std::uint32_t flags = 0;
    std::uint32_t time = 0;
};

Rx read_wait(tarnHandle h, std::uint32_t timeout_ms = kGenerousMs) {
    Rx rx;
    rx.status = tarnReadWait(h, &rx.id, rx.data, &rx.dlc, &rx.flags, &rx.time, timeout_ms);
    return rx;
}

Rx read_now(tarnHandle h) {
    Rx rx;
    rx.status = tarnRead(h, &rx.id, rx.data, &rx.dlc, &rx.flags, &rx.time);
    return rx;
}

void ioctl(tarnHandle h, std::uint32_t function, std::uint32_t value) {
    ASSERT_EQ(tarnIoCtl(h, function, &value, sizeof value), kOk);
}

// Opens a channel, sets the bit rate (16 quanta, 75 %) and goes on bus.
tarnHandle open_on_bus(std::int32_t channel, std::int32_t bitrate = 500000,
                       std::int32_t flags = 0) {
    const tarnHandle h = tarnOpenChannel(channel, flags);
    EXPECT_GE(h, 0);
    EXPECT_EQ(tarnSetBusParams(h, bitrate, 11, 4, 1, 1, 0), kOk);
    EXPECT_EQ(tarnBusOn(h), kOk);
    return h;
}

// ---- child process modes ----

// Sends one frame with id 0x123 on channel 1 and waits until it is on the wire.
int child_send() {
    const tarnHandle h = open_on_bus(1);
    const std::uint8_t data[3] = {1, 2, 3};
    if (tarnWrite(h, 0x123, data, 3, 0) != kOk) {
        return 2;
    }
    if (tarnWriteSync(h, kGenerousMs) != kOk) {
        return 3;
    }
    return tarnClose(h) == kOk ? 0 : 4;
}

// Exit code 0 when an exclusive open of channel 0 is refused.
int child_open_exclusive_refused() {
    return tarnOpenChannel(0, TARN_OPEN_EXCLUSIVE) == kNoAccess ? 0 : 1;
}

// Opens channel 0 exclusively, says so with a frame, and waits to be killed.
int child_hold_exclusive() {
    const tarnHandle h = open_on_bus(0, 500000, TARN_OPEN_EXCLUSIVE);
    if (h < 0) {
        return 1;
    }
    tarnWrite(h, 0x7FF, nullptr, 0, 0);
    tarnWriteSync(h, kGenerousMs);
    for (;;) {
        read_wait(h, kGenerousMs);
    }
}

// Queues frames while silent (of two lengths, alternating), then sends them at once.
int child_send_saturated() {
    const tarnHandle h = open_on_bus(1, 500000);
    if (tarnSetBusOutputControl(h, TARN_DRIVERTYPE_SILENT) != kOk) {
        return 2;
    }
    const std::uint8_t aa[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    const std::uint8_t ff[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 50; ++i) {
        const bool odd = i % 2 != 0;
        if (tarnWrite(h, odd ? 0x7FF : 0x2AA, odd ? ff : aa, 8, 0) != kOk) {
            return 3;
        }
    }
    if (tarnSetBusOutputControl(h, TARN_DRIVERTYPE_NORMAL) != kOk ||
        tarnWriteSync(h, kGenerousMs) != kOk) {
        return 4;
    }
    return tarnClose(h) == kOk ? 0 : 5;
}

// Resets the instance, holds channel 1 exclusively, says so through the start-up status
// and waits to be killed.
int child_reset_and_hold() {
    if (tarnsim_reset() != kOk) {
        return 1;
    }
    std::int32_t count = 0;
    tarnEnumHardwareEx(&count);
    if (tarnOpenChannel(1, TARN_OPEN_EXCLUSIVE) < 0 || tarnsim_set_startup_status(-5) != kOk) {
        return 2;
    }
    for (;;) {
        tarnReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, kGenerousMs);
    }
}

int run_child(int argc, char** argv) {
    if (argc < 4 || tarnsim_configure(argv[2]) != kOk) {
        return 10;
    }
    const std::string mode = argv[3];
    if (mode == "send") {
        return child_send();
    }
    if (mode == "send-saturated") {
        return child_send_saturated();
    }
    if (mode == "reset-and-hold") {
        return child_reset_and_hold();
    }
    if (mode == "exclusive-refused") {
        return child_open_exclusive_refused();
    }
    if (mode == "hold-exclusive") {
        return child_hold_exclusive();
    }
    return 11;
}

platform::ChildProcess spawn_child(const std::string& config, const std::string& mode) {
    auto child = platform::ChildProcess::spawn(platform::current_executable_path(),
                                               {"--tarnsim-child", config, mode});
    if (!child) {
        ADD_FAILURE() << "spawn: " << child.error().what;
        std::abort();
    }
    return std::move(child.value());
}

class Simulator : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(tarnsim_configure(config_.path().c_str()), kOk);
        ASSERT_EQ(tarnsim_reset(), kOk);
        std::int32_t count = 0;
        ASSERT_EQ(tarnEnumHardwareEx(&count), kOk);
        ASSERT_EQ(count, 2);
    }
    ConfigFile config_{tarnsim_test::kTwoChannels};
};

// A frame is stamped with its end on the wire on the clock all processes share: a stamp made
// in another process lies exactly between two readings here (the driver contract allows
// other drivers some slack).
TEST_F(Simulator, FramesCrossProcessesWithTheSameClock) {
    const tarnHandle h = open_on_bus(0);
    const std::int64_t before_us = platform::monotonic_ns() / 1000;
    auto child = spawn_child(config_.path(), "send");
    const Rx rx = read_wait(h);
    ASSERT_EQ(rx.status, kOk);
    const std::int64_t after_us = platform::monotonic_ns() / 1000;
    EXPECT_EQ(rx.id, 0x123);
    EXPECT_EQ(rx.dlc, 3u);
    EXPECT_EQ(rx.data[2], 3);
    EXPECT_EQ(rx.flags, TARN_MSG_STD);
    // The child's time stamp lies between two readings of this process's clock.
    const std::uint32_t lo = static_cast<std::uint32_t>(before_us);
    const std::uint32_t hi = static_cast<std::uint32_t>(after_us);
    EXPECT_LE(rx.time - lo, hi - lo);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(tarnClose(h), kOk);
}

TEST_F(Simulator, SilentAndMismatchedNodes) {
    const tarnHandle sender = open_on_bus(0, 250000);
    ioctl(sender, TARN_IOCTL_SET_TXACK, 1);
    const tarnHandle fast = open_on_bus(1, 500000);

    // The only other node reads at the wrong rate: error frames, no data, no acknowledge.
    ASSERT_EQ(tarnWrite(sender, 0x100, "\x11\x22", 2, 0), kOk);
    const Rx err = read_wait(fast);
    ASSERT_EQ(err.status, kOk);
    EXPECT_EQ(err.flags, TARN_MSG_ERROR_FRAME);
    EXPECT_EQ(err.dlc, 0u);
    EXPECT_EQ(read_wait(sender).flags, TARN_MSG_STD | TARN_MSG_TXNACK);

    // A silent node at the right rate listens but does not acknowledge, and sends nothing.
    ASSERT_EQ(tarnSetBusParams(fast, 250000, 11, 4, 1, 1, 0), kOk);
    ASSERT_EQ(tarnSetBusOutputControl(fast, TARN_DRIVERTYPE_SILENT), kOk);
    ASSERT_EQ(tarnWrite(sender, 0x101, nullptr, 0, 0), kOk);
    EXPECT_EQ(read_wait(fast).id, 0x101);
    EXPECT_EQ(read_wait(sender).flags, TARN_MSG_STD | TARN_MSG_TXNACK);
    ASSERT_EQ(tarnWrite(fast, 0x102, nullptr, 0, 0), kOk);
    EXPECT_EQ(tarnWriteSync(fast, 50), -7);  // stays queued
    EXPECT_EQ(read_now(sender).status, kNoMsg);

    // Back to normal: the queued frame goes out and is acknowledged by the sender's node.
    ASSERT_EQ(tarnSetBusOutputControl(fast, TARN_DRIVERTYPE_NORMAL), kOk);
    const Rx late = read_wait(sender);
    EXPECT_EQ(late.id, 0x102);
    EXPECT_EQ(late.flags, TARN_MSG_STD);
    ASSERT_EQ(tarnWrite(sender, 0x103, nullptr, 0, 0), kOk);
    EXPECT_EQ(read_wait(sender).flags, TARN_MSG_STD | TARN_MSG_TXACK);
}

// Exclusive opens within one process are in the driver contract; across processes the
// other way round below, with a process that dies holding the channel.
TEST_F(Simulator, ExclusiveOpenIsRefusedInAnotherProcess) {
    const tarnHandle shared = tarnOpenChannel(0, 0);
    ASSERT_GE(shared, 0);
    auto child = spawn_child(config_.path(), "exclusive-refused");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(tarnClose(shared), kOk);
}

TEST_F(Simulator, HandlesOfADeadProcessAreReclaimed) {
    const tarnHandle watch = open_on_bus(1);
    auto child = spawn_child(config_.path(), "hold-exclusive");
    ASSERT_EQ(read_wait(watch).id, 0x7FF);  // the child holds channel 0 exclusively now
    EXPECT_EQ(tarnOpenChannel(0, 0), kNoAccess);
    child.kill_hard();
    child.wait();
    const tarnHandle after = tarnOpenChannel(0, 0);
    EXPECT_GE(after, 0);
}

// Handles that another process's reset took away are no longer this process's to close:
// detaching leaves the slot alone, which the other process reuses meanwhile.
TEST_F(Simulator, DetachAfterAnotherProcessResetLeavesItsHandlesAlone) {
    const tarnHandle mine = open_on_bus(0);
    ASSERT_EQ(mine, 0);
    auto child = spawn_child(config_.path(), "reset-and-hold");
    // The child has reset the instance and holds channel 1 in slot 0 when it says so.
    const std::int64_t limit = platform::monotonic_ns() + std::int64_t{kGenerousMs} * 1'000'000;
    std::int32_t count = 0;
    while (tarnGetNumberOfChannels(&count) != -5) {
        ASSERT_LT(platform::monotonic_ns(), limit);
    }
    ASSERT_EQ(tarnsim_configure(config_.path().c_str()), kOk);
    EXPECT_EQ(tarnOpenChannel(1, 0), kNoAccess);
    child.kill_hard();
    child.wait();
}

TEST_F(Simulator, FullTransmitQueueDrainsAtTheBusRate) {
    constexpr std::uint32_t kQueue = 4;
    constexpr std::int32_t kRate = 10000;
    ASSERT_EQ(tarnsim_set_queue_sizes(0, 0, kQueue, 0), kOk);
    const tarnHandle sender = open_on_bus(0, kRate);
    ioctl(sender, TARN_IOCTL_SET_TXACK, 1);
    const tarnHandle peer = open_on_bus(1, kRate);
    (void)peer;
    const std::uint8_t data[8] = {};
    std::uint32_t accepted = 0;
    tarnStatus st = kOk;
    // An 8-byte frame is at least 111 bits, 11.1 ms at 10 kbit/s: the queue fills
    // long before it drains.
    while ((st = tarnWrite(sender, 0x55, data, 8, 0)) == kOk && accepted < 100) {
        ++accepted;
    }
    EXPECT_EQ(st, kTxBufOfl);
    EXPECT_LE(accepted, kQueue + 1);
    ASSERT_EQ(tarnWriteSync(sender, kGenerousMs), kOk);
    EXPECT_EQ(tarnWrite(sender, 0x56, data, 8, 0), kOk);
    ASSERT_EQ(tarnWriteSync(sender, kGenerousMs), kOk);

    std::vector<std::uint32_t> times;
    for (Rx rx = read_now(sender); rx.status == kOk; rx = read_now(sender)) {
        EXPECT_TRUE(rx.flags & TARN_MSG_TXACK);
        times.push_back(rx.time);
    }
    ASSERT_EQ(times.size(), accepted + 1);
    for (std::size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], 111u * 1000000u / kRate - 1) << i;
    }
}

// A saturated bus carries frames back to back, each for exactly its stuffed length: the
// physical frame rate of a real bus with the same frames. The frames are 8-byte standard
// frames of the lengths worked out in frame_bits_test.cpp: id 0x2AA with 0xAA bytes (111
// bits, no stuff bit) and id 0x7FF with 0xFF bytes (126 bits), queued by another process
// while silent and sent at once.
TEST_F(Simulator, SaturatedBusCarriesThePhysicalFrameRate) {
    constexpr std::int32_t kRate = 500000;
    constexpr int kFrames = 50;
    const tarnHandle rx = open_on_bus(0, kRate);
    auto child = spawn_child(config_.path(), "send-saturated");
    std::vector<Rx> frames;
    while (frames.size() < kFrames) {
        frames.push_back(read_wait(rx));
        ASSERT_EQ(frames.back().status, kOk);
    }
    EXPECT_EQ(child.wait(), 0);
    std::uint64_t bits = 0;
    double expected_us = 0;
    for (int i = 0; i < kFrames; ++i) {
        const std::uint32_t length = frames[i].id == 0x2AA ? 111 : 126;
        bits += length;
        if (i > 0) {
            // Each ends one frame time after the one before (time stamps in whole us).
            const double frame_us = length * 1e6 / kRate;
            expected_us += frame_us;
            EXPECT_NEAR(frames[i].time - frames[i - 1].time, frame_us, 1.0) << i;
        }
    }
    const double span_us = frames.back().time - frames.front().time;
    EXPECT_NEAR(span_us, expected_us, expected_us * 0.01);
    tarnsim_bus_stats stats{};
    ASSERT_EQ(tarnsim_get_bus_stats(0, &stats, 0), kOk);
    EXPECT_EQ(stats.frames, std::uint64_t{kFrames});
    EXPECT_EQ(stats.bits, bits);
    EXPECT_EQ(stats.busy_ns, bits * 1'000'000'000 / kRate);
    EXPECT_LE(stats.busy_ns, stats.elapsed_ns);
}

// A wait handle is set when a frame ends on the wire, with no driver call in between. Every
// copy of the frame carries that end time, the sender's acknowledgement too.
TEST_F(Simulator, WaitHandleIsSetAtTheEndOfTheFrame) {
    constexpr std::int32_t kRate = 10000;  // 11.1 ms for the frame below
    const tarnHandle rx = open_on_bus(0, kRate);
    void* wait_handle = nullptr;
    ASSERT_EQ(tarnIoCtl(rx, TARN_IOCTL_GET_EVENTHANDLE, &wait_handle, sizeof wait_handle), kOk);
    const tarnHandle tx = open_on_bus(1, kRate);
    ioctl(tx, TARN_IOCTL_SET_TXACK, 1);
    const std::uint8_t data[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    const std::int64_t written = platform::monotonic_ns();
    ASSERT_EQ(tarnWrite(tx, 0x2AA, data, 8, 0), kOk);
    ASSERT_EQ(platform::wait_native_event(wait_handle, std::chrono::milliseconds(kGenerousMs)),
              platform::WaitResult::Signalled);
    const std::int64_t woken = platform::monotonic_ns();
    const Rx frame = read_now(rx);
    ASSERT_EQ(frame.status, kOk);
    // The frame ended 111 bit times after the write, and the wait did not end before.
    const auto since = [&](std::int64_t ns) {
        return static_cast<std::int32_t>(frame.time - static_cast<std::uint32_t>(ns / 1000));
    };
    EXPECT_GE(since(written), 111 * 1000000 / kRate - 1);
    EXPECT_LE(since(woken), 0);
    EXPECT_EQ(read_now(rx).status, kNoMsg);
    const Rx ack = read_wait(tx);
    EXPECT_EQ(ack.flags, TARN_MSG_STD | TARN_MSG_TXACK);
    EXPECT_EQ(ack.time, frame.time);
}

TEST_F(Simulator, ReceiveOverflowIsFlaggedOnTheNextFrame) {
    ASSERT_EQ(tarnsim_set_queue_sizes(0, 1, 0, 2), kOk);
    const tarnHandle sender = open_on_bus(0);
    const tarnHandle receiver = open_on_bus(1);
    for (int id = 1; id <= 3; ++id) {
        ASSERT_EQ(tarnWrite(sender, id, nullptr, 0, 0), kOk);
    }
    ASSERT_EQ(tarnWriteSync(sender, kGenerousMs), kOk);
    std::uint32_t status = 0;
    ASSERT_EQ(tarnReadStatus(receiver, &status), kOk);
    EXPECT_TRUE(status & TARN_STAT_SW_OVERRUN);
    EXPECT_EQ(read_now(receiver).id, 1);
    EXPECT_EQ(read_now(receiver).id, 2);
    EXPECT_EQ(read_now(receiver).status, kNoMsg);  // frame 3 was lost
    ASSERT_EQ(tarnWrite(sender, 4, nullptr, 0, 0), kOk);
    const Rx next = read_wait(receiver);
    EXPECT_EQ(next.id, 4);
    EXPECT_EQ(next.flags, TARN_MSG_STD | TARN_MSG_SW_OVERRUN);
}

TEST_F(Simulator, UnpluggedInterfaceDisappearsAndItsHandlesFail) {
    const tarnHandle h = open_on_bus(0);
    ASSERT_EQ(tarnsim_set_plugged(0, 0), kOk);
    std::int32_t count = -1;
    ASSERT_EQ(tarnEnumHardwareEx(&count), kOk);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(tarnWrite(h, 1, nullptr, 0, 0), kNoCard);
    EXPECT_EQ(read_wait(h, 0).status, kNoCard);
    ASSERT_EQ(tarnsim_set_plugged(0, 1), kOk);
    ASSERT_EQ(tarnEnumHardwareEx(&count), kOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(tarnWrite(h, 1, nullptr, 0, 0), kNoCard);  // the old handle stays dead
    EXPECT_EQ(tarnClose(h), kOk);
    std::uint64_t ean = 0;
    ASSERT_EQ(tarnGetChannelData(1, TARN_CHANNELDATA_CARD_UPC_NO, &ean, sizeof ean), kOk);
    EXPECT_EQ(ean, 0x7330130123456ULL);
}

TEST_F(Simulator, ControlInterface) {
    // Start-up failure.
    ASSERT_EQ(tarnsim_set_startup_status(-5), kOk);
    std::int32_t count = 0;
    EXPECT_EQ(tarnGetNumberOfChannels(&count), -5);
    ASSERT_EQ(tarnsim_set_startup_status(0), kOk);
    EXPECT_EQ(tarnGetNumberOfChannels(&count), kOk);

    // A foreign node at the right and at the wrong rate, and an error frame.
    const tarnHandle h = open_on_bus(1, 250000);
    ASSERT_EQ(tarnsim_inject(0, 0x321, "\x42", 1, 0, 250000), kOk);
    ASSERT_EQ(tarnsim_inject(0, 0x322, "\x42", 1, 0, 500000), kOk);
    ASSERT_EQ(tarnsim_inject(0, 0, nullptr, 0, TARN_MSG_ERROR_FRAME, 250000), kOk);
    EXPECT_EQ(read_wait(h).id, 0x321);
    EXPECT_EQ(read_wait(h).flags, TARN_MSG_ERROR_FRAME);
    EXPECT_EQ(read_wait(h).flags, TARN_MSG_ERROR_FRAME);
    tarnsim_bus_stats stats{};
    ASSERT_EQ(tarnsim_get_bus_stats(0, &stats, 1), kOk);
    EXPECT_EQ(stats.frames, 3u);
    EXPECT_EQ(stats.error_frames, 1u);
    EXPECT_GT(stats.bits, 0u);

    // Bus off until the handle goes on bus again.
    ASSERT_EQ(tarnsim_force_bus_off(0, 1), kOk);
    std::uint32_t status = 0;
    ASSERT_EQ(tarnReadStatus(h, &status), kOk);
    EXPECT_TRUE(status & TARN_STAT_BUS_OFF);
    ASSERT_EQ(tarnsim_inject(0, 0x323, nullptr, 0, 0, 250000), kOk);
    EXPECT_EQ(read_now(h).status, kNoMsg);
    ASSERT_EQ(tarnBusOn(h), kOk);
    ASSERT_EQ(tarnReadStatus(h, &status), kOk);
    EXPECT_FALSE(status & TARN_STAT_BUS_OFF);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--tarnsim-child") {
        return run_child(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
