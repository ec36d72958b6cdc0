// The j1939_* exports of the built library on the simulated bus, each scenario in a
// process of its own (j1939_exports_fixture.hpp): refusals and edge cases, transfers both
// ways through reads and callbacks, the callback thread, the shared address-claim table
// within and across processes, and many threads at once.

#include <array>
#include <atomic>
#include <cstring>
#include <future>
#include <map>
#include <set>

#include "j1939_exports_fixture.hpp"
#include "platform/clock.hpp"
#include "shared_data_manager.hpp"

namespace j1939_test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kPgnPdu1 = 0xEF00;  // Proprietary A: to one address
constexpr std::uint32_t kPgnTpCm = 0xEC00;
constexpr std::uint32_t kPgnClaimed = 0xEE00;
constexpr std::uint64_t kLow = 0x0000'1000'0000'0001;
constexpr std::uint64_t kHigh = 0x0000'2000'0000'0002;

bool log_has(const std::string& text) {
    return read_file("qzj1939lib.log").find(text) != std::string::npos;
}

TEST(J1939Exports, EveryExportRefusesWhatItMustAndReportsWhatItReads) {
    if (in_own_process()) {
        return;
    }
    World world;
    Api& j = api();

    ASSERT_EQ(j.start_log(), 0);
    EXPECT_TRUE(log_has("[INFO] Logging started"));
    EXPECT_EQ(j.start_log(), -1);
    EXPECT_TRUE(log_has("[ERROR] Failed to initialize logging: "));

    // The interface has channels 0 and 1; a bus runs at one bit rate in the process.
    EXPECT_EQ(j.create_channel(7, 0, 250000).status, -2);
    EXPECT_TRUE(log_has("No CAN channels found matching selection criteria"));
    const J1939CreateResult a = j.create_channel(0, 0, 250000);
    const J1939CreateResult b = j.create_channel(1, 0, 250000);
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(b.status, 0);
    EXPECT_EQ(a.handle, 1u) << "without the shared table, handles count in the process";
    EXPECT_EQ(b.handle, 2u);
    EXPECT_EQ(j.create_channel(0, 0, 500000).status, -2);
    EXPECT_TRUE(log_has("Failed to find or create CAN bus with specified parameters"));
    EXPECT_EQ(j.configure_shared_address_table(), -1) << "channels exist already";

    const Bytes nine(9, 0x99);
    const Bytes too_long(1786, 0x11);
    struct Call {
        const char* what;
        std::function<std::int32_t()> call;
        std::int32_t expected;
    };
    auto all_on = [&](j1939_handle h) {
        return std::vector<Call>{
            {"open", [&j, h] { return j.open_channel(h); }, -2},
            {"close", [&j, h] { return j.close_channel(h); }, -2},
            {"register", [&j, h] { return j.register_callbacks(h, 0, on_rx, on_tx, on_address); },
             -2},
            {"claim", [&j, h] { return j.claim_address(h, 0x20, 1, 0); }, -2},
            {"remove", [&j, h] { return j.remove_address_claim(h, 0x20); }, -2},
            {"write", [&j, h] { return write(h, 0xFEF1, 0x20, 255, {1}); }, -2},
            {"read", [&j, h] { return read(h, 0).result.status; }, -2},
            {"set option", [&j, h] { return j.set_channel_option(h, 5, 100); }, -2},
            {"get option", [&j, h] { return j.get_channel_option(h, 5).status; }, -2},
            {"destroy", [&j, h] { return j.destroy_channel(h); }, -2},
        };
    };
    const std::vector<Call> closed = {
        {"write on a closed channel", [&] { return write(a.handle, 0xFEF1, 0x20, 255, {1}); }, -2},
        {"read on a closed channel", [&] { return read(a.handle, 0).result.status; }, -2},
        {"claim on a closed channel", [&] { return j.claim_address(a.handle, 0x20, 1, 0); }, -1},
        {"remove what is not claimed", [&] { return j.remove_address_claim(a.handle, 0x20); }, -1},
        {"close a closed channel", [&] { return j.close_channel(a.handle); }, 0},
        {"TX echo 2", [&] { return j.set_channel_option(a.handle, 0, 2); }, -3},
        {"option 42", [&] { return j.set_channel_option(a.handle, 42, 0); }, -3},
        {"BAM gap 201 ms", [&] { return j.set_channel_option(a.handle, 2, 201); }, -3},
        {"T1 20001 ms", [&] { return j.set_channel_option(a.handle, 5, 20001); }, -3},
        {"read option 0", [&] { return j.get_channel_option(a.handle, 0).status; }, -3},
        {"TP passthrough while closed", [&] { return j.set_channel_option(a.handle, 1, 1); }, 0},
    };
    const std::vector<Call> open = {
        {"open twice", [&] { return j.open_channel(a.handle); }, -1},
        {"TP passthrough while open", [&] { return j.set_channel_option(a.handle, 1, 0); }, -2},
        {"callbacks while open",
         [&] { return j.register_callbacks(b.handle, 0, on_rx, on_tx, on_address); }, -2},
        {"9 bytes in TP passthrough", [&] { return write(a.handle, 0xFEF1, 0x20, 255, nine); }, -3},
        {"1786 bytes", [&] { return write(a.handle, 0xFEF1, 0x20, 255, too_long); }, -3},
        {"no data for 5 bytes",
         [&] { return j.write(a.handle, header(0xFEF1, 0x20, 255), nullptr, 5, 0); }, -3},
        {"claim 254", [&] { return j.claim_address(a.handle, 254, 1, 0); }, -1},
        {"claim 255", [&] { return j.claim_address(a.handle, 255, 1, 0); }, -1},
        {"read with a time-out of 0", [&] { return read(b.handle, 0).result.status; }, -5},
        {"read without a buffer", [&] { return j.read(b.handle, nullptr, 8, 0).status; }, -3},
    };
    for (const Call& c : all_on(999)) {
        EXPECT_EQ(c.call(), c.expected) << "unknown handle: " << c.what;
    }
    for (const Call& c : closed) {
        EXPECT_EQ(c.call(), c.expected) << c.what;
    }
    EXPECT_EQ(j.get_channel_option(a.handle, 5).value, 750u);
    EXPECT_EQ(j.get_channel_option(a.handle, 1).value, 1u);
    ASSERT_EQ(j.open_channel(a.handle), 0);
    ASSERT_EQ(j.open_channel(b.handle), 0);
    for (const Call& c : open) {
        EXPECT_EQ(c.call(), c.expected) << c.what;
    }
    EXPECT_TRUE(
        log_has("[ERROR] j1939_write: Cannot send multi-frame message in TP passthrough mode "
                "(tarnERR_PARAM)"));

    // What reads report: an empty message; a message larger than the buffer is lost and the
    // next read gets the next; a failed reception; an address lost.
    EXPECT_EQ(j.write(a.handle, header(0xFEF0, 0x21, 255, 3), nullptr, 0, 0), 0);
    EXPECT_EQ(write(a.handle, 0xFEF1, 0x21, 255, pattern(8, 1)), 0);
    EXPECT_EQ(write(a.handle, 0xEF00, 0x21, 0x42, pattern(2, 2)), 0);
    const Read empty = read(b.handle);
    EXPECT_EQ(empty.result.status, 0);
    EXPECT_EQ(empty.result.length, 0u);
    EXPECT_EQ(empty.result.header.priority, 3);
    EXPECT_EQ(read(b.handle, 20000, 4).result.status, -8);
    const Read next = read(b.handle);
    ASSERT_EQ(next.result.status, 0);
    EXPECT_EQ(next.data, pattern(2, 2));
    EXPECT_EQ(next.result.header.pgn, 0xEF00u);
    EXPECT_EQ(next.result.header.src_addr, 0x21);
    EXPECT_EQ(next.result.header.dest_addr, 0x42);
    EXPECT_EQ(next.result.header.priority, 6);
    EXPECT_NE(next.result.timestamp, 0u);

    ASSERT_EQ(j.inject(0, 0, nullptr, 0, TARN_MSG_ERROR_FRAME, 250000), 0);
    EXPECT_EQ(read(b.handle).result.status, -9);

    ASSERT_EQ(j.claim_address(b.handle, 0x20, low(kHigh), high(kHigh)), 0);
    ASSERT_EQ(j.claim_address(a.handle, 0x20, low(kLow), high(kLow)), 0);
    std::int32_t status = 0;
    while (status == 0) {
        status = read(b.handle).result.status;  // the Address Claimed frames pass
    }
    EXPECT_EQ(status, -7);

    EXPECT_EQ(j.close_channel(a.handle), 0);
    EXPECT_EQ(j.close_channel(a.handle), 0);
    EXPECT_EQ(j.destroy_channel(a.handle), 0);
    EXPECT_EQ(j.destroy_channel(b.handle), 0);
    for (const Call& c : all_on(a.handle)) {
        EXPECT_EQ(c.call(), c.expected) << "destroyed handle: " << c.what;
    }

    // Without channels the shared table can be chosen, once; handles then come from it.
    EXPECT_EQ(j.configure_shared_address_table(), 0);
    EXPECT_EQ(j.configure_shared_address_table(), -1);
    const J1939CreateResult shared = j.create_channel(0, 0, 250000);
    EXPECT_EQ(shared.status, 0);
    EXPECT_EQ(j.destroy_channel(shared.handle), 0);
}

