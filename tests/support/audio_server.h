#pragma once
// A private sound server for one test, PulseAudio or PipeWire with its PulseAudio front end:
// its own directory, socket and fabricated devices, started fresh and stopped (with its
// directory removed) when the object goes, and dying with the test process if that is
// killed. Clients reach it through `address()` (PULSE_SERVER) alone.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/server_processes.h"

namespace velmor::testing {

enum class ServerKind { pulseAudio, pipeWire };

// "PulseAudio" or "PipeWire": for test names and messages.
const char* serverName(ServerKind kind);
inline constexpr ServerKind kServerKinds[] = {ServerKind::pulseAudio, ServerKind::pipeWire};
inline void PrintTo(ServerKind kind, std::ostream* out) { *out << serverName(kind); }
// Names the instances of a test parameterised by server: "Suite.Case/PipeWire".
inline std::string serverTestName(const ::testing::TestParamInfo<ServerKind>& info) { return serverName(info.param); }

// A microphone the server makes: silent, delivering in real time, or a pipe that delivers
// what is written into its FIFO (`AudioServer::fifo`). While nothing is written, PulseAudio's
// pipe source delivers nothing and PipeWire's delivers silence in real time.
struct Microphone {
  std::string name;
  std::string description;  // empty: the server's own
  // More source properties (device.bus, device.form_factor, ...). Values are plain text
  // without quotes.
  std::vector<std::pair<std::string, std::string>> properties;
  bool pipe = false;
  std::string format = "s16le";
  unsigned rate = 48000;
  unsigned channels = 1;
  // A silent microphone's format must be exactly this one. PipeWire's silent sources are
  // virtual sources in 32-bit float whatever they are asked for, so there it is a pipe
  // source that nothing writes into.
  bool exactFormat = false;
};

class AudioServer {
 public:
  static std::unique_ptr<AudioServer> start(ServerKind kind);
  virtual ~AudioServer();
  AudioServer(const AudioServer&) = delete;
  AudioServer& operator=(const AudioServer&) = delete;

  ServerKind kind() const { return kind_; }
  const char* name() const { return serverName(kind_); }
  const std::string& dir() const { return dir_; }
  // The value for PULSE_SERVER.
  std::string address() const { return "unix:" + socketPath(); }
  // Environment for a client process: this server, and a home of its own.
  Environment clientEnvironment() const;
  // From the first process started to the first answer to a client (for PipeWire, with its
  // session manager up), before any device is made.
  std::chrono::steady_clock::duration startupTime() const { return startupTime_; }

  // Runs pactl against this server; its standard output, or a test failure.
  std::string pactl(const std::vector<std::string>& args) const;
  nlohmann::json pactlJson(const std::vector<std::string>& args) const;
  // Each source's description by name, from pactl's plain listing (its JSON loses text
  // that is not ASCII).
  std::map<std::string, std::string> sourceDescriptions() const;

  // Fabricated devices, each made by one module.
  void addSpeakers(const std::string& name, const std::string& description = "");
  void addMicrophone(const Microphone& microphone);
  // A source that remaps `master`'s channels (a filter, not hardware).
  void addRemappedMicrophone(const std::string& name, const std::string& master, const std::string& description);
  // The FIFO a pipe microphone reads.
  std::string fifo(const std::string& microphone) const { return dir_ + "/" + microphone + ".fifo"; }
  // Unloads the module that made the source.
  void removeSource(const std::string& name);  // returns once the server no longer lists it
  bool listsSource(const std::string& name) const;
  // Sets the default source and waits until the server reports it.
  void setDefaultSource(const std::string& name);
  std::string defaultSource() const;

  // The server drops a record stream, or a whole client connection, by its index in pactl's lists.
  virtual void killSourceOutput(long long index) = 0;
  virtual void killClient(long long index) = 0;

  // Freezes and thaws every process of the server: it accepts connections but never answers.
  void freeze() { processes_.freeze(); }
  void thaw() { processes_.thaw(); }
  // Kills every process of the server at once, as a crash would, and starts it again in the
  // same directory, at the same address; returns once it answers clients. Its devices are
  // gone: the test makes them again.
  void restart();

  // Changes a source's description in place; false where the server cannot (PipeWire's
  // front end has no command to change the properties of a source it has made).
  virtual bool renameSource(const std::string& name, const std::string& description);

 protected:
  AudioServer(ServerKind kind, const std::string& prefix);
  // Starts the server's processes in its directory and waits until it answers clients.
  virtual void launch() = 0;
  // Where the PulseAudio protocol socket is.
  virtual std::string socketPath() const = 0;
  virtual void addSilentMicrophone(const Microphone& microphone) = 0;
  // Waits until the server answers a client; records the start-up time.
  void waitForClients(std::chrono::steady_clock::time_point started);

  ServerProcesses processes_;

 private:
  const ServerKind kind_;
  std::string dir_;
  std::chrono::steady_clock::duration startupTime_{};
};

// `key="value" ...`, the text of a module's *_properties argument.
std::string propertyList(const std::string& description,
                         const std::vector<std::pair<std::string, std::string>>& properties);

// The index in `list` (a pactl JSON list) of the entry that this process owns, or -1.
long long ownedBy(const nlohmann::json& list, pid_t pid);

}  // namespace velmor::testing
