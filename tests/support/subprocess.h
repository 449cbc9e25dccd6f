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
  // The same for standard error: a parent that reads the audio but not the events.
  std::optional<Stall> stderrStall;
  // A parent that reads standard output only now and then: every `readEvery`, one burst of
  // reads that takes what is waiting, until the pipe has stayed empty for 5 ms (at most
  // 250 ms), and nothing in between.
  std::optional<std::chrono::milliseconds> readEvery;
  // The capacity of the standard output pipe (rounded up by the kernel to a page); 0: the
  // system's default (64 KiB on Linux), which hides a slow reader for two seconds of audio.
  int stdoutPipeBytes = 0;
  int stderrPipeBytes = 0;
  // The read end of standard output is closed once this many bytes have come.
  std::optional<std::size_t> closeStdoutAfter;
  // The child starts with SIGPIPE ignored, as under a parent that ignores it and does not
  // reset it; otherwise it starts with the default action.
  bool sigpipeIgnored = false;
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
