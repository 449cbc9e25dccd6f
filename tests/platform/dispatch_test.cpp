#include <atomic>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/manual/manual_dispatch.h"
#include "platform/threaded/thread_dispatch.h"

namespace velmor::platform {
namespace {

TEST(ThreadDispatch, SerialQueueRunsTasksInOrderOneAtATime) {
  ThreadDispatch dispatch;
  auto queue = dispatch.makeSerialQueue("test");
  std::vector<int> order;
  std::atomic<int> inside{0};
  bool overlapped = false;
  for (int i = 0; i < 1000; ++i) {
    queue->async([&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      inside.fetch_sub(1);
    });
  }
  queue->sync([] {});
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(order[i], i);
}

TEST(ThreadDispatch, SyncWaitsForEarlierWorkAndKnowsItsQueue) {
  ThreadDispatch dispatch;
  auto queue = dispatch.makeSerialQueue("test");
  std::atomic<bool> earlierDone{false};
  queue->async([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    earlierDone = true;
  });
  bool sawEarlier = false;
  bool current = false;
  queue->sync([&] {
    sawEarlier = earlierDone.load();
    current = queue->isCurrent();
  });
  EXPECT_TRUE(sawEarlier);
  EXPECT_TRUE(current);
  EXPECT_FALSE(queue->isCurrent());
}

// A producer may run a task as an idle queue on its own thread; it must never run beside the
// queue's own work, overtake work already due, or run main-queue work off the main loop.
TEST(ThreadDispatch, TryRunHereLendsOnlyAnIdleQueue) {
  ThreadDispatch dispatch;
  auto queue = dispatch.makeSerialQueue("test");

  bool current = false;
  std::thread::id ranOn;
  EXPECT_TRUE(queue->tryRunHere([&] {
    current = queue->isCurrent();
    ranOn = std::this_thread::get_id();
  }));
  EXPECT_TRUE(current);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_FALSE(queue->isCurrent());

  // Busy: a task of the queue is running.
  std::atomic<bool> release{false};
  std::atomic<bool> started{false};
  queue->async([&] {
    started = true;
    while (!release) std::this_thread::yield();
  });
  while (!started) std::this_thread::yield();
  bool ran = false;
  EXPECT_FALSE(queue->tryRunHere([&] { ran = true; }));
  // Work waits behind it: still refused, and what was queued runs first, in order.
  std::vector<int> order;
  queue->async([&] { order.push_back(1); });
  EXPECT_FALSE(queue->tryRunHere([&] { ran = true; }));
  release = true;
  queue->sync([&] { order.push_back(2); });
  EXPECT_FALSE(ran);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));

  // From inside its own task the queue is busy, not lent to itself.
  queue->sync([&] { EXPECT_FALSE(queue->tryRunHere([&] { ran = true; })); });
  // Work due later does not hold it back.
  queue->after(seconds(60), [&] { ran = true; });
  EXPECT_TRUE(queue->tryRunHere([] {}));
  EXPECT_FALSE(dispatch.mainQueue().tryRunHere([&] { ran = true; }));
  EXPECT_FALSE(ran);
}

