// J1939 through the exports of the built library, each scenario a small application on the
// simulated interface: two J1939 clients on the two channels of one bus, or one client and
// a foreign node that speaks J1939 frame by frame on the other channel.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "broadcast_blocks.hpp"
#include "j1939_world.hpp"
#include "platform/process.hpp"

namespace qz121032::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t kNameA = 0x00A0'0000'0000'0080ULL;
constexpr std::uint64_t kNameB = 0x00A0'0000'0000'0081ULL;
constexpr std::uint64_t kLowerName = 0x0000'0000'0000'0001ULL;  // wins every contest
constexpr std::uint8_t kPeer = 0xF9;

class J1939ClientTest : public ClientTest {
  protected:
    // A client at 250 kbit/s on the device that holds the address, with every message
    // passing and BAM packets back to back (the tests are not about their pace).
    short claimed_client(short device, std::uint8_t address, std::uint64_t name) {
        const short client = connect("J1939:Baud=250", device);
        EXPECT_TRUE(client > 0 && client < 128) << client;
        EXPECT_EQ(command(client, 19, protect_args(address, name)), 0);
        EXPECT_EQ(command(client, 27, {0, 0, 0, 0}), 0);
        EXPECT_EQ(command(client, 3, {}), 0);
        return client;
    }
    J1939Read read_j1939(short client, bool echo_on) {
        const Read r = read(client);
        auto parsed = parse_j1939(r, echo_on);
        EXPECT_TRUE(parsed.has_value()) << "read " << r.result;
        return parsed.value_or(J1939Read{});
    }
    std::string speed(short client) {
        char text[32] = {};
        EXPECT_EQ(api.SendCommand(45, client, text, sizeof text), 0);
        return text;
    }
    void two_applications_share_an_address(const std::filesystem::path& probe_dir);
};

// The how/priority byte a reader sees: single frames keep their priority; a reassembled
// transfer has the priority of its announcement (7, as the library sends TP.CM), with bit 7
// for a BAM. A confirmation carries the message as it was sent.
std::uint8_t how_read(std::size_t size, bool global, bool confirmation) {
    if (size <= 8 || confirmation) {
        return static_cast<std::uint8_t>(6 | (global && size > 8 ? kToGlobal : 0));
    }
    return static_cast<std::uint8_t>(7 | (global ? kToGlobal : 0));
}

TEST_F(J1939ClientTest, TwoClientsExchangeMessagesOfEverySizeBothWays) {
    const short a = claimed_client(1, 0x80, kNameA);
    const short b = claimed_client(2, 0x81, kNameB);
    ASSERT_EQ(command(a, 16, {1}), 0);
    ASSERT_EQ(command(b, 16, {1}), 0);
    struct Side {
        short client;
        std::uint8_t address;
    };
    const Side sides[2] = {{a, 0x80}, {b, 0x81}};
    std::uint8_t seed = 0;
    for (int direction = 0; direction < 2; ++direction) {
        const Side& from = sides[direction];
        const Side& to = sides[1 - direction];
        for (std::size_t size : {0, 8, 9, 100, 1785}) {
            for (bool global : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "from " << from.client << ", " << size
                                                  << " bytes" << (global ? " to 255" : ""));
                const Bytes data = pattern(size, ++seed);
                const std::uint8_t how = global ? (6 | kToGlobal) : 6;
                ASSERT_EQ(send(from.client, j1939_message(kPgnProprietaryA, how, from.address,
                                                          to.address, data)),
                          0);
                // The receiver reads the message (echo byte 0), the sender its confirmation
                // (echo byte 1).
                for (const bool confirmation : {false, true}) {
                    const J1939Read r = read_j1939(confirmation ? from.client : to.client, true);
                    EXPECT_EQ(r.echo, confirmation ? 1 : 0);
                    EXPECT_EQ(r.pgn, kPgnProprietaryA);
                    EXPECT_EQ(r.how, how_read(size, global, confirmation));
                    EXPECT_EQ(r.source, from.address);
                    EXPECT_EQ(r.destination, global ? kGlobal : to.address);
                    EXPECT_EQ(r.data, data);
                }
            }
        }
    }
}

