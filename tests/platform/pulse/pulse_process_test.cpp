// The shipped binary against a private server, as the meeting app runs it: the device list
// compared with what the server itself says, a known tone through a virtual microphone,
// the restart when that microphone goes away, and the fallback for an unknown one.
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <regex>

#include <gtest/gtest.h>

#include "conversion/sample_conversion.h"
#include "platform/pulse/pulse_fixtures.h"
#include "platform/pulse/pulse_server.h"
#include "support/subprocess.h"

namespace velmor {
namespace {

using testing::FifoWriter;
using testing::ProcessOptions;
using testing::ProcessResult;
using testing::PulseServer;

const char* kListing = R"(
load-module module-null-sink sink_name=speakers
load-module module-null-sink sink_name=headphones
load-module module-null-source source_name=usb_headset channels=1
update-source-proplist usb_headset device.description="USB Headset" device.bus=usb
load-module module-null-source source_name=webcam channels=2
update-source-proplist webcam device.description="webcam mic" device.bus=usb
load-module module-null-source source_name=bt_headset channels=1
update-source-proplist bt_headset device.description="Bluetooth Headset" device.bus=bluetooth
load-module module-null-source source_name=hda_mic channels=2
update-source-proplist hda_mic device.description="Internal Microphone" device.bus=pci
load-module module-null-source source_name=soc_mic channels=1
update-source-proplist soc_mic device.description="array" device.bus=platform
load-module module-null-source source_name=isa_line channels=1
update-source-proplist isa_line device.description="Line In" device.bus=isa
load-module module-null-source source_name=laptop_usb channels=4
update-source-proplist laptop_usb device.description="Échantillon Mic" device.bus=usb device.form_factor=internal
load-module module-null-source source_name=net_mic channels=1
update-source-proplist net_mic device.description="Studio Remote" tunnel.remote.server=tcp:studio
load-module module-null-source source_name=zoom channels=2
update-source-proplist zoom device.description="zoom recorder"
load-module module-sine-source source_name=sine_mic
update-source-proplist sine_mic device.description="Sine Generator"
load-module module-remap-source source_name=remapped master=hda_mic source_properties=device.description=Remapped
set-default-source usb_headset
)";

// Built-in devices first, then the rest, each by name regardless of case or accent.
const std::vector<std::string> kListingOrder{"soc_mic",     "laptop_usb", "hda_mic",  "isa_line",
                                             "bt_headset",  "remapped",   "sine_mic", "net_mic",
                                             "usb_headset", "webcam",     "zoom"};

const char* kMicrophones = R"(
load-module module-null-sink sink_name=speakers
load-module module-pipe-source source_name=pipe_mic file=@DIR@/mic.fifo format=s16le rate=48000 channels=1
update-source-proplist pipe_mic device.description="Pipe Mic" device.bus=usb
load-module module-sine-source source_name=sine_mic rate=48000 frequency=440
update-source-proplist sine_mic device.description="Built-in Sine" device.bus=pci
set-default-source sine_mic
)";

std::string audioBinary() { return VELMOR_AUDIO_BINARY; }

