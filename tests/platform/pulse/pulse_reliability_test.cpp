// The shipped binary when things around it go wrong, against a private server: a parent that
// closes standard output or reads it only once a second, a server that freezes, a server that
// is killed and started again.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <optional>

#include <gtest/gtest.h>

#include "support/audio_server.h"
#include "support/capture_fixtures.h"
#include "support/subprocess.h"

namespace velmor {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using testing::AudioServer;
using testing::FifoWriter;
using testing::ProcessOptions;
using testing::ProcessResult;

constexpr std::size_t kBytesPerSecond = 32000;  // 16 kHz, 16-bit, one channel

// Speakers for the tap, and a silent built-in microphone that is the default.
void fabricateDevices(AudioServer& server) {
  server.addSpeakers("speakers");
  server.addMicrophone({"builtin_mic", "Built-in Mic", {{"device.bus", "pci"}}});
  server.setDefaultSource("builtin_mic");
}

bool hasEvent(const std::string& stderrBytes, const std::string& needle) {
  return stderrBytes.find(needle) != std::string::npos;
}

bool anyEvent(const ProcessResult& result, const std::function<bool(const nlohmann::json&)>& match) {
  const auto events = result.events();
  return std::any_of(events.begin(), events.end(), match);
}

// The runs of more than 16 zero samples (1 ms) inside `samples`, as "at+length" items: a
// 440 Hz sine crosses zero, it does not rest there.
std::string silentStretches(const std::vector<std::int16_t>& samples) {
  std::string found;
  for (std::size_t at = 0; at < samples.size();) {
    std::size_t end = at;
    while (end < samples.size() && samples[end] == 0) ++end;
    if (end - at > 16) found += std::to_string(at) + "+" + std::to_string(end - at) + " ";
    at = end == at ? at + 1 : end;
  }
  return found.empty() ? "none" : found;
}

class PulseReliability : public ::testing::TestWithParam<testing::ServerKind> {
 protected:
  PulseReliability() : server_(AudioServer::start(GetParam())) { fabricateDevices(*server_); }

  ProcessOptions options(std::vector<std::string> args) const {
    ProcessOptions options;
    options.args = std::move(args);
    for (const auto& [k, v] : server_->clientEnvironment()) options.env[k] = v;
    options.timeout = seconds(40);
    return options;
  }

