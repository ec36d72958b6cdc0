// The command lines of rp1210 and tarnsim-node, parsed in this process: what each valid
// command line means, what each invalid one is told, and that every help text names
// every option its command accepts.

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "tools/node_cli.hpp"
#include "tools/rp1210_cli.hpp"

namespace {

namespace rp = tools::rp1210;
namespace node = tools::node;

platform::Expected<rp::Invocation, tools::UsageError> rp1210(std::vector<std::string> args) {
    return rp::parse_command_line(args, "default.so");
}

template <class T>
T parsed_as(std::vector<std::string> args) {
    auto invocation = rp1210(args);
    EXPECT_TRUE(invocation.has_value()) << (invocation ? "" : invocation.error().message);
    if (!invocation || !std::holds_alternative<T>(invocation->command)) {
        ADD_FAILURE() << "another command";
        return T{};
    }
    return std::get<T>(invocation->command);
}

TEST(Rp1210CommandLine, Dump) {
    const auto dump = parsed_as<rp::DumpCommand>(
        {"dump", "-d", "3", "--protocol=CAN:Baud=Auto", "--filter", "0CF00400:1FFFFFFF", "-f",
         "123:7F0,18FEF100:00FFFF00", "-n", "10", "--seconds", "2.5", "--echo", "--wait", "20"});
    EXPECT_EQ(dump.connection.device, 3);
    EXPECT_EQ(dump.connection.protocol, "CAN:Baud=Auto");
    EXPECT_EQ(dump.connection.wait_seconds, 20.0);
    EXPECT_EQ(dump.filters, (std::vector<tools::CanFilter>{{0x0CF00400, 0x1FFFFFFF, true},
                                                           {0x123, 0x7F0, false},
                                                           {0x18FEF100, 0x00FFFF00, true}}));
    EXPECT_FALSE(dump.exclusive_filters);
    EXPECT_EQ(dump.count, std::optional<std::uint64_t>(10));
    EXPECT_EQ(dump.seconds, std::optional<double>(2.5));
    EXPECT_TRUE(dump.echo);

    const auto plain = parsed_as<rp::DumpCommand>({"dump", "-d", "1", "-p", "can"});
    EXPECT_TRUE(plain.filters.empty());
    EXPECT_FALSE(plain.count || plain.seconds || plain.echo);
    EXPECT_EQ(plain.connection.wait_seconds, 10.0);

    EXPECT_TRUE(parsed_as<rp::DumpCommand>({"dump", "-d", "1", "-p", "CAN", "-f", "123~7FF"})
                    .exclusive_filters);

    const auto j1939 =
        parsed_as<rp::DumpCommand>({"dump", "-d", "1", "-p", "j1939:Baud=500", "--pgn", "FECA,F004",
                                    "--pgn", "EF00", "--source", "0,F9"});
    EXPECT_TRUE(j1939.connection.j1939);
    // -p J1939 is the bus monitor; --client and --claim read through a J1939 client.
    EXPECT_FALSE(j1939.j1939_client);
    EXPECT_FALSE(j1939.claim.has_value());
    EXPECT_TRUE(
        parsed_as<rp::DumpCommand>({"dump", "-d", "1", "-p", "J1939", "--tp"}).show_tp_frames);
    EXPECT_TRUE(
        parsed_as<rp::DumpCommand>({"dump", "-d", "1", "-p", "J1939", "--client"}).j1939_client);
    const auto claiming = parsed_as<rp::DumpCommand>(
        {"dump", "-d", "2", "-p", "J1939", "--claim", "25:A0", "--echo"});
    EXPECT_TRUE(claiming.j1939_client);
    EXPECT_EQ(claiming.claim, (tools::J1939Claim{0x25, 0xA0}));
    EXPECT_EQ(j1939.pgns, (std::vector<std::uint32_t>{0xFECA, 0xF004, 0xEF00}));
    EXPECT_EQ(j1939.sources, (std::vector<std::uint8_t>{0x00, 0xF9}));
    EXPECT_FALSE(plain.connection.j1939);
}

TEST(Rp1210CommandLine, SendSelftestAndTheOthers) {
    const auto send = parsed_as<rp::SendCommand>(
        {"send", "-d", "2", "-p", "CAN:Baud=500", "18FEF100#F7.00", "--every", "100", "-n", "5"});
    EXPECT_EQ(send.frame.id, 0x18FEF100u);
    EXPECT_TRUE(send.frame.extended);
    EXPECT_EQ(send.frame.length, 2);
    EXPECT_EQ(send.every_ms, std::optional<std::uint32_t>(100));
    EXPECT_EQ(send.count, std::optional<std::uint64_t>(5));

    const auto j1939 =
        parsed_as<rp::SendCommand>({"send", "-d", "1", "-p", "J1939", "--claim", "80:A0", "--dest",
                                    "25", "--priority", "3", "EF00#0102030405060708090A"});
    EXPECT_EQ(j1939.claim, (tools::J1939Claim{0x80, 0xA0}));
    EXPECT_EQ(j1939.message.pgn, 0xEF00u);
    EXPECT_EQ(j1939.message.source, 0x80);
    EXPECT_EQ(j1939.message.destination, 0x25);
    EXPECT_EQ(j1939.message.priority, 3);
    EXPECT_EQ(j1939.message.data.size(), 10u);
    const auto unclaimed =
        parsed_as<rp::SendCommand>({"send", "-d", "1", "-p", "J1939", "--source", "F9", "FECA#"});
    EXPECT_FALSE(unclaimed.claim);
    EXPECT_EQ(unclaimed.message.source, 0xF9);
    EXPECT_EQ(unclaimed.message.destination, 0xFF);
    EXPECT_EQ(unclaimed.message.priority, 6);
    EXPECT_EQ(parsed_as<rp::SelftestCommand>(
                  {"selftest", "-d", "1", "-e", "2", "-p", "J1939", "--transfers", "3"})
                  .transfers,
              3u);

    const auto selftest = parsed_as<rp::SelftestCommand>(
        {"selftest", "-d", "1", "-e", "2", "-p", "CAN:Baud=500", "--frames", "50"});
    EXPECT_EQ(selftest.a.device, 1);
    EXPECT_EQ(selftest.device_b, 2);
    EXPECT_EQ(selftest.frames, 50u);
    EXPECT_EQ(selftest.pings, 200u);

    EXPECT_EQ(parsed_as<rp::ErrorsCommand>({"errors", "128", "134"}).codes,
              (std::vector<int>{128, 134}));
    EXPECT_EQ(parsed_as<rp::InfoCommand>({"info", "-d", "0", "-p", "J1939"}).connection.device, 0);
    parsed_as<rp::DevicesCommand>({"devices"});

    auto invocation = rp1210({"--library", "/opt/x/libqz121032.so", "version"});
    ASSERT_TRUE(invocation.has_value());
    EXPECT_EQ(invocation->library, "/opt/x/libqz121032.so");
    EXPECT_EQ(rp1210({"version"})->library, "default.so");
    EXPECT_EQ(rp1210({"--library=lib.dll", "version"})->library, "lib.dll");
}

TEST(Rp1210CommandLine, BadArgumentsAreExplained) {
    const struct {
        std::vector<std::string> args;
        const char* message;
        const char* help_command;
    } cases[] = {
        {{}, "no command given", "rp1210 --help"},
        {{"monitor"}, "unknown command 'monitor'", "rp1210 --help"},
        {{"--verbose", "dump"}, "unknown option --verbose", "rp1210 --help"},
        {{"--library"}, "--library needs a value", "rp1210 --help"},
        {{"dump", "-p", "CAN"}, "dump: --device is required", "rp1210 dump --help"},
        {{"dump", "-d", "1"}, "dump: --protocol is required", "rp1210 dump --help"},
        {{"dump", "-d", "x", "-p", "CAN"},
         "--device must be a whole number from 0 to 32767",
         "rp1210 dump --help"},
        {{"dump", "-d", "40000", "-p", "CAN"}, "from 0 to 32767", "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "-x"}, "dump: unknown option -x", "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "-n"}, "-n needs a value (N)", "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "-n", "0"},
         "--count must be a whole number from 1",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "--seconds", "soon"},
         "--seconds must be a number",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "--echo=1"},
         "--echo takes no value",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-d", "2", "-p", "CAN"},
         "-d is given more than once",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "extra"},
         "unexpected argument 'extra'",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "-f", "123"},
         "must be ID:MASK or ID~MASK",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "-f", "123:7FF", "-f", "124~7FF"},
         "not mixed",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "-f", "123:FFF"},
         "wider than a 11-bit identifier",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "-f", "123:XYZ"},
         "1 to 8 hexadecimal digits",
         "rp1210 dump --help"},
        {{"send", "-d", "1", "-p", "CAN"}, "the frame to send is missing", "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "CAN", "123#00", "124#00"},
         "unexpected argument '124#00'",
         "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "CAN", "900#00"}, "above 7FF", "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "CAN", "123#00", "--every", "0"},
         "--every must be",
         "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "CAN", "123#00", "--every", "65536"},
         "--every must be a whole number from 1 to 65535",
         "rp1210 send --help"},
        {{"dump", "-d", "1", "-p", "ISO15765"},
         "works on raw CAN and J1939 connections",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "J1939", "-f", "123:7FF"},
         "--filter is for CAN connections",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "--pgn", "FECA"},
         "--pgn is for J1939 connections",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "J1939", "--pgn", "FECA,40000"},
         "--pgn: PGN '40000' must be",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "J1939", "--echo"},
         "--echo needs --client or --claim with J1939",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "J1939", "--client", "--tp"},
         "--tp is for the bus monitor",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "CAN", "--claim", "25"},
         "--claim is for J1939 connections",
         "rp1210 dump --help"},
        {{"dump", "-d", "1", "-p", "J1939", "--claim", "FE"},
         "--claim: address FE cannot be claimed",
         "rp1210 dump --help"},
        {{"send", "-d", "1", "-p", "J1939", "FECA#00"},
         "--source or --claim",
         "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "J1939", "--source", "80", "FECA#000102030405060708"},
         "need --claim",
         "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "J1939", "--claim", "80", "EF25#00"},
         "its low byte must be 00",
         "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "J1939", "--claim", "FF", "FECA#00"},
         "cannot be claimed",
         "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "J1939", "--claim", "80", "--priority", "8", "FECA#00"},
         "--priority must be a whole number from 0 to 7",
         "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "CAN", "--claim", "80", "123#00"},
         "--claim is for J1939 connections",
         "rp1210 send --help"},
        {{"send", "-d", "1", "-p", "J1939", "--claim", "80"},
         "the message to send is missing (PGN#DATA)",
         "rp1210 send --help"},
        {{"selftest", "-d", "1", "-e", "2", "-p", "J1939", "--frames", "5"},
         "--frames is for CAN connections",
         "rp1210 selftest --help"},
        {{"selftest", "-d", "1", "-e", "2", "-p", "J1939", "--transfers", "1"},
         "--transfers must be a whole number from 2 to 1000",
         "rp1210 selftest --help"},
        {{"send", "-d", "1", "-p", "ISO15765", "123#00"}, "not \"ISO15765\"", "rp1210 send --help"},
        {{"selftest", "-d", "1", "-p", "CAN"}, "--peer is required", "rp1210 selftest --help"},
        {{"selftest", "-d", "1", "-e", "1", "-p", "CAN"},
         "two different devices",
         "rp1210 selftest --help"},
        {{"errors", "x"}, "an error code must be a whole number", "rp1210 errors --help"},
        {{"version", "now"}, "unexpected argument 'now'", "rp1210 version --help"},
    };
    for (const auto& c : cases) {
        auto invocation = rp1210(c.args);
        ASSERT_FALSE(invocation.has_value()) << ::testing::PrintToString(c.args);
        EXPECT_NE(invocation.error().message.find(c.message), std::string::npos)
            << ::testing::PrintToString(c.args) << ": " << invocation.error().message;
        EXPECT_EQ(invocation.error().help_command, c.help_command);
    }
}

