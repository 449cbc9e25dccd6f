// What the hardware layer promises, checked alike in the simulated world and against private
// PulseAudio and PipeWire servers: the device list and each device's properties as the world
// has them, following devices that come and go and the default as it changes.
#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "world_driver.h"

namespace velmor::testing {
namespace {

using platform::AudioObjectId;
using platform::StringProperty;

template <class World>
class HardwareContract : public ::testing::Test {
 protected:
  HardwareContract() {
    world_.addMicrophone("desk_mic", "Desk Mic", 2);
    world_.addMicrophone("usb_mic", "USB Mic", 1);
    world_.setDefaultMicrophone("desk_mic");
  }

  platform::AudioHardware& hardware() { return world_.hardware(); }

  // The device list as a program reads it: its size, then that many entries.
  std::vector<AudioObjectId> list() {
    const auto bytes = hardware().deviceListSize();
    EXPECT_TRUE(bytes.ok());
    std::vector<AudioObjectId> ids(bytes.valueOr(0) / 4, 0);
    const auto filled = hardware().deviceList(ids);
    EXPECT_TRUE(filled.ok());
    ids.resize(filled.valueOr(0));
    return ids;
  }
  bool listed(AudioObjectId id) {
    const auto ids = list();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  }

  World world_;
};

TYPED_TEST_SUITE(HardwareContract, Worlds, WorldNames);

TYPED_TEST(HardwareContract, ListsEachMicrophoneWithItsProperties) {
  struct Case {
    const char* uid;
    const char* name;
    std::uint32_t channels;
  };
  const auto ids = this->list();
  for (const Case& c : {Case{"desk_mic", "Desk Mic", 2}, Case{"usb_mic", "USB Mic", 1}}) {
    SCOPED_TRACE(c.uid);
    const AudioObjectId id = this->world_.idOf(c.uid);
    EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end());
    EXPECT_EQ(this->hardware().stringProperty(id, StringProperty::deviceUID).valueOr({}), c.uid);
    EXPECT_EQ(this->hardware().stringProperty(id, StringProperty::name).valueOr({}), c.name);
    EXPECT_GT(this->hardware().inputStreamConfigurationSize(id).valueOr(0), 0u);
    EXPECT_EQ(this->hardware().inputStreamConfiguration(id).valueOr({}), std::vector<std::uint32_t>{c.channels});
  }
  EXPECT_EQ(this->hardware().defaultInputDevice().valueOr(0), this->world_.idOf("desk_mic"));
}

// A device that comes is listed and can be the default; once it goes, it is neither listed,
// nor readable, nor the default, in the hardware layer or the capture layer.
TYPED_TEST(HardwareContract, FollowsDevicesThatComeAndGoAndTheDefault) {
  auto& capture = this->world_.capture();
  this->world_.addMicrophone("late_mic", "Late Mic", 1);
  const AudioObjectId late = this->world_.idOf("late_mic");
  EXPECT_TRUE(this->listed(late));
  EXPECT_TRUE(capture.deviceWithUniqueID("late_mic").ok());

  this->world_.setDefaultMicrophone("late_mic");
  this->list();
  EXPECT_EQ(this->hardware().defaultInputDevice().valueOr(0), late);
  const auto chosen = capture.defaultAudioDevice();
  ASSERT_TRUE(chosen.ok());
  EXPECT_EQ(chosen.value()->uniqueID(), "late_mic");

  this->world_.removeMicrophone("late_mic");
  EXPECT_FALSE(this->listed(late));
  EXPECT_EQ(this->hardware().transportType(late).status(), platform::kHwBadObject);
  EXPECT_EQ(this->hardware().stringProperty(late, StringProperty::name).status(), platform::kHwBadObject);
  EXPECT_FALSE(capture.deviceWithUniqueID("late_mic").ok());
  // The world chose another default, or none; never the device that went.
  const auto ids = this->list();
  const auto fallback = this->hardware().defaultInputDevice();
  if (fallback.ok()) {
    EXPECT_NE(std::find(ids.begin(), ids.end(), fallback.value()), ids.end());
  }
  const auto device = capture.defaultAudioDevice();
  if (device.ok()) {
    EXPECT_NE(device.value()->uniqueID(), "late_mic");
  }
}

}  // namespace
}  // namespace velmor::testing
