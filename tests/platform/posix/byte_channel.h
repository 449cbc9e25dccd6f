#pragma once
// The two kinds of standard output a parent gives its child that can stall it: a pipe and a
// socketpair, with small buffers so that a stalled reader is quick to reach.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>

namespace velmor::test {

enum class ChannelKind { Pipe, Socket };

inline void PrintTo(ChannelKind kind, std::ostream* out) { *out << (kind == ChannelKind::Pipe ? "Pipe" : "Socket"); }

struct ByteChannel {
  int writeFd = -1;
  int readFd = -1;
  std::size_t capacity = 0;  // the most bytes the kernel holds for a reader that does not read

  explicit ByteChannel(ChannelKind kind) {
    int fds[2];
    if (kind == ChannelKind::Pipe) {
      if (::pipe(fds) != 0) throw std::runtime_error("pipe");
      readFd = fds[0];
      writeFd = fds[1];
      const int size = ::fcntl(writeFd, F_SETPIPE_SZ, 16384);
      if (size < 0) throw std::runtime_error("F_SETPIPE_SZ");
      capacity = static_cast<std::size_t>(size);
    } else {
      if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
      writeFd = fds[0];
      readFd = fds[1];
      int size = 16384;
      socklen_t length = sizeof size;
      ::setsockopt(writeFd, SOL_SOCKET, SO_SNDBUF, &size, length);
      // The kernel doubles what it is given, for its own bookkeeping; the data fits within it.
      if (::getsockopt(writeFd, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0) throw std::runtime_error("SO_SNDBUF");
      capacity = static_cast<std::size_t>(size);
    }
  }
  ~ByteChannel() {
    closeWriter();
    closeReader();
  }
  ByteChannel(const ByteChannel&) = delete;
  ByteChannel& operator=(const ByteChannel&) = delete;

  void closeWriter() {
    if (writeFd >= 0) ::close(writeFd);
    writeFd = -1;
  }
  void closeReader() {
    if (readFd >= 0) ::close(readFd);
    readFd = -1;
  }
};

// 10 ms of 16 kHz mono 16-bit audio.
constexpr std::size_t kFrameBytes = 320;

// A frame tagged with its sequence number and filled from it, so that a frame cut or spliced
// shows.
inline std::string numberedFrame(std::uint64_t sequence, std::size_t bytes = kFrameBytes) {
  std::string frame(bytes, '\0');
  std::memcpy(frame.data(), &sequence, sizeof sequence);
  for (std::size_t i = sizeof sequence; i < bytes; ++i) frame[i] = static_cast<char>((sequence * 31 + i) & 0xff);
  return frame;
}

}  // namespace velmor::test
