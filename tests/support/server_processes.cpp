#include "support/server_processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velmor::testing {
namespace {

// Variables that would point a server at the user's own session, server or configuration.
bool inheritable(const std::string& entry) {
  for (const char* prefix : {"HOME=", "XDG_", "PULSE_", "PIPEWIRE_", "WIREPLUMBER_", "DBUS_",
                             "DISPLAY=", "WAYLAND_DISPLAY=", "JACK_", "SPA_"}) {
    if (entry.rfind(prefix, 0) == 0) return false;
  }
  return true;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace

std::string sessionBusConfig(const std::string& dir, const std::string& serviceDirs) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
         dir + R"(/bus</listen>
  <auth>EXTERNAL</auth>
  )" + serviceDirs +
         R"(
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

std::string installedProgram(const std::string& name) {
  for (const char* dir : {"/usr/bin/", "/bin/"}) {
    const std::string path = dir + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  throw std::runtime_error(name + " is not installed: run scripts/install-deps.sh");
}

bool acceptsConnections(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

ServerProcesses::~ServerProcesses() { stop(); }

void ServerProcesses::spawn(const std::string& binary, const std::vector<std::string>& args, const Environment& env,
                            const std::string& logPath) {
  // Everything the child needs is made before fork: after it, only calls safe there.
  std::vector<std::string> argStore{binary};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    if (inheritable(*e)) envStore.emplace_back(*e);
  }
  for (const auto& [key, value] : env) envStore.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (log < 0 || null < 0) {
    if (log >= 0) close(log);
    if (null >= 0) close(null);
    throw std::runtime_error("cannot open " + logPath);
  }
  const pid_t parent = getpid();
  const pid_t group = group_;

  const pid_t pid = fork();
  if (pid == 0) {
    // Dies with the test process, however that ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    setpgid(0, group);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(log);
  close(null);
  if (pid < 0) throw std::runtime_error("fork");
  // Also here, so that the group exists before any signal is sent to it.
  setpgid(pid, group ? group : pid);
  if (!group_) group_ = pid;
  children_.push_back({pid, binary.substr(binary.rfind('/') + 1), logPath});
}

std::string ServerProcesses::logs() const {
  std::string text;
  std::vector<std::string> seen;
  for (const auto& child : children_) {
    if (std::find(seen.begin(), seen.end(), child.log) != seen.end()) continue;
    seen.push_back(child.log);
    text += "---- " + child.log + "\n" + readFile(child.log);
  }
  return text;
}

void ServerProcesses::waitUntil(const std::string& what, const std::function<bool()>& ready,
                                std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!ready()) {
    for (auto& child : children_) {
      int status = 0;
      if (child.pid > 0 && waitpid(child.pid, &status, WNOHANG) == child.pid) {
        const std::string name = child.name;
        child.pid = -1;
        throw std::runtime_error(name + " exited while waiting for " + what + ":\n" + logs());
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("timed out waiting for " + what + ":\n" + logs());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ServerProcesses::freeze() {
  if (group_) kill(-group_, SIGSTOP);
}

void ServerProcesses::thaw() {
  if (group_) kill(-group_, SIGCONT);
}

void ServerProcesses::stop() {
  thaw();
  for (auto child = children_.rbegin(); child != children_.rend(); ++child) {
    if (child->pid <= 0) continue;
    kill(child->pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(child->pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(child->pid, SIGKILL);
        waitpid(child->pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    child->pid = -1;
  }
  children_.clear();
  group_ = 0;
}

void ServerProcesses::killAll() {
  thaw();
  for (const auto& child : children_) {
    if (child.pid > 0) kill(child.pid, SIGKILL);
  }
  for (const auto& child : children_) {
    int status = 0;
    if (child.pid > 0) waitpid(child.pid, &status, 0);
  }
  children_.clear();
  group_ = 0;
}

}  // namespace velmor::testing
