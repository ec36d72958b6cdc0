#pragma once
// The files tarnsim-node replays: candump log files, and what `rp1210 dump` writes, so that
// a recorded dump can be played back onto a simulated bus.
//
//   candump -l      "(1436509052.249713) can0 18FEF100#F7007D00"
//   dump, CAN       "(     12.345)  18FEF100   [4]  F7 00 7D 00" (optionally " TX"/" RX"
//                   after the time stamp)
//   dump, J1939     "(     12.345)  6  0FECA  00 -> FF  [10]  04 FF 6E ..." (the same)
//
// A J1939 message of up to 8 bytes is its one frame; a longer one to the global address
// becomes the BAM that carries it (the announcement and packets 50 ms apart, as the
// library sends them). A transfer to one address needs the receiver's CTS frames and
// cannot be replayed; nor can the lines of aborted or timed-out transfers.

#include <string>
#include <string_view>
#include <vector>

#include "platform/expected.hpp"
#include "tools/can_text.hpp"

namespace tools {

inline constexpr std::uint64_t kReplayBamIntervalUs = 50000;

struct ReplayLine {
    std::vector<LogRecord> records;  // empty for blank lines and comments
    std::string skipped;             // why a line with a message gives no frames
};

platform::Expected<ReplayLine, std::string> parse_replay_line(std::string_view line);

}  // namespace tools
