#include "platform/sim/sim_processes.h"

#include <algorithm>
#include <stdexcept>

#include "platform/sim/scenario_text.h"

namespace velmor::platform::sim {
namespace {

SimProcess parseProcess(const nlohmann::json& json) {
  SimProcess process;
  process.id = json.at("id").get<AudioObjectId>();
  process.applicationId = optionalScenarioText(json, "app");
  process.runningInput = json.value("input", true);
  for (const auto& read : json.value("fail", std::vector<std::string>{})) {
    if (read != "input" && read != "app") throw std::invalid_argument("unknown process read: " + read);
    process.failingReads.insert(read);
  }
  return process;
}

}  // namespace

SimProcessTable parseProcessTable(const nlohmann::json& json) {
  SimProcessTable table;
  const nlohmann::json& list = json.is_array() ? json : json.value("list", nlohmann::json::array());
  for (const auto& process : list) table.processes.push_back(parseProcess(process));
  if (json.is_object()) {
    table.reported = json.value("reported", true);
    for (const auto& read : json.value("fail", std::vector<std::string>{})) {
      if (read == "size") table.sizeFails = true;
      else if (read == "list") table.listFails = true;
      else throw std::invalid_argument("unknown process-list read: " + read);
    }
    table.slack = json.value("slack", 0u);
  }
  return table;
}

void SimProcesses::set(SimProcessTable table) {
  std::lock_guard lock(mutex_);
  table_ = std::move(table);
}

bool SimProcesses::reported() {
  std::lock_guard lock(mutex_);
  return table_.reported;
}

Result<std::uint32_t> SimProcesses::listSize() {
  std::lock_guard lock(mutex_);
  ++sizeQueries_;
  if (table_.sizeFails) return hardwareError(kHwUnknownProperty);
  return static_cast<std::uint32_t>(4 * (table_.processes.size() + table_.slack));
}

Result<std::size_t> SimProcesses::list(std::vector<AudioObjectId>& ids) {
  std::lock_guard lock(mutex_);
  if (table_.listFails) return hardwareError(kHwUnknownProperty);
  const std::size_t filled = std::min(ids.size(), table_.processes.size());
  for (std::size_t i = 0; i < filled; ++i) ids[i] = table_.processes[i].id;
  return filled;
}

const SimProcess* SimProcesses::find(AudioObjectId id) const {
  const auto it = std::find_if(table_.processes.begin(), table_.processes.end(),
                               [&](const SimProcess& process) { return process.id == id; });
  return it == table_.processes.end() ? nullptr : &*it;
}

Result<bool> SimProcesses::isRunningInput(AudioObjectId id) {
  std::lock_guard lock(mutex_);
  const SimProcess* process = find(id);
  if (!process) return hardwareError(kHwBadObject);
  if (process->failingReads.count("input")) return hardwareError(kHwUnknownProperty);
  return process->runningInput;
}

Result<std::optional<std::string>> SimProcesses::applicationId(AudioObjectId id) {
  std::lock_guard lock(mutex_);
  const SimProcess* process = find(id);
  if (!process) return hardwareError(kHwBadObject);
  if (process->failingReads.count("app")) return hardwareError(kHwUnknownProperty);
  return process->applicationId;
}

int SimProcesses::sizeQueries() {
  std::lock_guard lock(mutex_);
  return sizeQueries_;
}

}  // namespace velmor::platform::sim
