// J1939 channels on the simulated bus: options and open/close rules, single frames with
// confirmations and echo, address claims between channels and against foreign nodes, and
// a channel whose application side went away.

#include <gtest/gtest.h>

#include "j1939_fixture.hpp"

namespace qzj1939lib {
namespace {

using namespace std::chrono_literals;
using platform::log::Level;
using tarnlib::Status;
using tarnlib::test::kA0;
using tarnlib::test::kA1;
using tarnlib::test::kB0;
using tarnlib::test::logs;
using tarnlib::test::simulator;
using test::message;
using test::Node;
using test::pattern;

constexpr const char* kChannelTarget = "qzj1939lib::j1939_channel";

class J1939ChannelTest : public tarnlib::test::NetworkTest {};

void expect_error(const J1939Result<Ok>& r, Status status, const std::string& text) {
    ASSERT_FALSE(r) << "expected: " << text;
    EXPECT_EQ(r.error().status, status);
    EXPECT_EQ(r.error().message, text);
}

TEST_F(J1939ChannelTest, OptionsAndOpenCloseRules) {
    Node a("a", kA0);
    struct Refusal {
        std::uint32_t option, value;
        Status status;
        const char* text;
    };
    const Refusal closed_refusals[] = {
        {0, 2, Status::tarnERR_PARAM, "Invalid value for TX echo"},
        {1, 2, Status::tarnERR_PARAM, "Invalid value for TP pasthrough"},
        {9, 0, Status::tarnERR_PARAM, "Invalid option"},
        {0xFFFFFFFF, 0, Status::tarnERR_PARAM, "Invalid option"},
    };
    for (const Refusal& r : closed_refusals) {
        expect_error(a.channel->set_option(r.option, r.value), r.status, r.text);
    }
    for (std::uint32_t unreadable : {0u, 9u}) {
        auto r = a.channel->get_option(unreadable);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message, "Invalid option");
    }
    expect_error(a.channel->send(message(0xFEF1, 0x80, 255, {1}), std::nullopt),
                 Status::tarnERR_INVHANDLE, "Channel not open");
    expect_error(a.channel->claim_address(0x80, 1), Status::tarnERR_INVHANDLE, "Channel not open");

    ASSERT_TRUE(a.channel->set_option(kOptionTpPassthrough, 1));
    ASSERT_TRUE(a.channel->set_option(kOptionT1, 500));
    a.open();
    auto again = a.channel->open();
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().status, Status::tarnERR_INVHANDLE);
    EXPECT_EQ(again.error().message, "Channel already open");
    expect_error(a.channel->set_option(kOptionTpPassthrough, 0), Status::tarnERR_INVHANDLE,
                 "Cannot change TP passthrough when channel is open");
    EXPECT_TRUE(a.channel->set_option(kOptionTxEcho, 1));
    expect_error(a.channel->send(message(0xFEF1, 0x80, 255, pattern(9)), std::nullopt),
                 Status::tarnERR_PARAM, "Cannot send multi-frame message in TP passthrough mode");
    EXPECT_TRUE(a.channel->send(message(0xFEF1, 0x80, 255, pattern(8)), std::nullopt));

    ASSERT_TRUE(a.channel->close());
    EXPECT_TRUE(a.closed());
    EXPECT_TRUE(a.channel->close());  // closing a closed channel changes nothing
    a.open();
    EXPECT_EQ(*a.channel->get_option(kOptionTpPassthrough), 1u);
    EXPECT_EQ(*a.channel->get_option(kOptionT1), 500u);
}

