// The whole process as a parent application runs it: the test-only binary on a scripted
// world, with its arguments, its standard output bytes, its events, its status and signals.
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>

#include <gtest/gtest.h>

#include "support/subprocess.h"

namespace velmor {
namespace {

using testing::ProcessOptions;
using testing::ProcessResult;
using testing::runProcess;
using testing::simBinary;
using testing::writeScenario;

ProcessResult runSim(std::vector<std::string> args, const nlohmann::json& scenario = nlohmann::json::object(),
                     std::function<int(const std::string&, const std::string&)> signalWhen = nullptr) {
  ProcessOptions options;
  options.args = std::move(args);
  options.env["VELMOR_SIM_SCENARIO"] = writeScenario(scenario);
  options.signalWhen = std::move(signalWhen);
  return runProcess(simBinary(), options);
}

// Sends the signal once standard error holds `count` lines.
auto afterLines(std::size_t count, int sig) {
  return [count, sig](const std::string&, const std::string& err) {
    return static_cast<std::size_t>(std::count(err.begin(), err.end(), '\n')) >= count ? sig : 0;
  };
}

nlohmann::json micScenario(double seconds = 3600) {
  return {{"devices",
           {{{"id", 42},
             {"uid", "BuiltInMicrophoneDevice"},
             {"name", "MacBook Pro Microphone"},
             {"transport", "bltn"},
             {"audio", {{{"sine", 1000}, {"amplitude", 0.5}, {"seconds", seconds}}}}},
            {{"id", 77}, {"uid", "usb-77"}, {"name", "USB Mic"}, {"transport", "usb "}, {"inputBuffers", {1, 1}}}}},
          {"defaultInput", 42}};
}

TEST(SimProcess, NoArgumentsIsAnErrorWithNothingOnStandardOutput) {
  const auto result = runSim({});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.stdoutBytes, "");
  EXPECT_EQ(result.stderrBytes, R"({"message":"Nothing to capture: pass --mic and/or --system","type":"error"})"
                                "\n");
}

TEST(SimProcess, ListingWinsOverEveryOtherModeAndWritesOneLine) {
  const auto result = runSim({"--mic", "x", "--watch", "--events", "--list-devices"}, micScenario());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stderrBytes, "");
  EXPECT_EQ(
      result.stdoutBytes,
      R"([{"builtin":true,"channels":1,"id":42,"isDefault":true,"name":"MacBook Pro Microphone","uid":"BuiltInMicrophoneDevice"},)"
      R"({"builtin":false,"channels":2,"id":77,"isDefault":false,"name":"USB Mic","uid":"usb-77"}])"
      "\n");
}

TEST(SimProcess, ListingWithNoDevicesIsAnEmptyArray) {
  EXPECT_EQ(runSim({"--list-devices"}).stdoutBytes, "[]\n");
  const auto failing = runSim({"--list-devices"}, {{"deviceListFails", true}, {"devices", micScenario()["devices"]}});
  EXPECT_EQ(failing.stdoutBytes, "[]\n");
  EXPECT_EQ(failing.status, 0);
}

TEST(SimProcess, WatchTakesPrecedenceOverCalendar) {
  nlohmann::json scenario{{"processes", {{"reported", false}}}, {"calendar", {{"status", 3}}}};
  const auto result = runSim({"--events", "--watch"}, scenario);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.stdoutBytes, "");
  EXPECT_EQ(result.stderrBytes, R"({"message":"this macOS cannot say which apps hold the microphone","type":"error"})"
                                "\n");
}

