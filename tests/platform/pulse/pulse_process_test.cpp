// The shipped binary against a private server, as the meeting app runs it: the device list
// compared with what the server itself says, a known tone through a virtual microphone,
// the restart when that microphone goes away, and the fallback for an unknown one.
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <regex>

#include <gtest/gtest.h>

#include "support/audio_server.h"
#include "support/capture_fixtures.h"
#include "support/subprocess.h"

namespace velmor {
namespace {

using testing::AudioServer;
using testing::FifoWriter;
using testing::Microphone;
using testing::ProcessOptions;
using testing::ProcessResult;

// Microphones of every kind the listing tells apart, with names that sort by case and accent.
void fabricateListing(AudioServer& server) {
  server.addSpeakers("speakers");
  server.addSpeakers("headphones");
  for (const Microphone& microphone : {
           Microphone{"usb_headset", "USB Headset", {{"device.bus", "usb"}}},
           Microphone{"webcam", "webcam mic", {{"device.bus", "usb"}}, false, "s16le", 48000, 2},
           Microphone{"bt_headset", "Bluetooth Headset", {{"device.bus", "bluetooth"}}},
           Microphone{"hda_mic", "Internal Microphone", {{"device.bus", "pci"}}, false, "s16le", 48000, 2},
           Microphone{"soc_mic", "array", {{"device.bus", "platform"}}},
           Microphone{"isa_line", "Line In", {{"device.bus", "isa"}}},
           Microphone{"laptop_usb",
                      "Échantillon Mic",
                      {{"device.bus", "usb"}, {"device.form_factor", "internal"}},
                      false,
                      "s16le",
                      48000,
                      4},
           Microphone{"net_mic", "Studio Remote", {{"tunnel.remote.server", "tcp:studio"}}},
           Microphone{"zoom", "zoom recorder", {}, false, "s16le", 48000, 2},
           Microphone{"pipe_feed", "Pipe Feed", {}, true},
       }) {
    server.addMicrophone(microphone);
  }
  server.addRemappedMicrophone("remapped", "hda_mic", "Remapped");
  server.setDefaultSource("usb_headset");
}

// Built-in devices first, then the rest, each by name regardless of case or accent.
const std::vector<std::string> kListingOrder{"soc_mic",     "laptop_usb", "hda_mic",  "isa_line",
                                             "bt_headset",  "pipe_feed",  "remapped", "net_mic",
                                             "usb_headset", "webcam",     "zoom"};

// A microphone fed through a pipe, and a built-in one that is the default.
void fabricateMicrophones(AudioServer& server) {
  server.addSpeakers("speakers");
  server.addMicrophone({"pipe_mic", "Pipe Mic", {{"device.bus", "usb"}}, true});
  server.addMicrophone({"builtin_mic", "Built-in Mic", {{"device.bus", "pci"}}});
  server.setDefaultSource("builtin_mic");
}

std::string audioBinary() { return VELMOR_AUDIO_BINARY; }

ProcessResult runAudio(const AudioServer& server, std::vector<std::string> args,
                       std::function<int(const std::string&, const std::string&)> signalWhen = nullptr,
                       std::map<std::string, std::string> env = {}) {
  ProcessOptions options;
  options.args = std::move(args);
  for (const auto& [k, v] : server.clientEnvironment()) options.env[k] = v;
  for (const auto& [k, v] : env) options.env[k] = v;
  options.signalWhen = std::move(signalWhen);
  options.timeout = std::chrono::seconds(30);
  return runProcess(audioBinary(), options);
}

std::vector<std::string> uids(const nlohmann::json& list) {
  std::vector<std::string> found;
  for (const auto& device : list) found.push_back(device.at("uid"));
  return found;
}

bool hasEvent(const std::string& stderrBytes, const std::string& needle) {
  return stderrBytes.find(needle) != std::string::npos;
}

// The server's default source: its name and its description.
std::pair<std::string, std::string> defaultSource(const AudioServer& server) {
  const std::string name = server.defaultSource();
  for (const auto& source : server.pactlJson({"list", "sources"})) {
    if (source.at("name") == name) return {name, source.at("description")};
  }
  return {name, ""};
}

// A fresh server of the test's kind; `fabricate` makes its devices.
class WithServer : public ::testing::TestWithParam<testing::ServerKind> {
 protected:
  explicit WithServer(void (*fabricate)(AudioServer&)) : server_(AudioServer::start(GetParam())) {
    if (fabricate) fabricate(*server_);
  }
  std::unique_ptr<AudioServer> server_;
};

class PulseListing : public WithServer {
 protected:
  PulseListing() : WithServer(fabricateListing) {}
  const std::map<std::string, std::string> kUserLocale{{"LANG", "en_US.UTF-8"}, {"LC_ALL", "en_US.UTF-8"}};
};

INSTANTIATE_TEST_SUITE_P(, PulseListing, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

TEST_P(PulseListing, ListsTheServersMicrophonesAsItDescribesThem) {
  const ProcessResult result = runAudio(*server_, {"--list-devices"}, nullptr, kUserLocale);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stderrBytes, "");
  ASSERT_FALSE(result.stdoutBytes.empty());
  EXPECT_EQ(result.stdoutBytes.back(), '\n');
  EXPECT_EQ(std::count(result.stdoutBytes.begin(), result.stdoutBytes.end(), '\n'), 1);
  const auto list = nlohmann::json::parse(result.stdoutBytes);
  ASSERT_TRUE(list.is_array());

  const std::string defaultSource = server_->pactl({"get-default-source"});
  const auto descriptions = server_->sourceDescriptions();
  std::map<std::string, nlohmann::json> sources;
  for (const auto& source : server_->pactlJson({"list", "sources"})) sources[source.at("name")] = source;
  for (const auto& device : list) {
    SCOPED_TRACE(device.dump());
    ASSERT_EQ(device.size(), 6u);
    ASSERT_TRUE(device.at("id").is_number_unsigned());
    ASSERT_TRUE(device.at("uid").is_string());
    ASSERT_TRUE(device.at("name").is_string());
    ASSERT_TRUE(device.at("builtin").is_boolean());
    ASSERT_TRUE(device.at("isDefault").is_boolean());
    ASSERT_TRUE(device.at("channels").is_number_integer());
    ASSERT_EQ(sources.count(device.at("uid")), 1u);
    const auto& source = sources.at(device.at("uid"));
    EXPECT_EQ(source.at("monitor_source"), "");
    EXPECT_EQ(device.at("id"), source.at("index"));
    EXPECT_EQ(device.at("name"), descriptions.at(device.at("uid")));
    std::smatch channels;
    const std::string sampleSpec = source.at("sample_specification");
    ASSERT_TRUE(std::regex_search(sampleSpec, channels, std::regex(R"((\d+)ch)")));
    EXPECT_EQ(device.at("channels"), std::stoi(channels[1]));
    EXPECT_EQ(device.at("isDefault"), device.at("uid").get<std::string>() + "\n" == defaultSource);
    const auto& properties = source.at("properties");
    const std::string bus = properties.value("device.bus", "");
    const bool onBoard =
        bus == "pci" || bus == "platform" || bus == "isa" || properties.value("device.form_factor", "") == "internal";
    EXPECT_EQ(device.at("builtin"), onBoard);
  }
  // Every source but the two monitors, in order.
  EXPECT_EQ(uids(list), kListingOrder);
}

// The meeting app may start the program in the C locale: names still compare without case.
TEST_P(PulseListing, NamesIgnoreCaseInThePosixLocaleToo) {
  const ProcessResult result =
      runAudio(*server_, {"--list-devices"}, nullptr, {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(uids(nlohmann::json::parse(result.stdoutBytes)), kListingOrder);
}

// Source index 0 is a real microphone here; with a monitor as the default, no microphone is.
class PulseListingDefault : public WithServer {
 protected:
  PulseListingDefault() : WithServer(nullptr) {}
};

INSTANTIATE_TEST_SUITE_P(, PulseListingDefault, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

// With a monitor as the default, no microphone is, not even one at source index 0
// (PulseAudio numbers sources from 0; PipeWire's indices are its object ids, never 0).
TEST_P(PulseListingDefault, NoMicrophoneIsTheDefaultWhenTheServersDefaultIsAMonitor) {
  AudioServer& server = *server_;
  server.addMicrophone({"first_mic", "", {}});
  server.addSpeakers("speakers");
  server.setDefaultSource("speakers.monitor");
  ASSERT_EQ(server.pactlJson({"list", "sources"}).at(0).at("name"), "first_mic");
  if (server.kind() == testing::ServerKind::pulseAudio) {
    ASSERT_EQ(server.pactlJson({"list", "sources"}).at(0).at("index"), 0);
  }
  const ProcessResult result = runAudio(server, {"--list-devices"});
  EXPECT_EQ(result.status, 0);
  const auto list = nlohmann::json::parse(result.stdoutBytes);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].at("uid"), "first_mic");
  EXPECT_EQ(list[0].at("isDefault"), false);
}

TEST(PulseNoServer, ListingIsAnEmptyArrayAtOnce) {
  ProcessOptions options;
  options.args = {"--list-devices"};
  options.env["PULSE_SERVER"] = "unix:/nonexistent/velmor/native";
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult result = runProcess(audioBinary(), options);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stdoutBytes, "[]\n");
  EXPECT_EQ(result.stderrBytes, "");
}

// Sends SIGTERM once the output has carried no sound for a while after `ready()`: after
// what was written, PulseAudio's pipe source delivers nothing and PipeWire's silence.
class SilenceThenStop {
 public:
  explicit SilenceThenStop(std::function<bool()> ready) : ready_(std::move(ready)) {}
  int operator()(const std::string& out) {
    const auto now = std::chrono::steady_clock::now();
    if (out.find_first_not_of('\0', scanned_) != std::string::npos) {
      heard_ = true;
      lastSound_ = now;
    }
    scanned_ = out.size();
    return ready_() && heard_ && now - lastSound_ > std::chrono::milliseconds(600) ? SIGTERM : 0;
  }

