#pragma once
#include <cstdint>
#include <string>

namespace velmor::platform {

// An error value as the platform reports it; events quote only its description.
struct PlatformError {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
};

inline constexpr const char* kProgramErrorDomain = "velmor.audio";

}  // namespace velmor::platform
