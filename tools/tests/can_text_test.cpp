// Frame text forms and the RP1210 byte layouts of the tools. Expected values are written
// out by hand from the formats' descriptions (cansend/candump for the text, the RP1210
// raw CAN message and filter layouts for the bytes).

#include <gtest/gtest.h>

#include <vector>

#include "tools/can_text.hpp"
#include "tools/rp1210_messages.hpp"

namespace {

using tools::CanFrame;

CanFrame frame(std::uint32_t id, bool extended, std::vector<std::uint8_t> data) {
    CanFrame f;
    f.id = id;
    f.extended = extended;
    f.length = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data.begin());
    return f;
}

TEST(CanText, FramesAsCansendWritesThem) {
    EXPECT_EQ(*tools::parse_frame("123#DEADBEEF"), frame(0x123, false, {0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(*tools::parse_frame("18FEF100#F7.00.7d"),
              frame(0x18FEF100, true, {0xF7, 0x00, 0x7D}));
    EXPECT_EQ(*tools::parse_frame("7ff#"), frame(0x7FF, false, {}));
    EXPECT_EQ(*tools::parse_frame("5#0102030405060708"),
              frame(0x5, false, {1, 2, 3, 4, 5, 6, 7, 8}));
    // Eight digits make an extended identifier even when the value is small.
    EXPECT_EQ(*tools::parse_frame("00000123#"), frame(0x123, true, {}));

    EXPECT_EQ(tools::frame_text(frame(0x5, false, {0xAB})), "005#AB");
    EXPECT_EQ(tools::frame_text(frame(0x123, true, {})), "00000123#");
}

TEST(CanText, MalformedFramesAreRefusedWithAReason) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"123", "expected ID#DATA"},
        {"#00", "identifier is missing"},
        {"800#00", "above 7FF"},
        {"1234#00", "exactly 8"},
        {"123456789#00", "exactly 8"},
        {"20000000#00", "above 1FFFFFFF"},
        {"12G#00", "not hexadecimal"},
        {"123#0", "pairs of hexadecimal digits"},
        {"123#0G", "pairs of hexadecimal digits"},
        {"123#010203040506070809", "more than 8 bytes"},
        {"123#R", "remote frames"},
    };
    for (const auto& c : cases) {
        auto parsed = tools::parse_frame(c.text);
        ASSERT_FALSE(parsed.has_value()) << c.text;
        EXPECT_NE(parsed.error().find(c.reason), std::string::npos)
            << c.text << ": " << parsed.error();
    }
}

TEST(CanText, CandumpLogLines) {
    auto record = tools::parse_log_line("(1436509052.249713) vcan0 044#2A366C2BBA\r");
    ASSERT_TRUE(record.has_value()) << record.error();
    ASSERT_TRUE(record->has_value());
    EXPECT_EQ((*record)->time_us, 1436509052249713u);
    EXPECT_EQ((*record)->interface, "vcan0");
    EXPECT_EQ((*record)->frame, frame(0x44, false, {0x2A, 0x36, 0x6C, 0x2B, 0xBA}));
    EXPECT_EQ(tools::log_line(1436509052249713u, "vcan0", (*record)->frame),
              "(1436509052.249713) vcan0 044#2A366C2BBA");
    EXPECT_EQ(tools::log_line(7, "ch1", frame(0x18FEF100, true, {})), "(0.000007) ch1 18FEF100#");

    for (const char* not_a_record : {"", "   ", "# recorded on the test bench", "; comment"}) {
        auto parsed = tools::parse_log_line(not_a_record);
        ASSERT_TRUE(parsed.has_value()) << not_a_record;
        EXPECT_FALSE(parsed->has_value()) << not_a_record;
    }
    for (const char* broken : {"1436509052.249713 can0 123#00", "(1436509052.249713 can0 123#00",
                               "(1436509052.2497) can0 123#00", "(14365x9052.249713) can0 123#00",
                               "(1436509052.249713) can0", "(1436509052.249713) can0 800#00"}) {
        EXPECT_FALSE(tools::parse_log_line(broken).has_value()) << broken;
    }
}

TEST(CanText, DumpLines) {
    EXPECT_EQ(tools::dump_line(12345, frame(0x18FEF100, true, {0xF7, 0x00, 0x7D})),
              "(     12.345)  18FEF100   [3]  F7 00 7D");
    // Standard identifiers in three digits, right-aligned under the extended ones.
    EXPECT_EQ(tools::dump_line(7, frame(0x7, false, {})), "(      0.007)       007   [0]");
    EXPECT_EQ(tools::dump_line(4294967295u, frame(0x123, false, {0x01}), true),
              "(4294967.295)  TX       123   [1]  01");
    EXPECT_EQ(tools::dump_line(0, frame(0x123, false, {0x01}), false),
              "(      0.000)  RX       123   [1]  01");
}

