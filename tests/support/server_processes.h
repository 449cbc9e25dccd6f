#pragma once
// The processes that make up one private sound server, children of the test process: one
// process group, so that they freeze and thaw together; each dies with the test process
// however that ends (PR_SET_PDEATHSIG, which follows the thread that started it: servers
// are started on the test's main thread); stopped in reverse order of starting.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace velmor::testing {

using Environment = std::vector<std::pair<std::string, std::string>>;

class ServerProcesses {
 public:
  ServerProcesses() = default;
  ~ServerProcesses();
  ServerProcesses(const ServerProcesses&) = delete;
  ServerProcesses& operator=(const ServerProcesses&) = delete;

  // Starts `binary` with `args`, the test's environment less what would lead it to another
  // server or session (HOME, XDG_*, PULSE_*, PIPEWIRE_*, DBUS_*, DISPLAY...) plus `env`,
  // standard input from /dev/null and both outputs appended to `logPath`.
  void spawn(const std::string& binary, const std::vector<std::string>& args, const Environment& env,
             const std::string& logPath);

  // Waits until `ready()` holds, polling; throws with the logs if a process exits first or
  // the time runs out.
  void waitUntil(const std::string& what, const std::function<bool()>& ready,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));

  void freeze();
  void thaw();
  // SIGTERM to each, newest first, then SIGKILL to any still running after a grace.
  void stop();
  // SIGKILL to each at once, as a crash would end them, and waits until they are gone.
  void killAll();

 private:
  struct Child {
    pid_t pid;
    std::string name;
    std::string log;
  };
  std::string logs() const;
  std::vector<Child> children_;
  pid_t group_ = 0;
};

// Finds a program in /usr/bin or /bin; throws if it is not installed.
std::string installedProgram(const std::string& name);

// A private session bus's configuration: it listens on DIR/bus, lets every client of it talk
// to every other, and finds services by `serviceDirs` (dbus-daemon's elements; empty: none).
std::string sessionBusConfig(const std::string& dir, const std::string& serviceDirs);

// True when a unix stream socket at `path` accepts a connection.
bool acceptsConnections(const std::string& path);

}  // namespace velmor::testing
