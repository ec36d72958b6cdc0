// One end-to-end run of each rp1210 subcommand that connects a client: the tool loads the
// built library like an application, the library reaches a private simulator instance,
// and tarnsim-node plays the other nodes of the bus. Channels 0 and 1 of the simulated
// interface are on one bus; device 1 of the example INI file is channel 0, device 2
// channel 1.

#include <gtest/gtest.h>

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
    Running listener = Running::start(
        dir.path(), "listen", program("tarnsim-node"),
        {"listen", "--channel", "1", "--bitrate", "500000", "--count", "10", "--seconds", "60",
         "--config", sim.path()});
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
             "of the bus limit (3704 frames/s of 135 bits at 500000 bit/s)\n",
             "round trip: 20 of 20 requests answered, median ",
             "selftest passed\n",
         }) {
        EXPECT_TRUE(contains(selftest.out, expected)) << expected << " in:\n" << selftest.out;
    }
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
