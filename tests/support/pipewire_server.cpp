#include "support/pipewire_server.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/subprocess.h"

namespace velmor::testing {
namespace {

// The stock daemon less real-time scheduling, the desktop portal and the X11 bell. Its
// cycle is never shorter than 1024 frames, as the stock configuration has it on a virtual
// machine: without real-time scheduling, a busy machine misses the deadline of a shorter
// cycle now and then, and a period of audio is lost.
constexpr const char* kPipeWireConfig = R"(context.properties = {
    core.daemon = true
    core.name = pipewire-0
    link.max-buffers = 16
    default.clock.min-quantum = 1024
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-device-factory }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
context.objects = [
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = Dummy-Driver node.group = pipewire.dummy
               priority.driver = 20000 } }
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = Freewheel-Driver node.group = pipewire.freewheel
               priority.driver = 19000 node.freewheel = true } }
]
)";

// The stock front end less real-time scheduling and the fallback sink it would add while
// no sink exists (a device the tests did not ask for).
constexpr const char* kPulseConfig = R"(context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse args = { } }
]
pulse.properties = {
    server.address = [ "unix:native" ]
}
)";

// The stock session manager less real-time scheduling and Bluetooth.
constexpr const char* kWirePlumberConfig = R"(context.properties = {
  log.level = 2
  wireplumber.script-engine = lua-scripting
}
context.spa-libs = {
  audio.convert.* = audioconvert/libspa-audioconvert
  support.* = support/libspa-support
}
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-session-manager }
]
wireplumber.components = [
  { name = libwireplumber-module-lua-scripting, type = module }
  { name = main.lua, type = config/lua }
  { name = policy.lua, type = config/lua }
]
)";

// Replaces the stock file of that name: everything but the ALSA, V4L2 and libcamera monitors.
constexpr const char* kWirePlumberMain = R"(load_module("metadata")
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
)";

void writeFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

}  // namespace

PipeWireServer::PipeWireServer() : AudioServer(ServerKind::pipeWire, "pipewire") {
  std::filesystem::create_directories(dir() + "/runtime");
  chmod((dir() + "/runtime").c_str(), 0700);
  // A session bus that only this server's processes use; it starts no services.
  writeFile(dir() + "/bus.conf", sessionBusConfig(dir(), ""));
  writeFile(dir() + "/config/pipewire/pipewire.conf", kPipeWireConfig);
  writeFile(dir() + "/config/pipewire/pipewire-pulse.conf", kPulseConfig);
  writeFile(dir() + "/config/wireplumber/wireplumber.conf", kWirePlumberConfig);
  writeFile(dir() + "/config/wireplumber/main.lua.d/90-enable-all.lua", kWirePlumberMain);
  launch();
}

void PipeWireServer::launch() {
  // A killed server leaves its sockets behind: the bus would refuse to listen on its old one.
  std::error_code ignored;
  std::filesystem::remove(dir() + "/bus", ignored);
  const auto started = std::chrono::steady_clock::now();
  const Environment env = serverEnvironment();
  processes_.spawn(installedProgram("dbus-daemon"),
                   {"--config-file=" + dir() + "/bus.conf", "--nofork", "--nopidfile", "--nosyslog"}, env,
                   dir() + "/dbus.log");
  processes_.waitUntil("the session bus", [&] { return acceptsConnections(dir() + "/bus"); });
  processes_.spawn(installedProgram("pipewire"), {}, env, dir() + "/pipewire.log");
  processes_.waitUntil("pipewire", [&] { return acceptsConnections(dir() + "/runtime/pipewire-0"); });
  processes_.spawn(installedProgram("wireplumber"), {}, env, dir() + "/wireplumber.log");
  processes_.spawn(installedProgram("pipewire-pulse"), {}, env, dir() + "/pipewire-pulse.log");
  // Defaults and the linking of streams to sources are the session manager's work.
  processes_.waitUntil("wireplumber", [&] { return sessionManagerReady(); });
  waitForClients(started);
}

Environment PipeWireServer::serverEnvironment() const {
  return {{"HOME", dir()},
          {"XDG_RUNTIME_DIR", dir() + "/runtime"},
          {"PIPEWIRE_RUNTIME_DIR", dir() + "/runtime"},
          {"XDG_CONFIG_HOME", dir() + "/config"},
          {"XDG_STATE_HOME", dir() + "/state"},
          {"XDG_DATA_HOME", dir() + "/data"},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir() + "/bus"}};
}

bool PipeWireServer::sessionManagerReady() const {
  // The "default" metadata is wireplumber's: it exists once wireplumber has loaded.
  ProcessOptions options;
  options.args = {"-n", "default"};
  for (const auto& [k, v] : serverEnvironment()) options.env[k] = v;
  options.timeout = std::chrono::seconds(5);
  const ProcessResult result = runProcess(installedProgram("pw-metadata"), options);
  return result.status == 0 && result.stdoutBytes.find("Found \"default\" metadata") != std::string::npos;
}

std::string PipeWireServer::tool(const std::string& name, const std::vector<std::string>& args) const {
  ProcessOptions options;
  options.args = args;
  for (const auto& [k, v] : serverEnvironment()) options.env[k] = v;
  options.timeout = std::chrono::seconds(10);
  const ProcessResult result = runProcess(installedProgram(name), options);
  std::string command = name;
  for (const auto& a : args) command += " " + a;
  EXPECT_EQ(result.status, 0) << command << ": " << result.stdoutBytes << result.stderrBytes;
  return result.stdoutBytes;
}

void PipeWireServer::destroy(const std::string& list, long long index) {
  // The front end's index is the object's serial number; its id is another number.
  for (const auto& entry : pactlJson({"list", list})) {
    if (entry.at("index") != index) continue;
    tool("pw-cli", {"destroy", entry.at("properties").at("object.id").get<std::string>()});
    return;
  }
  ADD_FAILURE() << "no entry " << index << " in " << list;
}

void PipeWireServer::addSilentMicrophone(const Microphone& microphone) {
  // The front end has no null source; a null sink of the virtual-source class is one.
  std::vector<std::string> args{"load-module",
                                "module-null-sink",
                                "media.class=Audio/Source/Virtual",
                                "sink_name=" + microphone.name,
                                "format=" + microphone.format,
                                "rate=" + std::to_string(microphone.rate),
                                "channels=" + std::to_string(microphone.channels)};
  const std::string properties = propertyList(microphone.description, microphone.properties);
  if (!properties.empty()) args.push_back("sink_properties='" + properties + "'");
  pactl(args);
}

}  // namespace velmor::testing
