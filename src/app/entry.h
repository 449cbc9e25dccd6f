#pragma once
// The entry point: start-up in a fixed order, the signal handlers, the choice of mode and
// the exit statuses. It ends the process through the platform and never returns.
#include <string>
#include <vector>

#include "platform/platform.h"

namespace velmor {

[[noreturn]] void runProgram(platform::Platform& platform, const std::vector<std::string>& argv);

}  // namespace velmor
