// Which applications hold the microphone, from scripted process objects: what counts, what
// drops out, and the order and uniqueness of the names.
#include "micwatch/microphone_holders.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "support/memory_platform.h"

namespace velmor {
namespace {

using platform::sim::parseProcessTable;

struct HoldersCase {
  const char* name;
  nlohmann::json table;
  std::vector<std::string> apps;
};

class Holders : public ::testing::TestWithParam<HoldersCase> {
 protected:
  testing::SimTestPlatform sim;
};

TEST_P(Holders, AreTheRunningInputsNamedOnceInScalarOrder) {
  sim.world.processes().set(parseProcessTable(GetParam().table));
  EXPECT_EQ(appsHoldingMicrophone(sim.world.hardware()), GetParam().apps);
}

// U+0065 U+0301 and U+00E9 are one "é"; U+FF5E sorts after U+1F600 in UTF-16 code units,
// before it in scalar values.
const char* kCafeComposed = "com.caf\u00e9";
const char* kCafeDecomposed = "com.cafe\u0301";
const nlohmann::json kOneRecorder = nlohmann::json::array({{{"id", 1}, {"app", "com.a"}}});

INSTANTIATE_TEST_SUITE_P(
    Table, Holders,
    ::testing::Values(
        HoldersCase{"NoProcesses", nlohmann::json::array(), {}},
        HoldersCase{"ListReadsWork", {{"list", kOneRecorder}}, {"com.a"}},
        HoldersCase{"SizeQueryFails", {{"list", kOneRecorder}, {"fail", {"size"}}}, {}},
        HoldersCase{"ListReadFails", {{"list", kOneRecorder}, {"fail", {"list"}}}, {}},
        HoldersCase{"CaseSensitiveCodePointOrder",
                    {{{"id", 1}, {"app", "com.b"}}, {{"id", 2}, {"app", "com.A"}}, {{"id", 3}, {"app", "com.a"}}},
                    {"com.A", "com.a", "com.b"}},
        HoldersCase{"OneApplicationsProcessesOnce",
                    {{{"id", 1}, {"app", "com.example.app"}},
                     {{"id", 2}, {"app", "com.example.app"}},
                     {{"id", 3}, {"app", "com.example.app"}}},
                    {"com.example.app"}},
        HoldersCase{"CanonicallyEquivalentSpellingsOnceAsFirstReported",
                    {{{"id", 1}, {"app", kCafeDecomposed}}, {{"id", 2}, {"app", kCafeComposed}}},
                    {kCafeDecomposed}},
        HoldersCase{"DecomposedSortsAsComposed",
                    {{{"id", 1}, {"app", "com.caff"}}, {{"id", 2}, {"app", kCafeDecomposed}}},
                    {"com.caff", kCafeDecomposed}},
        HoldersCase{"ScalarValuesNotUtf16Units",
                    {{{"id", 1}, {"app", "com.\U0001F600"}}, {{"id", 2}, {"app", "com.\uFF5E"}}},
                    {"com.\uFF5E", "com.\U0001F600"}},
        HoldersCase{"NotRunningInputIsNotListed",
                    {{{"id", 1}, {"app", "com.idle"}, {"input", false}}, {{"id", 2}, {"app", "com.rec"}}},
                    {"com.rec"}},
        HoldersCase{"MissingOrEmptyIdentifierIsNotListed",
                    {{{"id", 1}, {"app", nullptr}}, {{"id", 2}, {"app", ""}}, {{"id", 3}, {"app", "com.rec"}}},
                    {"com.rec"}},
        HoldersCase{"FailedReadsDropTheProcess",
                    {{{"id", 1}, {"app", "com.a"}, {"fail", {"input"}}},
                     {{"id", 2}, {"app", "com.b"}, {"fail", {"app"}}},
                     {{"id", 3}, {"app", "com.c"}}},
                    {"com.c"}},
        // The list shrank between the size query and the read: the unfilled ids are 0,
        // which names no process here.
        HoldersCase{"UnfilledEntriesDropOut", {{"list", {{{"id", 7}, {"app", "com.a"}}}}, {"slack", 3}}, {"com.a"}},
        HoldersCase{"UnfilledEntryNamingProcessZeroCountsOnce",
                    {{"list", {{{"id", 0}, {"app", "com.zero"}}}}, {"slack", 2}},
                    {"com.zero"}},
        HoldersCase{"BadBytesBecomeReplacementCharacters",
                    {{{"id", 1}, {"app", {{"hex", "63 6f 6d 2e ff 61"}}}},
                     {{"id", 2}, {"app", {{"hex", "63 6f 6d 2e fe 61"}}}}},
                    {"com.\uFFFDa"}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(HoldersOrder, IsTheSameWhateverOrderTheProcessesComeIn) {
  std::vector<nlohmann::json> processes{
      {{"id", 1}, {"app", "org.b"}}, {{"id", 2}, {"app", "com.A"}}, {{"id", 3}, {"app", kCafeComposed}},
      {{"id", 4}, {"app", "com.a"}}, {{"id", 5}, {"app", "org.b"}}, {{"id", 6}, {"app", "zz"}, {"input", false}}};
  const std::vector<std::string> expected{"com.A", "com.a", kCafeComposed, "org.b"};
  std::vector<std::size_t> order{0, 1, 2, 3, 4, 5};
  do {
    testing::SimTestPlatform sim;
    nlohmann::json list = nlohmann::json::array();
    for (auto i : order) list.push_back(processes[i]);
    sim.world.processes().set(parseProcessTable(list));
    ASSERT_EQ(appsHoldingMicrophone(sim.world.hardware()), expected) << list.dump();
  } while (std::next_permutation(order.begin(), order.end()));
}

}  // namespace
}  // namespace velmor
