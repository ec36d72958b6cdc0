#include "config_reader.hpp"

#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "platform/paths.hpp"
#include "text_util.hpp"

namespace qz121032 {

namespace fs = std::filesystem;

std::string find_ini_path() {
    try {
        std::error_code ec;
        const fs::path local(kCurrentDirectoryIniName);
        if (fs::exists(local, ec)) {
            fs::path canonical = fs::canonical(local, ec);
            if (!ec) {
                return text::utf8_from_path(canonical);
            }
        }
    } catch (const std::exception&) {
        // A path that cannot be represented as text: use the Windows directory instead.
    }
    try {
        return text::utf8_from_path(fs::path(platform::windows_directory()) /
                                    kWindowsDirectoryIniName);
    } catch (const std::exception&) {
        return kWindowsDirectoryIniName;
    }
}

namespace {

// ---------------------------------------------------------------------------------------
// INI syntax

struct Section {
    std::string_view name;
    // In file order; the first occurrence of a key is the one that counts.
    std::vector<std::pair<std::string_view, std::string_view>> entries;

    std::optional<std::string_view> find(std::string_view key) const {
        for (const auto& [k, v] : entries) {
            if (k == key) {
                return v;
            }
        }
        return std::nullopt;
    }
};

bool is_comment_start(char c) {
    return c == ';' || c == '#';
}

std::string_view strip_quotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Splits the text into sections. Each line, after trimming, is blank, a comment (";" or
// "#" first), a section header "[name]" (optionally followed by a comment), or
// key "=" value / key ":" value with a non-empty key. Anything else, and NUL bytes (a
// UTF-16 file, binary data), break the syntax. Text after a value stays part of the
// value: "#" and ";" are ordinary characters there, as they are for the Windows profile
// functions through which applications read the same file.
bool parse_ini(std::string_view text, std::vector<Section>& sections) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    if (text.find('\0') != std::string_view::npos) {
        return false;
    }
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        line = text::trim_ascii(line);
        if (line.empty() || is_comment_start(line.front())) {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string_view::npos) {
                return false;
            }
            const std::string_view name = text::trim_ascii(line.substr(1, close - 1));
            const std::string_view rest = text::trim_ascii(line.substr(close + 1));
            if (name.empty() || name.find('[') != std::string_view::npos ||
                (!rest.empty() && !is_comment_start(rest.front()))) {
                return false;
            }
            sections.push_back(Section{name, {}});
            continue;
        }
        const std::size_t separator = line.find_first_of("=:");
        if (separator == std::string_view::npos) {
            return false;
        }
        const std::string_view key = text::trim_ascii(line.substr(0, separator));
        if (key.empty()) {
            return false;
        }
        // Key lines before the first section belong to no section and are ignored.
        if (!sections.empty()) {
            const std::string_view value = text::trim_ascii(line.substr(separator + 1));
            sections.back().entries.emplace_back(key, strip_quotes(value));
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Typed reading of the keys of one section. Each reader returns false after storing the
// message ("Missing KEY" or "Failed to parse KEY") in error().

class KeyReader {
  public:
    explicit KeyReader(const Section& section) : section_(section) {}

    const std::string& error() const { return error_; }

    bool text(const char* key, std::string& out) {
        const auto value = get(key);
        if (!value) {
            return false;
        }
        out.assign(value->data(), value->size());
        return true;
    }

    template <class T>
    bool number(const char* key, T& out) {
        const auto value = get(key);
        if (!value) {
            return false;
        }
        const auto parsed = text::parse_decimal<T>(*value);
        if (!parsed) {
            return parse_failure(key);
        }
        out = *parsed;
        return true;
    }

    // Comma-separated numbers; every piece, trimmed, must be a number.
    template <class T>
    bool list(const char* key, std::vector<T>& out) {
        const auto value = get(key);
        if (!value) {
            return false;
        }
        out.clear();
        std::string_view rest = *value;
        while (true) {
            const std::size_t comma = rest.find(',');
            const auto parsed = text::parse_decimal<T>(text::trim_ascii(rest.substr(0, comma)));
            if (!parsed) {
                out.clear();
                return parse_failure(key);
            }
            out.push_back(*parsed);
            if (comma == std::string_view::npos) {
                return true;
            }
            rest.remove_prefix(comma + 1);
        }
    }

    // True when the value, in any letter case, is `true_word`; any other value is false.
    bool flag(const char* key, std::string_view true_word, bool& out) {
        const auto value = get(key);
        if (!value) {
            return false;
        }
        out = text::equals_ignore_case(*value, true_word);
        return true;
    }

    // A signed decimal, or the word "debug" in any letter case, which stands for 1000.
    bool debug_level(const char* key, std::int32_t& out) {
        const auto value = get(key);
        if (!value) {
            return false;
        }
        if (text::equals_ignore_case(*value, "debug")) {
            out = 1000;
            return true;
        }
        return number(key, out);
    }

  private:
    std::optional<std::string_view> get(const char* key) {
        auto value = section_.find(key);
        if (!value) {
            error_ = std::string("Missing ") + key;
        }
        return value;
    }

    bool parse_failure(const char* key) {
        error_ = std::string("Failed to parse ") + key;
        return false;
    }

    const Section& section_;
    std::string error_;
};

std::optional<std::string> read_vendor(const Section& section, VendorInfo& v) {
    KeyReader r(section);
    if (!r.text("RP1210", v.rp1210)) {
        return r.error();
    }
    if (v.rp1210 != "C") {
        return "RP1210 version mismatch";
    }
    const bool ok = r.text("Version", v.version) && r.text("MessageString", v.message_string) &&
                    r.text("ErrorString", v.error_string) &&
                    r.number("TimestampWeight", v.timestamp_weight) &&
                    r.flag("AutoDetectCapable", "yes", v.auto_detect_capable) &&
                    r.debug_level("DebugLevel", v.debug_level) &&
                    (v.debug_level == -1 || (r.text("DebugFile", v.debug_file) &&
                                             r.number("DebugFileSize", v.debug_file_size) &&
                                             r.number("DebugMode", v.debug_mode))) &&
                    r.number("NumberOfRTSCTSSessions", v.number_of_rts_cts_sessions) &&
                    r.list("CANFormatsSupported", v.can_formats_supported) &&
                    r.list("J1939FormatsSupported", v.j1939_formats_supported) &&
                    r.number("J1939Addresses", v.j1939_addresses) &&
                    r.flag("CANAutoBaud", "true", v.can_auto_baud) &&
                    r.list("Devices", v.devices) && r.list("Protocols", v.protocols);
    if (!ok) {
        return r.error();
    }
    return std::nullopt;
}

std::optional<std::string> read_device(const Section& section, DeviceInfo& d) {
    KeyReader r(section);
    const bool ok =
        r.number("DeviceID", d.device_id) && r.text("DeviceDescription", d.device_description) &&
        r.text("DeviceName", d.device_name) && r.text("DeviceParams", d.device_params) &&
        r.number("MultiCANChannels", d.multi_can_channels) &&
        r.number("MultiJ1939Channels", d.multi_j1939_channels) &&
        r.number("MultiISO15765Channels", d.multi_iso15765_channels);
    if (!ok) {
        return r.error();
    }
    return std::nullopt;
}

std::optional<std::string> read_protocol(const Section& section, ProtocolInfo& p) {
    KeyReader r(section);
    const bool ok = r.text("ProtocolString", p.protocol_string) &&
                    r.text("ProtocolDescription", p.protocol_description) &&
                    r.text("ProtocolSpeed", p.protocol_speed) &&
                    r.text("ProtocolParams", p.protocol_params) && r.list("Devices", p.devices);
    if (!ok) {
        return r.error();
    }
    return std::nullopt;
}

// The number N of a section "<prefix>N": an unsigned decimal with an optional "+".
std::optional<std::uint32_t> section_number(std::string_view name, std::string_view prefix) {
    return text::parse_decimal<std::uint32_t>(name.substr(prefix.size()));
}

// The device map is keyed by the signed 32-bit device ID applications pass to
// RP1210_ClientConnect; DeviceID is read as unsigned 32-bit and stored bit for bit.
std::int32_t device_key(std::uint32_t id) {
    return static_cast<std::int32_t>(id);
}

std::optional<std::string> check_sections(const std::vector<Section>& sections, IniSettings& out) {
    constexpr std::string_view kDevicePrefix = "DeviceInformation";
    constexpr std::string_view kProtocolPrefix = "ProtocolInformation";
    for (const Section& section : sections) {
        if (section.name == "VendorInformation") {
            VendorInfo vendor;
            if (auto error = read_vendor(section, vendor)) {
                return error;
            }
            out.vendor = std::move(vendor);
        } else if (section.name.substr(0, kDevicePrefix.size()) == kDevicePrefix) {
            const auto n = section_number(section.name, kDevicePrefix);
            if (!n) {
                return "Invalid DeviceInformation section name";
            }
            DeviceInfo device;
            if (auto error = read_device(section, device)) {
                return error;
            }
            if (device.device_id != *n) {
                return "DeviceID does not match section ID";
            }
            if (!out.devices.emplace(device_key(*n), std::move(device)).second) {
                return "Duplicate DeviceInformation";
            }
        } else if (section.name.substr(0, kProtocolPrefix.size()) == kProtocolPrefix) {
            const auto n = section_number(section.name, kProtocolPrefix);
            if (!n) {
                return "Invalid ProtocolInformation section name";
            }
            ProtocolInfo protocol;
            if (auto error = read_protocol(section, protocol)) {
                return error;
            }
            if (!out.protocols.emplace(*n, std::move(protocol)).second) {
                return "Duplicate ProtocolInformation";
            }
        }
    }

    if (!out.vendor) {
        return "VendorInformation section not found";
    }
    if (out.devices.empty()) {
        return "No DeviceInformation sections found";
    }
    for (std::uint32_t id : out.vendor->devices) {
        if (out.devices.count(device_key(id)) == 0) {
            return "Device ID in vendor info not found in DeviceInformation sections";
        }
    }
    if (out.protocols.empty()) {
        return "No ProtocolInformation sections found";
    }
    for (std::uint32_t id : out.vendor->protocols) {
        if (out.protocols.count(id) == 0) {
            return "Protocol ID in vendor info not found in ProtocolInformation sections";
        }
    }
    return std::nullopt;
}

std::optional<std::string> read_file(const std::string& path, std::string& content) {
    try {
        std::ifstream in(text::path_from_utf8(path), std::ios::binary);
        if (!in) {
            return "Failed to read INI file";
        }
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) {
            return "Failed to read INI file";
        }
    } catch (const std::exception&) {
        // A path that cannot be converted, or a read error reported as an exception.
        return "Failed to read INI file";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> load_ini_text(std::string_view text, IniSettings& settings) {
    IniSettings loaded;
    loaded.path = std::move(settings.path);
    settings = IniSettings{};
    settings.path = loaded.path;
    std::vector<Section> sections;
    if (!parse_ini(text, sections)) {
        return "Failed to parse INI file";
    }
    if (auto error = check_sections(sections, loaded)) {
        return error;
    }
    loaded.valid = true;
    settings = std::move(loaded);
    return std::nullopt;
}

std::optional<std::string> load_ini_file(const std::string& path, IniSettings& settings) {
    settings = IniSettings{};
    settings.path = path;
    std::string content;
    if (auto error = read_file(path, content)) {
        return error;
    }
    return load_ini_text(content, settings);
}

// ---------------------------------------------------------------------------------------
// DeviceParams

namespace {

using SelectionResult = platform::Expected<DeviceSelection, std::string>;

SelectionResult reject(const char* message) {
    return platform::unexpected(std::string(message));
}

}  // namespace

SelectionResult resolve_device_params(const DeviceInfo& device) {
    std::string_view params = text::trim_ascii(device.device_params);
    if (params.empty()) {
        return reject("Empty device parameters");
    }
    DeviceSelection selection;
    while (true) {
        const std::size_t comma = params.find(',');
        const std::string_view piece = text::trim_ascii(params.substr(0, comma));
        if (!piece.empty()) {
            const std::size_t equals = piece.find('=');
            if (equals == std::string_view::npos) {
                return reject("Invalid device parameter format (expected KEY=VALUE)");
            }
            const std::string_view key = text::trim_ascii(piece.substr(0, equals));
            const std::string_view value = text::trim_ascii(piece.substr(equals + 1));
            if (value.empty()) {
                return reject("Empty parameter value");
            }
            if (text::equals_ignore_case(key, "EAN")) {
                std::uint64_t packed = 0;
                int digits = 0;
                for (char c : value) {
                    if (c == '-') {
                        continue;
                    }
                    if (c < '0' || c > '9') {
                        return reject("EAN must contain only digits and dashes");
                    }
                    if (++digits > 16) {
                        return reject("EAN value too large");
                    }
                    packed = (packed << 4) | static_cast<std::uint64_t>(c - '0');
                }
                if (digits == 0) {
                    return reject("EAN cannot be empty");
                }
                selection.ean = packed;
            } else if (text::equals_ignore_case(key, "Chan") ||
                       text::equals_ignore_case(key, "Channel")) {
                selection.fixed_channel = text::parse_decimal<std::uint32_t>(value);
                if (!selection.fixed_channel) {
                    return reject("Invalid channel value");
                }
            } else if (text::equals_ignore_case(key, "Serial")) {
                selection.serial_number = text::parse_decimal<std::uint32_t>(value);
                if (!selection.serial_number) {
                    return reject("Invalid Serial value");
                }
            }
        }
        if (comma == std::string_view::npos) {
            break;
        }
        params.remove_prefix(comma + 1);
    }

    if (selection.fixed_channel) {
        if (device.multi_can_channels > 1 || device.multi_j1939_channels > 1) {
            return reject("Device with fixed Chan must not have more than 1 channel");
        }
    } else if (!selection.ean && !selection.serial_number) {
        return reject("Device parameters must specify at least Chan, EAN, or Serial");
    }
    selection.can_channel_count = device.multi_can_channels;
    selection.j1939_channel_count = device.multi_j1939_channels;
    return selection;
}

}  // namespace qz121032
