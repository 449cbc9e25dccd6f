#pragma once
// Which applications are recording from an audio input right now, by application
// identifier: the hardware's process objects that run audio input, each named once.
#include <string>
#include <vector>

#include "platform/audio_hardware.h"

namespace velmor {

// The process objects; every failure gives the empty list. Entries that the list read left
// unfilled stay 0.
std::vector<platform::AudioObjectId> audioProcesses(platform::AudioHardware& hardware);

// The identifiers of the processes running audio input: none empty, canonically
// equivalent spellings once (the first seen), ordered by Unicode scalar values after
// canonical composition. Never fails: an unreadable process drops out.
std::vector<std::string> appsHoldingMicrophone(platform::AudioHardware& hardware);

// Two lists of identifiers hold canonically equivalent texts at every position.
bool sameApps(const std::vector<std::string>& a, const std::vector<std::string>& b);

}  // namespace velmor
