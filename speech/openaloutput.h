#pragma once
#include <memory>

#include "speech/audiooutput.h"

// Plays through OpenAL Soft (on this system usually into PulseAudio). Each
// stream is a decoder and one OpenAL source, fed a few short buffers ahead by
// one feeder thread, so a stream keeps sounding while the user-interface thread
// is busy, and starting a long file costs no more than a short one.
std::unique_ptr<AudioOutput> MakeOpenAlOutput();
