// velmor-audio: the shipped binary, on the Linux platform.
#include "control/entry.h"
#include "platform/pulse/pulse_platform.h"

int main(int argc, char** argv) {
  static velmor::platform::pulse::PulsePlatform platform;
  velmor::runProgram(platform.platform(), std::vector<std::string>(argv, argv + argc));
}
