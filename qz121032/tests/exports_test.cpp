// The exports of the built library, loaded the way applications load it. Calls that need
// no initialisation run in this process; the one-time initialisation runs in a probe
// process per scenario.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "qz121032/rp1210_loader.hpp"

namespace {

namespace fs = std::filesystem;

fs::path binary_dir() {
    return fs::path(platform::current_executable_path()).parent_path();
}

std::string library_path() {
    return (binary_dir() / qz121032::rp1210_library_file_name()).string();
}

class ExportsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        auto loaded = qz121032::Rp1210Library::load(library_path());
        ASSERT_TRUE(loaded.has_value()) << loaded.error();
        api = new qz121032::Rp1210Library(std::move(loaded.value()));
    }
    static void TearDownTestSuite() {
        delete api;
        api = nullptr;
    }
    static qz121032::Rp1210Library* api;
};
qz121032::Rp1210Library* ExportsTest::api = nullptr;

// The texts applications see, written out as they are documented for each code.
const std::pair<short, const char*> kErrorTexts[] = {
    {128, "RP1210 DLL was not initialized."},
    {129, "The client identifier is not recognized as a valid connection handle."},
    {130, "Process already has a connection to the specified device."},
    {131, "RP1210 DLL has already reached maximum number of allowed connections."},
    {132, "Memory could not be de-allocated during the requested operation."},
    {133, "Memory could not be allocated for the requested operation."},
    {134, "The specified device ID is invalid."},
    {135, "Specified device is already in use and does not support multiple connections."},
    {136, "Specified protocol is invalid or unsupported."},
    {137, "The message transmit queue is already full."},
    {138, "The message transmit queue has become corrupt."},
    {139, "The message receive queue is full."},
    {140, "The message receive queue has become corrupt."},
    {141, "The message is too large to fit in the requested location."},
    {142, "The device hardware interface is no longer responding."},
    {143, "Command not supported by this version of the RP1210 DLL."},
    {144, "Command or associated parameters were invalid."},
    {145, "Message transmit notification code.  Check lParam for status."},
    {146, "The requested address could not be claimed."},
    {147, "Unknown how this was intended to be used - ERR_CANNOT_SET_PRIORITY"},
    {148, "Client connection was terminated while waiting on message processing."},
    {149, "Only one connection allowed to this device in the requested Mode."},
    {150, "Mode change is prohibited when multiple clients are connected to the device."},
    {151, "CAN packets can neither be sent or received due to hardware being BUS OFF."},
    {152, "Unable to request an address."},
    {153, "Address was lost to another node on the network."},
    {154, "No description found for specified error code."},
    {155, "Block not supported with current connection configuration."},
    {156, "Operation is not supported when multiple clients are connected to the device."},
    {157, "Client never issued a protect address."},
    {158, "Windows handle must be provided during connection to support notification."},
    {159, "The message was not transmitted."},
    {160, "No more handles are available to perform notification."},
    {161, "Maximum number of filters have been applied to the connection."},
    {162, "Hardware status change notification. RP1210_GetHardwareStatus for details."},
    {202, "RP1210.INI was not found in the Windows OS installation directory."},
    {204, "Required section header not found in RP1210.INI.  See RP1210B specification."},
    {205, "Required key identifier not found in RP1210.INI.  See RP1210B specification."},
    {206, "Invalid key value in RP1210.INI.  See RP1210B specification."},
    {207, "Device defined in RP1210.INI is not supported by the RP1210.DLL."},
    {208, "The Port parameter provided was not valid."},
    {220, "Detected Operating System version is not supported by installed RP1210.DLL."},
    {222, "Command queue is full.  Last command issued was dropped."},
    {224, "Specified CAN baudrate is not supported on this device."},
    {225, "The Broadcast address (0xFF) can not be claimed as a source address."},
    {226, "The maximum number of protected address has been exceeded."},
    {227, "The protected address release failed to free resources"},
    {230, "The COMM device is already in use."},
    {441, "A data link conflict has been detected."},
    {453, "The adapter is failing to respond."},
    {454, "A client is already using the CAN device with a different baudrate"},
    {455, "Multiple connections to the device are being blocked by another client."},
    {456, "A client is already using the J1708 device with a different baudrate."},
    {457, "A client is already using the J1939 device with a different baudrate."},
    {458, "A client is already using the ISO15765 device with a different baudrate."},
    {600, "The Ioctl ID is invalid."},
    {601, "NULL pointer supplied where a valid pointer is required."},
    {602, "This Ioctl operation is not supported by the hardware."},
};

