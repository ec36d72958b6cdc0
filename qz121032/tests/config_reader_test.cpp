// INI file: location, syntax, the section checks with their messages, and DeviceParams.

#include "config_reader.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "platform/paths.hpp"
#include "temp_dir.hpp"

namespace qz121032 {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// A complete, valid file; the tests edit it as text.
const std::string kIni = R"([VendorInformation]
Name=Ostrel
RP1210=C
Version=3.0
MessageString=Msg
ErrorString=Err
TimestampWeight=1000
AutoDetectCapable=Yes
DebugLevel=0
DebugFile=C:\Temp\new\qz.log
DebugFileSize=1024
DebugMode=1
NumberOfRTSCTSSessions=7
CANFormatsSupported=4,5
J1939FormatsSupported=1,2
J1939Addresses=254
CANAutoBaud=TRUE
Devices=1,2
Protocols=1,2
[DeviceInformation1]
DeviceID=1
DeviceDescription=Channel 1
DeviceName=Ostrel CAN
DeviceParams=Serial=10001,Chan=0
MultiCANChannels=1
MultiJ1939Channels=1
MultiISO15765Channels=0
[DeviceInformation2]
DeviceID=2
DeviceDescription=Channel 2
DeviceName=Ostrel CAN 2
DeviceParams=Serial=10001,Chan=1
MultiCANChannels=1
MultiJ1939Channels=2
MultiISO15765Channels=3
[ProtocolInformation1]
ProtocolString=CAN
ProtocolDescription=CAN network
ProtocolSpeed=250,500
ProtocolParams=
Devices=1,2
[ProtocolInformation2]
ProtocolString=J1939
ProtocolDescription=J1939 network
ProtocolSpeed=250
ProtocolParams=p
Devices=2
)";

