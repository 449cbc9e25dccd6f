#pragma once
// Calls into the calendar store that may never return, bounded: each task runs on a thread
// of its own, and the caller waits for all of them until a deadline. A task still running
// then is cancelled and left behind; its thread ends on its own when the call returns (or
// with the process), and its result is dropped. A store's client can sit out a long
// timeout, or wait forever, in one calendar; the others must not wait with it.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmor::platform::eds {

template <class T>
struct BoundedTask {
  std::function<T()> run;        // everything it uses must be owned by the function
  std::function<void()> cancel;  // asks a running task to give up; any thread
};

// The tasks' results in their order; none for a task that did not finish in time (or could
// not be started, or threw).
template <class T>
std::vector<std::optional<T>> runWithin(std::vector<BoundedTask<T>> tasks, std::chrono::milliseconds limit) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<std::optional<T>> results;
    std::vector<bool> done;
    std::size_t remaining;
  };
  const std::size_t count = tasks.size();
  auto shared = std::make_shared<Shared>();
  shared->results.resize(count);
  shared->done.assign(count, false);
  shared->remaining = count;

  const auto finish = [](Shared& state, std::size_t index, std::optional<T> result) {
    std::lock_guard lock(state.mutex);
    state.results[index] = std::move(result);
    state.done[index] = true;
    --state.remaining;
    state.finished.notify_all();
  };

  std::vector<std::thread> threads(count);
  for (std::size_t index = 0; index < count; ++index) {
    try {
      threads[index] = std::thread([shared, index, finish, run = tasks[index].run] {
        std::optional<T> result;
        try {
          result = run();
        } catch (...) {
        }
        finish(*shared, index, std::move(result));
      });
    } catch (const std::system_error&) {
      finish(*shared, index, std::nullopt);
    }
  }

  std::vector<std::optional<T>> results(count);
  std::vector<bool> done;
  {
    std::unique_lock lock(shared->mutex);
    shared->finished.wait_for(lock, limit, [&] { return shared->remaining == 0; });
    done = shared->done;
    // Only finished tasks' slots: a late one still writes its own.
    for (std::size_t index = 0; index < count; ++index) {
      if (done[index]) results[index] = std::move(shared->results[index]);
    }
  }
  for (std::size_t index = 0; index < count; ++index) {
    if (!done[index] && tasks[index].cancel) tasks[index].cancel();
    if (!threads[index].joinable()) continue;
    if (done[index]) {
      threads[index].join();
    } else {
      threads[index].detach();
    }
  }
  return results;
}

}  // namespace velmor::platform::eds
