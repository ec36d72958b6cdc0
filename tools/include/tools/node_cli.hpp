#pragma once
// The command line of `tarnsim-node`, a foreign node on a simulated bus, and the frame
// patterns and answer rules it works with. Nothing here touches the simulator.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/expected.hpp"
#include "tools/can_text.hpp"
#include "tools/options.hpp"

namespace tools::node {

// A frame to send repeatedly: fixed bytes, bytes that count up by one with every frame of
// the pattern ("ii"), and random bytes ("rr"). "18FEF100#ii00rrrr".
struct FramePattern {
    enum class Byte : std::uint8_t { Fixed, Counter, Random };
    CanFrame frame;  // identifier, length, the fixed bytes
    std::array<Byte, 8> kinds{};
};

platform::Expected<FramePattern, std::string> parse_pattern(std::string_view text);
// The n-th frame of a pattern (n from 0); `random` supplies the random bytes.
CanFrame pattern_frame(const FramePattern& pattern, std::uint64_t n, std::uint64_t random);

// "REQUEST=RESPONSE": a received frame with the request's identifier (and, when the
// request has data, "ID#DATA", exactly that data) is answered with the response frame.
struct AnswerRule {
    std::uint32_t id = 0;
    bool extended = false;
    std::optional<CanFrame> data;  // present when the request names its data
    CanFrame response;
};

platform::Expected<AnswerRule, std::string> parse_answer_rule(std::string_view text);
bool matches(const AnswerRule& rule, const CanFrame& frame);

// The echo of a received frame: same data, identifier + offset, wrapped into the
// identifier's size.
CanFrame echo_frame(const CanFrame& received, std::int64_t id_offset);

enum class Mode { Send, Replay, Echo, Answer, Listen };

struct Options {
    Mode mode = Mode::Send;
    std::optional<std::string> config;  // simulator configuration file
    std::int32_t bus = 0;
    std::int32_t bitrate = 250000;  // what an RP1210 protocol string without Baud= uses
    std::int32_t channel = 1;       // driver channel for the modes that receive
    std::optional<std::uint64_t> count;
    std::optional<double> seconds;
    // send
    std::vector<FramePattern> patterns;
    double rate = 100;                   // frames per second
    std::optional<double> load_percent;  // instead of the rate: share of the bus's time
    // replay
    std::string file;
    bool loop = false;
    // echo
    std::int64_t id_offset = 0;
    // answer
    std::vector<AnswerRule> rules;
};

struct HelpRequest {
    std::string text;
};

platform::Expected<std::variant<HelpRequest, Options>, UsageError> parse_command_line(
    std::span<const std::string> args);

// The help of the program (`command` empty) or of one command.
std::string help(std::string_view command = {});
std::vector<std::string_view> command_names();

}  // namespace tools::node
