#pragma once
// The rp1210 subcommands. Each returns the process exit status: kExitOk, or kExitFailure
// after printing what failed.

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

}  // namespace tools::rp1210