TEST(J1939Exports, TransfersOf1785BytesBothWaysThroughReads) {
    if (in_own_process()) {
        return;
    }
    World world;
    Api& j = api();
    (void)j.start_log();
    const j1939_handle x = open_channel(0, false);
    const j1939_handle y = open_channel(1, false);
    for (j1939_handle h : {x, y}) {
        ASSERT_EQ(j.set_channel_option(h, 2, 0), 0);  // BAM packets back to back
    }
    ASSERT_EQ(j.claim_address(x, 0x20, low(kLow), high(kLow)), 0);
    ASSERT_EQ(j.claim_address(y, 0x30, low(kHigh), high(kHigh)), 0);
    struct Transfer {
        j1939_handle from, to;
        std::uint8_t src, dest;
        std::uint32_t pgn;
    };
    const Transfer transfers[] = {
        {x, y, 0x20, 0x30, kPgnPdu1},  // RTS/CTS
        {y, x, 0x30, 0x20, kPgnPdu1},
        {x, y, 0x20, 255, 0xFEF5},  // BAM
        {y, x, 0x30, 255, 0xFEF6},
    };
    // Both claims must have become Claimed before the first transfer (the two claims end a
    // few milliseconds apart when the machine is slow): a node answers an RTS only to an
    // address it holds. A single frame may be sent from any address, but a transfer is
    // refused until the sender's claim holds; so each channel sends a short BAM once it can,
    // and the peer reads it.
    for (const auto& [from, src, to] :
         {std::tuple{x, std::uint8_t{0x20}, y}, {y, std::uint8_t{0x30}, x}}) {
        const j1939_handle sender = from;
        const std::uint8_t source = src;
        EXPECT_TRUE(
            eventually([&] { return write(sender, 0xFEF7, source, 255, pattern(9, 0)) == 0; }));
        EXPECT_EQ(read_pgn(to, 0xFEF7).result.status, 0);
    }
    std::uint8_t seed = 0;
    for (const Transfer& t : transfers) {
        EXPECT_TRUE(eventually(
            [&] { return write(t.from, t.pgn, t.src, t.dest, pattern(1785, ++seed)) == 0; }));
        const Read r = read_pgn(t.to, t.pgn);
        ASSERT_EQ(r.result.status, 0);
        EXPECT_EQ(r.data, pattern(1785, seed));
        EXPECT_EQ(r.result.header.src_addr, t.src);
        EXPECT_EQ(r.result.header.dest_addr, t.dest);
    }
    EXPECT_EQ(j.destroy_channel(x), 0);
    EXPECT_EQ(j.destroy_channel(y), 0);
}

