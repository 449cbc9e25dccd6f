#include "platform/posix/backlogged_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "byte_channel.h"
#include "platform/posix/posix_process.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using platform::BackloggedOutput;
using test::ByteChannel;
using test::ChannelKind;
using test::kFrameBytes;
using test::numberedFrame;

// Reads what the channel carries on a thread of its own, from `startAfter` on, until told that
// nothing more is coming and the channel is empty.
class Drain {
 public:
  explicit Drain(int fd, std::chrono::milliseconds startAfter = 0ms)
      : thread_([this, fd, startAfter] {
          std::this_thread::sleep_for(startAfter);
          char chunk[4096];
          for (;;) {
            const bool last = finished_.load();  // read before the channel is emptied: nothing follows it
            pollfd readable{fd, POLLIN, 0};
            while (::poll(&readable, 1, 0) > 0) {
              const ssize_t got = ::read(fd, chunk, sizeof chunk);
              if (got <= 0) return;
              bytes_.append(chunk, static_cast<std::size_t>(got));
            }
            if (last) return;
            ::poll(&readable, 1, 20);
          }
        }) {}
  ~Drain() { finish(); }

  // Call once the writer has handed everything over.
  std::string finish() {
    finished_ = true;
    if (thread_.joinable()) thread_.join();
    return bytes_;
  }

 private:
  std::atomic<bool> finished_{false};
  std::string bytes_;
  std::thread thread_;
};

std::vector<std::uint64_t> frameNumbers(const std::string& bytes, std::size_t frameBytes, std::string& fault) {
  std::vector<std::uint64_t> numbers;
  if (bytes.size() % frameBytes != 0) fault = "a frame was cut: " + std::to_string(bytes.size()) + " bytes";
  for (std::size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes) {
    std::uint64_t number = 0;
    std::memcpy(&number, bytes.data() + at, sizeof number);
    if (bytes.compare(at, frameBytes, numberedFrame(number, frameBytes)) != 0) {
      fault = "frame at byte " + std::to_string(at) + " is spliced";
    }
    numbers.push_back(number);
  }
  return numbers;
}

// Whole frames, from `first` to `last` in order, with exactly `gaps` places where frames are
// missing.
::testing::AssertionResult framesInOrder(const std::string& bytes, std::uint64_t first, std::uint64_t last, int gaps,
                                         std::size_t frameBytes = kFrameBytes) {
  std::string fault;
  const std::vector<std::uint64_t> numbers = frameNumbers(bytes, frameBytes, fault);
  if (!fault.empty()) return ::testing::AssertionFailure() << fault;
  if (numbers.empty()) return ::testing::AssertionFailure() << "no frames";
  if (numbers.front() != first) return ::testing::AssertionFailure() << "first frame " << numbers.front();
  if (numbers.back() != last) return ::testing::AssertionFailure() << "last frame " << numbers.back();
  int found = 0;
  for (std::size_t i = 1; i < numbers.size(); ++i) {
    if (numbers[i] <= numbers[i - 1]) return ::testing::AssertionFailure() << "frame " << numbers[i] << " out of order";
    if (numbers[i] != numbers[i - 1] + 1) ++found;
  }
  if (found != gaps) return ::testing::AssertionFailure() << found << " gaps";
  return ::testing::AssertionSuccess();
}

struct StallCase {
  const char* name;
  ChannelKind kind;
  std::size_t frameBytes;
};

void PrintTo(const StallCase& c, std::ostream* out) { *out << c.name; }

class StalledReader : public ::testing::TestWithParam<StallCase> {};

// Frames longer than a pipe takes at once (PIPE_BUF) are cut by it: the part left over must
// still follow the part already sent.
INSTANTIATE_TEST_SUITE_P(, StalledReader,
                         ::testing::Values(StallCase{"Pipe", ChannelKind::Pipe, kFrameBytes},
                                           StallCase{"Socket", ChannelKind::Socket, kFrameBytes},
                                           StallCase{"PipeCuttingFrames", ChannelKind::Pipe, 6000}),
                         [](const ::testing::TestParamInfo<StallCase>& param) {
                           return std::string(param.param.name);
                         });

TEST_P(StalledReader, LosesTheOldestWholeFramesAndNeverHoldsTheWriter) {
  const StallCase& c = GetParam();
  ByteChannel channel(c.kind);
  constexpr std::size_t kLimit = 16000;
  BackloggedOutput out(channel.writeFd);
  std::atomic<int> dropsBegun{0};
  std::thread::id announcedOn;
  out.holdBack(kLimit, [&] {
    ++dropsBegun;
    announcedOn = std::this_thread::get_id();
    out.flushFor(0ms);  // takes the handle's lock: would deadlock if the announcement ran under it
  });

  const std::uint64_t perStall = 3 * (channel.capacity + kLimit) / c.frameBytes;
  std::uint64_t next = 0;
  for (int stall = 1; stall <= 2; ++stall) {
    SCOPED_TRACE("stall " + std::to_string(stall));
    const std::uint64_t first = next;
    for (std::uint64_t i = 0; i < perStall; ++i) out.write(numberedFrame(next++, c.frameBytes));  // hangs if it waits
    EXPECT_EQ(dropsBegun.load(), stall);
    EXPECT_EQ(announcedOn, std::this_thread::get_id());

    Drain drain(channel.readFd);
    ASSERT_TRUE(out.flushFor(10s));
    const std::string received = drain.finish();
    EXPECT_TRUE(framesInOrder(received, first, next - 1, 1, c.frameBytes));
    EXPECT_LE(received.size(), channel.capacity + kLimit + c.frameBytes);
  }
  // The parent may share the description behind the descriptor it gave: it stays blocking.
  EXPECT_EQ(::fcntl(channel.writeFd, F_GETFL) & O_NONBLOCK, 0);
}

