// One end-to-end run of each rp1210 subcommand that connects a client: the tool loads the
// built library like an application, the library reaches a private simulator instance,
// and tarnsim-node plays the other nodes of the bus. Channels 0 and 1 of the simulated
// interface are on one bus; device 1 of the example INI file is channel 0, device 2
// channel 1.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/environment.hpp"
#include "platform/process.hpp"
#include "sim_fixture.hpp"
#include "tool_runner.hpp"
#include "tools/can_text.hpp"

namespace {

using tools_test::Finished;
using tools_test::program;
using tools_test::Running;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Rp1210EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(platform::set_environment_variable("TARNSIM_CONFIG", sim.path()));
        dir.copy_from_build("tools_test_ostrel_qz121032.ini", "ostrel_qz121032.ini");
        dir.copy_from_build("tools_test_j1939_engine.log", "engine.log");
    }
    void TearDown() override {
        // A node that is still sending is not needed any more.
        if (node) {
            node->kill_hard();
            node->wait();
        }
    }

    Finished rp1210(const std::string& label, const std::vector<std::string>& args) {
        return tools_test::run(dir.path(), label, program("rp1210"), args);
    }

    // A node that runs until the test ends (at most a minute); its output is not needed.
    void start_node(std::vector<std::string> args) {
        args.insert(args.end(), {"--seconds", "60", "--config", sim.path()});
        auto started = platform::ChildProcess::spawn(program("tarnsim-node"), args);
        ASSERT_TRUE(started.has_value());
        node.emplace(std::move(started.value()));
    }

    tarnsim_test::ConfigFile sim{tarnsim_test::kTwoChannels};
    tools_test::WorkDir dir;
    std::optional<platform::ChildProcess> node;
};

TEST_F(Rp1210EndToEnd, InfoPrintsVersionsHardwareStatusAndSpeed) {
    Finished info = rp1210("info", {"info", "-d", "1", "-p", "CAN:Baud=500"});
    ASSERT_EQ(info.status, 0) << info.err;
    for (const char* expected : {
             "RP1210_ReadVersion: DLL 6.0, API 4.0\n",
             // The simulated interface's firmware revision 3.25.900.
             "RP1210_ReadDetailedVersion: API 4.0, DLL 6.0.0.17, firmware 3.25.900\n",
             "  interface: USB\n",
             "  clients on the channel: 1 (CAN 1, J1939 0)\n",
             "  CAN: ",
             "Get_Protocol_Connection_Speed: 500000 bit/s\n",
         }) {
        EXPECT_TRUE(contains(info.out, expected)) << expected << " in:\n" << info.out;
    }
}

