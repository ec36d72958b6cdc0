// The built tools run as processes: help texts and exit statuses, RP1210 failures that
// occur before any client exists (printed with code and text), `rp1210 devices`, and
// tarnsim-node against a driver handle of this test on the simulated bus.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/environment.hpp"
#include "sim_fixture.hpp"
#include "tarnlib/driver_api.h"
#include "tarnsim/tarnsim_control.h"
#include "tool_runner.hpp"
#include "tools/can_text.hpp"

extern "C" {
tarnHandle TARN_CALL tarnOpenChannel(int32_t, int32_t);
tarnStatus TARN_CALL tarnClose(tarnHandle);
tarnStatus TARN_CALL tarnSetBusParams(tarnHandle, int32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                      uint32_t);
tarnStatus TARN_CALL tarnBusOn(tarnHandle);
tarnStatus TARN_CALL tarnWrite(tarnHandle, int32_t, const void*, uint32_t, uint32_t);
tarnStatus TARN_CALL tarnReadWait(tarnHandle, int32_t*, void*, uint32_t*, uint32_t*, uint32_t*,
                                  uint32_t);
}

namespace {

using tools_test::Finished;
using tools_test::program;
using tools_test::run;
using tools_test::WorkDir;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

TEST(ToolHelp, EveryCommandHasHelpAndBadArgumentsExitWithTwo) {
    WorkDir dir;
    Finished help = run(dir.path(), "help", program("rp1210"), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: rp1210 [--library PATH] COMMAND [ARGS]\n", 0), 0u) << help.out;
    for (const char* command : {"devices", "info", "dump", "send", "selftest"}) {
        Finished sub = run(dir.path(), command, program("rp1210"), {command, "-h"});
        EXPECT_EQ(sub.status, 0) << command;
        EXPECT_EQ(sub.out.rfind(std::string("usage: rp1210 ") + command, 0), 0u) << sub.out;
    }

    Finished bad = run(dir.path(), "bad", program("rp1210"), {"dump", "-d", "1"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err,
              "rp1210: dump: --protocol is required\nRun 'rp1210 dump --help' for the options.\n");
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(run(dir.path(), "none", program("rp1210"), {}).status, 2);

    Finished node_help = run(dir.path(), "node-help", program("tarnsim-node"), {"--help"});
    EXPECT_EQ(node_help.status, 0);
    EXPECT_EQ(node_help.out.rfind("usage: tarnsim-node COMMAND", 0), 0u) << node_help.out;
    Finished node_sub = run(dir.path(), "node-sub", program("tarnsim-node"), {"replay", "--help"});
    EXPECT_EQ(node_sub.status, 0);
    EXPECT_EQ(node_sub.out.rfind("usage: tarnsim-node replay FILE", 0), 0u) << node_sub.out;
    Finished node_bad =
        run(dir.path(), "node-bad", program("tarnsim-node"), {"send", "123#00", "--rate", "fast"});
    EXPECT_EQ(node_bad.status, 2);
    EXPECT_NE(node_bad.err.find("tarnsim-node: send: --rate must be a number"), std::string::npos)
        << node_bad.err;
}

// The library with an INI file in the working directory and a private simulator instance.
class Rp1210Runs : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(platform::set_environment_variable("TARNSIM_CONFIG", sim.path()));
        dir.copy_from_build("tools_test_ostrel_qz121032.ini", "ostrel_qz121032.ini");
    }
    Finished rp1210(const std::string& label, const std::vector<std::string>& args) {
        return run(dir.path(), label, program("rp1210"), args);
    }

    tarnsim_test::ConfigFile sim{tarnsim_test::kTwoChannels};
    WorkDir dir;
};

TEST_F(Rp1210Runs, FailuresPrintTheCodeAndTheLibrarysText) {
    Finished unknown_device = rp1210("device", {"connect", "-d", "9", "-p", "CAN"});
    EXPECT_EQ(unknown_device.status, 1);
    EXPECT_NE(unknown_device.err.find("rp1210: RP1210_ClientConnect(device 9, \"CAN\") failed: "
                                      "134 (The specified device ID is invalid.)\n"),
              std::string::npos)
        << unknown_device.err;

    Finished bad_protocol = rp1210("protocol", {"info", "-d", "1", "-p", "CAN:Baud=fast"});
    EXPECT_EQ(bad_protocol.status, 1);
    EXPECT_NE(bad_protocol.err.find("failed: 136 (Specified protocol is invalid or unsupported.)"),
              std::string::npos)
        << bad_protocol.err;

    Finished no_text = rp1210("errors", {"errors", "141", "203"});
    EXPECT_EQ(no_text.status, 1);
    EXPECT_EQ(no_text.out, "141: The message is too large to fit in the requested location.\n");
    EXPECT_NE(no_text.err.find("RP1210_GetErrorMsg(203) failed: 154 (No description found for "
                               "specified error code.)"),
              std::string::npos)
        << no_text.err;

    Finished no_library = rp1210("library", {"--library", "missing/libnothing.so", "version"});
    EXPECT_EQ(no_library.status, 1);
    EXPECT_NE(no_library.err.find("cannot load missing/libnothing.so"), std::string::npos)
        << no_library.err;
}

TEST_F(Rp1210Runs, DevicesListsTheIniFileAndTheDriversChannels) {
    Finished devices = rp1210("devices", {"devices"});
    EXPECT_EQ(devices.status, 0) << devices.err;
    const std::string& out = devices.out;
    EXPECT_EQ(out.find("INI file: "), 0u) << out;
    EXPECT_NE(out.find("ostrel_qz121032.ini\n"), std::string::npos) << out;
    for (const char* expected : {
             "vendor: RP1210C 3.0, MessageString Ostrel_qz121032_Message, ErrorString "
             "Ostrel_qz121032_Error\n",
             "  1  Ostrel USB-CAN 73-30130-12345-6, channel 1 (Ostrel USB-CAN)\n"
             "      DeviceParams EAN=73-30130-12345-6,Chan=0; CAN channels 1, J1939 channels 1\n"
             "      channel: 73-30130-12345-6/10001/0 (driver channel 0)\n",
             "      channel: 73-30130-12345-6/10001/1 (driver channel 1)\n",
             "      Channel=1: 73-30130-12345-6/10001/0 (driver channel 0)\n"
             "      Channel=2: 73-30130-12345-6/10001/1 (driver channel 1)\n",
             "  2  J1939: SAE J1939 Protocol; speeds 125,250,500,1000,Auto; devices 1,2,3\n",
             "channels reported by the CAN driver:\n"
             "  0  73-30130-12345-6/10001/0\n"
             "  1  73-30130-12345-6/10001/1\n",
         }) {
        EXPECT_NE(out.find(expected), std::string::npos) << "missing:\n"
                                                         << expected << "in:\n"
                                                         << out;
    }

    // Without the file in the working directory the library would read the one in the
    // Windows directory, which this machine does not have: the channels are listed anyway.
    std::filesystem::remove(dir.path() / "ostrel_qz121032.ini");
    Finished no_ini = rp1210("no-ini", {"devices"});
    EXPECT_EQ(no_ini.status, 1);
    EXPECT_NE(no_ini.err.find("qz121032.ini: Failed to read INI file"), std::string::npos)
        << no_ini.err;
    EXPECT_NE(no_ini.out.find("  1  73-30130-12345-6/10001/1\n"), std::string::npos) << no_ini.out;
}

// tarnsim-node on the simulated bus, observed through a driver handle of this test on
// channel 0 at the node's default bit rate.
class NodeRuns : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(tarnsim_configure(sim.path().c_str()), 0);
        handle = tarnOpenChannel(0, 0);
        ASSERT_GE(handle, 0);
        ASSERT_EQ(tarnSetBusParams(handle, 250000, 11, 4, 1, 1, 0), 0);
        ASSERT_EQ(tarnBusOn(handle), 0);
    }
    void TearDown() override { tarnClose(handle); }

    std::vector<std::string> node_args(std::vector<std::string> args) const {
        args.push_back("--config");
        args.push_back(sim.path());
        return args;
    }

    // The next frame on channel 0, within a generous limit.
    std::optional<tools::CanFrame> receive() {
        std::int32_t id = 0;
        std::uint8_t data[64] = {};
        std::uint32_t dlc = 0, flags = 0, time = 0;
        if (tarnReadWait(handle, &id, data, &dlc, &flags, &time, 20000) != 0) {
            return std::nullopt;
        }
        tools::CanFrame f;
        f.id = static_cast<std::uint32_t>(id);
        f.extended = (flags & TARN_MSG_EXT) != 0;
        f.length = static_cast<std::uint8_t>(dlc);
        std::copy(data, data + std::min<std::uint32_t>(dlc, 8), f.data.begin());
        return f;
    }

    void send(const char* text) {
        const tools::CanFrame f = *tools::parse_frame(text);
        ASSERT_EQ(tarnWrite(handle, static_cast<std::int32_t>(f.id), f.data.data(), f.length,
                            f.extended ? TARN_MSG_EXT : TARN_MSG_STD),
                  0);
    }

    tarnsim_test::ConfigFile sim{tarnsim_test::kTwoChannels};
    WorkDir dir;
    tarnHandle handle = -1;
};

