// The J1939 bus monitor on hand-made frame sequences (J1939-21: TP.CM announcements, CTS,
// packets, End of Message Acknowledgment, Connection Abort), the replay of dump lines, and
// the exact frame lengths against the simulator's own computation.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "frame_bits.hpp"
#include "tarnlib/driver_api.h"
#include "tools/can_text.hpp"
#include "tools/j1939_monitor.hpp"
#include "tools/replay_log.hpp"

namespace {

using tools::CanFrame;
using tools::J1939Monitor;
using tools::MonitorEvent;
using Bytes = std::vector<std::uint8_t>;

CanFrame frame(const char* text) {
    return *tools::parse_frame(text);
}

// Feeds the frames one millisecond apart; the lines of every event.
std::vector<std::string> feed(J1939Monitor& monitor, const std::vector<std::string>& frames,
                              std::uint64_t& now) {
    std::vector<std::string> lines;
    for (const std::string& text : frames) {
        ++now;
        for (const MonitorEvent& e :
             monitor.frame(frame(text.c_str()), static_cast<std::uint32_t>(now), now)) {
            lines.push_back(tools::monitor_line(e));
        }
    }
    return lines;
}

TEST(J1939Monitor, ReassemblesTransfersBetweenAnyNodesAndReportsTheirEnds) {
    const struct {
        const char* name;
        std::vector<std::string> frames;
        std::uint64_t silence_ms;  // then expire() after this much silence
        std::vector<std::string> lines;
    } cases[] = {
        {"single frames pass, PDU1 with its destination",
         {"18FEF100#F7007D", "0CEF2580#0102", "123#00"},
         0,
         {"(      0.001)  6  0FEF1  00 -> FF  [3]  F7 00 7D",
          "(      0.002)  3  0EF00  80 -> 25  [2]  01 02"}},
        {"a BAM of 10 bytes, completed by its last packet",
         {"1CECFF00#200A0002FFCAFE00", "1CEBFF00#0104FF6E00000164", "1CEBFF00#02000103FFFFFFFF"},
         0,
         {"(      0.003)  7  0FECA  00 -> FF  [10]  04 FF 6E 00 00 01 64 00 01 03"}},
        {"RTS/CTS from 80 to 25, complete with the acknowledgment, packets resent",
         {"1CEC2580#10090002FF00EF00", "1CEC8025#110201FFFF00EF00", "1CEB2580#0101020304050607",
          "1CEB2580#0101020304050607", "1CEB2580#020809FFFFFFFFFF", "1CEC8025#13090002FF00EF00"},
         0,
         {"(      0.006)  7  0EF00  80 -> 25  [9]  01 02 03 04 05 06 07 08 09"}},
        {"aborted by the receiver",
         {"1CEC2580#10090002FF00EF00", "1CEC8025#110201FFFF00EF00", "1CEB2580#0101020304050607",
          "1CEC8025#FF03FFFFFF00EF00"},
         0,
         {"(      0.004)  7  0EF00  80 -> 25  [9]  RTS/CTS aborted by 25 (reason 3: timeout), 1 "
          "of 2 packets"}},
        {"the sender gives up without a CTS",
         {"1CEC2580#10090002FF00EF00", "1CEC2580#FF03FFFFFF00EF00"},
         0,
         {"(      0.002)  7  0EF00  80 -> 25  [9]  RTS/CTS aborted by 80 (reason 3: timeout), no "
          "CTS from 25, 0 of 2 packets"}},
        {"an RTS nobody answers",
         {"1CEC2580#10090002FF00EF00"},
         1300,
         {"(      1.301)  7  0EF00  80 -> 25  [9]  RTS/CTS timed out (no CTS from 25), 0 of 2 "
          "packets"}},
        {"a BAM that stops",
         {"1CECFF00#200A0002FFCAFE00", "1CEBFF00#0104FF6E00000164"},
         800,
         {"(      0.802)  7  0FECA  00 -> FF  [10]  BAM timed out (no packet for 750 ms), 1 of 2 "
          "packets"}},
        {"an announcement that cannot be a transfer starts nothing",
         {"1CEC2580#200A0002FFCAFE00", "1CECFF00#20090003FFCAFE00"},
         2000,
         {}},
    };
    for (const auto& c : cases) {
        J1939Monitor monitor;
        std::uint64_t now = 0;
        std::vector<std::string> lines = feed(monitor, c.frames, now);
        if (c.silence_ms != 0) {
            for (const MonitorEvent& e : monitor.expire(now + c.silence_ms)) {
                lines.push_back(tools::monitor_line(e));
            }
        }
        EXPECT_EQ(lines, c.lines) << c.name;
        EXPECT_EQ(monitor.open_transfers(), 0u) << c.name;
    }
}

TEST(J1939Monitor, ShowsTpFramesWhenAskedAndKeepsTransfersApart) {
    J1939Monitor monitor(true);
    std::uint64_t now = 0;
    // Two BAMs from two nodes, interleaved.
    const auto lines = feed(
        monitor,
        {"1CECFF00#20090002FF00FF00", "1CECFF03#20090002FF00FF00", "1CEBFF03#0111111111111111",
         "1CEBFF00#0101010101010101", "1CEBFF00#020202FFFFFFFFFF", "1CEBFF03#022222FFFFFFFFFF"},
        now);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "(      0.001)  7  0EC00  00 -> FF  [8]  20 09 00 02 FF 00 FF 00");
    EXPECT_EQ(lines[5], "(      0.005)  7  0FF00  00 -> FF  [9]  01 01 01 01 01 01 01 02 02");
    EXPECT_EQ(lines[7], "(      0.006)  7  0FF00  03 -> FF  [9]  11 11 11 11 11 11 11 22 22");
}

