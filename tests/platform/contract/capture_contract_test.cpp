// What the capture layer promises, checked alike in every world it runs in: the simulated
// world, and the sound-server backend on a private PulseAudio server and on a private
// PipeWire server. Policy tests run on the simulated world, so every promise they rely on
// must hold there exactly as it holds against a real server.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "support/capture_fixtures.h"
#include "world_driver.h"

namespace velmor::testing {
namespace {

using platform::CaptureNotification;
using platform::CaptureNotificationInfo;
using platform::CaptureSession;
using platform::SampleType;
using platform::StreamDescription;

// The format every microphone here records in; the desk microphone has two channels.
StreamDescription recordedFormat(unsigned channels) { return {48000, SampleType::signedInteger, 16, channels, true}; }

// Waits a little for anything further, so that "exactly one" means it.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }

template <class World>
class CaptureContract : public ::testing::Test {
 protected:
  CaptureContract() {
    world_.addMicrophone("desk_mic", "Desk Mic", 2);
    world_.addMicrophone("usb_mic", "USB Mic", 1);
    world_.setDefaultMicrophone("desk_mic");
  }

  platform::CaptureSystem& capture() { return world_.capture(); }

  struct Run {
    std::shared_ptr<platform::SerialQueue> queue;  // the delegate's
    std::shared_ptr<platform::CaptureDevice> device;
    std::shared_ptr<CaptureSession> session;
    std::shared_ptr<Recorder> recorder;
  };

  // A running session on the microphone, recording into a fresh delegate.
  Run start(const std::string& uid) {
    Run run;
    auto found = capture().deviceWithUniqueID(uid);
    if (!found) {
      ADD_FAILURE() << uid << " was not found: " << found.error().description;
      return run;
    }
    run.device = found.value();
    auto input = capture().makeInput(run.device);
    if (!input) {
      ADD_FAILURE() << uid << ": " << input.error().description;
      return run;
    }
    run.session = capture().makeSession();
    run.session->beginConfiguration();
    EXPECT_TRUE(run.session->canAddInput(*input.value()));
    run.session->addInput(input.value());
    auto output = capture().makeAudioDataOutput();
    run.queue = world_.dispatch().makeSerialQueue("contract.delegate");
    run.recorder = std::make_shared<Recorder>(run.queue);
    output->setSampleBufferDelegate(run.recorder, run.queue);
    EXPECT_TRUE(run.session->canAddOutput(*output));
    run.session->addOutput(output);
    run.session->commitConfiguration();
    const platform::Status started = run.session->startRunning();
    EXPECT_TRUE(started.ok()) << uid << ": " << (started.ok() ? "" : started.error().description);
    return run;
  }

  // Has the world end the recording with `cut` and checks that exactly one runtime error
  // follows, for the session, and that no delivery begins after it but the one under way.
  void expectOneRuntimeError(Run& run, void (WorldDriver::*cut)()) {
    NotificationLog log(capture());
    log.watch(run.session.get());
    log.watch(run.device.get());
    ASSERT_TRUE(run.recorder->waitForBuffers(2));
    (world_.*cut)();
    ASSERT_TRUE(log.waitForCount(1));
    const std::size_t begun = run.recorder->begun();
    settle();
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, CaptureNotification::sessionRuntimeError);
    EXPECT_EQ(entries[0].object, run.session.get());
    EXPECT_TRUE(entries[0].error);
    EXPECT_LE(run.recorder->begun(), begun + 1);
  }

