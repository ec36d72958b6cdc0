// The transport-protocol engine fed with frames and stepped time: what it sends (every
// frame checked for priority 7, 8 data bytes and tag 0), the deadlines it sets, the events
// it reports and its log lines. Expected TP.CM frames are written out by hand from the
// J1939-21 frame layouts:
//   RTS    10 size_lo size_hi packets max_per_cts pgn0 pgn1 pgn2
//   CTS    11 count next FF FF pgn0 pgn1 pgn2
//   EOMACK 13 size_lo size_hi packets FF pgn0 pgn1 pgn2
//   BAM    20 size_lo size_hi packets FF pgn0 pgn1 pgn2
//   Abort  FF reason role FF FF pgn0 pgn1 pgn2   (role 0: the sender aborts, 1: the receiver)
// and TP.DT frames from the test pattern byte[i] = 7i + 3.

#include "tp.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/log.hpp"

namespace qzj1939lib {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<Bytes>;

constexpr std::uint8_t kUs = 0x20, kPeer = 0x30, kOther = 0x40, kAll = kGlobalAddress;
constexpr std::uint32_t kPgn = 0xFECA;  // PDU2: CA FE 00 in TP.CM frames
const Instant t0 = Instant{} + 100s;

Bytes pattern(std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return data;
}
// Packet `seq` of pattern(size), padded with 0xFF.
Bytes packet(std::uint8_t seq, std::size_t size = 20) {
    Bytes out{seq};
    for (std::size_t i = (seq - 1) * 7u; i < seq * 7u; ++i) {
        out.push_back(i < size ? static_cast<std::uint8_t>(i * 7 + 3) : 0xFF);
    }
    return out;
}
J1939Message cm(std::uint8_t src, std::uint8_t dest, Bytes data, std::uint8_t priority = 7) {
    return J1939Message{std::nullopt, kPgnTpCm, priority, src, dest, std::move(data)};
}
J1939Message dt(std::uint8_t src, std::uint8_t dest, Bytes data, std::uint64_t ts = 0) {
    return J1939Message{ts, kPgnTpDt, 7, src, dest, std::move(data)};
}
J1939Message message(std::uint8_t dest, std::size_t size, std::uint32_t pgn = kPgn) {
    return J1939Message{std::nullopt, pgn, 6, kUs, dest, pattern(size)};
}

// The engine's log lines, "target text" each.
struct LogLines {
    struct Sink : platform::log::Sink {
        void write(platform::log::Level, std::string_view target,
                   std::string_view text) noexcept override {
            lines.append(target).append(" ").append(text).append("\n");
        }
        std::string lines;
    };
    LogLines() {
        platform::log::uninstall();
        platform::log::install(sink);
        platform::log::set_max_level(platform::log::Level::Debug);
    }
    ~LogLines() { platform::log::uninstall(); }
    bool has(const std::string& text) const {
        return text.empty() || sink->lines.find("qzj1939lib::tp " + text) != std::string::npos;
    }
    std::shared_ptr<Sink> sink = std::make_shared<Sink>();
};

// One engine with its two queues, attached, with one local address.
struct Engine {
    explicit Engine(std::uint8_t address = kUs, bool protector = true) {
        tp.attach(commands.first, events.first);
        tp.set_local_address(address, protector);
    }
    // The frames sent since the last call; TpScheduleTimeout instants go to `deadlines`.
    std::vector<SendAt> sent() {
        std::vector<SendAt> out;
        while (auto item = commands.second.try_receive().item) {
            if (auto* send = std::get_if<SendAt>(&*item)) {
                EXPECT_EQ(send->tag, 0u);
                EXPECT_EQ(send->message.priority, 7);
                EXPECT_EQ(send->message.size(), 8u);
                if (send->then) {
                    // Only a received transfer rides on a frame, its End of Message
                    // Acknowledgment; the Tx thread hands it on once the frame is written.
                    EXPECT_EQ((*send->message.data)[0], 0x13);
                    EXPECT_TRUE(std::holds_alternative<RxMessage>(*send->then));
                    ++delivered_after_ack;
                    events.first.send(std::move(*send->then));
                }
                out.push_back(std::move(*send));
            } else if (auto* timeout = std::get_if<TpScheduleTimeout>(&*item)) {
                deadlines.push_back(timeout->at);
            }
        }
        return out;
    }
    Frames frames() {
        Frames out;
        for (SendAt& s : sent()) {
            out.push_back(*s.message.data);
        }
        return out;
    }
    // Feeds a frame from a peer, or runs the timer step when `frame` is empty.
    Frames feed(std::optional<J1939Message> frame, Instant at) {
        frame ? tp.receive(*frame, at) : void(tp.timer_step(at));
        return frames();
    }
    std::vector<ChannelEvent> take_events() {
        std::vector<ChannelEvent> out;
        while (auto item = events.second.try_receive().item) {
            out.push_back(std::move(*item));
        }
        return out;
    }
    template <class E>
    E only_event() {
        const std::vector<ChannelEvent> all = take_events();
        if (all.size() != 1 || !std::holds_alternative<E>(all[0])) {
            ADD_FAILURE() << "expected one event of kind " << ChannelEvent(E{}).index() << ", got "
                          << all.size();
            return E{};
        }
        return std::get<E>(all[0]);
    }