TEST(J1939Exports, CallbacksTheirThreadAndReadsThatWait) {
    if (in_own_process()) {
        return;
    }
    World world;
    Api& j = api();
    // Threads that stay once the simulator and the first bus have been used.
    const j1939_handle warm = open_channel(0, true);
    ASSERT_EQ(j.destroy_channel(warm), 0);
    const auto baseline = thread_count();

    const j1939_handle x = open_channel(0, true);
    const j1939_handle y = open_channel(1, true, kAnswerPing);
    ASSERT_EQ(j.set_channel_option(x, 7, 100), 0);  // T3: an unanswered RTS fails soon
    ASSERT_EQ(j.set_channel_option(y, 2, 0), 0);
    ASSERT_EQ(j.claim_address(x, 0x20, low(kHigh), high(kHigh)), 0);
    ASSERT_EQ(j.claim_address(y, 0x30, low(kHigh), high(kHigh)), 0);
    ASSERT_TRUE(seen().until([&] { return claimed(x, 0x20) && claimed(y, 0x30); }));

    // Transfers and a frame with tags; an RTS nobody answers fails.
    ASSERT_EQ(write(x, kPgnPdu1, 0x20, 0x30, pattern(1785, 1), 11), 0);
    ASSERT_EQ(write(y, 0xFEF6, 0x30, 255, pattern(1785, 2), 12), 0);
    ASSERT_EQ(write(x, 0xFEF7, 0x20, 255, pattern(8, 3), 13), 0);
    ASSERT_EQ(write(x, kPgnPdu1, 0x20, 0x99, pattern(20, 4), 14), 0);
    EXPECT_TRUE(seen().until([&] {
        return received(y, kPgnPdu1, 1785) && received(x, 0xFEF6, 1785) && received(y, 0xFEF7, 8) &&
               sent(x, 11, false) && sent(y, 12, false) && sent(x, 13, false) && sent(x, 14, true);
    }));
    {
        std::lock_guard lock(seen().mutex);
        for (const Event& e : seen().events) {
            if (e.kind == Event::Rx && e.data.size() == 1785) {
                EXPECT_EQ(e.data, pattern(1785, e.handle == y ? 1 : 2));
                EXPECT_EQ(e.header.src_addr, e.handle == y ? 0x20 : 0x30);
            }
        }
    }

    // A callback that writes on its own channel: y answers pings.
    ASSERT_EQ(write(x, kPgnPing, 0x20, 255, {7, 8, 9}), 0);
    EXPECT_TRUE(seen().until([&] { return received(x, kPgnPong, 3); }));

    // Claimed is 1, Cannot Claim 0: y takes x's address with a lower NAME.
    ASSERT_EQ(j.claim_address(y, 0x20, low(kLow), high(kLow)), 0);
    EXPECT_TRUE(seen().until([&] { return claimed(x, 0x20, false) && claimed(y, 0x20); }));

    // A read that waits 10 s holds up no write on its channel, and a close ends it (-1).
    // A close that comes before the reader has entered its read finds -2 (the channel is
    // closed): that round is played again.
    std::int32_t read_status = -2;
    for (int round = 0; round < 5 && read_status == -2; ++round) {
        const j1939_handle r = open_channel(0, false);
        std::atomic<int> reading{0};
        std::atomic<std::int32_t> status{1};
        std::thread reader([&] {
            reading = 1;
            status = read(r, 10000).result.status;
            reading = 2;
        });
        ASSERT_TRUE(eventually([&] { return reading == 1; }));
        EXPECT_EQ(write(r, 0xFEF8, 0x21, 255, {1}), 0);
        EXPECT_EQ(reading, 1) << "the write returned while the read waits";
        EXPECT_EQ(j.close_channel(r), 0);
        reader.join();
        read_status = status;
        EXPECT_EQ(j.destroy_channel(r), 0);
    }
    EXPECT_EQ(read_status, -1);

    // Callbacks that close or destroy their own channel.
    const j1939_handle c = open_channel(1, true, kCloseOnAsk);
    const j1939_handle d = open_channel(1, true, kDestroyOnAsk);
    ASSERT_EQ(write(x, kPgnCloseYou, 0x20, 255, {}), 0);
    EXPECT_TRUE(seen().until([&] {
        return seen().count(Event::Address, c, kSelfClosed, true) == 1 &&
               seen().count(Event::Address, d, kSelfClosed, true) == 1;
    }));
    EXPECT_EQ(j.destroy_channel(d), -2);
    EXPECT_EQ(j.destroy_channel(c), 0);

    EXPECT_EQ(j.destroy_channel(x), 0);
    EXPECT_EQ(j.destroy_channel(y), 0);
    if (baseline) {
        EXPECT_TRUE(eventually([&] { return thread_count() == baseline; }))
            << "threads left: " << *thread_count() << ", before: " << *baseline;
    }
}

