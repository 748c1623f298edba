#pragma once
// The volume of the sound server's default sink, set through PulseAudio itself.
// ALSA's "Master" on a PulseAudio system stands for that sink, with the same raw
// values (65536 = 100 %), but ALSA's simple mixer cannot write above 100 %,
// which PulseAudio allows (up to 150 % from its volume control).

#include <vector>

// Sets each channel of the default sink to its raw value; false when there is
// no server, the sink has another number of channels, or the server refused.
bool SetServerSinkVolume(const std::vector<long>& channels);
