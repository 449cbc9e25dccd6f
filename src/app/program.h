#pragma once
// The process-wide objects, created once by the entry point in a fixed order and kept
// until the process ends. Holding them in one object lets a test make a fresh set.
#include <memory>
#include <mutex>

#include "app/arguments.h"
#include "events/control_channel.h"
#include "mixer/mixer.h"
#include "platform/platform.h"

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

  // Set by capture mode on the main thread, read by the SIGTERM path on another.
  std::shared_ptr<MicCapture> mic() const;
  void setMic(std::shared_ptr<MicCapture> mic);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<MicCapture> mic_;
};

}  // namespace velmor
