#pragma once
// While in scope, the calling thread's GLib callbacks go to a main context of its own, so
// that nothing a client schedules lands on the process's default context.
#include "platform/eds/eds_library.h"

namespace velmor::platform::eds {

class ThreadContext {
 public:
  explicit ThreadContext(const GioLibrary& eds) : eds_(eds), context_(eds.mainContextNew()) {
    eds_.mainContextPushThreadDefault(context_);
  }
  ~ThreadContext() {
    eds_.mainContextPopThreadDefault(context_);
    eds_.mainContextUnref(context_);
  }
  ThreadContext(const ThreadContext&) = delete;
  ThreadContext& operator=(const ThreadContext&) = delete;

 private:
  const GioLibrary& eds_;
  GMainContext* context_;
};

}  // namespace velmor::platform::eds
