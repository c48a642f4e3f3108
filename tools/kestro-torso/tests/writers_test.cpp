// The tool's writers and argument parsing on their own: what the end-to-end tests cannot
// reach cheaply (escaping, non-finite numbers, tick placement, option forms).
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "tools/kestro-torso/csv_writer.hpp"
#include "tools/kestro-torso/json_writer.hpp"
#include "tools/kestro-torso/options.hpp"
#include "tools/kestro-torso/svg_plot.hpp"
#include "tools/kestro-torso/table.hpp"

namespace kestro::tool {
namespace {

TEST(JsonWriter, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(json_quote("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(json_quote("line\nnext\ttab\r"), R"("line\nnext\ttab\r")");
    EXPECT_EQ(json_quote(std::string("\x01\x1f", 2)), R"("\u0001\u001f")");
    EXPECT_EQ(json_quote("N·m"), "\"N·m\"");  // UTF-8 passes unchanged
}

TEST(JsonWriter, PlacesCommasAndWritesNonFiniteNumbersAsNull) {
    JsonWriter w;
    w.begin_object().key("a").begin_array().value(1).value(-2.5).value(true).end_array();
    w.key("b").begin_object().end_object();
    w.key("nan").value(std::nan(""));
    w.key("inf").value(std::numeric_limits<float>::infinity());
    w.key("none").value(std::optional<double>());
    w.key("f").value(0.1f);
    w.key("big").value(std::uint64_t{4294967295u});
    w.end_object();
    EXPECT_EQ(w.text(),
              R"({"a": [1, -2.5, true], "b": {}, "nan": null, "inf": null, "none": null, )"
              R"("f": 0.1, "big": 4294967295})");
}

TEST(Csv, HeaderNamesTheTenJointsAndMissingValuesAreEmptyCells) {
    EXPECT_EQ(csv_header(),
              "time,left_arm_pitch,left_arm_yaw,right_arm_pitch,right_arm_yaw,nose_top,"
              "nose_left,nose_right,neck_yaw,neck_pitch,neck_roll,"
              "left_arm_pitch_faults,left_arm_yaw_faults,right_arm_pitch_faults,"
              "right_arm_yaw_faults,nose_top_faults,nose_left_faults,nose_right_faults,"
              "neck_yaw_faults,neck_pitch_faults,neck_roll_faults,"
              "neck_yaw_temp_driver,neck_yaw_temp_motor,neck_pitch_temp_driver,"
              "neck_pitch_temp_motor,neck_roll_temp_driver,neck_roll_temp_motor\n");
    Sample sample{0.5, {}};
    sample.positions[0] = -3.141592653589793;
    sample.positions[9] = 0.25;
    sample.faults[4] = "overheat;overload";
    sample.neck_temperatures[1] = Temperatures{45, 92};
    EXPECT_EQ(csv_row(sample),
              "0.500000,-3.141592653589793,,,,,,,,,0.25,,,,,overheat;overload,,,,,,,,45,92,,\n");
}

TEST(SvgPlot, TicksAreRoundAndCoverTheRange) {
    EXPECT_EQ(nice_ticks(0.0, 1.0, 5), (std::vector<double>{0.0, 0.2, 0.4, 0.6000000000000001,
                                                             0.8, 1.0}));
    const auto ticks = nice_ticks(-0.13, 0.42, 4);
    ASSERT_FALSE(ticks.empty());
    EXPECT_GE(ticks.front(), -0.13);
    EXPECT_LE(ticks.back(), 0.42);
    EXPECT_NEAR(ticks[1] - ticks[0], 0.2, 1e-12);
    EXPECT_EQ(nice_ticks(1.0, 1.0, 4), std::vector<double>{1.0});
}

TEST(SvgPlot, ValuelessSamplesLeaveNoPointsAndNothingBreaksWithoutSamples) {
    std::vector<Sample> samples{{0.0, {}}, {0.1, {}}};
    samples[0].positions[8] = 0.1;
    samples[1].positions[8] = std::nan("");
    const std::string svg = svg_plot(samples);
    EXPECT_NE(svg.find("data-joint=\"neck_pitch\" fill=\"none\" stroke=\"#d62728\" "
                       "stroke-width=\"1.5\" points=\"60.00,"),
              std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    const std::string empty = svg_plot({});
    EXPECT_NE(empty.find("</svg>"), std::string::npos);
}

TEST(Table, AlignsColumnsAndRightAlignsNumbers) {
    Table table({"name", "value"});
    table.add({"a", "+1.5000"});
    table.add({"longer", "-"});
    EXPECT_EQ(table.render(), "name    value\na       +1.5000\nlonger  -\n");
}

TEST(Options, GlobalOptionsComeBeforeTheCommand) {
    auto parsed = parse_global({"--serial", "/dev/x", "--can=vcan1", "--no-can", "scan", "--json"});
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->serial, "/dev/x");
    EXPECT_EQ(parsed->can, "vcan1");
    EXPECT_FALSE(parsed->use_can);
    EXPECT_EQ(parsed->command, "scan");
    EXPECT_EQ(parsed->args, std::vector<std::string>{"--json"});
    EXPECT_FALSE(parse_global({"--serial"}));
    EXPECT_FALSE(parse_global({"--verbose", "scan"}));
}

TEST(Options, CommandOptionsTakeValuesEitherWay) {
    auto parsed = parse_command({"--rate", "20", "--count=5", "x"}, {"--json"}, {"--rate", "--count"});
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->value("--rate"), "20");
    EXPECT_EQ(parsed->value("--count"), "5");
    EXPECT_EQ(parsed->operands, std::vector<std::string>{"x"});
    EXPECT_FALSE(parse_command({"--json=1"}, {"--json"}, {}));
    EXPECT_FALSE(parse_command({"--rate"}, {}, {"--rate"}));
    EXPECT_FALSE(parse_positive("0", "--rate"));
    EXPECT_FALSE(parse_positive("nan", "--rate"));
    EXPECT_FALSE(parse_positive("5x", "--rate"));
    EXPECT_FALSE(parse_count("-1", "--count"));
    EXPECT_EQ(parse_count("12", "--count"), 12u);
}

}  // namespace
}  // namespace kestro::tool
