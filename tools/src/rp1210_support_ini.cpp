#include "tools/rp1210_support_ini.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

namespace tools::rp1210_ini {

namespace {

constexpr std::string_view kSection = "RP1210Support";
constexpr std::string_view kKey = "APIImplementations";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// One line of the file: its text and its line end ("\r\n", "\n" or none on the last line).
struct Line {
    std::string_view body;
    std::string_view end;
};

std::vector<Line> split_lines(std::string_view text) {
    std::vector<Line> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos) {
            lines.push_back({text, {}});
            break;
        }
        const std::size_t body_end = (nl > 0 && text[nl - 1] == '\r') ? nl - 1 : nl;
        lines.push_back({text.substr(0, body_end), text.substr(body_end, nl + 1 - body_end)});
        text.remove_prefix(nl + 1);
    }
    return lines;
}

bool is_space(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (is_space(s.back()) || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The section a header line opens, or nothing for any other line.
std::optional<std::string_view> section_name(std::string_view body) {
    const std::string_view t = trim(body);
    if (t.size() < 2 || t.front() != '[') {
        return std::nullopt;
    }
    const std::size_t close = t.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return trim(t.substr(1, close - 1));
}

// Where the list is: the first APIImplementations line of the first [RP1210Support]
// section (the one the Windows profile functions read), or where the section starts.
struct Location {
    std::optional<std::size_t> header;  // index of the section's header line
    std::optional<std::size_t> key;     // index of the key's line
    std::size_t value_offset = 0;       // offset of the value in that line's body
};

Location locate(const std::vector<Line>& lines) {
    Location at;
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view body = lines[i].body;
        if (i == 0 && body.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
            body.remove_prefix(kUtf8Bom.size());
        }
        if (const auto name = section_name(body)) {
            if (at.header) {
                // The first section of that name is the one read; a later one is ignored.
                inside = false;
                continue;
            }
            inside = same_name(*name, kSection);
            if (inside) {
                at.header = i;
            }
            continue;
        }
        const std::string_view t = trim(body);
        if (!inside || t.empty() || t.front() == ';' || t.front() == '#') {
            continue;
        }
        const std::size_t eq = body.find('=');
        if (eq != std::string_view::npos && same_name(trim(body.substr(0, eq)), kKey)) {
            at.key = i;
            at.value_offset = eq + 1 + (lines[i].body.size() - body.size());
            return at;
        }
    }
    return at;
}

// The line end new lines get: the file's own, CR LF for a file that has none.
std::string_view line_end(const std::vector<Line>& lines) {
    for (const Line& line : lines) {
        if (!line.end.empty()) {
            return line.end;
        }
    }
    return "\r\n";
}

// The comma-separated entries of a value, untrimmed.
std::vector<std::string_view> entries(std::string_view value) {
    std::vector<std::string_view> out;
    for (;;) {
        const std::size_t comma = value.find(',');
        out.push_back(value.substr(0, comma));
        if (comma == std::string_view::npos) {
            return out;
        }
        value.remove_prefix(comma + 1);
    }
}

std::string join(const std::vector<Line>& lines) {
    std::string out;
    for (const Line& line : lines) {
        out.append(line.body).append(line.end);
    }
    return out;
}

}  // namespace

std::vector<std::string> implementations(std::string_view text) {
    const std::vector<Line> lines = split_lines(text);
    const Location at = locate(lines);
    std::vector<std::string> names;
    if (!at.key) {
        return names;
    }
    for (const std::string_view entry : entries(lines[*at.key].body.substr(at.value_offset))) {
        if (!trim(entry).empty()) {
            names.emplace_back(trim(entry));
        }
    }
    return names;
}

EditResult add_implementation(std::string_view text, std::string_view name) {
    std::vector<Line> lines = split_lines(text);
    const Location at = locate(lines);
    const std::string_view nl = line_end(lines);
    std::string new_line;  // storage for the one line that changes
    if (at.key) {
        const std::string_view body = lines[*at.key].body;
        const std::string_view value = body.substr(at.value_offset);
        for (const std::string_view entry : entries(value)) {
            if (same_name(trim(entry), name)) {
                return {std::string(text), false};
            }
        }
        // The value as it stands, without trailing blanks, then ",name".
        std::string_view kept = value;
        while (!kept.empty() && is_space(kept.back())) {
            kept.remove_suffix(1);
        }
        const bool empty = trim(kept).empty();
        new_line = std::string(body.substr(0, at.value_offset));
        new_line.append(empty ? std::string_view{} : kept);
        if (!empty && kept.back() != ',') {
            new_line += ',';
        }
        new_line.append(name);
        lines[*at.key].body = new_line;
        return {join(lines), true};
    }
    new_line = std::string(kKey) + "=" + std::string(name);
    if (at.header) {
        Line& header = lines[*at.header];
        if (header.end.empty()) {
            header.end = nl;  // the header was the file's last line
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*at.header) + 1, {new_line, nl});
        return {join(lines), true};
    }
    std::string out(text);
    if (!lines.empty() && lines.back().end.empty()) {
        out.append(nl);
    }
    out.append("[").append(kSection).append("]").append(nl);
    out.append(new_line).append(nl);
    return {out, true};
}

EditResult remove_implementation(std::string_view text, std::string_view name) {
    std::vector<Line> lines = split_lines(text);
    const Location at = locate(lines);
    if (!at.key) {
        return {std::string(text), false};
    }
    const std::string_view body = lines[*at.key].body;
    std::string value;
    bool removed = false;
    bool first = true;
    for (const std::string_view entry : entries(body.substr(at.value_offset))) {
        if (same_name(trim(entry), name)) {
            removed = true;
            continue;
        }
        if (!first) {
            value += ',';
        }
        // The first entry left starts the value: no blanks before it.
        value.append(first ? trim(entry) : entry);
        first = false;
    }
    if (!removed) {
        return {std::string(text), false};
    }
    const std::string new_line = std::string(body.substr(0, at.value_offset)) + value;
    lines[*at.key].body = new_line;
    return {join(lines), true};
}

bool valid_implementation_name(std::string_view name) {
    if (name.empty() || name.size() > 64) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return std::isalnum(u) != 0 || c == '_' || c == '-' || c == '.';
    });
}

}  // namespace tools::rp1210_ini
