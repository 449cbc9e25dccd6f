#include "support/pulse_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

namespace velmor::testing {

PulseServer::PulseServer() : AudioServer(ServerKind::pulseAudio, "pulse") {
  {
    std::ofstream config(dir() + "/server.pa");
    config << "load-module module-native-protocol-unix socket=" << socketPath() << " auth-anonymous=1\n"
           << "load-module module-cli-protocol-unix socket=" << dir() << "/cli\n";
  }
  launch();
}

void PulseServer::launch() {
  // A killed server leaves its sockets behind; the new one replaces them.
  const auto started = std::chrono::steady_clock::now();
  // No session bus, no user configuration, no shared memory: nothing outside its directory.
  processes_.spawn(installedProgram("pulseaudio"),
                   {"-n", "-F", dir() + "/server.pa", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                    "--system=false", "--disable-shm", "--use-pid-file=no", "--log-target=stderr"},
                   {{"HOME", dir()}, {"XDG_RUNTIME_DIR", dir()}}, dir() + "/server.log");
  waitForClients(started);
}

void PulseServer::addSilentMicrophone(const Microphone& microphone) {
  pactl({"load-module", "module-null-source", "source_name=" + microphone.name, "format=" + microphone.format,
         "rate=" + std::to_string(microphone.rate), "channels=" + std::to_string(microphone.channels)});
  // The null source takes no properties when it is made: they are set on it afterwards.
  const std::string properties = propertyList(microphone.description, microphone.properties);
  if (!properties.empty()) command("update-source-proplist " + microphone.name + " " + properties);
}

bool PulseServer::renameSource(const std::string& name, const std::string& description) {
  command("update-source-proplist " + name + " device.description=\"" + description + "\"");
  return true;
}

void PulseServer::command(const std::string& line) const {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir() + "/cli";
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

}  // namespace velmor::testing
