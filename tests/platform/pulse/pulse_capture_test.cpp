// The capture layer against a private server: devices by name and by default, the formats
// a session records in, exact samples on the delegate's queue, the end of deliveries, and
// the notifications for a removed source, a killed stream and a lost connection.
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/pulse/pulse_platform.h"
#include "support/audio_server.h"
#include "support/capture_fixtures.h"

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

// Silent microphones in the formats a session records in.
struct FormatCase {
  testing::Microphone microphone;
  StreamDescription expected;
};
const FormatCase kFormats[] = {
    {{"f32_mic", "", {}, false, "float32le", 48000, 1, true}, {48000, SampleType::floatingPoint, 32, 1, true}},
    {{"s16_mic", "", {}, false, "s16le", 44100, 2, true}, {44100, SampleType::signedInteger, 16, 2, true}},
    {{"s24_mic", "", {}, false, "s24le", 32000, 2, true}, {32000, SampleType::signedInteger, 24, 2, true}},
    {{"s32_mic", "", {}, false, "s32le", 44100, 3, true}, {44100, SampleType::signedInteger, 32, 3, true}},
    // Formats the program does not read come as 32-bit float at the source's rate.
    {{"u8_mic", "", {}, false, "u8", 8000, 1, true}, {8000, SampleType::floatingPoint, 32, 1, true}},
    {{"s16be_mic", "", {}, false, "s16be", 22050, 2, true}, {22050, SampleType::floatingPoint, 32, 2, true}},
};

class PulseCapture : public ::testing::TestWithParam<testing::ServerKind> {
 protected:
  PulseCapture() : server_(testing::AudioServer::start(GetParam())) {
    server_->addSpeakers("speakers");
    server_->addMicrophone({"pipe_mic", "", {}, true, "s16le", 48000, 1});
    // Silent, and delivering in real time for as long as it is recorded.
    server_->addMicrophone({"desk_mic", "Desk Mic", {}, false, "float32le", 48000, 1});
    for (const FormatCase& c : kFormats) server_->addMicrophone(c.microphone);
    server_->setDefaultSource("desk_mic");
    setenv("PULSE_SERVER", server_->address().c_str(), 1);
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

  // Waits a little for anything further, so that "exactly one" means it.
  static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }

