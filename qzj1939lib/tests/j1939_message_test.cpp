// Identifiers as golden vectors worked out by hand from the layout
// priority(26-28) EDP(25) DP(24) PF(16-23) PS(8-15) SA(0-7), and the queue between threads.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "qzj1939lib/j1939_message.hpp"
#include "qzj1939lib/queue.hpp"

namespace qzj1939lib {
namespace {

struct IdCase {
    const char* what;
    std::uint32_t pgn;
    std::uint8_t priority, src, dest;
    std::uint32_t id;
};

TEST(J1939Identifier, EncodesPdu1WithTheDestinationAndPdu2WithItsOwnPs) {
    const IdCase cases[] = {
        // 6 << 26 = 0x18000000; PF 0xFE >= 240, so PS 0xCA is the PGN's and 0x25 is ignored.
        {"PDU2 ignores the destination", 0xFECA, 6, 0x00, 0x25, 0x18FECA00},
        // Request: PF 0xEA < 240, PS = destination 0x00; source 0xF9.
        {"request to 0x00", 0xEA00, 6, 0xF9, 0x00, 0x18EA00F9},
        {"request to 0x25", 0xEA00, 6, 0xF9, 0x25, 0x18EA25F9},
        // PF 0xEF is the last PDU1 format.
        {"PF 0xEF is PDU1", 0xEF00, 6, 0x80, 0x25, 0x18EF2580},
        // A PS byte given with a PDU1 PGN is replaced by the destination.
        {"PDU1 PS replaced", 0xEA12, 3, 0x01, 0x30, 0x0CEA3001},
        // Priority keeps its low 3 bits: 9 & 7 = 1 -> 0x04000000.
        {"priority masked", 0xF004, 9, 0x00, 0xFF, 0x04F00400},
        // DP set: PGN 0x1FECA -> bit 24.
        {"data page", 0x1FECA, 6, 0x17, 0xFF, 0x19FECA17},
        // EDP and DP: PGN 0x3EA00 to 0x42 -> bits 25, 24, PF 0xEA, PS 0x42.
        {"extended data page", 0x3EA00, 7, 0x05, 0x42, 0x1FEA4205},
    };
    for (const IdCase& c : cases) {
        J1939Message m;
        m.pgn = c.pgn;
        m.priority = c.priority;
        m.src_addr = c.src;
        m.dest_addr = c.dest;
        EXPECT_EQ(encode_id(m), c.id) << c.what;
    }
}

TEST(J1939Identifier, DecodesPf0xEFAsPdu1And0xF0AsPdu2) {
    const IdCase cases[] = {
        {"PF 0xEF: destination from PS", 0xEF00, 6, 0x80, 0x25, 0x18EF2580},
        {"PF 0xF0: PDU2, global", 0xF004, 3, 0x00, 0xFF, 0x0CF00400},
        {"request", 0xEA00, 6, 0xF9, 0x00, 0x18EA00F9},
        {"address claimed to global", 0xEE00, 6, 0x80, 0xFF, 0x18EEFF80},
        {"TP.DT with DP", 0x1EB00, 7, 0x10, 0x20, 0x1DEB2010},
    };
    for (const IdCase& c : cases) {
        const J1939Message m = decode_id(c.id);
        EXPECT_EQ(m.pgn, c.pgn) << c.what;
        EXPECT_EQ(m.priority, c.priority) << c.what;
        EXPECT_EQ(m.src_addr, c.src) << c.what;
        EXPECT_EQ(m.dest_addr, c.dest) << c.what;
        EXPECT_FALSE(m.data) << c.what;
    }
}

TEST(J1939Identifier, FramesCarryTheExtendedFlagOnlyAndTheDataLength) {
    J1939Message m;
    m.pgn = 0xFEF1;
    m.src_addr = 0x00;
    m.data = std::vector<std::uint8_t>{1, 2, 3};
    const tarnlib::CanMessage frame = to_can_message(m);
    EXPECT_EQ(frame.id, 0x18FEF100u);
    EXPECT_EQ(frame.flag.bits, tarnlib::CanMsgFlags::EXT);
    EXPECT_EQ(frame.dlc, 3);
    EXPECT_EQ(frame.data, (std::vector<std::uint8_t>{1, 2, 3}));

    tarnlib::CanMessage in = frame;
    in.timestamp = 1234;
    const J1939Message back = from_can_message(in);
    EXPECT_EQ(back.timestamp, 1234u);
    EXPECT_EQ(back.data, m.data);
    EXPECT_EQ(header_text(back),
              "J1939Message { pgn: 0xFEF1, priority: 6, src: 0x00, dest: 0xFF, len: 3 }");
}

TEST(Queue, DeliversInOrderThenClosesWhenTheLastSenderGoes) {
    auto [sender, receiver] = make_queue<int>();
    Sender<int> copy = sender;
    EXPECT_TRUE(sender.send(1));
    EXPECT_TRUE(copy.send(2));
    sender.reset();
    EXPECT_EQ(receiver.try_receive().item, 1);
    std::thread late([s = std::move(copy)]() mutable {
        s.send(3);
        s.reset();  // the last sender: the queue closes
    });
    EXPECT_EQ(receiver.receive_until(std::nullopt).item, 2);
    EXPECT_EQ(receiver.receive_until(std::nullopt).item, 3);
    EXPECT_EQ(receiver.receive_until(std::nullopt).status, Receiver<int>::Status::Closed);
    late.join();
}

TEST(Queue, TimesOutAndRefusesOnceTheReceiverIsGone) {
    auto [sender, receiver] = make_queue<std::string>();
    EXPECT_EQ(receiver.try_receive().status, Receiver<std::string>::Status::TimedOut);
    EXPECT_EQ(receiver.receive_for(std::chrono::milliseconds(1)).status,
              Receiver<std::string>::Status::TimedOut);
    { auto gone = std::move(receiver); }
    EXPECT_FALSE(sender.send("dropped"));
    EXPECT_FALSE(Sender<std::string>().send("nobody"));
}

}  // namespace
}  // namespace qzj1939lib
