#pragma once
// A private PulseAudio server for one test: its own directory, socket and fabricated
// devices, started fresh and stopped (with its directory removed) when the object goes.
// It dies with the test process even if that process is killed.
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmor::testing {

class PulseServer {
 public:
  // `script` holds server commands (one a line: load-module, update-source-proplist,
  // set-default-source, ...) run after the native protocol is loaded. "@DIR@" in it stands
  // for the server's directory.
  explicit PulseServer(const std::string& script);
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  const std::string& dir() const { return dir_; }
  // The value for PULSE_SERVER.
  std::string address() const { return "unix:" + dir_ + "/native"; }
  // Environment for a client process: this server, and a home of its own.
  std::vector<std::pair<std::string, std::string>> clientEnvironment() const;

  // Runs one command of the server's own command language (kill-client,
  // kill-source-output, update-source-proplist, ...): a test failure if it says anything.
  void command(const std::string& line) const;

  // Runs pactl against this server; its standard output, or a test failure.
  std::string pactl(const std::vector<std::string>& args) const;
  nlohmann::json pactlJson(const std::vector<std::string>& args) const;
  // Each source's description by name, from pactl's plain listing (its JSON loses text
  // that is not ASCII).
  std::map<std::string, std::string> sourceDescriptions() const;

  // Freezes and thaws the server process: a server that accepts connections but never answers.
  void pause();
  void resume();

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// The index in `list` (a pactl JSON list) of the entry that this process owns, or -1.
long long ownedBy(const nlohmann::json& list, pid_t pid);

}  // namespace velmor::testing
