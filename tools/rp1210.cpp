// rp1210: a command-line check of an RP1210 library. It loads the library the way
// applications do (by path; default: the library built beside this program).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/paths.hpp"
#include "qz121032/rp1210_loader.hpp"

namespace {

constexpr const char* kUsage =
    "usage: rp1210 [--library PATH] COMMAND [ARGS]\n"
    "\n"
    "Loads an RP1210 library and calls it as an application would.\n"
    "\n"
    "options:\n"
    "  --library PATH   the library to load (default: qz121032 beside this program)\n"
    "  -h, --help       this text\n"
    "\n"
    "commands:\n"
    "  version                      print RP1210_ReadVersion\n"
    "  errors [CODE...]             print RP1210_GetErrorMsg for the codes (default: all)\n"
    "  connect -d DEVICE -p PROTO   connect a client, print its ID or the error, disconnect\n";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "rp1210: %s\n\n%s", message.c_str(), kUsage);
    return 2;
}

std::string default_library() {
    const std::filesystem::path self = platform::current_executable_path();
    return (self.parent_path() / qz121032::rp1210_library_file_name()).string();
}

void print_error(const qz121032::Rp1210Library& api, int code) {
    char text[80] = {};
    if (api.GetErrorMsg(static_cast<short>(code), text) == 0) {
        std::printf("%d: %s\n", code, text);
    } else {
        std::printf("%d: (no description)\n", code);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string library = default_library();
    std::size_t i = 0;
    for (; i < args.size() && args[i].rfind("-", 0) == 0; ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (args[i] == "--library" && i + 1 < args.size()) {
            library = args[++i];
        } else {
            return usage_error("unknown option " + args[i]);
        }
    }
    if (i >= args.size()) {
        return usage_error("no command given");
    }
    const std::string command = args[i++];

    auto loaded = qz121032::Rp1210Library::load(library);
    if (!loaded) {
        std::fprintf(stderr, "rp1210: %s\n", loaded.error().c_str());
        return 1;
    }
    const qz121032::Rp1210Library& api = loaded.value();

    if (command == "version") {
        char v[4] = {};
        api.ReadVersion(&v[0], &v[1], &v[2], &v[3]);
        std::printf("library %s\nDLL version %c.%c, API version %c.%c\n", library.c_str(), v[0],
                    v[1], v[2], v[3]);
        return 0;
    }
    if (command == "errors") {
        if (i == args.size()) {
            for (int code = 128; code <= 700; ++code) {
                char text[80] = {};
                if (api.GetErrorMsg(static_cast<short>(code), text) == 0) {
                    std::printf("%d: %s\n", code, text);
                }
            }
        }
        for (; i < args.size(); ++i) {
            char* end = nullptr;
            const long code = std::strtol(args[i].c_str(), &end, 10);
            if (end == args[i].c_str() || *end != '\0') {
                return usage_error("not an error code: " + args[i]);
            }
            print_error(api, static_cast<int>(code));
        }
        return 0;
    }
    if (command == "connect") {
        std::string device;
        std::string protocol;
        for (; i + 1 < args.size(); i += 2) {
            if (args[i] == "-d") {
                device = args[i + 1];
            } else if (args[i] == "-p") {
                protocol = args[i + 1];
            } else {
                return usage_error("unknown connect option " + args[i]);
            }
        }
        if (i != args.size() || device.empty() || protocol.empty()) {
            return usage_error("connect needs -d DEVICE and -p PROTOCOL");
        }
        const short result = api.ClientConnect(
            nullptr, static_cast<short>(std::atoi(device.c_str())), protocol.c_str(), 0, 0, 0);
        if (result >= 128) {
            std::printf("connect failed: ");
            print_error(api, result);
            return 1;
        }
        std::printf("connected: client %d\n", result);
        api.ClientDisconnect(result);
        return 0;
    }
    return usage_error("unknown command " + command);
}