TEST_F(J1939ChannelTest, SingleFramesWithConfirmationsAndEchoOfOtherLocalHandles) {
    Node a("a", kA0), b("b", kA1), c("c", kA0);  // c shares a's CAN channel
    a.open();
    b.open();
    c.open();

    // A tagged PDU2 broadcast: the peer receives it, the sender gets its confirmation.
    ASSERT_TRUE(a.channel->send(message(0xFEF1, 0x80, 0x25, pattern(8), 3), 5));
    auto rx = b.received(0xFEF1);
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->message.priority, 3);
    EXPECT_EQ(rx->message.src_addr, 0x80);
    EXPECT_EQ(rx->message.dest_addr, 255);  // PDU2 ignores the destination
    EXPECT_EQ(rx->message.data, pattern(8));
    EXPECT_TRUE(rx->message.timestamp);
    auto confirmed = a.next<TxConfirmed>();
    ASSERT_TRUE(confirmed);
    EXPECT_EQ(confirmed->tag, 5u);
    EXPECT_EQ(confirmed->message.data, pattern(8));
    EXPECT_EQ(confirmed->message.timestamp, rx->message.timestamp);

    // A PDU1 message without tag and without data; the handle on a's channel hears it only
    // with TX echo on.
    ASSERT_TRUE(a.channel->send(message(0xEF00, 0x80, 0x25, {}), std::nullopt));
    rx = b.received(0xEF00);
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->message.dest_addr, 0x25);
    EXPECT_EQ(rx->message.size(), 0u);
    // b answers; c hears the answer after a's message (one bus, one order), so by then c
    // has passed over a's message.
    ASSERT_TRUE(b.channel->send(message(0xFEF2, 0x81, 255, {1}), std::nullopt));
    ASSERT_TRUE(c.received(0xFEF2));
    ASSERT_TRUE(c.channel->set_option(kOptionTxEcho, 1));
    ASSERT_TRUE(a.channel->send(message(0xEF00, 0x80, 0x26, {9}), std::nullopt));
    rx = c.received(0xEF00);
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->message.dest_addr, 0x26);  // the first one was not delivered to c
    ASSERT_TRUE(b.received(0xEF00));
    for (const ChannelEvent& e : a.queued()) {
        EXPECT_FALSE(std::holds_alternative<TxConfirmed>(e)) << "untagged sends confirm nothing";
    }
}