TEST_F(NodeRuns, SendsPatternsInTurnWithCounters) {
    Finished node =
        run(dir.path(), "send", program("tarnsim-node"),
            node_args({"send", "123#ii", "18FEF100#AAii", "--count", "6", "--rate", "1000"}));
    EXPECT_EQ(node.status, 0) << node.err;
    std::vector<std::string> got;
    for (int i = 0; i < 6; ++i) {
        const auto f = receive();
        ASSERT_TRUE(f.has_value()) << i;
        got.push_back(tools::frame_text(*f));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"123#00", "18FEF100#AA00", "123#01", "18FEF100#AA01",
                                             "123#02", "18FEF100#AA02"}));
    EXPECT_NE(node.err.find("sent 6 frames"), std::string::npos) << node.err;
}

TEST_F(NodeRuns, ReplaysTheExampleLogInOrder) {
    dir.copy_from_build("tools_test_j1939_engine.log", "engine.log");
    Finished node = run(dir.path(), "replay", program("tarnsim-node"),
                        node_args({"replay", "engine.log", "--count", "12"}));
    EXPECT_EQ(node.status, 0) << node.err;
    const std::vector<std::string> log = lines(tools_test::read_text(dir.path() / "engine.log"));
    ASSERT_GE(log.size(), 12u);
    for (int i = 0; i < 12; ++i) {
        const auto f = receive();
        ASSERT_TRUE(f.has_value()) << i;
        const auto record = tools::parse_log_line(log[static_cast<std::size_t>(i)]);
        ASSERT_TRUE(record.has_value() && record->has_value());
        EXPECT_EQ(tools::frame_text(*f), tools::frame_text((*record)->frame)) << i;
    }
}

