// The simulator's configuration format.

#include <gtest/gtest.h>

#include "config.hpp"

namespace tarnsim {
namespace {

TEST(TarnsimConfig, ReadsInterfacesAndBuses) {
    const ParseResult r = parse_config(
        "instance = bench-1   # private\n"
        "[interface]\n"
        "ean = 73-30130-00683-2\n"
        "serial = 0\n"
        "card = 7\n"
        "channels = 4\n"
        "firmware = 5.1.77\n"
        "clock = 80000000\n"
        "legacy_bus_params = yes\n"
        "[interface]\n"
        "ean = 0x7330130006839\n"
        "[bus]\n"
        "channels = 0:0, 1:1\n"
        "foreign_ack = on\n");
    ASSERT_TRUE(r.config) << r.error;
    const Config& c = *r.config;
    EXPECT_EQ(c.instance, "bench-1");
    ASSERT_EQ(c.interfaces.size(), 2u);
    EXPECT_EQ(c.interfaces[0].ean, 0x7330130006832ULL);
    EXPECT_EQ(c.interfaces[0].serial, 0u);
    EXPECT_EQ(c.interfaces[0].card, 7u);
    EXPECT_EQ(c.interfaces[0].channels, 4u);
    EXPECT_EQ(c.interfaces[0].firmware, (5ULL << 48) | (1ULL << 32) | 77);
    EXPECT_EQ(c.interfaces[0].capabilities, 1u);
    EXPECT_EQ(c.interfaces[1].ean, 0x7330130006839ULL);
    EXPECT_EQ(c.interfaces[1].card, 1u);  // defaults to its position
    ASSERT_EQ(c.buses.size(), 1u);
    ASSERT_EQ(c.buses[0].members.size(), 2u);
    EXPECT_EQ(c.buses[0].members[1].interface_index, 1u);
    EXPECT_EQ(c.buses[0].members[1].channel, 1u);
    EXPECT_TRUE(c.buses[0].foreign_ack);
}

TEST(TarnsimConfig, RejectsBadFilesWithTheLine) {
    EXPECT_EQ(parse_config("[interface]\nchannels = 9\n").error, "line 2: bad interface setting");
    EXPECT_EQ(parse_config("instance = a/b\n").error,
              "line 1: expected instance = <letters, digits, - _ .>");
    EXPECT_FALSE(parse_config("[interface]\n[bus]\nchannels = 0:2\n").config);  // 2 channels
    EXPECT_FALSE(
        parse_config("[interface]\n[bus]\nchannels = 0:0\n[bus]\nchannels = 0:0\n").config);
    EXPECT_FALSE(parse_config("[interface]\nean = 12x\n").config);
}

TEST(TarnsimConfig, DefaultWiresTwoChannelsToOneBus) {
    const Config c = default_config();
    ASSERT_EQ(c.interfaces.size(), 1u);
    EXPECT_EQ(c.interfaces[0].ean, 0x7330130123456ULL);
    EXPECT_EQ(c.interfaces[0].serial, 10001u);
    ASSERT_EQ(c.buses.size(), 1u);
    EXPECT_EQ(c.buses[0].members.size(), 2u);
}

}  // namespace
}  // namespace tarnsim
