// The shipped binary recording what a private server plays, as the meeting app runs it: a
// tone played into the default sink comes out whole, beside the microphone; a change of
// the default sink ends the tap's process with status 75; the screen-capture path follows
// the default sink across changes and removals.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <numbers>
#include <optional>
#include <thread>

#include <gtest/gtest.h>
#include <pulse/def.h>
#include <pulse/error.h>

#include "support/audio_server.h"
#include "support/subprocess.h"

namespace velmor {
namespace {

using Clock = std::chrono::steady_clock;
using testing::AudioServer;
using testing::ProcessOptions;
using testing::ProcessResult;

std::string defaultSink(const AudioServer& server) {
  std::string sink = server.pactl({"get-default-sink"});
  while (!sink.empty() && sink.back() == '\n') sink.pop_back();
  return sink;
}

// Sets the default sink and waits until the server reports it (PipeWire's session manager
// settles a default a moment later).
void setDefaultSink(const AudioServer& server, const std::string& sink) {
  server.pactl({"set-default-sink", sink});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (defaultSink(server) != sink && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(defaultSink(server), sink) << server.name();
}

// Unloads the module that made the sink.
void removeSink(const AudioServer& server, const std::string& sink) {
  for (const auto& entry : server.pactlJson({"list", "sinks"})) {
    if (entry.at("name") != sink) continue;
    // PulseAudio gives the owner module as a number, PipeWire as text.
    const auto& owner = entry.at("owner_module");
    server.pactl(
        {"unload-module", owner.is_string() ? owner.get<std::string>() : std::to_string(owner.get<long long>())});
  }
}

// A fresh server of the test's kind with two outputs, the first the default, and a
// microphone fed through a pipe.
class PulseSystemAudio : public ::testing::TestWithParam<testing::ServerKind> {
 protected:
  PulseSystemAudio() : server_(AudioServer::start(GetParam())) {
    server_->addSpeakers("speakers", "Speakers");
    server_->addSpeakers("headphones", "Headphones");
    server_->addMicrophone({"pipe_mic", "Pipe Mic", {}, true});
    setDefaultSink(*server_, "speakers");
    server_->setDefaultSource("pipe_mic");
  }
  std::unique_ptr<AudioServer> server_;
  AudioServer& server = *server_;
};

INSTANTIATE_TEST_SUITE_P(, PulseSystemAudio, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

std::string audioBinary() { return VELMOR_AUDIO_BINARY; }

bool has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

ProcessResult runAudio(const AudioServer& server, std::vector<std::string> args,
                       std::function<int(const std::string&, const std::string&)> signalWhen,
                       std::map<std::string, std::string> env = {}) {
  ProcessOptions options;
  options.args = std::move(args);
  for (const auto& [k, v] : server.clientEnvironment()) options.env[k] = v;
  for (const auto& [k, v] : env) options.env[k] = v;
  options.signalWhen = std::move(signalWhen);
  options.timeout = std::chrono::seconds(40);
  return runProcess(audioBinary(), options);
}

// A sine of exactly `frames` frames at 48 kHz, mono 16-bit, as a WAV file.
std::string writeToneWav(const std::string& path, double frequency, double amplitude, std::uint32_t frames) {
  std::string data;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double x = amplitude * std::sin(2 * std::numbers::pi * frequency * i / 48000.0);
    const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(x * 32767)));
    data.push_back(static_cast<char>(v & 0xff));
    data.push_back(static_cast<char>(v >> 8));
  }
  auto u32 = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  auto u16 = [](std::uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  const std::string header = "RIFF" + u32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " + u32(16) +
                             u16(1) + u16(1) + u32(48000) + u32(96000) + u16(2) + u16(16) + "data" +
                             u32(static_cast<std::uint32_t>(data.size()));
  std::ofstream(path, std::ios::binary) << header << data;
  return path;
}

// Plays a sample from the server's own cache: the server plays it, no client has to run.
struct Tones {
  const AudioServer& server;
  void upload(const std::string& name, double frequency, double amplitude, std::uint32_t frames) {
    server.pactl(
        {"upload-sample", writeToneWav(server.dir() + "/" + name + ".wav", frequency, amplitude, frames), name});
  }
  void play(const std::string& name, const std::string& sink) { server.pactl({"play-sample", name, sink}); }
};

// Writes 48 kHz mono 16-bit into the pipe microphone in real time, 10 ms at a time, the way
// a microphone delivers it.
class PacedMicrophone {
 public:
  PacedMicrophone(std::string fifo, double frequency, double amplitude, double seconds)
      : thread_([this, fifo = std::move(fifo), frequency, amplitude, seconds] {
          const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
          if (fd < 0) return;
          const auto start = Clock::now();
          const auto blocks = static_cast<int>(seconds * 100);
          for (int block = 0; block < blocks && !stop_; ++block) {
            std::string bytes;
            for (int i = 0; i < 480; ++i) {
              const double t = (block * 480 + i) / 48000.0;
              const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(
                  std::lround(amplitude * std::sin(2 * std::numbers::pi * frequency * t) * 32767)));
              bytes.push_back(static_cast<char>(v & 0xff));
              bytes.push_back(static_cast<char>(v >> 8));
            }
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (block + 1)));
            if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) break;
          }
          close(fd);
          done_ = true;
        }) {}
  ~PacedMicrophone() {
    stop_ = true;
    thread_.join();
  }
  bool done() const { return done_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The amplitude of one frequency in a stretch of samples (full scale 1).
double amplitudeAt(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t count, double frequency,
                   double rate = 16000) {
  double re = 0, im = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / rate;
    re += samples[from + i] / 32767.0 * std::cos(phase);
    im += samples[from + i] / 32767.0 * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(count);
}

// Where a tone is: the first and one past the last 10 ms frame above -30 dBFS RMS.
std::pair<std::size_t, std::size_t> toneExtent(const std::vector<std::int16_t>& samples, std::size_t frame = 160) {
  std::size_t first = samples.size(), last = 0;
  for (std::size_t at = 0; at + frame <= samples.size(); at += frame) {
    double sum = 0;
    for (std::size_t i = at; i < at + frame; ++i) sum += (samples[i] / 32767.0) * (samples[i] / 32767.0);
    if (std::sqrt(sum / static_cast<double>(frame)) > 0.0316) {
      first = std::min(first, at);
      last = at + frame;
    }
  }
  return {first, last};
}

// SIGTERM once `seconds` of audio came out after the mark, or that long and one more
// second passed (a sink's monitor may stop delivering once nothing plays).
class StopAfter {
 public:
  explicit StopAfter(double seconds) : seconds_(seconds) {}
  void mark(std::size_t outBytes) {
    markBytes_ = outBytes;
    markTime_ = Clock::now();
  }
  bool marked() const { return markTime_.has_value(); }
  std::size_t markSample() const { return markBytes_ / 2; }
  int operator()(const std::string& out) {
    if (!markTime_) return 0;
    const bool enoughAudio = out.size() >= markBytes_ + static_cast<std::size_t>(seconds_ * 32000);
    const bool longEnough = Clock::now() - *markTime_ > std::chrono::duration<double>(seconds_ + 1);
    return enoughAudio || longEnough ? SIGTERM : 0;
  }

 private:
  double seconds_;
  std::size_t markBytes_ = 0;
  std::optional<Clock::time_point> markTime_;
};

nlohmann::json ourStreams(const AudioServer& server, const std::string& mediaName) {
  nlohmann::json found = nlohmann::json::array();
  for (const auto& output : server.pactlJson({"list", "source-outputs"})) {
    if (output.at("properties").value("media.name", "") == mediaName) found.push_back(output);
  }
  return found;
}

TEST_P(PulseSystemAudio, AToneIntoTheDefaultSinkComesOutAtTheCaptureRateUnchanged) {
  Tones tones{server};
  tones.upload("tone", 440, 0.5, 48000);
  nlohmann::json streams;
  StopAfter stop(2.0);
  const ProcessResult result = runAudio(server, {"--system"}, [&](const std::string& out, const std::string& err) {
    if (!stop.marked() && has(err, R"("type":"ready")")) {
      streams = ourStreams(server, "Velmor system audio");
      tones.play("tone", "speakers");
      stop.mark(out.size());
    }
    return stop(out);
  });
  EXPECT_EQ(result.status, 0);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.events().at(0),
            (nlohmann::json{{"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"via", "tap"}}));

  // One stream, on the speakers' monitor, in its format, with no media role.
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_FALSE(streams[0].at("properties").contains("media.role")) << streams[0].dump();
  std::optional<long long> monitor;
  for (const auto& source : server.pactlJson({"list", "sources"})) {
    if (source.at("name") == "speakers.monitor") monitor = source.at("index").get<long long>();
  }
  EXPECT_EQ(streams[0].at("source").get<long long>(), monitor.value_or(-1));

  const auto samples = testing::pcmSamples(result.stdoutBytes);
  const auto [first, last] = toneExtent(samples);
  ASSERT_LT(first, last);
  // One second at 16 kHz, give or take the resampler's edges.
  EXPECT_NEAR(static_cast<double>(last - first), 16000, 320);
  const std::vector<std::int16_t> middle(samples.begin() + first + 1600, samples.begin() + last - 1600);
  double sum = 0;
  for (double s : middle) sum += (s / 32767.0) * (s / 32767.0);
  EXPECT_NEAR(10 * std::log10(sum / static_cast<double>(middle.size())), 20 * std::log10(0.5 / std::numbers::sqrt2),
              0.1);
  EXPECT_NEAR(amplitudeAt(middle, 0, middle.size() / 400 * 400, 440), 0.5, 0.01);
}

// Cycles of a tone, counted with hysteresis: silence and a resampler's faint edges count none.
std::size_t cycles(const std::vector<std::int16_t>& samples) {
  std::size_t count = 0;
  bool low = false;
  for (const std::int16_t s : samples) {
    if (s < -1600) low = true;
    if (low && s > 1600) {
      ++count;
      low = false;
    }
  }
  return count;
}

// The phase of a frequency in a stretch, measured against absolute sample time, in degrees.
double phaseAt(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t count, double frequency,
               double rate = 16000) {
  double re = 0, im = 0;
  for (std::size_t n = from; n < from + count; ++n) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(n) / rate;
    re += samples[n] * std::cos(phase);
    im -= samples[n] * std::sin(phase);
  }
  return std::atan2(im, re) * 180 / std::numbers::pi;
}

// How often a steady tone's phase jumps by more than 5 degrees from one 10 ms step to the
// next, between `first` and `last`: each place where audio was cut or inserted.
int phaseJumps(const std::vector<std::int16_t>& samples, std::size_t first, std::size_t last, double frequency,
               double rate) {
  const auto step = static_cast<std::size_t>(rate / 100);
  int jumps = 0;
  double previous = phaseAt(samples, first + 2 * step, 2 * step, frequency, rate);
  for (std::size_t at = first + 2 * step; at + 4 * step < last; at += step) {
    const double phase = phaseAt(samples, at, 2 * step, frequency, rate);
    if (std::abs(std::remainder(phase - previous, 360.0)) > 5) ++jumps;
    previous = phase;
  }
  return jumps;
}

// Records the default sink's monitor with parec for as long as it lives: what the server
// itself delivers, to compare with.
class MonitorRecorder {
 public:
  explicit MonitorRecorder(const AudioServer& server, const std::string& monitor)
      : thread_([this, &server, monitor] {
          ProcessOptions options;
          options.args = {
              "-d", monitor, "--raw", "--format=s16le", "--rate=48000", "--channels=1", "--latency-msec=10"};
          for (const auto& [k, v] : server.clientEnvironment()) options.env[k] = v;
          options.timeout = std::chrono::seconds(60);
          options.signalWhen = [this](const std::string&, const std::string&) {
            return finished_.load() ? SIGTERM : 0;
          };
          result_ = testing::runProcess("/usr/bin/parec", options);
        }) {
    // Recording once its stream exists.
    for (int i = 0; i < 200 && server.pactlJson({"list", "source-outputs"}).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~MonitorRecorder() { stop(); }
  std::vector<std::int16_t> stop() {
    finished_ = true;
    if (thread_.joinable()) thread_.join();
    return testing::pcmSamples(result_.stdoutBytes);
  }

 private:
  std::atomic<bool> finished_{false};
  ProcessResult result_;
  std::thread thread_;
};

// A tone of known length, counted against what the monitor itself delivered to another
// recorder at the same time: every cycle comes out once, and its phase runs on without a
// jump (at 1025 Hz, one sample lost or repeated turns it by 23 degrees).
TEST_P(PulseSystemAudio, NoSampleIsLostOrRepeatedBetweenTheMonitorAndStandardOutput) {
  Tones tones{server};
  tones.upload("tone", 1025, 0.5, 96000);  // two seconds
  MonitorRecorder reference(server, "speakers.monitor");
  StopAfter stop(3.0);
  const ProcessResult result = runAudio(server, {"--system"}, [&](const std::string& out, const std::string& err) {
    if (!stop.marked() && has(err, R"("type":"ready")")) {
      tones.play("tone", "speakers");
      stop.mark(out.size());
    }
    return stop(out);
  });
  const auto monitor = reference.stop();
  EXPECT_EQ(result.status, 0);

  const auto samples = testing::pcmSamples(result.stdoutBytes);
  const std::size_t delivered = cycles(monitor);
  EXPECT_NEAR(static_cast<double>(delivered), 2050, 25);  // the server may cut a few at the start
  // Within one cycle: where the server cut the tone in mid-cycle, the resampled edge may
  // reach the threshold once more or less. A lost or repeated fragment is many cycles.
  EXPECT_NEAR(static_cast<double>(cycles(samples)), static_cast<double>(delivered), 1);
  const auto [first, last] = toneExtent(samples);
  ASSERT_LT(first + 1600, last);
  const double expectedPhase = phaseAt(samples, first + 320, 320, 1025);
  for (std::size_t at = first + 320; at + 640 < last; at += 160) {
    const double turn = std::remainder(phaseAt(samples, at, 320, 1025) - expectedPhase, 360.0);
    ASSERT_NEAR(turn, 0, 5) << "at sample " << at;
  }
}

// A parent that stops reading for 6 s: the pipe takes 2 s, standard output keeps the newest
// 2 s and drops the rest, so memory stays flat, and the parent is told once; whichever path
// records is never held back and drops nothing; the audio after the stall runs on from where
// dropping stopped, with no jump in the tone's phase but where the audio was dropped.
TEST_P(PulseSystemAudio, AStalledParentLosesTheOldestSystemAudioAndNothingElse) {
  struct Path {
    const char* name;
    std::map<std::string, std::string> env;
  };
  const Path paths[] = {{"tap", {}}, {"screen", {{"VELMOR_SYSTEM_AUDIO", "screen"}}}};
  Tones tones{server};
  tones.upload("tone", 1025, 0.5, 48000 * 12);
  for (const Path& path : paths) {
    SCOPED_TRACE(path.name);
    ProcessOptions options;
    options.args = {"--system"};
    for (const auto& [k, v] : server.clientEnvironment()) options.env[k] = v;
    for (const auto& [k, v] : path.env) options.env[k] = v;
    options.stdoutStall = ProcessOptions::Stall{std::chrono::milliseconds(2000), std::chrono::milliseconds(6000)};
    options.timeout = std::chrono::seconds(40);
    std::optional<Clock::time_point> played;
    options.signalWhen = [&](const std::string&, const std::string& err) {
      if (!played && has(err, R"("type":"ready")")) {
        tones.play("tone", "speakers");
        played = Clock::now();
      }
      return played && Clock::now() - *played > std::chrono::milliseconds(10500) ? SIGTERM : 0;
    };
    MonitorRecorder reference(server, "speakers.monitor");
    const ProcessResult result = testing::runProcess(audioBinary(), options);
    const auto monitor = reference.stop();
    EXPECT_EQ(result.status, 0);
    ASSERT_FALSE(result.timedOut);
    const nlohmann::json dropped{{"type", "error"}, {"message", "Audio dropped: standard output is not being read"}};
    const auto events = result.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), dropped), 1) << result.stderrBytes;
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e["type"] == "error"; }), 1)
        << result.stderrBytes;
    const auto samples = testing::pcmSamples(result.stdoutBytes);
    const auto [first, last] = toneExtent(samples);
    ASSERT_LT(first + 16000, last);
    // About 10.5 s played: at least a second of the stall's audio went, and the 2 s held
    // came out after it.
    EXPECT_LT(last - first, 16000u * 19 / 2) << (last - first);
    EXPECT_GT(last - first, 16000u * 4) << (last - first);
    // Continuous but where it was dropped, and where the server itself cut (a server without
    // real-time scheduling on a busy machine misses a cycle now and then: another recorder of
    // the same monitor sees those cuts too). A cut of a whole number of the tone's periods
    // shows no jump, so the loss itself is shown by the length above.
    const auto [monitorFirst, monitorLast] = toneExtent(monitor, 480);
    ASSERT_LT(monitorFirst, monitorLast);
    const int serverCuts = phaseJumps(monitor, monitorFirst, monitorLast, 1025, 48000);
    EXPECT_LE(phaseJumps(samples, first, last, 1025, 16000), serverCuts + 3)
        << "the audio is continuous but where it was dropped; the server itself cut " << serverCuts << " times";
  }
}