// Work handed to the queue while a producer holds it runs once the producer lets go, and a
// synchronous caller gets its turn too: lending the queue must not strand either.
TEST(ThreadDispatch, WorkArrivingWhileTheQueueIsLentRunsAfterIt) {
  ThreadDispatch dispatch;
  auto queue = dispatch.makeSerialQueue("test");
  queue->sync([] {});  // the worker exists and sleeps
  std::atomic<int> ran{0};
  std::atomic<bool> inside{false};
  std::thread syncCaller;
  EXPECT_TRUE(queue->tryRunHere([&] {
    inside = true;
    queue->async([&] { ran.fetch_add(1); });
    syncCaller = std::thread([&] {
      queue->sync([&] {
        EXPECT_FALSE(inside.load());
        ran.fetch_add(1);
      });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    inside = false;
  }));
  syncCaller.join();
  queue->sync([] {});
  EXPECT_EQ(ran.load(), 2);
}

TEST(ThreadDispatch, DelayedWorkRunsAfterItsDelayInDueOrder) {
  ThreadDispatch dispatch;
  auto queue = dispatch.makeSerialQueue("test");
  const auto start = std::chrono::steady_clock::now();
  std::vector<int> order;
  std::atomic<bool> done{false};
  queue->after(seconds(0.05), [&] {
    order.push_back(2);
    done = true;
  });
  queue->after(seconds(0.01), [&] { order.push_back(1); });
  while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  queue->sync([] {});
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(ThreadDispatch, MainLoopRunsMainQueueWorkOnItsThreadUntilStopped) {
  ThreadDispatch dispatch;
  const auto mainThread = std::this_thread::get_id();
  std::thread::id ranOn;
  std::thread([&] {
    dispatch.mainQueue().async([&] {
      ranOn = std::this_thread::get_id();
      dispatch.stopMainLoop();
    });
  }).join();
  dispatch.runMainLoop();
  EXPECT_EQ(ranOn, mainThread);
}

TEST(ThreadDispatch, SemaphoreTimesOutOrTakes) {
  ThreadDispatch dispatch;
  auto semaphore = dispatch.makeSemaphore(0);
  EXPECT_FALSE(semaphore->waitFor(seconds(0.01)));
  std::thread([&] { semaphore->signal(); }).join();
  EXPECT_TRUE(semaphore->waitFor(seconds(5)));
}

TEST(ManualDispatch, NothingRunsUntilTheClockReachesItsTime) {
  ManualDispatch dispatch;
  auto queue = dispatch.makeSerialQueue("q");
  std::vector<std::pair<int, std::int64_t>> ran;
  queue->after(seconds(1.0), [&] { ran.emplace_back(2, dispatch.uptimeNanos()); });
  dispatch.mainQueue().after(seconds(0.5), [&] {
    ran.emplace_back(1, dispatch.uptimeNanos());
    // Work submitted by a task runs within the same advance when it falls due.
    queue->after(seconds(0.25), [&] { ran.emplace_back(3, dispatch.uptimeNanos()); });
  });
  dispatch.advance(seconds(0.49));
  EXPECT_TRUE(ran.empty());
  dispatch.advance(seconds(0.51));
  using P = std::pair<int, std::int64_t>;
  EXPECT_EQ(ran, (std::vector<P>{{1, 500'000'000}, {3, 750'000'000}, {2, 1'000'000'000}}));
  EXPECT_EQ(dispatch.uptimeNanos(), 1'000'000'000);
}

TEST(ManualDispatch, RepeatingTimerFiresEachIntervalUntilCancelled) {
  ManualDispatch dispatch;
  int fired = 0;
  auto timer = std::make_unique<RepeatingTimer>(dispatch.mainQueue(), seconds(2), [&] { ++fired; });
  dispatch.advance(seconds(6.5));
  EXPECT_EQ(fired, 3);
  timer.reset();
  dispatch.advance(seconds(10));
  EXPECT_EQ(fired, 3);
}

TEST(ManualDispatch, SleepingTaskWakesOnlyWhenTheClockPasses) {
  ManualDispatch dispatch;
  std::atomic<std::int64_t> slept{-1};
  dispatch.runTask([&] {
    const auto from = dispatch.uptimeNanos();
    dispatch.sleep(seconds(1));
    slept = dispatch.uptimeNanos() - from;
  });
  for (int i = 0; i < 2000 && slept < 0; ++i) {
    dispatch.advance(seconds(0.01));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(slept.load(), 1'000'000'000);
}

// Tasks that wait on the clock or on a semaphore are settled: nothing moves until the test
// moves the clock or signals, and a signal counts the task it wakes as running at once.
TEST(ManualDispatch, SettledTasksWaitOnTheClockOrASemaphore) {
  ManualDispatch dispatch;
  std::shared_ptr<Semaphore> semaphore = dispatch.makeSemaphore(0);
  std::atomic<int> stage{0};
  dispatch.runTask([&] {
    dispatch.sleep(seconds(1));
    stage = 1;
    semaphore->wait();
    stage = 2;
    throw std::runtime_error("the task's end");
  });
  ASSERT_TRUE(dispatch.settleTasks());
  EXPECT_EQ(stage, 0);
  dispatch.advance(seconds(0.99));
  ASSERT_TRUE(dispatch.settleTasks());
  EXPECT_EQ(stage, 0);
  dispatch.advance(seconds(0.01));
  ASSERT_TRUE(dispatch.settleTasks());
  EXPECT_EQ(stage, 1);
  EXPECT_EQ(dispatch.runningTasks(), 1);
  semaphore->signal();
  ASSERT_TRUE(dispatch.settleTasks());
  EXPECT_EQ(stage, 2);
  EXPECT_EQ(dispatch.runningTasks(), 0);
  const auto failure = dispatch.takeTaskFailure();
  ASSERT_TRUE(failure);
  EXPECT_THROW(std::rethrow_exception(failure), std::runtime_error);
  EXPECT_FALSE(dispatch.takeTaskFailure());
}

}  // namespace
}  // namespace velmor::platform

namespace velmor::platform {
namespace {

// A timed wait follows the manual clock, so that a policy's timeout is tested without waiting.
TEST(ManualDispatch, SemaphoreWaitEndsBySignalOrWhenTheClockPassesItsTimeout) {
  ManualDispatch dispatch;
  auto semaphore = dispatch.makeSemaphore(0);
  std::atomic<int> outcome{-1};
  std::thread waiter([&] { outcome = semaphore->waitFor(seconds(120)) ? 1 : 0; });
  while (dispatch.blockedWaits() == 0) std::this_thread::yield();
  dispatch.advance(seconds(119));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(outcome, -1);
  dispatch.advance(seconds(1));
  waiter.join();
  EXPECT_EQ(outcome, 0);

  std::thread signalled([&] { outcome = semaphore->waitFor(seconds(120)) ? 1 : 0; });
  semaphore->signal();
  signalled.join();
  EXPECT_EQ(outcome, 1);
}

}  // namespace
}  // namespace velmor::platform