// Frames a watcher channel (TP passthrough on) saw from an address until a frame of the
// PGN: (PGN and first data byte) -> count; Address Claimed frames by NAME.
struct Watched {
    std::map<std::pair<std::uint32_t, std::uint8_t>, int> frames;
    std::vector<std::uint64_t> claims;
};
Watched watch(j1939_handle watcher, std::uint8_t from, std::uint32_t until_pgn) {
    Watched w;
    for (;;) {
        const Read r = read(watcher);
        if (r.result.status != 0) {
            ADD_FAILURE() << "watcher read " << r.result.status;
            return w;
        }
        if (r.result.header.src_addr == from) {
            if (r.result.header.pgn == kPgnClaimed) {
                w.claims.push_back(name_of(r.data));
            } else {
                ++w.frames[{r.result.header.pgn, r.data.empty() ? 0 : r.data[0]}];
            }
        }
        if (r.result.header.pgn == until_pgn) {
            return w;
        }
    }
}

TEST(J1939Exports, TheProtectorAnswersTransfersWhileAnotherClientReceivesSilently) {
    if (in_own_process()) {
        return;
    }
    World world;
    Api& j = api();
    ASSERT_EQ(j.configure_shared_address_table(), 0);
    ASSERT_EQ(j.start_log(), 0);
    const j1939_handle p1 = open_channel(0, true);
    const j1939_handle p2 = open_channel(0, true);
    EXPECT_GT(p2, p1);
    const j1939_handle s = open_channel(1, true);
    const J1939CreateResult w = j.create_channel(1, 0, 250000);
    ASSERT_EQ(j.set_channel_option(w.handle, 1, 1), 0);  // the watcher sees TP.CM frames
    ASSERT_EQ(j.open_channel(w.handle), 0);
    for (j1939_handle p : {p1, p2}) {
        ASSERT_EQ(j.set_channel_option(p, 4, 16), 0);  // 255 packets: 16 CTS
    }
    ASSERT_EQ(j.claim_address(p1, 0x50, low(kLow), high(kLow)), 0);
    ASSERT_EQ(j.claim_address(p2, 0x50, low(kHigh), high(kHigh)), 0);
    ASSERT_EQ(j.claim_address(s, 0x60, low(kHigh), high(kHigh)), 0);
    EXPECT_EQ(j.claim_address(p2, 0x50, low(kHigh), high(kHigh)), -1);
    EXPECT_TRUE(log_has("j1939_claim_address: Address already claimed (tarnERR_PARAM)"));
    ASSERT_TRUE(seen().until([&] {
        return claimed(p1, 0x50, true) && claimed(p2, 0x50, true) && claimed(s, 0x60, true);
    }));

    const auto transfers = [](j1939_handle h) {
        return seen().count(Event::Rx, h, kPgnPdu1, false, 1785);
    };
    // p1's claim went on the bus, p2's did not.
    const Watched claims = watch(w.handle, 0x50, kPgnClaimed);
    EXPECT_EQ(claims.claims, (std::vector<std::uint64_t>{kLow}));

    // Both receive; only the protector p1 talks: 16 CTS and one EOMACK from 0x50. Removing
    // p1's claim hands 0x50 over to p2, whose Address Claimed p1's channel sends.
    ASSERT_EQ(write(s, kPgnPdu1, 0x60, 0x50, pattern(1785, 5), 21), 0);
    EXPECT_TRUE(seen().until([&] {
        return received(p1, kPgnPdu1, 1785) && received(p2, kPgnPdu1, 1785) && sent(s, 21, false);
    }));
    ASSERT_EQ(j.remove_address_claim(p1, 0x50), 0);
    Watched first = watch(w.handle, 0x50, kPgnClaimed);
    EXPECT_EQ(first.claims, (std::vector<std::uint64_t>{kHigh}));
    EXPECT_EQ((first.frames[{kPgnTpCm, 0x11}]), 16);
    EXPECT_EQ((first.frames[{kPgnTpCm, 0x13}]), 1);

    // Now p2 speaks for 0x50 and p1 holds nothing.
    ASSERT_EQ(write(s, kPgnPdu1, 0x60, 0x50, pattern(1785, 6), 22), 0);
    EXPECT_TRUE(seen().until([&] { return sent(s, 22, false); }));
    EXPECT_TRUE(eventually([&] { return transfers(p2) == 2; }));
    ASSERT_EQ(write(p1, 0xFEF9, 0x51, 255, {1}), 0);  // from channel 0, as 0x50's frames
    Watched second = watch(w.handle, 0x50, 0xFEF9);
    EXPECT_EQ(transfers(p1), 1u);
    EXPECT_EQ((second.frames[{kPgnTpCm, 0x11}]), 16);
    EXPECT_EQ((second.frames[{kPgnTpCm, 0x13}]), 1);
    EXPECT_TRUE(second.claims.empty());

    for (j1939_handle h : {p1, p2, s, w.handle}) {
        EXPECT_EQ(j.destroy_channel(h), 0);
    }
}