    std::pair<Sender<TxCommand>, Receiver<TxCommand>> commands = make_queue<TxCommand>();
    std::pair<Sender<ChannelEvent>, Receiver<ChannelEvent>> events = make_queue<ChannelEvent>();
    TransportProtocol tp;
    std::vector<Instant> deadlines;
    int delivered_after_ack = 0;
};

struct Step {
    std::optional<J1939Message> frame;  // none: a timer step
    std::chrono::milliseconds at;
};
// Runs the steps from t0 on; the frames they send. Events before the last step fail.
Frames run(Engine& e, const std::vector<Step>& steps) {
    Frames frames;
    for (const Step& s : steps) {
        EXPECT_TRUE(e.take_events().empty()) << "before " << s.at.count() << " ms";
        for (Bytes& f : e.feed(s.frame, t0 + s.at)) {
            frames.push_back(std::move(f));
        }
    }
    return frames;
}

TEST(TpHandler, RefusesSendsAndOptionsWithTheirTexts) {
    TransportProtocol detached;
    EXPECT_EQ(detached.send(message(kPeer, 20), 1, t0).error().message,
              "TP handler not initialized");
    Engine e;
    e.tp.remove_local_address(kUs);
    EXPECT_EQ(e.tp.send(message(kPeer, 20), 1, t0).error().message, "Source address not set");
    EXPECT_EQ(e.tp.send(message(kPeer, 20), 1, t0).error().status,
              tarnlib::Status::tarnERR_INVHANDLE);
    e.tp.set_local_address(kUs, true);
    for (std::size_t size : {0, 8, 1786}) {
        const auto r = e.tp.send(message(kPeer, size), 1, t0);
        EXPECT_EQ(r.error().status, tarnlib::Status::tarnERR_PARAM) << size;
        EXPECT_EQ(r.error().message, "Invalid message size");
    }
    EXPECT_TRUE(e.frames().empty());
    ASSERT_TRUE(e.tp.send(message(kPeer, 1785), 1, t0));
    // RTS: 1785 bytes = F9 06 in 255 packets, at most 255 per CTS.
    EXPECT_EQ(e.frames(), (Frames{{0x10, 0xF9, 0x06, 0xFF, 0xFF, 0xCA, 0xFE, 0x00}}));

    const std::uint32_t defaults[] = {50, 255, 255, 750, 1250, 1250, 1050};
    for (std::uint32_t option = 2; option <= 8; ++option) {
        EXPECT_EQ(*detached.get_option(option), defaults[option - 2]);
    }
    struct Case {
        std::uint32_t option, value;
        const char* error;  // nullptr: accepted and read back
    } cases[] = {
        // clang-format off
        {2, 200, nullptr}, {2, 201, "Invalid value for interpacket time"},
        {3, 1, nullptr}, {3, 0, "Invalid value for max packets in RTS"},
        {3, 256, "Invalid value for max packets in RTS"}, {4, 0, "Invalid value for max packets in CTS"},
        {4, 255, nullptr}, {5, 20000, nullptr}, {6, 0, nullptr}, {7, 20001, "Invalid timeout value"},
        {8, 20001, "Invalid timeout value"}, {1, 0, "Invalid option"}, {9, 0, "Invalid option"},
        // clang-format on
    };
    for (const Case& c : cases) {
        const auto r = detached.set_option(c.option, c.value);
        if (!c.error) {
            EXPECT_TRUE(r && *detached.get_option(c.option) == c.value) << c.option;
        } else {
            EXPECT_EQ(r.error().status, tarnlib::Status::tarnERR_PARAM) << c.option;
            EXPECT_EQ(r.error().message, c.error);
        }
    }
    EXPECT_EQ(*detached.get_option(8), 1050u);
    EXPECT_EQ(detached.get_option(0).error().message, "Invalid option");
}

TEST(TpHandler, BamOfNineBytesSendsTwoPacketsFiftyMsApartAndConfirmsOnTheLastAck) {
    Engine e;
    ASSERT_TRUE(e.tp.send(message(kAll, 9), 42, t0));
    std::vector<SendAt> f = e.sent();
    ASSERT_EQ(f.size(), 2u);
    // BAM: 9 bytes in 2 packets of PGN 0xFECA, to everyone, at once.
    EXPECT_EQ(*f[0].message.data, (Bytes{0x20, 0x09, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00}));
    EXPECT_EQ(f[0].message.dest_addr, kAll);
    EXPECT_EQ(f[0].at, t0);
    EXPECT_EQ(f[1].message.pgn, kPgnTpDt);
    EXPECT_EQ(*f[1].message.data, (Bytes{1, 3, 10, 17, 24, 31, 38, 45}));
    EXPECT_EQ(f[1].at, t0 + 50ms);
    e.tp.on_tx_ack(f[0].message, t0);  // the BAM's own acknowledgement changes nothing
    e.tp.on_tx_ack(f[1].message, t0 + 50ms);
    f = e.sent();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(*f[0].message.data, (Bytes{2, 52, 59, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(f[0].at, t0 + 100ms);
    EXPECT_TRUE(e.take_events().empty());
    f[0].message.timestamp = 100'000;
    e.tp.on_tx_ack(f[0].message, t0 + 100ms);
    const auto done = e.only_event<TxConfirmed>();
    EXPECT_EQ(done.tag, 42u);
    EXPECT_EQ(done.message.data, pattern(9));
    EXPECT_EQ(done.message.timestamp, 100'000u);
    EXPECT_EQ(e.tp.timer_step(t0 + 10s), std::nullopt);

    ASSERT_TRUE(e.tp.send(message(kAll, 9), 43, t0));  // no acknowledgement within T1
    EXPECT_EQ(e.tp.timer_step(t0 + 749ms), t0 + 750ms);
    EXPECT_EQ(e.tp.timer_step(t0 + 750ms), std::nullopt);
    EXPECT_EQ(e.frames().size(), 2u);  // BAM and packet 1; no Abort for a BAM
    EXPECT_EQ(e.only_event<TxFailed>().tag, 43u);
}

// We send 20 bytes (3 packets, at most 3 per CTS) to the peer; RTS at t0; T2 1000 ms.
struct SenderCase : ::testing::Test {
    void SetUp() override { start(); }
    void start() {
        e = std::make_unique<Engine>();
        ASSERT_TRUE(e->tp.set_option(kOptionMaxPacketsInRts, 3));
        ASSERT_TRUE(e->tp.set_option(kOptionT2, 1000));
        ASSERT_TRUE(e->tp.send(message(kPeer, 20), 7, t0));
        ASSERT_EQ(e->frames(), (Frames{rts_sent()}));
        e->tp.on_tx_ack(cm(kUs, kPeer, rts_sent()), t0);  // the RTS is on the bus
    }
    static Bytes rts_sent() { return {0x10, 0x14, 0x00, 0x03, 0x03, 0xCA, 0xFE, 0x00}; }
    static J1939Message cts(std::uint8_t count, std::uint8_t next, std::uint8_t dest = kUs) {
        return cm(kPeer, dest, {0x11, count, next, 0xFF, 0xFF, 0xCA, 0xFE, 0x00});
    }
    void ack(std::uint8_t seq) { e->tp.on_tx_ack(dt(kUs, kPeer, packet(seq)), t0 + 10ms); }
    std::unique_ptr<Engine> e;
};

TEST_F(SenderCase, SendsWindowsOnAcksIgnoringStaleOnesAndConfirmsOnEomAck) {
    EXPECT_TRUE(e->feed(cts(3, 1, kOther), t0).empty());  // a CTS to another node
    EXPECT_EQ(e->feed(cts(3, 1), t0), Frames{packet(1)});
    ack(1);
    EXPECT_EQ(e->frames(), Frames{packet(2)});
    ack(1);  // stale: neither repeats nor skips
    EXPECT_TRUE(e->frames().empty());
    ack(2);
    EXPECT_EQ(e->frames(), Frames{packet(3)});
    ack(3);
    ack(3);
    EXPECT_TRUE(e->frames().empty());
    EXPECT_TRUE(e->take_events().empty());
    J1939Message eom = cm(kPeer, kUs, {0x13, 0x14, 0x00, 0x03, 0xFF, 0xCA, 0xFE, 0x00});
    eom.timestamp = 777;
    e->tp.receive(eom, t0 + 25ms);
    const auto done = e->only_event<TxConfirmed>();
    EXPECT_EQ(done.tag, 7u);
    EXPECT_EQ(done.message.data, pattern(20));
    EXPECT_EQ(done.message.timestamp, 777u);
    EXPECT_EQ(e->tp.timer_step(t0 + 10s), std::nullopt);
}

// Another application that shares our address sent the peer the same PGN just before us:
// the peer's CTS and EOMACK of that session reach us too, before our RTS is on the bus. They
// are not ours: acting on them sent our packets unasked and reported a transfer the peer never
// received as confirmed. An EOMACK before our last packet is not ours either; one that does
// not match our message after it fails the transfer.
TEST_F(SenderCase, IgnoresTheAnswersToAnotherNodesSessionWithTheSameAddresses) {
    e = std::make_unique<Engine>();
    ASSERT_TRUE(e->tp.set_option(kOptionMaxPacketsInRts, 3));
    ASSERT_TRUE(e->tp.send(message(kPeer, 20), 7, t0));
    ASSERT_EQ(e->frames(), (Frames{rts_sent()}));
    const J1939Message eom = cm(kPeer, kUs, {0x13, 0x14, 0x00, 0x03, 0xFF, 0xCA, 0xFE, 0x00});
    EXPECT_TRUE(e->feed(cts(3, 1), t0 + 1ms).empty()) << "a CTS before our RTS went out";
    EXPECT_TRUE(e->feed(eom, t0 + 2ms).empty());
    EXPECT_TRUE(e->take_events().empty()) << "nothing confirmed";
    e->tp.on_tx_ack(cm(kUs, kPeer, rts_sent()), t0 + 3ms);
    EXPECT_TRUE(e->feed(eom, t0 + 4ms).empty()) << "an EOMACK while we wait for the CTS";
    EXPECT_TRUE(e->take_events().empty());
    EXPECT_EQ(e->feed(cts(3, 1), t0 + 5ms), Frames{packet(1)});
    ack(1);
    ack(2);
    ack(3);
    EXPECT_EQ(e->frames(), (Frames{packet(2), packet(3)}));
    const J1939Message bad_eom = cm(kPeer, kUs, {0x13, 0x13, 0x00, 0x03, 0xFF, 0xCA, 0xFE, 0x00});
    EXPECT_TRUE(e->feed(bad_eom, t0 + 20ms).empty());
    EXPECT_EQ(e->only_event<TxFailed>().tag, 7u);
}

TEST_F(SenderCase, FailsWithTheRightAbort) {
    const auto abort = [](std::uint8_t reason) {
        return Bytes{0xFF, reason, 0, 0xFF, 0xFF, 0xCA, 0xFE, 0x00};
    };
    const auto peer_abort = [](std::uint8_t role) {
        return cm(kPeer, kUs, {0xFF, 1, role, 0xFF, 0xFF, 0xCA, 0xFE, 0x00});
    };
    const J1939Message bad_eom = cm(kPeer, kUs, {0x13, 0x13, 0x00, 0x03, 0xFF, 0xCA, 0xFE, 0x00});
    const std::string key = "SessionKey { src_addr: 0x20, dest_addr: 0x30 }";
    struct Case {
        const char* what;
        std::vector<Step> steps;
        Frames frames;  // all frames sent after the RTS
        std::string log;
    } cases[] = {
        // clang-format off
        {"CTS during data transfer", {{cts(3, 1), 10ms}, {cts(3, 1), 11ms}}, {packet(1), abort(4)},
         "Received CTS during data transfer, aborting session"},
        {"third unexpected next packet", {{cts(1, 2), 10ms}, {cts(1, 2), 11ms}, {cts(1, 2), 12ms}},
         {packet(2), packet(2), abort(5)}, "Received CTS with unexpected next packet number, 2 != 3"},
        {"more than the RTS allowed", {{cts(4, 1), 10ms}}, {abort(250)},
         "Received CTS with too many packets to send 4, max is 3, aborting"},
        {"next packet beyond the total", {{cts(1, 4), 10ms}}, {abort(250)}, "Received CTS"},
        {"T4 holds, twice, then runs out",
         {{cts(0, 0xFF), 1000ms}, {{}, 1250ms}, {cts(0, 0xFF), 2000ms}, {{}, 3049ms}, {{}, 3050ms}},
         {abort(3)}, "TP session " + key + " timed out in state WaitingForCts"},
        {"no answer within T3", {{{}, 1249ms}, {{}, 1250ms}}, {abort(3)}, "TP session"},
        {"no CTS within T3 after a window", {{cts(1, 1), 10ms}, {{}, 1259ms}, {{}, 1260ms}},
         {packet(1), abort(3)}, ""},
        {"the receiver aborts (0xFD; 0xFC is the sender's role)",
         {{peer_abort(0xFC), 5ms}, {peer_abort(0xFD), 6ms}}, {},
         "TP Tx session aborted by remote " + key + ", reason 1"},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogLines log;
        start();
        (void)bad_eom;
        EXPECT_EQ(run(*e, c.steps), c.frames);
        const auto failed = e->only_event<TxFailed>();
        EXPECT_EQ(failed.tag, 7u);
        EXPECT_EQ(failed.header, (J1939Message{std::nullopt, kPgn, 6, kUs, kPeer, std::nullopt}));
        EXPECT_TRUE(log.has(c.log));
    }
}

// The peer sends us 20 bytes (3 packets) of PGN 0xEF00 (PDU1: its PS byte carries our
// address, which the reassembled message does not keep).
Bytes rts(std::uint16_t size, std::uint8_t packets, std::uint8_t limit = 0) {
    return {0x10,
            static_cast<std::uint8_t>(size),
            static_cast<std::uint8_t>(size >> 8),
            packets,
            limit,
            kUs,
            0xEF,
            0x00};
}
const J1939Message kRts = cm(kPeer, kUs, rts(20, 3));
const Bytes kCts3{0x11, 0x03, 0x01, 0xFF, 0xFF, kUs, 0xEF, 0x00};

TEST(TpReceive, ReassemblesWhatStandardPeersSendAnsweringAsResponderOnly) {
    for (bool protector : {true, false}) {
        SCOPED_TRACE(protector);
        Engine e(kUs, protector);
        const auto answer = [&](Frames f) { return protector ? f : Frames{}; };
        EXPECT_TRUE(e.feed(cm(kPeer, kOther, rts(20, 3)), t0).empty());  // not to us
        // At priority 6, byte 4 = 0: no limit per CTS.
        EXPECT_EQ(e.feed(cm(kPeer, kUs, rts(20, 3), 6), t0), answer({kCts3}));
        e.feed(dt(kPeer, kOther, packet(1)), t0);  // to another node: not ours
        e.feed(J1939Message{0, kPgnTpDt, 3, kPeer, kUs, packet(1)}, t0 + 2ms);  // priority 3
        e.feed(dt(kPeer, kUs, {2, 1, 2}), t0 + 3ms);  // too short: dropped
        EXPECT_TRUE(e.feed(dt(kPeer, kUs, {0, 1, 2, 3, 4, 5, 6, 7}), t0 + 4ms).empty());
        EXPECT_TRUE(e.feed(dt(kPeer, kUs, packet(9)), t0 + 4ms).empty());  // beyond the total
        e.feed(dt(kPeer, kUs, packet(2)), t0 + 4ms);
        Bytes short_last = packet(3);  // 6 bytes left: no padding needed
        short_last.pop_back();
        EXPECT_EQ(e.feed(dt(kPeer, kUs, short_last, 9'000), t0 + 5ms),
                  answer({{0x13, 0x14, 0x00, 0x03, 0xFF, kUs, 0xEF, 0x00}}));
        EXPECT_EQ(e.only_event<RxMessage>().message,
                  (J1939Message{9'000, 0xEF00, 6, kPeer, kUs, pattern(20)}));
        EXPECT_EQ(e.delivered_after_ack, protector ? 1 : 0);

        // A new RTS replaces a running transfer; byte 4 = 1 asks one packet per CTS.
        e.feed(kRts, t0);
        e.feed(dt(kPeer, kUs, packet(1)), t0);
        EXPECT_EQ(e.feed(cm(kPeer, kUs, rts(9, 2, 1)), t0),
                  answer({{0x11, 0x01, 0x01, 0xFF, 0xFF, kUs, 0xEF, 0x00}}));
        EXPECT_EQ(e.feed(dt(kPeer, kUs, packet(1, 9)), t0),
                  answer({{0x11, 0x01, 0x02, 0xFF, 0xFF, kUs, 0xEF, 0x00}}));
        e.feed(dt(kPeer, kUs, packet(2, 9)), t0);
        EXPECT_EQ(e.only_event<RxMessage>().message.data, pattern(9));

        // BAM packets 10 to 200 ms apart.
        e.feed(cm(kPeer, kAll, {0x20, 0x14, 0x00, 0x03, 0xFF, 0xCA, 0xFE, 0x00}), t0);
        e.feed(dt(kPeer, kAll, packet(1)), t0 + 10ms);
        e.feed(cm(kPeer, kUs, {0x20, 0x09, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00}), t0);  // not global
        e.feed(dt(kPeer, kAll, packet(2)), t0 + 210ms);
        EXPECT_EQ(e.tp.timer_step(t0 + 959ms), t0 + 960ms);  // T1 after packet 2
        EXPECT_TRUE(e.feed(dt(kPeer, kAll, packet(3)), t0 + 410ms).empty());
        EXPECT_EQ(e.only_event<RxMessage>().message,
                  (J1939Message{0, kPgn, 7, kPeer, kAll, pattern(20)}));
    }
}

TEST(TpReceive, FailsTransfersAnsweringAsResponderOnly) {
    const auto abort = [](std::uint8_t reason) {
        return Bytes{0xFF, reason, 1, 0xFF, 0xFF, kUs, 0xEF, 0x00};
    };
    const Bytes again{0x11, 0x02, 0x01, 0xFF, 0xFF, kUs, 0xEF, 0x00};
    const J1939Message bam = cm(kPeer, kAll, {0x20, 0x14, 0x00, 0x03, 0xFF, 0xCA, 0xFE, 0x00});
    const J1939Message peer_abort = cm(kPeer, kUs, {0xFF, 3, 0, 0xFF, 0xFF, kUs, 0xEF, 0});
    struct Case {
        const char* what;
        std::vector<Step> steps;
        Frames frames;     // what a responder sends; others stay silent
        int rx_errors[2];  // RxError events of a responder, of a silent receiver
        const char* log;
    } cases[] = {
        // clang-format off
        {"RTS of 1786 bytes", {{cm(kPeer, kUs, rts(1786, 255)), 0ms}}, {abort(9)}, {0, 0}, ""},
        {"RTS of 20 bytes in 2 packets", {{cm(kPeer, kUs, rts(20, 2)), 0ms}}, {abort(250)}, {0, 0}, ""},
        {"RTS of no packets", {{cm(kPeer, kUs, rts(0, 0)), 0ms}}, {abort(250)}, {0, 0}, ""},
        {"no TP.DT within T2", {{kRts, 0ms}, {{}, 1249ms}, {{}, 1250ms}}, {kCts3, abort(3)}, {1, 1},
         "TP RX session SessionKey { src_addr: 0x30, dest_addr: 0x20 } timed out in state ReceivingData"},
        {"the sender aborts", {{kRts, 0ms}, {peer_abort, 5ms}}, {kCts3}, {1, 1},
         "TP Rx session aborted by remote"},
        {"packet 1 lost three times (2 per CTS)",
         {{cm(kPeer, kUs, rts(20, 3, 2)), 0ms}, {dt(kPeer, kUs, packet(2)), 1ms},
          {dt(kPeer, kUs, packet(2)), 2ms}, {dt(kPeer, kUs, packet(2)), 4ms}},
         {again, again, again, abort(5)}, {1, 0}, "Maximum retransmissions reached, aborting session"},
        {"a bad RTS ends the running transfer", {{kRts, 0ms}, {cm(kPeer, kUs, rts(20, 2)), 1ms}},
         {kCts3, abort(250)}, {0, 0}, ""},
        {"BAM without packets", {{bam, 0ms}, {{}, 749ms}, {{}, 750ms}}, {}, {1, 1}, "TP RX session"},
        {"BAM packet out of order", {{bam, 0ms}, {dt(kPeer, kAll, packet(2)), 50ms}}, {}, {1, 1},
         "Received out-of-order TP.DT packet in BAM session, aborting session"},
        // clang-format on
    };
    for (const Case& c : cases) {
        for (bool protector : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.what << (protector ? ", responder" : ""));
            LogLines log;
            Engine e(kUs, protector);
            EXPECT_EQ(run(e, c.steps), protector ? c.frames : Frames{});
            const int errors = c.rx_errors[protector ? 0 : 1];
            EXPECT_EQ(e.take_events().size(), static_cast<std::size_t>(errors));
            EXPECT_TRUE(errors == 0 || log.has(c.log));
            EXPECT_EQ(e.tp.timer_step(t0 + 1h), std::nullopt);
            EXPECT_TRUE(e.frames().empty());  // nothing left to abort
        }
    }
}

// Two engines wired back to back over a simulated bus in stepped time: the earliest
// scheduled frame goes out 1 ms later (its time on the wire); its sender gets the
// acknowledgement and the other engine the frame. Timer steps run at their deadlines.
struct Bus {
    Bus(Engine& a, Engine& b) : nodes{&a, &b} {}
    void run() {
        for (collect();; collect()) {
            std::optional<Instant> next_frame;
            if (!queued.empty()) {
                next_frame = std::max(now, queued.begin()->first) + 1ms;
            }
            const int timer = deadline[0] && (!deadline[1] || *deadline[0] <= *deadline[1]) ? 0 : 1;
            if (deadline[timer] && (!next_frame || *deadline[timer] < *next_frame)) {
                now = std::max(now, *deadline[timer]);
                deadline[timer] = nodes[timer]->tp.timer_step(now);
                continue;
            }
            if (!next_frame) {
                return;
            }
            now = *next_frame;
            auto [from, f] = std::move(queued.begin()->second);
            queued.erase(queued.begin());
            f.timestamp = static_cast<std::uint64_t>((now - t0) / 1us);
            if (f.pgn == kPgnTpCm) {
                cm_frames.push_back(*f.data);
            }
            nodes[from]->tp.on_tx_ack(f, now);
            nodes[1 - from]->tp.receive(f, now);
        }
    }
    void collect() {
        for (int i = 0; i < 2; ++i) {
            for (SendAt& s : nodes[i]->sent()) {
                queued.emplace(s.at, std::pair{i, std::move(s.message)});
            }
            for (Instant at : nodes[i]->deadlines) {
                deadline[i] = deadline[i] ? std::min(*deadline[i], at) : at;
            }
            nodes[i]->deadlines.clear();
        }
    }
    Engine* nodes[2];
    Instant now = t0;
    std::multimap<Instant, std::pair<int, J1939Message>> queued;
    std::optional<Instant> deadline[2];
    Frames cm_frames;
};

TEST(TpBackToBack, TransfersEverySizeByteExactWithAnyWindow) {
    for (std::size_t size : {9, 15, 16, 100, 1785}) {
        for (std::uint8_t dest : {kPeer, kAll}) {
            for (std::uint32_t window : {1u, 16u, 255u}) {
                SCOPED_TRACE(testing::Message()
                             << size << " bytes to " << int{dest} << ", window " << window);
                Engine sender(kUs), receiver(kPeer);
                // The window comes from the receiver's CTS limit, or (16) from our RTS.
                ASSERT_TRUE(window == 16 ? sender.tp.set_option(kOptionMaxPacketsInRts, window)
                                         : receiver.tp.set_option(kOptionMaxPacketsInCts, window));
                Bus bus(sender, receiver);
                const J1939Message first = message(dest, size, 0xEF00);
                const J1939Message second = message(dest, 9, 0xEF00);  // waits its turn
                ASSERT_TRUE(sender.tp.send(first, 5, t0));
                ASSERT_TRUE(sender.tp.send(second, 6, t0));
                bus.run();

                const std::vector<ChannelEvent> got = receiver.take_events(),
                                                done = sender.take_events();
                ASSERT_EQ(got.size(), 2u);
                ASSERT_EQ(done.size(), 2u);
                for (std::size_t i = 0; i < 2; ++i) {
                    const J1939Message& m = i == 0 ? first : second;
                    ASSERT_TRUE(std::holds_alternative<RxMessage>(got[i]));
                    J1939Message in = std::get<RxMessage>(got[i]).message;
                    EXPECT_TRUE(in.timestamp);
                    in.timestamp.reset();
                    EXPECT_EQ(in, (J1939Message{std::nullopt, 0xEF00, 7, kUs, dest, m.data}));
                    ASSERT_TRUE(std::holds_alternative<TxConfirmed>(done[i]));
                    EXPECT_EQ(std::get<TxConfirmed>(done[i]).tag, 5 + i);
                    EXPECT_EQ(std::get<TxConfirmed>(done[i]).message.data, m.data);
                }
                // BAM; or RTS, the CTS frames and the EOMACK: no Abort, no spare CTS.
                const std::size_t cts =
                    ((size + 6) / 7 + window - 1) / window + (window == 1 ? 2 : 1);
                EXPECT_EQ(bus.cm_frames.size(), dest == kAll ? 2 : cts + 4);
                if (dest == kAll) {
                    break;  // windows do not apply to BAM
                }
            }
        }
    }
}

}  // namespace
}  // namespace qzj1939lib
