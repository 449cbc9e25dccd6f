// The access word where there is no store to read, and the program's other modes where its
// libraries are missing: a machine without the calendar store still lists, captures and
// watches, and capture loads none of the store's libraries.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/eds/eds_test_store.h"
#include "support/audio_server.h"
#include "support/subprocess.h"

extern char** environ;

namespace velmor {
namespace {

using testing::AudioServer;
using testing::EdsTestStore;
using testing::Microphone;
using testing::ProcessOptions;
using testing::ProcessResult;
using testing::ServerKind;

const nlohmann::json kRestricted{{"type", "events"}, {"access", "restricted"}, {"events", nlohmann::json::array()}};

ProcessResult run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
  ProcessOptions options;
  options.args = args;
  options.env = env;
  options.timeout = std::chrono::seconds(60);
  return runProcess(VELMOR_AUDIO_BINARY, options);
}

// The store's libraries made unloadable; AddressSanitizer must then accept a library
// loaded before its own.
std::map<std::string, std::string> withoutLibraries(std::map<std::string, std::string> env) {
  env["LD_PRELOAD"] = VELMOR_HIDE_LIBRARIES;
  const char* asan = std::getenv("ASAN_OPTIONS");
  env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
  return env;
}

void expectRestricted(const ProcessResult& result, const std::string& why) {
  ASSERT_FALSE(result.timedOut) << why;
  EXPECT_EQ(result.status, 0) << why;
  EXPECT_EQ(result.stderrBytes, "") << why;
  EXPECT_EQ(nlohmann::json::parse(result.stdoutBytes), kRestricted) << why;
}

TEST(EdsAccess, WithoutAStoreToReachAccessIsRestrictedAndNobodyIsAsked) {
  char pattern[] = "/tmp/velmor-nobus-XXXXXX";
  ASSERT_TRUE(mkdtemp(pattern));
  const std::string runtime = pattern;
  const std::map<std::string, std::string> noBus{{"DBUS_SESSION_BUS_ADDRESS", ""}, {"XDG_RUNTIME_DIR", runtime}};
  for (const auto& args : std::vector<std::vector<std::string>>{{"--events"}, {"--events", "--ask"}}) {
    expectRestricted(run(args, noBus), "no session bus");
  }
  expectRestricted(run({"--events"}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime + "/gone"}}),
                   "a bus address where no bus listens");
  rmdir(runtime.c_str());

  EdsTestStore bare;
  bare.start(/*withServices=*/false);
  expectRestricted(run({"--events", "--ask"}, bare.environment()), "a bus on which the store is not installed");

  EdsTestStore store;
  store.start();
  expectRestricted(run({"--events"}, withoutLibraries(store.environment())), "the libraries missing");
}

// A store that stops answering costs the read its bound, not the program its life.
TEST(EdsAccess, AStoreThatStopsAnsweringIsGivenUpInBoundedTime) {
  EdsTestStore store;
  store.start();
  const ProcessResult first = run({"--events"}, store.environment());  // starts the services
  ASSERT_EQ(first.status, 0) << first.stderrBytes;
  const auto factories = store.processes("evolution-calendar-factory");
  ASSERT_EQ(factories.size(), 1u);

  kill(factories[0], SIGSTOP);
  const ProcessResult frozen = run({"--events"}, store.environment());
  kill(factories[0], SIGCONT);
  ASSERT_FALSE(frozen.timedOut);
  EXPECT_EQ(frozen.status, 1);
  EXPECT_EQ(frozen.stdoutBytes, "");
  const auto errors = frozen.events();
  ASSERT_EQ(errors.size(), 1u) << frozen.stderrBytes;
  const std::string message = errors[0]["message"];
  EXPECT_EQ(message.rfind("the calendar could not be read: ", 0), 0u) << message;
  EXPECT_NE(message.find("\"Personal\" (system-calendar): did not answer within 10 s"), std::string::npos) << message;

  const auto registries = store.processes("evolution-source-registry");
  ASSERT_EQ(registries.size(), 1u);
  kill(registries[0], SIGSTOP);
  const ProcessResult unreachable = run({"--events"}, store.environment());
  kill(registries[0], SIGCONT);
  expectRestricted(unreachable, "a registry that does not answer");
}

// Starts the program with its standard output thrown away and its standard error in a file.
struct Running {
  pid_t pid = -1;
  std::string errPath;

  Running(const std::vector<std::string>& args, const std::map<std::string, std::string>& env, const std::string& dir) {
    errPath = dir + "/velmor.err";
    std::vector<std::string> argStore{VELMOR_AUDIO_BINARY};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      merged[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    }
    for (const auto& [key, value] : env) merged[key] = value;
    std::vector<std::string> envStore;
    for (const auto& [key, value] : merged) envStore.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid = fork();
    if (pid == 0) {
      dup2(out, 1);
      dup2(err, 2);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out);
    close(err);
  }
  ~Running() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  std::string stderrText() const {
    std::ifstream file(errPath);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }
  bool waitFor(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (stderrText().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  std::string maps() const {
    std::ifstream file("/proc/" + std::to_string(pid) + "/maps");
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }
  int stop() {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

bool loadsCalendarLibraries(const std::string& maps) {
  for (const char* library : {"libecal", "libedataserver", "libical", "libglib", "libgobject", "libgio"}) {
    if (maps.find(library) != std::string::npos) return true;
  }
  return false;
}

// Lists, captures and watches without the store's libraries; capture does not load them
// where they are installed either.
TEST(EdsAccess, OtherModesNeedNoCalendarLibraries) {
  const auto server = AudioServer::start(ServerKind::pulseAudio);
  server->addMicrophone(Microphone{"desk_mic", "Desk Mic", {}});
  server->setDefaultSource("desk_mic");
  std::map<std::string, std::string> env;
  for (const auto& [key, value] : server->clientEnvironment()) env[key] = value;

  for (const bool hidden : {true, false}) {
    const auto modeEnv = hidden ? withoutLibraries(env) : env;
    const std::string which = hidden ? "without the libraries" : "with the libraries";

    const ProcessResult listing = run({"--list-devices"}, modeEnv);
    EXPECT_EQ(listing.status, 0) << which;
    EXPECT_NE(listing.stdoutBytes.find("\"desk_mic\""), std::string::npos) << which << ": " << listing.stdoutBytes;

    Running capture({"--mic", "default"}, modeEnv, server->dir());
    ASSERT_TRUE(capture.waitFor("\"ready\"")) << which << ": " << capture.stderrText();
    EXPECT_FALSE(loadsCalendarLibraries(capture.maps())) << which;
    EXPECT_EQ(capture.stop(), 0) << which;

    Running watch({"--watch"}, modeEnv, server->dir());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(loadsCalendarLibraries(watch.maps())) << which;
    EXPECT_EQ(watch.stop(), 0) << which;
    EXPECT_EQ(watch.stderrText(), "") << which;
  }
}

}  // namespace
}  // namespace velmor
