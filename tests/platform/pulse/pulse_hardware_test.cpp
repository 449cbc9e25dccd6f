// The hardware layer against a private server: what each source reads as, that reads follow
// the server between enumerations, and that a missing or frozen server is a failure, fast
// or bounded, never a hang.
#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/pulse/pulse_platform.h"
#include "support/audio_server.h"
#include "support/capture_fixtures.h"

namespace velmor {
namespace {

using platform::AudioHardware;
using platform::AudioObjectId;
using platform::StringProperty;

// Microphones on every bus the transport reads distinguish, and speakers whose monitor is
// no microphone.
void fabricate(testing::AudioServer& server) {
  using testing::Microphone;
  server.addSpeakers("speakers");
  for (const Microphone& microphone : {
           Microphone{"usb_mic", "USB Mic", {{"device.bus", "usb"}}},
           Microphone{"bt_mic", "BT Mic", {{"device.bus", "bluetooth"}}},
           Microphone{"pci_mic", "", {{"device.bus", "pci"}}, false, "s16le", 48000, 2},
           Microphone{"soc_mic", "", {{"device.bus", "platform"}}, false, "s16le", 48000, 2},
           Microphone{"isa_mic", "", {{"device.bus", "isa"}}},
           Microphone{"internal_usb_mic",
                      "",
                      {{"device.bus", "usb"}, {"device.form_factor", "internal"}},
                      false,
                      "s16le",
                      48000,
                      4},
           Microphone{"remote_mic", "", {{"tunnel.remote.server", "tcp:studio"}}},
           Microphone{"plain_mic", "", {{"device.class", "sound"}}},
           Microphone{"null_mic", "", {}, false, "s16le", 48000, 3},
       }) {
    server.addMicrophone(microphone);
  }
  server.setDefaultSource("usb_mic");
}

class PulseHardware : public ::testing::TestWithParam<testing::ServerKind> {
 protected:
  PulseHardware() : server_(testing::AudioServer::start(GetParam())) {
    fabricate(*server_);
    setenv("PULSE_SERVER", server_->address().c_str(), 1);
    pulse_ = std::make_unique<platform::pulse::PulsePlatform>();
  }
  ~PulseHardware() override {
    pulse_.reset();
    unsetenv("PULSE_SERVER");
  }
  AudioHardware& hardware() { return pulse_->platform().hardware; }

  // The server's own index for a source, from pactl.
  AudioObjectId indexOf(const std::string& name) {
    for (const auto& source : server_->pactlJson({"list", "sources"})) {
      if (source.at("name") == name) return source.at("index").get<AudioObjectId>();
    }
    ADD_FAILURE() << "no source " << name;
    return 0;
  }
  std::vector<AudioObjectId> list() {
    const auto bytes = hardware().deviceListSize();
    EXPECT_TRUE(bytes.ok());
    std::vector<AudioObjectId> ids(bytes.valueOr(0) / 4, 0);
    EXPECT_TRUE(hardware().deviceList(ids).ok());
    return ids;
  }

