#include <algorithm>
#include <vector>

#include "speech/audio.h"
#include "speech/mixer.h"
#include "speech/servervolume.h"
#include "speech/volumescale.h"

namespace {
// What the last GetOutputVolume read, channel by channel. The copy saves the
// user's level with GetOutputVolume and puts it back with RestoreOutputVolume;
// one value alone would lose a balance between the channels, a level above the
// element's top (PulseAudio's over-amplification), and for ranges of more than
// 65536 steps the exact raw value. SetOutputVolume never uses it: a caller's
// value is one level for all channels, even when it equals the reading.
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

static std::uint32_t CardVolume() {
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

static bool SetCardVolume(std::uint32_t value) {
  MixerHandle mixer = OpenMixer();
  if (!mixer) return false;
  VolumeControl control;
  if (FindVolumeControl(*mixer, control) != 0) return false;
  return WriteVolumeAll(control, VolumeToElement(value, control.min, control.max));
}

namespace {
// Whether the element now holds exactly these values, read through a mixer
// opened anew: the pulse plugin answers an open mixer from its own copy.
bool ElementHolds(const std::vector<ChannelVolume>& wanted) {
  MixerHandle mixer = OpenMixer();
  VolumeControl control;
  std::vector<ChannelVolume> now;
  if (!mixer || FindVolumeControl(*mixer, control) != 0 || !ReadVolume(control, now)) return false;
  return std::equal(now.begin(), now.end(), wanted.begin(), wanted.end(),
                    [](const auto& a, const auto& b) { return a.channel == b.channel && a.raw == b.raw; });
}
}  // namespace

static bool RestoreCardVolume(std::uint32_t saved) {
  const Reading& last = LastReading();
  if (!last.valid || last.value != saved) return SetCardVolume(saved);
  MixerHandle mixer = OpenMixer();
  if (!mixer) return false;
  VolumeControl control;
  if (FindVolumeControl(*mixer, control) != 0) return false;
  if (last.min != control.min || last.max != control.max)
    return WriteVolumeAll(control, VolumeToElement(saved, control.min, control.max));
  const bool inRange = std::all_of(last.channels.begin(), last.channels.end(), [&](const ChannelVolume& v) {
    return v.raw >= control.min && v.raw <= control.max;
  });
  if (inRange) return WriteVolume(control, last.channels) && ElementHolds(last.channels);
  // Above the element's top: ALSA's simple mixer ignores such a write (and says
  // it succeeded), so the sound server, whose level the element shows, takes it.
  // Without one the nearest level the element can hold is the best there is.
  std::vector<long> raw;
  for (const ChannelVolume& volume : last.channels) raw.push_back(volume.raw);
  mixer.reset();
  if (SetServerSinkVolume(raw)) return ElementHolds(last.channels);
  MixerHandle again = OpenMixer();
  if (again && FindVolumeControl(*again, control) == 0) WriteVolume(control, last.channels);
  return false;
}

namespace {
OutputLevel*& ChosenLevel() {
  static OutputLevel* level = nullptr;
  return level;
}
}  // namespace

void UseOutputLevel(OutputLevel* level) { ChosenLevel() = level; }

std::uint32_t GetOutputVolume() { return ChosenLevel() ? ChosenLevel()->Get() : CardVolume(); }

bool SetOutputVolume(std::uint32_t value) {
  return ChosenLevel() ? ChosenLevel()->Set(value) : SetCardVolume(value);
}

bool RestoreOutputVolume(std::uint32_t saved) {
  return ChosenLevel() ? ChosenLevel()->Restore(saved) : RestoreCardVolume(saved);
}
