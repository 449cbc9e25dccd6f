// The whole audio path inside the process, per second of audio: a delivered 10 ms buffer
// from each source (the microphone as 48 kHz mono int16, system audio as 48 kHz stereo
// float, as a sound server hands them over) converted to 16 kHz mono float, mixed, framed
// and written to /dev/null.
//
//   BM_AudioPathOnOneThread       conversion, mixing and the write, on the calling thread
//   BM_AudioPathThroughBacklogs   each buffer pushed as the backends push what the server
//                                 delivered: through its source's backlog to the delegate on
//                                 the source's capture queue, which an idle queue runs on the
//                                 pushing thread
//   BM_AudioPathThroughQueues     each buffer handed over to its capture queue's own thread,
//                                 and the caller waiting for it: what a hand-over per buffer
//                                 and the wake-up it takes would cost
//
// Counter: realtime_x, seconds of audio through the path per second of the process's CPU.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include <benchmark/benchmark.h>

#include "conversion/sample_conversion.h"
#include "mixer/mixer.h"
#include "platform/pcm.h"
#include "platform/posix/posix_process.h"
#include "platform/shared/queue_output.h"
#include "platform/shared/sample_backlog.h"
#include "platform/threaded/thread_dispatch.h"

namespace {

using namespace velmor;
using platform::MemorySampleBuffer;
using platform::SampleType;
using platform::StreamDescription;

constexpr double kInputRate = 48000;
constexpr double kCaptureRate = 16000;
constexpr std::size_t kFrames = 480;   // 10 ms
constexpr std::size_t kBuffers = 100;  // one second, cycled

template <class Sample>
std::vector<std::byte> bytesOf(const std::vector<Sample>& samples) {
  std::vector<std::byte> bytes(samples.size() * sizeof(Sample));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

std::vector<MemorySampleBuffer> microphoneSecond() {
  const StreamDescription format{kInputRate, SampleType::signedInteger, 16, 1, true};
  std::vector<MemorySampleBuffer> out;
  for (std::size_t b = 0; b < kBuffers; ++b) {
    std::vector<std::int16_t> samples(kFrames);
    for (std::size_t i = 0; i < kFrames; ++i) {
      const double t = static_cast<double>(b * kFrames + i) / kInputRate;
      samples[i] = static_cast<std::int16_t>(std::lround(12000 * std::sin(2 * std::numbers::pi * 440 * t)));
    }
    out.emplace_back(format, static_cast<std::int64_t>(kFrames), std::vector<std::vector<std::byte>>{bytesOf(samples)});
  }
  return out;
}

std::vector<MemorySampleBuffer> systemSecond() {
  const StreamDescription format{kInputRate, SampleType::floatingPoint, 32, 2, true};
  std::vector<MemorySampleBuffer> out;
  for (std::size_t b = 0; b < kBuffers; ++b) {
    std::vector<float> samples(2 * kFrames);
    for (std::size_t i = 0; i < kFrames; ++i) {
      const double t = static_cast<double>(b * kFrames + i) / kInputRate;
      samples[2 * i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 1000 * t));
      samples[2 * i + 1] = static_cast<float>(0.2 * std::sin(2 * std::numbers::pi * 1250 * t));
    }
    out.emplace_back(format, static_cast<std::int64_t>(kFrames), std::vector<std::vector<std::byte>>{bytesOf(samples)});
  }
  return out;
}

class DiscardedErrors final : public platform::OutputHandle {
 public:
  void write(std::string_view bytes) override { benchmark::DoNotOptimize(bytes.data()); }
};

class NoExit final : public platform::ProcessControl {
 public:
  [[noreturn]] void exit(int status) override { std::_Exit(status); }
};

// What a capture run holds: the dispatch, the control channel, the mixer writing to /dev/null.
struct Path {
  platform::ThreadDispatch dispatch;
  DiscardedErrors errors;
  NoExit process;
  ControlChannel control{dispatch, errors, process};
  int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  platform::FdOutput out{fd};
  Mixer mixer{kCaptureRate, true, true, out, control};
  ConverterSlots micSlots;
  ConverterSlots systemSlots;
  const std::vector<MemorySampleBuffer> mic = microphoneSecond();
  const std::vector<MemorySampleBuffer> system = systemSecond();

