#include "tools/replay_log.hpp"

#include <sstream>

#include <fmt/format.h>

#include "tools/j1939_text.hpp"

namespace tools {

namespace {

// "(   12.345)": the time stamp of a dump line in microseconds.
platform::Expected<std::uint64_t, std::string> dump_time(std::string_view stamp) {
    while (!stamp.empty() && stamp.front() == ' ') {
        stamp.remove_prefix(1);
    }
    const std::size_t dot = stamp.find('.');
    std::uint64_t seconds = 0;
    std::uint64_t millis = 0;
    bool ok = dot != std::string_view::npos && dot > 0 && dot <= 12 && stamp.size() - dot - 1 == 3;
    for (std::size_t k = 0; ok && k < stamp.size(); ++k) {
        if (k == dot) {
            continue;
        }
        ok = stamp[k] >= '0' && stamp[k] <= '9';
        std::uint64_t& part = k < dot ? seconds : millis;
        part = part * 10 + static_cast<std::uint64_t>(stamp[k] - '0');
    }
    if (!ok) {
        return platform::unexpected(fmt::format(
            "time stamp '{}' must be SECONDS.MICROSECONDS (a log file) or SECONDS.MILLISECONDS "
            "(rp1210 dump)",
            shortened(stamp)));
    }
    return (seconds * 1000 + millis) * 1000;
}

std::vector<std::string> words(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::vector<std::string> result;
    for (std::string w; in >> w;) {
        result.push_back(w);
    }
    return result;
}

// "[N]" and N data bytes from `at` on.
platform::Expected<std::vector<std::uint8_t>, std::string> dump_data(
    const std::vector<std::string>& w, std::size_t at, std::size_t most) {
    const std::string& length_text = at < w.size() ? w[at] : std::string();
    if (length_text.size() < 3 || length_text.front() != '[' || length_text.back() != ']') {
        return platform::unexpected(std::string("expected [LENGTH] and the data bytes"));
    }
    std::string data;
    for (std::size_t k = at + 1; k < w.size(); ++k) {
        data += w[k];
    }
    auto bytes = parse_data(data, most);
    if (!bytes) {
        return platform::unexpected(std::move(bytes.error()));
    }
    if (std::to_string(bytes->size()) != length_text.substr(1, length_text.size() - 2)) {
        return platform::unexpected(
            fmt::format("{} does not match the {} data bytes", length_text, bytes->size()));
    }
    return bytes;
}

CanFrame j1939_frame(std::uint8_t priority, std::uint32_t pgn, std::uint8_t source,
                     std::uint8_t destination, std::span<const std::uint8_t> data) {
    CanFrame f;
    f.extended = true;
    const bool pdu1 = ((pgn >> 8) & 0xFF) < 0xF0;
    f.id = (std::uint32_t{priority} << 26) | ((pdu1 ? (pgn & ~0xFFu) | destination : pgn) << 8) |
           source;
    f.length = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data.begin());
    return f;
}

platform::Expected<ReplayLine, std::string> j1939_line(const std::vector<std::string>& w,
                                                       std::size_t at, std::uint64_t time_us) {
    // P PGN SS -> DD [N] data
    if (w.size() < at + 6 || w[at + 3] != "->" || w[at].size() != 1 || w[at][0] < '0' ||
        w[at][0] > '7') {
        return platform::unexpected(std::string("expected PRIORITY PGN SOURCE -> DESTINATION"));
    }
    auto pgn = parse_pgn(w[at + 1]);
    auto source = parse_address(w[at + 2]);
    auto destination = parse_address(w[at + 4]);
    if (!pgn || !source || !destination) {
        return platform::unexpected(!pgn ? pgn.error()
                                         : (!source ? source.error() : destination.error()));
    }
    ReplayLine line;
    if (at + 6 < w.size() && (w[at + 6] == "BAM" || w[at + 6] == "RTS/CTS")) {
        line.skipped = "a transfer that did not complete";
        return line;
    }
    auto data = dump_data(w, at + 5, kMaxJ1939Data);
    if (!data) {
        return platform::unexpected(std::move(data.error()));
    }
    const auto priority = static_cast<std::uint8_t>(w[at][0] - '0');
    if (data->size() <= 8) {
        line.records.push_back(
            {time_us, "j1939", j1939_frame(priority, *pgn, *source, *destination, *data)});
        return line;
    }
    if (*destination != kGlobalAddress) {
        line.skipped = "an RTS/CTS transfer (it needs the receiver's CTS)";
        return line;
    }
    // The BAM: announcement, then the packets (sequence number and 7 bytes, FF-padded).
    const auto size = static_cast<std::uint32_t>(data->size());
    const std::uint32_t packets = (size + 6) / 7;
    const std::uint8_t announcement[8] = {32,
                                          static_cast<std::uint8_t>(size),
                                          static_cast<std::uint8_t>(size >> 8),
                                          static_cast<std::uint8_t>(packets),
                                          0xFF,
                                          static_cast<std::uint8_t>(*pgn),
                                          static_cast<std::uint8_t>(*pgn >> 8),
                                          static_cast<std::uint8_t>(*pgn >> 16)};
    // The announcement goes out a whole BAM earlier, so that the message is complete at
    // the time the dump showed it.
    std::uint64_t t =
        time_us >= packets * kReplayBamIntervalUs ? time_us - packets * kReplayBamIntervalUs : 0;
    line.records.push_back(
        {t, "j1939", j1939_frame(priority, 0xEC00, *source, 0xFF, announcement)});
    for (std::uint32_t k = 0; k < packets; ++k) {
        std::uint8_t packet[8] = {
            static_cast<std::uint8_t>(k + 1), 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        for (std::uint32_t i = 0; i < 7 && k * 7 + i < size; ++i) {
            packet[1 + i] = (*data)[k * 7 + i];
        }
        t += kReplayBamIntervalUs;
        line.records.push_back({t, "j1939", j1939_frame(priority, 0xEB00, *source, 0xFF, packet)});
    }
    return line;
}

}  // namespace

platform::Expected<ReplayLine, std::string> parse_replay_line(std::string_view text) {
    // A candump log line has no blank inside its time stamp and 6 decimals.
    const std::size_t close = text.find(')');
    const bool dump = close != std::string_view::npos &&
                      text.substr(0, close).find(' ') != std::string_view::npos;
    const std::size_t dot = text.substr(0, close).find('.');
    const bool three_decimals =
        close != std::string_view::npos && dot != std::string_view::npos && close - dot - 1 == 3;
    if (!dump && !three_decimals) {
        auto record = parse_log_line(text);
        if (!record) {
            return platform::unexpected(std::move(record.error()));
        }
        ReplayLine line;
        if (*record) {
            line.records.push_back(std::move(**record));
        }
        return line;
    }
    const std::size_t open = text.find('(');
    if (open == std::string_view::npos || open > close) {
        return platform::unexpected(std::string("expected a time stamp in parentheses"));
    }
    auto time_us = dump_time(text.substr(open + 1, close - open - 1));
    if (!time_us) {
        return platform::unexpected(std::move(time_us.error()));
    }
    const std::vector<std::string> w = words(text.substr(close + 1));
    std::size_t at = !w.empty() && (w[0] == "TX" || w[0] == "RX") ? 1 : 0;
    if (w.size() > at + 3 && w[at + 3] == "->") {
        return j1939_line(w, at, *time_us);
    }
    if (at >= w.size()) {
        return platform::unexpected(std::string("expected ID [LENGTH] DATA after the time stamp"));
    }
    CanFrame frame;
    auto id = parse_identifier(w[at], frame.extended);
    if (!id) {
        return platform::unexpected(std::move(id.error()));
    }
    frame.id = *id;
    auto data = dump_data(w, at + 1, 8);
    if (!data) {
        return platform::unexpected(std::move(data.error()));
    }
    frame.length = static_cast<std::uint8_t>(data->size());
    std::copy(data->begin(), data->end(), frame.data.begin());
    ReplayLine line;
    line.records.push_back({*time_us, "dump", frame});
    return line;
}

}  // namespace tools
