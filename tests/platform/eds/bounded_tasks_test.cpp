// Calls bounded by a deadline: results in order, a call that never returns given up and
// cancelled while the others keep theirs, and a call that throws.
#include "platform/eds/bounded_tasks.h"

#include <atomic>
#include <future>
#include <stdexcept>

#include <gtest/gtest.h>

namespace velmor::platform::eds {
namespace {

using namespace std::chrono_literals;

TEST(BoundedTasks, ResultsComeInTheTasksOrderWhateverOrderTheyFinishIn) {
  std::vector<BoundedTask<int>> tasks;
  for (int i = 0; i < 4; ++i) {
    tasks.push_back({[i] {
                       std::this_thread::sleep_for(std::chrono::milliseconds(40 * (3 - i)));
                       return i * 10;
                     },
                     nullptr});
  }
  const auto results = runWithin(std::move(tasks), 10s);
  ASSERT_EQ(results.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(results[i], std::optional<int>(i * 10));
  EXPECT_TRUE(runWithin(std::vector<BoundedTask<int>>{}, 10s).empty());
}

TEST(BoundedTasks, ACallThatDoesNotReturnIsCancelledAndLeftBehind) {
  auto release = std::make_shared<std::promise<void>>();
  auto finished = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  std::atomic<int> cancels{0};
  std::vector<BoundedTask<std::string>> tasks{
      {[] { return std::string("quick"); }, [&] { ++cancels; }},
      // Returns only when the test says so, long after the deadline; its late result must
      // go nowhere.
      {[released, finished] {
         released.wait();
         finished->set_value();
         return std::string("late");
       },
       [&] { ++cancels; }},
      {[]() -> std::string { throw std::runtime_error("broken"); }, [&] { ++cancels; }},
  };
  const auto started = std::chrono::steady_clock::now();
  const auto results = runWithin(std::move(tasks), 200ms);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0], std::optional<std::string>("quick"));
  EXPECT_EQ(results[1], std::nullopt);
  EXPECT_EQ(results[2], std::nullopt);
  EXPECT_EQ(cancels, 1);  // only the one still running
  auto done = finished->get_future();
  release->set_value();
  EXPECT_EQ(done.wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace velmor::platform::eds
