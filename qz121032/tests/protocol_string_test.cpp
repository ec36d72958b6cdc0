// Protocol strings: every rejection message and the bus timing of accepted strings.

#include "protocol_string.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace qz121032 {
namespace {

struct Accepted {
    BusTimingRequest timing;
    bool is_can = true;
    std::optional<std::uint32_t> channel = {};
    std::optional<std::uint8_t> id_size = {};
};

struct Row {
    const char* text;
    std::variant<Accepted, std::string> expected;
};

Accepted rate(double bit_rate, double sample_point) {
    return {bus_timing::BitRateWithSamplePoint{bit_rate, sample_point, 0.001, 0.001}};
}
Accepted segments(std::uint32_t bit_rate, std::uint8_t tseg1, std::uint8_t tseg2, std::uint8_t sjw,
                  std::uint8_t samples) {
    return {bus_timing::ExplicitSegments{bit_rate, tseg1, tseg2, sjw, samples}};
}
template <class F>
Accepted with(Accepted a, F change) {
    change(a);
    return a;
}
Accepted j1939(Accepted a) {
    a.is_can = false;
    return a;
}

TEST(ProtocolStringTest, ParsesAndRejectsLikeTheTable) {
    const Accepted automatic{bus_timing::Automatic{}};
    const std::string pm = "CAN:Baud=500,PROP_SEG=5,PHASE_SEG1=8,PHASE_SEG2=2,SJW=1";
    const std::vector<Row> rows = {
        // Protocol names.
        {"CAN", rate(250000, 0.875)},
        {"J1939", j1939(rate(250000, 0.875))},
        {"j1939:baud=auto", j1939(automatic)},
        {"ISO15765", "Unsupported protocol"},
        {"J1708", "Unsupported protocol"},
        {" CAN", "Unsupported protocol"},
        {"", "Unsupported protocol"},
        // Baud rates: kbit/s shorthands, bit/s from 1001 to 1000000, sample point by rate.
        {"CAN:Baud=1000", rate(1000000, 0.75)},
        {"CAN:Baud=500", rate(500000, 0.875)},
        {"CAN:Baud=500001", rate(500001, 0.75)},
        {"CAN:BAUD=+125", rate(125000, 0.875)},
        {"CAN:Baud=83333", rate(83333, 0.875)},
        {"CAN:Baud=1001", rate(1001, 0.875)},
        {"CAN:Baud=AUTO", automatic},
        {"CAN:Baud=250,Baud=500", rate(500000, 0.875)},
        {"CAN:Baud=100", "Unsupported baud rate"},
        {"CAN:Baud=2000000", "Unsupported baud rate"},
        {"CAN:Baud=-5", "Invalid baud rate"},
        {"CAN:Baud=fast", "Invalid baud rate"},
        {"CAN:Baud=4294967296", "Invalid baud rate"},
        // Parameter list syntax.
        {"CAN:", "Empty parameter string after colon"},
        {"CAN:Baud", "Invalid parameter format"},
        {"CAN:Baud=500,", "Invalid parameter format"},
        {"CAN:Baud=", "Empty parameter value"},
        {"CAN:Speed=500", "Unknown parameter key"},
        {"CAN:=500", "Unknown parameter key"},
        {"CAN: Baud = 500 , Channel = 2",
         with(rate(500000, 0.875), [](auto& a) { a.channel = 2; })},
        {"CAN:Baud=\xC2\xA0"
         "500\xE3\x80\x80",
         rate(500000, 0.875)},
        {"CAN:Channel=x", "Invalid channel"},
        // Plain form: only Baud and Channel.
        {"CAN:Baud=500,SJW=1", "Unexpected SJW"},
        {"CAN:Baud=500,SampleTimes=1", "Unexpected SampleTimes"},
        {"CAN:Baud=500,IDSize=29", "Unexpected IDSize"},
        {"CAN:Baud=500,IDSize=b", rate(500000, 0.875)},
        {"CAN:IDSize=12", "Invalid ID size, must be 11, 29 or B"},
        {"CAN:SampleTimes=2", "SampleTimes must be 1 or 3"},
        // Sample-location form.
        {"CAN:Baud=500,SampleLocation=80,SJW=1,IDSize=29",
         with(rate(500000, 0.80), [](auto& a) { a.id_size = 29; })},
        {"CAN:Baud=500,SampleLocation=50,SJW=4", rate(500000, 0.50)},
        {"CAN:Baud=500,SampleLocation=8.75e1,SJW=1", rate(500000, 0.875)},
        {"CAN:Baud=500,SampleLocation=96,SJW=1", "Invalid SampleLocation"},
        {"CAN:Baud=500,SampleLocation=49.5,SJW=1", "Invalid SampleLocation"},
        {"CAN:Baud=500,SampleLocation=80", "SJW missing"},
        {"CAN:Baud=500,SampleLocation=80,SJW=5", "Invalid SJW"},
        {"CAN:Baud=Auto,SampleLocation=80,SJW=1", "Invalid baud rate"},
        {"CAN:Baud=500,SampleLocation=abc", "Invalid sample point"},
        {"CAN:Baud=500,SampleLocation=80,SJW=1,PROP_SEG=0", rate(500000, 0.80)},
        // Segment form.
        {pm.c_str(), segments(500000, 13, 2, 1, 1)},
        {"CAN:Baud=500,PHASE_SEG1=8,PHASE_SEG2=2,SJW=1", "PROP_SEG missing"},
        {"CAN:Baud=500,PROP_SEG=5,PHASE_SEG2=2,SJW=1", "PHASE_SEG1 missing"},
        {"CAN:Baud=500,PROP_SEG=5,PHASE_SEG1=8,SJW=1", "PHASE_SEG2 missing"},
        {"CAN:Baud=500,PROP_SEG=0,PHASE_SEG1=8,PHASE_SEG2=2,SJW=1", "Invalid PROP_SEG"},
        {"CAN:Baud=500,PROP_SEG=5,PHASE_SEG1=9,PHASE_SEG2=2,SJW=1", "Invalid PHASE_SEG1"},
        {"CAN:Baud=500,PROP_SEG=5,PHASE_SEG1=8,PHASE_SEG2=9,SJW=1", "Invalid PHASE_SEG2"},
        {"CAN:Baud=500,PROP_SEG=5,PHASE_SEG1=8,PHASE_SEG2=2", "SJW missing"},
        {"CAN:Baud=Auto,PROP_SEG=5,PHASE_SEG1=8,PHASE_SEG2=2,SJW=1", "Invalid baud rate"},
        {"CAN:PHASE_SEG2=-1", "Invalid PHASE_SEG2"},
        // TSEG form.
        {"CAN:Baud=500,TSEG1=13,TSEG2=2,SampleTimes=3,SJW=1", segments(500000, 13, 2, 1, 3)},
        {"CAN:Baud=500,TSEG1=15,TSEG2=0,SampleTimes=1,SJW=4", segments(500000, 15, 0, 4, 1)},
        {"CAN:Baud=500,TSEG1=1,TSEG2=2,SampleTimes=3,SJW=1", "Invalid TSEG1"},
        {"CAN:Baud=500,TSEG1=16,TSEG2=2,SampleTimes=3,SJW=1", "Invalid TSEG1"},
        {"CAN:Baud=500,TSEG1=13,TSEG2=8,SampleTimes=3,SJW=1", "Invalid TSEG2"},
        {"CAN:Baud=500,TSEG1=13,TSEG2=2,SampleTimes=2,SJW=1", "SampleTimes must be 1 or 3"},
        {"CAN:Baud=500,TSEG2=2,SampleTimes=3,SJW=1", "TSEG1 missing"},
        {"CAN:Baud=500,TSEG1=13,SampleTimes=3,SJW=1", "TSEG2 missing"},
        {"CAN:Baud=500,TSEG1=13,TSEG2=2,SJW=1", "SampleTimes missing"},
        {"CAN:Baud=500,TSEG1=13,TSEG2=2,SampleTimes=3", "SJW missing"},
        {"CAN:Baud=auto,TSEG1=13,TSEG2=2,SampleTimes=3,SJW=1", "Invalid baud rate"},
        {"CAN:SJW=256,TSEG1=13", "Invalid SJW"},  // converted in order, before Validate
        // A complete TSEG set wins over the form Validate checked.
        {"CAN:Baud=500,SampleLocation=80,SJW=1,TSEG1=13,TSEG2=2,SampleTimes=3",
         segments(500000, 13, 2, 1, 3)},
        // Identifier size by protocol.
        {"J1939:Baud=250,SampleLocation=75,SJW=1,IDSize=11",
         "J1939 does not support 11-bit identifiers"},
        {"CAN:Baud=250,SampleLocation=75,SJW=1,IDSize=11",
         with(rate(250000, 0.75), [](auto& a) { a.id_size = 11; })},
        {"J1939:Baud=250,SampleLocation=75,SJW=1,IDSize=29",
         j1939(with(rate(250000, 0.75), [](auto& a) { a.id_size = 29; }))},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const auto parsed = parse_protocol_string(row.text);
        if (const auto* message = std::get_if<std::string>(&row.expected)) {
            ASSERT_FALSE(parsed.has_value());
            EXPECT_EQ(parsed.error(), *message);
            continue;
        }
        const auto& want = std::get<Accepted>(row.expected);
        ASSERT_TRUE(parsed.has_value()) << parsed.error();
        EXPECT_EQ(parsed->is_can, want.is_can);
        EXPECT_EQ(parsed->channel, want.channel);
        EXPECT_EQ(parsed->id_size, want.id_size);
        const auto timing = to_bus_timing(*parsed);
        ASSERT_TRUE(timing.has_value()) << timing.error();
        EXPECT_TRUE(*timing == want.timing);
    }
}

TEST(ProtocolStringTest, ConstructedParametersAreValidatedToo) {
    // Values the parser cannot produce, but Validate and To bus timing still refuse.
    ProtocolParameters p;
    p.baud = 500000;
    p.tseg1 = 13;
    p.tseg2 = 2;
    p.sjw = 1;
    p.sample_times = 2;
    EXPECT_EQ(validate_protocol_parameters(p), "Invalid SampleTimes");
    const auto timing = to_bus_timing(p);
    ASSERT_FALSE(timing.has_value());
    EXPECT_EQ(timing.error(), "Invalid SampleTimes");
}

}  // namespace
}  // namespace qz121032