// kIni with the first occurrence of `from` replaced by `to`.
std::string edited(const std::string& from, const std::string& to) {
    std::string text = kIni;
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(ConfigReaderTest, LoadsEveryKeyOfAValidFile) {
    TempDir dir;
    const std::string path = dir.write("qz121032.ini", kIni);
    IniSettings s;
    ASSERT_EQ(load_ini_file(path, s), std::nullopt);
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.path, path);
    ASSERT_TRUE(s.vendor);
    const VendorInfo& v = *s.vendor;
    EXPECT_EQ(std::vector<std::string>(
                  {v.rp1210, v.version, v.message_string, v.error_string, v.debug_file}),
              std::vector<std::string>({"C", "3.0", "Msg", "Err", R"(C:\Temp\new\qz.log)"}));
    EXPECT_EQ(std::vector<std::uint32_t>({v.timestamp_weight, v.debug_file_size, v.debug_mode,
                                          v.number_of_rts_cts_sessions, v.j1939_addresses}),
              std::vector<std::uint32_t>({1000, 1024, 1, 7, 254}));
    EXPECT_EQ(v.debug_level, 0);
    EXPECT_TRUE(v.auto_detect_capable && v.can_auto_baud);
    EXPECT_EQ(v.can_formats_supported, (std::vector<std::uint8_t>{4, 5}));
    EXPECT_EQ(v.j1939_formats_supported, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(v.devices, (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(v.protocols, (std::vector<std::uint32_t>{1, 2}));

    const DeviceInfo& d = s.devices.at(2);
    EXPECT_EQ(std::vector<std::string>({d.device_description, d.device_name, d.device_params}),
              std::vector<std::string>({"Channel 2", "Ostrel CAN 2", "Serial=10001,Chan=1"}));
    EXPECT_EQ(std::vector<std::uint32_t>({d.device_id, d.multi_can_channels, d.multi_j1939_channels,
                                          d.multi_iso15765_channels}),
              std::vector<std::uint32_t>({2, 1, 2, 3}));
    const ProtocolInfo& p = s.protocols.at(2);
    EXPECT_EQ(std::vector<std::string>(
                  {p.protocol_string, p.protocol_description, p.protocol_speed, p.protocol_params}),
              std::vector<std::string>({"J1939", "J1939 network", "250", "p"}));
    EXPECT_EQ(p.devices, (std::vector<std::uint32_t>{2}));
}

TEST(ConfigReaderTest, ShippedExampleLoadsAndResolves) {
    const fs::path path =
        fs::path(platform::current_executable_path()).parent_path() / "example_ostrel_qz121032.ini";
    IniSettings settings;
    ASSERT_EQ(load_ini_file(path.string(), settings), std::nullopt);
    ASSERT_EQ(settings.devices.size(), 3u);
    const auto channel2 = resolve_device_params(settings.devices.at(2));
    ASSERT_TRUE(channel2.has_value()) << channel2.error();
    EXPECT_EQ(channel2->ean, 0x7330130123456u);  // 73-30130-12345-6
    EXPECT_EQ(channel2->fixed_channel, 1u);
    const auto both = resolve_device_params(settings.devices.at(3));
    ASSERT_TRUE(both.has_value()) << both.error();
    EXPECT_EQ(both->serial_number, 10001u);
    EXPECT_EQ(both->can_channel_count, 2u);
}

TEST(ConfigReaderTest, UnreadableFileAndFailedLoadLeaveNothingBehind) {
    TempDir dir;
    IniSettings s;
    EXPECT_EQ(load_ini_file((dir / "missing.ini").string(), s), "Failed to read INI file");
    EXPECT_EQ(load_ini_file(dir.path().string(), s), "Failed to read INI file");
    ASSERT_EQ(load_ini_text(kIni, s), std::nullopt);
    // Vendor and first device are fine; the failure comes later.
    EXPECT_EQ(load_ini_text(edited("DeviceID=2", "DeviceID=3"), s),
              "DeviceID does not match section ID");
    EXPECT_FALSE(s.valid || s.vendor || !s.devices.empty() || !s.protocols.empty());
}

// One edit of kIni and its outcome; for a successful load, the expected Version value.
struct EditCase {
    std::string from;
    std::string to;
    std::optional<std::string> error;
    std::optional<std::string> version = {};
};

TEST(ConfigReaderTest, SyntaxValuesAndSectionChecks) {
    const std::string parse = "Failed to parse INI file";
    const std::string later_vendor =
        edited("Version=3.0", "Version=2.0").substr(0, kIni.find("[DeviceInformation1]"));
    const std::vector<EditCase> cases = {
        // Syntax.
        {"[VendorInformation]", "\xEF\xBB\xBF[VendorInformation]", {}, "3.0"},
        {"Version=3.0\n", "Version=3.0\r\n", {}, "3.0"},
        {"Version=3.0", "Version: 3.0", {}, "3.0"},
        {"Version=3.0", " \tVersion  =  3.0 \t", {}, "3.0"},
        {"Version=3.0", "Version=3.0\nVersion=9.9", {}, "3.0"},  // first one counts
        {"Version=3.0", R"(Version=" 3.0 ")", {}, " 3.0 "},
        {"Version=3.0", "Version=\"3.0", {}, "\"3.0"},
        {"Version=3.0", R"(Version=C:\a=b:c)", {}, R"(C:\a=b:c)"},
        {"Version=3.0", "; c\n  # c\n\n\t\nVersion=3.0", {}, "3.0"},
        {"Version=3.0", "Version=3.0 ; old # x", {}, "3.0 ; old # x"},  // text after a value
        {"DebugLevel=0", "DebugLevel=0 ; off", "Failed to parse DebugLevel"},
        {"[VendorInformation]", "[ VendorInformation ] ; v", {}, "3.0"},
        {"[VendorInformation]", "RP1210=X\n[VendorInformation]", {}, "3.0"},
        {"[DeviceInformation1]", later_vendor + "[DeviceInformation1]", {}, "2.0"},
        {"[VendorInformation]", "[vendorinformation]", "VendorInformation section not found"},
        {"RP1210=C", "rp1210=C", "Missing RP1210"},
        {"Version=3.0", "Version 3.0", parse},
        {"Version=3.0", "=3.0", parse},
        {"[VendorInformation]", "[VendorInformation", parse},
        {"[VendorInformation]", "[VendorInformation] x", parse},
        {"[VendorInformation]", "[]\n[VendorInformation]", parse},
        {"Version=3.0", std::string("Version=3\0.0", 12), parse},  // NUL: a UTF-16 file
        // Vendor values.
        {"RP1210=C", "RP1210=c", "RP1210 version mismatch"},
        {"RP1210=C\nVersion=3.0", "RP1210=B", "RP1210 version mismatch"},  // before later keys
        {"DebugLevel=0\nDebugFile=C:\\Temp\\new\\qz.log\nDebugFileSize=1024\nDebugMode=1",
         "DebugLevel=-1\nDebugMode=x",
         {}},  // -1: the debug keys are not read
        {"DebugLevel=0\nDebugFile=C:\\Temp\\new\\qz.log", "DebugLevel=-2", "Missing DebugFile"},
        {"DebugLevel=0", "DebugLevel=verbose", "Failed to parse DebugLevel"},
        {"DebugLevel=0", "DebugLevel=2147483648", "Failed to parse DebugLevel"},
        {"TimestampWeight=1000", "TimestampWeight=4294967295", {}},
        {"TimestampWeight=1000", "TimestampWeight=4294967296", "Failed to parse TimestampWeight"},
        {"DebugFileSize=1024", "DebugFileSize=-1", "Failed to parse DebugFileSize"},
        {"DebugMode=1", "DebugMode=", "Failed to parse DebugMode"},
        {"=7", "=+", "Failed to parse NumberOfRTSCTSSessions"},
        {"DeviceID=1", "DeviceID=one", "Failed to parse DeviceID"},
        {"Devices=1,2\nP", "Devices= 1 ,\t2 \nP", {}},
        {"Devices=1,2\nP", "Devices=1, 2,\nP", "Failed to parse Devices"},
        {"Protocols=1,2", "Protocols=1,,2", "Failed to parse Protocols"},
        {"=4,5", "=4,256", "Failed to parse CANFormatsSupported"},
        {"Devices=2\n", "Devices=1;2\n", "Failed to parse Devices"},
        // Sections.
        {"[DeviceInformation2]", "[DeviceInformation]", "Invalid DeviceInformation section name"},
        {"[DeviceInformation2]", "[DeviceInformation-2]", "Invalid DeviceInformation section name"},
        {"[DeviceInformation2]", "[DeviceInformation2a]", "Invalid DeviceInformation section name"},
        {"[DeviceInformation2]", "[DeviceInformation+2]", {}},
        {"DeviceID=2", "DeviceID=3", "DeviceID does not match section ID"},
        {"DeviceID=2\nDeviceDescription=Channel 2", "DeviceID=3", "Missing DeviceDescription"},
        {"[DeviceInformation2]\nDeviceID=2", "[DeviceInformation+1]\nDeviceID=1",
         "Duplicate DeviceInformation"},
        {"[ProtocolInformation2]", "[ProtocolInformation]",
         "Invalid ProtocolInformation section name"},
        {"[ProtocolInformation2]", "[ProtocolInformation1]", "Duplicate ProtocolInformation"},
        {"[DeviceInformation1]", "[Vendor]\nRP1210=X\n[Devices]\n[DeviceInformation1]", {}},
        // Checks after all sections, in their order.
        {"[VendorInformation]", "[Other]", "VendorInformation section not found"},
        {"[DeviceInformation1]", "[Other1]",
         "Device ID in vendor info not found in DeviceInformation sections"},
        {"Devices=1,2\nP", "Devices=2\nP", {}},
        {"[ProtocolInformation1]", "[Other1]",
         "Protocol ID in vendor info not found in ProtocolInformation sections"},
        {"Devices=2\n", "Devices=77\n", {}},  // protocol device lists are not cross-checked
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from + " -> " + c.to);
        IniSettings s;
        EXPECT_EQ(load_ini_text(edited(c.from, c.to), s), c.error);
        EXPECT_EQ(s.valid, !c.error);
        if (c.version) {
            EXPECT_EQ(s.vendor->version, *c.version);
        }
    }
    // Whole sections missing.
    const auto cut = [](const char* first, const char* end) {
        const auto a = kIni.find(first);
        return kIni.substr(0, a) + (end ? kIni.substr(kIni.find(end)) : std::string());
    };
    IniSettings s;
    EXPECT_EQ(load_ini_text(cut("[DeviceInformation1]", "[ProtocolInformation1]"), s),
              "No DeviceInformation sections found");
    EXPECT_EQ(load_ini_text(cut("[ProtocolInformation1]", nullptr), s),
              "No ProtocolInformation sections found");
    EXPECT_EQ(load_ini_text("", s), "VendorInformation section not found");
}

TEST(ConfigReaderTest, EveryRequiredKeyIsReportedMissingInTableOrder) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> required = {
        {"[VendorInformation]",
         {"RP1210", "Version", "MessageString", "ErrorString", "TimestampWeight",
          "AutoDetectCapable", "DebugLevel", "DebugFile", "DebugFileSize", "DebugMode",
          "NumberOfRTSCTSSessions", "CANFormatsSupported", "J1939FormatsSupported",
          "J1939Addresses", "CANAutoBaud", "Devices", "Protocols"}},
        {"[DeviceInformation1]",
         {"DeviceID", "DeviceDescription", "DeviceName", "DeviceParams", "MultiCANChannels",
          "MultiJ1939Channels", "MultiISO15765Channels"}},
        {"[ProtocolInformation1]",
         {"ProtocolString", "ProtocolDescription", "ProtocolSpeed", "ProtocolParams", "Devices"}},
    };
    for (const auto& [section, keys] : required) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            SCOPED_TRACE(section + keys[i]);
            // Remove this key and every later one of the section.
            std::string text = kIni;
            for (std::size_t j = i; j < keys.size(); ++j) {
                const auto at = text.find("\n" + keys[j] + "=", text.find(section));
                text.erase(at + 1, text.find('\n', at + 1) - at);
            }
            IniSettings s;
            EXPECT_EQ(load_ini_text(text, s), "Missing " + keys[i]);
        }
    }
}

