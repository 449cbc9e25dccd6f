#include "platform/posix/posix_process.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace velmor::platform {
namespace {

// The reader is gone. The kernel's SIGPIPE may have ended nothing: it goes to the writing
// thread, which blocks every signal when the sound server's own thread made it, and a parent
// may have left SIGPIPE ignored. The process still ends as a closed pipe ends it.
[[noreturn]] void endBySigpipe() {
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  ::pthread_sigmask(SIG_UNBLOCK, &pipeSignal, nullptr);  // a pending SIGPIPE ends it here
  ::raise(SIGPIPE);
  ::_exit(128 + SIGPIPE);  // not reached
}

}  // namespace

void FdOutput::write(std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  // One write(2) for the whole text; the loop only finishes a write the kernel cut short.
  while (left > 0) {
    const ssize_t written = ::write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE) endBySigpipe();
      return;  // other errors are not ours to report
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

void PosixProcess::exit(int status) {
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