TEST_F(NodeRuns, EchoesAndAnswersOnItsOwnChannelAndPrintsWhatItReceives) {
    auto echo = tools_test::Running::start(
        dir.path(), "echo", program("tarnsim-node"),
        node_args({"echo", "--id-offset", "1", "--channel", "1", "--count", "2"}));
    ASSERT_TRUE(echo.wait_for_err("echoing on channel 1 at 250000 bit/s")) << echo.err();
    send("100#0102");
    auto reply = receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(tools::frame_text(*reply), "101#0102");
    send("1FFFFFFF#");
    reply = receive();
    ASSERT_TRUE(reply.has_value()) << echo.out() << echo.err();
    EXPECT_EQ(tools::frame_text(*reply), "00000000#") << "the identifier wraps";
    EXPECT_EQ(echo.wait(), 0) << echo.err();
    const std::vector<std::string> printed = lines(echo.out());
    ASSERT_EQ(printed.size(), 2u) << echo.out();
    EXPECT_NE(printed[0].find(") ch1 100#0102"), std::string::npos) << printed[0];
    EXPECT_NE(printed[1].find(") ch1 1FFFFFFF#"), std::string::npos) << printed[1];

    auto answer = tools_test::Running::start(
        dir.path(), "answer", program("tarnsim-node"),
        node_args({"answer", "18EA00F9#E5FE00=18FEE500#10270000", "--count", "2"}));
    ASSERT_TRUE(answer.wait_for_err("answering on channel 1")) << answer.err();
    send("18EA00F9#E5FE01");  // another request: not answered
    send("18EA00F9#E5FE00");
    reply = receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(tools::frame_text(*reply), "18FEE500#10270000");
    EXPECT_EQ(answer.wait(), 0) << answer.err();
    EXPECT_NE(answer.err().find("received 2 frames, sent 1 replies"), std::string::npos)
        << answer.err();
}

TEST_F(NodeRuns, SimulatorFailuresAndBadLogFilesAreReported) {
    dir.copy_from_build("tools_test_j1939_engine.log", "engine.log");
    {
        std::ofstream broken(dir.path() / "broken.log", std::ios::binary);
        broken << "(1700000000.000100) can0 123#00\n(1700000000.000200) can0 123#0\n";
    }
    Finished bad_log =
        run(dir.path(), "bad-log", program("tarnsim-node"), node_args({"replay", "broken.log"}));
    EXPECT_EQ(bad_log.status, 2);
    EXPECT_NE(bad_log.err.find("broken.log:2: data '0' must be pairs of hexadecimal digits"),
              std::string::npos)
        << bad_log.err;

    Finished no_bus = run(dir.path(), "no-bus", program("tarnsim-node"),
                          node_args({"send", "123#00", "--bus", "5", "--count", "1"}));
    EXPECT_EQ(no_bus.status, 1);
    EXPECT_NE(no_bus.err.find("tarnsim_inject failed: tarnERR_PARAM"), std::string::npos)
        << no_bus.err;
}

}  // namespace
