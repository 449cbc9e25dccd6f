#pragma once
// A microphone on a simulated world and the manual clock, with the mixer writing to memory.
#include <cmath>

#include <gtest/gtest.h>

#include "microphone/mic_capture.h"
#include "support/memory_platform.h"
#include "support/subprocess.h"

namespace velmor::testing {

inline platform::sim::SimDevice simMic(platform::AudioObjectId id, std::string name, std::uint32_t transport) {
  platform::sim::SimDevice d;
  d.id = id;
  d.uid = "uid-" + std::to_string(id);
  d.name = std::move(name);
  d.transport = transport;
  d.audio = {{platform::sim::AudioSegment::Kind::sine, 1000, 0.5, 3600}};
  return d;
}

struct MicFixture : ::testing::Test {
  SimTestPlatform sim;
  ControlChannel control{sim.dispatch, sim.stdErr, sim.process};
  Mixer mixer{16000, true, false, sim.stdOut, control};
  std::shared_ptr<MicCapture> mic;

  void makeMic(const std::string& deviceId, platform::CaptureSystem* capture = nullptr) {
    mic = std::make_shared<MicCapture>(
        deviceId, MicCapture::Context{sim.dispatch, sim.world.hardware(), capture ? *capture : sim.world.capture(),
                                      control, mixer, 16000});
  }

  void addBuiltInAndUsb() {
    sim.world.addDevice(simMic(1, "Built-in Microphone", platform::kTransportBuiltIn));
    sim.world.addDevice(simMic(2, "USB Headset", platform::kTransportUsb));
    sim.world.setDefaultInput(1);
  }

  std::vector<nlohmann::json> eventsOfType(const std::string& type) {
    std::vector<nlohmann::json> found;
    for (auto& e : sim.stdErr.events()) {
      if (e["type"] == type) found.push_back(e);
    }
    return found;
  }

  std::vector<nlohmann::json> nonLevelEvents() {
    std::vector<nlohmann::json> found;
    for (auto& e : sim.stdErr.events()) {
      if (e["type"] != "level") found.push_back(e);
    }
    return found;
  }

  void advance(double s) { sim.dispatch.advance(platform::seconds(s)); }
};

}  // namespace velmor::testing
