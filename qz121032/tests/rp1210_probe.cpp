// A small application for tests: loads the RP1210 library by path, the way applications
// do, runs the calls named on its command line in order and prints one line per call.
// Process-wide behaviour (the one-time initialisation) is tested through it, each
// scenario in a process of its own.
//
//   rp1210_probe [--cwd DIR] [--out FILE] LIBRARY CALL...
//   CALL: connect DEVICE PROTOCOL | disconnect CLIENT | version | ioctl CLIENT ID
//         | command CLIENT NUMBER HEX | send CLIENT HEX | read CLIENT (blocking)
//         | touch FILE (creates it) | await FILE (waits up to 60 s until it exists)
//   HEX: bytes as two hexadecimal digits each, separated by spaces ("C8 64"); a read
//   prints the message's bytes so.
//
// --out redirects standard output (the library's own messages included) to FILE.

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qz121032/rp1210_loader.hpp"

namespace {

std::vector<char> parse_hex(const std::string& text) {
    std::vector<char> bytes;
    for (std::size_t at = 0; at + 1 < text.size(); at += 3) {
        bytes.push_back(static_cast<char>(std::strtoul(text.substr(at, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

std::string hex_text(const char* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", static_cast<std::uint8_t>(bytes[i]));
        text += (i == 0 ? "" : " ") + std::string(two);
    }
    return text;
}

}  // namespace

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
        } else if (call == "command") {
            std::vector<char> bytes = parse_hex(arg(2));
            std::printf("command %s %s -> %d\n", arg(0).c_str(), arg(1).c_str(),
                        api->SendCommand(number(arg(1)), number(arg(0)),
                                         bytes.empty() ? nullptr : bytes.data(),
                                         static_cast<short>(bytes.size())));
            i += 3;
        } else if (call == "send") {
            const std::vector<char> bytes = parse_hex(arg(1));
            std::printf("send %s -> %d\n", arg(0).c_str(),
                        api->SendMessage(number(arg(0)), bytes.data(),
                                         static_cast<short>(bytes.size()), 0, 0));
            i += 2;
        } else if (call == "read") {
            std::array<char, 2048> buffer;
            const short n = api->ReadMessage(number(arg(0)), buffer.data(),
                                             static_cast<short>(buffer.size()), 1);
            std::printf("read %s -> %d: %s\n", arg(0).c_str(), n,
                        hex_text(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0).c_str());
            i += 1;
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
