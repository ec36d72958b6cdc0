#pragma once
// The rp1210 subcommands. Each returns the process exit status: kExitOk, or kExitFailure
// after printing what failed.

#include <cstdint>
#include <optional>
#include <string>

#include "rp1210_session.hpp"
#include "tools/rp1210_cli.hpp"

namespace tools::rp1210 {

int run_version(const Api& api, const std::string& library);
int run_errors(const Api& api, const ErrorsCommand& command);
int run_connect(const Api& api, const ConnectCommand& command);
// Needs no library: it reads the INI file and asks the CAN driver itself.
int run_devices();
int run_info(const Api& api, const InfoCommand& command);
int run_dump(const Api& api, const DumpCommand& command);
int run_send(const Api& api, const SendCommand& command);
int run_selftest(const Api& api, const SelftestCommand& command);

// The two clients of a selftest, ready (bit rate detected) and the connection speed.
struct SelftestClients {
    Client a;
    Client b;
    std::uint32_t speed = 0;
};
// Connects A and B with receive buffers of `rx_buffer_size`; nullopt after reporting a
// failure.
std::optional<SelftestClients> connect_selftest_clients(const Api& api,
                                                        const SelftestCommand& command,
                                                        std::int32_t rx_buffer_size);
// The J1939 selftest, which run_selftest hands J1939 connections to.
int run_selftest_j1939(const Api& api, const SelftestCommand& command);

}  // namespace tools::rp1210
