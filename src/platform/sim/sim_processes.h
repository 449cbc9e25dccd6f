#pragma once
// Scripted audio process objects: which processes use audio, whether each runs audio input,
// its application identifier, and reads that fail. A timeline may replace the whole table.
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/audio_hardware.h"

namespace velmor::platform::sim {

struct SimProcess {
  AudioObjectId id = 0;
  std::optional<std::string> applicationId;  // none: the null reference
  bool runningInput = false;
  // Reads of this process that fail: "input", "app".
  std::set<std::string> failingReads;
};

struct SimProcessTable {
  std::vector<SimProcess> processes;
  bool reported = true;     // false: a system that cannot say who runs input
  bool sizeFails = false;   // the size query fails
  bool listFails = false;   // the list read fails
  std::uint32_t slack = 0;  // the size query counts this many more ids than the list read gives
};

// Either a full table ({"list": [...], "fail": ["size", "list"], "slack": 2, "reported": false})
// or just its list of processes ({"id": 5, "app": "com.example.a", "input": true, "fail": ["app"]}).
SimProcessTable parseProcessTable(const nlohmann::json& json);

class SimProcesses {
 public:
  void set(SimProcessTable table);

  bool reported();
  Result<std::uint32_t> listSize();
  Result<std::size_t> list(std::vector<AudioObjectId>& ids);
  Result<bool> isRunningInput(AudioObjectId id);
  Result<std::optional<std::string>> applicationId(AudioObjectId id);

  // How many list-size queries were made: one per look, for tests.
  int sizeQueries();

 private:
  const SimProcess* find(AudioObjectId id) const;  // with mutex_ held

  std::mutex mutex_;
  SimProcessTable table_;
  int sizeQueries_ = 0;
};

}  // namespace velmor::platform::sim
