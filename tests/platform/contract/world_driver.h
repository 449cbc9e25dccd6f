#pragma once
// The worlds the capture and hardware contracts are checked in: one backend's interfaces,
// and the means to make things happen in its world the way they happen there (microphones
// come and go, the default changes, the world cuts a stream or the whole connection).
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/audio_hardware.h"
#include "platform/capture.h"
#include "platform/dispatch.h"
#include "platform/pulse/pulse_platform.h"
#include "platform/sim/sim_world.h"
#include "platform/threaded/thread_dispatch.h"
#include "support/audio_server.h"

namespace velmor::testing {

class WorldDriver {
 public:
  virtual ~WorldDriver() = default;
  virtual platform::Dispatch& dispatch() = 0;
  virtual platform::CaptureSystem& capture() = 0;
  virtual platform::AudioHardware& hardware() = 0;

  // A microphone that delivers silence in real time for as long as it is recorded, as 48 kHz
  // signed 16-bit interleaved PCM of `channels` channels.
  virtual void addMicrophone(const std::string& uid, const std::string& name, unsigned channels) = 0;
  virtual void removeMicrophone(const std::string& uid) = 0;
  virtual void setDefaultMicrophone(const std::string& uid) = 0;
  // The microphone's id as the world itself numbers it.
  virtual platform::AudioObjectId idOf(const std::string& uid) = 0;
  // The world ends every stream this process records; the world drops this process.
  virtual void killStreams() = 0;
  virtual void dropConnection() = 0;
};

// The simulated world on real threads and the real clock.
class SimDriver final : public WorldDriver {
 public:
  static constexpr const char* kName = "Sim";
  platform::Dispatch& dispatch() override { return dispatch_; }
  platform::CaptureSystem& capture() override { return world_.capture(); }
  platform::AudioHardware& hardware() override { return world_.hardware(); }
  void addMicrophone(const std::string& uid, const std::string& name, unsigned channels) override;
  void removeMicrophone(const std::string& uid) override { world_.unplug(idOf(uid)); }
  void setDefaultMicrophone(const std::string& uid) override { world_.setDefaultInput(idOf(uid)); }
  platform::AudioObjectId idOf(const std::string& uid) override { return ids_.at(uid); }
  void killStreams() override;
  void dropConnection() override;

 private:
  platform::ThreadDispatch dispatch_;
  platform::sim::SimWorld world_{dispatch_};
  std::map<std::string, platform::AudioObjectId> ids_;
  platform::AudioObjectId nextId_ = 40;
};

// The PulseAudio client library's backend on a private server of one kind.
class ServerDriver : public WorldDriver {
 public:
  explicit ServerDriver(ServerKind kind);
  ~ServerDriver() override;
  platform::Dispatch& dispatch() override { return pulse_->platform().dispatch; }
  platform::CaptureSystem& capture() override { return pulse_->platform().capture; }
  platform::AudioHardware& hardware() override { return pulse_->platform().hardware; }
  void addMicrophone(const std::string& uid, const std::string& name, unsigned channels) override;
  void removeMicrophone(const std::string& uid) override { server_->removeSource(uid); }
  void setDefaultMicrophone(const std::string& uid) override { server_->setDefaultSource(uid); }
  platform::AudioObjectId idOf(const std::string& uid) override;
  void killStreams() override;
  void dropConnection() override;

 private:
  std::unique_ptr<AudioServer> server_;
  std::unique_ptr<platform::pulse::PulsePlatform> pulse_;
};

class PulseAudioDriver final : public ServerDriver {
 public:
  static constexpr const char* kName = "PulseAudio";
  PulseAudioDriver() : ServerDriver(ServerKind::pulseAudio) {}
};

class PipeWireDriver final : public ServerDriver {
 public:
  static constexpr const char* kName = "PipeWire";
  PipeWireDriver() : ServerDriver(ServerKind::pipeWire) {}
};

using Worlds = ::testing::Types<SimDriver, PulseAudioDriver, PipeWireDriver>;

// Names a typed test's instances after their world: "Contract/PipeWire.Case".
struct WorldNames {
  template <class World>
  static std::string GetName(int) {
    return World::kName;
  }
};

}  // namespace velmor::testing
