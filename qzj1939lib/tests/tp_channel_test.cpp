// The transport protocol end to end on the simulated bus: transfers of every size in both
// directions and both kinds between two channels, a foreign node that speaks raw TP.CM and
// TP.DT frames, a peer that never answers, and a channel closed in the middle of a transfer.

#include <gtest/gtest.h>

#include "j1939_fixture.hpp"

namespace qzj1939lib {
namespace {

using namespace std::chrono_literals;
using tarnlib::CanMessage;
using tarnlib::CanMsgFlags;
using tarnlib::Status;
using tarnlib::test::kA0;
using tarnlib::test::kA1;
using tarnlib::test::Recorder;
using test::message;
using test::Node;
using test::pattern;

class TpChannelTest : public tarnlib::test::NetworkTest {};

// Both channels with a claimed address.
void claim(Node& node, std::uint8_t address, std::uint64_t name) {
    ASSERT_TRUE(node.channel->claim_address(address, name));
    auto state = node.address_state(address);
    ASSERT_TRUE(state);
    ASSERT_EQ(state->state, ClaimState::Claimed);
}

TEST_F(TpChannelTest, TransfersOfEverySizeBothWaysAndKindsArriveByteExact) {
    Node a("a", kA0), b("b", kA1);
    a.open();
    b.open();
    claim(a, 0x20, 1);
    claim(b, 0x30, 2);
    for (Node* n : {&a, &b}) {
        ASSERT_TRUE(n->channel->set_option(kOptionBamInterpacketTime, 0));
    }
    std::uint32_t tag = 100;
    for (std::size_t size : {9u, 15u, 16u, 100u, 1000u, 1784u, 1785u}) {
        for (auto [from, to, src, peer] : {std::tuple{&a, &b, 0x20, 0x30}, {&b, &a, 0x30, 0x20}}) {
            for (bool bam : {false, true}) {
                SCOPED_TRACE(::testing::Message() << size << " bytes from " << std::hex << src
                                                  << (bam ? " BAM" : " RTS/CTS"));
                const std::uint32_t pgn = bam ? 0xFECA : 0xEF00;
                const auto data = pattern(size, static_cast<std::uint8_t>(++tag));
                const std::uint8_t dest = bam ? kGlobalAddress : static_cast<std::uint8_t>(peer);
                ASSERT_TRUE(from->channel->send(
                    message(pgn, static_cast<std::uint8_t>(src), dest, data, 5), tag));
                auto rx =
                    to->next<RxMessage>([&](const RxMessage& m) { return m.message.pgn == pgn; });
                ASSERT_TRUE(rx);
                EXPECT_EQ(rx->message.data, data);
                EXPECT_EQ(rx->message.src_addr, src);
                EXPECT_EQ(rx->message.dest_addr, dest);
                EXPECT_EQ(rx->message.priority, 7);  // the TP.CM frame's priority
                EXPECT_TRUE(rx->message.timestamp);
                auto confirmed =
                    from->next<TxConfirmed>([&](const TxConfirmed& c) { return c.tag == tag; });
                ASSERT_TRUE(confirmed);
                EXPECT_EQ(confirmed->message.data, data);
            }
        }
    }
}

// A node on the bus that is not ours: it writes raw frames and records what it hears.
struct ForeignNode {
    explicit ForeignNode(Node& carrier) : device(carrier.device) {
        subscription = device->subscribe(recorder.callback());
    }
    ~ForeignNode() { device->unsubscribe(subscription); }
    void send(std::uint32_t id, std::vector<std::uint8_t> data) {
        CanMessage frame;
        frame.id = id;
        frame.dlc = static_cast<std::uint8_t>(data.size());
        frame.data = std::move(data);
        frame.flag.bits = CanMsgFlags::EXT;
        ASSERT_EQ(device->write(frame), Status::tarnOK);
    }
    // The n-th received frame with the identifier (not our own acknowledgements).
    std::optional<std::vector<std::uint8_t>> heard(std::uint32_t id, std::size_t n = 1) {
        if (!recorder.wait_for_frames(id, n)) {
            return std::nullopt;
        }
        std::size_t seen = 0;
        for (const CanMessage& m : recorder.frames()) {
            if (m.id == id && !m.flag.has(CanMsgFlags::TXACK) && ++seen == n) {
                return m.data;
            }
        }
        return std::nullopt;
    }

    std::shared_ptr<tarnlib::CanDevice> device;
    Recorder recorder;
    tarnlib::Notifier::SubscriptionId subscription = 0;
};

TEST_F(TpChannelTest, ForeignNodesAreAnsweredTheWayStandardPeersExpect) {
    Node a("a", kA0), carrier("f", kA1);
    ForeignNode f(carrier);  // the raw device under b's channel, which stays closed
    a.open();
    claim(a, 0x20, 1);

    // An RTS at priority 3 for 20 bytes in 3 packets, no limit per CTS (byte 4 = 255), PGN
    // 0xEF00: CM 0x0CEC2099 is priority 3, PGN 0xEC00 to 0x20 from 0x99.
    f.send(0x0CEC2099, {0x10, 20, 0, 3, 0xFF, 0x00, 0xEF, 0x00});
    // CTS: 3 packets from packet 1, then 0xFF 0xFF and the PGN; priority 7, to 0x99 from 0x20.
    EXPECT_EQ(f.heard(0x1CEC9920),
              (std::vector<std::uint8_t>{0x11, 3, 1, 0xFF, 0xFF, 0x00, 0xEF, 0x00}));
    const auto data = pattern(20);
    for (std::uint8_t seq = 1; seq <= 3; ++seq) {
        std::vector<std::uint8_t> dt{seq};
        for (std::size_t i = 0; i < 7; ++i) {
            const std::size_t at = 7u * (seq - 1) + i;
            dt.push_back(at < data.size() ? data[at] : 0xFF);
        }
        f.send(0x14EB2099, dt);  // TP.DT at priority 5
    }
    // EOMACK: 20 bytes, 3 packets.
    EXPECT_EQ(f.heard(0x1CEC9920, 2),
              (std::vector<std::uint8_t>{0x13, 20, 0, 3, 0xFF, 0x00, 0xEF, 0x00}));
    auto rx = a.received(0xEF00);
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->message.data, data);
    EXPECT_EQ(rx->message.priority, 3);

