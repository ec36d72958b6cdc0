#include "tools/node_cli.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace tools::node {

namespace {

constexpr OptionDef kConfig{"config", 'c', "PATH",
                            "simulator configuration file (default: the file named by\n"
                            "TARNSIM_CONFIG, else the built-in one interface with two\n"
                            "channels on bus 0)"};
constexpr OptionDef kBus{"bus", 'b', "N", "the simulated bus to send on (default 0)"};
constexpr OptionDef kBitrate{"bitrate", 'r', "BPS",
                             "the node's bit rate in bit/s (default 250000, as an\n"
                             "RP1210 protocol string without Baud=); nodes at\n"
                             "another rate see error frames"};
constexpr OptionDef kChannel{"channel", 'C', "N",
                             "the driver channel the node opens to receive (default 1)"};
constexpr OptionDef kSeconds{"seconds", 's', "S", "stop after S seconds (decimals allowed)"};

const CommandDef kProgram{
    "tarnsim-node",
    "COMMAND [options] [ARGS]",
    "A foreign node on a bus of the simulated CAN interface, for demonstrations and tests:\n"
    "it sends through the simulator's control interface and receives on a driver channel\n"
    "of its own. Run 'tarnsim-node COMMAND --help' for the options of a command.",
    {},
    "commands:\n"
    "  send      send frames from patterns at a rate or bus load\n"
    "  replay    replay a candump log file with its timing\n"
    "  echo      send every received frame back\n"
    "  answer    answer requests with configured frames\n"
    "  listen    print every received frame\n"
    "\n"
    "Received frames are printed in the candump log format, (SECONDS.MICROSECONDS) chN\n"
    "ID#DATA, on standard output; status lines go to standard error. The bit rate is\n"
    "250000 bit/s unless --bitrate says otherwise; the status line names it.\n"
    "Exit status: 0 success, 1 the simulator failed, 2 bad arguments or log file."};

const CommandDef kSend{
    "tarnsim-node send",
    "PATTERN... [options]",
    "Sends frames from the patterns in turn until --count frames, --seconds or Ctrl-C.\n"
    "A pattern is a frame ID#DATA (3 hexadecimal digits for a standard identifier, 8 for\n"
    "an extended one) whose data bytes may be 'ii' (counts up with every frame) or 'rr'\n"
    "(random): 0CF00400#F07D7Dii1A00F07D.",
    {kConfig,
     kBus,
     kBitrate,
     {"rate", 'f', "HZ", "frames per second over all patterns (default 100)"},
     {"load", 'l', "PERCENT",
      "instead of --rate: keep the bus busy PERCENT of the time\n(0.1 to 100)"},
     {"count", 'n', "N", "stop after N frames"},
     kSeconds},
    "examples: tarnsim-node send 0CF00400#F38C91ii2D00F091 --bitrate 500000 --seconds 2\n"
    "          tarnsim-node send 18FEF100#F7007D --load 30 --bitrate 500000 --count 500"};

const CommandDef kReplay{
    "tarnsim-node replay",
    "FILE [options]",
    "Sends the frames of a candump log file (lines '(1436509052.249713) can0 123#11') or\n"
    "of a saved 'rp1210 dump' (CAN or J1939), keeping the time between them; the\n"
    "interface names are ignored. A J1939 message of more than 8 bytes to FF goes out as\n"
    "its BAM; transfers to one address and aborted ones are skipped.",
    {kConfig,
     kBus,
     kBitrate,
     {"loop", 'L', "", "start again after the last frame"},
     {"count", 'n', "N", "stop after N frames"},
     kSeconds},
    "examples: tarnsim-node replay examples/j1939_engine.log --bitrate 500000 --count 50\n"
    "          tarnsim-node replay examples/j1939_engine.log --loop --bitrate 500000 --seconds 3"};

const CommandDef kEcho{
    "tarnsim-node echo",
    "[options]",
    "Opens a channel, prints every frame it receives and sends it back on that channel\n"
    "with the identifier changed by --id-offset.",
    {kConfig,
     kBitrate,
     kChannel,
     {"id-offset", 'o', "N", "added to the identifier of the echo (default 0; may be\nnegative)"},
     {"count", 'n', "N", "stop after N received frames"},
     kSeconds},
    "example: tarnsim-node echo --id-offset 1 --bitrate 500000 --count 5"};

const CommandDef kAnswer{
    "tarnsim-node answer",
    "RULE... [options]",
    "Opens a channel, prints every frame it receives and answers requests. A rule is\n"
    "REQUEST=RESPONSE: REQUEST an identifier (any data) or ID#DATA (exactly that data),\n"
    "RESPONSE a frame: 18EA00F9#E5FE00=18FEE500#1027000010270000.",
    {kConfig, kBitrate, kChannel, {"count", 'n', "N", "stop after N received frames"}, kSeconds},
    "example: tarnsim-node answer 18EA00F9#E5FE00=18FEE500#1027000010270000 --bitrate 500000 "
    "--count 5"};

const CommandDef kListen{
    "tarnsim-node listen",
    "[options]",
    "Opens a channel and prints every frame it receives.",
    {kConfig, kBitrate, kChannel, {"count", 'n', "N", "stop after N received frames"}, kSeconds},
    "example: tarnsim-node listen --bitrate 500000 --count 10"};

struct Entry {
    std::string_view name;
    Mode mode;
    const CommandDef* def;
};

const Entry kCommands[] = {{"send", Mode::Send, &kSend},
                           {"replay", Mode::Replay, &kReplay},
                           {"echo", Mode::Echo, &kEcho},
                           {"answer", Mode::Answer, &kAnswer},
                           {"listen", Mode::Listen, &kListen}};

const Entry* find_command(std::string_view name) {
    for (const Entry& e : kCommands) {
        if (e.name == name) {
            return &e;
        }
    }
    return nullptr;
}

using Error = platform::Unexpected<std::string>;

platform::Expected<std::int64_t, std::string> parse_signed(std::string_view text,
                                                           std::string_view what) {
    const bool negative = !text.empty() && text.front() == '-';
    auto magnitude = parse_unsigned(negative ? text.substr(1) : text, 0, kMaxExtendedId, what);
    if (!magnitude) {
        return platform::unexpected(
            fmt::format("{} must be a whole number from -{} to {}, not '{}'", what, kMaxExtendedId,
                        kMaxExtendedId, shortened(text)));
    }
    const auto value = static_cast<std::int64_t>(*magnitude);
    return negative ? -value : value;
}

platform::Expected<Options, std::string> build(const Entry& entry, const ParsedOptions& o) {
    Options options;
    options.mode = entry.mode;
    options.config = o.value("config");
    if (const auto bus = o.value("bus")) {
        auto v = parse_unsigned(*bus, 0, 15, "--bus");
        if (!v) {
            return Error{v.error()};
        }
        options.bus = static_cast<std::int32_t>(*v);
    }
    if (const auto bitrate = o.value("bitrate")) {
        auto v = parse_unsigned(*bitrate, 1000, 1000000, "--bitrate");
        if (!v) {
            return Error{v.error()};
        }
        options.bitrate = static_cast<std::int32_t>(*v);
    }
    if (const auto channel = o.value("channel")) {
        auto v = parse_unsigned(*channel, 0, 31, "--channel");
        if (!v) {
            return Error{v.error()};
        }
        options.channel = static_cast<std::int32_t>(*v);
    }
    if (const auto count = o.value("count")) {
        auto v = parse_unsigned(*count, 1, UINT64_MAX / 2, "--count");
        if (!v) {
            return Error{v.error()};
        }
        options.count = *v;
    }
    if (const auto seconds = o.value("seconds")) {
        auto v = parse_decimal(*seconds, 0.001, 1e9, "--seconds");
        if (!v) {
            return Error{v.error()};
        }
        options.seconds = *v;
    }
    switch (entry.mode) {
        case Mode::Send:
            if (o.positionals.empty()) {
                return Error{std::string("no pattern given (ID#DATA)")};
            }
            for (const std::string& p : o.positionals) {
                auto pattern = parse_pattern(p);
                if (!pattern) {
                    return Error{pattern.error()};
                }
                options.patterns.push_back(*pattern);
            }
            if (o.has("rate") && o.has("load")) {
                return Error{std::string("give --rate or --load, not both")};
            }
            if (const auto rate = o.value("rate")) {
                auto v = parse_decimal(*rate, 0.01, 100000, "--rate");
                if (!v) {
                    return Error{v.error()};
                }
                options.rate = *v;
            }
            if (const auto load = o.value("load")) {
                auto v = parse_decimal(*load, 0.1, 100, "--load");
                if (!v) {
                    return Error{v.error()};
                }
                options.load_percent = *v;
            }
            break;
        case Mode::Replay:
            if (o.positionals.size() != 1) {
                return Error{o.positionals.empty()
                                 ? std::string("the log file is missing")
                                 : fmt::format("unexpected argument '{}'", o.positionals[1])};
            }
            options.file = o.positionals.front();
            options.loop = o.has("loop");
            break;
        case Mode::Answer:
            if (o.positionals.empty()) {
                return Error{std::string("no rule given (REQUEST=RESPONSE)")};
            }
            for (const std::string& r : o.positionals) {
                auto rule = parse_answer_rule(r);
                if (!rule) {
                    return Error{rule.error()};
                }
                options.rules.push_back(*rule);
            }
            break;
        case Mode::Echo:
        case Mode::Listen:
            if (!o.positionals.empty()) {
                return Error{fmt::format("unexpected argument '{}'", o.positionals.front())};
            }
            if (const auto offset = o.value("id-offset")) {
                auto v = parse_signed(*offset, "--id-offset");
                if (!v) {
                    return Error{v.error()};
                }
                options.id_offset = *v;
            }
            break;
    }
    return options;
}

}  // namespace

