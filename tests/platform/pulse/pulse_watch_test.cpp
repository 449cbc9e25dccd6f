// The microphone watch against a private server: recording clients come and go, pause,
// record only what the speakers play, or are another velmor-audio; each change is in the
// next line, under the client's own identifier.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/pulse/pulse_processes.h"
#include "support/audio_server.h"
#include "support/subprocess.h"

extern char** environ;

namespace velmor {
namespace {

using testing::AudioServer;
using testing::ProcessOptions;
using testing::ProcessResult;

std::unique_ptr<AudioServer> startServer(testing::ServerKind kind) {
  auto server = AudioServer::start(kind);
  server->addSpeakers("speakers");
  server->addMicrophone(testing::Microphone{"mic", "Desk Mic", {{"device.bus", "usb"}}});
  server->setDefaultSource("mic");
  return server;
}

// A client process that runs until the object goes; its output is thrown away.
class Child {
 public:
  Child(const std::string& binary, const std::vector<std::string>& args, const AudioServer& server) {
    std::vector<std::string> argStore{binary};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    const auto overrides = server.clientEnvironment();
    for (char** e = environ; *e; ++e) {
      const std::string entry(*e);
      const bool replaced = std::any_of(overrides.begin(), overrides.end(),
                                        [&](const auto& kv) { return entry.rfind(kv.first + "=", 0) == 0; });
      if (!replaced) envStore.push_back(entry);
    }
    for (const auto& [k, v] : overrides) envStore.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2})
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_GT(pid_, 0) << "cannot start " << binary;
  }
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// A recording client of our own, so that the test can pause (cork) its stream.
class CorkableRecorder {
 public:
  CorkableRecorder(const AudioServer& server, const std::string& source, const std::string& applicationId) {
    loop_ = pa_threaded_mainloop_new();
    pa_threaded_mainloop_start(loop_);
    pa_threaded_mainloop_lock(loop_);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, applicationId.c_str());
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "corkable", properties);
    pa_proplist_free(properties);
    pa_context_set_state_callback(
        context_,
        [](pa_context*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
        loop_);
    pa_context_connect(context_, server.address().c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr);
    while (pa_context_get_state(context_) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
      pa_threaded_mainloop_wait(loop_);
    }
    const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, 16000, 1};
    stream_ = pa_stream_new(context_, "corkable recording", &sampleSpec, nullptr);
    pa_stream_set_state_callback(
        stream_,
        [](pa_stream*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
        loop_);
    pa_stream_set_read_callback(
        stream_,
        [](pa_stream* s, std::size_t, void*) {
          const void* data = nullptr;
          std::size_t bytes = 0;
          while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0)
            pa_stream_drop(s);
        },
        nullptr);
    pa_stream_connect_record(stream_, source.c_str(), nullptr, PA_STREAM_NOFLAGS);
    while (pa_stream_get_state(stream_) != PA_STREAM_READY && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
      pa_threaded_mainloop_wait(loop_);
    }
    ready_ = pa_stream_get_state(stream_) == PA_STREAM_READY;
    pa_threaded_mainloop_unlock(loop_);
    EXPECT_TRUE(ready_) << "the test's own recording client did not start";
  }
  ~CorkableRecorder() {
    pa_threaded_mainloop_lock(loop_);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }
  CorkableRecorder(const CorkableRecorder&) = delete;
  CorkableRecorder& operator=(const CorkableRecorder&) = delete;

  // Returns once the server has paused (or resumed) the stream.
  void cork(bool paused) {
    pa_threaded_mainloop_lock(loop_);
    pa_operation* operation = pa_stream_cork(
        stream_, paused ? 1 : 0,
        [](pa_stream*, int, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
        loop_);
    while (operation && pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop_);
    if (operation) pa_operation_unref(operation);
    pa_threaded_mainloop_unlock(loop_);
  }

 private:
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  bool ready_ = false;
};

// Waits until the server lists `count` recording streams.
void awaitStreams(const AudioServer& server, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.pactlJson({"list", "source-outputs"}).size() != count) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the server never had " << count << " recording streams";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string watchLine(const std::vector<std::string>& apps) {
  return nlohmann::json{{"type", "mic"}, {"apps", apps}}.dump() + "\n";
}

// What parecord calls itself: the binary behind the name (pacat, on Debian).
std::string parecordBinary() { return std::filesystem::canonical("/usr/bin/parecord").filename().string(); }