ProcessResult runAudio(const PulseServer& server, std::vector<std::string> args,
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
std::pair<std::string, std::string> defaultSource(const PulseServer& server) {
  std::string name = server.pactl({"get-default-source"});
  while (!name.empty() && name.back() == '\n') name.pop_back();
  for (const auto& source : server.pactlJson({"list", "sources"})) {
    if (source.at("name") == name) return {name, source.at("description")};
  }
  return {name, ""};
}

class PulseListing : public ::testing::Test {
 protected:
  PulseServer server_{kListing};
  const std::map<std::string, std::string> kUserLocale{{"LANG", "en_US.UTF-8"}, {"LC_ALL", "en_US.UTF-8"}};
};

TEST_F(PulseListing, ListsTheServersMicrophonesAsItDescribesThem) {
  const ProcessResult result = runAudio(server_, {"--list-devices"}, nullptr, kUserLocale);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stderrBytes, "");
  ASSERT_FALSE(result.stdoutBytes.empty());
  EXPECT_EQ(result.stdoutBytes.back(), '\n');
  EXPECT_EQ(std::count(result.stdoutBytes.begin(), result.stdoutBytes.end(), '\n'), 1);
  const auto list = nlohmann::json::parse(result.stdoutBytes);
  ASSERT_TRUE(list.is_array());

  const std::string defaultSource = server_.pactl({"get-default-source"});
  const auto descriptions = server_.sourceDescriptions();
  std::map<std::string, nlohmann::json> sources;
  for (const auto& source : server_.pactlJson({"list", "sources"})) sources[source.at("name")] = source;
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
TEST_F(PulseListing, NamesIgnoreCaseInThePosixLocaleToo) {
  const ProcessResult result =
      runAudio(server_, {"--list-devices"}, nullptr, {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(uids(nlohmann::json::parse(result.stdoutBytes)), kListingOrder);
}

// Source index 0 is a real microphone here; with a monitor as the default, no microphone is.
TEST(PulseListingDefault, NoMicrophoneIsTheDefaultWhenTheServersDefaultIsAMonitor) {
  PulseServer server(R"(
load-module module-null-source source_name=first_mic channels=1
load-module module-null-sink sink_name=speakers
set-default-source speakers.monitor
)");
  ASSERT_EQ(server.pactlJson({"list", "sources"}).at(0).at("name"), "first_mic");
  ASSERT_EQ(server.pactlJson({"list", "sources"}).at(0).at("index"), 0);
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

// Sends SIGTERM once the audio has stopped growing for a while after `ready()`.
class QuietThenStop {
 public:
  explicit QuietThenStop(std::function<bool()> ready) : ready_(std::move(ready)) {}
  int operator()(const std::string& out) {
    const auto now = std::chrono::steady_clock::now();
    if (out.size() != lastSize_) {
      lastSize_ = out.size();
      lastGrowth_ = now;
    }
    return ready_() && lastSize_ > 0 && now - lastGrowth_ > std::chrono::milliseconds(600) ? SIGTERM : 0;
  }

 private:
  std::function<bool()> ready_;
  std::size_t lastSize_ = 0;
  std::chrono::steady_clock::time_point lastGrowth_ = std::chrono::steady_clock::now();
};

// Output samples the program's own conversion makes of `input` frames of 48 kHz mono
// arriving 10 ms at a time, without the flush that only an ending stream would get.
std::size_t convertedCount(const std::string& input) {
  const platform::StreamDescription format{48000, platform::SampleType::signedInteger, 16, 1, true};
  ConverterSlots slots;
  std::size_t produced = 0;
  for (std::size_t at = 0; at < input.size(); at += 960) {
    const std::size_t bytes = std::min<std::size_t>(960, input.size() - at);
    std::vector<std::vector<std::byte>> data(1, std::vector<std::byte>(bytes));
    std::memcpy(data[0].data(), input.data() + at, bytes);
    const platform::MemorySampleBuffer buffer(format, static_cast<std::int64_t>(bytes / 2), std::move(data));
    produced += floatSamples(buffer, slots, 16000).size();
  }
  return produced;
}

TEST(PulseRecording, AToneThroughAVirtualMicrophoneComesOutAt16kHzUnchanged) {
  PulseServer server(kMicrophones);
  const double frequency = 440;
  const double amplitude = 0.5;
  const std::string tone = testing::sineS16(frequency, amplitude, 48000, 48000);  // exactly one second
  std::optional<FifoWriter> writer;
  QuietThenStop stop([&] { return writer && writer->done(); });
  const ProcessResult result =
      runAudio(server, {"--mic", "pipe_mic"}, [&](const std::string& out, const std::string& err) {
        if (!writer && hasEvent(err, R"("type":"ready")")) writer.emplace(server.dir() + "/mic.fifo", tone);
        return stop(out);
      });
  writer.reset();
  EXPECT_EQ(result.status, 0);
  ASSERT_FALSE(result.timedOut);
  EXPECT_TRUE(hasEvent(result.stderrBytes, R"({"name":"Pipe Mic","source":"mic","type":"device","uid":"pipe_mic"})"));

  const auto samples = testing::pcmSamples(result.stdoutBytes);
  // All of it, less what the resampler holds back and the last partial 10 ms frame.
  const std::size_t expected = convertedCount(tone);
  EXPECT_LE(samples.size(), expected);
  EXPECT_GT(samples.size() + 160, expected);
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

TEST(PulseRecording, AMicrophoneRemovedWhileRecordingIsReplacedByTheDefaultAndAudioResumes) {
  PulseServer server(kMicrophones);
  std::optional<FifoWriter> writer;
  bool removed = false;
  std::optional<std::size_t> restartedAt;
  const ProcessResult result =
      runAudio(server, {"--mic", "pipe_mic"}, [&](const std::string& out, const std::string& err) {
        if (!writer && hasEvent(err, R"("type":"ready")")) {
          writer.emplace(server.dir() + "/mic.fifo", testing::sineS16(440, 0.5, 48000, 9600));
        }
        if (writer && !removed && out.size() > 3200) {
          for (const auto& source : server.pactlJson({"list", "sources"})) {
            if (source.at("name") == "pipe_mic")
              server.pactl({"unload-module", std::to_string(source.at("owner_module").get<int>())});
          }
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

TEST(PulseRecording, AnUnknownMicrophoneFallsBackToTheBuiltInOne) {
  PulseServer server(kMicrophones);
  const ProcessResult result =
      runAudio(server, {"--mic", "no_such_mic"},
               [](const std::string& out, const std::string&) { return out.size() > 9600 ? SIGTERM : 0; });
  EXPECT_EQ(result.status, 0);
  ASSERT_FALSE(result.timedOut);
  const auto events = result.events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0],
            (nlohmann::json{{"type", "error"}, {"message", "Microphone no_such_mic not found; using Built-in Sine"}}));
  EXPECT_EQ(events[1],
            (nlohmann::json{{"type", "device"}, {"name", "Built-in Sine"}, {"uid", "sine_mic"}, {"source", "mic"}}));
  EXPECT_EQ(events[2], (nlohmann::json{{"type", "ready"}}));
}

}  // namespace
}  // namespace velmor
