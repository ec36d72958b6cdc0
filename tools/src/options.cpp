#include "tools/options.hpp"

#include <fmt/format.h>

#include "tools/can_text.hpp"

namespace tools {

namespace {

const OptionDef* find_long(const CommandDef& def, std::string_view name) {
    for (const OptionDef& o : def.options) {
        if (o.name == name) {
            return &o;
        }
    }
    return nullptr;
}

const OptionDef* find_short(const CommandDef& def, char name) {
    for (const OptionDef& o : def.options) {
        if (o.short_name != 0 && o.short_name == name) {
            return &o;
        }
    }
    return nullptr;
}

std::string option_label(const OptionDef& o) {
    std::string label = o.short_name != 0 ? fmt::format("-{}, --{}", o.short_name, o.name)
                                          : fmt::format("    --{}", o.name);
    if (!o.value_name.empty()) {
        label += fmt::format(" {}", o.value_name);
    }
    return label;
}

}  // namespace

std::optional<std::string> ParsedOptions::value(std::string_view name) const {
    auto it = values_.find(std::string(name));
    if (it == values_.end() || it->second.empty()) {
        return std::nullopt;
    }
    return it->second.back();
}

std::vector<std::string> ParsedOptions::values(std::string_view name) const {
    auto it = values_.find(std::string(name));
    return it == values_.end() ? std::vector<std::string>{} : it->second;
}

platform::Expected<ParsedOptions, std::string> parse_options(const CommandDef& def,
                                                             std::span<const std::string> args) {
    ParsedOptions parsed;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) {
            // "-5" is a (negative) value, never an option.
            parsed.positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            parsed.help = true;
            continue;
        }
        const OptionDef* option = nullptr;
        std::optional<std::string> inline_value;
        std::string shown = arg;
        if (arg.rfind("--", 0) == 0) {
            std::string_view name = std::string_view(arg).substr(2);
            const std::size_t eq = name.find('=');
            if (eq != std::string_view::npos) {
                inline_value = std::string(name.substr(eq + 1));
                name = name.substr(0, eq);
                shown = "--" + std::string(name);
            }
            option = find_long(def, name);
        } else if (arg.size() == 2) {
            option = find_short(def, arg[1]);
        }
        if (option == nullptr) {
            return platform::unexpected(fmt::format("unknown option {}", shown));
        }
        if (!option->repeatable && parsed.has(option->name)) {
            return platform::unexpected(fmt::format("{} is given more than once", shown));
        }
        if (option->value_name.empty()) {
            if (inline_value) {
                return platform::unexpected(fmt::format("{} takes no value", shown));
            }
            parsed.add(option->name, "");
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= args.size()) {
                return platform::unexpected(
                    fmt::format("{} needs a value ({})", shown, option->value_name));
            }
            inline_value = args[++i];
        }
        parsed.add(option->name, std::move(*inline_value));
    }
    return parsed;
}

std::string help_text(const CommandDef& def) {
    std::string text = fmt::format("usage: {} {}\n\n{}\n", def.name, def.synopsis, def.summary);
    std::size_t width = std::string_view("-h, --help").size();
    for (const OptionDef& o : def.options) {
        width = std::max(width, option_label(o).size());
    }
    text += "\noptions:\n";
    for (const OptionDef& o : def.options) {
        // Help texts may hold several lines; later lines are indented under the first.
        std::string help(o.help);
        for (std::size_t at = help.find('\n'); at != std::string::npos;
             at = help.find('\n', at + 1)) {
            help.insert(at + 1, width + 4, ' ');
        }
        text += fmt::format("  {:<{}}  {}\n", option_label(o), width, help);
    }
    text += fmt::format("  {:<{}}  {}\n", "-h, --help", width, "show this help and exit");
    if (!def.details.empty()) {
        text += fmt::format("\n{}\n", def.details);
    }
    return text;
}

platform::Expected<std::uint64_t, std::string> parse_unsigned(std::string_view text,
                                                              std::uint64_t min, std::uint64_t max,
                                                              std::string_view what) {
    auto bad = [&] {
        return platform::unexpected(fmt::format("{} must be a whole number from {} to {}, not '{}'",
                                                what, min, max, shortened(text)));
    };
    if (text.empty() || text.size() > 19) {
        return bad();
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return bad();
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value < min || value > max) {
        return bad();
    }
    return value;
}

platform::Expected<double, std::string> parse_decimal(std::string_view text, double min, double max,
                                                      std::string_view what) {
    auto bad = [&] {
        return platform::unexpected(fmt::format("{} must be a number from {} to {}, not '{}'", what,
                                                min, max, shortened(text)));
    };
    double value = 0;
    double scale = 0;  // 0 before the decimal point, then 0.1, 0.01, ...
    std::size_t digits = 0;
    for (char c : text) {
        if (c == '.' && scale == 0) {
            scale = 0.1;
            continue;
        }
        if (c < '0' || c > '9' || digits >= 15) {
            return bad();
        }
        ++digits;
        if (scale == 0) {
            value = value * 10 + (c - '0');
        } else {
            value += (c - '0') * scale;
            scale /= 10;
        }
    }
    if (digits == 0 || value < min || value > max) {
        return bad();
    }
    return value;
}

}  // namespace tools
