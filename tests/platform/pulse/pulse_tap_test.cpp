// The system-audio tap's platform calls against a private server: the default sink as both
// default outputs, its monitor's format, the default sink's changes told to listeners, and
// the build's failures with the server's own statuses.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include <pulse/def.h>
#include <thread>

#include <gtest/gtest.h>

#include "platform/pulse/pulse_platform.h"
#include "support/audio_server.h"
#include "support/memory_platform.h"
#include "systemtap/system_audio_tap.h"

namespace velmor {
namespace {

using platform::DefaultDeviceProperty;
using platform::SampleType;
using platform::StreamDescription;
using testing::AudioServer;

// The server's own description of a source's format ("float32le 2ch 48000Hz") as the
// program's PCM says it.
StreamDescription described(const std::string& sampleSpec) {
  StreamDescription d;
  char format[32] = {};
  unsigned channels = 0, rate = 0;
  if (std::sscanf(sampleSpec.c_str(), "%31s %uch %uHz", format, &channels, &rate) != 3) return d;
  const std::string f = format;
  d.sampleRate = rate;
  d.channelsPerFrame = channels;
  d.interleaved = true;
  d.type = f == "float32le" ? SampleType::floatingPoint : SampleType::signedInteger;
  d.bitsPerChannel = f == "s16le" ? 16 : f == "s24le" ? 24 : 32;
  return d;
}

// The pulse platform on a private server of the test's kind, with the program's event
// channel and mixer writing to memory: two sinks in different formats, the first the
// default, and a microphone.
class PulseTap : public ::testing::TestWithParam<testing::ServerKind> {
 protected:
  explicit PulseTap(bool withSinks = true) : server_(AudioServer::start(GetParam())) {
    if (withSinks) {
      server_->pactl(
          {"load-module", "module-null-sink", "sink_name=speakers", "format=float32le", "rate=48000", "channels=2"});
      server_->pactl(
          {"load-module", "module-null-sink", "sink_name=headset", "format=s16le", "rate=44100", "channels=1"});
      setDefaultSink("speakers");
    }
    server_->addMicrophone({"mic", "Mic", {}});
    server_->setDefaultSource("mic");
  }
  ~PulseTap() override {
    activeTap_.set(nullptr);
    pulse_.reset();
    unsetenv("PULSE_SERVER");
  }

  static std::unique_ptr<platform::pulse::PulsePlatform> platformOn(const AudioServer& server) {
    setenv("PULSE_SERVER", server.address().c_str(), 1);
    return std::make_unique<platform::pulse::PulsePlatform>();
  }