  std::unique_ptr<AudioServer> server_;
};

INSTANTIATE_TEST_SUITE_P(, PulseReliability, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

// Whether the parent ignored SIGPIPE or not, a closed pipe ends the process by SIGPIPE: a
// process that lived on would record for nobody.
TEST_P(PulseReliability, AParentThatClosesStandardOutputEndsTheProcessBySigpipe) {
  for (const bool ignoredByParent : {false, true}) {
    SCOPED_TRACE(ignoredByParent ? "SIGPIPE ignored by the parent" : "SIGPIPE as the parent left it");
    ProcessOptions run = options({"--mic", "builtin_mic"});
    run.closeStdoutAfter = 3200;
    run.sigpipeIgnored = ignoredByParent;
    run.timeout = seconds(15);
    const ProcessResult result = testing::runProcess(VELMOR_AUDIO_BINARY, run);
    EXPECT_FALSE(result.timedOut) << result.stdoutBytes.size() << " bytes read";
    EXPECT_EQ(result.termSignal, SIGPIPE) << result.stderrBytes.substr(0, 300);
    EXPECT_EQ(result.status, -1);
  }
}

// A parent that reads once a second, through a pipe that holds a few milliseconds: the
// program waits on its writes for most of each second, its sources hold what comes meanwhile,
// and every sample of a paced microphone comes out, none twice.
TEST_P(PulseReliability, AParentThatReadsOnceASecondLosesNothing) {
  server_->addMicrophone({"pipe_mic", "Pipe Mic", {{"device.bus", "usb"}}, true});
  const std::string tone = testing::sineS16(440, 0.5, 48000, 4 * 48000) + std::string(9600, '\0');
  std::optional<FifoWriter> writer;
  std::optional<steady_clock::time_point> writtenAt;
  ProcessOptions run = options({"--mic", "pipe_mic"});
  run.readEvery = milliseconds(1000);
  run.stdoutPipeBytes = 4096;
  run.signalWhen = [&](const std::string&, const std::string& err) {
    if (!writer && hasEvent(err, R"("type":"ready")"))
      writer.emplace(server_->fifo("pipe_mic"), tone, 2, 48000, milliseconds(300));
    if (writer && writer->done() && !writtenAt) writtenAt = steady_clock::now();
    // Three turns of reading after the last sample went in: all of it is out by then.
    return writtenAt && steady_clock::now() - *writtenAt > seconds(3) ? SIGTERM : 0;
  };
  const ProcessResult result = testing::runProcess(VELMOR_AUDIO_BINARY, run);
  writer.reset();
  ASSERT_FALSE(result.timedOut) << result.stderrBytes;
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(anyEvent(result, [](const nlohmann::json& e) { return e.value("type", "") == "error"; }))
      << result.stderrBytes;
  // As many samples as the tone makes through the program's conversion, give or take the
  // phase of the 3:1 decimation: a dropped or repeated 10 ms frame is 160 samples.
  const auto samples = testing::pcmSamples(std::string(testing::withoutSilence(result.stdoutBytes, 2)));
  const std::size_t expected = testing::audibleCount(testing::converted16k(tone));
  EXPECT_NEAR(static_cast<double>(samples.size()), static_cast<double>(expected), 8)
      << "silent stretches inside the tone (where a late writer let the server fill in): " << silentStretches(samples);
}

// A server frozen for ten seconds: the process waits it out without ending, and audio flows
// again once it thaws.
TEST_P(PulseReliability, AFrozenServerHoldsTheProcessUntilItThawsThenAudioFlows) {
  constexpr auto kFreeze = seconds(10);
  std::optional<steady_clock::time_point> frozenAt;
  std::optional<steady_clock::time_point> thawedAt;
  std::optional<std::size_t> flowingFromByte;
  ProcessOptions run = options({"--mic", "builtin_mic"});
  run.signalWhen = [&](const std::string& out, const std::string& err) {
    if (!frozenAt && hasEvent(err, R"("type":"ready")") && out.size() >= kBytesPerSecond / 2) {
      server_->freeze();
      frozenAt = steady_clock::now();
    }
    if (frozenAt && !thawedAt && steady_clock::now() - *frozenAt >= kFreeze) {
      server_->thaw();
      thawedAt = steady_clock::now();
    }
    // A server may make up for the frozen time in one burst: audio flows when it still comes
    // a second later.
    if (thawedAt && !flowingFromByte && steady_clock::now() - *thawedAt >= seconds(1)) flowingFromByte = out.size();
    return flowingFromByte && out.size() >= *flowingFromByte + kBytesPerSecond ? SIGTERM : 0;
  };
  const ProcessResult result = testing::runProcess(VELMOR_AUDIO_BINARY, run);
  server_->thaw();
  ASSERT_FALSE(result.timedOut) << "no audio after the server thawed: " << result.stderrBytes;
  ASSERT_TRUE(thawedAt) << "the process ended during the freeze: " << result.stderrBytes;
  EXPECT_EQ(result.status, 0) << result.stderrBytes;
  EXPECT_EQ(result.termSignal, 0);
  EXPECT_FALSE(hasEvent(result.stderrBytes, "Microphone stopped")) << result.stderrBytes;
}

// SIGTERM while the server does not answer: stopping the microphone cannot complete, and
// the process still leaves within its two-second grace, with status 0.
TEST_P(PulseReliability, SigtermDuringAFreezeExitsWithinTheGrace) {
  std::optional<steady_clock::time_point> frozenAt;
  std::optional<steady_clock::time_point> sentAt;
  ProcessOptions run = options({"--mic", "builtin_mic"});
  run.timeout = seconds(20);
  run.signalWhen = [&](const std::string& out, const std::string& err) {
    if (!frozenAt && hasEvent(err, R"("type":"ready")") && out.size() >= kBytesPerSecond / 2) {
      server_->freeze();
      frozenAt = steady_clock::now();
    }
    if (frozenAt && steady_clock::now() - *frozenAt >= seconds(1)) {
      sentAt = steady_clock::now();
      return SIGTERM;
    }
    return 0;
  };
  const ProcessResult result = testing::runProcess(VELMOR_AUDIO_BINARY, run);
  const auto took = steady_clock::now() - sentAt.value_or(steady_clock::now());
  server_->thaw();
  ASSERT_TRUE(sentAt) << result.stderrBytes;
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, 0) << result.stderrBytes;
  // The grace, and a margin for a loaded machine.
  EXPECT_LT(took, milliseconds(3500));
}

// The server killed and started again while the microphone records: the microphone comes
// back on the new server with "restarted", audio flows, and SIGTERM still exits 0.
TEST_P(PulseReliability, AServerKilledAndStartedAgainGivesTheMicrophoneBack) {
  std::optional<steady_clock::duration> restartTook;
  std::optional<std::size_t> restartedAtByte;
  ProcessOptions run = options({"--mic", "builtin_mic"});
  run.signalWhen = [&](const std::string& out, const std::string& err) {
    if (!restartTook && hasEvent(err, R"("type":"ready")") && out.size() >= kBytesPerSecond / 2) {
      const auto start = steady_clock::now();
      server_->restart();
      fabricateDevices(*server_);
      restartTook = steady_clock::now() - start;
    }
    if (!restartedAtByte && hasEvent(err, R"("event":"restarted")")) restartedAtByte = out.size();
    return restartedAtByte && out.size() >= *restartedAtByte + kBytesPerSecond ? SIGTERM : 0;
  };
  const ProcessResult result = testing::runProcess(VELMOR_AUDIO_BINARY, run);
  ASSERT_TRUE(restartTook);
  std::cout << server_->name() << " was back, with its devices, after "
            << std::chrono::duration_cast<milliseconds>(*restartTook).count() << " ms\n";
  ASSERT_FALSE(result.timedOut) << result.stderrBytes;
  EXPECT_EQ(result.status, 0) << result.stderrBytes;
  ASSERT_TRUE(restartedAtByte) << result.stderrBytes;
  EXPECT_TRUE(anyEvent(result, [](const nlohmann::json& e) {
    return e.value("event", "") == "restarted" && e.value("source", "") == "mic" &&
           e.value("uid", "") == "builtin_mic" && e.value("restarts", 0) == 1;
  })) << result.stderrBytes;
  EXPECT_FALSE(hasEvent(result.stderrBytes, "Microphone stopped")) << result.stderrBytes;
}

// The same with system audio on the tap: the tap cannot follow its device to a new server,
// so it leaves with "reopen" and the status that tells the parent to start the program again.
// The server dies once the tap has run for a while: a tap that never ran is never found quiet,
// and a PulseAudio null sink with nothing playing renders its first block only after about
// two seconds.
TEST_P(PulseReliability, AServerKilledAndStartedAgainSendsTheTapToReopen) {
  bool restarted = false;
  ProcessOptions run = options({"--mic", "builtin_mic", "--system"});
  run.signalWhen = [&](const std::string& out, const std::string& err) {
    if (!restarted && hasEvent(err, R"("type":"ready")") && out.size() >= 3 * kBytesPerSecond) {
      server_->restart();
      fabricateDevices(*server_);
      restarted = true;
    }
    return 0;
  };
  const ProcessResult result = testing::runProcess(VELMOR_AUDIO_BINARY, run);
  ASSERT_TRUE(restarted) << result.stderrBytes;
  ASSERT_FALSE(result.timedOut) << result.stderrBytes;
  EXPECT_TRUE(result.status == 75 || result.status == 76) << result.status << "\n" << result.stderrBytes;
  // The last event but the levels, which the mixer may still write while the process ends.
  auto events = result.events();
  std::erase_if(events, [](const nlohmann::json& e) { return e.value("type", "") == "level"; });
  ASSERT_FALSE(events.empty());
  std::cout << server_->name() << ": " << events.back().dump() << ", status " << result.status << "\n";
  EXPECT_EQ(events.back().value("event", ""), "reopen") << result.stderrBytes;
  EXPECT_EQ(events.back().value("via", ""), "tap");
  EXPECT_EQ(events.back().value("cause", ""), result.status == 75 ? "device" : "quiet");
}

}  // namespace
}  // namespace velmor
