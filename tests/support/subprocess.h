#pragma once
// Runs a binary as a parent application would: arguments and environment in; standard
// output bytes, standard error lines and the exit status out; signals on cue.
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmor::testing {

struct ProcessResult {
  std::string stdoutBytes;
  std::string stderrBytes;
  int status = -1;     // exit status, or -1 when killed by a signal
  int termSignal = 0;  // the signal that ended it, if any
  bool timedOut = false;
  std::vector<nlohmann::json> events() const;  // standard error, a JSON object a line
};

struct ProcessOptions {
  std::vector<std::string> args;           // without argv[0]
  std::map<std::string, std::string> env;  // added to (or replacing in) the test's environment
  std::chrono::milliseconds timeout{20000};
  // False: standard output is never read, as by a parent that stopped reading it.
  bool readStdout = true;
  // Standard output goes unread from `start` after the process started, for `length`: a
  // parent that stalls and then reads again.
  struct Stall {
    std::chrono::milliseconds start;
    std::chrono::milliseconds length;
  };
  std::optional<Stall> stdoutStall;
  // Called whenever output arrives, and at least every 100 ms; returns a signal to send
  // (0: none). Sent once.
  std::function<int(const std::string& stdoutBytes, const std::string& stderrBytes)> signalWhen;
  // The running process's id, passed alongside each `signalWhen` call, for looking into /proc.
  std::function<void(int pid)> inspect;
};

ProcessResult runProcess(const std::string& binary, const ProcessOptions& options);

// The test-only binary on a simulated platform, and a scenario file written for it.
std::string simBinary();
std::string writeScenario(const nlohmann::json& scenario);

// Decodes 16-bit little-endian PCM.
std::vector<std::int16_t> pcmSamples(const std::string& bytes);

}  // namespace velmor::testing
