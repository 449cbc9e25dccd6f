#include "platform/shared/sample_backlog.h"

#include <cstring>
#include <mutex>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>

#include "platform/manual/manual_dispatch.h"
#include "platform/threaded/thread_dispatch.h"

namespace velmor::platform {
namespace {

// Mono 16-bit frames numbered 0, 1, 2, ... so that what arrives shows what was kept.
const StreamDescription kMono16{1000, SampleType::signedInteger, 16, 1, true};

struct Collector final : SampleBufferDelegate {
  std::vector<std::int16_t> frames;
  std::vector<std::int64_t> sizes;
  void captureOutput(const SampleBuffer& buffer) override {
    const auto& bytes = dynamic_cast<const MemorySampleBuffer&>(buffer).buffers().at(0);
    const std::size_t before = frames.size();
    frames.resize(before + bytes.size() / 2);
    std::memcpy(frames.data() + before, bytes.data(), bytes.size());
    sizes.push_back(buffer.numSamples());
  }
};

// A backlog of 100 frames delivering to a collector on a manual queue: the consumer runs
// only when the test lets the dispatch run, so "a parent that stopped reading" is a test
// that does not run it.
struct SampleBacklogTest : ::testing::Test {
  ManualDispatch dispatch;
  std::shared_ptr<SerialQueue> queue = dispatch.makeSerialQueue("consumer");
  std::shared_ptr<Collector> collector = std::make_shared<Collector>();
  QueueOutput output;
  std::shared_ptr<DeliveryGate> gate = std::make_shared<DeliveryGate>();
  std::shared_ptr<SampleBacklog> backlog;
  std::int16_t next = 0;