TEST(J1939Monitor, FollowsABoundedNumberOfTransfers) {
    J1939Monitor monitor;
    // An RTS from every source to every destination: far more than a bus has.
    for (std::uint32_t source = 0; source < 254; ++source) {
        for (std::uint32_t destination = 0; destination < 16; ++destination) {
            CanFrame rts = frame("1CEC0000#10090002FF00EF00");
            rts.id |= (destination << 8) | source;
            monitor.frame(rts, 0, 0);
        }
    }
    EXPECT_EQ(monitor.open_transfers(), J1939Monitor::kMaxTransfers);
    EXPECT_EQ(monitor.expire(5000).size(), J1939Monitor::kMaxTransfers);
    EXPECT_EQ(monitor.open_transfers(), 0u);
}

TEST(ReplayLog, ReadsLogFilesAndWhatDumpWrites) {
    const auto log = tools::parse_replay_line("(1436509052.249713) can0 18FEF100#F7007D00");
    ASSERT_TRUE(log.has_value());
    ASSERT_EQ(log->records.size(), 1u);
    EXPECT_EQ(log->records[0].time_us, 1436509052249713u);

    const auto can = tools::parse_replay_line("(    597.277)  TX       123   [2]  01 02");
    ASSERT_TRUE(can.has_value()) << can.error();
    ASSERT_EQ(can->records.size(), 1u);
    EXPECT_EQ(can->records[0].time_us, 597277000u);
    EXPECT_EQ(tools::frame_text(can->records[0].frame), "123#0102");

    const auto single = tools::parse_replay_line("(      1.000)  3  0EF00  80 -> 25  [2]  01 02");
    ASSERT_TRUE(single.has_value()) << single.error();
    EXPECT_EQ(tools::frame_text(single->records.at(0).frame), "0CEF2580#0102");

    // A BAM: what the monitor reassembles from the replayed frames is the line again.
    const std::string dm1 =
        "(      2.000)  7  0FECA  00 -> FF  [10]  04 FF 6E 00 00 01 64 00 01 03";
    const auto bam = tools::parse_replay_line(dm1);
    ASSERT_TRUE(bam.has_value()) << bam.error();
    ASSERT_EQ(bam->records.size(), 3u);
    EXPECT_EQ(bam->records.back().time_us, 2000000u);
    J1939Monitor monitor;
    std::vector<std::string> lines;
    for (const tools::LogRecord& r : bam->records) {
        for (const MonitorEvent& e : monitor.frame(
                 r.frame, static_cast<std::uint32_t>(r.time_us / 1000), r.time_us / 1000)) {
            lines.push_back(tools::monitor_line(e));
        }
    }
    EXPECT_EQ(lines, std::vector<std::string>{dm1});

    const auto rts = tools::parse_replay_line(
        "(      1.000)  7  0EF00  80 -> 25  [9]  01 02 03 04 05 06 07 08 09");
    ASSERT_TRUE(rts.has_value());
    EXPECT_TRUE(rts->records.empty());
    EXPECT_NE(rts->skipped.find("RTS/CTS"), std::string::npos);

    for (const char* bad : {"(    1.2345)  123   [1]  01", "(      1.000)  123   [2]  01",
                            "(      1.000)  9  0FECA  00 -> FF  [0]"}) {
        EXPECT_FALSE(tools::parse_replay_line(bad).has_value()) << bad;
    }
}

TEST(FrameBits, ExactLengthsMatchTheSimulatorsAndNeverExceedTheWorstCase) {
    std::mt19937 random(12345);
    for (int k = 0; k < 20000; ++k) {
        CanFrame f;
        f.extended = (k & 1) != 0;
        f.id = random() & (f.extended ? tools::kMaxExtendedId : tools::kMaxStandardId);
        f.length = static_cast<std::uint8_t>(random() % 9);
        // Runs of equal bits make stuffing likely.
        for (std::uint8_t& b : f.data) {
            const auto r = random() % 4;
            b = r == 0 ? 0x00 : r == 1 ? 0xFF : static_cast<std::uint8_t>(random());
        }
        tarnsim::Frame sim{};
        sim.id = static_cast<std::int32_t>(f.id);
        sim.flags = f.extended ? TARN_MSG_EXT : TARN_MSG_STD;
        sim.dlc = f.length;
        sim.length = f.length;
        std::copy(f.data.begin(), f.data.end(), sim.data);
        const std::uint32_t exact = tools::stuffed_frame_bits(f);
        ASSERT_EQ(exact, tarnsim::frame_bits(sim).nominal) << tools::frame_text(f);
        ASSERT_LE(exact, tools::frame_bits(f.extended, f.length)) << tools::frame_text(f);
    }
}

}  // namespace