class BackloggedOutputOn : public ::testing::TestWithParam<ChannelKind> {};

INSTANTIATE_TEST_SUITE_P(, BackloggedOutputOn, ::testing::Values(ChannelKind::Pipe, ChannelKind::Socket),
                         [](const ::testing::TestParamInfo<ChannelKind>& param) {
                           return std::string(param.param == ChannelKind::Pipe ? "Pipe" : "Socket");
                         });

TEST_P(BackloggedOutputOn, FlushHandsHeldFramesToAReaderThatResumesInTime) {
  ByteChannel channel(GetParam());
  BackloggedOutput out(channel.writeFd);
  out.holdBack(1 << 20, [] { ADD_FAILURE() << "dropped under the limit"; });
  const std::uint64_t frames = 3 * channel.capacity / kFrameBytes;
  for (std::uint64_t i = 0; i < frames; ++i) out.write(numberedFrame(i));

  Drain drain(channel.readFd, 100ms);
  EXPECT_TRUE(out.flushFor(10s));
  EXPECT_TRUE(framesInOrder(drain.finish(), 0, frames - 1, 0));
}

TEST_P(BackloggedOutputOn, FlushGivesUpOnAReaderThatNeverResumes) {
  ByteChannel channel(GetParam());
  BackloggedOutput out(channel.writeFd);
  out.holdBack(1 << 20, [] {});
  for (std::uint64_t i = 0; i < 3 * channel.capacity / kFrameBytes; ++i) out.write(numberedFrame(i));

  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(out.flushFor(200ms));
  EXPECT_GE(std::chrono::steady_clock::now() - began, 200ms);
}

// List, watch and calendar documents are written whole before the process exits.
TEST_P(BackloggedOutputOn, BeforeHoldingBackALargeDocumentArrivesWholeToASlowReader) {
  ByteChannel channel(GetParam());
  std::string document(4 << 20, '\0');
  for (std::size_t i = 0; i < document.size(); ++i) document[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);

  std::string received;
  std::thread reader([&] {
    char chunk[16384];
    for (;;) {
      const ssize_t got = ::read(channel.readFd, chunk, sizeof chunk);
      if (got <= 0) return;
      received.append(chunk, static_cast<std::size_t>(got));
      std::this_thread::sleep_for(1ms);
    }
  });
  {
    BackloggedOutput out(channel.writeFd);
    out.write(document);
  }
  channel.closeWriter();
  reader.join();
  EXPECT_EQ(received.size(), document.size());
  EXPECT_TRUE(received == document);
}

TEST(BackloggedOutputToAFile, WritesAfterWhatTheDescriptorWroteBefore) {
  char path[] = "/tmp/velmor-backlogged-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::unlink(path);
  ASSERT_EQ(::write(fd, "before|", 7), 7);
  {
    BackloggedOutput out(fd);
    out.holdBack(4, [] { ADD_FAILURE() << "a file never stalls, so nothing is dropped"; });
    out.write("first frame|");
    out.write("second frame|");
  }
  ASSERT_EQ(::write(fd, "after", 5), 5);

  std::string content(64, '\0');
  const ssize_t got = ::pread(fd, content.data(), content.size(), 0);
  ::close(fd);
  ASSERT_GE(got, 0);
  content.resize(static_cast<std::size_t>(got));
  EXPECT_EQ(content, "before|first frame|second frame|after");
}

// A process that ends hands its held frames over to a parent that is reading.
TEST(BackloggedOutputAtExit, HandsHeldFramesToAReadingParent) {
  ByteChannel channel(ChannelKind::Pipe);
  const std::uint64_t frames = 3 * channel.capacity / kFrameBytes;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    channel.closeReader();
    BackloggedOutput out(channel.writeFd);
    out.holdBack(1 << 20, [] {});
    for (std::uint64_t i = 0; i < frames; ++i) out.write(numberedFrame(i));
    platform::PosixProcess(&out).exit(0);
  }
  channel.closeWriter();
  std::this_thread::sleep_for(100ms);  // the child is stalled on a full pipe by now
  std::string received;
  char chunk[4096];
  for (ssize_t got; (got = ::read(channel.readFd, chunk, sizeof chunk)) > 0;) {
    received.append(chunk, static_cast<std::size_t>(got));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(framesInOrder(received, 0, frames - 1, 0));
}

}  // namespace
}  // namespace velmor