TEST(J1939Exports, TheSharedTableAcrossProcesses) {
    if (in_own_process()) {
        return;
    }
    World world;
    Api& j = api();
    ASSERT_EQ(j.configure_shared_address_table(), 0);
    ASSERT_EQ(j.start_log(), 0);
    const j1939_handle w = open_channel(1, false);
    const j1939_handle a = open_channel(0, true);

    // Another process claims 0x80 with the lower NAME first, then a claims it too: both
    // report Claimed, and only the lower NAME's Address Claimed is on the bus (a's marker
    // frame follows a's claim).
    const fs::path peer_dir = world.dir() / "peer";
    fs::create_directories(peer_dir);
    auto peer = platform::ChildProcess::spawn(
        platform::current_executable_path(),
        {"--peer", "claimer", peer_dir.string(), std::to_string(kLow), "128"});
    ASSERT_TRUE(peer) << peer.error().what;
    const auto peer_handle = wait_file(peer_dir / "handle");
    ASSERT_TRUE(peer_handle);
    ASSERT_TRUE(!peer_handle->empty() &&
                peer_handle->find_first_not_of("0123456789") == std::string::npos)
        << "the peer's handle: '" << *peer_handle << "'";
    EXPECT_GT(std::stoul(*peer_handle), a) << "client ids continue across processes";
    ASSERT_TRUE(wait_file(peer_dir / "claimed"));
    ASSERT_EQ(j.claim_address(a, 0x80, low(kHigh), high(kHigh)), 0);
    ASSERT_TRUE(seen().until([&] { return claimed(a, 0x80, true); }));
    ASSERT_EQ(write(a, 0xFEFA, 0x80, 255, {1}), 0);
    EXPECT_EQ(watch(w, 0x80, 0xFEFA).claims, (std::vector<std::uint64_t>{kLow}));

    // The peer removes its claim: it sends a's Address Claimed at once.
    write_file(peer_dir / "remove", "1");
    // Address Claimed frames of a: the protector's claim came before.
    const auto claim_of_a = [&] {
        for (;;) {
            Read r = read_pgn(w, kPgnClaimed);
            if (r.result.status != 0 || name_of(r.data) == kHigh) {
                return r;
            }
        }
    };
    const Read handed = claim_of_a();
    ASSERT_EQ(handed.result.status, 0);
    EXPECT_EQ(handed.result.header.src_addr, 0x80);
    if (const auto removed = wait_file(peer_dir / "removed")) {
        // For the record: removal to frame, microseconds of the shared clock.
        const auto at = static_cast<std::uint32_t>(std::stoll(*removed) / 1000);
        std::printf("hand-over: Address Claimed %d us after the removal began\n",
                    static_cast<int>(static_cast<std::uint32_t>(handed.result.timestamp) - at));
    }
    write_file(peer_dir / "exit", "1");
    EXPECT_EQ(peer->wait_for(std::chrono::minutes(1)), std::optional<int>(0));

    const j1939_handle b = open_channel(0, true);
    EXPECT_GT(b, std::stoul(*peer_handle));

    // The table holds 16 claims of all processes (a's 0x80 is one of them): claims fail
    // once it is full, and the entry a removal frees is the next claim's.
    auto table = qzj1939lib::SharedDataManager::open(qzj1939lib::kSharedTableName,
                                                     qzj1939lib::kSharedTableMutexName);
    ASSERT_TRUE(table) << table.error();
    auto entry_of = [&](std::uint8_t address) -> std::optional<std::size_t> {
        std::lock_guard lock(**table);
        for (std::size_t i = 0; i < qzj1939lib::kSharedTableEntries; ++i) {
            const auto e = (*table)->read(i);
            if (e.in_use() && e.client_id == b && e.address == address) {
                return i;
            }
        }
        return std::nullopt;
    };
    std::uint8_t next = 0x10;
    while (next < 0x10 + qzj1939lib::kSharedTableEntries && j.claim_address(b, next, 1, 0) == 0) {
        ++next;
    }
    EXPECT_LT(next, 0x10 + qzj1939lib::kSharedTableEntries) << "the 17th claim fails";
    EXPECT_TRUE(log_has("j1939_claim_address: Address list is full (tarnERR_NOHANDLES)"));
    std::printf("%d claims filled the table\n", next - 0x10);
    ASSERT_GT(next, 0x10);
    const auto freed = entry_of(next - 1);
    ASSERT_TRUE(freed);
    EXPECT_EQ(j.remove_address_claim(b, next - 1), 0);
    EXPECT_EQ(j.claim_address(b, 0x7F, 1, 0), 0);
    EXPECT_EQ(entry_of(0x7F), freed) << "the freed entry is reused";
    for (std::uint8_t address = 0x10; address < next - 1; ++address) {
        EXPECT_EQ(j.remove_address_claim(b, address), 0);
    }

    // A process killed while it holds the table's mutex stops nobody.
    const fs::path holder_dir = world.dir() / "holder";
    fs::create_directories(holder_dir);
    auto holder = platform::ChildProcess::spawn(platform::current_executable_path(),
                                                {"--peer", "hold-lock", holder_dir.string()});
    ASSERT_TRUE(holder) << holder.error().what;
    ASSERT_TRUE(wait_file(holder_dir / "locked"));
    holder->kill_hard();
    holder->wait();
    EXPECT_EQ(j.claim_address(a, 0x81, low(kHigh), high(kHigh)), 0);
    EXPECT_TRUE(seen().until([&] { return claimed(a, 0x81, true); }));

    for (j1939_handle h : {w, a, b}) {
        EXPECT_EQ(j.destroy_channel(h), 0);
    }
}

