#pragma once
// The process's outward surface: the standard-output and standard-error writers, the
// exit, the environment and the two signals the program handles.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmor::platform {

class OutputHandle {
 public:
  virtual ~OutputHandle() = default;
  // Hands all of the bytes over in one call; a closed pipe ends the process (SIGPIPE).
  virtual void write(std::string_view bytes) = 0;
  // From now on `write` never waits on a reader that does not keep up: the handle holds what
  // the reader is not ready for, at most `limitBytes`, and beyond that drops the oldest whole
  // writes (never one the reader has begun to take, never the newest). `dropBegan` runs once
  // per episode of dropping, on the writing thread, outside the handle's lock; an episode
  // ends when the handle has caught up. A handle that can only write by waiting ignores this.
  virtual void holdBack([[maybe_unused]] std::size_t limitBytes, [[maybe_unused]] std::function<void()> dropBegan) {}
};

class ProcessControl {
 public:
  virtual ~ProcessControl() = default;
  [[noreturn]] virtual void exit(int status) = 0;
  // This process's identifier, as the system lists running processes (by default the real
  // process's; a test double may say otherwise).
  virtual std::int32_t processIdentifier() const;
};

// Ends the process through `process`; the abort only tells the compiler that it never returns.
[[noreturn]] inline void exitProcess(ProcessControl& process, int status) {
  process.exit(status);
  std::abort();
}

class Environment {
 public:
  virtual ~Environment() = default;
  virtual std::optional<std::string> get(const std::string& name) const = 0;
};

// Delivers SIGTERM and SIGINT to ordinary threads: the handlers themselves only wake a
// watcher, which runs the callbacks outside signal context.
class Signals {
 public:
  virtual ~Signals() = default;
  virtual void install(std::function<void()> onTerminate, std::function<void()> onInterrupt) = 0;
};

}  // namespace velmor::platform
