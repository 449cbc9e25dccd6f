#include "support/memory_platform.h"

namespace velmor::testing {

void MemoryOutput::write(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  writes_.emplace_back(bytes);
}

std::vector<std::string> MemoryOutput::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::string MemoryOutput::bytes() const {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const auto& w : writes_) all += w;
  return all;
}

std::vector<nlohmann::json> MemoryOutput::events() const {
  std::vector<nlohmann::json> parsed;
  for (const auto& w : writes()) parsed.push_back(nlohmann::json::parse(w));
  return parsed;
}

std::optional<std::string> MapEnvironment::get(const std::string& name) const {
  const auto it = values.find(name);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

void ManualSignals::install(std::function<void()> onTerminate, std::function<void()> onInterrupt) {
  terminate = std::move(onTerminate);
  interrupt = std::move(onInterrupt);
}

}  // namespace velmor::testing
