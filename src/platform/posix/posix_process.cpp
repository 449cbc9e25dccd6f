#include "platform/posix/posix_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace velmor::platform {

void FdOutput::write(std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  // One write(2) for the whole text; the loop only finishes a write the kernel cut short.
  while (left > 0) {
    const ssize_t written = ::write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // a closed pipe has already raised SIGPIPE; other errors are not ours to report
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
int signalPipe[2] = {-1, -1};

extern "C" void forwardSignal(int signo) {
  // Async-signal-safe: one byte into a pipe, errno preserved.
  const int savedErrno = errno;
  const char byte = static_cast<char>(signo);
  [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
  errno = savedErrno;
}
}  // namespace

void PosixSignals::install(std::function<void()> onTerminate, std::function<void()> onInterrupt) {
  if (::pipe2(signalPipe, O_CLOEXEC) != 0) return;
  std::thread([onTerminate = std::move(onTerminate), onInterrupt = std::move(onInterrupt)] {
    for (;;) {
      char byte = 0;
      const ssize_t got = ::read(signalPipe[0], &byte, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      if (byte == SIGTERM) onTerminate();
      if (byte == SIGINT) onInterrupt();
    }
  }).detach();
  struct sigaction action {};
  action.sa_handler = forwardSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace velmor::platform
