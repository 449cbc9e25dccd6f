#pragma once
// System audio on a simulated world and the manual clock: a speaker and headphones, a
// tap playing a 440 Hz tone, one display, and the program's system-audio globals with a
// mixer that records only system audio. The clock moves in 10 ms steps, and the tasks the
// program starts settle after each step, so that every wait and retry happens at its time.
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "screencapture/system_audio_output.h"
#include "support/memory_platform.h"
#include "support/subprocess.h"
#include "systemtap/system_audio_tap.h"

namespace velmor::testing {

inline constexpr platform::AudioObjectId kSpeakers = 50;
inline constexpr platform::AudioObjectId kHeadphones = 51;

struct ProgramExit {
  int status;
  double at;  // seconds on the manual clock
};

struct SystemAudioFixture : ::testing::Test {
  SimTestPlatform sim;
  platform::sim::SimSystemAudio& system = sim.world.systemAudio();
  ControlChannel control{sim.dispatch, sim.stdErr, sim.process};
  double rate = 16000;
  std::unique_ptr<Mixer> mixer = std::make_unique<Mixer>(rate, false, true, sim.stdOut, control);
  ActiveTap activeTap;
  StreamSlot stream;
  std::atomic<std::int64_t> systemRestarts{0};
  std::shared_ptr<SystemAudioOutput> systemOutput = makeOutput();

  SystemAudioFixture() {
    system.addOutputDevice(kSpeakers, "BuiltInSpeakerDevice");
    system.addOutputDevice(kHeadphones, "ExternalHeadphones");
    system.setDefaultOutput(kSpeakers);
    system.setDefaultSystemOutput(kSpeakers);
    // 10 ms cycles at 48 kHz: cycle n runs at exactly n × 10 ms after the start.
    system.setTapAudio(platform::sim::SimAudio{std::nullopt, 480, {tone(440, 0.5)}});
    system.setDisplays({platform::Display{1, "Built-in Display"}});
    system.setStreamAudio(platform::sim::SimAudio{std::nullopt, 1024, {tone(1000, 0.25)}});
  }

  ~SystemAudioFixture() override {
    // Tasks still waiting on the clock (a retry series, say) are run to their end, so that
    // none outlives the dispatch it sleeps on.
    for (int i = 0; i < 600 && sim.dispatch.runningTasks() > 0; ++i) {
      try {
        sim.dispatch.advance(platform::seconds(0.1));
      } catch (const ExitCalled&) {
      }
      sim.dispatch.settleTasks();
      (void)sim.dispatch.takeTaskFailure();
    }
  }

  static platform::sim::AudioSegment tone(double frequency, double amplitude, double seconds = 3600) {
    return platform::sim::AudioSegment{platform::sim::AudioSegment::Kind::sine, frequency, amplitude, seconds};
  }

  // The mixer and output again, for another capture rate.
  void useRate(double newRate) {
    rate = newRate;
    mixer = std::make_unique<Mixer>(rate, false, true, sim.stdOut, control);
    systemOutput = makeOutput();
  }

  std::shared_ptr<SystemAudioOutput> makeOutput() {
    return std::make_shared<SystemAudioOutput>(ScreenCaptureContext{sim.dispatch, system.screenCapture(), sim.process,
                                                                    control, *mixer, rate, stream, systemRestarts});
  }

  TapContext tapContext() {
    return TapContext{sim.dispatch, system.hardware(), sim.environment, sim.process, control, *mixer, rate};
  }

  double now() const { return static_cast<double>(sim.dispatch.uptimeNanos()) / 1e9; }

  // Moves the clock by `seconds` in 10 ms steps; stops early when the program ends itself,
  // from a queue or from a task, and says how and when.
  std::optional<ProgramExit> run(double seconds) {
    const auto steps = std::lround(seconds / 0.01);
    // A task the test itself set going waits on the clock before the clock moves.
    EXPECT_TRUE(sim.dispatch.settleTasks()) << "a task neither ends nor waits";
    for (long step = 0; step < steps; ++step) {
      try {
        sim.dispatch.advance(platform::seconds(0.01));
      } catch (const ExitCalled& exit) {
        return ProgramExit{exit.status, now()};
      }
      EXPECT_TRUE(sim.dispatch.settleTasks()) << "a task neither ends nor waits";
      if (auto failure = sim.dispatch.takeTaskFailure()) {
        try {
          std::rethrow_exception(failure);
        } catch (const ExitCalled& exit) {
          return ProgramExit{exit.status, now()};
        }
      }
    }
    return std::nullopt;
  }

  // Runs `work` in a task of its own and moves the clock until it has ended; the seconds
  // that took on the clock.
  double runTask(std::function<void()> work) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    const double from = now();
    sim.dispatch.runTask([work = std::move(work), done] {
      work();
      done->store(true);
    });
    EXPECT_TRUE(sim.dispatch.settleTasks());
    for (int i = 0; i < 100000 && !done->load(); ++i) {
      if (run(0.01)) break;
    }
    EXPECT_TRUE(done->load());
    return now() - from;
  }

  std::optional<std::string> startTap() {
    std::optional<std::string> result;
    runTask([&] { result = startSystemTap(tapContext(), activeTap); });
    return result;
  }

  std::vector<nlohmann::json> nonLevelEvents() const {
    std::vector<nlohmann::json> found;
    for (auto& event : sim.stdErr.events()) {
      if (event["type"] != "level") found.push_back(event);
    }
    return found;
  }

  std::vector<std::int16_t> output() const { return pcmSamples(sim.stdOut.bytes()); }
};

// The level and frequency of a steady tone in 16-bit samples, past the first `skip`.
struct ToneMeasure {
  double rms = 0;
  double frequency = 0;
};

inline ToneMeasure measureTone(const std::vector<std::int16_t>& samples, double rate, std::size_t skip) {
  ToneMeasure measure;
  if (samples.size() <= skip + 2) return measure;
  double sum = 0;
  std::vector<double> crossings;
  for (std::size_t i = skip; i < samples.size(); ++i) {
    const double x = samples[i] / 32767.0;
    sum += x * x;
    const double previous = samples[i - 1] / 32767.0;
    if (previous < 0 && x >= 0) crossings.push_back(static_cast<double>(i - 1) + previous / (previous - x));
  }
  measure.rms = std::sqrt(sum / static_cast<double>(samples.size() - skip));
  if (crossings.size() > 1) {
    measure.frequency = static_cast<double>(crossings.size() - 1) * rate / (crossings.back() - crossings.front());
  }
  return measure;
}

}  // namespace velmor::testing
