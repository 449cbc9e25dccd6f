#pragma once
// Observers of named notifications posted by objects: a block registered for a name and
// an object runs for each post of that name by that object until its token is removed.
// A post calls the blocks outside the registry's lock, so a block may add or remove
// observers; a block removed before its turn in a post (by a block before it, say) is
// skipped. A removal does not wait for a block already running.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace velmor::platform {

template <class Name, class Info>
class ObserverRegistry {
 public:
  using Token = std::uint64_t;
  using Block = std::function<void(const Info&)>;

  Token add(Name name, const void* object, Block block) {
    std::lock_guard lock(mutex_);
    const Token token = next_++;
    entries_.emplace(token, Entry{name, object, std::move(block)});
    return token;
  }

  void remove(Token token) {
    std::lock_guard lock(mutex_);
    entries_.erase(token);
  }

  // Runs the matching blocks on the calling thread, in the order they were added.
  void post(Name name, const void* object, const Info& info) {
    std::vector<std::pair<Token, Block>> blocks;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [token, entry] : entries_) {
        if (entry.name == name && entry.object == object) blocks.emplace_back(token, entry.block);
      }
    }
    for (auto& [token, block] : blocks) {
      {
        std::lock_guard lock(mutex_);
        if (!entries_.contains(token)) continue;
      }
      block(info);
    }
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }

 private:
  struct Entry {
    Name name;
    const void* object;
    Block block;
  };
  mutable std::mutex mutex_;
  std::map<Token, Entry> entries_;
  Token next_ = 1;
};

}  // namespace velmor::platform