// Looks at 0, 2, 4, 6 and 8 seconds; the set changes at 1, 5 and 7.
TEST(SimProcess, WatchWritesTheSetAtStartAndAtEachChangeUntilSigterm) {
  const nlohmann::json meet = {{"id", 11}, {"app", "com.example.meet"}};
  const nlohmann::json helper = {{"id", 12}, {"app", "com.example.meet"}};
  const nlohmann::json recorder = {{"id", 20}, {"app", "org.example.Recorder"}};
  nlohmann::json scenario{{"processes", nlohmann::json::array()},
                          {"timeline",
                           {{{"at", 1}, {"processes", {meet}}},
                            {{"at", 3}, {"processes", {meet, helper}}},  // the same set
                            {{"at", 5}, {"processes", {recorder, meet}}},
                            {{"at", 7}, {"processes", {helper}}}}}};
  ProcessOptions options;
  options.args = {"--watch"};
  options.env["VELMOR_SIM_SCENARIO"] = writeScenario(scenario);
  options.signalWhen = [](const std::string& out, const std::string&) {
    return std::count(out.begin(), out.end(), '\n') >= 4 ? SIGTERM : 0;
  };
  const auto result = runProcess(simBinary(), options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stderrBytes, "");
  EXPECT_EQ(result.stdoutBytes, R"({"apps":[],"type":"mic"})"
                                "\n"
                                R"({"apps":["com.example.meet"],"type":"mic"})"
                                "\n"
                                R"({"apps":["com.example.meet","org.example.Recorder"],"type":"mic"})"
                                "\n"
                                R"({"apps":["com.example.meet"],"type":"mic"})"
                                "\n");
}

TEST(SimProcess, EventsWritesTheDocumentAfterAnAnsweredRequest) {
  nlohmann::json scenario{{"calendar",
                           {{"status", 0},
                            {"request", {{"answer", 3}, {"after", 0.2}}},
                            {"events",
                             {{{"id", "ev1"},
                               {"title", "Stand-up"},
                               {"start", {{"fromNow", -600}}},
                               {"end", {{"fromNow", 300}}},
                               {"notes", "https://meet.google.com/abc-defg-hij"},
                               {"attendees",
                                {{{"url", "mailto:ada@example.com"}},
                                 {{
                                      "name",
                                      "Room",
                                  },
                                  {"type", 2}}}}}}}}}};
  const auto result = runSim({"--events", "--ask"}, scenario);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stderrBytes, "");
  const auto document = nlohmann::json::parse(result.stdoutBytes);
  EXPECT_EQ(document["access"], "granted");
  ASSERT_EQ(document["events"].size(), 1u);
  EXPECT_EQ(document["events"][0]["online"], true);
  EXPECT_EQ(document["events"][0]["attendees"], nlohmann::json::array({"ada@example.com"}));
}

TEST(SimProcess, EventsFailsWhenTheStoreCannotBeRead) {
  const auto result = runSim({"--events"}, {{"calendar", {{"status", 3}, {"fetchFails", true}}}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.stdoutBytes, "");
  EXPECT_EQ(result.events().at(0)["message"], "the calendar could not be read: the calendar store is not available");
}

TEST(SimProcess, EventsNamesACalendarThatCouldNotBeReadAndListsTheRest) {
  const nlohmann::json calendar{
      {"status", 3},
      {"missing", {"\"Work\" (work-1): did not answer within 10 s"}},
      {"events", {{{"id", "kept"}, {"start", {{"fromNow", 60}}}, {"end", {{"fromNow", 120}}}}}}};
  const auto result = runSim({"--events"}, {{"calendar", calendar}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(
      result.events(),
      (std::vector<nlohmann::json>{
          {{"type", "error"}, {"message", "Calendar unavailable: \"Work\" (work-1): did not answer within 10 s"}}}));
  const auto document = nlohmann::json::parse(result.stdoutBytes);
  ASSERT_EQ(document["events"].size(), 1u);
  EXPECT_EQ(document["events"][0]["id"], "kept");
}

TEST(SimProcess, MicrophoneRecordsTheToneUntilSigterm) {
  // Stop after about one second of audio: a "level" line comes every 100 ms.
  const auto result = runSim({"--mic", "builtin"}, micScenario(), afterLines(12, SIGTERM));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.termSignal, 0);
  const auto events = result.events();
  ASSERT_GE(events.size(), 12u);
  EXPECT_EQ(events[0], (nlohmann::json{{"type", "device"},
                                       {"name", "MacBook Pro Microphone"},
                                       {"uid", "BuiltInMicrophoneDevice"},
                                       {"source", "mic"}}));
  EXPECT_EQ(events[1], (nlohmann::json{{"type", "ready"}}));
  for (std::size_t i = 2; i < events.size(); ++i) {
    EXPECT_EQ(events[i]["type"], "level");
    EXPECT_NEAR(events[i]["mic"].get<double>(), 0.5 / std::numbers::sqrt2, 0.01);
  }

  const auto samples = testing::pcmSamples(result.stdoutBytes);
  EXPECT_EQ(result.stdoutBytes.size() % 320, 0u);  // whole frames only
  ASSERT_GE(samples.size(), 16000u);
  // Frequency from upward zero crossings after the resampler settles; level from RMS.
  std::size_t crossings = 0;
  std::size_t first = 0, last = 0;
  double sum = 0;
  for (std::size_t i = 800; i < samples.size(); ++i) {
    sum += double(samples[i]) * samples[i];
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      if (crossings++ == 0) first = i;
      last = i;
    }
  }
  const double frequency = double(crossings - 1) * 16000.0 / double(last - first);
  EXPECT_NEAR(frequency, 1000, 5);
  const double level = std::sqrt(sum / double(samples.size() - 800)) / 32767.0;
  EXPECT_NEAR(20 * std::log10(level / (0.5 / std::numbers::sqrt2)), 0, 0.1);
}

// Phase of each 10 ms frame of a tone, less the phase the frame before it predicts: constant
// while the audio is continuous, with a step where frames were lost.
std::vector<double> phaseSteps(const std::vector<std::int16_t>& samples, double frequency, double rate) {
  const std::size_t frame = static_cast<std::size_t>(rate / 100);
  const double w = 2 * std::numbers::pi * frequency / rate;
  std::vector<double> phases;
  for (std::size_t start = 0; start + frame <= samples.size(); start += frame) {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < frame; ++i) {
      re += samples[start + i] * std::cos(w * double(start + i));
      im += samples[start + i] * std::sin(w * double(start + i));
    }
    phases.push_back(std::atan2(im, re));
  }
  std::vector<double> steps;
  for (std::size_t i = 1; i < phases.size(); ++i) {
    steps.push_back(std::remainder(phases[i] - phases[i - 1], 2 * std::numbers::pi));
  }
  return steps;
}

