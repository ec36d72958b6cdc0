#include "config.hpp"

#include <charconv>
#include <fstream>
#include <sstream>

namespace tarnsim {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<std::uint64_t> parse_number(std::string_view s) {
    s = trim(s);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) {
        return std::nullopt;
    }
    return value;
}

// An EAN as 13 digits with optional dashes ("73-30130-12345-6"), or a hexadecimal
// packed-decimal value ("0x7330130123456").
std::optional<std::uint64_t> parse_ean(std::string_view s) {
    s = trim(s);
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        return parse_number(s);
    }
    std::uint64_t packed = 0;
    int digits = 0;
    for (char c : s) {
        if (c == '-') {
            continue;
        }
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        packed = (packed << 4) | static_cast<std::uint64_t>(c - '0');
        ++digits;
    }
    if (digits == 0 || digits > 16) {
        return std::nullopt;
    }
    return packed;
}

// "major.minor.build".
std::optional<std::uint64_t> parse_firmware(std::string_view s) {
    std::uint64_t parts[3] = {0, 0, 0};
    int n = 0;
    s = trim(s);
    while (n < 3) {
        const std::size_t dot = s.find('.');
        auto part = parse_number(s.substr(0, dot));
        if (!part || *part > 0xFFFF) {
            return std::nullopt;
        }
        parts[n++] = *part;
        if (dot == std::string_view::npos) {
            break;
        }
        s.remove_prefix(dot + 1);
    }
    return (parts[0] << 48) | (parts[1] << 32) | parts[2];
}

std::optional<bool> parse_bool(std::string_view s) {
    s = trim(s);
    if (s == "1" || s == "yes" || s == "true" || s == "on") {
        return true;
    }
    if (s == "0" || s == "no" || s == "false" || s == "off") {
        return false;
    }
    return std::nullopt;
}

bool valid_instance(std::string_view s) {
    if (s.empty() || s.size() > 64) {
        return false;
    }
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// "0:0, 0:1": interface:channel pairs.
std::optional<std::vector<ChannelRef>> parse_members(std::string_view s) {
    std::vector<ChannelRef> members;
    while (!trim(s).empty()) {
        const std::size_t comma = s.find(',');
        std::string_view item = trim(s.substr(0, comma));
        const std::size_t colon = item.find(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        auto iface = parse_number(item.substr(0, colon));
        auto channel = parse_number(item.substr(colon + 1));
        if (!iface || !channel) {
            return std::nullopt;
        }
        members.push_back(
            {static_cast<std::uint32_t>(*iface), static_cast<std::uint32_t>(*channel)});
        if (comma == std::string_view::npos) {
            break;
        }
        s.remove_prefix(comma + 1);
    }
    return members;
}

}  // namespace

Config default_config() {
    Config config;
    config.interfaces.push_back(InterfaceConfig{});
    config.buses.push_back(BusConfig{{{0, 0}, {0, 1}}, false});
    return config;
}

ParseResult parse_config(std::string_view text) {
    Config config;
    enum class Section { Top, Interface, Bus } section = Section::Top;
    int line_number = 0;
    auto fail = [&](const std::string& what) {
        return ParseResult{std::nullopt, "line " + std::to_string(line_number) + ": " + what};
    };
    while (!text.empty()) {
        ++line_number;
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        const std::size_t hash = line.find('#');
        line = trim(line.substr(0, hash));
        if (line.empty()) {
            continue;
        }
        if (line == "[interface]") {
            if (config.interfaces.size() == kMaxInterfaces) {
                return fail("too many interfaces");
            }
            config.interfaces.push_back(InterfaceConfig{});
            config.interfaces.back().card =
                static_cast<std::uint32_t>(config.interfaces.size() - 1);
            section = Section::Interface;
            continue;
        }
        if (line == "[bus]") {
            if (config.buses.size() == kMaxBuses) {
                return fail("too many buses");
            }
            config.buses.push_back(BusConfig{});
            section = Section::Bus;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            return fail("expected key = value");
        }
        const std::string_view key = trim(line.substr(0, eq));
        const std::string_view value = trim(line.substr(eq + 1));
        if (section == Section::Top) {
            if (key != "instance" || !valid_instance(value)) {
                return fail("expected instance = <letters, digits, - _ .>");
            }
            config.instance = std::string(value);
        } else if (section == Section::Interface) {
            InterfaceConfig& i = config.interfaces.back();
            std::optional<std::uint64_t> n;
            std::optional<bool> b;
            if (key == "ean" && (n = parse_ean(value))) {
                i.ean = *n;
            } else if (key == "serial" && (n = parse_number(value))) {
                i.serial = *n;
            } else if (key == "card" && (n = parse_number(value)) && *n <= 0xFFFFFFFFu) {
                i.card = static_cast<std::uint32_t>(*n);
            } else if (key == "channels" && (n = parse_number(value)) && *n >= 1 &&
                       *n <= kMaxChannelsPerInterface) {
                i.channels = static_cast<std::uint32_t>(*n);
            } else if (key == "firmware" && (n = parse_firmware(value))) {
                i.firmware = *n;
            } else if (key == "bus_type" && (n = parse_number(value)) && *n <= 0xFFFFFFFFu) {
                i.bus_type = static_cast<std::uint32_t>(*n);
            } else if (key == "clock" && (n = parse_number(value)) && *n > 0 && *n <= 0x7FFFFFFFu) {
                i.clock_hz = static_cast<std::uint32_t>(*n);
            } else if (key == "legacy_bus_params" && (b = parse_bool(value))) {
                i.capabilities = *b ? 1u : 0u;
            } else if (key == "bus_param_limits" && (b = parse_bool(value))) {
                i.bus_param_limits = *b;
            } else if (key == "fd" && (b = parse_bool(value))) {
                i.fd = *b;
            } else {
                return fail("bad interface setting");
            }
        } else {
            BusConfig& bus = config.buses.back();
            std::optional<bool> b;
            if (key == "channels") {
                auto members = parse_members(value);
                if (!members) {
                    return fail("expected channels = interface:channel, ...");
                }
                bus.members = std::move(*members);
            } else if (key == "foreign_ack" && (b = parse_bool(value))) {
                bus.foreign_ack = *b;
            } else {
                return fail("bad bus setting");
            }
        }
    }
    // Every member must exist and belong to one bus only.
    std::vector<int> owner(kMaxInterfaces * kMaxChannelsPerInterface, -1);
    for (std::size_t b = 0; b < config.buses.size(); ++b) {
        for (const ChannelRef& m : config.buses[b].members) {
            if (m.interface_index >= config.interfaces.size() ||
                m.channel >= config.interfaces[m.interface_index].channels) {
                return {std::nullopt, "bus " + std::to_string(b) + " names a missing channel"};
            }
            int& o = owner[m.interface_index * kMaxChannelsPerInterface + m.channel];
            if (o >= 0) {
                return {std::nullopt, "a channel is wired to two buses"};
            }
            o = static_cast<int>(b);
        }
    }
    return {std::move(config), {}};
}

ParseResult load_config_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {std::nullopt, "cannot read " + path};
    }
    std::ostringstream text;
    text << in.rdbuf();
    ParseResult result = parse_config(text.str());
    if (!result.config) {
        result.error = path + ": " + result.error;
    }
    return result;
}

}  // namespace tarnsim
