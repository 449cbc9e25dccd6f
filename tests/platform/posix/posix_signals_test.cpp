#include "platform/posix/posix_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace velmor {
namespace {

// Reads one byte from the pipe within the timeout; 0 when none came.
char readByte(int fd, std::chrono::milliseconds timeout) {
  pollfd poller{fd, POLLIN, 0};
  if (::poll(&poller, 1, static_cast<int>(timeout.count())) != 1) return 0;
  char byte = 0;
  return ::read(fd, &byte, 1) == 1 ? byte : 0;
}

// The watcher in a child process of its own (this binary starts no other threads, so the
// child may start some): R when installed, T when the shutdown starts, I on SIGINT, which
// ends the child. The shutdown never finishes, as when the parent stopped reading.
TEST(PosixSignals, SigintEndsTheProcessWhileAShutdownIsUnderWay) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    const int out = fds[1];
    platform::PosixSignals::blockInThisThread();
    static platform::PosixSignals signals;
    signals.install(
        [out] {
          (void)!::write(out, "T", 1);
          std::this_thread::sleep_for(std::chrono::seconds(30));
          ::_exit(3);
        },
        [out] {
          (void)!::write(out, "I", 1);
          ::_exit(0);
        });
    (void)!::write(out, "R", 1);
    for (;;) ::pause();
  }
  ::close(fds[1]);
  EXPECT_EQ(readByte(fds[0], std::chrono::seconds(10)), 'R');
  ::kill(child, SIGTERM);
  EXPECT_EQ(readByte(fds[0], std::chrono::seconds(10)), 'T');
  ::kill(child, SIGTERM);  // a second one finds the shutdown under way
  ::kill(child, SIGINT);
  EXPECT_EQ(readByte(fds[0], std::chrono::seconds(10)), 'I') << "SIGINT waited behind the shutdown";

  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, WNOHANG);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  ::close(fds[0]);
}

}  // namespace
}  // namespace velmor