TEST_F(J1939ClientTest, ForeignNodeFramesAndTransfersAreReadReassembled) {
    const short client = claimed_client(1, 0x80, kNameA);
    J1939Peer peer(250000, kPeer);

    // A single frame to the client's address, and a DM1 of 20 bytes as a BAM at priority 6:
    // 4 + 6 + 20 bytes read, byte 7 (how/priority) 0x86.
    peer.send(kPgnProprietaryA, 3, 0x80, {1, 2, 3});
    J1939Read single = read_j1939(client, false);
    EXPECT_EQ(single.pgn, kPgnProprietaryA);
    EXPECT_EQ(single.how, 3);
    EXPECT_EQ(single.source, kPeer);
    EXPECT_EQ(single.destination, 0x80);
    EXPECT_EQ(single.data, (Bytes{1, 2, 3}));
    const Bytes dm1 = pattern(20, 0x40);
    peer.send_bam(kPgnDm1, dm1);
    const Read bam = read(client);
    ASSERT_EQ(bam.result, 4 + 6 + 20);
    EXPECT_EQ(bam.bytes[7], 0x86);
    EXPECT_EQ(parse_j1939(bam, false)->data, dm1);

    // RTS/CTS to the client's address: answered with CTS and EOMACK, read reassembled.
    const Bytes long_data = pattern(100, 0x55);
    const auto answers = peer.send_rts_cts(kPgnProprietaryA, 0x80, long_data);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].data, (Bytes{0x11, 15, 1, 0xFF, 0xFF, 0x00, 0xEF, 0x00})) << "CTS";
    EXPECT_EQ(answers[1].data, (Bytes{0x13, 100, 0, 15, 0xFF, 0x00, 0xEF, 0x00})) << "EOMACK";
    const J1939Read transfer = read_j1939(client, false);
    EXPECT_EQ(transfer.how, 7);
    EXPECT_EQ(transfer.destination, 0x80);
    EXPECT_EQ(transfer.data, long_data);

    // The client's own transfer to the node, both kinds.
    const Bytes out = pattern(30, 0x11);
    ASSERT_EQ(send(client, j1939_message(kPgnProprietaryA, 6, 0x80, kPeer, out)), 0);
    auto received = peer.receive_transfer(0x80);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->data, out);
    ASSERT_EQ(send(client, j1939_message(kPgnDm1, 6 | kToGlobal, 0x80, 0, out)), 0);
    received = peer.receive_transfer(0x80);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->pgn, kPgnDm1);
    EXPECT_EQ(received->data, out);
}

TEST_F(J1939ClientTest, WithTpPassthroughTheRawFramesAreReadAndNothingIsAnswered) {
    const short client = connect("J1939:Baud=250", 1, 0, 0, /*app_packetizing=*/1);
    ASSERT_GT(client, 0);
    ASSERT_EQ(command(client, 19, protect_args(0x80, kNameA)), 0);
    ASSERT_EQ(command(client, 3, {}), 0);
    EXPECT_EQ(send(client, j1939_message(kPgnProprietaryA, 6, 0x80, kPeer, pattern(9))), 141)
        << "the limit stays 14 bytes";
    J1939Peer peer(250000, kPeer);
    // An RTS for 20 bytes in 3 packets, and the packets.
    const Bytes rts{0x10, 20, 0, 3, 0xFF, 0x00, 0xEF, 0x00};
    peer.send(kPgnTpCm, 7, 0x80, rts);
    for (std::uint8_t n = 1; n <= 3; ++n) {
        peer.send(kPgnTpDt, 7, 0x80, {n, n, n, n, n, n, n, n});
    }
    const J1939Read announced = read_j1939(client, false);
    EXPECT_EQ(announced.pgn, kPgnTpCm);
    EXPECT_EQ(announced.how, 7);
    EXPECT_EQ(announced.source, kPeer);
    EXPECT_EQ(announced.destination, 0x80);
    EXPECT_EQ(announced.data, rts);
    for (std::uint8_t n = 1; n <= 3; ++n) {
        const J1939Read packet = read_j1939(client, false);
        EXPECT_EQ(packet.pgn, kPgnTpDt);
        EXPECT_EQ(packet.destination, 0x80);
        EXPECT_EQ(packet.data, (Bytes{n, n, n, n, n, n, n, n}));
    }
    // No CTS (nor anything else) from the client: the application answers itself.
    EXPECT_FALSE(peer.next([](const J1939Frame& f) { return f.source == 0x80; }, 300ms));
}