// Every option a command accepts, written out by hand: the help must name each one.
TEST(Rp1210CommandLine, HelpNamesEveryOption) {
    const std::pair<const char*, std::vector<const char*>> commands[] = {
        {"", {"--library PATH", "--help"}},
        {"devices", {"--help"}},
        {"info", {"-d, --device DEVICE", "-p, --protocol PROTOCOL", "--wait SECONDS"}},
        {"dump",
         {"-d, --device", "-p, --protocol", "-f, --filter FILTERS", "-n, --count N",
          "-s, --seconds S", "-e, --echo", "--pgn PGNS", "--source ADDRS", "--wait"}},
        {"send",
         {"-d, --device", "-p, --protocol", "-i, --every MS", "-n, --count N",
          "--claim ADDR[:NAME]", "--source ADDR", "--dest ADDR", "--priority P", "--wait"}},
        {"selftest",
         {"-d, --device DEVICE_A", "-e, --peer DEVICE_B", "-p, --protocol", "-n, --frames N",
          "--pings N", "--transfers N", "--wait"}},
        {"version", {"--help"}},
        {"errors", {"CODE"}},
        {"connect", {"-d, --device", "-p, --protocol"}},
    };
    EXPECT_EQ(rp::command_names().size(), std::size(commands) - 1);
    for (const auto& [command, options] : commands) {
        const std::string text = rp::help(command);
        for (const char* option : options) {
            EXPECT_NE(text.find(option), std::string::npos) << command << ": " << option;
        }
        if (*command != '\0') {
            EXPECT_NE(rp::help().find(std::string("  ") + command + " "), std::string::npos)
                << "the program's help lists " << command;
            auto invocation = rp1210({command, "--help"});
            ASSERT_TRUE(invocation.has_value());
            EXPECT_EQ(std::get<rp::HelpCommand>(invocation->command).text, text);
        }
    }
}

