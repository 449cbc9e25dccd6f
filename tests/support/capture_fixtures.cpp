#include "support/capture_fixtures.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numbers>

#include "conversion/sample_conversion.h"

namespace velmor::testing {

void Recorder::captureOutput(const platform::SampleBuffer& buffer) {
  std::chrono::milliseconds delay{0};
  {
    std::lock_guard lock(mutex_);
    delivering_ = true;
    ++begun_;
    delay = delay_;
    const auto queue = queue_.lock();
    allOnQueue_ = allOnQueue_ && queue && queue->isCurrent();
  }
  changed_.notify_all();
  std::string copied;
  const auto description = buffer.formatDescription();
  if (description) {
    const auto format = platform::AudioFormat::fromStreamDescription(*description);
    const auto frames = static_cast<std::uint32_t>(buffer.numSamples());
    if (format && frames > 0) {
      if (auto pcm = platform::PcmBuffer::make(*format, frames); pcm && buffer.copyPcmData(0, frames, *pcm).ok()) {
        const auto data = pcm->buffer(0);
        copied.assign(reinterpret_cast<const char*>(data.data()), frames * format->bytesPerFrameInBuffer());
      }
    }
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  {
    std::lock_guard lock(mutex_);
    deliveries_.push_back({description, buffer.numSamples()});
    bytes_ += copied;
    delivering_ = false;
  }
  changed_.notify_all();
}

void Recorder::setDeliveryDelay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  delay_ = delay;
}

bool Recorder::waitForBuffers(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return deliveries_.size() >= count; });
}

bool Recorder::waitForBytes(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return bytes_.size() >= count; });
}

bool Recorder::waitForBytesWhere(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(bytes_); });
}

std::vector<Recorder::Delivery> Recorder::deliveries() const {
  std::lock_guard lock(mutex_);
  return deliveries_;
}

std::string Recorder::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

std::size_t Recorder::count() const {
  std::lock_guard lock(mutex_);
  return deliveries_.size();
}

std::size_t Recorder::begun() const {
  std::lock_guard lock(mutex_);
  return begun_;
}

bool Recorder::allOnQueue() const {
  std::lock_guard lock(mutex_);
  return allOnQueue_;
}

bool Recorder::waitUntilDelivering(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return delivering_; });
}

bool Recorder::delivering() const {
  std::lock_guard lock(mutex_);
  return delivering_;
}

NotificationLog::~NotificationLog() {
  for (auto token : tokens_) capture_.removeObserver(token);
}

void NotificationLog::watch(const void* object) {
  using platform::CaptureNotification;
  for (auto name : {CaptureNotification::sessionRuntimeError, CaptureNotification::sessionWasInterrupted,
                    CaptureNotification::deviceWasDisconnected}) {
    tokens_.push_back(
        capture_.addObserver(name, object, [state = state_, object](const platform::CaptureNotificationInfo& info) {
          std::lock_guard lock(state->mutex);
          state->entries.push_back({info.name, object, info.error, std::this_thread::get_id()});
          state->changed.notify_all();
        }));
  }
}

std::vector<NotificationLog::Entry> NotificationLog::entries() const {
  std::lock_guard lock(state_->mutex);
  return state_->entries;
}

bool NotificationLog::waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return state_->entries.size() >= count; });
}

std::string_view withoutSilence(std::string_view bytes, std::size_t frameBytes) {
  auto silent = [&](std::size_t at) {
    return bytes.substr(at, frameBytes).find_first_not_of('\0') == std::string_view::npos;
  };
  std::size_t begin = 0;
  std::size_t end = bytes.size() / frameBytes * frameBytes;
  while (begin < end && silent(begin)) begin += frameBytes;
  while (end > begin && silent(end - frameBytes)) end -= frameBytes;
  return bytes.substr(begin, end - begin);
}

std::string sineS16(double frequency, double amplitude, double rate, std::size_t frames) {
  std::string bytes(2 * frames, '\0');
  for (std::size_t i = 0; i < frames; ++i) {
    const double x = amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
    const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(x * 32767.0)));
    bytes[2 * i] = static_cast<char>(v & 0xff);
    bytes[2 * i + 1] = static_cast<char>(v >> 8);
  }
  return bytes;
}

FifoWriter::FifoWriter(std::string path, std::string bytes, std::size_t frameBytes, unsigned rate,
                       std::chrono::milliseconds lead)
    : state_(std::make_shared<State>()),
      thread_([path = std::move(path), bytes = std::move(bytes), frameBytes, rate, lead, state = state_] {
        // Non-blocking throughout: a server that stops reading (a source suspended once
        // nothing records it) must not keep the writer, and so the test, waiting for ever.
        // A reader that goes away is an error from write, not a signal that ends the test.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        int fd = -1;
        while (!state->stop.load() && (fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));  // no reader yet
        }
        const bool paced = frameBytes > 0 && rate > 0;
        // 10 ms a block, in whole frames.
        const std::size_t block = paced ? frameBytes * std::max(1u, rate / 100) : bytes.size();
        auto due = std::chrono::steady_clock::now() - lead;
        std::size_t at = 0;
        while (fd >= 0 && at < bytes.size() && !state->stop.load()) {
          if (paced) {
            std::this_thread::sleep_until(due);
            due += std::chrono::milliseconds(10);
          }
          const std::size_t end = std::min(bytes.size(), at + block);
          while (at < end && !state->stop.load()) {
            pollfd writable{fd, POLLOUT, 0};
            if (poll(&writable, 1, 20) <= 0) continue;
            const ssize_t wrote = write(fd, bytes.data() + at, end - at);
            if (wrote < 0 && errno == EAGAIN) continue;
            if (wrote <= 0) {
              at = bytes.size();  // the reader is gone
              break;
            }
            at += static_cast<std::size_t>(wrote);
          }
        }
        if (fd >= 0) close(fd);
        state->done.store(true);
      }) {}

FifoWriter::~FifoWriter() {
  state_->stop.store(true);
  if (thread_.joinable()) thread_.join();
}

bool FifoWriter::done() const { return state_->done.load(); }

std::vector<float> converted16k(const std::string& input) {
  const platform::StreamDescription format{48000, platform::SampleType::signedInteger, 16, 1, true};
  ConverterSlots slots;
  std::vector<float> produced;
  for (std::size_t at = 0; at < input.size(); at += 960) {
    const std::size_t bytes = std::min<std::size_t>(960, input.size() - at);
    std::vector<std::vector<std::byte>> data(1, std::vector<std::byte>(bytes));
    std::memcpy(data[0].data(), input.data() + at, bytes);
    const platform::MemorySampleBuffer buffer(format, static_cast<std::int64_t>(bytes / 2), std::move(data));
    const auto block = floatSamples(buffer, slots, 16000);
    produced.insert(produced.end(), block.begin(), block.end());
  }
  return produced;
}

std::size_t audibleCount(const std::vector<float>& samples) {
  const auto audible = [](float s) { return std::abs(s) * 32767.0f >= 1.0f; };
  const auto first = std::find_if(samples.begin(), samples.end(), audible);
  const auto last = std::find_if(samples.rbegin(), samples.rend(), audible);
  return first == samples.end() ? 0 : static_cast<std::size_t>(last.base() - first);
}

}  // namespace velmor::testing
