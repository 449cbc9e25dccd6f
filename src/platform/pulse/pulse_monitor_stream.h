#pragma once
// One record stream on a sink's monitor source: bound to that source (never moved when the
// default changes), with fragments of about 10 ms. Each read callback is one cycle of audio,
// handed over whole; a failure after the start is reported once. Everything here runs with
// the connection's lock held: start and stop off the mainloop, the callbacks on it.
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/pulse/pulse_connection.h"

namespace velmor::platform::pulse {

// The name the server shows for the program's system-audio streams.
inline constexpr const char* kSystemAudioStreamName = "Velmor system audio";

class MonitorStream {
 public:
  // On the mainloop: one read callback's audio (holes as silence), valid for the call, and a
  // failure.
  using CycleHandler = std::function<void(std::span<const std::byte> bytes)>;
  using FailureHandler = std::function<void(int error)>;

  MonitorStream(Connection& connection, pa_sample_spec sampleSpec, CycleHandler onCycle, FailureHandler onFailure);
  ~MonitorStream();  // with the lock held, or after stop()
  MonitorStream(const MonitorStream&) = delete;
  MonitorStream& operator=(const MonitorStream&) = delete;

  // Connects to the source and waits until it records: PA_OK or the server's error.
  int start(Connection::Lock& lock, const std::string& source);
  // Disconnects; no callback runs once it returns.
  void stop(Connection::Lock& lock);
  bool recording() const { return stream_ && !failed_; }
  // The index of the source it records, once started.
  std::uint32_t sourceIndex() const { return sourceIndex_; }

 private:
  static void onState(pa_stream* stream, void* userdata);
  static void onRead(pa_stream* stream, std::size_t bytes, void* userdata);
  void detach();

  Connection& connection_;
  const pa_sample_spec sampleSpec_;
  const std::size_t frameBytes_;
  CycleHandler onCycle_;
  FailureHandler onFailure_;
  std::vector<std::byte> cycle_;  // the read callback's audio, its room kept from cycle to cycle
  pa_stream* stream_ = nullptr;
  bool started_ = false;
  bool failed_ = false;
  std::uint32_t sourceIndex_ = PA_INVALID_INDEX;
};

}  // namespace velmor::platform::pulse