  std::string defaultSink() const {
    std::string sink = server_->pactl({"get-default-sink"});
    while (!sink.empty() && sink.back() == '\n') sink.pop_back();
    return sink;
  }
  // PipeWire's session manager settles a default a moment later.
  void setDefaultSink(const std::string& sink) {
    server_->pactl({"set-default-sink", sink});
    for (int i = 0; i < 1000 && defaultSink() != sink; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(defaultSink(), sink);
  }
  // What the server says about a source.
  nlohmann::json source(const std::string& name) const {
    for (const auto& entry : server_->pactlJson({"list", "sources"})) {
      if (entry.at("name") == name) return entry;
    }
    return nullptr;
  }

  platform::SystemAudioHardware& hardware() { return pulse_->platform().systemAudio; }
  TapContext context() {
    return TapContext{pulse_->platform().dispatch, hardware(), environment_, process_, control_, mixer_, 16000};
  }
  std::int64_t sinkObject(const std::string& name) {
    for (const auto& sink : server_->pactlJson({"list", "sinks"})) {
      if (sink.at("name") == name) return sink.at("index").get<std::int64_t>() + 1;
    }
    return -1;
  }

  std::unique_ptr<AudioServer> server_;
  // Made before the devices, but it reaches the server only on first use.
  std::unique_ptr<platform::pulse::PulsePlatform> pulse_ = platformOn(*server_);
  testing::MemoryOutput stdout_, stderr_;
  testing::ThrowingExit process_;
  testing::MapEnvironment environment_;
  ControlChannel control_{pulse_->platform().dispatch, stderr_, process_};
  Mixer mixer_{16000, false, true, stdout_, control_};
  ActiveTap activeTap_;
};

INSTANTIATE_TEST_SUITE_P(, PulseTap, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

TEST_P(PulseTap, TheDefaultSinkIsBothDefaultOutputsAndItsMonitorGivesTheFormat) {
  auto& hw = hardware();
  ASSERT_TRUE(hw.tapsAvailable());
  const auto output = hw.defaultOutputDevice();
  const auto systemOutput = hw.defaultSystemOutputDevice();
  ASSERT_TRUE(output.ok());
  ASSERT_TRUE(systemOutput.ok());
  EXPECT_EQ(output.value(), sinkObject("speakers"));
  EXPECT_EQ(systemOutput.value(), output.value());
  EXPECT_EQ(hw.outputDeviceUID(output.value()).valueOr("?"), "speakers");
  EXPECT_FALSE(hw.outputDeviceUID(0).ok());

  // Each tap takes the format of the monitor of the sink that was the default when it was made.
  const auto tap = hw.createProcessTap(platform::TapDescription{{}, "A-UUID", false});
  ASSERT_TRUE(tap.ok());
  EXPECT_EQ(hw.tapFormat(tap.value()).valueOr({}), described(source("speakers.monitor").at("sample_specification")));
  setDefaultSink("headset");
  const auto other = hw.createProcessTap(platform::TapDescription{{}, "B-UUID", false});
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(hw.tapFormat(other.value()).valueOr({}), described(source("headset.monitor").at("sample_specification")));
  EXPECT_TRUE(hw.destroyProcessTap(tap.value()).ok());
  EXPECT_TRUE(hw.destroyProcessTap(other.value()).ok());
  EXPECT_FALSE(hw.destroyProcessTap(other.value()).ok());
}

TEST_P(PulseTap, ATapRunsOnTheSinkItWasBuiltOnAndItsListenersHearEachNewDefaultSink) {
  ASSERT_EQ(startSystemTap(context(), activeTap_), std::nullopt);
  const auto tap = activeTap_.get();
  ASSERT_NE(tap, nullptr);
  EXPECT_EQ(tap->builtOutput(), sinkObject("speakers"));
  EXPECT_EQ(tap->builtSystemOutput(), sinkObject("speakers"));

  // Listeners of both properties, on a queue of the test's.
  auto queue = pulse_->platform().dispatch.makeSerialQueue("test.listeners");
  auto told = std::make_shared<std::atomic<int>>(0);
  for (auto property : {DefaultDeviceProperty::output, DefaultDeviceProperty::systemOutput}) {
    ASSERT_TRUE(hardware()
                    .addDefaultDeviceListener(property, queue,
                                              [told, queue = queue.get()] {
                                                EXPECT_TRUE(queue->isCurrent());
                                                ++*told;
                                              })
                    .ok());
  }
  auto waitFor = [&](int count) {
    for (int i = 0; i < 500 && told->load() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return told->load();
  };
  server_->pactl({"set-default-source", "speakers.monitor"});  // not the default sink
  setDefaultSink("headset");
  EXPECT_EQ(waitFor(2), 2);
  setDefaultSink("speakers");
  EXPECT_EQ(waitFor(4), 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(told->load(), 4);

  // The tap's stream stays on the speakers' monitor, with the program's name and no role.
  nlohmann::json ours;
  for (const auto& output : server_->pactlJson({"list", "source-outputs"})) {
    if (output.at("properties").value("media.name", "") == "Velmor system audio") ours = output;
  }
  ASSERT_FALSE(ours.is_null());
  EXPECT_FALSE(ours.at("properties").contains("media.role"));
  for (const auto& source : server_->pactlJson({"list", "sources"})) {
    if (source.at("name") == "speakers.monitor") {
      EXPECT_EQ(ours.at("source"), source.at("index"));
    }
  }
  stopSystemTap(activeTap_);
  EXPECT_TRUE(server_->pactlJson({"list", "source-outputs"}).empty());
}

class PulseTapWithoutSinks : public PulseTap {
 protected:
  PulseTapWithoutSinks() : PulseTap(false) {}
};

INSTANTIATE_TEST_SUITE_P(, PulseTapWithoutSinks, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

// Four attempts with their pauses, then the specified message with status 0.
TEST_P(PulseTapWithoutSinks, NoSinkAtAllIsNoOutputDeviceToTap) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(startSystemTap(context(), activeTap_), "no output device to tap (0)");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
  EXPECT_EQ(hardware().defaultOutputDevice().valueOr(99), 0u);
}

TEST(PulseTapNoServer, TheTapCannotBeMadeWithTheServersStatus) {
  setenv("PULSE_SERVER", "unix:/nonexistent/velmor/native", 1);
  {
    platform::pulse::PulsePlatform pulse;
    testing::MemoryOutput out, err;
    testing::ThrowingExit process;
    testing::MapEnvironment environment;
    ControlChannel control(pulse.platform().dispatch, err, process);
    Mixer mixer(16000, false, true, out, control);
    ActiveTap activeTap;
    const auto result = startSystemTap(TapContext{pulse.platform().dispatch, pulse.platform().systemAudio, environment,
                                                  process, control, mixer, 16000},
                                       activeTap);
    EXPECT_EQ(result, "the audio tap could not be made (" + std::to_string(PA_ERR_CONNECTIONREFUSED) + ")");
  }
  unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace velmor