// Processes that die holding claims: a surviving client of the address becomes its
// protector, answers requests and defends it; the entries of killed processes no longer
// fill the table.
TEST(J1939Exports, ClaimsOfKilledProcessesAreTakenBack) {
    if (in_own_process()) {
        return;
    }
    World world;
    Api& j = api();
    ASSERT_EQ(j.configure_shared_address_table(), 0);
    ASSERT_EQ(j.start_log(), 0);
    const j1939_handle w = open_channel(1, false);
    const j1939_handle a = open_channel(0, true);
    const auto spawn_claimer = [&](const std::string& name, std::uint64_t nm,
                                   std::uint8_t address) {
        const fs::path dir = world.dir() / name;
        fs::create_directories(dir);
        auto peer = platform::ChildProcess::spawn(
            platform::current_executable_path(),
            {"--peer", "claimer", dir.string(), std::to_string(nm), std::to_string(address)});
        EXPECT_TRUE(peer) << peer.error().what;
        return std::pair{std::move(peer), dir};
    };

    // The protector of 0x80 (the lower NAME) is killed: a, which shares the address in
    // this process, sends its Address Claimed and speaks for the address from then on.
    auto [protector, protector_dir] = spawn_claimer("protector", kLow, 0x80);
    ASSERT_TRUE(protector);
    ASSERT_TRUE(wait_file(protector_dir / "claimed"));
    ASSERT_EQ(j.claim_address(a, 0x80, low(kHigh), high(kHigh)), 0);
    ASSERT_TRUE(seen().until([&] { return claimed(a, 0x80, true); }));
    const std::int64_t killed_at = platform::monotonic_ns();
    protector->kill_hard();
    protector->wait();
    // Address Claimed frames of a: the protector's claim came before.
    const auto claim_of_a = [&] {
        for (;;) {
            Read r = read_pgn(w, kPgnClaimed);
            if (r.result.status != 0 || name_of(r.data) == kHigh) {
                return r;
            }
        }
    };
    const Read handed = claim_of_a();
    ASSERT_EQ(handed.result.status, 0);
    EXPECT_EQ(handed.result.header.src_addr, 0x80);
    std::printf("protector taken over %d ms after the kill\n",
                static_cast<int>((platform::monotonic_ns() - killed_at) / 1000000));
    // A request for the address is answered by a; a higher NAME is defended against.
    ASSERT_EQ(write(w, 0xEA00, 0x20, 0x80, {0x00, 0xEE, 0x00}), 0);
    const Read answer = claim_of_a();
    ASSERT_EQ(answer.result.status, 0);
    EXPECT_EQ(answer.result.header.src_addr, 0x80);
    const std::uint64_t higher = kHigh + 1;
    Bytes claim_bytes;
    for (int i = 0; i < 8; ++i) {
        claim_bytes.push_back(static_cast<std::uint8_t>(higher >> (8 * i)));
    }
    ASSERT_EQ(write(w, kPgnClaimed, 0x80, 255, claim_bytes), 0);
    const Read defended = claim_of_a();
    ASSERT_EQ(defended.result.status, 0);
    EXPECT_TRUE(claimed(a, 0x80, true));
    // (Which process took the dead entry back is not said: every live process that uses the
    // table does it, and other tests running beside this one use it too.)

    // More processes with one claim each fill the table beside a's (15 on a table of its
    // own; fewer when other programs on the machine hold entries: those that find it full
    // end with 11); once they are killed, a new claim finds room.
    std::vector<platform::ChildProcess> peers;
    std::vector<fs::path> dirs;
    for (std::uint8_t i = 0; i < 15; ++i) {
        auto [peer, dir] = spawn_claimer("filler" + std::to_string(i), kLow + i,
                                         static_cast<std::uint8_t>(0x90 + i));
        ASSERT_TRUE(peer);
        peers.push_back(std::move(*peer));
        dirs.push_back(dir);
    }
    int fillers = 0;
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        std::optional<int> ended;
        const bool filled = eventually(
            [&] {
                if (fs::exists(dirs[i] / "claimed")) {
                    return true;
                }
                ended = peers[i].wait_for(std::chrono::milliseconds(0));
                return ended.has_value();
            },
            60s);
        ASSERT_TRUE(filled) << dirs[i];
        if (!ended) {
            ++fillers;
        } else {
            EXPECT_EQ(*ended, 11) << "only a full table refuses a filler";
        }
    }
    std::printf("%d killed processes held claims\n", fillers);
    EXPECT_GT(fillers, 0);
    for (platform::ChildProcess& peer : peers) {
        peer.kill_hard();
        peer.wait();
    }
    EXPECT_EQ(j.claim_address(a, 0xA0, low(kHigh), high(kHigh)), 0);
    EXPECT_TRUE(seen().until([&] { return claimed(a, 0xA0, true); }));
    for (j1939_handle h : {w, a}) {
        EXPECT_EQ(j.destroy_channel(h), 0);
    }
}

