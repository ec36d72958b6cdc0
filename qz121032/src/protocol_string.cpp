#include "protocol_string.hpp"

#include <charconv>
#include <string>
#include <system_error>

#include "text_util.hpp"

namespace qz121032 {

namespace {

using ParseResult = platform::Expected<ProtocolParameters, std::string>;

auto reject(const char* message) {
    return platform::unexpected(std::string(message));
}

// Length of the UTF-8 encoded Unicode white-space character at the start (or, with
// `at_end`, at the end) of `s`, or 0. Besides ASCII white space: U+0085, U+00A0, U+1680,
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
std::size_t unicode_space_length(std::string_view s, bool at_end) {
    auto is_space = [](std::string_view c) {
        if (c.size() == 1) {
            return text::is_ascii_space(c[0]);
        }
        const auto b = [&](std::size_t i) { return static_cast<unsigned char>(c[i]); };
        if (c.size() == 2) {
            return b(0) == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0);
        }
        if (b(0) == 0xE1) {
            return b(1) == 0x9A && b(2) == 0x80;  // U+1680
        }
        if (b(0) == 0xE2 && b(1) == 0x80) {
            return (b(2) >= 0x80 && b(2) <= 0x8A) || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF;
        }
        if (b(0) == 0xE2 && b(1) == 0x81) {
            return b(2) == 0x9F;  // U+205F
        }
        return b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x80;  // U+3000
    };
    for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
        if (is_space(at_end ? s.substr(s.size() - n) : s.substr(0, n))) {
            return n;
        }
    }
    return 0;
}

std::string_view trim_unicode(std::string_view s) {
    while (std::size_t n = unicode_space_length(s, false)) {
        s.remove_prefix(n);
    }
    while (std::size_t n = unicode_space_length(s, true)) {
        s.remove_suffix(n);
    }
    return s;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = text::to_upper_ascii(c);
    }
    return out;
}

// A decimal floating-point number: optional sign, digits with an optional fraction (at
// least one digit in all), optional exponent. Words such as "inf" or "nan" are not numbers.
std::optional<float> parse_float(std::string_view s) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            ++i;
        }
        return i - start;
    };
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    const std::size_t number_start = i;
    std::size_t mantissa_digits = digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        mantissa_digits += digits();
    }
    if (mantissa_digits == 0) {
        return std::nullopt;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        if (digits() == 0) {
            return std::nullopt;
        }
    }
    if (i != s.size()) {
        return std::nullopt;
    }
    float value = 0;
    const char* first = s.data() + number_start;
    const char* last = s.data() + s.size();
    const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec != std::errc() || end != last) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

// "Auto" (any case) is 0; 125, 250, 500 and 1000 are kbit/s; 1001 to 1000000 are bit/s.
// Returns the message on a bad value.
const char* convert_baud(std::string_view value, std::uint32_t& baud) {
    if (text::equals_ignore_case(value, "Auto")) {
        baud = 0;
        return nullptr;
    }
    const auto number = text::parse_decimal<std::uint32_t>(value);
    if (!number) {
        return "Invalid baud rate";
    }
    switch (*number) {
        case 125:
        case 250:
        case 500:
        case 1000:
            baud = *number * 1000;
            return nullptr;
        default:
            break;
    }
    if (*number < 1001 || *number > 1000000) {
        return "Unsupported baud rate";
    }
    baud = *number;
    return nullptr;
}

// Applies one key=value pair; returns the message on a rejection.
const char* apply(std::string_view key, std::string_view value, ProtocolParameters& p) {
    const std::string k = upper(key);
    auto u8 = [&](std::optional<std::uint8_t>& field, const char* message) -> const char* {
        field = text::parse_decimal<std::uint8_t>(value);
        return field ? nullptr : message;
    };
    if (k == "BAUD") {
        return convert_baud(value, p.baud);
    }
    if (k == "SJW") {
        return u8(p.sjw, "Invalid SJW");
    }
    if (k == "TSEG1") {
        return u8(p.tseg1, "Invalid TSEG1");
    }
    if (k == "TSEG2") {
        return u8(p.tseg2, "Invalid TSEG2");
    }
    if (k == "PROP_SEG") {
        return u8(p.prop_seg, "Invalid PROP_SEG");
    }
    if (k == "PHASE_SEG1") {
        return u8(p.phase_seg1, "Invalid PHASE_SEG1");
    }
    if (k == "PHASE_SEG2") {
        return u8(p.phase_seg2, "Invalid PHASE_SEG2");
    }
    if (k == "IDSIZE") {
        const std::string v = upper(value);
        if (v == "11" || v == "29") {
            p.id_size = static_cast<std::uint8_t>(v == "11" ? 11 : 29);
        } else if (v == "B") {
            p.id_size.reset();
        } else {
            return "Invalid ID size, must be 11, 29 or B";
        }
        return nullptr;
    }
    if (k == "CHANNEL") {
        p.channel = text::parse_decimal<std::uint32_t>(value);
        return p.channel ? nullptr : "Invalid channel";
    }
    if (k == "SAMPLETIMES") {
        if (value != "1" && value != "3") {
            return "SampleTimes must be 1 or 3";
        }
        p.sample_times = static_cast<std::uint8_t>(value == "1" ? 1 : 3);
        return nullptr;
    }
    if (k == "SAMPLELOCATION") {
        p.sample_location = parse_float(value);
        return p.sample_location ? nullptr : "Invalid sample point";
    }
    return "Unknown parameter key";
}