 private:
  std::function<bool()> ready_;
  std::size_t scanned_ = 0;
  bool heard_ = false;
  std::chrono::steady_clock::time_point lastSound_;
};

class PulseRecording : public WithServer {
 protected:
  PulseRecording() : WithServer(fabricateMicrophones) {}
};

INSTANTIATE_TEST_SUITE_P(, PulseRecording, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

TEST_P(PulseRecording, AToneThroughAVirtualMicrophoneComesOutAt16kHzUnchanged) {
  AudioServer& server = *server_;
  const double frequency = 440;
  const double amplitude = 0.5;
  const std::string tone = testing::sineS16(frequency, amplitude, 48000, 48000);  // exactly one second
  std::optional<FifoWriter> writer;
  SilenceThenStop stop([&] { return writer && writer->done(); });
  const ProcessResult result =
      runAudio(server, {"--mic", "pipe_mic"}, [&](const std::string& out, const std::string& err) {
        // Silence behind the tone pushes its end through the server (PipeWire's pipe source
        // reads whole periods) and through the resampler.
        if (!writer && hasEvent(err, R"("type":"ready")"))
          writer.emplace(server.fifo("pipe_mic"), tone + std::string(9600, '\0'));
        return stop(out);
      });
  writer.reset();
  EXPECT_EQ(result.status, 0);
  ASSERT_FALSE(result.timedOut);
  EXPECT_TRUE(hasEvent(result.stderrBytes, R"({"name":"Pipe Mic","source":"mic","type":"device","uid":"pipe_mic"})"));

  // The tone, less any silence the server delivered around it.
  const auto samples = testing::pcmSamples(std::string(testing::withoutSilence(result.stdoutBytes, 2)));
  // All of it and nothing more, as the program's own conversion makes it: give or take half
  // a millisecond, because the server may put the tone at any phase of the 3:1 decimation,
  // which moves where its first and last audible samples fall. A lost or repeated 10 ms
  // frame (160 samples), or a server period (at least 85), is far outside that.
  const std::size_t expected = testing::audibleCount(testing::converted16k(tone + std::string(9600, '\0')));
  EXPECT_NEAR(static_cast<double>(samples.size()), static_cast<double>(expected), 8);
  ASSERT_GT(samples.size(), 8000u);

  // The steady middle: away from the resampler's start and the cut at the end.
  const std::vector<double> middle(samples.begin() + 1600, samples.end() - 1600);
  double sumSquares = 0;
  for (double s : middle) sumSquares += (s / 32768.0) * (s / 32768.0);
  const double levelDb = 10 * std::log10(sumSquares / static_cast<double>(middle.size()));
  EXPECT_NEAR(levelDb, 20 * std::log10(amplitude / std::sqrt(2.0)), 0.1);

  // Frequency from the first and last upward zero crossings, interpolated between samples.
  std::vector<double> crossings;
  for (std::size_t i = 1; i < middle.size(); ++i) {
    if (middle[i - 1] < 0 && middle[i] >= 0)
      crossings.push_back(static_cast<double>(i - 1) + middle[i - 1] / (middle[i - 1] - middle[i]));
  }
  ASSERT_GT(crossings.size(), 100u);
  const double measured = static_cast<double>(crossings.size() - 1) * 16000 / (crossings.back() - crossings.front());
  EXPECT_NEAR(measured, frequency, frequency * 0.005);
}

TEST_P(PulseRecording, AMicrophoneRemovedWhileRecordingIsReplacedByTheDefaultAndAudioResumes) {
  AudioServer& server = *server_;
  std::optional<FifoWriter> writer;
  bool removed = false;
  std::optional<std::size_t> restartedAt;
  const ProcessResult result =
      runAudio(server, {"--mic", "pipe_mic"}, [&](const std::string& out, const std::string& err) {
        if (!writer && hasEvent(err, R"("type":"ready")")) {
          writer.emplace(server.fifo("pipe_mic"), testing::sineS16(440, 0.5, 48000, 9600));
        }
        if (writer && !removed && out.size() > 3200) {
          server.removeSource("pipe_mic");
          removed = true;
        }
        if (!restartedAt && hasEvent(err, R"("event":"restarted")")) restartedAt = out.size();
        // Half a second of the new microphone's audio after the restart.
        return restartedAt && out.size() > *restartedAt + 16000 ? SIGTERM : 0;
      });
  writer.reset();
  EXPECT_EQ(result.status, 0);
  ASSERT_FALSE(result.timedOut) << result.stderrBytes;
  const auto events = result.events();
  const auto restarted = std::find_if(events.begin(), events.end(),
                                      [](const nlohmann::json& e) { return e.value("event", "") == "restarted"; });
  ASSERT_NE(restarted, events.end()) << result.stderrBytes;
  const auto [uid, name] = defaultSource(server);
  EXPECT_EQ(*restarted, (nlohmann::json{{"type", "device"},
                                        {"event", "restarted"},
                                        {"reason", "the microphone was disconnected"},
                                        {"name", name},
                                        {"uid", uid},
                                        {"source", "mic"},
                                        {"restarts", 1}}));
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const nlohmann::json& e) { return e.value("event", "") == "restarted"; }),
            1);
}