TEST(J1939Exports, SixteenThreadsOnFourChannels) {
    if (in_own_process()) {
        return;
    }
    World world;
    Api& j = api();
    constexpr std::uint32_t kRate = 500000;
    constexpr std::uint32_t kStream = 0xFF10;
    // Steady: s0 and s1, a stream each way (frames one way, RTS/CTS transfers the other),
    // each read back in order by a reader thread. Churned: c[0] on channel 0 and c[1] on
    // channel 1, re-created, opened, closed and called every way by the other threads.
    const j1939_handle s0 = open_channel(0, false, kRecord, kRate);
    const j1939_handle s1 = open_channel(1, false, kRecord, kRate);
    ASSERT_EQ(j.claim_address(s0, 0x10, 0x10, 0), 0);
    ASSERT_EQ(j.claim_address(s1, 0x11, 0x11, 0), 0);
    ASSERT_TRUE(eventually([&] { return write(s1, kPgnPdu1, 0x11, 0x10, pattern(20, 0)) == 0; }));
    ASSERT_EQ(read_pgn(s0, kPgnPdu1).result.status, 0);

    std::array<std::atomic<j1939_handle>, 2> churned{};
    std::mutex created_mutex;  // guards created
    std::set<j1939_handle> created;
    std::atomic<bool> stop{false};

    struct Stream {
        j1939_handle from, to;
        std::uint8_t src, dest;
        std::uint32_t pgn;
        std::size_t size;
        std::atomic<std::uint32_t> sent{0}, received{0};
        std::atomic<bool> in_order{true};
    };
    Stream streams[2] = {{s0, s1, 0x10, 255, kStream, 8}, {s1, s0, 0x11, 0x10, kPgnPdu1, 64}};
    auto stream_writer = [&](Stream& st) {
        while (!stop) {
            // At most 8 in flight: the receiver's queues never overflow.
            if (!eventually([&] { return st.sent - st.received < 8; })) {
                return;
            }
            Bytes data = pattern(st.size, 0);
            const std::uint32_t n = st.sent;
            std::memcpy(data.data(), &n, sizeof n);
            const std::int32_t code = write(st.from, st.pgn, st.src, st.dest, data);
            if (code == 0) {
                ++st.sent;
            } else if (code != -6) {
                ADD_FAILURE() << "steady write " << code;
                return;
            }
        }
    };
    std::atomic<bool> writers_done{false};
    auto stream_reader = [&](Stream& st) {
        while (!writers_done || st.received != st.sent) {
            const Read r = read(st.to, 200, 2048);
            // Passed over: time-outs, other traffic, and the failed receptions of transfers
            // that churned channels abandon when they close (-9).
            if (r.result.status == -5 || r.result.status == -9 ||
                (r.result.status == 0 && r.result.header.pgn != st.pgn)) {
                continue;
            }
            if (r.result.status != 0) {
                ADD_FAILURE() << "steady read " << r.result.status;
                return;
            }
            std::uint32_t n = 0;
            std::memcpy(&n, r.data.data(), sizeof n);
            st.in_order = st.in_order && n == st.received;
            ++st.received;
        }
    };

    auto churn = [&](int thread) {
        std::minstd_rand random(thread + 1);
        auto pick = [&](int n) { return static_cast<int>(random() % n); };
        const std::uint32_t contexts[] = {kRecord, kAnswerPing, kAnswerPing | kCloseOnAsk};
        while (!stop) {
            const int k = pick(2);
            const j1939_handle c = churned[k];
            const j1939_handle any = std::array<j1939_handle, 4>{c, s0, s1, 12345}[pick(4)];
            const std::uint8_t address = static_cast<std::uint8_t>(0x40 + pick(8));
            switch (thread < 2 ? pick(14) : 1 + pick(13)) {
                case 0: {  // owners re-create their channel
                    const J1939CreateResult r =
                        j.create_channel(static_cast<std::uint32_t>(thread), 0, kRate);
                    if (r.status == 0) {
                        std::lock_guard lock(created_mutex);
                        created.insert(r.handle);
                    }
                    (void)j.destroy_channel(churned[thread].exchange(r.handle));
                    break;
                }
                case 1:
                    (void)j.open_channel(c);
                    break;
                case 2:
                    (void)j.close_channel(c);
                    break;
                case 3:
                    (void)j.register_callbacks(c, contexts[pick(3)], on_rx, on_tx, on_address);
                    break;
                case 4:
                    (void)j.claim_address(c, address, random(), 0);
                    break;
                case 5:
                    (void)j.remove_address_claim(c, address);
                    break;
                case 6:
                    (void)write(c, kPgnPing, address, 255, pattern(1 + pick(30), 9), pick(2));
                    break;
                case 7:
                    (void)write(c, kPgnCloseYou, address, 255, {});
                    break;
                case 8:
                    (void)read(c, pick(3));
                    break;
                case 9:
                    (void)j.set_channel_option(c, 2 + pick(7), pick(300));
                    break;
                case 10:
                    (void)j.get_channel_option(any, pick(9));
                    break;
                case 11:
                    EXPECT_EQ(j.configure_shared_address_table(), -1);
                    break;
                case 12:
                    (void)j.start_log();
                    break;
                case 13: {  // the steady channels claim other addresses meanwhile
                    const j1939_handle steady = pick(2) ? s0 : s1;
                    (void)j.claim_address(steady, static_cast<std::uint8_t>(0x60 + pick(4)), 1, 0);
                    (void)j.remove_address_claim(steady, static_cast<std::uint8_t>(0x60 + pick(4)));
                    break;
                }
            }
        }
    };

    std::vector<std::thread> threads, readers;
    for (Stream& st : streams) {
        threads.emplace_back(stream_writer, std::ref(st));
        readers.emplace_back(stream_reader, std::ref(st));
    }
    for (int t = 0; t < 12; ++t) {
        threads.emplace_back(churn, t);
    }
    const auto end = std::chrono::steady_clock::now() + 4s;
    EXPECT_TRUE(eventually([&] { return std::chrono::steady_clock::now() > end; }, 30s));
    stop = true;
    for (std::thread& t : threads) {
        t.join();
    }
    writers_done = true;
    for (std::thread& t : readers) {
        t.join();
    }
    for (const Stream& st : streams) {
        EXPECT_GT(st.sent, 0u);
        EXPECT_EQ(st.received, st.sent);
        EXPECT_TRUE(st.in_order);
    }
    std::printf("steady streams: %u frames, %u transfers\n", streams[0].received.load(),
                streams[1].received.load());
    std::set<j1939_handle> all = created;
    all.insert({s0, s1});
    for (j1939_handle h : all) {
        (void)j.destroy_channel(h);
    }
}