  std::unique_ptr<testing::AudioServer> server_;
  std::unique_ptr<platform::pulse::PulsePlatform> pulse_;
};

INSTANTIATE_TEST_SUITE_P(, PulseHardware, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

TEST_P(PulseHardware, EachSourceReadsAsTheServerDescribesIt) {
  struct Case {
    const char* name;
    std::uint32_t transport;
    std::uint32_t channels;
  };
  const Case cases[] = {
      {"usb_mic", platform::kTransportUsb, 1},
      {"bt_mic", platform::kTransportBluetooth, 1},
      {"pci_mic", platform::kTransportBuiltIn, 2},
      {"soc_mic", platform::kTransportBuiltIn, 2},
      {"isa_mic", platform::kTransportBuiltIn, 1},
      {"internal_usb_mic", platform::kTransportBuiltIn, 4},  // the form factor wins over the bus
      {"remote_mic", platform::kTransportNetwork, 1},
      {"plain_mic", platform::kTransportUnknown, 1},
      {"null_mic", platform::kTransportVirtual, 3},
  };
  const auto ids = list();
  EXPECT_EQ(ids.size(), std::size(cases)) << "the sink's monitor is no input device";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AudioObjectId id = indexOf(c.name);
    EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end());
    EXPECT_EQ(hardware().transportType(id).valueOr(99), c.transport);
    EXPECT_GT(hardware().inputStreamConfigurationSize(id).valueOr(0), 0u);
    EXPECT_EQ(hardware().inputStreamConfiguration(id).valueOr({}), std::vector<std::uint32_t>{c.channels});
    EXPECT_EQ(hardware().stringProperty(id, StringProperty::deviceUID).valueOr({}), c.name);
  }
  EXPECT_EQ(hardware().defaultInputDevice().valueOr(0), indexOf("usb_mic"));
}

TEST_P(PulseHardware, AMonitorIsNoInputAndAnUnknownIdIsNoObject) {
  const AudioObjectId monitor = indexOf("speakers.monitor");
  EXPECT_EQ(hardware().inputStreamConfigurationSize(monitor).valueOr(99), 0u);
  EXPECT_FALSE(hardware().inputStreamConfigurationSize(4000).ok());
  EXPECT_FALSE(hardware().stringProperty(4000, StringProperty::name).ok());

  // A monitor as the server's default is no default microphone.
  server_->setDefaultSource("speakers.monitor");
  list();
  EXPECT_FALSE(hardware().defaultInputDevice().ok());
}

// Reads between two enumerations see what the server reports changed, not an old copy.
TEST_P(PulseHardware, ReadsFollowARenameBetweenEnumerations) {
  list();
  const AudioObjectId usb = indexOf("usb_mic");
  if (!server_->renameSource("usb_mic", "Renamed Mic")) {
    GTEST_SKIP() << server_->name() << " cannot rename a source it has made";
  }
  const auto deadline = std::chrono::steady_clock::now() + testing::kWait;
  std::optional<std::string> name;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto read = hardware().stringProperty(usb, StringProperty::name);
    ASSERT_TRUE(read.ok());
    name = read.value();
    if (name == "Renamed Mic") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(name, "Renamed Mic");
}

TEST_P(PulseHardware, ReadsFollowARemovalBetweenEnumerations) {
  list();
  const AudioObjectId bt = indexOf("bt_mic");
  ASSERT_TRUE(hardware().transportType(bt).ok());
  server_->removeSource("bt_mic");
  const auto deadline = std::chrono::steady_clock::now() + testing::kWait;
  while (std::chrono::steady_clock::now() < deadline && hardware().transportType(bt).ok()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(hardware().transportType(bt).status(), platform::kHwBadObject);
}

TEST(PulseHardwareWithoutServer, EveryReadFailsAtOnce) {
  setenv("PULSE_SERVER", "unix:/nonexistent/velmor/native", 1);
  platform::pulse::PulsePlatform pulse;
  AudioHardware& hardware = pulse.platform().hardware;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(hardware.deviceListSize().ok());
  std::vector<AudioObjectId> ids(1, 7);
  EXPECT_FALSE(hardware.deviceList(ids).ok());
  EXPECT_FALSE(hardware.defaultInputDevice().ok());
  EXPECT_FALSE(hardware.stringProperty(0, StringProperty::name).ok());
  EXPECT_FALSE(pulse.platform().capture.defaultAudioDevice().ok());
  EXPECT_FALSE(pulse.platform().capture.deviceWithUniqueID("anything").ok());
  // Refused at once: far below the connection timeout, which would be a second a read.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  unsetenv("PULSE_SERVER");
}

// A server that accepts the connection and never answers costs a bounded wait, and once
// it answers again the next read connects afresh.
TEST_P(PulseHardware, AFrozenServerIsAFailureInBoundedTimeThenReadsRecover) {
  std::vector<AudioObjectId> ids = list();  // this one is connected before the server freezes
  server_->freeze();
  platform::pulse::PulsePlatform fresh;  // this one connects while it is frozen
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(hardware().deviceListSize().ok());
  EXPECT_FALSE(fresh.platform().hardware.deviceListSize().ok());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  server_->thaw();
  EXPECT_EQ(list(), ids);
  EXPECT_EQ(fresh.platform().hardware.deviceListSize().valueOr(0), 4 * ids.size());
}

}  // namespace
}  // namespace velmor
