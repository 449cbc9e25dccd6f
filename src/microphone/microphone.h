#pragma once
// Microphone capture: sample conversion, the capture session and its recovery.
#include "microphone/mic_capture.h"
#include "microphone/sample_conversion.h"