TEST(CanText, BitsOnTheWireWithWorstCaseStuffing) {
    // 34 stuffed bits + 8 per byte (standard) or 54 + 8 per byte (extended); one stuff bit
    // per four stuffed bits after the first; 13 unstuffed bits of delimiters, ACK, EOF, IFS.
    EXPECT_EQ(tools::frame_bits(false, 0), 34u + 8u + 13u);
    EXPECT_EQ(tools::frame_bits(false, 8), 98u + 24u + 13u);
    EXPECT_EQ(tools::frame_bits(true, 8), 118u + 29u + 13u);
}

TEST(Rp1210Messages, SendMessagesCarryTypeAndBigEndianIdentifier) {
    EXPECT_EQ(tools::can_send_message(frame(0x123, false, {0xAA, 0xBB})),
              (std::vector<std::uint8_t>{0x00, 0x01, 0x23, 0xAA, 0xBB}));
    EXPECT_EQ(tools::can_send_message(frame(0x18FEF100, true, {})),
              (std::vector<std::uint8_t>{0x01, 0x18, 0xFE, 0xF1, 0x00}));
}

TEST(Rp1210Messages, ReadMessagesWithAndWithoutEcho) {
    // 18 bytes: time stamp 12345 ms, echo 1, extended, 18FEF100, eight data bytes.
    const std::vector<std::uint8_t> echoed = {0x00, 0x00, 0x30, 0x39, 0x01, 0x01, 0x18, 0xFE, 0xF1,
                                              0x00, 1,    2,    3,    4,    5,    6,    7,    8};
    auto message = tools::parse_can_read_message(echoed, true);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(message->time_ms, 12345u);
    EXPECT_EQ(message->echo, std::optional<bool>(true));
    EXPECT_EQ(message->frame, frame(0x18FEF100, true, {1, 2, 3, 4, 5, 6, 7, 8}));

    const std::vector<std::uint8_t> plain = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x07, 0xFF};
    message = tools::parse_can_read_message(plain, false);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(message->time_ms, 0xFFFFFFFFu);
    EXPECT_FALSE(message->echo.has_value());
    EXPECT_EQ(message->frame, frame(0x7FF, false, {}));

    // Too short for the header, an unknown type, nine data bytes.
    EXPECT_FALSE(tools::parse_can_read_message(std::vector<std::uint8_t>{0, 0, 0, 0, 0}, false));
    EXPECT_FALSE(
        tools::parse_can_read_message(std::vector<std::uint8_t>{0, 0, 0, 0, 2, 0, 0}, false));
    EXPECT_FALSE(tools::parse_can_read_message(
        std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0x01, 0x23, 1, 2, 3, 4, 5, 6, 7, 8, 9}, false));
    EXPECT_FALSE(
        tools::parse_can_read_message(std::vector<std::uint8_t>{0, 0, 0, 0, 1, 0x18, 0xFE}, false))
        << "an extended identifier needs four bytes";
}

TEST(Rp1210Messages, FilterRecords) {
    // Standard 0x123 with an 11-bit mask: type 0, mask 00 00 07 FF, header 00 00 01 23.
    const tools::CanFilter filters[] = {{0x123, 0x7FF, false}, {0x18FEF1FF, 0x00FFFF00, true}};
    EXPECT_EQ(tools::can_filter_records(filters),
              (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x07, 0xFF, 0x00, 0x00, 0x01, 0x23,
                                         // the header is sent masked
                                         0x01, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFE, 0xF1, 0x00}));
}

TEST(Rp1210Messages, HardwareStatusRecord) {
    std::array<std::uint8_t, 64> bytes{};
    bytes[0] = 1;     // interface kind
    bytes[1] = 3;     // clients on the channel
    bytes[2] = 0x01;  // J1939: clients, no traffic
    bytes[3] = 1;
    bytes[6] = 0x07;  // CAN: clients, traffic, bus off
    bytes[7] = 2;
    const tools::HardwareStatusRecord record = tools::decode_hardware_status(bytes);
    EXPECT_EQ(tools::interface_kind_text(record.interface_kind), "USB");
    EXPECT_EQ(record.clients, 3);
    ASSERT_TRUE(record.can && record.j1939);
    EXPECT_EQ(record.can_clients, 2);
    EXPECT_EQ(tools::protocol_status_text(*record.can), "traffic, BUS OFF");
    EXPECT_EQ(tools::protocol_status_text(*record.j1939), "no traffic");

    const tools::HardwareStatusRecord none =
        tools::decode_hardware_status(std::array<std::uint8_t, 64>{});
    EXPECT_FALSE(none.can.has_value()) << "no CAN client, no CAN status";
    EXPECT_FALSE(none.j1939.has_value());
}

}  // namespace
