#include "platform/pulse/pulse_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "support/subprocess.h"

extern char** environ;

namespace velmor::testing {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(20);

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string findPactl() {
  for (const char* path : {"/usr/bin/pactl", "/bin/pactl"}) {
    if (access(path, X_OK) == 0) return path;
  }
  throw std::runtime_error("pactl is not installed");
}

}  // namespace

PulseServer::PulseServer(const std::string& script) {
  char dirTemplate[] = "/tmp/velmor-pulse-XXXXXX";
  if (!mkdtemp(dirTemplate)) throw std::runtime_error("mkdtemp");
  dir_ = dirTemplate;
  {
    std::ofstream config(dir_ + "/server.pa");
    config << "load-module module-native-protocol-unix socket=" << dir_ << "/native auth-anonymous=1\n"
           << "load-module module-cli-protocol-unix socket=" << dir_ << "/cli\n"
           << replaceAll(script, "@DIR@", dir_) << "\n";
  }

  // Everything the child needs is made before fork: after it, only exec-safe calls.
  std::vector<std::string> args{"pulseaudio",
                                "-n",
                                "-F",
                                dir_ + "/server.pa",
                                "--daemonize=no",
                                "--exit-idle-time=-1",
                                "--disallow-exit",
                                "--system=false",
                                "--disable-shm",
                                "--use-pid-file=no",
                                "--log-target=file:" + dir_ + "/server.log"};
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_RUNTIME_DIR=", 0) == 0 || entry.rfind("PULSE_", 0) == 0 ||
        entry.rfind("DBUS_", 0) == 0) {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("HOME=" + dir_);
  env.push_back("XDG_RUNTIME_DIR=" + dir_);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string binary = "/usr/bin/pulseaudio";
  const pid_t parent = getpid();

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    // Dies with the test process, however that ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }

  // Ready once it answers a client: every module of the script is loaded by then.
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  for (;;) {
    ProcessOptions options;
    options.args = {"info"};
    for (const auto& [k, v] : clientEnvironment()) options.env[k] = v;
    options.timeout = std::chrono::seconds(5);
    if (runProcess(findPactl(), options).status == 0) break;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::ifstream log(dir_ + "/server.log");
      const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
      throw std::runtime_error("pulseaudio exited while starting:\n" + text);
    }
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("pulseaudio did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

PulseServer::~PulseServer() {
  if (pid_ > 0) {
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::pair<std::string, std::string>> PulseServer::clientEnvironment() const {
  return {{"PULSE_SERVER", address()}, {"HOME", dir_}};
}

std::string PulseServer::pactl(const std::vector<std::string>& args) const {
  ProcessOptions options;
  options.args = args;
  for (const auto& [k, v] : clientEnvironment()) options.env[k] = v;
  options.timeout = std::chrono::seconds(10);
  const ProcessResult result = runProcess(findPactl(), options);
  std::string command = "pactl";
  for (const auto& a : args) command += " " + a;
  EXPECT_EQ(result.status, 0) << command << ": " << result.stderrBytes;
  return result.stdoutBytes;
}

nlohmann::json PulseServer::pactlJson(const std::vector<std::string>& args) const {
  std::vector<std::string> all{"-f", "json"};
  all.insert(all.end(), args.begin(), args.end());
  return nlohmann::json::parse(pactl(all));
}

void PulseServer::command(const std::string& line) const {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir_ + "/cli";
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    FAIL() << "cannot reach the server's command socket";
  }
  const std::string text = line + "\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  shutdown(fd, SHUT_WR);  // the server answers, then closes at the end of its input
  std::string reply;
  pollfd readable{fd, POLLIN, 0};
  while (poll(&readable, 1, 10000) > 0) {
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) break;
    reply.append(chunk, static_cast<std::size_t>(got));
  }
  close(fd);
  // A welcome line and prompts; anything else is the command's complaint.
  if (reply.rfind("Welcome", 0) == 0) reply.erase(0, reply.find('\n') + 1);
  for (std::size_t at = reply.find(">>> "); at != std::string::npos; at = reply.find(">>> ")) reply.erase(at, 4);
  EXPECT_EQ(reply, "") << line;
}

std::map<std::string, std::string> PulseServer::sourceDescriptions() const {
  std::map<std::string, std::string> found;
  std::istringstream lines(pactl({"list", "sources"}));
  std::string line;
  std::string name;
  while (std::getline(lines, line)) {
    const auto text = line.find_first_not_of('\t');
    if (text == std::string::npos) continue;
    if (line.compare(text, 6, "Name: ") == 0) name = line.substr(text + 6);
    if (line.compare(text, 13, "Description: ") == 0) found[name] = line.substr(text + 13);
  }
  return found;
}

void PulseServer::pause() { kill(pid_, SIGSTOP); }
void PulseServer::resume() { kill(pid_, SIGCONT); }

long long ownedBy(const nlohmann::json& list, pid_t pid) {
  for (const auto& entry : list) {
    const auto& properties = entry.at("properties");
    if (properties.value("application.process.id", "") == std::to_string(pid))
      return entry.at("index").get<long long>();
  }
  return -1;
}

}  // namespace velmor::testing
