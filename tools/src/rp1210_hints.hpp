#pragma once
// Hints the tool prints after a failed connect, worked out with the library's own
// configuration reader and protocol-string parser.

#include <string>
#include <vector>

#include "tools/rp1210_cli.hpp"

namespace tools::rp1210 {

// Where the library looks for its INI file and what it finds in each place.
std::string ini_search_text();
// The keys and values a protocol string takes.
std::string protocol_keys_text();
// What may be wrong when a connect failed with `code`; empty when the tool has nothing to
// add.
std::vector<std::string> connect_hints(int code, const Connection& connection);

}  // namespace tools::rp1210