TEST_F(ExportsTest, ErrorMessagesForEveryCode) {
    ASSERT_EQ(std::size(kErrorTexts), 58u);
    for (auto [code, text] : kErrorTexts) {
        char buffer[80];
        std::memset(buffer, 'x', sizeof buffer);
        ASSERT_EQ(api->GetErrorMsg(code, buffer), 0) << code;
        EXPECT_STREQ(buffer, text) << code;
        const std::size_t length = std::strlen(text);
        if (length + 1 < sizeof buffer) {
            EXPECT_EQ(buffer[length + 1], 'x') << "nothing after the NUL is touched";
        }
    }
}

TEST_F(ExportsTest, UnknownCodesAndNullBuffers) {
    for (short code : {0, -1, -141, 127, 163, 201, 203, 209, 459, 603, 32767}) {
        char buffer[80] = "untouched";
        EXPECT_EQ(api->GetErrorMsg(code, buffer), 154) << code;
        EXPECT_STREQ(buffer, "untouched") << code;
    }
    EXPECT_EQ(api->GetErrorMsg(128, nullptr), 154);

    // Without a connected client the last-error lookup refuses before writing anything.
    std::int32_t sub_error = 5;
    char buffer[80] = "untouched";
    EXPECT_EQ(api->GetLastErrorMsg(134, &sub_error, buffer, 1), 129);
    EXPECT_EQ(sub_error, 5);
    EXPECT_STREQ(buffer, "untouched");
}

TEST_F(ExportsTest, CallsOnUnknownClients) {
    char buffer[64] = {};
    EXPECT_EQ(api->ReadMessage(42, nullptr, 64, 0), -141) << "null buffer first";
    EXPECT_EQ(api->ReadMessage(42, buffer, 0, 0), -141);
    EXPECT_EQ(api->ReadMessage(42, buffer, -3, 0), -141);
    EXPECT_EQ(api->ReadMessage(42, buffer, 64, 0), -129);
    EXPECT_EQ(api->SendMessage(42, buffer, 8, 0, 0), 129);
    EXPECT_EQ(api->SendMessage(42, nullptr, 8, 0, 0), 129);
    EXPECT_EQ(api->ClientDisconnect(42), 129);
    EXPECT_EQ(api->SendCommand(3, 42, nullptr, 0), 129);
    EXPECT_EQ(api->GetHardwareStatus(42, buffer, 64, 0), 129);
    // These two need an initialised library first.
    EXPECT_EQ(api->Ioctl(42, 1, nullptr, nullptr), 128);
    EXPECT_EQ(api->ReadDetailedVersion(42, buffer, buffer, buffer), 128);
}

TEST_F(ExportsTest, ReadVersionWritesOneCharacterPerPointer) {
    char v[4] = {'x', 'x', 'x', 'x'};
    api->ReadVersion(&v[0], &v[1], &v[2], &v[3]);
    EXPECT_EQ(std::string(v, 4), "6040");
    char major = 'x', minor = 'x', api_major = 'x';
    api->ReadVersion(&major, &minor, &api_major, nullptr);
    EXPECT_EQ(std::string({major, minor, api_major}), "604");
}

// Runs the probe in its own process and current directory; returns what it printed.
std::string run_probe(const fs::path& cwd, const std::vector<std::string>& calls) {
    const fs::path out = cwd / "probe.out";
    std::vector<std::string> args = {"--cwd", cwd.string(), "--out", out.string(), library_path()};
    args.insert(args.end(), calls.begin(), calls.end());
    auto probe = platform::ChildProcess::spawn(
        (binary_dir() /
         ("rp1210_probe" + fs::path(platform::current_executable_path()).extension().string()))
            .string(),
        args);
    EXPECT_TRUE(probe.has_value());
    if (!probe) {
        return {};
    }
    EXPECT_EQ(probe->wait_for(std::chrono::seconds(60)), std::optional<int>(0));
    std::ifstream in(out, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    // Standard output in text mode ends lines with CR LF on Windows.
    std::string lines = text.str();
    for (std::size_t at = lines.find("\r\n"); at != std::string::npos;
         at = lines.find("\r\n", at)) {
        lines.erase(at, 1);
    }
    return lines;
}

class InitialisationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir =
            fs::temp_directory_path() /
            ("qz121032-init-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(InitialisationTest, MissingIniFileIsReportedOnceAndEveryConnectFails) {
    const std::string printed =
        run_probe(dir, {"connect", "1", "CAN", "connect", "1", "J1939", "ioctl", "1", "1"});
    EXPECT_EQ(printed,
              "Ostrel RP1210: Failed to load INI file: Failed to read INI file\n"
              "connect 1 CAN -> 128\n"
              "connect 1 J1939 -> 128\n"
              "ioctl 1 1 -> 128\n");
}

}  // namespace

