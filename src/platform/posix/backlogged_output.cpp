#include "platform/posix/backlogged_output.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <iterator>

#include "platform/posix/blocking_write.h"

namespace velmor::platform {

BackloggedOutput::BackloggedOutput(int fd) : fd_(fd) {
  struct stat status {};
  if (::fstat(fd_, &status) != 0) return;
  if (S_ISFIFO(status.st_mode)) {
    // A new open file description of the same pipe: O_NONBLOCK on it cannot reach the
    // parent, which may share the description behind fd itself.
    const std::string path = "/proc/self/fd/" + std::to_string(fd_);
    nonBlockingFd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (nonBlockingFd_ >= 0) way_ = Way::Pipe;
  } else if (S_ISSOCK(status.st_mode)) {
    way_ = Way::Socket;  // MSG_DONTWAIT makes each send non-blocking on its own
  }
  // Anything else (a regular file with its shared offset, a terminal) keeps blocking writes.
  if (way_ == Way::Blocking) return;
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    way_ = Way::Blocking;
    if (nonBlockingFd_ >= 0) ::close(nonBlockingFd_);
    nonBlockingFd_ = -1;
  }
}

BackloggedOutput::~BackloggedOutput() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  heldArrived_.notify_all();
  if (writer_.joinable()) {
    const std::uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    writer_.join();
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
  if (nonBlockingFd_ >= 0) ::close(nonBlockingFd_);
}

void BackloggedOutput::holdBack(std::size_t limitBytes, std::function<void()> dropBegan) {
  if (way_ == Way::Blocking) return;
  // Waits for a blocking write under way, so that it cannot interleave with the ones after.
  std::scoped_lock lock(blockingMutex_, mutex_);
  limit_ = limitBytes;
  dropBegan_ = std::move(dropBegan);
  // Made here, not on the first stall: that may come on the sound server's thread.
  if (!writer_.joinable()) writer_ = std::thread(&BackloggedOutput::runWriter, this);
  holding_.store(true, std::memory_order_release);
}

void BackloggedOutput::write(std::string_view bytes) {
  if (bytes.empty()) return;
  if (!holding_.load(std::memory_order_acquire)) {
    std::unique_lock blockingLock(blockingMutex_);
    if (!holding_.load(std::memory_order_acquire)) {
      writeWhole(fd_, bytes);
      return;
    }
  }
  std::function<void()> announce;
  {
    std::lock_guard lock(mutex_);
    if (held_.empty()) {
      const std::optional<std::size_t> sent = offer(bytes.data(), bytes.size());
      if (!sent || *sent == bytes.size()) return;  // a failed write is dropped, as when blocking
      held_.push_back(Held{std::string(bytes), *sent});
      heldBytes_ = bytes.size() - *sent;
      heldArrived_.notify_one();
      return;
    }
    held_.push_back(Held{std::string(bytes), 0});
    heldBytes_ += bytes.size();
    const std::size_t before = held_.size();
    dropOldest();
    if (held_.size() < before && !dropping_) {
      dropping_ = true;
      announce = dropBegan_;
    }
  }
  // Outside the lock: it writes a control event, which may take its own locks.
  if (announce) announce();
}

bool BackloggedOutput::flushFor(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return caughtUp_.wait_for(lock, limit, [this] { return held_.empty(); });
}

// The number of bytes the descriptor took at once (0 when it is full), or nothing when it
// failed for a reason other than a full buffer.
std::optional<std::size_t> BackloggedOutput::offer(const char* data, std::size_t size) {
  for (;;) {
    const ssize_t sent = way_ == Way::Socket ? ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                             : ::write(nonBlockingFd_, data, size);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    // A socket's reader that has gone may show as a reset rather than a broken pipe.
    if (errno == EPIPE || (way_ == Way::Socket && errno == ECONNRESET)) endBySigpipe();
    return std::nullopt;
  }
}

// Over the limit, drops the oldest writes that the reader has not begun, keeping the newest.
void BackloggedOutput::dropOldest() {
  auto next = held_.begin();
  if (next->sent > 0) ++next;
  while (heldBytes_ > limit_ && next != held_.end() && std::next(next) != held_.end()) {
    heldBytes_ -= next->bytes.size();
    next = held_.erase(next);
  }
}

// Under the lock: hands over as much as the descriptor takes, in order.
void BackloggedOutput::sendHeld() {
  while (!held_.empty()) {
    Held& head = held_.front();
    const std::optional<std::size_t> sent = offer(head.bytes.data() + head.sent, head.bytes.size() - head.sent);
    if (!sent) {
      // The descriptor failed: what is held cannot reach the reader, as a failed blocking
      // write would not have.
      held_.clear();
      heldBytes_ = 0;
      break;
    }
    if (*sent == 0) return;
    head.sent += *sent;
    heldBytes_ -= *sent;
    if (head.sent == head.bytes.size()) held_.pop_front();
  }
  dropping_ = false;
  caughtUp_.notify_all();
}

void BackloggedOutput::runWriter() {
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &handled, nullptr);  // those are taken by the signal watcher only

  const int target = way_ == Way::Socket ? fd_ : nonBlockingFd_;
  std::unique_lock lock(mutex_);
  for (;;) {
    heldArrived_.wait(lock, [this] { return stopping_ || !held_.empty(); });
    if (stopping_) return;
    lock.unlock();
    pollfd waits[2] = {{target, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = ::poll(waits, 2, -1);
    lock.lock();
    if (stopping_) return;
    // An error or hang-up on the descriptor shows in the write that follows.
    if (ready > 0 && waits[0].revents != 0) sendHeld();
  }
}

}  // namespace velmor::platform