    // Our RTS to the foreign node, answered one packet per CTS.
    ASSERT_TRUE(a.channel->send(message(0xEF00, 0x20, 0x99, pattern(15)), 7));
    EXPECT_EQ(f.heard(0x1CEC9920, 3),
              (std::vector<std::uint8_t>{0x10, 15, 0, 3, 0xFF, 0x00, 0xEF, 0x00}));
    for (std::uint8_t seq = 1; seq <= 3; ++seq) {
        f.send(0x1CEC2099, {0x11, 1, seq, 0xFF, 0xFF, 0x00, 0xEF, 0x00});
        auto dt = f.heard(0x1CEB9920, seq);
        ASSERT_TRUE(dt);
        ASSERT_EQ(dt->size(), 8u);  // always 8 bytes, the last padded
        EXPECT_EQ((*dt)[0], seq);
    }
    const std::uint8_t last = pattern(15)[14];
    EXPECT_EQ(*f.heard(0x1CEB9920, 3),
              (std::vector<std::uint8_t>{3, last, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    f.send(0x1CEC2099, {0x13, 15, 0, 3, 0xFF, 0x00, 0xEF, 0x00});
    auto confirmed = a.next<TxConfirmed>();
    ASSERT_TRUE(confirmed);
    EXPECT_EQ(confirmed->tag, 7u);
}

TEST_F(TpChannelTest, PassthroughDeliversTheRawFramesAndAnswersNothing) {
    Node a("a", kA0), carrier("f", kA1);
    ForeignNode f(carrier);
    ASSERT_TRUE(a.channel->set_option(kOptionTpPassthrough, 1));
    a.open();
    claim(a, 0x20, 1);
    f.send(0x18EC2099, {0x10, 9, 0, 2, 0xFF, 0x00, 0xEF, 0x00});
    f.send(0x1CEB2099, {1, 1, 2, 3, 4, 5, 6, 7});
    auto cm = a.received(kPgnTpCm);
    ASSERT_TRUE(cm);
    EXPECT_EQ(cm->message.data, (std::vector<std::uint8_t>{0x10, 9, 0, 2, 0xFF, 0x00, 0xEF, 0x00}));
    ASSERT_TRUE(a.received(kPgnTpDt));
    // No CTS came back: the only frames from 0x20 are its Address Claimed.
    for (const CanMessage& m : f.recorder.frames()) {
        EXPECT_NE(m.id & 0xFFFF00FF, 0x1CEC0020u) << std::hex << m.id;
    }
}

TEST_F(TpChannelTest, APeerThatStopsAnsweringFailsTheTransferWithAbortTimeout) {
    Node a("a", kA0), b("b", kA1);
    ASSERT_TRUE(b.channel->set_option(kOptionTpPassthrough, 1));  // b watches raw TP.CM
    a.open();
    b.open();
    claim(a, 0x20, 1);
    ASSERT_TRUE(a.channel->set_option(kOptionT3, 100));
    ASSERT_TRUE(a.channel->send(message(0xEF00, 0x20, 0x77, pattern(100)), 9));
    auto failed = a.next<TxFailed>();
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->tag, 9u);
    EXPECT_EQ(failed->header.dest_addr, 0x77);
    auto abort = b.next<RxMessage>([](const RxMessage& m) {
        return m.message.pgn == kPgnTpCm && (*m.message.data)[0] == 0xFF;
    });
    ASSERT_TRUE(abort);
    // Abort, reason 3 (timeout), role 0 (the sender), then the PGN.
    EXPECT_EQ(abort->message.data,
              (std::vector<std::uint8_t>{0xFF, 3, 0, 0xFF, 0xFF, 0x00, 0xEF, 0x00}));
}

TEST_F(TpChannelTest, ClosingInTheMiddleOfTransfersLeavesNothingRunning) {
    Node a("a", kA0), b("b", kA1);
    a.open();
    b.open();
    claim(a, 0x20, 1);
    claim(b, 0x30, 2);
    ASSERT_TRUE(a.channel->send(message(0xEF00, 0x20, 0x30, pattern(1785)), 1));
    ASSERT_TRUE(a.channel->send(message(0xFECA, 0x20, 255, pattern(1785)), 2));
    ASSERT_TRUE(b.channel->send(message(0xEF00, 0x30, 0x20, pattern(1785)), 3));
    ASSERT_TRUE(a.channel->close());
    EXPECT_TRUE(a.closed());
    a.channel.reset();
    ASSERT_TRUE(b.channel->close());
    EXPECT_TRUE(b.closed());
}

}  // namespace
}  // namespace qzj1939lib