bool in_range(const std::optional<std::uint8_t>& v, int low, int high) {
    return *v >= low && *v <= high;
}

}  // namespace

ParseResult parse_protocol_string(std::string_view text) {
    const std::size_t colon = text.find(':');
    const std::string name = upper(text.substr(0, colon));
    ProtocolParameters params;
    if (name == "CAN") {
        params.is_can = true;
    } else if (name == "J1939") {
        params.is_can = false;
    } else {
        return reject("Unsupported protocol");
    }
    if (colon != std::string_view::npos) {
        std::string_view rest = text.substr(colon + 1);
        if (rest.empty()) {
            return reject("Empty parameter string after colon");
        }
        while (true) {
            const std::size_t comma = rest.find(',');
            const std::string_view piece = rest.substr(0, comma);
            const std::size_t equals = piece.find('=');
            if (equals == std::string_view::npos) {
                return reject("Invalid parameter format");
            }
            const std::string_view key = trim_unicode(piece.substr(0, equals));
            const std::string_view value = trim_unicode(piece.substr(equals + 1));
            if (value.empty()) {
                return reject("Empty parameter value");
            }
            if (const char* message = apply(key, value, params)) {
                return reject(message);
            }
            if (comma == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(comma + 1);
        }
    }
    if (auto message = validate_protocol_parameters(params)) {
        return platform::unexpected(std::move(*message));
    }
    return params;
}

std::optional<std::string> validate_protocol_parameters(const ProtocolParameters& p) {
    const bool baud_in_range = p.baud >= 1000 && p.baud <= 1000000;
    bool check_sjw = true;
    if (p.sample_location) {
        if (!(*p.sample_location >= 50.0f && *p.sample_location <= 95.0f)) {
            return "Invalid SampleLocation";
        }
        if (!baud_in_range) {
            return "Invalid baud rate";
        }
    } else if (p.prop_seg || p.phase_seg1 || p.phase_seg2) {
        if (!baud_in_range) {
            return "Invalid baud rate";
        }
        if (!p.prop_seg) {
            return "PROP_SEG missing";
        }
        if (!in_range(p.prop_seg, 1, 8)) {
            return "Invalid PROP_SEG";
        }
        if (!p.phase_seg1) {
            return "PHASE_SEG1 missing";
        }
        if (!in_range(p.phase_seg1, 1, 8)) {
            return "Invalid PHASE_SEG1";
        }
        if (!p.phase_seg2) {
            return "PHASE_SEG2 missing";
        }
        if (!in_range(p.phase_seg2, 1, 8)) {
            return "Invalid PHASE_SEG2";
        }
    } else if (p.tseg1 || p.tseg2) {
        if (!baud_in_range) {
            return "Invalid baud rate";
        }
        if (!p.tseg1) {
            return "TSEG1 missing";
        }
        if (!in_range(p.tseg1, 2, 15)) {
            return "Invalid TSEG1";
        }
        if (!p.tseg2) {
            return "TSEG2 missing";
        }
        if (!in_range(p.tseg2, 0, 7)) {
            return "Invalid TSEG2";
        }
        if (!p.sample_times) {
            return "SampleTimes missing";
        }
        if (*p.sample_times != 1 && *p.sample_times != 3) {
            return "Invalid SampleTimes";
        }
    } else {
        // Only Baud and Channel: the bit-timing keys make no sense without a timing form.
        if (p.sjw) {
            return "Unexpected SJW";
        }
        if (p.sample_times) {
            return "Unexpected SampleTimes";
        }
        if (p.id_size) {
            return "Unexpected IDSize";
        }
        check_sjw = false;
    }
    if (check_sjw) {
        if (!p.sjw) {
            return "SJW missing";
        }
        if (!in_range(p.sjw, 1, 4)) {
            return "Invalid SJW";
        }
    }
    if (!p.is_can && p.id_size == 11) {
        return "J1939 does not support 11-bit identifiers";
    }
    return std::nullopt;
}

platform::Expected<BusTimingRequest, std::string> to_bus_timing(const ProtocolParameters& p) {
    if (auto message = validate_protocol_parameters(p)) {
        return platform::unexpected(std::move(*message));
    }
    if (p.tseg1 && p.tseg2 && p.sjw && p.sample_times) {
        return BusTimingRequest{
            bus_timing::ExplicitSegments{p.baud, *p.tseg1, *p.tseg2, *p.sjw, *p.sample_times}};
    }
    if (p.phase_seg1 && p.phase_seg2 && p.prop_seg && p.sjw) {
        // In the sample-location form the segment keys are not range-checked: saturate
        // rather than wrap a sum above 255.
        const int sum = *p.prop_seg + *p.phase_seg1;
        const auto tseg1 = static_cast<std::uint8_t>(sum > 255 ? 255 : sum);
        return BusTimingRequest{
            bus_timing::ExplicitSegments{p.baud, tseg1, *p.phase_seg2, *p.sjw, 1}};
    }
    if (p.baud != 0) {
        bus_timing::BitRateWithSamplePoint timing;
        timing.bit_rate = static_cast<double>(p.baud);
        if (p.sample_location) {
            timing.sample_point = static_cast<double>(*p.sample_location) / 100.0;
        } else {
            timing.sample_point = p.baud <= 500000 ? 0.875 : 0.75;
        }
        timing.bit_rate_tolerance = 0.001;
        timing.sample_point_tolerance = 0.001;
        return BusTimingRequest{timing};
    }
    return BusTimingRequest{bus_timing::Automatic{}};
}

}  // namespace qz121032
