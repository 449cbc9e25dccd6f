#include "platform/audio_hardware.h"

namespace velmor::platform {

PlatformError hardwareError(HwStatus status) {
  return PlatformError{"hardware", status, "the hardware read failed (" + std::to_string(status) + ")"};
}

}  // namespace velmor::platform