  void SetUp() override {
    output.setSampleBufferDelegate(collector, queue);
    backlog = std::make_shared<SampleBacklog>(kMono16, 100, gate, gate->open());
  }
  bool push(std::size_t frames) {
    std::vector<std::int16_t> samples(frames);
    std::iota(samples.begin(), samples.end(), next);
    next = static_cast<std::int16_t>(next + frames);
    const std::byte* planes[] = {reinterpret_cast<const std::byte*>(samples.data())};
    return backlog->push(planes, frames, output);
  }
  static std::vector<std::int16_t> range(std::int16_t from, std::int16_t to) {
    std::vector<std::int16_t> values(static_cast<std::size_t>(to - from));
    std::iota(values.begin(), values.end(), from);
    return values;
  }
};

TEST_F(SampleBacklogTest, AConsumerThatKeepsUpGetsEachPushAsOneBufferInOrder) {
  for (std::size_t frames : {10u, 7u, 30u}) {
    EXPECT_FALSE(push(frames));
    dispatch.runUntilIdle();
  }
  EXPECT_EQ(collector->sizes, (std::vector<std::int64_t>{10, 7, 30}));
  EXPECT_EQ(collector->frames, range(0, 47));
  EXPECT_EQ(backlog->droppedFrames(), 0u);
}

TEST_F(SampleBacklogTest, AStalledConsumerLosesTheOldestAudioAndIsToldOnce) {
  EXPECT_FALSE(push(60));
  EXPECT_FALSE(push(40));  // exactly full
  EXPECT_TRUE(push(30)) << "dropping begins";
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(push(25)) << "still the same episode";
  EXPECT_EQ(backlog->queuedFrames(), 100u);
  EXPECT_EQ(backlog->droppedFrames(), 130u + 500u - 100u);

  dispatch.runUntilIdle();  // the reader resumes
  EXPECT_EQ(collector->frames, range(530, 630)) << "the newest frames, continuous";
  EXPECT_EQ(collector->sizes, (std::vector<std::int64_t>{25, 25, 25, 25}));

  EXPECT_FALSE(push(100));
  EXPECT_TRUE(push(1)) << "having caught up, a new stall is a new episode";
}

TEST_F(SampleBacklogTest, APushLargerThanTheBacklogKeepsItsNewestFrames) {
  EXPECT_TRUE(push(250));
  dispatch.runUntilIdle();
  EXPECT_EQ(collector->frames, range(150, 250));
}

TEST_F(SampleBacklogTest, NothingOfAClosedRunIsDelivered) {
  push(10);
  gate->closeAndWait();
  push(10);
  dispatch.runUntilIdle();
  EXPECT_TRUE(collector->frames.empty());
  EXPECT_EQ(backlog->queuedFrames(), 0u) << "discarded, not held";
}

TEST_F(SampleBacklogTest, PlanarFramesKeepTheirPlanesApart) {
  const StreamDescription planar{1000, SampleType::signedInteger, 16, 2, false};
  auto stereo = std::make_shared<SampleBacklog>(planar, 4, gate, *gate->current());
  struct Planes final : SampleBufferDelegate {
    std::vector<std::vector<std::byte>> got;
    void captureOutput(const SampleBuffer& buffer) override {
      got = dynamic_cast<const MemorySampleBuffer&>(buffer).buffers();
    }
  };
  auto planes = std::make_shared<Planes>();
  QueueOutput out;
  out.setSampleBufferDelegate(planes, queue);
  const std::int16_t left[] = {1, 2, 3, 4, 5, 6};
  const std::int16_t right[] = {-1, -2, -3, -4, -5, -6};
  const std::byte* both[] = {reinterpret_cast<const std::byte*>(left), reinterpret_cast<const std::byte*>(right)};
  EXPECT_TRUE(stereo->push(both, 6, out));
  dispatch.runUntilIdle();
  ASSERT_EQ(planes->got.size(), 2u);
  std::int16_t l[4], r[4];
  ASSERT_EQ(planes->got[0].size(), sizeof l);
  std::memcpy(l, planes->got[0].data(), sizeof l);
  std::memcpy(r, planes->got[1].data(), sizeof r);
  EXPECT_EQ(std::vector<std::int16_t>(l, l + 4), (std::vector<std::int16_t>{3, 4, 5, 6}));
  EXPECT_EQ(std::vector<std::int16_t>(r, r + 4), (std::vector<std::int16_t>{-3, -4, -5, -6}));
}

// On real threads a push onto an idle consumer queue is delivered on the producer's own
// thread (no hand-over), and a push that finds the queue busy waits its turn behind what is
// queued: either way every frame arrives once, in order.
TEST(SampleBacklogOnThreads, AnIdleConsumerIsServedOnTheProducersThreadAndOrderHolds) {
  struct ThreadCollector final : SampleBufferDelegate {
    std::mutex mutex;
    std::vector<std::int16_t> frames;
    std::vector<std::thread::id> threads;
    void captureOutput(const SampleBuffer& buffer) override {
      const auto& bytes = dynamic_cast<const MemorySampleBuffer&>(buffer).buffers().at(0);
      std::lock_guard lock(mutex);
      const std::size_t before = frames.size();
      frames.resize(before + bytes.size() / 2);
      std::memcpy(frames.data() + before, bytes.data(), bytes.size());
      threads.push_back(std::this_thread::get_id());
    }
  };
  ThreadDispatch dispatch;
  auto queue = dispatch.makeSerialQueue("consumer");
  auto collector = std::make_shared<ThreadCollector>();
  QueueOutput output;
  output.setSampleBufferDelegate(collector, queue);
  auto gate = std::make_shared<DeliveryGate>();
  auto backlog = std::make_shared<SampleBacklog>(kMono16, 1000, gate, gate->open());
  std::int16_t next = 0;
  auto push = [&](std::size_t frames) {
    std::vector<std::int16_t> samples(frames);
    std::iota(samples.begin(), samples.end(), next);
    next = static_cast<std::int16_t>(next + frames);
    const std::byte* planes[] = {reinterpret_cast<const std::byte*>(samples.data())};
    backlog->push(planes, frames, output);
  };

  push(10);
  {
    std::lock_guard lock(collector->mutex);
    ASSERT_EQ(collector->threads.size(), 1u);  // delivered before push returned
    EXPECT_EQ(collector->threads[0], std::this_thread::get_id());
  }
  // The queue is busy: these wait on it, then come in order.
  std::atomic<bool> release{false};
  queue->async([&] {
    while (!release) std::this_thread::yield();
  });
  push(5);
  push(7);
  release = true;
  queue->sync([] {});
  push(3);  // idle again: here
  std::lock_guard lock(collector->mutex);
  EXPECT_EQ(collector->frames, SampleBacklogTest::range(0, 25));
  ASSERT_EQ(collector->threads.size(), 4u);
  EXPECT_NE(collector->threads[1], std::this_thread::get_id());
  EXPECT_EQ(collector->threads[3], std::this_thread::get_id());
}

}  // namespace
}  // namespace velmor::platform
