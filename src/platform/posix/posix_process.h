#pragma once
// The process surface of a real POSIX process: file-descriptor writers, _exit, getenv,
// and SIGTERM/SIGINT delivered through a self-pipe to a watcher thread.
#include "platform/process_io.h"

namespace velmor::platform {

class FdOutput final : public OutputHandle {
 public:
  explicit FdOutput(int fd) : fd_(fd) {}
  void write(std::string_view bytes) override;

 private:
  int fd_;
};

class BackloggedOutput;

class PosixProcess final : public ProcessControl {
 public:
  // `stdOut` and `stdErr`, when given, are flushed for a short while before the process ends.
  explicit PosixProcess(BackloggedOutput* stdOut = nullptr, BackloggedOutput* stdErr = nullptr)
      : stdOut_(stdOut), stdErr_(stdErr) {}
  [[noreturn]] void exit(int status) override;

 private:
  BackloggedOutput* stdOut_;
  BackloggedOutput* stdErr_;
};

class PosixEnvironment final : public Environment {
 public:
  std::optional<std::string> get(const std::string& name) const override;
};

// SIGTERM and SIGINT are kept blocked in every thread and taken by one watcher thread with
// sigwait, so no handler ever runs in signal context and no thread can be caught mid-work.
class PosixSignals final : public Signals {
 public:
  // Call first thing in main, before any thread exists: threads inherit the blocked set.
  static void blockInThisThread();
  // Starts the watcher; the callbacks run on it.
  void install(std::function<void()> onTerminate, std::function<void()> onInterrupt) override;
};

}  // namespace velmor::platform
