// J1939 text forms and the RP1210 J1939 byte layouts of the tools. Expected values are
// written out by hand from the formats' descriptions (the RP1210 J1939 send and read
// formats, the 7-byte filter records, J1939-21 transfers for the bit counts).

#include <gtest/gtest.h>

#include <vector>

#include "tools/j1939_text.hpp"
#include "tools/rp1210_messages.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tools::J1939Message;

TEST(J1939Text, MessagesClaimsAndAddresses) {
    const auto dm1 = tools::parse_j1939_message("FECA#04.FF.6E00000164000103");
    ASSERT_TRUE(dm1.has_value());
    EXPECT_EQ(dm1->pgn, 0xFECAu);
    EXPECT_EQ(dm1->data, (Bytes{0x04, 0xFF, 0x6E, 0, 0, 0x01, 0x64, 0, 0x01, 0x03}));
    EXPECT_EQ(tools::parse_j1939_message("3FFFF#")->data, Bytes{});
    EXPECT_EQ(tools::parse_j1939_message("EF00#" + std::string(2 * 1785, 'A'))->data.size(), 1785u);

    EXPECT_EQ(*tools::parse_claim("80"), (tools::J1939Claim{0x80, 0x8000000000000080ULL}));
    EXPECT_EQ(*tools::parse_claim("FD:a000820005000101"),
              (tools::J1939Claim{0xFD, 0xA000820005000101ULL}));
    EXPECT_EQ(*tools::parse_address("5"), 5);

    const struct {
        const char* text;
        const char* reason;
        bool claim;
    } refused[] = {
        {"FECA", "expected PGN#DATA", false},
        {"40000#", "at most 3FFFF", false},
        {"EF00#0", "pairs of hexadecimal", false},
        {"FE", "cannot be claimed", true},
        {"80:", "1 to 16 hexadecimal digits", true},
        {"80:12345678901234567", "1 to 16 hexadecimal digits", true},
        {"180", "1 or 2 hexadecimal digits", true},
    };
    for (const auto& c : refused) {
        const std::string error = c.claim ? tools::parse_claim(c.text).error()
                                          : tools::parse_j1939_message(c.text).error();
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
    }
    const std::string too_long = "EF00#" + std::string(2 * 1786, 'A');
    EXPECT_NE(tools::parse_j1939_message(too_long).error().find("more than 1785 bytes"),
              std::string::npos);
}

TEST(J1939Text, DumpLinesAndBits) {
    J1939Message m;
    m.pgn = 0xFECA;
    m.priority = 7;
    m.source = 0x00;
    m.destination = 0xFF;
    m.data = {0x04, 0xFF, 0x6E, 0, 0, 0x01, 0x64, 0, 0x01, 0x03};
    EXPECT_EQ(tools::j1939_dump_line(12345, m),
              "(     12.345)  7  0FECA  00 -> FF  [10]  04 FF 6E 00 00 01 64 00 01 03");
    m.data.clear();
    EXPECT_EQ(tools::j1939_dump_line(5, m, true), "(      0.005)  TX  7  0FECA  00 -> FF  [0]");
    EXPECT_EQ(tools::j1939_text(m), "PGN 0FECA 00 -> FF [0]");

    // An extended 8-byte frame is 54 + 64 stuffed bits, 29 stuff bits, 13 more: 160.
    EXPECT_EQ(tools::j1939_message_bits(8, false), 160u);
    // 1785 bytes are 255 packets: with the BAM 256 frames, with RTS, CTS and EOMACK 258.
    EXPECT_EQ(tools::j1939_message_bits(1785, true), 256u * 160);
    EXPECT_EQ(tools::j1939_message_bits(1785, false), 258u * 160);
}

TEST(J1939Messages, SendAndReadLayouts) {
    J1939Message m;
    m.pgn = 0xEF00;
    m.priority = 6;
    m.source = 0x80;
    m.destination = 0x25;
    m.data = {1, 2};
    EXPECT_EQ(tools::j1939_send_message(m), (Bytes{0x00, 0xEF, 0x00, 0x06, 0x80, 0x25, 1, 2}));
    m.destination = 0xFF;
    EXPECT_EQ(tools::j1939_send_message(m), (Bytes{0x00, 0xEF, 0x00, 0x86, 0x80, 0xFF, 1, 2}));

    // Time stamp 0x00012345 ms, echo 1, PGN FECA, BAM at priority 7, from 00 to FF.
    const Bytes read{0x00, 0x01, 0x23, 0x45, 0x01, 0xCA, 0xFE, 0x00, 0x87, 0x00, 0xFF, 0xAA};
    const auto with_echo = tools::parse_j1939_read_message(read, true);
    ASSERT_TRUE(with_echo.has_value());
    EXPECT_EQ(with_echo->time_ms, 0x12345u);
    EXPECT_EQ(with_echo->echo, true);
    EXPECT_EQ(with_echo->message.pgn, 0xFECAu);
    EXPECT_EQ(with_echo->message.priority, 7);
    EXPECT_EQ(with_echo->message.destination, 0xFF);
    EXPECT_EQ(with_echo->message.data, Bytes{0xAA});
    const Bytes short_read(read.begin(), read.begin() + 9);
    EXPECT_FALSE(tools::parse_j1939_read_message(short_read, false).has_value());

    const std::uint32_t pgns[] = {0xFECA, 0x1F004};
    const std::uint8_t sources[] = {0x00};
    EXPECT_EQ(tools::j1939_filter_records(pgns, sources),
              (Bytes{0x05, 0xCA, 0xFE, 0x00, 0, 0x00, 0, 0x05, 0x04, 0xF0, 0x01, 0, 0x00, 0}));
    EXPECT_EQ(tools::j1939_filter_records({}, sources), (Bytes{0x04, 0, 0, 0, 0, 0x00, 0}));
    EXPECT_EQ(tools::protect_address_args({0x80, 0x0102030405060708ULL}),
              (Bytes{0x80, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
}

}  // namespace