TEST_F(J1939ClientTest, AddressLostToALowerName) {
    struct Case {
        const char* what;
        std::uint8_t address;
        bool blocking;
    };
    for (const Case& c : {Case{"blocking", 0x90, true}, Case{"non-blocking", 0x91, false}}) {
        SCOPED_TRACE(c.what);
        const short client = connect("J1939:Baud=250");
        ASSERT_GT(client, 0);
        ASSERT_EQ(command(client, 27, {0, 0, 0, 0}), 0);
        J1939Peer peer(250000, kPeer);
        const auto claimed_by = [](std::uint8_t source) {
            return [source](const J1939Frame& f) {
                return f.pgn == kPgnAddressClaimed && f.source == source;
            };
        };
        const Bytes too_long = j1939_message(kPgnDm1, 6 | kToGlobal, c.address, 0, pattern(9));
        if (c.blocking) {
            // The node defends the address while the client's claim runs.
            std::jthread defender([&] {
                if (peer.next(claimed_by(c.address))) {
                    peer.claim(c.address, kLowerName);
                }
            });
            EXPECT_EQ(command(client, 19, protect_args(c.address, kNameA)), 153);
            defender.join();
            EXPECT_TRUE(world.log_contains("J1939 address claim lost/denied for 90"));
        } else {
            ASSERT_EQ(command(client, 19, protect_args(c.address, kNameA, 2)), 0);
            // Long messages are taken once the claim has succeeded ...
            ASSERT_TRUE(eventually([&] { return send(client, too_long) == 0; }));
            ASSERT_TRUE(peer.next(claimed_by(c.address)).has_value());
            peer.claim(c.address, kLowerName);
            // ... and refused again once it is lost.
            EXPECT_TRUE(eventually([&] { return send(client, too_long) == 141; }));
        }
        // The client gives the address up with a Cannot Claim, source 254 and its NAME.
        const auto cannot = peer.next(claimed_by(254));
        ASSERT_TRUE(cannot.has_value());
        EXPECT_EQ(cannot->data, (Bytes{0x80, 0, 0, 0, 0, 0, 0xA0, 0}));
        EXPECT_EQ(disconnect(client), 0);
    }
}

