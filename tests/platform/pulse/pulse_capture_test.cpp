// The capture layer against a private server: devices by name and by default, the formats
// a session records in, exact samples on the delegate's queue, the end of deliveries, and
// the notifications for a removed source, a killed stream and a lost connection.
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/pulse/pulse_fixtures.h"
#include "platform/pulse/pulse_platform.h"
#include "platform/pulse/pulse_server.h"

namespace velmor {
namespace {

using platform::CaptureDevice;
using platform::CaptureNotification;
using platform::CaptureSession;
using platform::PlatformError;
using platform::SampleType;
using platform::StreamDescription;
using testing::NotificationLog;
using testing::Recorder;

const char* kSources = R"(
load-module module-null-sink sink_name=speakers
load-module module-pipe-source source_name=pipe_mic file=@DIR@/mic.fifo format=s16le rate=48000 channels=1
load-module module-sine-source source_name=sine_mic rate=48000 frequency=440
update-source-proplist sine_mic device.description="Sine Mic"
load-module module-null-source source_name=f32_mic format=float32le rate=48000 channels=1
load-module module-null-source source_name=s16_mic format=s16le rate=44100 channels=2
load-module module-null-source source_name=s24_mic format=s24le rate=32000 channels=2
load-module module-null-source source_name=s32_mic format=s32le rate=44100 channels=3
load-module module-null-source source_name=u8_mic format=u8 rate=8000 channels=1
load-module module-null-source source_name=s16be_mic format=s16be rate=22050 channels=2
set-default-source sine_mic
)";

class PulseCapture : public ::testing::Test {
 protected:
  PulseCapture() : server_(kSources) {
    setenv("PULSE_SERVER", server_.address().c_str(), 1);
    pulse_ = std::make_unique<platform::pulse::PulsePlatform>();
  }
  ~PulseCapture() override {
    pulse_.reset();
    unsetenv("PULSE_SERVER");
  }

  platform::CaptureSystem& capture() { return pulse_->platform().capture; }

  struct Run {
    std::shared_ptr<platform::SerialQueue> queue;  // the delegate's
    std::shared_ptr<CaptureDevice> device;
    std::shared_ptr<CaptureSession> session;
    std::shared_ptr<Recorder> recorder;
  };

  // A running session on the named source, recording into a fresh delegate.
  Run start(const std::string& uid) {
    Run run;
    auto found = capture().deviceWithUniqueID(uid);
    if (!found) {
      ADD_FAILURE() << uid << " was not found: " << found.error().description;
      return run;
    }
    run.device = found.value();
    auto made = capture().makeInput(run.device);
    if (!made) {
      ADD_FAILURE() << uid << ": " << made.error().description;
      return run;
    }
    auto input = made.value();
    run.session = capture().makeSession();
    run.session->beginConfiguration();
    EXPECT_TRUE(run.session->canAddInput(*input));
    run.session->addInput(input);
    auto output = capture().makeAudioDataOutput();
    run.queue = pulse_->platform().dispatch.makeSerialQueue("test.delegate");
    run.recorder = std::make_shared<Recorder>(run.queue);
    output->setSampleBufferDelegate(run.recorder, run.queue);
    EXPECT_TRUE(run.session->canAddOutput(*output));
    run.session->addOutput(output);
    run.session->commitConfiguration();
    EXPECT_TRUE(run.session->startRunning().ok());
    return run;
  }

  void unloadModuleOf(const std::string& source) {
    for (const auto& entry : server_.pactlJson({"list", "sources"})) {
      if (entry.at("name") == source) {
        server_.pactl({"unload-module", std::to_string(entry.at("owner_module").get<int>())});
        return;
      }
    }
    ADD_FAILURE() << "no source " << source;
  }

  // Waits a little for anything further, so that "exactly one" means it.
  static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }

  // Records from the sine microphone, has the server cut it with `command` on the object
  // of `kind` that this process owns, and checks that exactly one runtime error with the
  // server's text follows. Returns the run and how many buffers had arrived by then.
  std::pair<Run, std::size_t> cutByServer(const std::string& kind, const std::string& command,
                                          const std::string& errorText) {
    Run run = start("sine_mic");
    if (!run.session) return {std::move(run), 0};
    NotificationLog log(capture());
    log.watch(run.session.get());
    log.watch(run.device.get());
    EXPECT_TRUE(run.recorder->waitForBuffers(2));

    const long long object = testing::ownedBy(server_.pactlJson({"list", kind}), getpid());
    EXPECT_GE(object, 0);
    server_.command(command + " " + std::to_string(object));
    EXPECT_TRUE(log.waitForCount(1));
    const std::size_t delivered = run.recorder->count();
    settle();
    const auto entries = log.entries();
    EXPECT_EQ(entries.size(), 1u);
    if (!entries.empty()) {
      EXPECT_EQ(entries[0].name, CaptureNotification::sessionRuntimeError);
      EXPECT_EQ(entries[0].object, run.session.get());
      EXPECT_TRUE(entries[0].error);
      if (entries[0].error) {
        EXPECT_EQ(entries[0].error->domain, "pulse");
        EXPECT_EQ(entries[0].error->description, errorText);
      }
    }
    return {std::move(run), delivered};
  }

  testing::PulseServer server_;
  std::unique_ptr<platform::pulse::PulsePlatform> pulse_;
};

TEST_F(PulseCapture, DevicesAreSourcesByNameOrTheDefaultOneObjectEach) {
  auto sine = capture().defaultAudioDevice().valueOr(nullptr);
  ASSERT_NE(sine, nullptr);
  EXPECT_EQ(sine->uniqueID(), "sine_mic");
  EXPECT_EQ(sine->localizedName(), "Sine Mic");
  EXPECT_EQ(capture().deviceWithUniqueID("sine_mic").valueOr(nullptr), sine)
      << "one object per source while it is held";

  auto s16 = capture().deviceWithUniqueID("s16_mic").valueOr(nullptr);
  ASSERT_NE(s16, nullptr);
  EXPECT_EQ(s16->localizedName(), "Null Input");
  EXPECT_FALSE(capture().deviceWithUniqueID("speakers.monitor").ok());
  EXPECT_FALSE(capture().deviceWithUniqueID("no_such_mic").ok());

  server_.pactl({"set-default-source", "speakers.monitor"});
  EXPECT_FALSE(capture().defaultAudioDevice().ok()) << "a monitor is no microphone";
}

TEST_F(PulseCapture, ASourceGoneBeforeRecordingCannotBeOpened) {
  auto device = capture().deviceWithUniqueID("s24_mic").valueOr(nullptr);
  ASSERT_NE(device, nullptr);
  auto input = capture().makeInput(device).valueOr(nullptr);
  ASSERT_NE(input, nullptr);
  unloadModuleOf("s24_mic");

  EXPECT_FALSE(capture().makeSession()->canAddInput(*input));
  auto late = capture().makeInput(device);
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.error().domain, "pulse");
  EXPECT_EQ(late.error().description, "Null Input is no longer available");
}

