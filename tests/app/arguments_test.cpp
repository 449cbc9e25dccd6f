#include "app/arguments.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace velmor {
namespace {

struct Case {
  const char* name;
  std::vector<std::string> argv;  // without the program path
  Arguments expected;
};

Arguments with(auto&& change) {
  Arguments a;
  change(a);
  return a;
}

class ArgumentsTest : public ::testing::TestWithParam<Case> {};

TEST_P(ArgumentsTest, ParsesToTheExpectedRecord) {
  std::vector<std::string> argv{"/usr/bin/velmor-audio"};
  argv.insert(argv.end(), GetParam().argv.begin(), GetParam().argv.end());
  EXPECT_EQ(parseArguments(argv), GetParam().expected);
}

const Case cases[] = {
    {"NoArguments", {}, Arguments{}},
    {"MicAtTheEndHasNoEffect", {"--mic"}, Arguments{}},
    {"MicAtTheEndKeepsEarlierMic", {"--mic", "a", "--mic"}, with([](auto& a) { a.micDevice = "a"; })},
    {"MicTakesAnOptionAsItsValue", {"--mic", "--system"}, with([](auto& a) { a.micDevice = "--system"; })},
    {"MicTakesAnEmptyValue", {"--mic", ""}, with([](auto& a) { a.micDevice = ""; })},
    {"LastMicWins", {"--mic", "a", "--mic", "b"}, with([](auto& a) { a.micDevice = "b"; })},
    {"Flags", {"--system", "--list-devices", "--watch", "--events", "--ask", "--access-only"}, with([](auto& a) {
       a.system = a.listDevices = a.watch = a.events = a.ask = a.accessOnly = true;
     })},
    {"RepeatedFlag", {"--system", "--system"}, with([](auto& a) { a.system = true; })},
    {"BadRateResetsAnEarlierRate", {"--rate", "8000", "--rate", "fast"}, Arguments{}},
    {"RateExponent", {"--rate", "8e3"}, with([](auto& a) { a.rate = 8000; })},
    {"RateHex", {"--rate", "0x1F40"}, with([](auto& a) { a.rate = 8000; })},
    {"RateHexFloat", {"--rate", "0x1p13"}, with([](auto& a) { a.rate = 8192; })},
    {"RateSignAndFraction", {"--rate", "+22050.5"}, with([](auto& a) { a.rate = 22050.5; })},
    {"RateNegative", {"--rate", "-5"}, with([](auto& a) { a.rate = -5; })},
    {"RateTrailingSpace", {"--rate", "8000 "}, Arguments{}},
    {"RateLeadingSpace", {"--rate", " 8000"}, Arguments{}},
    {"RateLeadingTab", {"--rate", "\t8000"}, Arguments{}},
    {"RateTrailingJunk", {"--rate", "8000Hz"}, Arguments{}},
    {"RateEmpty", {"--rate", ""}, Arguments{}},
    {"RateDecimalComma", {"--rate", "8000,5"}, Arguments{}},
    {"RateEmbeddedNul",
     {"--rate", std::string("8000\0"
                            "1",
                            6)},
     Arguments{}},
    {"RateAtTheEnd", {"--rate", "8000", "--rate"}, with([](auto& a) { a.rate = 8000; })},
    {"HoursNegative", {"--hours", "-5"}, with([](auto& a) { a.hours = -5; })},
    {"HoursAtTheEnd", {"--hours"}, Arguments{}},
    {"HoursNotANumber", {"--hours", "12", "--hours", "x"}, Arguments{}},
    {"CapitalOptionAndItsValueAreSkipped", {"--RATE", "8000"}, Arguments{}},
    {"EqualsFormIsSkipped", {"--rate=8000", "--mic=x"}, Arguments{}},
    {"UnknownOptionsSkipped", {"-r", "--verbose", "stray", "--", "--system"}, with([](auto& a) { a.system = true; })},
    {"ValueConsumedEvenIfAnOption", {"--rate", "--list-devices"}, Arguments{}},
    {"NonUtf8Value", {"--mic", "\xff\xfe"}, with([](auto& a) { a.micDevice = "\xff\xfe"; })},
};

INSTANTIATE_TEST_SUITE_P(Table, ArgumentsTest, ::testing::ValuesIn(cases),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(ArgumentsNumbers, NonFiniteFormsAreStoredAsRead) {
  const auto rate = [](const std::string& value) { return parseArguments({"p", "--rate", value}).rate; };
  EXPECT_TRUE(std::isinf(rate("inf")) && rate("inf") > 0);
  EXPECT_TRUE(std::isinf(rate("-Infinity")) && rate("-Infinity") < 0);
  EXPECT_TRUE(std::isnan(rate("nan")));
  EXPECT_TRUE(std::isnan(rate("NAN(123)")));
  EXPECT_TRUE(std::isinf(rate("1e999")));  // overflow reads as infinity, as the C library does
  EXPECT_EQ(rate("infinit"), 16000);       // not the whole text
}

TEST(ArgumentsNumbers, ProgramPathIsNeverExamined) {
  EXPECT_EQ(parseArguments({"--system"}), Arguments{});
  EXPECT_EQ(parseArguments({}), Arguments{});
}

TEST(ArgumentsNumbers, HugeArgumentVectorsParse) {
  std::vector<std::string> argv{"p"};
  for (int i = 0; i < 100000; ++i) argv.push_back(i % 2 ? "--rate" : "8000");
  argv.push_back(std::string(1 << 20, 'x'));  // the last "--rate" takes it: not a number
  EXPECT_EQ(parseArguments(argv).rate, 16000);
  argv.emplace_back("--rate");
  argv.emplace_back("8000");
  EXPECT_EQ(parseArguments(argv).rate, 8000);
}

}  // namespace
}  // namespace velmor
