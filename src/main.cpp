// velmor-audio: the shipped binary, on the Linux platform.
#include "app/entry.h"
#include "platform/posix/posix_process.h"
#include "platform/pulse/pulse_platform.h"

int main(int argc, char** argv) {
  velmor::platform::PosixSignals::blockInThisThread();
  static velmor::platform::pulse::PulsePlatform platform;
  velmor::runProgram(platform.platform(), std::vector<std::string>(argv, argv + argc));
}
