#pragma once
// Command-line parsing for the tools: each command declares its options once, and both the
// parser and the help text are made from that declaration, so that the help describes
// every option the command accepts.
//
// Accepted forms: "--name VALUE", "--name=VALUE", "-n VALUE", flags "--name" / "-n";
// "-h" and "--help" everywhere; "--" ends the options. Everything else is positional.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/expected.hpp"

namespace tools {

struct OptionDef {
    std::string_view name;        // long name without the dashes: "device"
    char short_name = 0;          // 'd', or 0 for none
    std::string_view value_name;  // "DEVICE"; empty for a flag
    std::string_view help;
    bool repeatable = false;  // may be given more than once (values collected in order)
};

struct CommandDef {
    std::string_view name;      // "rp1210 dump"
    std::string_view synopsis;  // what follows the name in the usage line
    std::string_view summary;   // one or more lines under the usage line
    std::vector<OptionDef> options;
    std::string_view details;  // text after the options (formats, examples); may be empty
};

// A command line that cannot be run: the message for the user and the command that shows
// the help ("rp1210 dump --help"). Programs print both and exit with status 2.
struct UsageError {
    std::string message;
    std::string help_command;
};

class ParsedOptions {
  public:
    bool help = false;
    std::vector<std::string> positionals;

    bool has(std::string_view name) const { return values_.count(std::string(name)) != 0; }
    // The value of an option given once (or the last of a repeatable one).
    std::optional<std::string> value(std::string_view name) const;
    // Every value of a repeatable option, in command-line order.
    std::vector<std::string> values(std::string_view name) const;

    void add(std::string_view name, std::string value) {
        values_[std::string(name)].push_back(std::move(value));
    }

  private:
    std::map<std::string, std::vector<std::string>> values_;  // flags hold one empty value
};

// Parses the arguments that follow the command name. The error is a sentence for the user.
platform::Expected<ParsedOptions, std::string> parse_options(const CommandDef& def,
                                                             std::span<const std::string> args);

// "usage: NAME SYNOPSIS", the summary, every option with its help, then the details.
std::string help_text(const CommandDef& def);

// Numbers on the command line. `what` names the value in the error ("--count").
platform::Expected<std::uint64_t, std::string> parse_unsigned(std::string_view text,
                                                              std::uint64_t min, std::uint64_t max,
                                                              std::string_view what);
// A plain decimal number such as "2", "0.5" or "12.25" (no sign, no exponent).
platform::Expected<double, std::string> parse_decimal(std::string_view text, double min, double max,
                                                      std::string_view what);

}  // namespace tools
