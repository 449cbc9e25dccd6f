#include "devices/input_devices.h"

#include <unicode/locid.h>

#include <gtest/gtest.h>

#include "support/memory_platform.h"

namespace velmor {
namespace {

using platform::sim::SimDevice;

SimDevice device(platform::AudioObjectId id, std::string name, std::uint32_t transport = platform::kTransportUsb) {
  SimDevice d;
  d.id = id;
  d.uid = "uid-" + std::to_string(id);
  d.name = std::move(name);
  d.transport = transport;
  return d;
}

struct InputDevicesTest : ::testing::Test {
  testing::SimTestPlatform sim;

  void SetUp() override {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
  }
  std::vector<std::string> names() {
    std::vector<std::string> result;
    for (const auto& d : inputDevices(sim.world.hardware())) result.push_back(d.name);
    return result;
  }
};

TEST_F(InputDevicesTest, ReadsEveryFieldOfAnInputDevice) {
  auto d = device(7, "Studio", platform::kTransportBuiltIn);
  d.inputBuffers = {1, 1};  // two mono buffers count as two channels
  sim.world.addDevice(d);
  sim.world.setDefaultInput(7);
  const auto devices = inputDevices(sim.world.hardware());
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0], (InputDevice{7, "uid-7", "Studio", true, true, 2}));
  EXPECT_EQ(toJson(devices[0]).dump(),
            R"({"builtin":true,"channels":2,"id":7,"isDefault":true,"name":"Studio","uid":"uid-7"})");
}

TEST_F(InputDevicesTest, OutputOnlyAndUnreadableConfigurationsAreLeftOut) {
  auto speakers = device(1, "Speakers");
  speakers.inputBuffers = {};
  auto noConfigSize = device(2, "A");
  noConfigSize.failingReads = {"configurationSize"};
  auto noConfig = device(3, "B");
  noConfig.failingReads = {"configuration"};
  auto zeroChannels = device(4, "C");
  zeroChannels.inputBuffers = {0};
  sim.world.addDevice(speakers);
  sim.world.addDevice(noConfigSize);
  sim.world.addDevice(noConfig);
  sim.world.addDevice(zeroChannels);
  sim.world.addDevice(device(5, "Kept"));
  EXPECT_EQ(names(), std::vector<std::string>{"Kept"});
}

TEST_F(InputDevicesTest, UnreadablePropertiesGiveEmptyTextsAndFalseFlags) {
  auto d = device(9, "x", platform::kTransportBuiltIn);
  d.failingReads = {"uid", "name", "transport"};
  sim.world.addDevice(d);
  auto nullName = device(10, "");
  nullName.name.reset();
  sim.world.addDevice(nullName);
  // No default input: the read fails and no device is the default.
  const auto devices = inputDevices(sim.world.hardware());
  ASSERT_EQ(devices.size(), 2u);
  for (const auto& got : devices) {
    EXPECT_EQ(got.name, "");
    EXPECT_FALSE(got.builtin);
    EXPECT_FALSE(got.isDefault);
  }
  EXPECT_EQ(devices[0].uid, "");  // equal names keep enumeration order
  EXPECT_EQ(devices[1].uid, "uid-10");
}

TEST_F(InputDevicesTest, UnreadableDeviceListGivesNoDevices) {
  sim.world.addDevice(device(1, "A"));
  sim.world.setDeviceListFails(true);
  EXPECT_TRUE(inputDevices(sim.world.hardware()).empty());
}

TEST_F(InputDevicesTest, UnfilledEntriesOfTheListAreSkipped) {
  sim.world.addDevice(device(1, "A"));
  sim.world.setDeviceListSlack(3);  // ids left at 0 match no device
  EXPECT_EQ(names(), std::vector<std::string>{"A"});
}

// Device 0 is a real device on some systems (the sound server's first source): entries the
// read left unfilled must not stand for it.
TEST_F(InputDevicesTest, ADeviceListThatShrankListsDeviceZeroOnce) {
  sim.world.addDevice(device(0, "Zero"));
  sim.world.addDevice(device(1, "One"));
  sim.world.setDeviceListSlack(2);
  EXPECT_EQ(names(), (std::vector<std::string>{"One", "Zero"}));
}

TEST_F(InputDevicesTest, BuiltInFirstThenNamesIgnoringCaseEqualNamesInEnumerationOrder) {
  sim.world.addDevice(device(1, "Zoom H1"));
  sim.world.addDevice(device(2, "zz last built-in", platform::kTransportBuiltIn));
  sim.world.addDevice(device(3, "apogee"));
  sim.world.addDevice(device(4, "Blue Yeti"));
  sim.world.addDevice(device(5, "BLUE YETI"));
  sim.world.addDevice(device(6, "blue yeti"));
  sim.world.addDevice(device(7, "Ambient", platform::kTransportBuiltIn));
  EXPECT_EQ(names(), (std::vector<std::string>{"Ambient", "zz last built-in", "apogee", "Blue Yeti", "BLUE YETI",
                                               "blue yeti", "Zoom H1"}));
}

TEST_F(InputDevicesTest, NamesCompareInTheUsersLocale) {
  sim.world.addDevice(device(1, "Zebra"));
  sim.world.addDevice(device(2, "\xC3\x96rn"));  // "Örn"
  EXPECT_EQ(names(), (std::vector<std::string>{"\xC3\x96rn", "Zebra"}));
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("sv_SE"), status);  // Ö is a letter after Z in Swedish
  EXPECT_EQ(names(), (std::vector<std::string>{"Zebra", "\xC3\x96rn"}));
}

// LANG=C gives ICU's POSIX locale, whose collation orders ASCII by code point.
TEST_F(InputDevicesTest, CaseStaysOutOfTheOrderInThePosixLocale) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("en_US_POSIX"), status);
  sim.world.addDevice(device(1, "Line In"));
  sim.world.addDevice(device(2, "array"));
  EXPECT_EQ(names(), (std::vector<std::string>{"array", "Line In"}));
}

TEST_F(InputDevicesTest, DeviceZeroIsNotTheDefaultWhenTheDefaultCannotBeRead) {
  sim.world.addDevice(device(0, "Index Zero"));
  const auto devices = inputDevices(sim.world.hardware());
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_FALSE(devices[0].isDefault);
}

}  // namespace
}  // namespace velmor
