#include "support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace velmor::testing {

std::vector<nlohmann::json> ProcessResult::events() const {
  std::vector<nlohmann::json> parsed;
  std::istringstream lines(stderrBytes);
  std::string line;
  while (std::getline(lines, line)) parsed.push_back(nlohmann::json::parse(line));
  return parsed;
}

ProcessResult runProcess(const std::string& binary, const ProcessOptions& options) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

  std::vector<std::string> argStore{binary};
  argStore.insert(argStore.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> envMap;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos) envMap[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : options.env) envMap[k] = v;
  std::vector<std::string> envStore;
  for (const auto& [k, v] : envMap) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  if ((options.stdoutPipeBytes > 0 && fcntl(out[0], F_SETPIPE_SZ, options.stdoutPipeBytes) < 0) ||
      (options.stderrPipeBytes > 0 && fcntl(err[0], F_SETPIPE_SZ, options.stderrPipeBytes) < 0)) {
    throw std::runtime_error("F_SETPIPE_SZ");
  }

  // A child inherits an ignored SIGPIPE; any other disposition starts at the default.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  if (!options.sigpipeIgnored) sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  struct sigaction previous {};
  if (options.sigpipeIgnored) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, binary.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (options.sigpipeIgnored) sigaction(SIGPIPE, &previous, nullptr);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(out[0]);
    close(err[0]);
    throw std::runtime_error("cannot start " + binary);
  }

  ProcessResult result;
  bool signalled = false;
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + options.timeout;
  pollfd fds[2] = {{options.readStdout ? out[0] : -1, POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = options.readStdout ? 2 : 1;
  // A slow reader's pipe stays out of poll(), which would otherwise wake at once while it is full.
  int slowFd = -1;
  if (options.readEvery && options.readStdout) std::swap(slowFd, fds[0].fd);
  auto nextRead = started;
  while (open > 0) {
    if (options.closeStdoutAfter && fds[0].fd >= 0 && result.stdoutBytes.size() >= *options.closeStdoutAfter) {
      close(fds[0].fd);
      fds[0].fd = -1;
      --open;
    }
    // poll() skips a negative descriptor: a stalled pipe stays open and unread.
    const auto since = std::chrono::steady_clock::now() - started;
    const auto stalled = [&](const ProcessOptions::Stall& stall) {
      return since >= stall.start && since < stall.start + stall.length;
    };
    if (options.stdoutStall && fds[0].fd != -1) fds[0].fd = stalled(*options.stdoutStall) ? -2 - out[0] : out[0];
    if (options.stderrStall && fds[1].fd != -1) fds[1].fd = stalled(*options.stderrStall) ? -2 - err[0] : err[0];
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 100))) < 0) continue;
    if (slowFd >= 0 && std::chrono::steady_clock::now() >= nextRead) {
      // What is waiting now, then nothing until the next turn.
      nextRead += *options.readEvery;
      const auto turnEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
      while (std::chrono::steady_clock::now() < turnEnd) {
        pollfd waiting{slowFd, POLLIN, 0};
        if (poll(&waiting, 1, 5) <= 0 || !(waiting.revents & (POLLIN | POLLHUP))) break;
        char chunk[65536];
        const ssize_t got = read(slowFd, chunk, sizeof chunk);
        if (got <= 0) {
          close(slowFd);
          slowFd = -1;
          --open;
          break;
        }
        result.stdoutBytes.append(chunk, static_cast<std::size_t>(got));
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char chunk[65536];
      const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      (i == 0 ? result.stdoutBytes : result.stderrBytes).append(chunk, static_cast<std::size_t>(got));
    }
    if (!signalled && options.inspect) options.inspect(pid);
    if (!signalled && options.signalWhen) {
      if (const int sig = options.signalWhen(result.stdoutBytes, result.stderrBytes)) {
        kill(pid, sig);
        signalled = true;
      }
    }
  }
  if (slowFd >= 0) close(slowFd);
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
    if (fd.fd < -1) close(-2 - fd.fd);
  }
  if (!options.readStdout) close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  return result;
}

std::string simBinary() { return VELMOR_SIM_BINARY; }

std::string writeScenario(const nlohmann::json& scenario) {
  char path[] = "/tmp/velmor-scenario-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp");
  close(fd);
  std::ofstream(path) << scenario.dump();
  return path;
}

std::vector<std::int16_t> pcmSamples(const std::string& bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto lo = static_cast<std::uint8_t>(bytes[2 * i]);
    const auto hi = static_cast<std::uint8_t>(bytes[2 * i + 1]);
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
  }
  return samples;
}

}  // namespace velmor::testing