// The microphone's tone and the system's are both in the mix; the microphone is halved
// while the system audio is louder than 0.01 RMS, and whole when it is silent.
TEST_P(PulseSystemAudio, MicrophoneAndSystemAudioAreMixedWithTheMicrophoneHalvedUnderSound) {
  Tones tones{server};
  // Whole cycles of both in every 20 ms, so that one does not leak into the other's measure.
  tones.upload("tone", 500, 0.5, 72000);  // 1.5 s
  std::optional<PacedMicrophone> microphone;
  bool played = false;
  nlohmann::json micStreams;
  const ProcessResult result =
      runAudio(server, {"--mic", "pipe_mic", "--system"}, [&](const std::string& out, const std::string& err) {
        if (!microphone && has(err, R"("type":"ready")")) microphone.emplace(server.fifo("pipe_mic"), 1000, 0.25, 5);
        if (microphone && !played && out.size() > 2 * 16000) {
          micStreams = ourStreams(server, "velmor-audio microphone");
          tones.play("tone", "speakers");
          played = true;
        }
        return microphone && microphone->done() ? SIGTERM : 0;
      });
  microphone.reset();
  EXPECT_EQ(result.status, 0);
  ASSERT_FALSE(result.timedOut);
  ASSERT_EQ(micStreams.size(), 1u);
  EXPECT_FALSE(micStreams[0].at("properties").contains("media.role")) << micStreams[0].dump();

  const auto samples = testing::pcmSamples(result.stdoutBytes);
  // Each 20 ms judged by both tones' amplitudes, away from where either starts or stops.
  enum class Part { none, edge, alone, mixed };
  std::vector<Part> parts;
  std::vector<double> mics;
  for (std::size_t at = 0; at + 320 <= samples.size(); at += 320) {
    const double system = amplitudeAt(samples, at, 320, 500);
    const double mic = amplitudeAt(samples, at, 320, 1000);
    mics.push_back(mic);
    parts.push_back(mic < 0.05 ? Part::none : system > 0.45 ? Part::mixed : system < 0.005 ? Part::alone : Part::edge);
  }
  int mixed = 0, alone = 0;
  for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
    if (parts[i] != parts[i - 1] || parts[i] != parts[i + 1]) continue;
    if (parts[i] == Part::mixed) {
      ++mixed;
      EXPECT_NEAR(mics[i], 0.125, 0.01) << "at sample " << 320 * i;
    } else if (parts[i] == Part::alone) {
      ++alone;
      EXPECT_NEAR(mics[i], 0.25, 0.01) << "at sample " << 320 * i;
    }
  }
  EXPECT_GT(mixed, 40) << alone;  // more than 0.8 s of both
  EXPECT_GT(alone, 40) << mixed;
}