class PulseWatch : public ::testing::TestWithParam<testing::ServerKind> {};
INSTANTIATE_TEST_SUITE_P(, PulseWatch, ::testing::ValuesIn(testing::kServerKinds), testing::serverTestName);

TEST_P(PulseWatch, EachRecordingClientIsInTheNextLineUnderItsOwnIdentifier) {
  const auto started = startServer(GetParam());
  const AudioServer& server = *started;
  // Records only what the speakers play, from before the start to the end: never listed.
  Child systemRecorder(
      "/usr/bin/parecord",
      {"--device=speakers.monitor", "--property=application.id=org.example.SystemRecorder", "/dev/null"}, server);
  awaitStreams(server, 1);

  std::unique_ptr<CorkableRecorder> corkable;
  std::unique_ptr<Child> parecord;
  std::unique_ptr<Child> secondVelmor;
  std::size_t handled = 0;
  ProcessOptions options;
  options.args = {"--watch"};
  for (const auto& [k, v] : server.clientEnvironment()) options.env[k] = v;
  options.timeout = std::chrono::seconds(60);
  // One change after each line, made complete on the server before the next look.
  options.signalWhen = [&](const std::string& out, const std::string&) {
    const auto lines = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    for (; handled < lines; ++handled) {
      switch (handled) {
        case 0: corkable = std::make_unique<CorkableRecorder>(server, "mic", "org.example.Corkable"); break;
        case 1:
          parecord = std::make_unique<Child>("/usr/bin/parecord", std::vector<std::string>{"--device=mic", "/dev/null"},
                                             server);
          awaitStreams(server, 3);
          break;
        case 2: corkable->cork(true); break;
        case 3:
          parecord->stop();
          awaitStreams(server, 2);
          break;
        case 4:
          secondVelmor = std::make_unique<Child>(VELMOR_AUDIO_BINARY, std::vector<std::string>{"--mic", "mic"}, server);
          awaitStreams(server, 3);
          break;
        default: return SIGTERM;
      }
    }
    return 0;
  };
  const ProcessResult result = runProcess(VELMOR_AUDIO_BINARY, options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stderrBytes, "");
  const std::string binary = parecordBinary();
  EXPECT_EQ(result.stdoutBytes, watchLine({}) + watchLine({"org.example.Corkable"}) +
                                    watchLine({"org.example.Corkable", binary}) + watchLine({binary}) + watchLine({}) +
                                    watchLine({"velmor-audio"}));
}

TEST(PulseWatchWithoutServer, NoServerIsNobodyRecording) {
  ProcessOptions options;
  options.args = {"--watch"};
  options.env["PULSE_SERVER"] = "unix:/nonexistent/velmor/native";
  options.signalWhen = [](const std::string& out, const std::string&) { return out.empty() ? 0 : SIGTERM; };
  const ProcessResult result = runProcess(VELMOR_AUDIO_BINARY, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stdoutBytes, watchLine({}));
  EXPECT_EQ(result.stderrBytes, "");
}

struct IdentifierCase {
  std::vector<std::pair<const char*, const char*>> properties;
  std::optional<std::string> identifier;
};

TEST(PulseClientIdentifier, PrefersTheApplicationIdThenFlatpaksThenTheBinary) {
  const std::vector<IdentifierCase> table{
      {{{"application.id", "org.gnome.Cheese"},
        {"pipewire.access.portal.app_id", "org.flatpak.App"},
        {"application.process.binary", "cheese"}},
       "org.gnome.Cheese"},
      {{{"pipewire.access.portal.app_id", "com.slack.Slack"}, {"application.process.binary", "slack"}},
       "com.slack.Slack"},
      {{{"application.id", ""}, {"pipewire.access.portal.app_id", ""}, {"application.process.binary", "zoom"}}, "zoom"},
      {{{"application.name", "Zoom Meetings"}}, std::nullopt},
      {{}, std::nullopt}};
  for (const auto& row : table) {
    pa_proplist* properties = pa_proplist_new();
    for (const auto& [key, value] : row.properties) pa_proplist_sets(properties, key, value);
    EXPECT_EQ(platform::pulse::applicationIdOf(properties), row.identifier);
    pa_proplist_free(properties);
  }
  EXPECT_EQ(platform::pulse::applicationIdOf(nullptr), std::nullopt);
}

}  // namespace
}  // namespace velmor
