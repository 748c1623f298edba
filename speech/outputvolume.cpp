#include <algorithm>
#include <vector>

#include "speech/audio.h"
#include "speech/mixer.h"
#include "speech/volumescale.h"

namespace {
// What the last GetOutputVolume read, channel by channel. The copy saves the
// user's level with GetOutputVolume and puts it back with SetOutputVolume; one
// value alone would lose a balance between the channels, and for ranges of more
// than 65536 steps could miss the exact raw value.
struct Reading {
  bool valid = false;
  std::uint32_t value = 0;
  long min = 0;
  long max = 0;
  std::vector<ChannelVolume> channels;
};

Reading& LastReading() {
  static Reading reading;
  return reading;
}
}  // namespace

std::uint32_t GetOutputVolume() {
  MixerHandle mixer = OpenMixer();
  if (!mixer) return 0;
  VolumeControl control;
  if (FindVolumeControl(*mixer, control) != 0) return 0;
  std::vector<ChannelVolume> channels;
  if (!ReadVolume(control, channels)) return 0;
  long loudest = std::max_element(channels.begin(), channels.end(), [](const auto& a, const auto& b) {
                   return a.raw < b.raw;
                 })->raw;
  std::uint32_t value = ElementToVolume(loudest, control.min, control.max);
  LastReading() = {true, value, control.min, control.max, channels};
  return value;
}

bool SetOutputVolume(std::uint32_t value) {
  MixerHandle mixer = OpenMixer();
  if (!mixer) return false;
  VolumeControl control;
  if (FindVolumeControl(*mixer, control) != 0) return false;
  return WriteVolumeAll(control, VolumeToElement(value, control.min, control.max));
}

bool RestoreOutputVolume(std::uint32_t saved) {
  MixerHandle mixer = OpenMixer();
  if (!mixer) return false;
  VolumeControl control;
  if (FindVolumeControl(*mixer, control) != 0) return false;
  const Reading& last = LastReading();
  if (last.valid && last.value == saved && last.min == control.min && last.max == control.max)
    return WriteVolume(control, last.channels);
  return WriteVolumeAll(control, VolumeToElement(saved, control.min, control.max));
}