// Helper processes.

// Claims the address with the NAME on channel 0 of the shared table; reports its handle
// and the claim, then removes the claim when asked and ends when asked.
int peer_claimer(const fs::path& dir, std::uint64_t name, std::uint8_t address) {
    Api& j = api();
    if (j.configure_shared_address_table() != 0) {
        return 10;
    }
    const j1939_handle h = open_channel(0, true);
    write_file(dir / "handle", std::to_string(h));
    if (j.claim_address(h, address, low(name), high(name)) != 0 ||
        !seen().until([&] { return claimed(h, address, true); })) {
        return 11;
    }
    write_file(dir / "claimed", "1");
    if (!wait_file(dir / "remove")) {
        return 12;
    }
    const std::int64_t began = platform::monotonic_ns();
    if (j.remove_address_claim(h, address) != 0) {
        return 13;
    }
    write_file(dir / "removed", std::to_string(began));
    if (!wait_file(dir / "exit")) {
        return 14;
    }
    return j.destroy_channel(h) == 0 ? 0 : 15;
}

// Takes the table's mutex and keeps it until killed.
int peer_hold_lock(const fs::path& dir) {
    auto mutex = qzj1939lib::AccessMutex::create(qzj1939lib::kSharedTableMutexName);
    if (!mutex) {
        return 10;
    }
    mutex->lock();
    write_file(dir / "locked", "1");
    std::promise<void>().get_future().wait();
    return 11;
}

}  // namespace
}  // namespace j1939_test

int main(int argc, char** argv) {
    using namespace j1939_test;
    if (argc >= 4 && std::string(argv[1]) == "--peer") {
        const std::string mode = argv[2];
        if (mode == "claimer" && argc >= 6) {
            return peer_claimer(argv[3], std::stoull(argv[4]),
                                static_cast<std::uint8_t>(std::stoul(argv[5])));
        }
        if (mode == "hold-lock") {
            return peer_hold_lock(argv[3]);
        }
        return 100;
    }
    std::vector<char*> args(argv, argv + argc);
    std::string filter;
    if (argc >= 3 && std::string(argv[1]) == "--scenario") {
        g_scenario_child = true;
        filter = std::string("--gtest_filter=") + argv[2];
        args = {argv[0], filter.data()};
    }
    // Like argv, the list ends with a null pointer: the flag parser moves it too.
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    ::testing::InitGoogleTest(&count, args.data());
    return RUN_ALL_TESTS();
}