TEST_F(J1939ChannelTest, AddressClaimsBetweenChannelsAndForeignNodes) {
    Node a("a", kA0), b("b", kA1);
    a.open();
    b.open();
    const Instant start = MonotonicClock::now();
    ASSERT_TRUE(a.channel->claim_address(0x25, 10));
    ASSERT_TRUE(b.channel->claim_address(0x25, 20));
    auto won = a.address_state(0x25);
    ASSERT_TRUE(won);
    EXPECT_EQ(won->state, ClaimState::Claimed);
    EXPECT_GE(MonotonicClock::now() - start, 250ms);
    auto lost = b.address_state(0x25);
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->state, ClaimState::CannotClaim);
    // b's Cannot Claim reaches a: from the null address with b's NAME.
    auto cannot = a.next<RxMessage>([](const RxMessage& m) {
        return m.message.pgn == kPgnAddressClaimed && m.message.src_addr == kNullAddress;
    });
    ASSERT_TRUE(cannot);
    EXPECT_EQ(cannot->message.data, (std::vector<std::uint8_t>{20, 0, 0, 0, 0, 0, 0, 0}));
    expect_error(b.channel->claim_address(0x25, 20), Status::tarnERR_PARAM,
                 "Address already in use");
    expect_error(a.channel->claim_address(254, 1), Status::tarnERR_PARAM, "Invalid source address");
    EXPECT_TRUE(logs().contains(Level::Error, kChannelTarget, "Failed to start Address Claim"));

    // A foreign node asks everyone for Address Claimed with a 3-byte request; only the
    // protector of a held address answers, with its NAME.
    a.queued();
    ASSERT_EQ(simulator().inject(0, 0x18EAFFF9, {0x00, 0xEE, 0x00}, TARN_MSG_EXT, 250000), 0);
    auto answer = b.next<RxMessage>([](const RxMessage& m) {
        return m.message.pgn == kPgnAddressClaimed && m.message.src_addr == 0x25;
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message.data, (std::vector<std::uint8_t>{10, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(a.received(kPgnRequest));  // the request itself is delivered too

    // A foreign Address Claimed that is too short changes nothing; a lower NAME takes the
    // address from a.
    ASSERT_EQ(simulator().inject(0, 0x18EEFF25, {1, 0, 0, 0, 0, 0, 0}, TARN_MSG_EXT, 250000), 0);
    ASSERT_TRUE(a.received(kPgnAddressClaimed));
    ASSERT_EQ(simulator().inject(0, 0x18EEFF25, {1, 0, 0, 0, 0, 0, 0, 0}, TARN_MSG_EXT, 250000), 0);
    lost = a.address_state(0x25);
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->state, ClaimState::CannotClaim);
}

TEST_F(J1939ChannelTest, CloseReleasesClaimsAndEchoAndLeavesNothingRunning) {
    Node a("a", kA0), b("b", kA1), c("c", kA0);
    a.open();
    b.open();
    c.open();
    ASSERT_TRUE(a.channel->claim_address(0x30, 7));
    ASSERT_TRUE(a.address_state(0x30));
    ASSERT_TRUE(a.channel->set_option(kOptionTxEcho, 1));
    ASSERT_TRUE(a.channel->close());
    EXPECT_TRUE(a.closed());
    EXPECT_TRUE(logs().contains(Level::Info, kChannelTarget, "Terminating J1939 Tx thread"));
    EXPECT_EQ(a.device->state_name(), "configured");

    a.open();
    ASSERT_TRUE(a.channel->claim_address(0x30, 7));  // the old claim is gone
    ASSERT_TRUE(c.channel->send(message(0xFEF2, 0x31, 255, {1}), std::nullopt));
    ASSERT_TRUE(b.received(0xFEF2));
    ASSERT_TRUE(a.address_state(0x30));
    for (const ChannelEvent& e : a.queued()) {
        const auto* rx = std::get_if<RxMessage>(&e);
        EXPECT_FALSE(rx && rx->message.pgn == 0xFEF2) << "TX echo was turned off by close";
    }
}

TEST_F(J1939ChannelTest, AnApplicationThatWentAwayNeverEndsTheProcess) {
    Node a("a", kA0), b("b", kA1);
    a.open();
    b.open();
    ASSERT_TRUE(a.channel->claim_address(0x40, 3));
    a.events.reset();  // the application side is gone
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(b.channel->send(message(0xFEF3, 0x41, 255, {1, 2}), std::nullopt));
    }
    ASSERT_TRUE(b.channel->claim_address(0x40, 1));  // a loses 0x40, and cannot tell anyone
    auto lost = b.address_state(0x40);
    ASSERT_TRUE(lost);
    ASSERT_TRUE(tarnlib::test::eventually(
        [] { return logs().count_prefix(kChannelTarget, "Event queue has no receiver") > 0; }));
    ASSERT_TRUE(a.channel->close());
    a.channel.reset();  // destroyed: no thread of it may be left
}

TEST_F(J1939ChannelTest, AChannelThatCannotGoOffBusStaysOpenUntilDestroyed) {
    Node a("a", kB0);
    a.open();
    simulator().plug(1, false);
    ASSERT_TRUE(tarnlib::test::eventually([&] { return !a.device->is_up(); }));
    auto r = a.channel->close();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().status, Status::tarnERR_TIMEOUT);
    EXPECT_EQ(r.error().message.rfind("CAN device did not reach 'configured' state within "
                                      "timeout: ",
                                      0),
              0u);
    EXPECT_TRUE(a.channel->is_open());
    EXPECT_EQ(logs().count_prefix(kChannelTarget, "Failed to take CAN channel off bus: "), 1u);
    a.channel.reset();
    EXPECT_TRUE(a.closed());
    simulator().plug(1, true);
}

}  // namespace
}  // namespace qzj1939lib
