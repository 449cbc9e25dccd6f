#include "micwatch/microphone_holders.h"

#include <algorithm>

#include "unicode/unicode_text.h"

namespace velmor {

std::vector<platform::AudioObjectId> audioProcesses(platform::AudioHardware& hardware) {
  const auto size = hardware.processListSize();
  if (!size || size.value() == 0) return {};
  std::vector<platform::AudioObjectId> ids(size.value() / 4, 0);
  if (ids.empty()) return {};
  if (!hardware.processList(ids)) return {};
  return ids;
}

std::vector<std::string> appsHoldingMicrophone(platform::AudioHardware& hardware) {
  struct Holder {
    std::string id;
    std::string key;
  };
  std::vector<Holder> holders;
  for (const platform::AudioObjectId process : audioProcesses(hardware)) {
    const auto running = hardware.processIsRunningInput(process);
    if (!running || !running.value()) continue;
    const auto reported = hardware.processApplicationId(process);
    const std::string candidate = reported && reported.value() ? validUtf8(*reported.value()) : std::string();
    if (candidate.empty()) continue;
    std::string key = canonicalKey(candidate);
    // A short list: a linear search is cheaper than anything cleverer.
    if (std::any_of(holders.begin(), holders.end(), [&](const Holder& h) { return h.key == key; })) continue;
    holders.push_back(Holder{candidate, std::move(key)});
  }
  // Byte order of UTF-8 is the order of the scalar values it encodes.
  std::stable_sort(holders.begin(), holders.end(), [](const Holder& a, const Holder& b) { return a.key < b.key; });
  std::vector<std::string> apps;
  apps.reserve(holders.size());
  for (auto& holder : holders) apps.push_back(std::move(holder.id));
  return apps;
}

bool sameApps(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const std::string& x, const std::string& y) {
           return x == y || canonicalKey(x) == canonicalKey(y);
         });
}

}  // namespace velmor
