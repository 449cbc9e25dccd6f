#include "devices/resolve_mic.h"

#include <unicode/locid.h>

#include <gtest/gtest.h>

#include "support/memory_platform.h"

namespace velmor {
namespace {

using platform::sim::SimDevice;

SimDevice device(platform::AudioObjectId id, std::optional<std::string> uid, std::string name,
                 std::uint32_t transport) {
  SimDevice d;
  d.id = id;
  d.uid = std::move(uid);
  d.name = std::move(name);
  d.transport = transport;
  return d;
}

enum class World { builtins, externalsOnly, withEmptyUid, none };

struct Case {
  const char* name;
  World world;
  std::string text;
  std::optional<platform::AudioObjectId> expected;  // none: the system default
  std::optional<std::string> message;               // the fallback's error event, if any
};

class ResolveMicTest : public ::testing::TestWithParam<Case> {
 protected:
  testing::SimTestPlatform sim;
  ControlChannel control{sim.dispatch, sim.stdErr, sim.process};

  void build(World world) {
    using platform::kTransportBuiltIn;
    using platform::kTransportUsb;
    if (world == World::none) return;
    if (world != World::externalsOnly) {
      sim.world.addDevice(device(11, "BuiltInZ", "Zed Internal", kTransportBuiltIn));
      sim.world.addDevice(device(10, "BuiltInMic", "MacBook Microphone", kTransportBuiltIn));
    }
    sim.world.addDevice(device(20, "usb-1", "USB Mic", kTransportUsb));
    sim.world.addDevice(device(21, "default", "Odd Device", kTransportUsb));
    if (world == World::withEmptyUid) sim.world.addDevice(device(30, std::nullopt, "No UID", kTransportUsb));
  }
};

TEST_P(ResolveMicTest, ChoosesTheDeviceOrFallsBack) {
  const Case& c = GetParam();
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("en_US"), status);
  build(c.world);
  const auto chosen = resolveMic(c.text, sim.world.hardware(), control);
  EXPECT_EQ(chosen ? std::optional(chosen->id) : std::nullopt, c.expected);
  const auto events = sim.stdErr.events();
  if (c.message) {
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (nlohmann::json{{"type", "error"}, {"message", *c.message}}));
  } else {
    EXPECT_TRUE(events.empty()) << events[0].dump();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResolveMicTest,
    ::testing::Values(Case{"DefaultKeyword", World::builtins, "default", std::nullopt, std::nullopt},
                      Case{"BuiltinKeywordTakesTheFirstBuiltInByName", World::builtins, "builtin", 10, std::nullopt},
                      Case{"BuiltinKeywordWithoutBuiltIn", World::externalsOnly, "builtin", std::nullopt,
                           "No built-in microphone found; using the system default"},
                      Case{"KeywordsAreCaseSensitive", World::externalsOnly, "Default", std::nullopt,
                           "Microphone Default not found; using the system default"},
                      Case{"Uid", World::builtins, "usb-1", 20, std::nullopt},
                      Case{"UidInAnotherCaseIsNotAMatch", World::builtins, "USB-1", 10,
                           "Microphone USB-1 not found; using MacBook Microphone"},
                      Case{"Id", World::builtins, "20", 20, std::nullopt},
                      Case{"IdWithLeadingZeros", World::builtins, "00020", 20, std::nullopt},
                      Case{"IdWithPlus", World::builtins, "+20", 20, std::nullopt},
                      Case{"KeywordUidReachableByIdOnly", World::externalsOnly, "21", 21, std::nullopt},
                      Case{"IdTooLarge", World::externalsOnly, "4294967316", std::nullopt,
                           "Microphone 4294967316 not found; using the system default"},
                      Case{"NegativeId", World::externalsOnly, "-20", std::nullopt,
                           "Microphone -20 not found; using the system default"},
                      Case{"EmptyTextMatchesAnEmptyUid", World::withEmptyUid, "", 30, std::nullopt},
                      Case{"EmptyTextWithoutEmptyUid", World::externalsOnly, "", std::nullopt,
                           "Microphone  not found; using the system default"},
                      Case{"NoDevicesAtAll", World::none, "usb-1", std::nullopt,
                           "Microphone usb-1 not found; using the system default"},
                      Case{"NoDevicesDefault", World::none, "default", std::nullopt, std::nullopt}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(ResolveMicUnplug, ADeviceUnpluggedBetweenCallsFallsBack) {
  testing::SimTestPlatform sim;
  ControlChannel control{sim.dispatch, sim.stdErr, sim.process};
  sim.world.addDevice(device(20, "usb-1", "USB Mic", platform::kTransportUsb));
  EXPECT_EQ(resolveMic("usb-1", sim.world.hardware(), control)->id, 20u);
  sim.world.unplug(20);
  EXPECT_EQ(resolveMic("usb-1", sim.world.hardware(), control), std::nullopt);
  EXPECT_EQ(sim.stdErr.events().at(0)["message"], "Microphone usb-1 not found; using the system default");
}

TEST(ParseDeviceId, UnsignedDecimalOnly) {
  const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {{"0", 0},
                                                                        {"-0", 0},
                                                                        {"+7", 7},
                                                                        {"007", 7},
                                                                        {"4294967295", 4294967295u},
                                                                        {"", {}},
                                                                        {"+", {}},
                                                                        {"-", {}},
                                                                        {"-1", {}},
                                                                        {"4294967296", {}},
                                                                        {" 1", {}},
                                                                        {"1 ", {}},
                                                                        {"0x10", {}},
                                                                        {"1e3", {}},
                                                                        {"++1", {}},
                                                                        {"99999999999999999999999", {}}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseDeviceId(text), expected) << '"' << text << '"';
}

}  // namespace
}  // namespace velmor
