// rp1210-ini: adds an RP1210 implementation's name to the list in RP121032.INI, removes it,
// or prints the list. The installers run it; the edit keeps every other byte of the file.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tools/options.hpp"
#include "tools/rp1210_support_ini.hpp"

namespace {

namespace fs = std::filesystem;
namespace ini = tools::rp1210_ini;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const tools::CommandDef kProgram{
    "rp1210-ini",
    "add|remove|list FILE [NAME]",
    "Edits the list of RP1210 implementations that applications read from RP121032.INI\n"
    "([RP1210Support] APIImplementations=, names separated by commas).",
    {},
    "commands:\n"
    "  add FILE NAME      adds NAME at the end of the list unless it is listed; creates\n"
    "                     the key, the section or the file when missing\n"
    "  remove FILE NAME   removes NAME from the list; the other names keep their order\n"
    "  list FILE          prints the names listed, one a line\n"
    "\n"
    "Names compare without regard to case. Only the APIImplementations line changes: other\n"
    "names, keys, sections, comments and line ends stay as they are. The file is written\n"
    "to FILE.new first and then put in FILE's place, so that an interrupted edit leaves\n"
    "the old list. A file that is not 8-bit text (UTF-16) is left alone.\n"
    "\n"
    "Exit status: 0 success (also when there was nothing to change), 1 the file could not\n"
    "be read or written, 2 bad arguments."};

int usage(const std::string& message) {
    std::fprintf(stderr, "rp1210-ini: %s\nRun 'rp1210-ini --help' for the options.\n",
                 message.c_str());
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "rp1210-ini: %s\n", message.c_str());
    return kExitFailure;
}

// The file's bytes; an empty text for a file that does not exist; nothing when it cannot
// be read.
std::optional<std::string> read_file(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        return ec ? std::nullopt : std::optional<std::string>(std::string{});
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return text;
}

bool write_file(const fs::path& path, const std::string& text) {
    fs::path temporary = path;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())).flush()) {
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto parsed = tools::parse_options(kProgram, args);
    if (!parsed) {
        return usage(parsed.error());
    }
    if (parsed->help) {
        std::fputs(tools::help_text(kProgram).c_str(), stdout);
        return kExitOk;
    }
    const std::vector<std::string>& words = parsed->positionals;
    if (words.empty()) {
        return usage("a command is needed: add, remove or list");
    }
    const std::string& command = words[0];
    const bool edit = command == "add" || command == "remove";
    if (!edit && command != "list") {
        return usage("unknown command '" + command + "'");
    }
    if (words.size() != (edit ? 3u : 2u)) {
        return usage(edit ? command + " needs FILE and NAME" : "list needs FILE");
    }
    const fs::path path = fs::path(words[1]);
    if (edit && !ini::valid_implementation_name(words[2])) {
        return usage("'" + words[2] + "' is not a name (letters, digits, '_', '-', '.')");
    }

    const std::optional<std::string> text = read_file(path);
    if (!text) {
        return failure("cannot read " + words[1]);
    }
    if (text->find('\0') != std::string::npos) {
        return failure(words[1] + " is not 8-bit text (UTF-16?); left unchanged");
    }
    if (command == "list") {
        for (const std::string& name : ini::implementations(*text)) {
            std::printf("%s\n", name.c_str());
        }
        return kExitOk;
    }
    const ini::EditResult result = command == "add" ? ini::add_implementation(*text, words[2])
                                                    : ini::remove_implementation(*text, words[2]);
    if (result.changed && !write_file(path, result.text)) {
        return failure("cannot write " + words[1]);
    }
    return kExitOk;
}