node::Options node_options(std::vector<std::string> args) {
    auto parsed = node::parse_command_line(args);
    EXPECT_TRUE(parsed.has_value()) << (parsed ? "" : parsed.error().message);
    if (!parsed || !std::holds_alternative<node::Options>(*parsed)) {
        ADD_FAILURE() << "not options";
        return {};
    }
    return std::get<node::Options>(*parsed);
}

TEST(NodeCommandLine, Commands) {
    const auto send = node_options({"send", "0CF00400#F07D7Dii1A00rr7D", "123#01", "--load", "30",
                                    "-b", "2", "--bitrate", "250000", "-n", "100"});
    EXPECT_EQ(send.mode, node::Mode::Send);
    ASSERT_EQ(send.patterns.size(), 2u);
    EXPECT_EQ(send.load_percent, std::optional<double>(30));
    EXPECT_EQ(send.bus, 2);
    EXPECT_EQ(send.bitrate, 250000);
    EXPECT_EQ(send.count, std::optional<std::uint64_t>(100));

    const auto replay = node_options({"replay", "traffic.log", "--loop", "--config", "sim.cfg"});
    EXPECT_EQ(replay.file, "traffic.log");
    EXPECT_TRUE(replay.loop);
    EXPECT_EQ(replay.config, std::optional<std::string>("sim.cfg"));

    const auto echo = node_options({"echo", "--id-offset", "-1", "-C", "0", "-s", "1.5"});
    EXPECT_EQ(echo.id_offset, -1);
    EXPECT_EQ(echo.channel, 0);
    EXPECT_EQ(echo.seconds, std::optional<double>(1.5));

    const auto answer = node_options({"answer", "18EA00F9#E5FE00=18FEE500#10270000", "7DF=7E8#"});
    ASSERT_EQ(answer.rules.size(), 2u);
    EXPECT_EQ(answer.rules[1].id, 0x7DFu);
    EXPECT_FALSE(answer.rules[1].data.has_value());
}

