#pragma once
// The Linux platform: real threads and clock, the process's standard streams and signals,
// and the audio hardware and capture layer of a PulseAudio or PipeWire server, reached
// through the PulseAudio client library.
#include <memory>

#include "platform/platform.h"

namespace velmor::platform::pulse {

class PulsePlatform {
 public:
  PulsePlatform();
  ~PulsePlatform();
  Platform& platform();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace velmor::platform::pulse