// A parent that stops reading for a while: standard output keeps only the newest audio, says
// once that audio was dropped, and what comes after the stall is continuous again. The
// microphone itself is never held back, so it drops nothing.
TEST(SimProcess, AStalledParentLosesTheOldestAudioOnceAndMemoryStaysBounded) {
  auto scenario = micScenario();
  scenario["devices"][0]["audio"][0]["sine"] = 997;
  scenario["audioSpeed"] = 5;  // the backlog overflows within a second of the stall
  ProcessOptions options;
  options.args = {"--mic", "default"};
  options.env["VELMOR_SIM_SCENARIO"] = writeScenario(scenario);
  options.stdoutStall = ProcessOptions::Stall{std::chrono::milliseconds(500), std::chrono::milliseconds(3000)};
  const auto start = std::chrono::steady_clock::now();
  options.signalWhen = [start](const std::string&, const std::string&) {
    return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(5500) ? SIGTERM : 0;
  };
  const auto result = runProcess(simBinary(), options);
  EXPECT_EQ(result.status, 0);

  int dropped = 0;
  for (const auto& event : result.events()) {
    if (event["type"] == "error") {
      EXPECT_EQ(event["message"], "Audio dropped: standard output is not being read");
      ++dropped;
    }
  }
  EXPECT_EQ(dropped, 1);

  // About 5.5 s at five times real time, less what was dropped (at least the stall's 15 s
  // less the 2 s kept and what the pipe held).
  const auto samples = testing::pcmSamples(result.stdoutBytes);
  EXPECT_LT(samples.size(), 16000u * (27 - 10));
  ASSERT_GT(samples.size(), 16000u * 5);
  // Skip the resampler's start; then the phase may jump once, where the audio was dropped.
  const auto steps = phaseSteps(std::vector<std::int16_t>(samples.begin() + 1600, samples.end()), 997, 16000);
  int jumps = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (std::abs(steps[i] - steps.front()) > 0.05) ++jumps;
  }
  EXPECT_LE(jumps, 2) << "the audio is continuous but where it was dropped";
}