  void deliverMic(std::size_t i) { mixer.pushMic(floatSamples(mic[i], micSlots, kCaptureRate)); }
  void deliverSystem(std::size_t i) { mixer.pushSystem(floatSamples(system[i], systemSlots, kCaptureRate)); }
  ~Path() { ::close(fd); }
};

void count(benchmark::State& state, std::size_t buffers) {
  state.counters["realtime_x"] = benchmark::Counter(static_cast<double>(buffers) * 0.01, benchmark::Counter::kIsRate);
}

void BM_AudioPathOnOneThread(benchmark::State& state) {
  Path path;
  std::size_t delivered = 0;
  for (auto _ : state) {
    const std::size_t i = delivered++ % kBuffers;
    path.deliverMic(i);
    path.deliverSystem(i);
  }
  count(state, delivered);
}
BENCHMARK(BM_AudioPathOnOneThread)->MeasureProcessCPUTime();

// A source's delegate: converts on its capture queue and hands the block to the mixer.
class Delegate final : public platform::SampleBufferDelegate {
 public:
  Delegate(Path& path, bool mic) : path_(path), mic_(mic) {}
  void captureOutput(const platform::SampleBuffer& buffer) override {
    if (mic_) {
      path_.mixer.pushMic(floatSamples(buffer, slots_, kCaptureRate));
    } else {
      path_.mixer.pushSystem(floatSamples(buffer, slots_, kCaptureRate));
    }
  }

 private:
  Path& path_;
  const bool mic_;
  ConverterSlots slots_;
};

// One source as a backend runs it: its capture queue, its output, its backlog for the run.
struct Source {
  Source(Path& path, bool mic, const StreamDescription& format)
      : queue(path.dispatch.makeSerialQueue(mic ? "mic" : "system")),
        delegate(std::make_shared<Delegate>(path, mic)),
        backlog(std::make_shared<platform::SampleBacklog>(
            format, platform::SampleBacklog::capacityFor(format, platform::kBacklogSeconds), gate, gate->open())) {
    output.setSampleBufferDelegate(delegate, queue);
  }
  // What a read callback does with the bytes the server handed over.
  void push(const MemorySampleBuffer& buffer) {
    const std::byte* planes[] = {buffer.buffers().front().data()};
    backlog->push(planes, static_cast<std::size_t>(buffer.numSamples()), output);
  }

  std::shared_ptr<platform::SerialQueue> queue;
  std::shared_ptr<Delegate> delegate;
  platform::QueueOutput output;
  std::shared_ptr<platform::DeliveryGate> gate = std::make_shared<platform::DeliveryGate>();
  std::shared_ptr<platform::SampleBacklog> backlog;
};

void BM_AudioPathThroughBacklogs(benchmark::State& state) {
  Path path;
  Source mic(path, true, *path.mic.front().formatDescription());
  Source system(path, false, *path.system.front().formatDescription());
  std::size_t delivered = 0;
  for (auto _ : state) {
    const std::size_t i = delivered++ % kBuffers;
    mic.push(path.mic[i]);
    system.push(path.system[i]);
  }
  // Whatever went through a queue has arrived before the count is taken.
  mic.queue->sync([] {});
  system.queue->sync([] {});
  count(state, delivered);
}
BENCHMARK(BM_AudioPathThroughBacklogs)->MeasureProcessCPUTime();

void BM_AudioPathThroughQueues(benchmark::State& state) {
  Path path;
  const auto micQueue = path.dispatch.makeSerialQueue("mic");
  const auto systemQueue = path.dispatch.makeSerialQueue("system");
  const std::shared_ptr<platform::Semaphore> done = path.dispatch.makeSemaphore(0);
  std::size_t delivered = 0;
  for (auto _ : state) {
    const std::size_t i = delivered++ % kBuffers;
    micQueue->async([&path, &done, i] {
      path.deliverMic(i);
      done->signal();
    });
    systemQueue->async([&path, &done, i] {
      path.deliverSystem(i);
      done->signal();
    });
    done->wait();
    done->wait();
  }
  count(state, delivered);
}
BENCHMARK(BM_AudioPathThroughQueues)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
