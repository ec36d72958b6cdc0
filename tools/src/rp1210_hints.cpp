// What the tool adds to a failed connect: the library answers with a code and a fixed text,
// which names neither the INI file it looked for, nor the bit rates a protocol string may
// take, nor the channels a device has. The tool works these out with the library's own
// configuration reader and protocol-string parser.

#include "rp1210_hints.hpp"

#include <filesystem>

#include <fmt/format.h>

#include "config_reader.hpp"
#include "platform/paths.hpp"
#include "protocol_string.hpp"

namespace tools::rp1210 {

namespace {

namespace fs = std::filesystem;

constexpr int kErrDllNotInitialized = 128;
constexpr int kErrInvalidDevice = 134;
constexpr int kErrInvalidProtocol = 136;
constexpr int kErrCanBaudSetNonstandard = 454;
constexpr int kErrJ1939BaudSetNonstandard = 457;

// "ostrel_qz121032.ini in /work (not there)": one place the library looks, and what it
// finds there.
std::string ini_place(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        return fmt::format("{} (not there)", file.string());
    }
    qz121032::IniSettings settings;
    if (const auto failure = qz121032::load_ini_file(file.string(), settings)) {
        return fmt::format("{} ({})", file.string(), *failure);
    }
    return fmt::format("{} (loads)", file.string());
}

// The settings the library would load, or nullopt.
std::optional<qz121032::IniSettings> loaded_ini() {
    qz121032::IniSettings settings;
    if (qz121032::load_ini_file(qz121032::find_ini_path(), settings)) {
        return std::nullopt;
    }
    return settings;
}

std::vector<std::string> device_hints(const Connection& c) {
    const auto settings = loaded_ini();
    if (!settings) {
        return {ini_search_text()};
    }
    const auto device = settings->devices.find(c.device);
    if (device == settings->devices.end()) {
        std::string ids;
        for (const auto& [id, info] : settings->devices) {
            ids += (ids.empty() ? "" : ", ") + std::to_string(id);
        }
        return {fmt::format("device {} is not in {} (its devices: {}; rp1210 devices lists them)",
                            c.device, settings->path, ids)};
    }
    const auto selection = qz121032::resolve_device_params(device->second);
    if (!selection) {
        return {fmt::format("device {}: DeviceParams \"{}\" in {}: {}", c.device,
                            device->second.device_params, settings->path, selection.error())};
    }
    const auto params = qz121032::parse_protocol_string(c.protocol);
    if (!params) {
        return {};
    }
    const std::uint32_t channel = params->channel.value_or(1);
    if (selection->fixed_channel) {
        if (channel != 1) {
            return {
                fmt::format("device {} stands for one fixed channel: leave Channel= out or "
                            "write Channel=1",
                            c.device)};
        }
    } else {
        const std::uint32_t count =
            params->is_can ? selection->can_channel_count : selection->j1939_channel_count;
        const char* key = params->is_can ? "MultiCANChannels" : "MultiJ1939Channels";
        if (count == 0) {
            return {fmt::format("device {} has no {} channel ({} in {})", c.device,
                                params->is_can ? "CAN" : "J1939", key, settings->path)};
        }
        if (channel == 0 || channel > count) {
            return {fmt::format("device {} has {} {} channel{} ({} in {}): Channel= takes 1{}",
                                c.device, count, params->is_can ? "CAN" : "J1939",
                                count == 1 ? "" : "s", key, settings->path,
                                count == 1 ? "" : fmt::format(" to {}", count))};
        }
    }
    return {
        fmt::format("the CAN driver does not report device {}'s channel (rp1210 devices lists "
                    "the channels it reports)",
                    c.device)};
}

}  // namespace

std::string ini_search_text() {
    std::error_code ec;
    const fs::path here = fs::current_path(ec);
    return fmt::format(
        "the library reads {}, else {}; examples/ostrel_qz121032.ini describes the simulated "
        "interface (docs/ini.md)",
        ini_place(here / qz121032::kCurrentDirectoryIniName),
        ini_place(fs::path(platform::windows_directory()) / qz121032::kWindowsDirectoryIniName));
}

std::string protocol_keys_text() {
    return "a protocol string is CAN or J1939, optionally followed by :KEY=VALUE,...: Baud=125, "
           "250, 500 or 1000 (kbit/s), 1001 to 1000000 (bit/s) or Auto (detected on the bus; "
           "250 when Baud is not given), Channel=N (from 1); a timing of its own: "
           "SampleLocation=50 to 95 with SJW=1 to 4, or PROP_SEG, PHASE_SEG1, PHASE_SEG2 (1 to "
           "8) with SJW, or TSEG1 (2 to 15), TSEG2 (0 to 7), SampleTimes (1 or 3) with SJW; "
           "IDSize=11, 29 or B with a timing";
}

std::vector<std::string> connect_hints(int code, const Connection& c) {
    switch (code) {
        case kErrDllNotInitialized:
            return {ini_search_text()};
        case kErrInvalidProtocol: {
            std::vector<std::string> hints;
            if (const auto params = qz121032::parse_protocol_string(c.protocol); !params) {
                hints.push_back(fmt::format("\"{}\": {}", shortened(c.protocol), params.error()));
            }
            hints.push_back(protocol_keys_text());
            return hints;
        }
        case kErrInvalidDevice:
            return device_hints(c);
        case kErrCanBaudSetNonstandard:
        case kErrJ1939BaudSetNonstandard:
            return {
                "another client on this channel (of this or another program) runs at "
                "another bit timing: use its Baud=, or Baud=Auto"};
        default:
            return {};
    }
}

}  // namespace tools::rp1210
