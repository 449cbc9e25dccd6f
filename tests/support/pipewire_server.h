#pragma once
// A private PipeWire server with its PulseAudio front end, as a desktop runs it: a session
// bus of its own, pipewire, the wireplumber session manager and pipewire-pulse, each with
// a configuration that loads no hardware (no ALSA, Bluetooth or camera monitors) and asks
// for no real-time scheduling.
#include <string>
#include <vector>

#include "support/audio_server.h"

namespace velmor::testing {

class PipeWireServer final : public AudioServer {
 public:
  PipeWireServer();
  // The front end has no such commands: the objects behind them are destroyed in PipeWire.
  void killSourceOutput(long long index) override { destroy("source-outputs", index); }
  void killClient(long long index) override { destroy("clients", index); }

 private:
  void launch() override;
  std::string socketPath() const override { return dir() + "/runtime/pulse/native"; }
  void addSilentMicrophone(const Microphone& microphone) override;
  // The environment of the server's processes and of PipeWire's own tools.
  Environment serverEnvironment() const;
  bool sessionManagerReady() const;
  // Runs one of PipeWire's own tools against this server.
  std::string tool(const std::string& name, const std::vector<std::string>& args) const;
  // Destroys the PipeWire object behind the entry of pactl's `list` with that index.
  void destroy(const std::string& list, long long index);
};

}  // namespace velmor::testing
