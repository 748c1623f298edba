#pragma once
#include <memory>
#include <string>

#include "speech/audiooutput.h"

// Plays through the sound server (PulseAudio, or PipeWire's PulseAudio
// service). Each stream is a decoder and one server stream that holds two
// seconds of sound at the server, which plays it from its own real-time
// thread: this process only has to top it up now and then, so a busy machine does not
// make the sound run dry. Should it run dry all the same before the file's
// end, the stream counts as cut (EndedEarly). A stream ends when the server has
// played its last sample out of the sink.
std::unique_ptr<AudioOutput> MakePulseOutput();

// The sink every stream started from now on connects to, by name (the sink
// whose level the program reads and sets, see audio.h); empty: the server's
// default sink. Each stream plays at its own volume of 100 %, unmuted, whatever
// the server remembers for the program.
void ChoosePlaybackSink(const std::string& name);