TEST(ConfigReaderTest, IniInCurrentDirectoryWinsOverWindowsDirectory) {
    TempDir dir;
    const fs::path saved = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(find_ini_path(), (fs::path(platform::windows_directory()) / "qz121032.ini").string());
    dir.write("ostrel_qz121032.ini", "");
    EXPECT_EQ(find_ini_path(), fs::canonical(dir / "ostrel_qz121032.ini").string());
    fs::current_path(saved);
}

struct ParamsCase {
    const char* params;
    std::uint32_t can_channels;
    std::uint32_t j1939_channels;
    std::variant<DeviceSelection, std::string> expected;
};

TEST(ConfigReaderTest, ResolvesDeviceParams) {
    const std::string chan_error = "Device with fixed Chan must not have more than 1 channel";
    const auto sel = [](std::optional<std::uint64_t> ean, std::optional<std::uint32_t> chan,
                        std::optional<std::uint32_t> serial, std::uint32_t can = 1,
                        std::uint32_t j1939 = 1) {
        return DeviceSelection{ean, chan, serial, can, j1939};
    };
    const std::vector<ParamsCase> cases = {
        {"EAN=12-345-6,Serial=12345", 1, 1, sel(0x123456, {}, 12345)},
        {"EAN=73-30130-00000-1,Chan=0", 1, 1, sel(0x7330130000001, 0, {})},
        {" ean = 9999999999999999 , ,CHANNEL=2,", 0, 0, sel(0x9999999999999999, 2, {}, 0, 0)},
        {"Serial=1,Unknown=x,serial=+2", 2, 3, sel({}, {}, 2, 2, 3)},
        {"Chan=0", 2, 1, chan_error},
        {"Chan=0", 1, 2, chan_error},
        {"Foo=1", 1, 1, "Device parameters must specify at least Chan, EAN, or Serial"},
        {" \t", 1, 1, "Empty device parameters"},
        {"Serial=1,EAN", 1, 1, "Invalid device parameter format (expected KEY=VALUE)"},
        {"Foo= ", 1, 1, "Empty parameter value"},
        {"EAN=12 34", 1, 1, "EAN must contain only digits and dashes"},
        {"EAN=--", 1, 1, "EAN cannot be empty"},
        {"EAN=1234-5678-9012-34567", 1, 1, "EAN value too large"},
        {"Chan=-1", 1, 1, "Invalid channel value"},
        {"Channel=4294967296", 1, 1, "Invalid channel value"},
        {"Serial=x,Serial=1", 1, 1, "Invalid Serial value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        DeviceInfo device;
        device.device_params = c.params;
        device.multi_can_channels = c.can_channels;
        device.multi_j1939_channels = c.j1939_channels;
        const auto result = resolve_device_params(device);
        if (const auto* error = std::get_if<std::string>(&c.expected)) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), *error);
            continue;
        }
        ASSERT_TRUE(result.has_value()) << result.error();
        const auto& want = std::get<DeviceSelection>(c.expected);
        EXPECT_EQ(result->ean, want.ean);
        EXPECT_EQ(result->fixed_channel, want.fixed_channel);
        EXPECT_EQ(result->serial_number, want.serial_number);
        EXPECT_EQ(result->can_channel_count, want.can_channel_count);
        EXPECT_EQ(result->j1939_channel_count, want.j1939_channel_count);
    }
}

}  // namespace
}  // namespace qz121032
