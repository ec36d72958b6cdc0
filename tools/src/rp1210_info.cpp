// rp1210 version, errors, connect, info and devices.

#include <cstdio>
#include <string>

#include <fmt/format.h>

#include "config_reader.hpp"
#include "rp1210_commands.hpp"
#include "rp1210_hints.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnlib/driver_api.h"
#include "tarnlib/driver_library.hpp"
#include "tarnlib/status.hpp"
#include "tools/rp1210_messages.hpp"

namespace tools::rp1210 {

namespace {

void print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

std::string join(const auto& values) {
    std::string text;
    for (const auto& v : values) {
        text += (text.empty() ? "" : ",") + fmt::format("{}", v);
    }
    return text;
}

// The channels a device stands for, the way the library chooses them at connect time: the
// first channel matching the device's EAN and serial number and the channel number (the
// fixed one, or the protocol string's, counted from 1).
void print_device_channels(const qz121032::DeviceInfo& device,
                           tarnlib::ChannelDirectory& directory) {
    auto selection = qz121032::resolve_device_params(device);
    if (!selection) {
        print(fmt::format("      not usable: {}\n", selection.error()));
        return;
    }
    auto show = [&](std::string_view label, std::uint32_t channel_on_interface) {
        tarnlib::ChannelSelector selector;
        selector.ean = selection->ean;
        selector.serial = selection->serial_number;
        selector.channel = channel_on_interface;
        const auto found = directory.find(selector);
        if (found.empty()) {
            print(fmt::format("      {}: no such channel connected\n", label));
            return;
        }
        const auto number = directory.channel_number(found.front());
        print(fmt::format("      {}: {} (driver channel {})\n", label,
                          tarnlib::to_string(found.front()),
                          number ? std::to_string(*number) : std::string("?")));
    };
    if (selection->fixed_channel) {
        show("channel", *selection->fixed_channel);
        return;
    }
    const std::uint32_t count =
        std::max(selection->can_channel_count, selection->j1939_channel_count);
    for (std::uint32_t i = 0; i < count; ++i) {
        show(fmt::format("Channel={}", i + 1), i);
    }
}

}  // namespace

int run_version(const Api& api, const std::string& library) {
    char v[4] = {};
    api.ReadVersion(&v[0], &v[1], &v[2], &v[3]);
    std::printf("library %s\nDLL version %c.%c, API version %c.%c\n", library.c_str(), v[0], v[1],
                v[2], v[3]);
    return kExitOk;
}

int run_errors(const Api& api, const ErrorsCommand& command) {
    if (command.codes.empty()) {
        for (int code = 128; code <= 32767; ++code) {
            char text[80] = {};
            if (api.GetErrorMsg(static_cast<short>(code), text) == 0) {
                std::printf("%d: %s\n", code, text);
            }
        }
        return kExitOk;
    }
    int status = kExitOk;
    for (int code : command.codes) {
        char text[80] = {};
        const short result = api.GetErrorMsg(static_cast<short>(code), text);
        if (result == 0) {
            std::printf("%d: %s\n", code, text);
        } else {
            report_error(api, fmt::format("RP1210_GetErrorMsg({})", code), result);
            status = kExitFailure;
        }
    }
    return status;
}

int run_connect(const Api& api, const ConnectCommand& command) {
    auto client = Client::connect(api, command.connection);
    if (!client) {
        return kExitFailure;
    }
    std::printf("connected: client %d\n", client->id());
    return kExitOk;
}

int run_info(const Api& api, const InfoCommand& command) {
    auto client = Client::connect(api, command.connection);
    if (!client || !client->wait_until_ready(command.connection.wait_seconds)) {
        return kExitFailure;
    }
    print(fmt::format("client {} on device {}, protocol {}\n", client->id(),
                      command.connection.device, command.connection.protocol));

    char v[4] = {};
    api.ReadVersion(&v[0], &v[1], &v[2], &v[3]);
    print(fmt::format("RP1210_ReadVersion: DLL {}.{}, API {}.{}\n", v[0], v[1], v[2], v[3]));

    char api_version[17] = {};
    char dll_version[17] = {};
    char firmware[17] = {};
    if (const short r = api.ReadDetailedVersion(client->id(), api_version, dll_version, firmware);
        r != 0) {
        report_error(api, "RP1210_ReadDetailedVersion", r);
        return kExitFailure;
    }
    print(fmt::format("RP1210_ReadDetailedVersion: API {}, DLL {}, firmware {}\n", api_version,
                      dll_version, firmware));

    const auto status = client->hardware_status();
    if (!status) {
        return kExitFailure;
    }
    std::string bytes;
    for (std::size_t i = 0; i < 8; ++i) {
        bytes += fmt::format("{}{:02X}", i == 0 ? "" : " ", (*status)[i]);
    }
    const HardwareStatusRecord record = decode_hardware_status(*status);
    print(fmt::format("RP1210_GetHardwareStatus: {} ...\n", bytes));
    print(fmt::format("  interface: {}\n", interface_kind_text(record.interface_kind)));
    print(fmt::format("  clients on the channel: {} (CAN {}, J1939 {})\n", record.clients,
                      record.can_clients, record.j1939_clients));
    if (record.can) {
        print(fmt::format("  CAN: {}\n", protocol_status_text(*record.can)));
    }
    if (record.j1939) {
        print(fmt::format("  J1939: {}\n", protocol_status_text(*record.j1939)));
    }

    const auto speed = client->connection_speed();
    if (!speed) {
        return kExitFailure;
    }
    print(fmt::format("Get_Protocol_Connection_Speed: {} bit/s\n", *speed));
    return kExitOk;
}

int run_devices() {
    int status = kExitOk;
    const std::string path = qz121032::find_ini_path();
    qz121032::IniSettings settings;
    print(fmt::format("INI file: {}\n", path));
    const auto failure = qz121032::load_ini_file(path, settings);
    tarnlib::ChannelDirectory& directory = tarnlib::ChannelDirectory::instance();
    const tarnlib::Status discovered = directory.discover();

    if (failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "rp1210: the library cannot load %s: %s\nrp1210: %s\n", path.c_str(),
                     failure->c_str(), ini_search_text().c_str());
        status = kExitFailure;
    } else {
        const qz121032::VendorInfo& vendor = *settings.vendor;
        print(fmt::format("vendor: RP1210{} {}, MessageString {}, ErrorString {}\n", vendor.rp1210,
                          vendor.version, vendor.message_string, vendor.error_string));
        print(fmt::format("  AutoDetectCapable {}, CANAutoBaud {}, debug level {}\n",
                          vendor.auto_detect_capable ? "yes" : "no",
                          vendor.can_auto_baud ? "yes" : "no", vendor.debug_level));
        print("devices:\n");
        for (const auto& [id, device] : settings.devices) {
            print(
                fmt::format("  {}  {} ({})\n", id, device.device_description, device.device_name));
            print(fmt::format("      DeviceParams {}; CAN channels {}, J1939 channels {}\n",
                              device.device_params, device.multi_can_channels,
                              device.multi_j1939_channels));
            if (discovered == tarnlib::Status::tarnOK) {
                print_device_channels(device, directory);
            }
        }
        print("protocols:\n");
        for (const auto& [id, protocol] : settings.protocols) {
            print(fmt::format("  {}  {}: {}; speeds {}; devices {}\n", id, protocol.protocol_string,
                              protocol.protocol_description, protocol.protocol_speed,
                              join(protocol.devices)));
        }
    }