TEST_P(PulseSystemAudio, AnotherDefaultSinkEndsTheTapsProcessWithStatus75WithinASecond) {
  std::optional<Clock::time_point> changed, reopened;
  const ProcessResult result = runAudio(server, {"--system"}, [&](const std::string&, const std::string& err) {
    if (!changed && has(err, R"("type":"ready")")) {
      server.pactl({"set-default-sink", "headphones"});
      changed = Clock::now();
    }
    if (changed && !reopened && has(err, R"("event":"reopen")")) reopened = Clock::now();
    return 0;
  });
  EXPECT_EQ(result.status, 75);
  ASSERT_FALSE(result.timedOut);
  ASSERT_TRUE(changed && reopened);
  // The line within about a second; the exit right after it (a sanitizer's own work at exit
  // can take a second more, so the exit itself is not timed).
  EXPECT_LT(*reopened - *changed, std::chrono::milliseconds(1200));
  EXPECT_EQ(result.events().back(), (nlohmann::json{{"type", "device"},
                                                    {"name", "system audio"},
                                                    {"source", "system"},
                                                    {"via", "tap"},
                                                    {"event", "reopen"},
                                                    {"cause", "device"},
                                                    {"reason", "the output device changed"}}));
}

// The screen-capture path records the default sink: when that changes, or the sink it
// records goes away, it stops, restarts on the new default and records that.
TEST_P(PulseSystemAudio, TheScreenPathFollowsTheDefaultSinkAcrossChangesAndRemovals) {
  Tones tones{server};
  tones.upload("high", 880, 0.5, 48000);
  tones.upload("low", 330, 0.5, 48000);
  enum class Step { waiting, changed, playedOnHeadphones, removed, playedOnSpeakers } step = Step::waiting;
  std::size_t restarts = 0;
  std::size_t highAt = 0, lowAt = 0;
  StopAfter heard(1.5);  // the first tone, before the removal
  StopAfter stop(1.5);
  const ProcessResult result = runAudio(server, {"--system"},
                                        [&](const std::string& out, const std::string& err) {
                                          restarts = 0;
                                          for (std::size_t at = err.find("\"restarted\""); at != std::string::npos;
                                               at = err.find("\"restarted\"", at + 1)) {
                                            ++restarts;
                                          }
                                          switch (step) {
                                            case Step::waiting:
                                              if (has(err, R"("via":"screen")")) {
                                                server.pactl({"set-default-sink", "headphones"});
                                                step = Step::changed;
                                              }
                                              break;
                                            case Step::changed:
                                              if (restarts == 1) {
                                                highAt = out.size() / 2;
                                                tones.play("high", "headphones");
                                                heard.mark(out.size());
                                                step = Step::playedOnHeadphones;
                                              }
                                              break;
                                            case Step::playedOnHeadphones:
                                              if (heard(out)) {
                                                removeSink(server, "headphones");
                                                step = Step::removed;
                                              }
                                              break;
                                            case Step::removed:
                                              if (restarts == 2) {
                                                lowAt = out.size() / 2;
                                                tones.play("low", "speakers");
                                                stop.mark(out.size());
                                                step = Step::playedOnSpeakers;
                                              }
                                              break;
                                            case Step::playedOnSpeakers: return stop(out);
                                          }
                                          return 0;
                                        },
                                        {{"VELMOR_SYSTEM_AUDIO", "screen"}});
  EXPECT_EQ(result.status, 0);
  ASSERT_FALSE(result.timedOut) << result.stderrBytes;
  std::vector<nlohmann::json> events;
  for (const auto& e : result.events()) {
    if (e["type"] != "level" && e["type"] != "ready") events.push_back(e);
  }
  const nlohmann::json screen{{"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"via", "screen"}};
  auto restartedEvent = [&](int count) {
    auto e = screen;
    e["event"] = "restarted";
    e["restarts"] = count;
    return e;
  };
  auto stoppedEvent = [](const std::string& reason) {
    return nlohmann::json{{"type", "device"}, {"name", "system audio"}, {"event", "stopped"}, {"reason", reason}};
  };
  ASSERT_EQ(events.size(), 5u) << result.stderrBytes;
  EXPECT_EQ(events[0], screen);
  EXPECT_EQ(events[1], stoppedEvent("the default output changed"));
  EXPECT_EQ(events[2], restartedEvent(1));
  EXPECT_EQ(events[3]["event"], "stopped");
  EXPECT_EQ(events[4], restartedEvent(2));

  // Each tone came from the sink that was the default when it played.
  const auto samples = testing::pcmSamples(result.stdoutBytes);
  auto strongest = [&](std::size_t from, double frequency) {
    double best = 0;
    for (std::size_t at = from; at + 1600 <= std::min(samples.size(), from + 24000); at += 800) {
      best = std::max(best, amplitudeAt(samples, at, 1600, frequency));
    }
    return best;
  };
  // The stream asks the server for one channel, so the server folds the stereo sink down:
  // PulseAudio averages the channels, PipeWire adds them at -3 dB each (its default), which
  // leaves a tone played alike on both channels 3 dB louder.
  const double level = GetParam() == testing::ServerKind::pipeWire ? 0.5 * std::numbers::sqrt2 : 0.5;
  EXPECT_NEAR(strongest(highAt, 880), level, 0.02);
  EXPECT_NEAR(strongest(lowAt, 330), level, 0.02);
}

// The server drops the screen path's stream: it stops with the server's reason and restarts.
TEST_P(PulseSystemAudio, TheScreenPathRestartsAfterTheServerKillsItsStream) {
  bool killed = false;
  const ProcessResult result = runAudio(server, {"--system"},
                                        [&](const std::string&, const std::string& err) {
                                          if (!killed && has(err, R"("via":"screen")")) {
                                            const auto ours = ourStreams(server, "Velmor system audio");
                                            if (ours.size() != 1) return 0;
                                            server.killSourceOutput(ours[0].at("index").get<long long>());
                                            killed = true;
                                          }
                                          return has(err, R"("event":"restarted")") ? SIGTERM : 0;
                                        },
                                        {{"VELMOR_SYSTEM_AUDIO", "screen"}});
  EXPECT_EQ(result.status, 0);
  ASSERT_FALSE(result.timedOut) << result.stderrBytes;
  std::vector<nlohmann::json> events;
  for (const auto& e : result.events()) {
    if (e["type"] == "device") events.push_back(e);
  }
  ASSERT_EQ(events.size(), 3u) << result.stderrBytes;
  EXPECT_EQ(
      events[1],
      (nlohmann::json{
          {"type", "device"}, {"name", "system audio"}, {"event", "stopped"}, {"reason", pa_strerror(PA_ERR_KILLED)}}));
  EXPECT_EQ(events[2]["event"], "restarted");
  EXPECT_EQ(events[2]["restarts"], 1);
}

}  // namespace
}  // namespace velmor