TEST_F(J1939ClientTest, SendLimitsAndTheSendFormat) {
    const short client = connect("J1939:Baud=250");
    ASSERT_GT(client, 0);
    ASSERT_EQ(command(client, 27, {0, 0, 0, 0}), 0);
    J1939Peer peer(250000, kPeer);
    struct Case {
        const char* what;
        std::size_t data;
        short expected;
    };
    for (const Case& c :
         {Case{"no data", 0, 0}, Case{"14 bytes", 8, 0}, Case{"15 bytes before a claim", 9, 141}}) {
        EXPECT_EQ(send(client, j1939_message(kPgnDm1, 6 | kToGlobal, 0x80, 0, pattern(c.data))),
                  c.expected)
            << c.what;
    }
    EXPECT_EQ(send(client, Bytes(5, 0)), 141) << "shorter than the header";

    // Golden vectors: 00 EF 00 06 80 25 goes out as priority 6, PF 0xEF, destination 0x25,
    // source 0x80 (18EF2580); with byte 3 = 0x86 the destination becomes 255 (18EFFF80).
    const Bytes eight{1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(send(client, j1939_message(kPgnProprietaryA, 0x06, 0x80, 0x25, eight)), 0);
    ASSERT_EQ(send(client, j1939_message(kPgnProprietaryA, 0x86, 0x80, 0x25, eight)), 0);
    for (std::uint32_t id : {0x18EF2580u, 0x18EFFF80u}) {
        const auto frame = peer.next([&](const J1939Frame& f) {
            return j1939_id(f.pgn, f.priority, f.source, f.destination) == id;
        });
        ASSERT_TRUE(frame.has_value()) << std::hex << id;
        EXPECT_EQ(frame->data, eight);
    }

    ASSERT_EQ(command(client, 19, protect_args(0x80, kNameA)), 0);
    EXPECT_EQ(send(client, j1939_message(kPgnDm1, 6 | kToGlobal, 0x80, 0, pattern(1785))), 0);
    EXPECT_EQ(send(client, j1939_message(kPgnDm1, 6 | kToGlobal, 0x80, 0, pattern(1786))), 141);
    const auto bam = peer.receive_transfer(0x80);
    ASSERT_TRUE(bam.has_value());
    EXPECT_EQ(bam->data, pattern(1785));

    // Released, the address no longer allows long messages.
    ASSERT_EQ(command(client, 31, {0x80}), 0);
    EXPECT_EQ(send(client, j1939_message(kPgnDm1, 6 | kToGlobal, 0x80, 0, pattern(9))), 141);
}

TEST_F(J1939ClientTest, CommandsRefuseWhatTheyCannotDo) {
    const short client = connect("J1939:Baud=250");
    ASSERT_GT(client, 0);
    struct Case {
        short number;
        Bytes args;
        short expected;
        const char* log;  // the error line the refusal leaves, or nullptr
    };
    const Case cases[] = {
        {19, Bytes(9, 0), 144, nullptr},
        {19, protect_args(254, kNameA), 146,
         "Failed to initiate J1939 address claim for FE: Invalid source address"},
        {27, {10, 0, 0}, 144, nullptr},
        {27,
         {201, 0, 0, 0},
         144,
         "Failed to set J1939 inter-packet time to 201 ms: Invalid value for interpacket time"},
        {31, {0x33, 0}, 144, nullptr},
        {31, {0x33}, 227, "Failed to release J1939 address claim for 33: Address not claimed"},
        {4, Bytes(6, 0), 144, nullptr},
        {4, {0x01, 0x04, 0xF0, 0x04, 0, 0, 0}, 144, nullptr},  // PGN above 18 bits
        {25, {2}, 144, nullptr},
        {16, {2}, 144, nullptr},
        {16, {}, 144, nullptr},
        {5, {}, 143, nullptr},  // the CAN commands
        {21, {5, 0}, 143, nullptr},
        {26, {0}, 143, nullptr},
        {45, Bytes(16, 0), 144, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(command(client, c.number, c.args), c.expected)
            << "command " << c.number << " [" << hex(c.args) << "]";
        if (c.log != nullptr) {
            EXPECT_TRUE(world.log_contains(c.log)) << c.log;
        }
    }
    EXPECT_EQ(speed(client), "250000");
    EXPECT_EQ(command(client, 39, {}), 0);
    EXPECT_EQ(command(client, 27, {200, 0, 0, 0}), 0);
    const auto record = status(client);
    EXPECT_EQ(record[1], 1);
    EXPECT_EQ(record[2] & 0x01, 0x01);
    EXPECT_EQ(record[3], 1);
    EXPECT_EQ(record[7], 0) << "no CAN client";

    // Reset_Device shuts the client down (it is the channel's only user).
    EXPECT_EQ(command(client, 0, {}), 0);
    EXPECT_EQ(send(client, j1939_message(kPgnDm1, 6, 0x80, 0, {})), 151);
    EXPECT_EQ(read(client, false).result, -151);
}

TEST_F(J1939ClientTest, FiltersPassWhatTheyDescribe) {
    const short client = claimed_client(1, 0x80, kNameA);
    J1939Peer peer(250000, kPeer);
    // Three frames: EEC1 from the engine (0x00), CCVS from the node, PGN 0xEF00 from the
    // node to the client.
    struct Sent {
        std::uint32_t pgn;
        std::uint8_t source;
        std::uint8_t destination;
    };
    const Sent frames[] = {
        {0xF004, 0x00, kGlobal}, {0xFEF1, kPeer, kGlobal}, {kPgnProprietaryA, kPeer, 0x80}};
    struct Case {
        const char* what;
        bool exclusive;
        Bytes records;  // flags, PGN (3 bytes), priority, source, destination
        std::vector<int> pass;
    };
    const Case cases[] = {
        {"PGN 0xF004", false, {0x01, 0x04, 0xF0, 0x00, 0, 0, 0}, {0}},
        {"flag 0x02 alone compares nothing", false, {0x02, 0x99, 0x99, 0x01, 0, 0, 0}, {0, 1, 2}},
        {"not from the engine", true, {0x04, 0, 0, 0, 0, 0x00, 0}, {1, 2}},
        {"to the client", false, {0x08, 0, 0, 0, 0, 0, 0x80}, {2}},
        {"two records",
         false,
         {0x01, 0xF1, 0xFE, 0x00, 0, 0, 0, 0x05, 0x04, 0xF0, 0, 0, 0, 0},
         {0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(command(client, 17, {}), 0);
        ASSERT_EQ(command(client, 25, {static_cast<std::uint8_t>(c.exclusive ? 1 : 0)}), 0);
        ASSERT_EQ(command(client, 4, c.records), 0);
        // The frames that are dropped go first: once the last passing one is read, the
        // others have been decided on.
        for (bool passing : {false, true}) {
            for (int k = 0; k < 3; ++k) {
                if ((std::find(c.pass.begin(), c.pass.end(), k) != c.pass.end()) == passing) {
                    const Sent& f = frames[k];
                    ASSERT_EQ(peer.raw().send(j1939_id(f.pgn, 6, f.source, f.destination),
                                              {static_cast<std::uint8_t>(k)}, true),
                              tarnlib::Status::tarnOK);
                }
            }
        }
        for (int k : c.pass) {
            const J1939Read r = read_j1939(client, false);
            EXPECT_EQ(r.pgn, frames[k].pgn);
            EXPECT_EQ(r.data, (Bytes{static_cast<std::uint8_t>(k)}));
        }
        EXPECT_EQ(read(client, false).result, 0);
    }
    // A bad record fails the command and leaves the last filters in place.
    ASSERT_EQ(command(client, 4, {0x01, 0xCA, 0xFE, 0x04, 0, 0, 0}), 144);
    ASSERT_EQ(peer.raw().send(j1939_id(0xF004, 6, 0x00, kGlobal), {9}, true),
              tarnlib::Status::tarnOK);
    EXPECT_EQ(read_j1939(client, false).data, (Bytes{9}));
}

TEST_F(J1939ClientTest, BroadcastListSendsPeriodicallyUntilRemovedOrCleared) {
    const short client = connect("J1939:Baud=250");
    ASSERT_GT(client, 0);
    J1939Peer peer(250000, kPeer);
    const auto broadcast = [&](Bytes& block) {
        return api.SendCommand(22, client, reinterpret_cast<char*>(block.data()),
                               static_cast<short>(block.size()));
    };
    const auto from_list = [](std::uint32_t pgn) {
        return [pgn](const J1939Frame& f) { return f.pgn == pgn && f.source == 0x80; };
    };

    Bytes add = broadcast_add_block(100, j1939_message(0xFEF1, 6, 0x80, 0, {0xB0}));
    ASSERT_EQ(broadcast(add), 0);
    EXPECT_EQ(add[1], 0);
    // About 10 in one second, by the frames' own time stamps; the bound is loose so that a
    // loaded machine does not fail it, a burst or a single sending does.
    std::vector<std::uint32_t> stamps;
    const auto give_up = std::chrono::steady_clock::now() + kGenerous;
    while (std::chrono::steady_clock::now() < give_up &&
           (stamps.empty() || stamps.back() - stamps.front() <= 1000000)) {
        auto batch = peer.raw().handle().read(100);
        ASSERT_TRUE(batch.has_value());
        for (const auto& frame : *batch) {
            if (frame.id == 0x18FEF180 && !frame.flag.has(tarnlib::CanMsgFlags::TXACK)) {
                stamps.push_back(static_cast<std::uint32_t>(frame.timestamp));
            }
        }
    }
    ASSERT_GE(stamps.size(), 2u);
    const auto in_one_second = std::count_if(stamps.begin(), stamps.end(), [&](std::uint32_t s) {
        return s - stamps.front() <= 1000000;
    });
    EXPECT_GE(in_one_second, 5);
    EXPECT_LE(in_one_second, 15);

    for (std::uint8_t k = 1; k < 16; ++k) {
        Bytes fill = broadcast_add_block(65535, j1939_message(0xFF00 + k, 6, 0x80, 0, {k}));
        ASSERT_EQ(broadcast(fill), 0);
        EXPECT_EQ(fill[1], k);
    }
    Bytes refused = broadcast_add_block(10, j1939_message(0xFF20, 6, 0x80, 0, {}));
    EXPECT_EQ(broadcast(refused), 144);
    EXPECT_EQ(refused[1], 255);

    // Removing entry 0 stops it: after a marker sent behind it, nothing more comes.
    Bytes remove{4, 0xEE, 0};
    ASSERT_EQ(broadcast(remove), 0);
    ASSERT_EQ(send(client, j1939_message(0xFF30, 6, 0x80, 0, {})), 0);
    ASSERT_TRUE(peer.next(from_list(0xFF30)).has_value());
    EXPECT_FALSE(peer.next(from_list(0xFEF1), 350ms).has_value());

    // Clear stops one that repeats every 50 ms.
    Bytes fast = broadcast_add_block(50, j1939_message(0xFF40, 6, 0x80, 0, {}));
    ASSERT_EQ(broadcast(fast), 0);
    ASSERT_TRUE(peer.next(from_list(0xFF40)).has_value());
    Bytes clear{3, 0xEE};
    ASSERT_EQ(broadcast(clear), 0);
    EXPECT_EQ(clear[1], 16);
    ASSERT_EQ(send(client, j1939_message(0xFF31, 6, 0x80, 0, {})), 0);
    ASSERT_TRUE(peer.next(from_list(0xFF31)).has_value());
    EXPECT_FALSE(peer.next(from_list(0xFF40), 250ms).has_value());

    // The list takes any bytes. An entry longer than the transmit thread's area is refused
    // each interval; a transfer without a claimed address is refused by the transport
    // protocol. Neither holds up the messages behind them or passes for a hardware error.
    Bytes huge = broadcast_add_block(10, Bytes(2049, 0));
    Bytes unclaimed = broadcast_add_block(10, j1939_message(kPgnDm1, 0x86, 0x80, 0, pattern(20)));
    ASSERT_EQ(broadcast(huge), 0);
    ASSERT_EQ(broadcast(unclaimed), 0);
    ASSERT_EQ(send(client, j1939_message(0xFF32, 6, 0x80, 0, {})), 0);
    ASSERT_TRUE(peer.next(from_list(0xFF32)).has_value());
    ASSERT_TRUE(eventually([&] {
        return world.log_contains("Failed to deserialize Tx message") &&
               world.log_contains("Failed to write message: Source address not set");
    }));
    ASSERT_EQ(broadcast(clear), 0);
    EXPECT_EQ(send(client, j1939_message(0xFF33, 6, 0x80, 0, {})), 0) << "no hardware error";
    EXPECT_EQ(command(client, 21, {5, 0xEE}), 143) << "the CAN broadcast command";
}

TEST_F(J1939ClientTest, AutomaticDetectionOpensTheChannelOnceThePeersRateIsKnown) {
    J1939Peer peer(250000, kPeer);
    std::jthread node([&](const std::stop_token& stop) {
        for (std::uint8_t n = 0; !stop.stop_requested(); ++n) {
            (void)peer.raw().send(0x0CF00400, {n, 0x7D, 0x7D, 0, 0, 0xFF, 0xFF, 0xFF}, true);
            (void)peer.raw().handle().write_sync(1000);
        }
    });
    const short client = connect("J1939:Baud=Auto");
    ASSERT_GT(client, 0);
    // Until the rate is known and the channel open, reads and sends answer ERR_BUS_OFF.
    ASSERT_TRUE(eventually([&] { return read(client, false).result != -151; }));
    EXPECT_EQ(speed(client), "250000");
    ASSERT_EQ(command(client, 19, protect_args(0x80, kNameA)), 0);
    ASSERT_EQ(command(client, 4, {0x01, 0x04, 0xF0, 0x00, 0, 0, 0}), 0);
    const J1939Read eec1 = read_j1939(client, false);
    EXPECT_EQ(eec1.pgn, 0xF004u);
    EXPECT_EQ(eec1.how, 3);
    EXPECT_EQ(eec1.source, 0x00);
    node.request_stop();
    node.join();
    ASSERT_EQ(send(client, j1939_message(kPgnProprietaryA, 6, 0x80, kPeer, pattern(40))), 0);
    const auto received = peer.receive_transfer(0x80);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->data, pattern(40));
}

// A one-shot tool reads the transfer sent to it and disconnects at once: the sender still
// gets its End of Message Acknowledgment, because the message reaches the application only
// once the acknowledgment is in the driver, and disconnecting sends what the channel has
// queued before it goes off the bus.
TEST_F(J1939ClientTest, AReaderThatDisconnectsAtOnceHasAcknowledgedTheTransfer) {
    const Bytes data = pattern(1785, 0x21);
    J1939Peer peer(250000, kPeer);
    const std::size_t log_mark = world.log().size();
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const short client = claimed_client(1, 0x80, kNameA);
        std::vector<J1939Frame> answers;
        std::thread sender([&] { answers = peer.send_rts_cts(kPgnProprietaryA, 0x80, data); });
        const Read r = read(client);
        const short disconnected = disconnect(client);
        sender.join();
        ASSERT_EQ(r.result, 4 + 6 + 1785);
        ASSERT_EQ(disconnected, 0);
        ASSERT_EQ(answers.size(), 2u) << "CTS and EOMACK";
        EXPECT_EQ(answers[1].data, (Bytes{0x13, 0xF9, 0x06, 0xFF, 0xFF, 0x00, 0xEF, 0x00}));
    }
    EXPECT_EQ(world.log().find("Failed to send", log_mark), std::string::npos);
}

TEST_F(J1939ClientTest, UnplugAndReplugUnderAClientWithAClaimedAddress) {
    const short client = claimed_client(1, 0x80, kNameA);
    ASSERT_EQ(command(client, 16, {1}), 0);
    {
        J1939Peer peer(250000, kPeer);
        peer.send(0xFEF1, 6, kGlobal, {1});
        EXPECT_EQ(read_j1939(client, true).data, (Bytes{1}));
    }
    const std::size_t log_mark = world.log().size();
    ASSERT_EQ(world.set_plugged(0, 0), 0);
    // A single frame and then a transfer: the frame waits for the interface instead of
    // failing, and the transfer waits behind it.
    ASSERT_EQ(send(client, j1939_message(0xFEF1, 6, 0x80, 0, {2})), 0);
    ASSERT_EQ(send(client, j1939_message(kPgnDm1, 6 | kToGlobal, 0x80, 0, pattern(50))), 0);
    EXPECT_EQ(read(client, false).result, 0);
    ASSERT_EQ(world.set_plugged(0, 1), 0);
    // Their confirmations come once the device has reopened the channel by itself.
    const J1939Read single = read_j1939(client, true);
    EXPECT_EQ(single.echo, 1);
    EXPECT_EQ(single.data, (Bytes{2}));
    const J1939Read transfer = read_j1939(client, true);
    EXPECT_EQ(transfer.echo, 1);
    EXPECT_EQ(transfer.data, pattern(50));
    J1939Peer peer(250000, kPeer);
    peer.send(kPgnProprietaryA, 6, 0x80, {3});
    EXPECT_EQ(read_j1939(client, true).data, (Bytes{3}));
    ASSERT_EQ(send(client, j1939_message(kPgnProprietaryA, 6, 0x80, kPeer, pattern(20))), 0);
    const auto received = peer.receive_transfer(0x80);
    ASSERT_TRUE(received.has_value()) << "the address is still claimed";
    EXPECT_EQ(received->data, pattern(20));
    EXPECT_EQ(world.log().find("Failed to write message", log_mark), std::string::npos);
}

// Two applications protect the same address with different NAMEs on one channel. With the
// address-claim table shared between processes, the lower NAME speaks for the address and
// the other stays silent: one Address Claimed on the bus, both count in the hardware status,
// and both can send and receive transfers for the address. The other application is the
// probe in `probe_dir` with the library beside it.
void J1939ClientTest::two_applications_share_an_address(const std::filesystem::path& probe_dir) {
    J1939Peer peer(250000, kPeer);
    const auto address_claimed = [](const J1939Frame& f) {
        return f.pgn == kPgnAddressClaimed && f.source == 0x80;
    };
    const short client = claimed_client(1, 0x80, kNameA);
    ASSERT_EQ(command(client, 4, {0x01, 0x00, 0xEF, 0x00, 0, 0, 0}), 0);
    ASSERT_EQ(command(client, 16, {1}), 0);
    ASSERT_TRUE(peer.next(address_claimed).has_value());
    const auto dir = world.directory();
    // The files of an earlier run of this scenario in the same process are gone.
    for (const char* name : {"shared.out", "shared-ready", "shared-go"}) {
        std::filesystem::remove(dir / name);
    }
    const Bytes from_other = pattern(60, 0x22);
    // The other application: a higher NAME, the same filter and echo; it reads the node's
    // transfer, then sends its own when told to and reads its confirmation.
    const std::string probe_name =
        "rp1210_probe" +
        std::filesystem::path(platform::current_executable_path()).extension().string();
    auto probe = platform::ChildProcess::spawn(
        (probe_dir / probe_name).string(),
        {"--out",
         (dir / "shared.out").string(),
         (probe_dir / rp1210_library_file_name()).string(),
         "connect",
         "1",
         "J1939:Baud=250",
         "command",
         "1",
         "215",
         "C8 64",
         "command",
         "1",
         "19",
         hex(protect_args(0x80, kNameA + 1)),
         "command",
         "1",
         "27",
         "00 00 00 00",
         "command",
         "1",
         "4",
         "01 00 EF 00 00 00 00",
         "command",
         "1",
         "16",
         "01",
         "touch",
         (dir / "shared-ready").string(),
         "read",
         "1",
         "await",
         (dir / "shared-go").string(),
         "send",
         "1",
         hex(j1939_message(kPgnProprietaryA, 6, 0x80, kPeer, from_other)),
         "read",
         "1"});
    ASSERT_TRUE(probe.has_value());
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(dir / "shared-ready"); }, 60s));

    // One Address Claimed for 0x80 on the bus: the first claim's.
    EXPECT_FALSE(peer.next(address_claimed, 500ms).has_value());
    // The channel's J1939 clients counted across both processes.
    const auto record = status(client);
    EXPECT_EQ(record[1], 2) << "clients";
    EXPECT_EQ(record[3], 2) << "J1939 clients";

    // The node's transfer to the address: answered once, read by both.
    const Bytes to_address = pattern(100, 0x33);
    EXPECT_EQ(peer.send_rts_cts(kPgnProprietaryA, 0x80, to_address).size(), 2u);
    EXPECT_EQ(read_j1939(client, true).data, to_address);

    // Both send a transfer from the address, one after the other.
    const Bytes from_this = pattern(60, 0x11);
    ASSERT_EQ(send(client, j1939_message(kPgnProprietaryA, 6, 0x80, kPeer, from_this)), 0);
    auto received = peer.receive_transfer(0x80);
    EXPECT_EQ(received.value_or(J1939Frame{}).data, from_this);
    EXPECT_EQ(read_j1939(client, true).echo, 1);
    std::ofstream(dir / "shared-go").put('\n');
    received = peer.receive_transfer(0x80);
    EXPECT_EQ(received.value_or(J1939Frame{}).data, from_other);
    EXPECT_EQ(probe->wait_for(60s), std::optional<int>(0));

    std::ifstream out(dir / "shared.out");
    const std::string printed((std::istreambuf_iterator<char>(out)), {});
    EXPECT_NE(printed.find("command 1 19 -> 0"), std::string::npos) << printed;
    // The node's transfer, and the confirmation of its own (echo byte 1).
    EXPECT_NE(printed.find(hex(to_address) + "\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find(" 01 00 EF 00 06 80 F9 " + hex(from_other)), std::string::npos)
        << printed;
}

TEST_F(J1939ClientTest, TwoApplicationsShareAnAddress) {
    two_applications_share_an_address(binary_dir());
}

// The same with the other application built for the other width (a 32-bit application
// beside a 64-bit one on Windows): the shared blocks, the simulated bus and the address-claim
// table look the same from both. The build names the other width's directory.
TEST_F(J1939ClientTest, ApplicationsOfBothWidthsShareAnAddress) {
    const char* other = std::getenv("QZ_OTHER_WIDTH_BIN");
    if (other == nullptr ||
        !std::filesystem::exists(std::filesystem::path(other) / rp1210_library_file_name())) {
        GTEST_SKIP() << "no build of the other width (QZ_OTHER_WIDTH_BIN)";
    }
    two_applications_share_an_address(other);
}

}  // namespace
}  // namespace qz121032::testing
