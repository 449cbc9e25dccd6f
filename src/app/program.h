#pragma once
// The process-wide objects, created once by the entry point in a fixed order and kept
// until the process ends. Holding them in one object lets a test make a fresh set.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "app/arguments.h"
#include "events/control_channel.h"
#include "mixer/mixer.h"
#include "platform/platform.h"
#include "screencapture/system_audio_output.h"
#include "systemtap/system_audio_tap.h"

namespace velmor {

class MicCapture;

struct Program {
  Program(platform::Platform& platform, const std::vector<std::string>& argv);

  platform::Platform& platform;
  const Arguments args;
  platform::OutputHandle& stdoutHandle;
  platform::OutputHandle& stderrHandle;
  ControlChannel control;  // owns controlQueue
  Mixer mixer;
  // System audio: the screen-capture stream and its restarts, the one output of every
  // stream, and the running tap.
  StreamSlot stream;
  std::atomic<std::int64_t> systemRestarts{0};
  const std::shared_ptr<SystemAudioOutput> systemOutput;
  ActiveTap activeTap;

  TapContext tapContext();

  // Set by capture mode on the main thread, read by the SIGTERM path on another.
  std::shared_ptr<MicCapture> mic() const;
  void setMic(std::shared_ptr<MicCapture> mic);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<MicCapture> mic_;
};

}  // namespace velmor
