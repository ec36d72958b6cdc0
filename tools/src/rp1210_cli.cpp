#include "tools/rp1210_cli.hpp"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "tools/options.hpp"

namespace tools::rp1210 {

namespace {

constexpr OptionDef kDevice{"device", 'd', "DEVICE",
                            "device ID from the INI file (rp1210 devices lists them)"};
constexpr OptionDef kProtocol{"protocol", 'p', "PROTOCOL",
                              "RP1210 protocol string: \"CAN\", \"CAN:Baud=500\",\n"
                              "\"CAN:Baud=Auto\" (the bit rate is detected on the bus),\n"
                              "\"J1939:Baud=250\", ..."};
constexpr OptionDef kWait{"wait", 0, "SECONDS",
                          "with Baud=Auto: how long to wait for the bit rate to be\n"
                          "detected (default 10)"};

const CommandDef kProgram{
    "rp1210",
    "[--library PATH] COMMAND [ARGS]",
    "Calls an RP1210 library the way an application does: loads it, connects clients,\n"
    "sends and reads raw CAN and J1939 messages. Run 'rp1210 COMMAND --help' for the\n"
    "options of a command.",
    {{"library", 0, "PATH",
      "the RP1210 library to load, by path or by file name (default:\n"
      "qz121032 beside this program, else the installed one found by\nname)"}},
    "commands:\n"
    "  devices     the vendor, devices and protocols of the INI file, and the channels\n"
    "  info        connect and print versions, hardware status and connection speed\n"
    "  dump        print every message a client receives (a bus monitor)\n"
    "  send        send a frame or J1939 message, once or periodically\n"
    "  selftest    loopback check between two devices on one bus\n"
    "  version     print RP1210_ReadVersion\n"
    "  errors      print RP1210_GetErrorMsg texts\n"
    "  connect     connect a client, print its ID or the error, disconnect\n"
    "\n"
    "Exit status: 0 success, 1 an RP1210 call or the library failed, 2 bad arguments."};

const CommandDef kVersion{
    "rp1210 version", "", "Prints the DLL and API versions of RP1210_ReadVersion.", {}, ""};

const CommandDef kErrors{"rp1210 errors",
                         "[CODE...]",
                         "Prints the RP1210_GetErrorMsg text of each code, or of every code the\n"
                         "library knows when none is given.",
                         {},
                         ""};

const CommandDef kConnect{"rp1210 connect",
                          "-d DEVICE -p PROTOCOL",
                          "Connects a client, prints its ID (or the error) and disconnects.",
                          {kDevice, kProtocol},
                          ""};

const CommandDef kDevices{
    "rp1210 devices",
    "",
    "Prints the INI file the library loads (ostrel_qz121032.ini in the current directory,\n"
    "else qz121032.ini in the Windows directory), its vendor, devices and protocols, the\n"
    "channels the CAN driver reports, and which channel each device stands for.",
    {},
    ""};

const CommandDef kInfo{
    "rp1210 info",
    "-d DEVICE -p PROTOCOL [options]",
    "Connects a client and prints RP1210_ReadVersion, RP1210_ReadDetailedVersion (with\n"
    "the interface's firmware), the decoded RP1210_GetHardwareStatus and the connection\n"
    "speed (Get_Protocol_Connection_Speed), then disconnects.",
    {kDevice, kProtocol, kWait},
    ""};

const CommandDef kDump{
    "rp1210 dump",
    "-d DEVICE -p PROTOCOL [options]",
    "Prints the messages on the bus, one line each. CAN: time stamp in seconds,\n"
    "identifier (3 hexadecimal digits standard, 8 extended), length, data.\n"
    "J1939: time stamp, priority, PGN, source -> destination, length, data. With -p J1939\n"
    "dump is a bus monitor: it reads the raw frames through a CAN client with the same\n"
    "bit rate and reassembles every transfer (BAM and RTS/CTS, between any nodes, the\n"
    "library's own included) into one line; aborted and timed-out transfers are shown as\n"
    "such. --client reads through a J1939 client instead, as an application does, and\n"
    "--claim lets that client hold an address, so that RTS/CTS transfers to it arrive.\n"
    "On a terminal a summary line shows messages per second, drops and the bus load.\n"
    "Ends after --count messages, after --seconds, or on Ctrl-C.",
    {kDevice,
     kProtocol,
     {"filter", 'f', "FILTERS",
      "receive only matching frames: ID:MASK passes the\n"
      "frames whose identifier AND MASK equals ID AND MASK,\n"
      "ID~MASK drops them (all filters of one kind); several\n"
      "separated by commas; 8-digit IDs are extended,\n"
      "shorter ones standard; may be repeated (CAN)",
      true},
     {"pgn", 0, "PGNS",
      "J1939: show only these PGNs (hexadecimal, several\n"
      "separated by commas; may be repeated)",
      true},
     {"source", 0, "ADDRS",
      "J1939: show only messages from these source addresses\n"
      "(hexadecimal, separated by commas; may be repeated)",
      true},
     {"count", 'n', "N", "stop after N messages"},
     {"seconds", 's', "S", "stop after S seconds (decimals allowed)"},
     {"echo", 'e', "",
      "echo on: the client's own transmitted frames come\nback, marked TX (CAN, J1939 with "
      "--client)"},
     {"tp", 0, "",
      "J1939 monitor: print the TP.CM and TP.DT frames too\n(--pgn selects them as EC00 and EB00)"},
     {"client", 0, "", "J1939: read through a J1939 client of the library"},
     {"claim", 0, "ADDR[:NAME]",
      "J1939: read through a J1939 client that claims the\n"
      "address (NAME as for send), so that RTS/CTS\n"
      "transfers to it arrive"},
     kWait},
    "Drops are receive-buffer overflows reported by the library (each loses the buffered\n"
    "messages). The bus load is worked out from the frames received (their exact bits)\n"
    "and the connection speed; the bus state (traffic, bus off) comes from\n"
    "RP1210_GetHardwareStatus. A protocol string without Baud= connects at 250 kbit/s.\n"
    "\n"
    "examples: rp1210 dump -d 1 -p CAN:Baud=Auto --filter 0CF00400:1FFFFFFF --count 10\n"
    "          rp1210 dump -d 1 -p J1939:Baud=500 --pgn FECA,F004 --source 0 --count 5\n"
    "          rp1210 dump -d 1 -p J1939:Baud=500 --tp --pgn FECA,EC00,EB00 --count 6"};

const CommandDef kSend{
    "rp1210 send",
    "-d DEVICE -p PROTOCOL MESSAGE [options]",
    "Sends a message once, --count times, or every --every milliseconds until Ctrl-C.\n"
    "CAN: the frame ID#DATA as cansend writes it (123#DEADBEEF, 18FEF100#F7.00.7D).\n"
    "J1939: PGN#DATA with 0 to 1785 data bytes (FECA#00FF00000000FFFF), sent from\n"
    "--source or the --claim address to --dest; more than 8 bytes go as a transfer and\n"
    "need --claim. Each message is confirmed by its echo before the client disconnects.\n"
    "With --every the library sends the message from the client's broadcast list\n"
    "(Set_Broadcast_For_CAN, Set_Broadcast_For_J1939) and the tool counts the echoes; it\n"
    "clears the list after --count confirmed messages, and a message the library had\n"
    "queued by then still goes out and is counted.",
    {kDevice,
     kProtocol,
     {"every", 'i', "MS", "send periodically, every MS milliseconds (1 to 65535)"},
     {"count", 'n', "N", "send N messages (default 1; with --every: until Ctrl-C)"},
     {"claim", 0, "ADDR[:NAME]",
      "J1939: claim the address first (Protect_J1939_Address),\n"
      "with the NAME (hexadecimal; default 8000000000000000\n"
      "plus the address)"},
     {"source", 0, "ADDR", "J1939: the source address (default: the claimed one)"},
     {"dest", 0, "ADDR", "J1939: the destination address (default FF, everyone)"},
     {"priority", 0, "P", "J1939: the priority, 0 to 7 (default 6)"},
     kWait},
    "A frame needs a node that acknowledges it (another node at the same bit rate): with\n"
    "none, send fails after 5 s. A transfer to one address needs a node holding it.\n"
    "\n"
    "examples: rp1210 send -d 1 -p CAN:Baud=500 18FEF100#F7.00.7D --count 5\n"
    "            (with a node that acknowledges: tarnsim-node listen --bitrate 500000 --seconds "
    "3)\n"
    "          rp1210 send -d 1 -p CAN:Baud=500 123#11223344 --every 100 --count 10\n"
    "            (with a node that acknowledges: tarnsim-node listen --bitrate 500000 --seconds "
    "3)\n"
    "          rp1210 send -d 1 -p J1939:Baud=500 --source F9 FECA#00FF00000000FFFF\n"
    "            (with a node that acknowledges: tarnsim-node listen --bitrate 500000 --seconds "
    "3)\n"
    "          rp1210 send -d 1 -p J1939:Baud=500 --claim 80 --dest 25 EF00#0102030405060708090A\n"
    "            (with a node holding 25: rp1210 dump -d 2 -p J1939:Baud=500 --claim 25 --pgn EF00 "
    "--count 1)"};

const CommandDef kSelftest{
    "rp1210 selftest",
    "-d DEVICE_A -e DEVICE_B -p PROTOCOL [options]",
    "A loopback check between two devices on one bus. CAN: frames from A to B and from B\n"
    "to A (lost and reordered counts, throughput as a fraction of the bus limit), then\n"
    "request and answer pairs for the round-trip latency (median, 99th percentile).\n"
    "J1939: A and B claim addresses A0 and A1, then send each other RTS/CTS transfers of\n"
    "9 to 1785 bytes both ways (lost and corrupted counts, each transfer's time as a\n"
    "multiple of its wire time: the bit time of its RTS, CTS, packets and EOMACK).",
    {{"device", 'd', "DEVICE_A", "the first device ID"},
     {"peer", 'e', "DEVICE_B", "the second device ID, on the same bus"},
     kProtocol,
     {"frames", 'n', "N", "CAN: frames in each direction (default 1000)"},
     {"pings", 0, "N", "CAN: round trips for the latency (default 200)"},
     {"transfers", 0, "N", "J1939: transfers in each direction (2 to 1000,\ndefault 8)"},
     kWait},
    "The bus limit and the wire times count the actual bits of the frames sent (their\n"
    "stuff bits included), as the bus carries them.\n"
    "\n"
    "examples: rp1210 selftest -d 1 -e 2 -p CAN:Baud=500 --frames 500 --pings 50\n"
    "          rp1210 selftest -d 1 -e 2 -p J1939:Baud=500 --transfers 4"};

struct Entry {
    std::string_view name;
    const CommandDef* def;
};

const Entry kCommands[] = {{"devices", &kDevices}, {"info", &kInfo},         {"dump", &kDump},
                           {"send", &kSend},       {"selftest", &kSelftest}, {"version", &kVersion},
                           {"errors", &kErrors},   {"connect", &kConnect}};

const CommandDef* find_command(std::string_view name) {
    for (const Entry& e : kCommands) {
        if (e.name == name) {
            return e.def;
        }
    }
    return nullptr;
}

using Error = platform::Unexpected<std::string>;

platform::Expected<std::int16_t, std::string> device_id(const ParsedOptions& options,
                                                        std::string_view name) {
    const auto text = options.value(name);
    if (!text) {
        return platform::unexpected(fmt::format("--{} is required", name));
    }
    auto value = parse_unsigned(*text, 0, 32767, fmt::format("--{}", name));
    if (!value) {
        return platform::unexpected(std::move(value.error()));
    }
    return static_cast<std::int16_t>(*value);
}

platform::Expected<Connection, std::string> connection(const ParsedOptions& options) {
    Connection c;
    auto device = device_id(options, "device");
    if (!device) {
        return platform::unexpected(std::move(device.error()));
    }
    c.device = *device;
    const auto protocol = options.value("protocol");
    if (!protocol || protocol->empty()) {
        return platform::unexpected(std::string("--protocol is required"));
    }
    c.protocol = *protocol;
    if (const auto wait = options.value("wait")) {
        auto seconds = parse_decimal(*wait, 0, 3600, "--wait");
        if (!seconds) {
            return platform::unexpected(std::move(seconds.error()));
        }
        c.wait_seconds = *seconds;
    }
    return c;
}

// dump, send and selftest read and write the messages of the protocol: raw CAN or J1939.
// Sets the connection's kind; the library itself decides whether the rest of the string
// is valid.
std::optional<std::string> message_protocol(Connection& c) {
    std::string name = c.protocol.substr(0, c.protocol.find(':'));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    if (name != "CAN" && name != "J1939") {
        return fmt::format(
            "this command works on raw CAN and J1939 connections (\"CAN...\", \"J1939...\"), "
            "not \"{}\"",
            c.protocol);
    }
    c.j1939 = name == "J1939";
    return std::nullopt;
}

// Options that only one of the protocols has: an error naming the first one given.
std::optional<std::string> foreign_options(const ParsedOptions& o, const Connection& c,
                                           std::initializer_list<std::string_view> can_only,
                                           std::initializer_list<std::string_view> j1939_only) {
    for (std::string_view name : c.j1939 ? can_only : j1939_only) {
        if (o.has(name)) {
            return fmt::format("--{} is for {} connections", name, c.j1939 ? "CAN" : "J1939");
        }
    }
    return std::nullopt;
}

// The comma-separated values of a repeatable option, each parsed.
template <class T, class Parse>
platform::Expected<std::vector<T>, std::string> list_values(const ParsedOptions& o,
                                                            std::string_view name, Parse parse) {
    std::vector<T> values;
    for (const std::string& text : o.values(name)) {
        std::string_view rest = text;
        for (;;) {
            const std::size_t comma = rest.find(',');
            auto value = parse(rest.substr(0, comma));
            if (!value) {
                return platform::unexpected(fmt::format("--{}: {}", name, value.error()));
            }
            values.push_back(*value);
            if (comma == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(comma + 1);
        }
    }
    return values;
}

// The J1939 message of `send`: the positional PGN#DATA with the addresses and priority of
// the options.
std::optional<std::string> j1939_send(const ParsedOptions& o, SendCommand& c) {
    auto message = parse_j1939_message(o.positionals.front());
    if (!message) {
        return message.error();
    }
    c.message = std::move(message.value());
    if ((c.message.pgn & 0xF000) != 0xF000 && (c.message.pgn & 0xFF) != 0) {
        return fmt::format(
            "PGN {:05X} goes to one address (PDU1): its low byte must be 00, the destination is "
            "--dest",
            c.message.pgn);
    }
    if (const auto claim = o.value("claim")) {
        auto parsed = parse_claim(*claim);
        if (!parsed) {
            return fmt::format("--claim: {}", parsed.error());
        }
        c.claim = *parsed;
        c.message.source = parsed->address;
    }
    for (auto [name, field] :
         {std::pair{"source", &c.message.source}, std::pair{"dest", &c.message.destination}}) {
        if (const auto text = o.value(name)) {
            auto address = parse_address(*text);
            if (!address) {
                return fmt::format("--{}: {}", name, address.error());
            }
            *field = *address;
        }
    }
    if (!o.has("source") && !c.claim) {
        return std::string("give the source address: --source or --claim");
    }
    if (c.message.data.size() > 8 && !c.claim) {
        return std::string("messages longer than 8 bytes are transfers, which need --claim");
    }
    if (const auto text = o.value("priority")) {
        auto priority = parse_unsigned(*text, 0, 7, "--priority");
        if (!priority) {
            return priority.error();
        }
        c.message.priority = static_cast<std::uint8_t>(*priority);
    }
    return std::nullopt;
}

platform::Expected<std::optional<std::uint64_t>, std::string> optional_count(
    const ParsedOptions& options, std::string_view name, std::uint64_t max) {
    const auto text = options.value(name);
    if (!text) {
        return std::optional<std::uint64_t>{};
    }
    auto value = parse_unsigned(*text, 1, max, fmt::format("--{}", name));
    if (!value) {
        return platform::unexpected(std::move(value.error()));
    }
    return std::optional<std::uint64_t>(*value);
}

// Fails when positional arguments are given to a command that takes none.
std::optional<std::string> no_positionals(const ParsedOptions& options) {
    if (!options.positionals.empty()) {
        return fmt::format("unexpected argument '{}'", options.positionals.front());
    }
    return std::nullopt;
}

platform::Expected<Command, std::string> build(std::string_view name, const ParsedOptions& o) {
    if (name == "version" || name == "devices") {
        if (auto e = no_positionals(o)) {
            return Error{*e};
        }
        if (name == "version") {
            return Command{VersionCommand{}};
        }
        return Command{DevicesCommand{}};
    }
    if (name == "errors") {
        ErrorsCommand c;
        for (const std::string& p : o.positionals) {
            auto code = parse_unsigned(p, 0, 32767, "an error code");
            if (!code) {
                return Error{code.error()};
            }
            c.codes.push_back(static_cast<int>(*code));
        }
        return Command{c};
    }
    if (auto e = name == "send" ? std::nullopt : no_positionals(o)) {
        return Error{*e};
    }
    if (name == "connect" || name == "info") {
        auto conn = connection(o);
        if (!conn) {
            return Error{conn.error()};
        }
        if (name == "connect") {
            return Command{ConnectCommand{*conn}};
        }
        return Command{InfoCommand{*conn}};
    }
    if (name == "dump") {
        DumpCommand c;
        auto conn = connection(o);
        if (!conn) {
            return Error{conn.error()};
        }
        if (auto e = message_protocol(*conn)) {
            return Error{*e};
        }
        if (auto e =
                foreign_options(o, *conn, {"filter"}, {"pgn", "source", "tp", "client", "claim"})) {
            return Error{*e};
        }
        c.connection = *conn;
        auto pgns = list_values<std::uint32_t>(o, "pgn", parse_pgn);
        if (!pgns) {
            return Error{pgns.error()};
        }
        c.pgns = std::move(pgns.value());
        auto sources = list_values<std::uint8_t>(o, "source", parse_address);
        if (!sources) {
            return Error{sources.error()};
        }
        c.sources = std::move(sources.value());
        std::optional<bool> exclusive;
        for (const std::string& text : o.values("filter")) {
            auto filters = parse_filters(text, exclusive);
            if (!filters) {
                return Error{filters.error()};
            }
            c.filters.insert(c.filters.end(), filters->begin(), filters->end());
        }
        c.exclusive_filters = exclusive.value_or(false);
        auto count = optional_count(o, "count", UINT64_MAX / 2);
        if (!count) {
            return Error{count.error()};
        }
        c.count = *count;
        if (const auto seconds = o.value("seconds")) {
            auto s = parse_decimal(*seconds, 0.001, 1e9, "--seconds");
            if (!s) {
                return Error{s.error()};
            }
            c.seconds = *s;
        }
        c.echo = o.has("echo");
        if (const auto claim = o.value("claim")) {
            auto parsed = parse_claim(*claim);
            if (!parsed) {
                return Error{fmt::format("--claim: {}", parsed.error())};
            }
            c.claim = *parsed;
        }
        c.j1939_client = conn->j1939 && (o.has("client") || c.claim);
        c.show_tp_frames = o.has("tp");
        if (conn->j1939 && !c.j1939_client && c.echo) {
            return Error{
                std::string("--echo needs --client or --claim with J1939: the bus "
                            "monitor sends nothing")};
        }
        if (c.j1939_client && c.show_tp_frames) {
            return Error{
                std::string("--tp is for the bus monitor: a J1939 client reads "
                            "transfers reassembled")};
        }
        return Command{c};
    }
    if (name == "send") {
        SendCommand c;
        auto conn = connection(o);
        if (!conn) {
            return Error{conn.error()};
        }
        if (auto e = message_protocol(*conn)) {
            return Error{*e};
        }
        if (auto e = foreign_options(o, *conn, {}, {"claim", "source", "dest", "priority"})) {
            return Error{*e};
        }
        c.connection = *conn;
        if (o.positionals.size() != 1) {
            return Error{o.positionals.empty()
                             ? std::string(conn->j1939 ? "the message to send is missing (PGN#DATA)"
                                                       : "the frame to send is missing (ID#DATA)")
                             : fmt::format("unexpected argument '{}'", o.positionals[1])};
        }
        if (conn->j1939) {
            if (auto e = j1939_send(o, c)) {
                return Error{*e};
            }
        } else {
            auto frame = parse_frame(o.positionals.front());
            if (!frame) {
                return Error{frame.error()};
            }
            c.frame = *frame;
        }
        if (const auto every = o.value("every")) {
            auto ms = parse_unsigned(*every, 1, 65535, "--every");
            if (!ms) {
                return Error{ms.error()};
            }
            c.every_ms = static_cast<std::uint32_t>(*ms);
        }
        auto count = optional_count(o, "count", UINT64_MAX / 2);
        if (!count) {
            return Error{count.error()};
        }
        c.count = *count;
        return Command{c};
    }
    // selftest
    SelftestCommand c;
    auto conn = connection(o);
    if (!conn) {
        return Error{conn.error()};
    }
    if (auto e = message_protocol(*conn)) {
        return Error{*e};
    }
    if (auto e = foreign_options(o, *conn, {"frames", "pings"}, {"transfers"})) {
        return Error{*e};
    }
    c.a = *conn;
    auto peer = device_id(o, "peer");
    if (!peer) {
        return Error{peer.error()};
    }
    c.device_b = *peer;
    if (c.device_b == c.a.device) {
        return Error{std::string("--device and --peer must be two different devices")};
    }
    auto frames = optional_count(o, "frames", 1000000);
    if (!frames) {
        return Error{frames.error()};
    }
    c.frames = static_cast<std::uint32_t>(frames->value_or(c.frames));
    auto pings = optional_count(o, "pings", 100000);
    if (!pings) {
        return Error{pings.error()};
    }
    c.pings = static_cast<std::uint32_t>(pings->value_or(c.pings));
    if (const auto text = o.value("transfers")) {
        auto transfers = parse_unsigned(*text, 2, 1000, "--transfers");
        if (!transfers) {
            return Error{transfers.error()};
        }
        c.transfers = static_cast<std::uint32_t>(*transfers);
    }
    return Command{c};
}

}  // namespace

std::vector<std::string_view> command_names() {
    std::vector<std::string_view> names;
    for (const Entry& e : kCommands) {
        names.push_back(e.name);
    }
    return names;
}

std::string help(std::string_view command) {
    if (command.empty()) {
        return help_text(kProgram);
    }
    const CommandDef* def = find_command(command);
    return def == nullptr ? std::string() : help_text(*def);
}

platform::Expected<std::vector<CanFilter>, std::string> parse_filters(
    std::string_view text, std::optional<bool>& exclusive) {
    std::vector<CanFilter> filters;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const std::size_t sep = item.find_first_of(":~");
        if (sep == std::string_view::npos) {
            return platform::unexpected(
                fmt::format("filter '{}' must be ID:MASK or ID~MASK", shortened(item)));
        }
        const bool drop = item[sep] == '~';
        if (exclusive && *exclusive != drop) {
            return platform::unexpected(
                std::string("filters must be all ID:MASK (pass) or all ID~MASK (drop), not mixed"));
        }
        exclusive = drop;
        CanFilter f;
        auto id = parse_identifier(item.substr(0, sep), f.extended);
        if (!id) {
            return platform::unexpected(
                fmt::format("filter '{}': {}", shortened(item), id.error()));
        }
        f.id = *id;
        const std::string_view mask_text = item.substr(sep + 1);
        const std::optional<std::uint32_t> mask = parse_hex(mask_text);
        if (!mask) {
            return platform::unexpected(
                fmt::format("filter '{}': mask '{}' must be 1 to 8 hexadecimal digits",
                            shortened(item), shortened(mask_text)));
        }
        const std::uint32_t limit = f.extended ? kMaxExtendedId : kMaxStandardId;
        if (*mask > limit) {
            return platform::unexpected(
                fmt::format("filter '{}': mask {:X} is wider than a {} identifier", shortened(item),
                            *mask, f.extended ? "29-bit" : "11-bit"));
        }
        f.mask = *mask;
        filters.push_back(f);
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    return filters;
}

platform::Expected<Invocation, UsageError> parse_command_line(std::span<const std::string> args,
                                                              const std::string& default_library) {
    Invocation invocation{default_library, HelpCommand{}};
    // Global options end at the first argument that is not one: the command name.
    std::size_t i = 0;
    for (; i < args.size() && !args[i].empty() && args[i][0] == '-'; ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            invocation.command = HelpCommand{help()};
            return invocation;
        }
        if (args[i] == "--library" || args[i].rfind("--library=", 0) == 0) {
            if (args[i] == "--library") {
                if (i + 1 >= args.size()) {
                    return platform::unexpected(
                        UsageError{"--library needs a value (PATH)", "rp1210 --help"});
                }
                invocation.library = args[++i];
            } else {
                invocation.library = args[i].substr(std::string_view("--library=").size());
            }
            continue;
        }
        return platform::unexpected(
            UsageError{fmt::format("unknown option {}", args[i]), "rp1210 --help"});
    }
    if (i >= args.size()) {
        return platform::unexpected(UsageError{"no command given", "rp1210 --help"});
    }
    const std::string& name = args[i];
    const CommandDef* def = find_command(name);
    if (def == nullptr) {
        return platform::unexpected(
            UsageError{fmt::format("unknown command '{}'", name), "rp1210 --help"});
    }
    const std::string help_command = fmt::format("rp1210 {} --help", name);
    auto options = parse_options(*def, args.subspan(i + 1));
    if (!options) {
        return platform::unexpected(UsageError{name + ": " + options.error(), help_command});
    }
    if (options->help) {
        invocation.command = HelpCommand{help_text(*def)};
        return invocation;
    }
    auto command = build(name, *options);
    if (!command) {
        return platform::unexpected(UsageError{name + ": " + command.error(), help_command});
    }
    invocation.command = std::move(command.value());
    return invocation;
}

}  // namespace tools::rp1210