TEST(NodeCommandLine, BadArgumentsAreExplained) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "no command given"},
        {{"--bus", "1", "send"}, "options come after the command"},
        {{"flood"}, "unknown command 'flood'"},
        {{"send"}, "send: no pattern given"},
        {{"send", "123#ii", "--rate", "10", "--load", "5"}, "--rate or --load, not both"},
        {{"send", "123#ii", "--load", "200"}, "--load must be a number from 0.1 to 100"},
        {{"send", "123#iq"}, "pairs of hexadecimal digits"},
        {{"send", "123#00", "--bitrate", "2000000"}, "--bitrate must be a whole number"},
        {{"replay"}, "replay: the log file is missing"},
        {{"replay", "a.log", "b.log"}, "unexpected argument 'b.log'"},
        {{"answer"}, "no rule given"},
        {{"answer", "123#00"}, "must be REQUEST=RESPONSE"},
        {{"answer", "123=XYZ"}, "expected ID#DATA"},
        {{"echo", "--id-offset", "x"}, "--id-offset must be a whole number"},
        {{"listen", "now"}, "unexpected argument 'now'"},
        {{"listen", "--rate", "5"}, "unknown option --rate"},
    };
    for (const auto& c : cases) {
        auto parsed = node::parse_command_line(c.args);
        ASSERT_FALSE(parsed.has_value()) << ::testing::PrintToString(c.args);
        EXPECT_NE(parsed.error().message.find(c.message), std::string::npos)
            << ::testing::PrintToString(c.args) << ": " << parsed.error().message;
    }
}