// A parent that reads the audio but leaves the events unread for a while (a small pipe
// makes the while short): the recording goes on regardless, and the events that follow the
// stall come out whole.
TEST(SimProcess, AParentThatStopsReadingStandardErrorStillGetsTheAudio) {
  auto scenario = micScenario();
  scenario["audioSpeed"] = 20;  // 200 level events a second: the pipe is full within a second
  ProcessOptions options;
  options.args = {"--mic", "default"};
  options.env["VELMOR_SIM_SCENARIO"] = writeScenario(scenario);
  options.stderrPipeBytes = 4096;
  options.stderrStall = ProcessOptions::Stall{std::chrono::milliseconds(500), std::chrono::milliseconds(3000)};
  const auto start = std::chrono::steady_clock::now();
  std::size_t atTwoAndAHalf = 0;
  std::size_t atThreeAndAHalf = 0;
  options.signalWhen = [&](const std::string& out, const std::string&) {
    const auto since = std::chrono::steady_clock::now() - start;
    if (since < std::chrono::milliseconds(2500)) atTwoAndAHalf = out.size();
    if (since < std::chrono::milliseconds(3500)) atThreeAndAHalf = out.size();
    return since > std::chrono::milliseconds(4500) ? SIGTERM : 0;
  };
  const auto result = runProcess(simBinary(), options);
  EXPECT_EQ(result.status, 0);
  // In the last second of the stall a recording held by its events writes nothing; this one
  // goes on (20 s of audio at full speed; a second's worth is plenty on a slow build).
  EXPECT_GT(atThreeAndAHalf - atTwoAndAHalf, 2u * 16000) << atTwoAndAHalf << " then " << atThreeAndAHalf;
  // Every line that came is a whole event; levels still come after the stall.
  const auto events = result.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["type"], "level") << result.stderrBytes.substr(result.stderrBytes.size() - 200);
}

// The pipe fills and stays full: SIGTERM still ends the process, and what standard output
// holds for the parent cannot keep it alive.
TEST(SimProcess, SigtermEndsTheProcessWhenTheParentStoppedReading) {
  auto scenario = micScenario();
  scenario["audioSpeed"] = 20;  // fill the pipe quickly
  ProcessOptions options;
  options.args = {"--mic", "default"};
  options.env["VELMOR_SIM_SCENARIO"] = writeScenario(scenario);
  options.readStdout = false;
  const auto start = std::chrono::steady_clock::now();
  options.signalWhen = [start](const std::string&, const std::string&) {
    return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(1500) ? SIGTERM : 0;
  };
  const auto result = runProcess(simBinary(), options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.termSignal, 0);
  EXPECT_EQ(result.status, 0);
}

TEST(SimProcess, SigintEndsWithStatusZero) {
  const auto result = runSim({"--mic", "default"}, micScenario(), afterLines(3, SIGINT));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.termSignal, 0);
}

TEST(SimProcess, NoMicrophoneIsFatal) {
  const auto result = runSim({"--mic", "default"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.stdoutBytes, "");
  EXPECT_EQ(result.stderrBytes, R"({"message":"Microphone could not start: no microphone is available","type":"error"})"
                                "\n");
}

TEST(SimProcess, UnpluggedMicrophoneRestartsOnAnotherDevice) {
  auto scenario = micScenario();
  scenario["timeline"] = {{{"at", 0.3}, {"unplug", 77}}};
  const auto result = runSim({"--mic", "usb-77"}, scenario, [](const std::string&, const std::string& err) {
    return err.find("restarted") != std::string::npos ? SIGTERM : 0;
  });
  EXPECT_EQ(result.status, 0);
  std::vector<nlohmann::json> events;
  for (auto& e : result.events()) {
    if (e["type"] != "level") events.push_back(e);
  }
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0]["name"], "USB Mic");
  EXPECT_EQ(events[1]["type"], "ready");
  EXPECT_EQ(events[2]["message"], "Microphone usb-77 not found; using MacBook Pro Microphone");
  EXPECT_EQ(events[3], (nlohmann::json{{"type", "device"},
                                       {"name", "MacBook Pro Microphone"},
                                       {"uid", "BuiltInMicrophoneDevice"},
                                       {"source", "mic"},
                                       {"event", "restarted"},
                                       {"reason", "the microphone was disconnected"},
                                       {"restarts", 1}}));
}

