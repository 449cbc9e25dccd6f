#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/posix_process.h"

namespace velmor {
namespace {

// Writing into a pipe whose reader has gone ends the process by SIGPIPE, however the writing
// thread and the parent left that signal: a process that lived on would record for nobody.
struct ClosedPipeCase {
  const char* name;
  bool blockedInWriter;  // as in a thread made by a library thread that blocks every signal
  bool ignored;          // as under a parent that ignores SIGPIPE and does not reset it
};

void PrintTo(const ClosedPipeCase& c, std::ostream* out) { *out << c.name; }

class ClosedPipe : public ::testing::TestWithParam<ClosedPipeCase> {};

INSTANTIATE_TEST_SUITE_P(
    , ClosedPipe,
    ::testing::Values(ClosedPipeCase{"Default", false, false}, ClosedPipeCase{"BlockedInTheWriter", true, false},
                      ClosedPipeCase{"Ignored", false, true}, ClosedPipeCase{"BlockedAndIgnored", true, true}),
    [](const ::testing::TestParamInfo<ClosedPipeCase>& param) { return std::string(param.param.name); });

TEST_P(ClosedPipe, EndsTheProcessBySigpipe) {
  const ClosedPipeCase& c = GetParam();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fds[2];
    if (::pipe(fds) != 0) ::_exit(2);
    ::close(fds[0]);
    if (c.ignored) ::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
      if (c.blockedInWriter) {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
      }
      platform::FdOutput(fds[1]).write("frame");
    });
    writer.join();
    ::_exit(7);  // lived on
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGPIPE);
}

}  // namespace
}  // namespace velmor
