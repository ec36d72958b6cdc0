#pragma once
// The command line of `rp1210`: global options, the subcommands and their options, parsed
// into one value per subcommand. Nothing here touches the library.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/expected.hpp"
#include "tools/can_text.hpp"
#include "tools/j1939_text.hpp"
#include "tools/options.hpp"
#include "tools/rp1210_messages.hpp"

namespace tools::rp1210 {

// How a subcommand connects a client.
struct Connection {
    std::int16_t device = 0;
    std::string protocol;
    // How long to wait for automatic bit-rate detection ("Baud=Auto") to finish.
    double wait_seconds = 10;
    // The protocol string names J1939 (else raw CAN). Set by dump, send and selftest, which
    // read and write the messages of the protocol.
    bool j1939 = false;
};

struct HelpCommand {
    std::string text;
};
struct VersionCommand {};
struct ErrorsCommand {
    std::vector<int> codes;  // empty: every code the library has a text for
};
struct ConnectCommand {
    Connection connection;
};
struct DevicesCommand {};
struct InfoCommand {
    Connection connection;
};
struct DumpCommand {
    Connection connection;
    std::vector<CanFilter> filters;     // CAN; empty: every frame passes
    bool exclusive_filters = false;     // true: matching frames are dropped instead
    std::vector<std::uint32_t> pgns;    // J1939; empty: every PGN passes
    std::vector<std::uint8_t> sources;  // J1939; empty: every source passes
    std::optional<std::uint64_t> count;
    std::optional<double> seconds;
    bool echo = false;
    // J1939: read through a J1939 client (what an application receives) instead of
    // monitoring the bus through a CAN client; set by --client and by --claim.
    bool j1939_client = false;
    std::optional<J1939Claim> claim;  // J1939 client: claimed before reading
    bool show_tp_frames = false;      // J1939 monitor: print TP.CM and TP.DT frames too
};
struct SendCommand {
    Connection connection;
    CanFrame frame;                   // CAN
    J1939Message message;             // J1939
    std::optional<J1939Claim> claim;  // J1939: claimed before sending
    std::optional<std::uint32_t> every_ms;
    std::optional<std::uint64_t> count;
};
struct SelftestCommand {
    Connection a;
    std::int16_t device_b = 0;
    std::uint32_t frames = 1000;  // CAN
    std::uint32_t pings = 200;    // CAN
    std::uint32_t transfers = 8;  // J1939: in each direction, 9 to 1785 bytes
};

using Command =
    std::variant<HelpCommand, VersionCommand, ErrorsCommand, ConnectCommand, DevicesCommand,
                 InfoCommand, DumpCommand, SendCommand, SelftestCommand>;

struct Invocation {
    std::string library;  // the RP1210 library to load
    Command command;
};

// Parses argv[1..]. `default_library` is used when --library is not given.
platform::Expected<Invocation, UsageError> parse_command_line(std::span<const std::string> args,
                                                              const std::string& default_library);

// The help of the program (`command` empty) or of one subcommand; empty for an unknown one.
std::string help(std::string_view command = {});

// The subcommands, in help order.
std::vector<std::string_view> command_names();

// A --filter value: "ID:MASK" passes matching frames, "ID~MASK" drops them, several
// separated by commas. The connection has one filter type, so all filters must be of one
// kind: `exclusive` holds the kind of earlier filters (nullopt: none yet) and is set to it.
platform::Expected<std::vector<CanFilter>, std::string> parse_filters(
    std::string_view text, std::optional<bool>& exclusive);

}  // namespace tools::rp1210