namespace {

// A complete INI file for the simulated interface; the cases below break one thing each.
constexpr const char* kValidIni =
    "\xEF\xBB\xBF; Ostrel RP1210 test configuration\n"
    "[VendorInformation]\n"
    "RP1210=C\n"
    "Version=3.0\n"
    "MessageString=OstrelRP1210Msg\n"
    "ErrorString=OstrelRP1210Err\n"
    "TimestampWeight=1000\n"
    "AutoDetectCapable=yes\n"
    "DebugLevel=-1\n"
    "NumberOfRTSCTSSessions=1\n"
    "CANFormatsSupported=4,5\n"
    "J1939FormatsSupported=1,2\n"
    "J1939Addresses=1\n"
    "CANAutoBaud=true\n"
    "Devices=1\n"
    "Protocols=1\n"
    "\n"
    "[DeviceInformation1]\n"
    "DeviceID=1\n"
    "DeviceDescription=Simulated interface\n"
    "DeviceName=Sim\n"
    "DeviceParams=Serial=10001\n"
    "MultiCANChannels=2\n"
    "MultiJ1939Channels=2\n"
    "MultiISO15765Channels=0\n"
    "\n"
    "[ProtocolInformation1]\n"
    "ProtocolString=CAN\n"
    "ProtocolDescription=Raw CAN\n"
    "ProtocolSpeed=250,500\n"
    "ProtocolParams=none\n"
    "Devices=1\n";

// The valid file with `from` replaced by `to` (all occurrences), or with `to` appended when
// `from` is empty.
std::string variant(std::string_view from, std::string_view to) {
    std::string text = kValidIni;
    if (from.empty()) {
        return text + std::string(to);
    }
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    while (at != std::string::npos) {
        text.replace(at, from.size(), to);
        at = text.find(from, at + to.size());
    }
    return text;
}

std::string without(std::string_view line) {
    return variant(line, "");
}

struct IniCase {
    std::string message;
    std::string ini;
};

std::vector<IniCase> ini_cases() {
    const std::string debug_keys =
        "DebugLevel=0\nDebugFile=rp1210.log\nDebugFileSize=1\nDebugMode=1\n";
    auto with_debug = [&](std::string_view drop) {
        std::string keys = debug_keys;
        keys.erase(keys.find(drop), drop.size());
        return variant("DebugLevel=-1\n", keys);
    };
    const std::string device_section =
        std::string(kValidIni).substr(std::string(kValidIni).find("[DeviceInformation1]"),
                                      std::string(kValidIni).find("[ProtocolInformation1]") -
                                          std::string(kValidIni).find("[DeviceInformation1]"));
    const std::string protocol_section =
        std::string(kValidIni).substr(std::string(kValidIni).find("[ProtocolInformation1]"));

    std::vector<IniCase> cases = {
        {"Failed to parse INI file", variant("[DeviceInformation1]\n", "[DeviceInformation1\n")},
        {"VendorInformation section not found", variant("[VendorInformation]", "[Vendor]")},
        {"No DeviceInformation sections found", variant("[DeviceInformation1]", "[Devices]")},
        {"Device ID in vendor info not found in DeviceInformation sections",
         variant("Devices=1\nProtocols", "Devices=1, 2\nProtocols")},
        {"No ProtocolInformation sections found", variant("[ProtocolInformation1]", "[Protocol]")},
        {"Protocol ID in vendor info not found in ProtocolInformation sections",
         variant("Protocols=1\n", "Protocols=1,7\n")},
        {"Invalid DeviceInformation section name",
         variant("[DeviceInformation1]", "[DeviceInformation]")},
        {"Invalid DeviceInformation section name",
         variant("[DeviceInformation1]", "[DeviceInformation-1]")},
        {"Invalid ProtocolInformation section name",
         variant("[ProtocolInformation1]", "[ProtocolInformationX]")},
        {"Duplicate DeviceInformation", variant("", "\n" + device_section)},
        {"DeviceID does not match section ID", variant("DeviceID=1", "DeviceID=3")},
        {"Duplicate ProtocolInformation", variant("", "\n" + protocol_section)},
        {"RP1210 version mismatch", variant("RP1210=C", "RP1210=c")},
        {"Failed to parse DebugLevel", variant("DebugLevel=-1", "DebugLevel=verbose")},
        {"Failed to parse CANFormatsSupported",
         variant("CANFormatsSupported=4,5", "CANFormatsSupported=4,,5")},
        {"Failed to parse J1939FormatsSupported",
         variant("J1939FormatsSupported=1,2", "J1939FormatsSupported=1,2,")},
        {"Failed to parse Devices", variant("Devices=1\nProtocols", "Devices=1,\nProtocols")},
        {"Failed to parse Protocols", variant("Protocols=1", "Protocols=one")},
        {"Missing DebugFile", with_debug("DebugFile=rp1210.log\n")},
        {"Missing DebugFileSize", with_debug("DebugFileSize=1\n")},
        {"Missing DebugMode", with_debug("DebugMode=1\n")},
        {"Failed to parse DebugFileSize",
         variant("DebugLevel=-1\n",
                 "DebugLevel=0\nDebugFile=x.log\nDebugFileSize=1k\nDebugMode=1\n")},
        {"Failed to parse DebugMode",
         variant("DebugLevel=-1\n",
                 "DebugLevel=0\nDebugFile=x.log\nDebugFileSize=1\nDebugMode=-1\n")},
        {"Missing Devices", without("Devices=1\n")},
    };
    for (const char* key : {"RP1210",
                            "Version",
                            "MessageString",
                            "ErrorString",
                            "TimestampWeight",
                            "AutoDetectCapable",
                            "DebugLevel",
                            "NumberOfRTSCTSSessions",
                            "CANFormatsSupported",
                            "J1939FormatsSupported",
                            "J1939Addresses",
                            "CANAutoBaud",
                            "Protocols",
                            "DeviceID",
                            "DeviceDescription",
                            "DeviceName",
                            "DeviceParams",
                            "MultiCANChannels",
                            "MultiJ1939Channels",
                            "MultiISO15765Channels",
                            "ProtocolString",
                            "ProtocolDescription",
                            "ProtocolSpeed",
                            "ProtocolParams"}) {
        const std::string text = kValidIni;
        const std::size_t at = text.find(std::string("\n") + key + "=");
        const std::size_t end = text.find('\n', at + 1);
        cases.push_back({std::string("Missing ") + key, variant(text.substr(at, end - at), "")});
    }
    for (const char* key :
         {"TimestampWeight", "NumberOfRTSCTSSessions", "J1939Addresses", "DeviceID",
          "MultiCANChannels", "MultiJ1939Channels", "MultiISO15765Channels"}) {
        const std::string line = std::string("\n") + key + "=";
        cases.push_back({std::string("Failed to parse ") + key, variant(line, line + "+-")});
    }
    return cases;
}

}  // namespace