TEST_F(PulseCapture, RecordsInTheSourcesOwnFormatInShortBuffersOnTheDelegatesQueue) {
  struct Case {
    const char* uid;
    StreamDescription expected;
  };
  const Case cases[] = {
      {"f32_mic", {48000, SampleType::floatingPoint, 32, 1, true}},
      {"s16_mic", {44100, SampleType::signedInteger, 16, 2, true}},
      {"s24_mic", {32000, SampleType::signedInteger, 24, 2, true}},
      {"s32_mic", {44100, SampleType::signedInteger, 32, 3, true}},
      // Formats the program does not read come as 32-bit float at the source's rate.
      {"u8_mic", {8000, SampleType::floatingPoint, 32, 1, true}},
      {"s16be_mic", {22050, SampleType::floatingPoint, 32, 2, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uid);
    Run run = start(c.uid);
    ASSERT_TRUE(run.recorder);
    ASSERT_TRUE(run.recorder->waitForBuffers(5));
    run.session->stopRunning();
    for (const auto& delivery : run.recorder->deliveries()) {
      EXPECT_EQ(delivery.description, c.expected);
      EXPECT_GT(delivery.frames, 0);
      // About 10 ms each; left to itself the server would hand over seconds at a time.
      EXPECT_LE(delivery.frames, static_cast<std::int64_t>(c.expected.sampleRate / 10));
    }
    EXPECT_TRUE(run.recorder->allOnQueue());
  }
}

TEST_F(PulseCapture, DeliversTheSourcesSamplesExactlyAndInOrder) {
  Run run = start("pipe_mic");
  ASSERT_TRUE(run.recorder);
  const std::string tone = testing::sineS16(997, 0.6, 48000, 24000);
  testing::FifoWriter writer(server_.dir() + "/mic.fifo", tone);
  EXPECT_TRUE(run.recorder->waitForBytes(tone.size()));
  run.session->stopRunning();
  EXPECT_TRUE(run.recorder->bytes() == tone) << run.recorder->bytes().size() << " bytes delivered";
  EXPECT_TRUE(run.recorder->allOnQueue());
}

TEST_F(PulseCapture, NothingIsDeliveredOnceStopRunningHasReturned) {
  Run run = start("f32_mic");  // a buffer every 10 ms
  ASSERT_TRUE(run.recorder);
  // Slow deliveries: buffers queue up, and stop comes while one is under way.
  run.recorder->setDeliveryDelay(std::chrono::milliseconds(20));
  ASSERT_TRUE(run.recorder->waitForBuffers(3));
  ASSERT_TRUE(run.recorder->waitUntilDelivering());
  run.session->stopRunning();
  EXPECT_FALSE(run.recorder->delivering());
  const std::size_t delivered = run.recorder->count();
  settle();
  EXPECT_EQ(run.recorder->count(), delivered);
}

TEST_F(PulseCapture, RemovingTheSourceReportsOneDisconnectionPerDeviceAndNoError) {
  Run run = start("pipe_mic");
  ASSERT_TRUE(run.session);
  auto idle = capture().deviceWithUniqueID("s16_mic").valueOr(nullptr);  // held, not recording
  NotificationLog log(capture());
  log.watch(run.session.get());
  log.watch(run.device.get());
  log.watch(idle.get());
  {
    testing::FifoWriter writer(server_.dir() + "/mic.fifo", testing::sineS16(440, 0.5, 48000, 4800));
    ASSERT_TRUE(run.recorder->waitForBuffers(1));
  }

  unloadModuleOf("pipe_mic");
  ASSERT_TRUE(log.waitForCount(1));
  settle();
  auto entries = log.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, CaptureNotification::deviceWasDisconnected);
  EXPECT_EQ(entries[0].object, run.device.get());
  // The stream ended with its source rather than moving on to record another one.
  EXPECT_EQ(testing::ownedBy(server_.pactlJson({"list", "source-outputs"}), getpid()), -1);

  unloadModuleOf("s16_mic");
  ASSERT_TRUE(log.waitForCount(2));
  settle();
  entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].name, CaptureNotification::deviceWasDisconnected);
  EXPECT_EQ(entries[1].object, idle.get());
}

TEST_F(PulseCapture, AStreamKilledByTheServerIsOneRuntimeErrorAndDeliveriesStop) {
  auto [run, delivered] = cutByServer("source-outputs", "kill-source-output", "Entity killed");
  ASSERT_TRUE(run.recorder);
  EXPECT_EQ(run.recorder->count(), delivered);
}

TEST_F(PulseCapture, ALostConnectionIsOneRuntimeErrorAndTheNextSessionReconnects) {
  Run run = cutByServer("clients", "kill-client", "Connection terminated").first;
  ASSERT_TRUE(run.session);
  run.session->stopRunning();

  Run again = start("sine_mic");
  ASSERT_TRUE(again.recorder);
  EXPECT_TRUE(again.recorder->waitForBuffers(3));
}

}  // namespace
}  // namespace velmor