TEST_F(Rp1210EndToEnd, DumpDetectsTheBitRateAndShowsANodesTraffic) {
    start_node({"send", "0CF00400#F38C91ii2D00F091", "--rate", "200", "--bitrate", "500000"});
    Finished dump = rp1210("dump", {"dump", "-d", "1", "-p", "CAN:Baud=Auto", "--count", "10",
                                    "--wait", "20", "--seconds", "30"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_TRUE(contains(dump.err, "CAN:Baud=Auto: 500000 bit/s\n")) << dump.err;
    EXPECT_TRUE(contains(dump.err, "rp1210: 10 messages in ")) << dump.err;
    const std::vector<std::string> printed = lines(dump.out);
    ASSERT_EQ(printed.size(), 10u) << dump.out;
    // Consecutive frames of the node: its counter byte goes up by one each time.
    int previous = -1;
    for (const std::string& line : printed) {
        const std::size_t at = line.find("  0CF00400   [8]  F3 8C 91 ");
        ASSERT_NE(at, std::string::npos) << line;
        const int counter = std::stoi(line.substr(at + 27, 2), nullptr, 16);
        if (previous >= 0) {
            EXPECT_EQ(counter, (previous + 1) % 256) << line;
        }
        previous = counter;
    }
}

TEST_F(Rp1210EndToEnd, DumpFiltersAReplayedLog) {
    start_node({"replay", (dir.path() / "engine.log").string(), "--loop", "--bitrate", "500000"});
    Finished dump =
        rp1210("dump", {"dump", "-d", "1", "-p", "CAN:Baud=500", "--filter",
                        "18FEF100:1FFFFFFF,18FEF200:1FFFFFFF", "--count", "4", "--seconds", "30"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    const std::vector<std::string> printed = lines(dump.out);
    ASSERT_EQ(printed.size(), 4u) << dump.out;
    for (const std::string& line : printed) {
        EXPECT_TRUE(contains(line, "  18FEF100   [8]  F7 ") || contains(line, "  18FEF200   [8]  "))
            << line;
    }

    // Dropping the engine's most frequent frame instead.
    Finished without =
        rp1210("dump-exclusive", {"dump", "-d", "1", "-p", "CAN:Baud=500", "--filter",
                                  "0CF00400~1FFFFFFF", "--count", "5", "--seconds", "30"});
    ASSERT_EQ(without.status, 0) << without.err;
    ASSERT_EQ(lines(without.out).size(), 5u) << without.out;
    EXPECT_FALSE(contains(without.out, "0CF00400")) << without.out;
}

TEST_F(Rp1210EndToEnd, SendIsReceivedAndConfirmed) {
    Running listener = Running::start(dir.path(), "listen", program("tarnsim-node"),
                                      {"listen", "--channel", "1", "--bitrate", "500000", "--count",
                                       "10", "--seconds", "60", "--config", sim.path()});
    ASSERT_TRUE(listener.wait_for_err("listening on channel 1")) << listener.err();
    Finished send =
        rp1210("send", {"send", "-d", "1", "-p", "CAN:Baud=500", "123#11223344", "--count", "5"});
    EXPECT_EQ(send.status, 0) << send.err;
    EXPECT_EQ(send.out, "sent 5 x 123#11223344, 5 confirmed\n");

    // Periodically, from the broadcast list: the list is cleared after the fifth echo, so a
    // sixth frame may have been queued by then (it is counted too).
    Finished every = rp1210("send-every", {"send", "-d", "1", "-p", "CAN:Baud=500", "123#11223344",
                                           "--every", "100", "--count", "5"});
    EXPECT_EQ(every.status, 0) << every.err;
    EXPECT_TRUE(every.out == "broadcast 123#11223344 every 100 ms: 5 confirmed\n" ||
                every.out == "broadcast 123#11223344 every 100 ms: 6 confirmed\n")
        << every.out;
    EXPECT_TRUE(contains(every.err, "through its broadcast list")) << every.err;

    EXPECT_EQ(listener.wait(), 0) << listener.err();
    const std::vector<std::string> received = lines(listener.out());
    ASSERT_EQ(received.size(), 10u) << listener.out();
    for (const std::string& line : received) {
        EXPECT_TRUE(contains(line, ") ch1 123#11223344")) << line;
    }
}

TEST_F(Rp1210EndToEnd, SendWithoutAnotherNodeIsNotConfirmed) {
    // Nobody acknowledges on an otherwise empty bus: the tool must not report success.
    Finished send = rp1210("send", {"send", "-d", "1", "-p", "CAN:Baud=500", "123#01"});
    EXPECT_EQ(send.status, 1) << send.out;
    EXPECT_TRUE(contains(send.err, "1 of 1 frames were not confirmed")) << send.err;

    Finished every = rp1210("send-every", {"send", "-d", "1", "-p", "CAN:Baud=500", "123#01",
                                           "--every", "100", "--count", "3"});
    EXPECT_EQ(every.status, 1) << every.out;
    EXPECT_EQ(every.out, "broadcast 123#01 every 100 ms: 0 confirmed\n");
    EXPECT_TRUE(contains(every.err, "no frame was confirmed for 5 s")) << every.err;
}

TEST_F(Rp1210EndToEnd, SelftestBetweenTwoChannelsOfOneBus) {
    Finished selftest = rp1210("selftest", {"selftest", "-d", "1", "-e", "2", "-p", "CAN:Baud=500",
                                            "--frames", "300", "--pings", "20"});
    ASSERT_EQ(selftest.status, 0) << selftest.out << selftest.err;
    for (const char* expected : {
             "A -> B: 300 sent, 300 received, 0 lost, 0 reordered, 0 duplicated, 0 drops\n",
             "B -> A: 300 sent, 300 received, 0 lost, 0 reordered, 0 duplicated, 0 drops\n",
             // The frames' actual lengths on the wire, stuff bits included.
             "of the bus limit (4196 frames/s of 119.2 bits at 500000 bit/s)\n",
             "round trip: 20 of 20 requests answered, median ",
             "selftest passed\n",
         }) {
        EXPECT_TRUE(contains(selftest.out, expected)) << expected << " in:\n" << selftest.out;
    }
    // A throughput above the bus limit cannot be.
    for (const std::string& line : lines(selftest.out)) {
        if (const std::size_t at = line.find(" of the bus limit"); at != std::string::npos) {
            EXPECT_LE(std::stod(line.substr(at - 4, 4)), 1.0) << line;
        }
    }
}

// The J1939 monitor as a third program: an RTS/CTS transfer between two others, a BAM from
// another program on its own device, and a transfer the receiver aborts, each on one line;
// the sender of the aborted transfer, and of one to an address nobody holds, says why.
TEST_F(Rp1210EndToEnd, J1939MonitorShowsTransfersOfOtherProgramsAndSendSaysWhyOneFailed) {
    // 6D refuses every transfer from 6C at once.
    start_node({"answer", "1CEC6D6C=1CEC6C6D#FF03FFFFFF00EF00", "--bitrate", "500000"});
    Running monitor = Running::start(dir.path(), "monitor", program("rp1210"),
                                     {"dump", "-d", "1", "-p", "J1939:Baud=500", "--pgn",
                                      "EF00,FECA", "--count", "3", "--seconds", "60"});
    ASSERT_TRUE(monitor.wait_for_err("J1939 bus monitor through CAN client")) << monitor.err();
    Running holder = Running::start(dir.path(), "holder", program("rp1210"),
                                    {"dump", "-d", "2", "-p", "J1939:Baud=500", "--claim", "6B",
                                     "--pgn", "EF00", "--count", "1", "--seconds", "60"});
    ASSERT_TRUE(holder.wait_for_err("with address 6B")) << holder.err();

    Finished rts = rp1210("rts", {"send", "-d", "1", "-p", "J1939:Baud=500", "--claim", "6A",
                                  "--dest", "6B", "EF00#0102030405060708090A"});
    EXPECT_EQ(rts.status, 0) << rts.err;
    std::string dm1 = "FECA#";
    std::string dm1_text;
    for (int i = 0; i < 20; ++i) {
        dm1 += fmt::format("{:02X}", 0xA0 + i);
        dm1_text += fmt::format(" {:02X}", 0xA0 + i);
    }
    Finished bam = rp1210("bam", {"send", "-d", "1", "-p", "J1939:Baud=500", "--claim", "6C", dm1});
    EXPECT_EQ(bam.status, 0) << bam.err;
    Finished aborted = rp1210("aborted", {"send", "-d", "1", "-p", "J1939:Baud=500", "--claim",
                                          "6C", "--dest", "6D", "EF00#0102030405060708090A"});
    EXPECT_EQ(aborted.status, 1) << aborted.out;
    EXPECT_TRUE(contains(aborted.err, "the transfer to 6D was aborted by 6D (reason 3: timeout)"))
        << aborted.err;

    EXPECT_EQ(monitor.wait(), 0) << monitor.err();
    EXPECT_EQ(holder.wait(), 0) << holder.err();
    const std::vector<std::string> shown = lines(monitor.out());
    ASSERT_EQ(shown.size(), 3u) << monitor.out();
    EXPECT_TRUE(contains(shown[0], "  7  0EF00  6A -> 6B  [10]  01 02 03 04 05 06 07 08 09 0A"))
        << shown[0];
    EXPECT_TRUE(contains(shown[1], "  7  0FECA  6C -> FF  [20] " + dm1_text)) << shown[1];
    EXPECT_TRUE(contains(shown[2],
                         "  7  0EF00  6C -> 6D  [10]  RTS/CTS aborted by 6D (reason 3: "
                         "timeout), 0 of 2 packets"))
        << shown[2];
    EXPECT_TRUE(contains(holder.out(), "  7  0EF00  6A -> 6B  [10]  01 02 03")) << holder.out();

    // Nobody holds 6E.
    Finished unanswered =
        rp1210("unanswered", {"send", "-d", "1", "-p", "J1939:Baud=500", "--claim", "6A", "--dest",
                              "6E", "EF00#0102030405060708090A"});
    EXPECT_EQ(unanswered.status, 1) << unanswered.out;
    EXPECT_TRUE(contains(unanswered.err, "no CTS from 6E: is a node holding that address?"))
        << unanswered.err;
}

// What rp1210 dump writes, tarnsim-node replays: the engine's traffic dumped, replayed on
// the same bus and dumped again gives the same messages (CAN frames, and J1939 with
// the DM1 reassembled from the BAM the replay sends).
TEST_F(Rp1210EndToEnd, ASavedDumpReplaysAsItWasRecorded) {
    const auto without_time = [](const std::string& text) {
        std::vector<std::string> result;
        for (const std::string& line : lines(text)) {
            result.push_back(line.substr(line.find(')') + 1));
        }
        return result;
    };
    const std::vector<std::pair<std::string, std::vector<std::string>>> kinds = {
        {"can", {"-p", "CAN:Baud=500", "--filter", "18FEF100:1FFFFFFF,18FEEE00:1FFFFFFF"}},
        {"j1939", {"-p", "J1939:Baud=500", "--pgn", "FECA,FEEE"}}};
    for (const auto& [kind, selection] : kinds) {
        start_node(
            {"replay", (dir.path() / "engine.log").string(), "--loop", "--bitrate", "500000"});
        std::vector<std::string> args = {"dump", "-d", "1"};
        args.insert(args.end(), selection.begin(), selection.end());
        std::vector<std::string> first = args;
        first.insert(first.end(), {"--count", "6", "--seconds", "30"});
        Finished recorded = rp1210("record-" + kind, first);
        ASSERT_EQ(recorded.status, 0) << recorded.err;
        node->kill_hard();
        node->wait();
        node.reset();
        {
            std::ofstream saved(dir.path() / (kind + ".txt"), std::ios::binary);
            saved << recorded.out;
        }
        std::vector<std::string> again = args;
        again.insert(again.end(), {"--count", "6", "--seconds", "30"});
        Running replayed = Running::start(dir.path(), "again-" + kind, program("rp1210"), again);
        ASSERT_TRUE(replayed.wait_for_err(" bit/s\n")) << replayed.err();
        Finished played = tools_test::run(
            dir.path(), "replay-" + kind, program("tarnsim-node"),
            {"replay", kind + ".txt", "--bitrate", "500000", "--config", sim.path()});
        EXPECT_EQ(played.status, 0) << played.err;
        ASSERT_EQ(replayed.wait(), 0) << replayed.err();
        ASSERT_EQ(lines(recorded.out).size(), 6u) << recorded.out;
        EXPECT_EQ(without_time(replayed.out()), without_time(recorded.out)) << kind << ":\n"
                                                                            << recorded.out << "\n"
                                                                            << replayed.out();
    }
}

// Errors that say what to fix.
TEST_F(Rp1210EndToEnd, FailedConnectsAndLongInputsPrintTheirHints) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* hint;
    } cases[] = {
        {{"connect", "-d", "1", "-p", "J1939:Baud=250k"},
         1,
         "rp1210: \"J1939:Baud=250k\": Invalid baud rate\nrp1210: a protocol string is CAN or "
         "J1939, optionally followed by :KEY=VALUE,...: Baud=125, 250, 500 or 1000 (kbit/s)"},
        {{"connect", "-d", "1", "-p", "CAN:Baud=300"},
         1,
         "\"CAN:Baud=300\": Unsupported baud rate"},
        {{"connect", "-d", "1", "-p", "CAN:Baud=500,Channel=2"},
         1,
         "device 1 stands for one fixed channel: leave Channel= out or write Channel=1"},
        {{"connect", "-d", "9", "-p", "CAN"},
         1,
         "(its devices: 1, 2, 3; rp1210 devices lists them)"},
        {{"send", "-d", "1", "-p", "J1939", "--claim", "80", "FECA#" + std::string(2 * 1786, '0')},
         2,
         "data '0000000000000000000000000000000000000000...(3572 characters)' has more than 1785 "
         "bytes"},
    };
    for (const auto& c : cases) {
        Finished run = rp1210("hint", c.args);
        EXPECT_EQ(run.status, c.status) << c.args.back();
        EXPECT_TRUE(contains(run.err, c.hint)) << run.err;
        EXPECT_LT(run.err.size(), 1000u) << run.err;
    }
    // No INI file where the tool runs: both places the library looks are named.
    std::filesystem::create_directory(dir.path() / "elsewhere");
    Finished no_ini = tools_test::run(dir.path() / "elsewhere", "no-ini", program("rp1210"),
                                      {"connect", "-d", "1", "-p", "CAN"});
    EXPECT_EQ(no_ini.status, 1);
    EXPECT_TRUE(contains(no_ini.err, "failed: 128 ")) << no_ini.err;
    EXPECT_TRUE(contains(no_ini.err, "rp1210: the library reads ")) << no_ini.err;
    EXPECT_TRUE(contains(no_ini.err, "ostrel_qz121032.ini (not there), else ")) << no_ini.err;
    EXPECT_TRUE(contains(no_ini.err, "qz121032.ini (")) << no_ini.err;

    // Nothing at all on the bus at the dump's bit rate.
    Finished quiet = rp1210("quiet", {"dump", "-d", "1", "-p", "CAN", "--seconds", "0.5"});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_TRUE(contains(quiet.err,
                         "rp1210: nothing received at 250000 bit/s: is the traffic at "
                         "another bit rate? (Baud=Auto detects it)"))
        << quiet.err;
}

TEST_F(Rp1210EndToEnd, J1939DumpShowsTheReplayedDm1Reassembled) {
    start_node({"replay", (dir.path() / "engine.log").string(), "--loop", "--bitrate", "500000"});
    Finished dump =
        rp1210("dump-j1939", {"dump", "-d", "1", "-p", "J1939:Baud=500", "--pgn", "FECA",
                              "--source", "0", "--count", "2", "--seconds", "30"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    const std::vector<std::string> printed = lines(dump.out);
    ASSERT_EQ(printed.size(), 2u) << dump.out;
    for (const std::string& line : printed) {
        // The log's DM1: a BAM at priority 7 of two packets with two trouble codes.
        EXPECT_TRUE(contains(line, "  7  0FECA  00 -> FF  [10]  04 FF 6E 00 00 01 64 00 01 03"))
            << line;
    }
}

TEST_F(Rp1210EndToEnd, J1939SendAndSelftest) {
    Running dump = Running::start(dir.path(), "dump-j1939", program("rp1210"),
                                  {"dump", "-d", "2", "-p", "J1939:Baud=500", "--pgn", "FECA",
                                   "--count", "1", "--seconds", "60"});
    ASSERT_TRUE(dump.wait_for_err("J1939:Baud=500: 500000 bit/s")) << dump.err();
    std::string data;
    for (int i = 0; i < 100; ++i) {
        data += fmt::format("{:02X}", i);
    }
    Finished send = rp1210(
        "send-j1939", {"send", "-d", "1", "-p", "J1939:Baud=500", "--claim", "80", "FECA#" + data});
    EXPECT_EQ(send.status, 0) << send.err;
    EXPECT_EQ(send.out, "sent 1 x PGN 0FECA 80 -> FF [100], 1 confirmed\n");
    EXPECT_EQ(dump.wait(), 0) << dump.err();
    EXPECT_TRUE(contains(dump.out(), "  7  0FECA  80 -> FF  [100]  00 01 02 03 ")) << dump.out();

    Finished selftest = rp1210("selftest-j1939", {"selftest", "-d", "1", "-e", "2", "-p",
                                                  "J1939:Baud=500", "--transfers", "3"});
    ASSERT_EQ(selftest.status, 0) << selftest.out << selftest.err;
    for (const char* expected : {
             "A -> B: 3 transfers of 9 to 1785 bytes, 3 received, 0 lost, 0 corrupted\n",
             "B -> A: 3 transfers of 9 to 1785 bytes, 3 received, 0 lost, 0 corrupted\n",
             "1785 bytes in ",
             "selftest passed\n",
         }) {
        EXPECT_TRUE(contains(selftest.out, expected)) << expected << " in:\n" << selftest.out;
    }
}

}  // namespace
