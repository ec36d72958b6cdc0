// Bit-timing conversion and the text forms of timings, flags and identities.

#include <gtest/gtest.h>

#include <limits>

#include "tarnlib/bus_configuration.hpp"
#include "tarnlib/can_message.hpp"
#include "tarnlib/channel_identity.hpp"

namespace tarnlib {
namespace {

BusPhase phase(double rate, double sample) {
    BusPhase p;
    p.bitrate = rate;
    p.sample_point = sample;
    return p;
}

void expect_tq(const tarnBusParamsTq& t, std::int32_t tq, std::int32_t phase1, std::int32_t phase2,
               std::int32_t sjw, std::int32_t prop, std::int32_t prescaler) {
    EXPECT_EQ(t.tq, tq);
    EXPECT_EQ(t.phase1, phase1);
    EXPECT_EQ(t.phase2, phase2);
    EXPECT_EQ(t.sjw, sjw);
    EXPECT_EQ(t.prop, prop);
    EXPECT_EQ(t.prescaler, prescaler);
}

TEST(TimeQuanta, Conversion) {
    const BusParamLimits limits = default_bus_param_limits();
    // The documented example: 16 MHz, 250 kbit/s at 87.5 %, default limits.
    auto t = to_time_quanta(phase(250000, 0.875), limits.nominal_max, 1024, 16e6);
    ASSERT_TRUE(t);
    expect_tq(*t, 64, 55, 8, 8, 0, 1);

    // Small segment limits force a larger prescaler and move quanta into prop:
    // 80 MHz, 500 kbit/s at 80 % = 160 cycles; max phase1 32, prop 32, phase2 16 gives
    // prescaler ceil(128/65) = 2: 64 + 16 quanta, phase1 32, prop 31.
    const tarnBusParamsTq small{160, 32, 16, 8, 32, 1024};
    t = to_time_quanta(phase(500000, 0.8), small, 1024, 80e6);
    ASSERT_TRUE(t);
    expect_tq(*t, 80, 32, 16, 8, 31, 2);

    // 16 MHz gives 33 333.3 bit/s for 33 333 at every prescaler: within 0.1 % prescaler 1
    // is taken; within 1 ppm nothing is, and the maximum prescaler itself is never tried.
    BusPhase tight = phase(33333, 0.75);
    EXPECT_TRUE(to_time_quanta(tight, limits.nominal_max, 2, 16e6));
    tight.bitrate_tolerance = 1e-6;
    EXPECT_EQ(to_time_quanta(tight, limits.nominal_max, 1024, 16e6).error(), Status::tarnERR_PARAM);
    // 1 MHz at 500 kbit/s: cycles 2, D = 2 and E = 0 at prescaler 1 is no bit timing.
    EXPECT_FALSE(to_time_quanta(phase(500000, 0.875), limits.nominal_max, 1024, 1e6));
    // Unusable phases.
    EXPECT_FALSE(to_time_quanta(phase(0, 0.75), limits.nominal_max, 1024, 16e6));
    EXPECT_FALSE(to_time_quanta(phase(std::numeric_limits<double>::quiet_NaN(), 0.75),
                                limits.nominal_max, 1024, 16e6));
    EXPECT_FALSE(to_time_quanta(phase(250000, 1.0), limits.nominal_max, 1024, 16e6));
}

TEST(TimeQuanta, LegacyFormSplitsAt500k) {
    // 16 quanta up to 500 000 bit/s: round(16 * 0.875) = 14 -> tseg1 13, tseg2 2.
    LegacyBusParams p = to_legacy_bus_params(phase(500000, 0.875));
    EXPECT_EQ(p.bitrate, 500000);
    EXPECT_EQ(p.tseg1, 13u);
    EXPECT_EQ(p.tseg2, 2u);
    // 8 quanta above: round(8 * 0.875) = 7 -> tseg1 6, tseg2 1.
    p = to_legacy_bus_params(phase(500001, 0.875));
    EXPECT_EQ(p.bitrate, 500001);
    EXPECT_EQ(p.tseg1, 6u);
    EXPECT_EQ(p.tseg2, 1u);
    EXPECT_EQ(to_legacy_bus_params(phase(1e12, 0.75)).bitrate, 2147483647);
    // A sample point at the end of the bit still leaves one quantum after it.
    p = to_legacy_bus_params(phase(250000, 1.0));
    EXPECT_EQ(p.tseg1, 14u);
    EXPECT_EQ(p.tseg2, 1u);
}

TEST(TextForms, Timings) {
    EXPECT_EQ(to_string(phase(250000, 0.875)), "88% @ 250k");
    EXPECT_EQ(to_string(phase(1000000, 0.75)), "75% @ 1M");
    EXPECT_EQ(to_string(phase(33300, 0.7)), "70% @ 33.3k");
    EXPECT_EQ(to_string(phase(33333.3333, 0.8)), "80% @ 33.333k");
    EXPECT_EQ(to_string(phase(2500000, 0.8)), "80% @ 2.5M");
    EXPECT_EQ(to_string(phase(999999.9, 0.8)), "80% @ 1M");
    EXPECT_EQ(to_string(phase(std::numeric_limits<double>::infinity(), 0.5)), "50% @ -");

    BusConfiguration c;
    c.nominal = phase(500000, 0.8);
    EXPECT_EQ(to_string(c), "CC 80% @ 500k");
    c.kind = BusKind::Fd;
    c.data = phase(2000000, 0.7);
    c.name = "J1939 FD";
    EXPECT_EQ(to_string(c), "J1939 FD: FD nominal 80% @ 500k, data 70% @ 2M");
}

TEST(TextForms, Flags) {
    EXPECT_EQ(to_string(CanMsgFlags{CanMsgFlags::EXT | CanMsgFlags::TXACK}), "EXT | TXACK");
    EXPECT_EQ(to_string(CanMsgFlags{CanMsgFlags::LOCAL_TXACK | CanMsgFlags::RTR}),
              "RTR | LOCAL_TXACK");
    EXPECT_EQ(CanMsgFlags::from_driver(0xFFFFFFFF).bits, 0x9707FFFFu);
    EXPECT_EQ(to_string(CanOpenFlags{0x228}),
              "CanOpenFlags(EXCLUSIVE | ACCEPT_VIRTUAL | ACCEPT_LARGE_DLC)");
    EXPECT_EQ(flag_text(CanOpenFlags{0x1000 | 0x20000}), "INTERNAL_L | 0x20000");
    EXPECT_EQ(flag_text(CanOpenFlags{0x3}), "0x3");
    EXPECT_EQ(to_string(CanOpenFlags{}), "CanOpenFlags()");
}

TEST(TextForms, IdentitiesAndOrder) {
    const ChannelIdentity a{"", 0x7330130123456ULL, 10001, 0};
    EXPECT_EQ(to_string(a), "73-30130-12345-6/10001/0");
    EXPECT_EQ(to_string(ChannelIdentity{"", 0x12345, 7, 3}), "00-00000-01234-5/7/3");
    // Two channels of one interface sort next to each other, before a greater serial.
    ChannelIdentity b = a;
    b.channel = 1;
    ChannelIdentity c = a;
    c.serial = 10002;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace tarnlib
