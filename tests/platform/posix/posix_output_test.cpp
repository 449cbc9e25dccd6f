#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "byte_channel.h"
#include "platform/posix/backlogged_output.h"
#include "platform/posix/posix_process.h"

namespace velmor {
namespace {

// Writing into a pipe whose reader has gone ends the process by SIGPIPE, however the writing
// thread and the parent left that signal: a process that lived on would record for nobody.
enum class Writer {
  Blocking,           // FdOutput
  HeldBack,           // BackloggedOutput after holdBack, the caller meeting the closed reader
  HeldBackOwnThread,  // the same, with frames held, so that its own writer thread meets it
};

struct ClosedPipeCase {
  const char* name;
  bool blockedInWriter;  // as in a thread made by a library thread that blocks every signal
  bool ignored;          // as under a parent that ignores SIGPIPE and does not reset it
  Writer writer = Writer::Blocking;
  test::ChannelKind kind = test::ChannelKind::Pipe;
};

void PrintTo(const ClosedPipeCase& c, std::ostream* out) { *out << c.name; }

class ClosedPipe : public ::testing::TestWithParam<ClosedPipeCase> {};

INSTANTIATE_TEST_SUITE_P(
    , ClosedPipe,
    ::testing::Values(ClosedPipeCase{"Default", false, false}, ClosedPipeCase{"BlockedInTheWriter", true, false},
                      ClosedPipeCase{"Ignored", false, true}, ClosedPipeCase{"BlockedAndIgnored", true, true},
                      ClosedPipeCase{"HeldBack", true, true, Writer::HeldBack},
                      ClosedPipeCase{"HeldBackOwnThread", true, true, Writer::HeldBackOwnThread},
                      // A send on a socket raises no SIGPIPE of its own.
                      ClosedPipeCase{"SocketHeldBack", true, true, Writer::HeldBack, test::ChannelKind::Socket},
                      ClosedPipeCase{"SocketHeldBackOwnThread", true, true, Writer::HeldBackOwnThread,
                                     test::ChannelKind::Socket}),
    [](const ::testing::TestParamInfo<ClosedPipeCase>& param) { return std::string(param.param.name); });

TEST_P(ClosedPipe, EndsTheProcessBySigpipe) {
  const ClosedPipeCase& c = GetParam();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    test::ByteChannel channel(c.kind);
    if (c.ignored) ::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
      if (c.blockedInWriter) {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
      }
      if (c.writer == Writer::Blocking) {
        channel.closeReader();
        platform::FdOutput(channel.writeFd).write("frame");
        return;
      }
      platform::BackloggedOutput out(channel.writeFd);  // its writer thread inherits this one's signal mask
      out.holdBack(1 << 20, [] {});
      if (c.writer == Writer::HeldBackOwnThread) {
        for (std::uint64_t i = 0; i < 2 * channel.capacity / test::kFrameBytes; ++i) out.write(test::numberedFrame(i));
        channel.closeReader();
        std::this_thread::sleep_for(std::chrono::seconds(10));  // the writer thread ends the process first
        ::_exit(8);
      }
      channel.closeReader();
      out.write("frame");
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
