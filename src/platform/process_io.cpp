#include "platform/process_io.h"

#include <unistd.h>

namespace velmor::platform {

std::int32_t ProcessControl::processIdentifier() const { return static_cast<std::int32_t>(::getpid()); }

}  // namespace velmor::platform
