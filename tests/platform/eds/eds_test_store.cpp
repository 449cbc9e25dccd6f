#include "platform/eds/eds_test_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "support/server_processes.h"

extern char** environ;

namespace velmor::testing {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string busConfig(const std::string& dir, bool withServices) {
  return sessionBusConfig(
      dir, withServices ? "<standard_session_servicedirs/>" : "<servicedir>" + dir + "/no-services</servicedir>");
}

struct ProcessInfo {
  pid_t pid;
  pid_t group;
  char state;
  std::string command;  // the command line, NULs as spaces
};

std::vector<ProcessInfo> allProcesses() {
  std::vector<ProcessInfo> list;
  DIR* proc = opendir("/proc");
  if (!proc) return list;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    ProcessInfo info{pid, 0, stat[close + 2], readFile("/proc/" + std::to_string(pid) + "/cmdline")};
    // After the state: ppid, then the process group.
    int ppid = 0, group = 0;
    if (std::sscanf(stat.c_str() + close + 4, "%d %d", &ppid, &group) != 2) continue;
    info.group = group;
    for (char& c : info.command) {
      if (c == '\0') c = ' ';
    }
    list.push_back(std::move(info));
  }
  closedir(proc);
  return list;
}

std::string baseName(const std::string& command) {
  const std::string first = command.substr(0, command.find(' '));
  return first.substr(first.rfind('/') + 1);
}

}  // namespace

std::vector<pid_t> processesMentioning(const std::string& dir) {
  std::vector<pid_t> pids;
  for (const auto& info : allProcesses()) {
    if (info.state == 'Z') continue;
    const std::string environment = readFile("/proc/" + std::to_string(info.pid) + "/environ");
    if (info.command.find(dir) != std::string::npos || environment.find(dir) != std::string::npos) {
      pids.push_back(info.pid);
    }
  }
  return pids;
}

EdsTestStore::EdsTestStore() {
  // The bus starts the services detached from it; they become the test's children, to be
  // reaped when stopped, instead of zombies of whatever adopts orphans here.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  char pattern[] = "/tmp/velmor-eds-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
  dir_ = pattern;
  for (const char* sub : {"/home", "/data", "/config", "/cache", "/runtime", "/no-services"}) {
    std::filesystem::create_directories(dir_ + sub);
  }
  std::filesystem::permissions(dir_ + "/runtime", std::filesystem::perms::owner_all);
}

EdsTestStore::~EdsTestStore() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void EdsTestStore::writeCalendar(const std::string& uid, const std::string& ics) {
  const std::string folder = uid == "system-calendar" ? "system" : uid;
  writeFile(dir_ + "/data/evolution/calendar/" + folder + "/calendar.ics", ics);
}

void EdsTestStore::writeSource(const std::string& uid, const std::string& keyFile) {
  writeFile(dir_ + "/config/evolution/sources/" + uid + ".source", keyFile);
}

std::map<std::string, std::string> EdsTestStore::environment() const {
  return {{"HOME", dir_ + "/home"},
          {"XDG_DATA_HOME", dir_ + "/data"},
          {"XDG_CONFIG_HOME", dir_ + "/config"},
          {"XDG_CACHE_HOME", dir_ + "/cache"},
          {"XDG_RUNTIME_DIR", dir_ + "/runtime"},
          {"GSETTINGS_BACKEND", "memory"},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_ + "/bus"}};
}

void EdsTestStore::start(bool withServices) {
  writeFile(dir_ + "/bus.conf", busConfig(dir_, withServices));
  const std::string daemon = installedProgram("dbus-daemon");
  std::vector<std::string> args{daemon, "--config-file=" + dir_ + "/bus.conf", "--nofork", "--nopidfile", "--nosyslog"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The services inherit the bus's environment: the temporary home, and nothing of the
  // user's session.
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool own = false;
    for (const char* prefix : {"HOME=", "XDG_", "DBUS_", "GSETTINGS_", "DISPLAY=", "WAYLAND_DISPLAY="}) {
      own = own || entry.rfind(prefix, 0) == 0;
    }
    if (!own) envStore.push_back(entry);
  }
  for (const auto& [key, value] : environment()) envStore.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string logPath = dir_ + "/bus.log";
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // with the bus, its services go too
    if (getppid() != parent) _exit(127);
    setpgid(0, 0);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    execve(daemon.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(log);
  close(null);
  if (pid < 0) throw std::runtime_error("fork");
  setpgid(pid, pid);
  bus_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!acceptsConnections(dir_ + "/bus")) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      bus_ = 0;
      throw std::runtime_error("dbus-daemon exited:\n" + readFile(logPath));
    }
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no bus:\n" + readFile(logPath));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<pid_t> EdsTestStore::processes(const std::string& name) const {
  std::vector<pid_t> pids;
  if (!bus_) return pids;
  for (const auto& info : allProcesses()) {
    if (info.group != bus_ || info.state == 'Z') continue;
    if (name.empty() || baseName(info.command) == name) pids.push_back(info.pid);
  }
  return pids;
}

void EdsTestStore::stop() {
  if (!bus_) return;
  const pid_t group = bus_;
  kill(-group, SIGCONT);  // a frozen service must be able to die
  kill(-group, SIGTERM);
  const auto reap = [group] {
    // The bus, and the services this process adopted.
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!processes().empty() && std::chrono::steady_clock::now() < deadline) {
    reap();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!processes().empty()) {
    kill(-group, SIGKILL);
    const auto killDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!processes().empty() && std::chrono::steady_clock::now() < killDeadline) {
      reap();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  reap();
  EXPECT_EQ(processes().size(), 0u) << "processes of the store outlived it";
  bus_ = 0;
  // Nothing started with this home may outlive the store, whatever its group.
  EXPECT_EQ(processesMentioning(dir_).size(), 0u);
}

}  // namespace velmor::testing
