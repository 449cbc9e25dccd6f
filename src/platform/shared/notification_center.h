#pragma once
// A backend's notification centre: observers in a registry, and posts delivered on a queue
// of the centre's own, never on the thread that noticed the event (a sound server's event
// loop, a scripted action) and never inside that thread's locks. A post names its object by
// a shared pointer and is dropped if the object is gone by the time it is delivered, so
// that an object made later at the same address never receives it.
#include <memory>
#include <string>
#include <utility>

#include "platform/dispatch.h"
#include "platform/shared/observer_registry.h"

namespace velmor::platform {

template <class Name, class Info>
class NotificationCenter {
 public:
  using Registry = ObserverRegistry<Name, Info>;

  NotificationCenter(Dispatch& dispatch, std::string label)
      : registry_(std::make_shared<Registry>()), queue_(dispatch.makeSerialQueue(std::move(label))) {}

  typename Registry::Token add(Name name, const void* object, typename Registry::Block block) {
    return registry_->add(name, object, std::move(block));
  }
  void remove(typename Registry::Token token) { registry_->remove(token); }
  std::size_t observerCount() const { return registry_->size(); }

  template <class Object>
  void post(Name name, const std::shared_ptr<Object>& object, Info info) {
    const void* identity = object.get();
    std::weak_ptr<const void> alive = object;
    // The task holds the registry, not the centre: it must never own the queue it runs on.
    queue_->async([registry = registry_, name, identity, alive = std::move(alive), info = std::move(info)] {
      if (!alive.expired()) registry->post(name, identity, info);
    });
  }

 private:
  const std::shared_ptr<Registry> registry_;
  const std::shared_ptr<SerialQueue> queue_;
};

}  // namespace velmor::platform
