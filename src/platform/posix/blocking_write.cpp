#include "platform/posix/blocking_write.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>

namespace velmor::platform {

void writeWhole(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  // One write(2) for the whole text; the loop only finishes a write the kernel cut short.
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE) endBySigpipe();
      return;  // other errors are not ours to report
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

// The kernel's SIGPIPE may have ended nothing: it goes to the writing thread, which blocks
// every signal when the sound server's own thread made it, a send with MSG_NOSIGNAL raises
// none, and a parent may have left SIGPIPE ignored. The process still ends as a closed pipe
// ends it.
void endBySigpipe() {
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  ::pthread_sigmask(SIG_UNBLOCK, &pipeSignal, nullptr);  // a pending SIGPIPE ends it here
  ::raise(SIGPIPE);
  ::_exit(128 + SIGPIPE);  // not reached
}

}  // namespace velmor::platform