TEST_P(PulseRecording, AnUnknownMicrophoneFallsBackToTheBuiltInOne) {
  AudioServer& server = *server_;
  const ProcessResult result =
      runAudio(server, {"--mic", "no_such_mic"},
               [](const std::string& out, const std::string&) { return out.size() > 9600 ? SIGTERM : 0; });
  EXPECT_EQ(result.status, 0);
  ASSERT_FALSE(result.timedOut);
  const auto events = result.events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0],
            (nlohmann::json{{"type", "error"}, {"message", "Microphone no_such_mic not found; using Built-in Mic"}}));
  EXPECT_EQ(events[1],
            (nlohmann::json{{"type", "device"}, {"name", "Built-in Mic"}, {"uid", "builtin_mic"}, {"source", "mic"}}));
  EXPECT_EQ(events[2], (nlohmann::json{{"type", "ready"}}));
}

// Recording compares no names, so it never opens ICU (about 3 MB of resident memory); a
// microphone that must be chosen by name does.
TEST_P(PulseRecording, OnlyAChoiceByNameOpensTheUnicodeLibraries) {
  struct Case {
    std::vector<std::string> args;
    bool opensIcu;
  };
  const Case cases[] = {
      {{"--mic", "default"}, false},
      {{"--mic", "pipe_mic", "--system"}, false},
      {{"--mic", "no_such_mic"}, true},  // falls back to the first built-in microphone by name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    bool ready = false;
    std::optional<bool> icuMapped;
    ProcessOptions options;
    options.args = c.args;
    for (const auto& [k, v] : server_->clientEnvironment()) options.env[k] = v;
    options.inspect = [&](int pid) {
      if (!ready || icuMapped) return;
      std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
      const std::string text((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
      if (!text.empty()) icuMapped = text.find("libicu") != std::string::npos;
    };
    options.signalWhen = [&](const std::string&, const std::string& err) {
      ready = ready || hasEvent(err, R"("type":"ready")");
      return icuMapped ? SIGTERM : 0;
    };
    const ProcessResult result = runProcess(audioBinary(), options);
    EXPECT_EQ(result.status, 0) << result.stderrBytes;
    ASSERT_TRUE(icuMapped.has_value()) << result.stderrBytes;
    EXPECT_EQ(*icuMapped, c.opensIcu);
  }
}

}  // namespace
}  // namespace velmor