    if (discovered != tarnlib::Status::tarnOK) {
        std::fflush(stdout);
        std::fprintf(stderr, "rp1210: the CAN driver cannot list its channels: %s\n",
                     tarnlib::status_name(static_cast<std::int32_t>(discovered)).c_str());
        return kExitFailure;
    }
    print("channels reported by the CAN driver:\n");
    const auto channels = directory.find({});
    if (channels.empty()) {
        print("  none\n");
    }
    for (const tarnlib::ChannelIdentity& identity : channels) {
        const auto number = directory.channel_number(identity);
        const std::string named = tarnlib::to_string(identity);
        print(
            fmt::format("  {}  {}\n", number ? std::to_string(*number) : std::string("?"), named));
        // Drivers that describe their channels (the SocketCAN driver names the interface
        // and its device) get a second line, with the DeviceParams that select the channel.
        char description[256] = {};
        if (number &&
            tarnlib::DriverLibrary::instance().get_channel_data(
                *number, TARN_CHANNELDATA_DEVDESCR_ASCII, description, sizeof description) == 0) {
            const std::string ean = named.substr(0, named.find('/'));
            print(fmt::format("      {}; DeviceParams=EAN={},Serial={},Chan={}\n", description, ean,
                              identity.serial, identity.channel));
        }
    }
    return status;
}

}  // namespace tools::rp1210