  World world_;
};

TYPED_TEST_SUITE(CaptureContract, Worlds, WorldNames);

TYPED_TEST(CaptureContract, DeliversBuffersOnTheDelegatesQueueInTheDevicesFormat) {
  auto run = this->start("desk_mic");
  ASSERT_TRUE(run.recorder);
  ASSERT_TRUE(run.recorder->waitForBuffers(5));
  run.session->stopRunning();
  for (const auto& delivery : run.recorder->deliveries()) {
    EXPECT_EQ(delivery.description, recordedFormat(2));
    EXPECT_GT(delivery.frames, 0);
  }
  EXPECT_TRUE(run.recorder->allOnQueue());
}

TYPED_TEST(CaptureContract, DeliversNothingOnceStopRunningHasReturnedEvenWithADeliveryUnderWay) {
  auto run = this->start("desk_mic");
  ASSERT_TRUE(run.recorder);
  // Slow deliveries: buffers queue up, and stop comes while one is under way.
  run.recorder->setDeliveryDelay(std::chrono::milliseconds(20));
  ASSERT_TRUE(run.recorder->waitForBuffers(3));
  ASSERT_TRUE(run.recorder->waitUntilDelivering());
  run.session->stopRunning();
  EXPECT_FALSE(run.recorder->delivering());
  const std::size_t begun = run.recorder->begun();
  settle();
  EXPECT_EQ(run.recorder->begun(), begun);
}

TYPED_TEST(CaptureContract, OneDeviceObjectPerDeviceWhileItIsHeld) {
  auto desk = this->capture().deviceWithUniqueID("desk_mic");
  ASSERT_TRUE(desk.ok());
  EXPECT_EQ(desk.value()->uniqueID(), "desk_mic");
  EXPECT_EQ(desk.value()->localizedName(), "Desk Mic");
  EXPECT_EQ(this->capture().deviceWithUniqueID("desk_mic").valueOr(nullptr), desk.value());
  EXPECT_EQ(this->capture().defaultAudioDevice().valueOr(nullptr), desk.value());
  EXPECT_NE(this->capture().deviceWithUniqueID("usb_mic").valueOr(nullptr), desk.value());
  EXPECT_FALSE(this->capture().deviceWithUniqueID("no_such_mic").ok());
}

// Two sessions record the microphone and another one is held idle: each removal is one
// disconnection for each device object, no runtime error, and the sessions go quiet.
TYPED_TEST(CaptureContract, ARemovedDeviceIsOneDisconnectionPerDeviceObjectAndEndsItsSessions) {
  auto first = this->start("desk_mic");
  auto second = this->start("desk_mic");
  ASSERT_TRUE(first.recorder && second.recorder);
  ASSERT_EQ(first.device, second.device);
  auto idle = this->capture().deviceWithUniqueID("usb_mic").valueOr(nullptr);
  ASSERT_TRUE(idle);
  NotificationLog log(this->capture());
  for (const void* object :
       {static_cast<const void*>(first.session.get()), static_cast<const void*>(second.session.get()),
        static_cast<const void*>(first.device.get()), static_cast<const void*>(idle.get())}) {
    log.watch(object);
  }
  ASSERT_TRUE(first.recorder->waitForBuffers(2));
  ASSERT_TRUE(second.recorder->waitForBuffers(2));

  this->world_.removeMicrophone("desk_mic");
  ASSERT_TRUE(log.waitForCount(1));
  const std::size_t firstBegun = first.recorder->begun();
  const std::size_t secondBegun = second.recorder->begun();
  settle();
  auto entries = log.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, CaptureNotification::deviceWasDisconnected);
  EXPECT_EQ(entries[0].object, first.device.get());
  EXPECT_LE(first.recorder->begun(), firstBegun + 1);
  EXPECT_LE(second.recorder->begun(), secondBegun + 1);

  this->world_.removeMicrophone("usb_mic");
  ASSERT_TRUE(log.waitForCount(2));
  settle();
  entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].name, CaptureNotification::deviceWasDisconnected);
  EXPECT_EQ(entries[1].object, idle.get());
}

TYPED_TEST(CaptureContract, AKilledStreamIsOneRuntimeErrorAndDeliveriesStop) {
  auto run = this->start("desk_mic");
  ASSERT_TRUE(run.recorder);
  this->expectOneRuntimeError(run, &WorldDriver::killStreams);
}

TYPED_TEST(CaptureContract, ALostConnectionIsOneRuntimeErrorAndTheNextSessionRecords) {
  auto run = this->start("desk_mic");
  ASSERT_TRUE(run.recorder);
  this->expectOneRuntimeError(run, &WorldDriver::dropConnection);
  run.session->stopRunning();

  auto again = this->start("desk_mic");
  ASSERT_TRUE(again.recorder);
  EXPECT_TRUE(again.recorder->waitForBuffers(3));
}

// A session that cannot start says so when asked, and posts nothing.
TYPED_TEST(CaptureContract, ASessionWhoseDeviceIsGoneFailsToStartAndPostsNothing) {
  auto device = this->capture().deviceWithUniqueID("usb_mic").valueOr(nullptr);
  ASSERT_TRUE(device);
  auto input = this->capture().makeInput(device).valueOr(nullptr);
  ASSERT_TRUE(input);
  auto session = this->capture().makeSession();
  session->beginConfiguration();
  session->addInput(input);
  session->addOutput(this->capture().makeAudioDataOutput());
  session->commitConfiguration();
  NotificationLog log(this->capture());
  log.watch(session.get());
  this->world_.removeMicrophone("usb_mic");

  EXPECT_FALSE(this->capture().makeInput(device).ok());
  EXPECT_FALSE(session->startRunning().ok());
  settle();
  EXPECT_TRUE(log.entries().empty());
}

