#include "world_driver.h"

#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

namespace velmor::testing {

using platform::PlatformError;

// ---- the simulated world ----

void SimDriver::addMicrophone(const std::string& uid, const std::string& name, unsigned channels) {
  platform::sim::SimDevice device;
  device.id = nextId_++;
  device.uid = uid;
  device.name = name;
  device.inputBuffers = {channels};
  device.format = platform::StreamDescription{48000, platform::SampleType::signedInteger, 16, channels, true};
  device.bufferFrames = 480;
  ids_[uid] = device.id;
  world_.addDevice(std::move(device));
}

void SimDriver::killStreams() { world_.postRuntimeError(PlatformError{"sim.capture", -11819, "Entity killed"}); }

void SimDriver::dropConnection() {
  world_.postRuntimeError(PlatformError{"sim.capture", -11819, "Connection terminated"});
}

// ---- a private server ----

ServerDriver::ServerDriver(ServerKind kind) : server_(AudioServer::start(kind)) {
  server_->addSpeakers("speakers");
  setenv("PULSE_SERVER", server_->address().c_str(), 1);
  pulse_ = std::make_unique<platform::pulse::PulsePlatform>();
}

ServerDriver::~ServerDriver() {
  pulse_.reset();
  unsetenv("PULSE_SERVER");
}

void ServerDriver::addMicrophone(const std::string& uid, const std::string& name, unsigned channels) {
  server_->addMicrophone({uid, name, {}, false, "s16le", 48000, channels, true});
}

platform::AudioObjectId ServerDriver::idOf(const std::string& uid) {
  for (const auto& source : server_->pactlJson({"list", "sources"})) {
    if (source.at("name") == uid) return source.at("index").get<platform::AudioObjectId>();
  }
  ADD_FAILURE() << server_->name() << ": no source " << uid;
  return 0;
}

void ServerDriver::killStreams() {
  bool killed = false;
  for (const auto& output : server_->pactlJson({"list", "source-outputs"})) {
    if (output.at("properties").value("application.process.id", "") != std::to_string(getpid())) continue;
    server_->killSourceOutput(output.at("index").get<long long>());
    killed = true;
  }
  EXPECT_TRUE(killed) << server_->name() << ": this process records nothing";
}

void ServerDriver::dropConnection() {
  const long long client = ownedBy(server_->pactlJson({"list", "clients"}), getpid());
  ASSERT_GE(client, 0) << server_->name() << ": this process is no client";
  server_->killClient(client);
}

}  // namespace velmor::testing
