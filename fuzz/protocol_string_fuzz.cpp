// Protocol-string parser: a string that parses is valid, so it must also convert to a
// bus timing request, and that request must be consistent with the parameters.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "protocol_string.hpp"

// A broken invariant is a crash for libFuzzer.
static void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qz121032;
    const auto parsed =
        parse_protocol_string(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed) {
        require(!parsed.error().empty());
        return 0;
    }
    require(!validate_protocol_parameters(*parsed));
    const auto timing = to_bus_timing(*parsed);
    require(timing.has_value());
    if (std::holds_alternative<bus_timing::Automatic>(*timing)) {
        require(parsed->baud == 0);
    } else if (const auto* rate = std::get_if<bus_timing::BitRateWithSamplePoint>(&*timing)) {
        require(rate->bit_rate == parsed->baud);
        require(rate->sample_point >= 0.5 && rate->sample_point <= 0.95);
    } else {
        const auto& segments = std::get<bus_timing::ExplicitSegments>(*timing);
        require(segments.bit_rate >= 1000 && segments.bit_rate <= 1000000);
        require(segments.samples == 1 || segments.samples == 3);
    }
    return 0;
}
