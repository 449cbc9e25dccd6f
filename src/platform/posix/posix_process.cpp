#include "platform/posix/posix_process.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/posix/backlogged_output.h"
#include "platform/posix/blocking_write.h"

namespace velmor::platform {

void FdOutput::write(std::string_view bytes) { writeWhole(fd_, bytes); }

void PosixProcess::exit(int status) {
  // A parent that reads gets the last frames; one that has stalled cannot hold the exit back.
  // Both streams share the half second; the last event (a fatal error, say) comes last.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  for (BackloggedOutput* stream : {stdOut_, stdErr_}) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (stream != nullptr) stream->flushFor(std::max(left, std::chrono::milliseconds(0)));
  }
  // Standard output and standard error are written unbuffered, and the program registers no
  // exit handlers, so leaving at once loses nothing and cannot race threads still running.
  std::fflush(nullptr);
  ::_exit(status);
}

std::optional<std::string> PosixEnvironment::get(const std::string& name) const {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

namespace {
sigset_t handledSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
}  // namespace

void PosixSignals::blockInThisThread() {
  const sigset_t set = handledSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void PosixSignals::install(std::function<void()> onTerminate, std::function<void()> onInterrupt) {
  blockInThisThread();
  std::thread([onTerminate = std::move(onTerminate), onInterrupt = std::move(onInterrupt)] {
    const sigset_t set = handledSignals();
    bool terminating = false;
    for (;;) {
      int signo = 0;
      if (::sigwait(&set, &signo) != 0) continue;
      if (signo == SIGINT) onInterrupt();
      // The shutdown may wait for the sources to stop: it runs on a thread of its own, so
      // that the watcher stays free for a SIGINT, which must end the process at once. A
      // second SIGTERM finds the shutdown under way.
      if (signo == SIGTERM && !terminating) {
        terminating = true;
        std::thread(onTerminate).detach();
      }
    }
  }).detach();
}

}  // namespace velmor::platform
