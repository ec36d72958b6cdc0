// The exports of the built library, loaded the way applications load it. Calls that need
// no initialisation run in this process; the one-time initialisation runs in a probe
// process per scenario.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "qz121032/rp1210_loader.hpp"

namespace {

namespace fs = std::filesystem;

fs::path binary_dir() { return fs::path(platform::current_executable_path()).parent_path(); }

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
        EXPECT_EQ(buffer[length + 1], length + 1 < 80 ? 'x' : buffer[length + 1])
            << "nothing after the NUL is touched";
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
    std::vector<std::string> args = {"--cwd", cwd.string(), "--out", out.string(),
                                     library_path()};
    args.insert(args.end(), calls.begin(), calls.end());
    auto probe = platform::ChildProcess::spawn(
        (binary_dir() / ("rp1210_probe" + fs::path(platform::current_executable_path())
                                              .extension()
                                              .string()))
            .string(),
        args);
    EXPECT_TRUE(probe.has_value());
    if (!probe) {
        return {};
    }
    EXPECT_EQ(probe->wait(), 0);
    std::ifstream in(out, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class InitialisationTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
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
