#pragma once
// Command and control: the command line, control events, the entry point and its modes.
#include "control/arguments.h"
#include "control/control_channel.h"
#include "control/entry.h"
#include "control/program.h"