// A speaker and headphones, a tap playing a 440 Hz tone, one display whose stream plays
// 1 kHz, and this process among the running applications.
nlohmann::json systemScenario() {
  return {
      {"outputs", {{{"id", 50}, {"uid", "BuiltInSpeakerDevice"}}, {{"id", 51}, {"uid", "ExternalHeadphones"}}}},
      {"defaultOutput", 50},
      {"defaultSystemOutput", 50},
      {"tapAudio", {{"bufferFrames", 480}, {"audio", {{{"sine", 440}, {"amplitude", 0.5}, {"seconds", 3600}}}}}},
      {"displays", {{{"id", 1}, {"name", "Built-in Display"}}}},
      {"applications",
       {{{"pid", 1}, {"bundle", "com.example.player"}}, {{"pid", "self"}, {"bundle", "com.velmor.audio"}}}},
      {"streamAudio", {{"bufferFrames", 1024}, {"audio", {{{"sine", 1000}, {"amplitude", 0.25}, {"seconds", 3600}}}}}}};
}

std::vector<nlohmann::json> nonLevel(const ProcessResult& result) {
  std::vector<nlohmann::json> found;
  for (auto& e : result.events()) {
    if (e["type"] != "level") found.push_back(e);
  }
  return found;
}

std::size_t indexOf(const std::vector<nlohmann::json>& events, const nlohmann::json& event) {
  return static_cast<std::size_t>(std::find(events.begin(), events.end(), event) - events.begin());
}

const nlohmann::json kTapInUse{{"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"via", "tap"}};
const nlohmann::json kScreenInUse{
    {"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"via", "screen"}};
const nlohmann::json kReady{{"type", "ready"}};

TEST(SimProcess, SystemAloneRecordsTheTapAndIsReadyAfterIt) {
  const auto result = runSim({"--system"}, {{"systemAudio", systemScenario()}}, afterLines(12, SIGTERM));
  EXPECT_EQ(result.status, 0);
  const auto events = nonLevel(result);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], kTapInUse);
  EXPECT_EQ(events[1], kReady);
  const auto samples = testing::pcmSamples(result.stdoutBytes);
  ASSERT_GT(samples.size(), 8000u);
  double sum = 0;
  for (std::size_t i = 1600; i < samples.size(); ++i) sum += double(samples[i]) * samples[i];
  EXPECT_NEAR(std::sqrt(sum / double(samples.size() - 1600)) / 32767.0, 0.5 / std::numbers::sqrt2, 0.01);
}

// The microphone starts first, then system audio, then "ready".
TEST(SimProcess, ReadyFollowsBothStarts) {
  auto scenario = micScenario();
  scenario["systemAudio"] = systemScenario();
  const auto result = runSim({"--mic", "builtin", "--system"}, scenario, afterLines(5, SIGTERM));
  EXPECT_EQ(result.status, 0);
  const auto events = nonLevel(result);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]["source"], "mic");
  EXPECT_EQ(events[1], kTapInUse);
  EXPECT_EQ(events[2], kReady);
  // Both tones are in the mix: the microphone's halved beside the louder system audio.
  for (const auto& level : result.events()) {
    if (level["type"] != "level") continue;
    EXPECT_NEAR(level["mic"].get<double>(), 0.5 / std::numbers::sqrt2, 0.02);
    EXPECT_NEAR(level["system"].get<double>(), 0.5 / std::numbers::sqrt2, 0.02);
  }
}

struct ReopenCase {
  const char* name;
  nlohmann::json timeline;
  int status;
  const char* cause;
  const char* reason;
};

TEST(SimProcess, TheTapLeavesWithAReopenLineAndTheStatusOfItsCause) {
  const std::vector<ReopenCase> cases{
      {"device", {{{"at", 0.5}, {"defaultOutput", 51}}}, 75, "device", "the output device changed"},
      {"system output", {{{"at", 0.5}, {"defaultSystemOutput", 51}}}, 75, "device", "the output device changed"},
      {"quiet", {{{"at", 0.3}, {"tapIO", "stop"}}}, 76, "quiet", "the tap went quiet"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto scenario = nlohmann::json{{"systemAudio", systemScenario()}, {"timeline", c.timeline}};
    const auto start = std::chrono::steady_clock::now();
    const auto result = runSim({"--system"}, scenario);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.status, c.status);
    EXPECT_FALSE(result.timedOut);
    EXPECT_LT(took, std::chrono::seconds(8));
    const auto events = nonLevel(result);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], kTapInUse);
    EXPECT_EQ(events[1], kReady);
    EXPECT_EQ(events[2], (nlohmann::json{{"type", "device"},
                                         {"name", "system audio"},
                                         {"source", "system"},
                                         {"via", "tap"},
                                         {"event", "reopen"},
                                         {"cause", c.cause},
                                         {"reason", c.reason}}));
    // The reopen line is the last thing written.
    EXPECT_EQ(result.events().back(), events[2]);
  }
}

