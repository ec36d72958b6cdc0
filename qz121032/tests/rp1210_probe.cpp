// A small application for tests: loads the RP1210 library by path, the way applications
// do, runs the calls named on its command line in order and prints one line per call.
// Process-wide behaviour (the one-time initialisation) is tested through it, each
// scenario in a process of its own.
//
//   rp1210_probe [--cwd DIR] [--out FILE] LIBRARY CALL...
//   CALL: connect DEVICE PROTOCOL | disconnect CLIENT | version | ioctl CLIENT ID
//         | touch FILE (creates it) | await FILE (waits up to 60 s until it exists)
//
// --out redirects standard output (the library's own messages included) to FILE.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qz121032/rp1210_loader.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::size_t i = 0;
    while (i + 1 < args.size() && args[i].rfind("--", 0) == 0) {
        if (args[i] == "--cwd") {
            std::error_code ec;
            std::filesystem::current_path(args[i + 1], ec);
            if (ec) {
                std::fprintf(stderr, "cannot change to %s\n", args[i + 1].c_str());
                return 2;
            }
        } else if (args[i] == "--out") {
            if (std::freopen(args[i + 1].c_str(), "w", stdout) == nullptr) {
                return 2;
            }
        } else {
            break;
        }
        i += 2;
    }
    if (i >= args.size()) {
        std::fprintf(stderr, "usage: rp1210_probe [--cwd DIR] [--out FILE] LIBRARY CALL...\n");
        return 2;
    }
    auto api = qz121032::Rp1210Library::load(args[i++]);
    if (!api) {
        std::fprintf(stderr, "%s\n", api.error().c_str());
        return 3;
    }
    auto number = [](const std::string& text) {
        return static_cast<short>(std::strtol(text.c_str(), nullptr, 0));
    };
    // Clients left connected by the calls are disconnected before the probe ends, as a
    // well-behaved application does.
    std::vector<short> connected;
    while (i < args.size()) {
        const std::string call = args[i++];
        auto arg = [&](std::size_t k) -> const std::string& {
            static const std::string none;
            return i + k < args.size() ? args[i + k] : none;
        };
        if (call == "connect") {
            const short result =
                api->ClientConnect(nullptr, number(arg(0)), arg(1).c_str(), 0, 0, 0);
            if (result >= 1 && result <= 127) {
                connected.push_back(result);
            }
            std::printf("connect %s %s -> %d\n", arg(0).c_str(), arg(1).c_str(), result);
            i += 2;
        } else if (call == "disconnect") {
            std::printf("disconnect %s -> %d\n", arg(0).c_str(),
                        api->ClientDisconnect(number(arg(0))));
            i += 1;
        } else if (call == "ioctl") {
            std::printf("ioctl %s %s -> %d\n", arg(0).c_str(), arg(1).c_str(),
                        api->Ioctl(number(arg(0)), number(arg(1)), nullptr, nullptr));
            i += 2;
        } else if (call == "touch") {
            std::ofstream(arg(0)).put('\n');
            i += 1;
        } else if (call == "await") {
            // Another process's signal: the file appears.
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!std::filesystem::exists(arg(0))) {
                if (std::chrono::steady_clock::now() > end) {
                    std::fprintf(stderr, "%s did not appear\n", arg(0).c_str());
                    return 4;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            i += 1;
        } else if (call == "version") {
            char v[4] = {};
            api->ReadVersion(&v[0], &v[1], &v[2], &v[3]);
            std::printf("version -> %c.%c %c.%c\n", v[0], v[1], v[2], v[3]);
        } else {
            std::fprintf(stderr, "unknown call %s\n", call.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    for (short client : connected) {
        api->ClientDisconnect(client);
    }
    return 0;
}
