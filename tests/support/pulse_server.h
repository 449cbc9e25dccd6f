#pragma once
// A private PulseAudio server: one pulseaudio process, a native socket for clients and a
// command socket for the server's own command language.
#include <string>
#include <vector>

#include "support/audio_server.h"

namespace velmor::testing {

class PulseServer final : public AudioServer {
 public:
  PulseServer();

  // Runs one command of the server's own command language: a test failure if it says anything.
  void command(const std::string& line) const;
  bool renameSource(const std::string& name, const std::string& description) override;
  void killSourceOutput(long long index) override { command("kill-source-output " + std::to_string(index)); }
  void killClient(long long index) override { command("kill-client " + std::to_string(index)); }

 private:
  void launch() override;
  std::string socketPath() const override { return dir() + "/native"; }
  void addSilentMicrophone(const Microphone& microphone) override;
};

}  // namespace velmor::testing