platform::Expected<FramePattern, std::string> parse_pattern(std::string_view text) {
    // The special bytes are parsed as fixed zero bytes first, then marked.
    std::string fixed(text);
    FramePattern pattern;
    const std::size_t hash = fixed.find('#');
    std::vector<FramePattern::Byte> kinds;
    if (hash != std::string::npos) {
        std::string data;
        for (std::size_t i = hash + 1; i < fixed.size();) {
            if (fixed[i] == '.') {
                ++i;
                continue;
            }
            const std::string pair = fixed.substr(i, 2);
            if (pair == "ii" || pair == "rr") {
                kinds.push_back(pair == "ii" ? FramePattern::Byte::Counter
                                             : FramePattern::Byte::Random);
                data += "00";
            } else {
                kinds.push_back(FramePattern::Byte::Fixed);
                data += pair;
            }
            i += 2;
        }
        fixed = fixed.substr(0, hash + 1) + data;
    }
    auto frame = parse_frame(fixed);
    if (!frame) {
        return platform::unexpected(
            fmt::format("pattern '{}': {}", shortened(text), frame.error()));
    }
    pattern.frame = *frame;
    for (std::size_t i = 0; i < kinds.size() && i < pattern.kinds.size(); ++i) {
        pattern.kinds[i] = kinds[i];
    }
    return pattern;
}