  // Records from the desk microphone, has the server cut it with `cut` on the object of
  // `kind` that this process owns, and checks that exactly one runtime error with the
  // server's text follows. Returns the run and how many buffers had arrived by then.
  std::pair<Run, std::size_t> cutByServer(const std::string& kind, void (testing::AudioServer::*cut)(long long),
                                          const std::string& errorText) {
    Run run = start("desk_mic");
    if (!run.session) return {std::move(run), 0};
    NotificationLog log(capture());
    log.watch(run.session.get());
    log.watch(run.device.get());
    EXPECT_TRUE(run.recorder->waitForBuffers(2));

    const long long object = testing::ownedBy(server_->pactlJson({"list", kind}), getpid());
    EXPECT_GE(object, 0);
    ((*server_).*cut)(object);
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

  std::unique_ptr<testing::AudioServer> server_;
  std::unique_ptr<platform::pulse::PulsePlatform> pulse_;
};

INSTANTIATE_TEST_SUITE_P(, PulseCapture, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

TEST_P(PulseCapture, DevicesAreSourcesByNameOrTheDefaultOneObjectEach) {
  auto desk = capture().defaultAudioDevice().valueOr(nullptr);
  ASSERT_NE(desk, nullptr);
  EXPECT_EQ(desk->uniqueID(), "desk_mic");
  EXPECT_EQ(desk->localizedName(), "Desk Mic");
  EXPECT_EQ(capture().deviceWithUniqueID("desk_mic").valueOr(nullptr), desk)
      << "one object per source while it is held";

  auto s16 = capture().deviceWithUniqueID("s16_mic").valueOr(nullptr);
  ASSERT_NE(s16, nullptr);
  // Without a description of its own: the one the server gave it.
  EXPECT_EQ(s16->localizedName(), server_->sourceDescriptions().at("s16_mic"));
  EXPECT_FALSE(capture().deviceWithUniqueID("speakers.monitor").ok());
  EXPECT_FALSE(capture().deviceWithUniqueID("no_such_mic").ok());

  server_->setDefaultSource("speakers.monitor");
  EXPECT_FALSE(capture().defaultAudioDevice().ok()) << "a monitor is no microphone";
}

TEST_P(PulseCapture, ASourceGoneBeforeRecordingCannotBeOpened) {
  auto device = capture().deviceWithUniqueID("s24_mic").valueOr(nullptr);
  ASSERT_NE(device, nullptr);
  const std::string description = server_->sourceDescriptions().at("s24_mic");
  auto input = capture().makeInput(device).valueOr(nullptr);
  ASSERT_NE(input, nullptr);
  server_->removeSource("s24_mic");

  EXPECT_FALSE(capture().makeSession()->canAddInput(*input));
  auto late = capture().makeInput(device);
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.error().domain, "pulse");
  EXPECT_EQ(late.error().description, description + " is no longer available");
}

TEST_P(PulseCapture, RecordsInTheSourcesOwnFormatInShortBuffersOnTheDelegatesQueue) {
  for (const FormatCase& c : kFormats) {
    const std::string& uid = c.microphone.name;
    SCOPED_TRACE(uid);
    Run run = start(uid);
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

TEST_P(PulseCapture, DeliversTheSourcesSamplesExactlyAndInOrder) {
  Run run = start("pipe_mic");
  ASSERT_TRUE(run.recorder);
  const std::string tone = testing::sineS16(997, 0.6, 48000, 24000);
  // PipeWire's pipe source reads whole periods: silence behind the tone pushes its last
  // partial period through. It delivers silence, too, while nothing is written.
  testing::FifoWriter writer(server_->fifo("pipe_mic"), tone + std::string(9600, '\0'));
  const std::string_view audible = testing::withoutSilence(tone, 2);
  EXPECT_TRUE(run.recorder->waitForBytesWhere(
      [&](const std::string& bytes) { return testing::withoutSilence(bytes, 2).size() >= audible.size(); }));
  run.session->stopRunning();
  const std::string delivered = run.recorder->bytes();
  EXPECT_TRUE(testing::withoutSilence(delivered, 2) == audible) << delivered.size() << " bytes delivered";
  EXPECT_TRUE(run.recorder->allOnQueue());
}

TEST_P(PulseCapture, NothingIsDeliveredOnceStopRunningHasReturned) {
  Run run = start("desk_mic");  // a buffer every few ms
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

TEST_P(PulseCapture, RemovingTheSourceReportsOneDisconnectionPerDeviceAndNoError) {
  Run run = start("pipe_mic");
  ASSERT_TRUE(run.session);
  auto idle = capture().deviceWithUniqueID("s16_mic").valueOr(nullptr);  // held, not recording
  NotificationLog log(capture());
  log.watch(run.session.get());
  log.watch(run.device.get());
  log.watch(idle.get());
  {
    testing::FifoWriter writer(server_->fifo("pipe_mic"), testing::sineS16(440, 0.5, 48000, 4800));
    ASSERT_TRUE(run.recorder->waitForBuffers(1));
  }

  server_->removeSource("pipe_mic");
  ASSERT_TRUE(log.waitForCount(1));
  settle();
  auto entries = log.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, CaptureNotification::deviceWasDisconnected);
  EXPECT_EQ(entries[0].object, run.device.get());
  // The stream ended with its source rather than moving on to record another one.
  EXPECT_EQ(testing::ownedBy(server_->pactlJson({"list", "source-outputs"}), getpid()), -1);

  server_->removeSource("s16_mic");
  ASSERT_TRUE(log.waitForCount(2));
  settle();
  entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].name, CaptureNotification::deviceWasDisconnected);
  EXPECT_EQ(entries[1].object, idle.get());
}

TEST_P(PulseCapture, AStreamKilledByTheServerIsOneRuntimeErrorAndDeliveriesStop) {
  auto [run, delivered] = cutByServer("source-outputs", &testing::AudioServer::killSourceOutput, "Entity killed");
  ASSERT_TRUE(run.recorder);
  EXPECT_EQ(run.recorder->count(), delivered);
}

TEST_P(PulseCapture, ALostConnectionIsOneRuntimeErrorAndTheNextSessionReconnects) {
  Run run = cutByServer("clients", &testing::AudioServer::killClient, "Connection terminated").first;
  ASSERT_TRUE(run.session);
  run.session->stopRunning();

  Run again = start("desk_mic");
  ASSERT_TRUE(again.recorder);
  EXPECT_TRUE(again.recorder->waitForBuffers(3));
}

}  // namespace
}  // namespace velmor