// Removed before the event, or by an observer that runs before it in the same post: either
// way an observer is not called once its removal has returned.
TYPED_TEST(CaptureContract, ARemovedObserverIsNeverCalled) {
  auto device = this->capture().deviceWithUniqueID("usb_mic").valueOr(nullptr);
  ASSERT_TRUE(device);
  auto& capture = this->capture();
  const auto name = CaptureNotification::deviceWasDisconnected;
  std::atomic<int> removedEarlyCalls{0};
  std::atomic<int> removedLateCalls{0};
  std::atomic<bool> remover{false};
  const auto early =
      capture.addObserver(name, device.get(), [&](const CaptureNotificationInfo&) { ++removedEarlyCalls; });
  platform::ObserverToken late = 0;
  const auto first = capture.addObserver(name, device.get(), [&](const CaptureNotificationInfo&) {
    capture.removeObserver(late);
    remover = true;
  });
  late = capture.addObserver(name, device.get(), [&](const CaptureNotificationInfo&) { ++removedLateCalls; });
  NotificationLog log(capture);  // observes after all of them: its entry means they have had their turn
  log.watch(device.get());
  capture.removeObserver(early);

  this->world_.removeMicrophone("usb_mic");
  ASSERT_TRUE(log.waitForCount(1));
  EXPECT_TRUE(remover);
  EXPECT_EQ(removedEarlyCalls, 0);
  EXPECT_EQ(removedLateCalls, 0);
  capture.removeObserver(first);
}

// An observer may call back into the capture layer and the hardware: it runs on none of
// the threads that acted (the test's, the world's event thread) and inside none of the
// backend's locks. A deadlock here fails the test by its timeout.
TYPED_TEST(CaptureContract, NotificationsComeOffTheActingThreadAndOutsideTheBackendsLocks) {
  struct Case {
    const char* uid;
    CaptureNotification name;
    bool postedBySession;  // else by the device
    std::function<void(WorldDriver&)> act;
  };
  const Case cases[] = {
      {"desk_mic", CaptureNotification::sessionRuntimeError, true, [](WorldDriver& world) { world.killStreams(); }},
      {"usb_mic", CaptureNotification::deviceWasDisconnected, false,
       [](WorldDriver& world) { world.removeMicrophone("usb_mic"); }},
  };
  auto& capture = this->capture();
  auto& hardware = this->world_.hardware();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uid);
    auto run = this->start(c.uid);
    ASSERT_TRUE(run.recorder);
    ASSERT_TRUE(run.recorder->waitForBuffers(2));
    struct Seen {
      std::mutex mutex;
      std::condition_variable changed;
      int calls = 0;
      std::thread::id thread;
      bool readsWorked = false;
    };
    auto seen = std::make_shared<Seen>();
    auto token = std::make_shared<std::atomic<platform::ObserverToken>>(0);
    // It stops the session, reads devices and removes itself, as a program's observer would;
    // like one, it does not own the session (a block must never hold the last reference to
    // what owns the queue it runs on).
    const void* object = c.postedBySession ? static_cast<const void*>(run.session.get()) : run.device.get();
    const std::weak_ptr<CaptureSession> weak = run.session;
    token->store(
        capture.addObserver(c.name, object, [&capture, &hardware, seen, token, weak](const CaptureNotificationInfo&) {
          if (auto session = weak.lock()) session->stopRunning();
          const bool reads = capture.deviceWithUniqueID("desk_mic").ok() && hardware.deviceListSize().ok();
          capture.removeObserver(token->load());
          std::lock_guard lock(seen->mutex);
          ++seen->calls;
          seen->thread = std::this_thread::get_id();
          seen->readsWorked = reads;
          seen->changed.notify_all();
        }));

    c.act(this->world_);
    std::unique_lock lock(seen->mutex);
    ASSERT_TRUE(seen->changed.wait_for(lock, kWait, [&] { return seen->calls > 0; }));
    EXPECT_NE(seen->thread, std::this_thread::get_id());
    EXPECT_TRUE(seen->readsWorked);
  }
}

}  // namespace
}  // namespace velmor::testing
