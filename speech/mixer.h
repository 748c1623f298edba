#pragma once
// The sound card's mixer: the ALSA simple mixer of the device "default", its
// element "Master", playback volume. The mixer is opened for one operation and
// closed again when its handle goes.

#include <memory>
#include <vector>

class Mixer;
struct MixerCloser {
  void operator()(Mixer* mixer) const;
};
using MixerHandle = std::unique_ptr<Mixer, MixerCloser>;

// nullptr when there is no mixer (e.g. no sound server).
MixerHandle OpenMixer();

// The playback volume control found in a mixer; valid while that mixer is open.
struct VolumeControl {
  void* element = nullptr;  // ALSA's, opaque here
  long min = 0;
  long max = 0;
};

// 0, or the error (an errno value) of the first step that failed.
int FindVolumeControl(Mixer& mixer, VolumeControl& control);

struct ChannelVolume {
  int channel = 0;
  long raw = 0;
};

// Every playback channel's raw value; false on failure.
bool ReadVolume(const VolumeControl& control, std::vector<ChannelVolume>& channels);
// Each channel back to its own raw value. Values outside the range are written
// as its nearest end, here and below.
bool WriteVolume(const VolumeControl& control, const std::vector<ChannelVolume>& channels);
// One raw value for all channels.
bool WriteVolumeAll(const VolumeControl& control, long raw);
