#include "support/audio_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "support/pipewire_server.h"
#include "support/pulse_server.h"
#include "support/subprocess.h"

namespace velmor::testing {

const char* serverName(ServerKind kind) { return kind == ServerKind::pulseAudio ? "PulseAudio" : "PipeWire"; }

std::unique_ptr<AudioServer> AudioServer::start(ServerKind kind) {
  if (kind == ServerKind::pulseAudio) return std::make_unique<PulseServer>();
  return std::make_unique<PipeWireServer>();
}

AudioServer::AudioServer(ServerKind kind, const std::string& prefix) : kind_(kind) {
  std::string pattern = "/tmp/velmor-" + prefix + "-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  dir_ = pattern;
}

AudioServer::~AudioServer() {
  processes_.stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void AudioServer::restart() {
  processes_.killAll();
  launch();
}

void AudioServer::waitForClients(std::chrono::steady_clock::time_point started) {
  processes_.waitUntil("the server to answer a client", [&] {
    ProcessOptions options;
    options.args = {"info"};
    for (const auto& [k, v] : clientEnvironment()) options.env[k] = v;
    options.timeout = std::chrono::seconds(5);
    return runProcess(installedProgram("pactl"), options).status == 0;
  });
  startupTime_ = std::chrono::steady_clock::now() - started;
}

Environment AudioServer::clientEnvironment() const { return {{"PULSE_SERVER", address()}, {"HOME", dir_}}; }

std::string AudioServer::pactl(const std::vector<std::string>& args) const {
  ProcessOptions options;
  options.args = args;
  for (const auto& [k, v] : clientEnvironment()) options.env[k] = v;
  options.timeout = std::chrono::seconds(10);
  const ProcessResult result = runProcess(installedProgram("pactl"), options);
  std::string command = "pactl";
  for (const auto& a : args) command += " " + a;
  EXPECT_EQ(result.status, 0) << name() << ": " << command << ": " << result.stderrBytes;
  return result.stdoutBytes;
}

nlohmann::json AudioServer::pactlJson(const std::vector<std::string>& args) const {
  std::vector<std::string> all{"-f", "json"};
  all.insert(all.end(), args.begin(), args.end());
  return nlohmann::json::parse(pactl(all));
}

std::map<std::string, std::string> AudioServer::sourceDescriptions() const {
  std::map<std::string, std::string> found;
  std::istringstream lines(pactl({"list", "sources"}));
  std::string line;
  std::string source;
  while (std::getline(lines, line)) {
    const auto text = line.find_first_not_of('\t');
    if (text == std::string::npos) continue;
    if (line.compare(text, 6, "Name: ") == 0) source = line.substr(text + 6);
    if (line.compare(text, 13, "Description: ") == 0) found[source] = line.substr(text + 13);
  }
  return found;
}

std::string propertyList(const std::string& description,
                         const std::vector<std::pair<std::string, std::string>>& properties) {
  std::string text;
  auto add = [&](const std::string& key, const std::string& value) {
    // The list is quoted once more as a whole: neither kind of quote may appear inside.
    if (value.find_first_of("'\"") != std::string::npos) throw std::invalid_argument("quote in " + value);
    text += (text.empty() ? "" : " ") + key + "=\"" + value + "\"";
  };
  if (!description.empty()) add("device.description", description);
  for (const auto& [key, value] : properties) add(key, value);
  return text;
}

void AudioServer::addSpeakers(const std::string& sink, const std::string& description) {
  std::vector<std::string> args{"load-module", "module-null-sink", "sink_name=" + sink};
  if (!description.empty()) args.push_back("sink_properties='" + propertyList(description, {}) + "'");
  pactl(args);
}

void AudioServer::addMicrophone(const Microphone& microphone) {
  if (!microphone.pipe && !(microphone.exactFormat && kind_ == ServerKind::pipeWire)) {
    addSilentMicrophone(microphone);
    return;
  }
  std::vector<std::string> args{"load-module",
                                "module-pipe-source",
                                "source_name=" + microphone.name,
                                "file=" + fifo(microphone.name),
                                "format=" + microphone.format,
                                "rate=" + std::to_string(microphone.rate),
                                "channels=" + std::to_string(microphone.channels)};
  const std::string properties = propertyList(microphone.description, microphone.properties);
  if (!properties.empty()) args.push_back("source_properties='" + properties + "'");
  pactl(args);
}

void AudioServer::addRemappedMicrophone(const std::string& source, const std::string& master,
                                        const std::string& description) {
  pactl({"load-module", "module-remap-source", "source_name=" + source, "master=" + master,
         "source_properties='" + propertyList(description, {}) + "'"});
}

void AudioServer::removeSource(const std::string& source) {
  for (const auto& entry : pactlJson({"list", "sources"})) {
    if (entry.at("name") != source) continue;
    // PulseAudio gives the owner module as a number, PipeWire as text.
    const auto& owner = entry.at("owner_module");
    pactl({"unload-module", owner.is_string() ? owner.get<std::string>() : std::to_string(owner.get<long long>())});
    // PipeWire's PulseAudio server can still list the source a moment after the unload
    // returns; a test that goes on must find it gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (listsSource(source) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(listsSource(source)) << name() << ": " << source << " is still listed";
    return;
  }
  ADD_FAILURE() << name() << ": no source " << source;
}

bool AudioServer::listsSource(const std::string& source) const {
  for (const auto& entry : pactlJson({"list", "sources"})) {
    if (entry.at("name") == source) return true;
  }
  return false;
}

std::string AudioServer::defaultSource() const {
  std::string source = pactl({"get-default-source"});
  while (!source.empty() && source.back() == '\n') source.pop_back();
  return source;
}

void AudioServer::setDefaultSource(const std::string& source) {
  pactl({"set-default-source", source});
  // PipeWire's session manager settles the default a moment later.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (defaultSource() != source && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(defaultSource(), source) << name();
}

bool AudioServer::renameSource(const std::string&, const std::string&) { return false; }

long long ownedBy(const nlohmann::json& list, pid_t pid) {
  for (const auto& entry : list) {
    const auto& properties = entry.at("properties");
    if (properties.value("application.process.id", "") == std::to_string(pid))
      return entry.at("index").get<long long>();
  }
  return -1;
}

}  // namespace velmor::testing
