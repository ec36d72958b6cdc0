// rp1210: a command-line program that uses an RP1210 library exactly as an application
// does. It loads the library by path (default: the library beside this program, else the
// installed one by name through the system's search, as RP1210 applications load it),
// connects clients with device IDs and protocol strings, and prints what the library
// answers. `rp1210 --help` lists the commands.

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "platform/paths.hpp"
#include "qz121032/rp1210_loader.hpp"
#include "rp1210_commands.hpp"
#include "tools/rp1210_cli.hpp"

namespace {

using namespace tools::rp1210;

// The library beside this program (a build tree), else its file name alone, which the
// system looks up as it does for RP1210 applications: the system directory on Windows,
// the library path on Linux.
std::string default_library() {
    const std::filesystem::path self = platform::current_executable_path();
    const std::filesystem::path beside = self.parent_path() / qz121032::rp1210_library_file_name();
    std::error_code ec;
    return std::filesystem::exists(beside, ec) ? beside.string()
                                               : qz121032::rp1210_library_file_name();
}

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Spelled out for compilers without the implicit guide for aggregates.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

int main(int argc, char** argv) {
    // Each message line goes out when it is printed, also into a pipe or a file, so that
    // "rp1210 dump | grep ..." and a log being followed see messages as they come.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto invocation = parse_command_line(args, default_library());
    if (!invocation) {
        std::fprintf(stderr, "rp1210: %s\nRun '%s' for the options.\n",
                     invocation.error().message.c_str(), invocation.error().help_command.c_str());
        return kExitUsage;
    }
    if (const auto* help = std::get_if<HelpCommand>(&invocation->command)) {
        std::fputs(help->text.c_str(), stdout);
        return kExitOk;
    }
    if (std::holds_alternative<DevicesCommand>(invocation->command)) {
        return run_devices();
    }

    auto loaded = qz121032::Rp1210Library::load(invocation->library);
    if (!loaded) {
        std::fprintf(stderr, "rp1210: %s\n", loaded.error().c_str());
        return kExitFailure;
    }
    const Api& api = loaded.value();
    install_stop_handler();
    return std::visit(
        Overloaded{[](const HelpCommand&) { return kExitOk; },
                   [](const DevicesCommand&) { return run_devices(); },
                   [&](const VersionCommand&) { return run_version(api, invocation->library); },
                   [&](const ErrorsCommand& c) { return run_errors(api, c); },
                   [&](const ConnectCommand& c) { return run_connect(api, c); },
                   [&](const InfoCommand& c) { return run_info(api, c); },
                   [&](const DumpCommand& c) { return run_dump(api, c); },
                   [&](const SendCommand& c) { return run_send(api, c); },
                   [&](const SelftestCommand& c) { return run_selftest(api, c); }},
        invocation->command);
}