CanFrame pattern_frame(const FramePattern& pattern, std::uint64_t n, std::uint64_t random) {
    CanFrame frame = pattern.frame;
    for (std::size_t i = 0; i < frame.length; ++i) {
        switch (pattern.kinds[i]) {
            case FramePattern::Byte::Fixed:
                break;
            case FramePattern::Byte::Counter:
                frame.data[i] = static_cast<std::uint8_t>(n);
                break;
            case FramePattern::Byte::Random:
                frame.data[i] = static_cast<std::uint8_t>(random >> (8 * i));
                break;
        }
    }
    return frame;
}

platform::Expected<AnswerRule, std::string> parse_answer_rule(std::string_view text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        return platform::unexpected(
            fmt::format("rule '{}' must be REQUEST=RESPONSE", shortened(text)));
    }
    const std::string_view request = text.substr(0, eq);
    AnswerRule rule;
    if (request.find('#') != std::string_view::npos) {
        auto frame = parse_frame(request);
        if (!frame) {
            return platform::unexpected(
                fmt::format("rule '{}': {}", shortened(text), frame.error()));
        }
        rule.id = frame->id;
        rule.extended = frame->extended;
        rule.data = *frame;
    } else {
        auto id = parse_identifier(request, rule.extended);
        if (!id) {
            return platform::unexpected(fmt::format("rule '{}': {}", shortened(text), id.error()));
        }
        rule.id = *id;
    }
    auto response = parse_frame(text.substr(eq + 1));
    if (!response) {
        return platform::unexpected(
            fmt::format("rule '{}': {}", shortened(text), response.error()));
    }
    rule.response = *response;
    return rule;
}

bool matches(const AnswerRule& rule, const CanFrame& frame) {
    if (frame.id != rule.id || frame.extended != rule.extended) {
        return false;
    }
    return !rule.data || (rule.data->payload().size() == frame.payload().size() &&
                          std::equal(frame.payload().begin(), frame.payload().end(),
                                     rule.data->payload().begin()));
}

CanFrame echo_frame(const CanFrame& received, std::int64_t id_offset) {
    CanFrame echo = received;
    const std::int64_t modulus =
        received.extended ? std::int64_t{kMaxExtendedId} + 1 : std::int64_t{kMaxStandardId} + 1;
    const std::int64_t id = (static_cast<std::int64_t>(received.id) + id_offset) % modulus;
    echo.id = static_cast<std::uint32_t>(id < 0 ? id + modulus : id);
    return echo;
}

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
    const Entry* entry = find_command(command);
    return entry == nullptr ? std::string() : help_text(*entry->def);
}

platform::Expected<std::variant<HelpRequest, Options>, UsageError> parse_command_line(
    std::span<const std::string> args) {
    using Result = std::variant<HelpRequest, Options>;
    if (args.empty()) {
        return platform::unexpected(UsageError{"no command given", "tarnsim-node --help"});
    }
    if (args[0] == "-h" || args[0] == "--help") {
        return Result{HelpRequest{help_text(kProgram)}};
    }
    const Entry* entry = find_command(args[0]);
    if (entry == nullptr) {
        return platform::unexpected(
            UsageError{args[0].rfind('-', 0) == 0
                           ? fmt::format("options come after the command, not '{}'", args[0])
                           : fmt::format("unknown command '{}'", args[0]),
                       "tarnsim-node --help"});
    }
    const std::string help_command = fmt::format("tarnsim-node {} --help", entry->name);
    auto parsed = parse_options(*entry->def, args.subspan(1));
    if (!parsed) {
        return platform::unexpected(
            UsageError{std::string(entry->name) + ": " + parsed.error(), help_command});
    }
    if (parsed->help) {
        return Result{HelpRequest{help_text(*entry->def)}};
    }
    auto options = build(*entry, *parsed);
    if (!options) {
        return platform::unexpected(
            UsageError{std::string(entry->name) + ": " + options.error(), help_command});
    }
    return Result{std::move(options.value())};
}

}  // namespace tools::node