TEST_F(InitialisationTest, EveryLoadFailureIsPrintedByTheFirstConnect) {
    for (const IniCase& c : ini_cases()) {
        SCOPED_TRACE(c.message);
        { std::ofstream(dir / "ostrel_qz121032.ini", std::ios::binary) << c.ini; }
        EXPECT_EQ(run_probe(dir, {"connect", "1", "CAN", "connect", "1", "CAN"}),
                  "Ostrel RP1210: Failed to load INI file: " + c.message +
                      "\nconnect 1 CAN -> 128\nconnect 1 CAN -> 128\n");
    }
}

TEST_F(InitialisationTest, ValidFileLoadsWithoutAMessage) {
    std::ofstream(dir / "ostrel_qz121032.ini", std::ios::binary) << kValidIni;
    const std::string printed = run_probe(dir, {"version"});
    EXPECT_EQ(printed, "version -> 6.0 4.0\n") << "nothing is loaded before a connect";
    const std::string connected = run_probe(dir, {"connect", "1", "CAN"});
    EXPECT_EQ(connected.find("Ostrel RP1210:"), std::string::npos) << connected;
}

TEST_F(InitialisationTest, DebugLogThatCannotBeOpenedIsNotFatal) {
    std::ofstream(dir / "ostrel_qz121032.ini", std::ios::binary) << variant(
        "DebugLevel=-1\n",
        "DebugLevel=3\nDebugFile=missing/dir/rp1210.log\nDebugFileSize=1\nDebugMode=1\n");
    const std::string printed = run_probe(dir, {"connect", "1", "CAN"});
    EXPECT_NE(printed.find("Failed to open log file: missing/dir/rp1210.log\n"
                           "Ostrel RP1210: Failed to initialize debug log.\n"),
              std::string::npos)
        << printed;
}