TEST(SimProcess, WithoutTapsTheFallbackLineThenTheScreenPath) {
  auto system = systemScenario();
  system["taps"] = false;
  const auto result =
      runSim({"--system"}, {{"systemAudio", system}}, [](const std::string& out, const std::string& err) {
        return err.find(R"("via":"screen")") != std::string::npos && out.size() > 16000 ? SIGTERM : 0;
      });
  EXPECT_EQ(result.status, 0);
  const auto events = nonLevel(result);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], (nlohmann::json{{"type", "device"},
                                       {"name", "system audio"},
                                       {"source", "system"},
                                       {"event", "fallback"},
                                       {"reason", "this macOS has no audio taps"}}));
  EXPECT_LT(indexOf(events, kReady), events.size());
  EXPECT_LT(indexOf(events, kScreenInUse), events.size());
}

// A display gone when the stream restarts: "stopped", then the fatal error.
TEST(SimProcess, NoDisplayIsFatalEvenDuringARestart) {
  const nlohmann::json scenario{{"systemAudio", systemScenario()},
                                {"environment", {{"VELMOR_SYSTEM_AUDIO", "screen"}}},
                                {"timeline",
                                 {{{"at", 0.5}, {"displays", nlohmann::json::array()}},
                                  {{"at", 0.6}, {"streamStop", "the display went to sleep"}}}}};
  const auto result = runSim({"--system"}, scenario);
  EXPECT_EQ(result.status, 1);
  const auto events = nonLevel(result);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_LT(indexOf(events, kReady), 2u);
  EXPECT_LT(indexOf(events, kScreenInUse), 2u);
  EXPECT_EQ(events[2], (nlohmann::json{{"type", "device"},
                                       {"name", "system audio"},
                                       {"event", "stopped"},
                                       {"reason", "the display went to sleep"}}));
  EXPECT_EQ(events[3], (nlohmann::json{{"type", "error"}, {"message", "No display to capture audio from"}}));
}

TEST(SimProcess, AStoppedStreamRestartsAndItsAudioGoesOn) {
  const nlohmann::json scenario{{"systemAudio", systemScenario()},
                                {"environment", {{"VELMOR_SYSTEM_AUDIO", "screen"}}},
                                {"timeline", {{{"at", 0.5}, {"streamStop", "the display went to sleep"}}}}};
  std::optional<std::size_t> restartedAt;
  const auto result = runSim({"--system"}, scenario, [&](const std::string& out, const std::string& err) {
    if (!restartedAt && err.find("restarted") != std::string::npos) restartedAt = out.size();
    return restartedAt && out.size() > *restartedAt + 16000 ? SIGTERM : 0;
  });
  EXPECT_EQ(result.status, 0);
  const auto events = nonLevel(result);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[3], (nlohmann::json{{"type", "device"},
                                       {"name", "system audio"},
                                       {"source", "system"},
                                       {"via", "screen"},
                                       {"event", "restarted"},
                                       {"restarts", 1}}));
}

TEST(SimProcess, HostileArgumentsNeitherCrashNorHang) {
  const std::vector<std::vector<std::string>> argvs = {
      {std::string(120000, '-')},  // near the kernel's limit for one argument
      {"--mic", std::string(100000, 'x'), "--list-devices"},
      {"--mic", "\xff\xfe\x80", "--rate", "\x01\x02"},
      {"--rate", "--mic", "--system", "--hours"},
      {"", "", ""},
  };
  for (std::size_t i = 0; i < argvs.size(); ++i) {
    SCOPED_TRACE("argument vector " + std::to_string(i));
    const auto result = runSim(argvs[i], micScenario(), afterLines(2, SIGTERM));
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.termSignal, 0);
    EXPECT_TRUE(result.status == 0 || result.status == 1) << result.status;
    for (const auto& event : result.events()) EXPECT_TRUE(event.contains("type"));  // every line parses
  }
}

}  // namespace
}  // namespace velmor