TEST(NodeCommandLine, HelpNamesEveryOption) {
    const std::pair<const char*, std::vector<const char*>> commands[] = {
        {"send",
         {"PATTERN", "-c, --config PATH", "-b, --bus N", "-r, --bitrate BPS", "-f, --rate HZ",
          "-l, --load PERCENT", "-n, --count N", "-s, --seconds S"}},
        {"replay",
         {"FILE", "--config", "--bus", "--bitrate", "-L, --loop", "--count", "--seconds"}},
        {"echo",
         {"--config", "--bitrate", "-C, --channel N", "-o, --id-offset N", "--count", "--seconds"}},
        {"answer", {"RULE", "--config", "--bitrate", "--channel", "--count", "--seconds"}},
        {"listen", {"--config", "--bitrate", "--channel", "--count", "--seconds"}},
    };
    EXPECT_EQ(node::command_names().size(), std::size(commands));
    for (const auto& [command, options] : commands) {
        const std::string text = node::help(command);
        for (const char* option : options) {
            EXPECT_NE(text.find(option), std::string::npos) << command << ": " << option;
        }
        EXPECT_NE(node::help().find(std::string("  ") + command + " "), std::string::npos);
    }
}

TEST(NodePatterns, CountersRandomBytesEchoesAndAnswers) {
    auto pattern = node::parse_pattern("18FEF100#ii.AA.rrrr");
    ASSERT_TRUE(pattern.has_value()) << pattern.error();
    const tools::CanFrame f0 = node::pattern_frame(*pattern, 0, 0x00000000DDBB0000);
    const tools::CanFrame f257 = node::pattern_frame(*pattern, 257, 0x00000000DDBB0000);
    EXPECT_EQ(f0.id, 0x18FEF100u);
    EXPECT_EQ(f0.length, 4);
    // The counter byte wraps; random byte i is byte i of the random value.
    EXPECT_EQ(std::vector<std::uint8_t>(f0.data.begin(), f0.data.begin() + 4),
              (std::vector<std::uint8_t>{0x00, 0xAA, 0xBB, 0xDD}));
    EXPECT_EQ(f257.data[0], 0x01);

    const tools::CanFrame std_max = *tools::parse_frame("7FF#0102");
    EXPECT_EQ(node::echo_frame(std_max, 1).id, 0x000u) << "wraps within 11 bits";
    EXPECT_EQ(node::echo_frame(std_max, -0x800).id, 0x7FFu);
    EXPECT_EQ(node::echo_frame(*tools::parse_frame("00000000#"), -1).id, 0x1FFFFFFFu);
    EXPECT_EQ(node::echo_frame(std_max, 0).payload().size(), 2u);

    const auto with_data = *node::parse_answer_rule("18EA00F9#E5FE00=18FEE500#10270000");
    EXPECT_TRUE(node::matches(with_data, *tools::parse_frame("18EA00F9#E5FE00")));
    EXPECT_FALSE(node::matches(with_data, *tools::parse_frame("18EA00F9#E5FE01")));
    EXPECT_FALSE(node::matches(with_data, *tools::parse_frame("18EA00F9#E5FE")));
    const auto any_data = *node::parse_answer_rule("7DF=7E8#0441");
    EXPECT_TRUE(node::matches(any_data, *tools::parse_frame("7DF#02010C")));
    EXPECT_FALSE(node::matches(any_data, *tools::parse_frame("000007DF#02010C")))
        << "identifier sizes differ";
    EXPECT_EQ(any_data.response, *tools::parse_frame("7E8#0441"));
}

}  // namespace
