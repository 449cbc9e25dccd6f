#include "platform/sim/scenario.h"

#include <stdexcept>

#include "platform/sim/sim_system_audio.h"

namespace velmor::platform::sim {

std::optional<std::string> ScenarioEnvironment::get(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

namespace {

std::uint32_t parseTransport(const std::string& text) {
  if (text.size() != 4) throw std::invalid_argument("transport must be a four-character code: " + text);
  const char code[5] = {text[0], text[1], text[2], text[3], '\0'};
  return fourCharCode(code);
}

std::optional<std::string> optionalText(const nlohmann::json& json, const char* key, const std::string& fallback) {
  if (!json.contains(key)) return fallback;
  if (json.at(key).is_null()) return std::nullopt;
  return json.at(key).get<std::string>();
}

StreamDescription parseFormat(const nlohmann::json& json) {
  StreamDescription format;
  format.sampleRate = json.value("rate", 48000.0);
  format.type =
      json.value("type", std::string("int")) == "float" ? SampleType::floatingPoint : SampleType::signedInteger;
  format.bitsPerChannel = json.value("bits", format.type == SampleType::floatingPoint ? 32u : 16u);
  format.channelsPerFrame = json.value("channels", 2u);
  format.interleaved = json.value("interleaved", true);
  return format;
}

AudioSegment parseSegment(const nlohmann::json& json) {
  AudioSegment segment;
  if (json.contains("silence")) {
    segment.kind = AudioSegment::Kind::silence;
    segment.seconds = json.at("silence").get<double>();
  } else {
    segment.kind = AudioSegment::Kind::sine;
    segment.frequency = json.at("sine").get<double>();
    segment.amplitude = json.value("amplitude", 0.5);
    segment.seconds = json.value("seconds", 1.0);
  }
  return segment;
}

std::optional<AudioObjectId> optionalId(const nlohmann::json& json) {
  if (json.is_null()) return std::nullopt;
  return json.get<AudioObjectId>();
}

SimAudio parseAudio(const nlohmann::json& json) {
  SimAudio audio;
  if (json.contains("format")) audio.format = parseFormat(json.at("format"));
  audio.bufferFrames = json.value("bufferFrames", 480u);
  if (audio.bufferFrames == 0) throw std::invalid_argument("bufferFrames must be at least 1");
  for (const auto& segment : json.value("audio", nlohmann::json::array()))
    audio.segments.push_back(parseSegment(segment));
  return audio;
}

TapStep parseStep(const std::string& name) {
  if (name == "createTap") return TapStep::createTap;
  if (name == "tapFormat") return TapStep::tapFormat;
  if (name == "aggregate") return TapStep::aggregate;
  if (name == "ioProc") return TapStep::ioProc;
  if (name == "start") return TapStep::start;
  throw std::invalid_argument("unknown tap step: " + name);
}

std::vector<Display> parseDisplays(const nlohmann::json& json) {
  std::vector<Display> displays;
  for (const auto& display : json) {
    displays.push_back(Display{display.at("id").get<std::uint32_t>(), display.value("name", std::string("Display"))});
  }
  return displays;
}

// The "systemAudio" section: taps, outputs and their defaults, failures of the tap's build
// steps, and the screen-capture side.
void applySystemAudio(const nlohmann::json& json, SimSystemAudio& system, std::int32_t ownProcess) {
  system.setTapsAvailable(json.value("taps", true));
  for (const auto& output : json.value("outputs", nlohmann::json::array())) {
    system.addOutputDevice(output.at("id").get<AudioObjectId>(),
                           optionalText(output, "uid", "output-" + output.at("id").dump()));
  }
  if (json.contains("defaultOutput")) system.setDefaultOutput(optionalId(json.at("defaultOutput")));
  if (json.contains("defaultSystemOutput")) system.setDefaultSystemOutput(optionalId(json.at("defaultSystemOutput")));
  if (json.contains("tapFormat")) system.setTapFormat(parseFormat(json.at("tapFormat")));
  if (json.contains("tapAudio")) system.setTapAudio(parseAudio(json.at("tapAudio")));
  for (const auto& failure : json.value("fail", nlohmann::json::array())) {
    system.failStep(parseStep(failure.at("step").get<std::string>()),
                    StepFailure{failure.value("count", 1), failure.value("status", std::int64_t{0})});
  }
  system.setDisplays(parseDisplays(json.value("displays", nlohmann::json::array())));
  std::vector<RunningApplication> applications;
  for (const auto& application : json.value("applications", nlohmann::json::array())) {
    // "self" stands for this process, whatever its id.
    const std::int32_t pid = application.at("pid").is_string() && application.at("pid") == "self"
                                 ? ownProcess
                                 : application.at("pid").get<std::int32_t>();
    applications.push_back(RunningApplication{pid, application.value("bundle", std::string())});
  }
  system.setApplications(std::move(applications));
  system.failContentQueries(json.value("contentFailures", std::set<int>{}));
  system.refuseOutputs(json.value("outputRefusals", std::set<int>{}));
  system.failStarts(json.value("startFailures", std::set<int>{}));
  if (json.contains("streamAudio")) system.setStreamAudio(parseAudio(json.at("streamAudio")));
}

}  // namespace

SimDevice parseDevice(const nlohmann::json& json) {
  SimDevice device;
  device.id = json.at("id").get<AudioObjectId>();
  device.uid = optionalText(json, "uid", "sim-" + std::to_string(device.id));
  device.name = optionalText(json, "name", "Device " + std::to_string(device.id));
  device.transport = parseTransport(json.value("transport", std::string("bltn")));
  device.inputBuffers = json.value("inputBuffers", std::vector<std::uint32_t>{1});
  for (const auto& read : json.value("fail", std::vector<std::string>{})) device.failingReads.insert(read);
  device.openableByUid = json.value("openableByUid", true);
  device.inputFailures = json.value("inputFailures", 0);
  device.startFailures = json.value("startFailures", 0);
  device.refuseInput = json.value("refuseInput", false);
  device.refuseOutput = json.value("refuseOutput", false);
  if (json.contains("format")) device.format = parseFormat(json.at("format"));
  device.bufferFrames = json.value("bufferFrames", 480u);
  if (device.bufferFrames == 0) throw std::invalid_argument("bufferFrames must be at least 1");
  for (const auto& segment : json.value("audio", nlohmann::json::array()))
    device.audio.push_back(parseSegment(segment));
  return device;
}

std::map<std::string, std::string> scenarioEnvironment(const nlohmann::json& scenario) {
  return scenario.value("environment", std::map<std::string, std::string>{});
}

namespace {

std::function<void()> parseAction(const nlohmann::json& step, SimWorld& world) {
  if (step.contains("unplug")) {
    const auto id = step.at("unplug").get<AudioObjectId>();
    return [&world, id] { world.unplug(id); };
  }
  if (step.contains("plug")) {
    return [&world, device = parseDevice(step.at("plug"))] { world.addDevice(device); };
  }
  if (step.contains("runtimeError")) {
    std::optional<PlatformError> error;
    if (!step.at("runtimeError").is_null()) {
      error = PlatformError{"sim.capture", -11819, step.at("runtimeError").get<std::string>()};
    }
    return [&world, error] { world.postRuntimeError(error); };
  }
  if (step.contains("interrupt")) return [&world] { world.postInterruption(); };
  if (step.contains("defaultInput")) {
    std::optional<AudioObjectId> id;
    if (!step.at("defaultInput").is_null()) id = step.at("defaultInput").get<AudioObjectId>();
    return [&world, id] { world.setDefaultInput(id); };
  }
  if (step.contains("processes")) {
    return [&world, table = parseProcessTable(step.at("processes"))] { world.processes().set(table); };
  }
  if (step.contains("inputFailures")) {
    const auto id = step.at("inputFailures").at("device").get<AudioObjectId>();
    const int count = step.at("inputFailures").at("count").get<int>();
    return [&world, id, count] { world.setInputFailures(id, count); };
  }
  if (step.contains("defaultOutput")) {
    const auto id = optionalId(step.at("defaultOutput"));
    return [&world, id] { world.systemAudio().setDefaultOutput(id); };
  }
  if (step.contains("defaultSystemOutput")) {
    const auto id = optionalId(step.at("defaultSystemOutput"));
    return [&world, id] { world.systemAudio().setDefaultSystemOutput(id); };
  }
  if (step.contains("tapIO")) {
    const bool stopped = step.at("tapIO").get<std::string>() == "stop";
    return [&world, stopped] { world.systemAudio().setTapIOStopped(stopped); };
  }
  if (step.contains("streamStop")) {
    const PlatformError error{"sim.screencapture", step.value("code", std::int64_t{-3821}),
                              step.at("streamStop").get<std::string>()};
    return [&world, error] { world.systemAudio().stopStreams(error); };
  }
  if (step.contains("displays")) {
    auto displays = parseDisplays(step.at("displays"));
    return [&world, displays] { world.systemAudio().setDisplays(displays); };
  }
  throw std::invalid_argument("unknown timeline action: " + step.dump());
}

}  // namespace

void applyScenario(const nlohmann::json& scenario, SimWorld& world, std::int32_t ownProcess) {
  for (const auto& device : scenario.value("devices", nlohmann::json::array())) world.addDevice(parseDevice(device));
  if (scenario.contains("defaultInput") && !scenario.at("defaultInput").is_null()) {
    world.setDefaultInput(scenario.at("defaultInput").get<AudioObjectId>());
  }
  world.setDeviceListFails(scenario.value("deviceListFails", false));
  world.setDeviceListSlack(scenario.value("deviceListSlack", 0u));
  world.setNoDefaultCaptureDevice(scenario.value("noDefaultCaptureDevice", false));
  world.setAudioSpeed(scenario.value("audioSpeed", 1.0));
  if (scenario.contains("processes")) world.processes().set(parseProcessTable(scenario.at("processes")));
  applySystemAudio(scenario.value("systemAudio", nlohmann::json::object()), world.systemAudio(), ownProcess);

  for (const auto& step : scenario.value("timeline", nlohmann::json::array())) {
    world.schedule(seconds(step.at("at").get<double>()), parseAction(step, world));
  }
}

}  // namespace velmor::platform::sim
