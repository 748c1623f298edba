#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>

#include "speech/mixer.h"

class Mixer {
 public:
  snd_mixer_t* handle = nullptr;
};

void MixerCloser::operator()(Mixer* mixer) const {
  if (mixer->handle) snd_mixer_close(mixer->handle);
  delete mixer;
}

MixerHandle OpenMixer() {
  MixerHandle mixer(new Mixer);
  if (snd_mixer_open(&mixer->handle, 0) < 0) {
    mixer->handle = nullptr;
    return nullptr;
  }
  // Without a sound server "default" cannot be attached (ENOENT). ALSA decides
  // where "default" leads when it reads its configuration, so a server started
  // since then is seen only after reading it again.
  if (snd_mixer_attach(mixer->handle, "default") < 0) {
    snd_config_update_free_global();
    if (snd_mixer_attach(mixer->handle, "default") < 0) return nullptr;
  }
  if (snd_mixer_selem_register(mixer->handle, nullptr, nullptr) < 0) return nullptr;
  if (snd_mixer_load(mixer->handle) < 0) return nullptr;
  return mixer;
}

namespace {
snd_mixer_elem_t* Element(const VolumeControl& control) {
  return static_cast<snd_mixer_elem_t*>(control.element);
}
}  // namespace

int FindVolumeControl(Mixer& mixer, VolumeControl& control) {
  snd_mixer_selem_id_t* id = nullptr;
  snd_mixer_selem_id_alloca(&id);
  snd_mixer_selem_id_set_index(id, 0);
  snd_mixer_selem_id_set_name(id, "Master");
  snd_mixer_elem_t* element = snd_mixer_find_selem(mixer.handle, id);
  if (!element) return ENOENT;
  if (!snd_mixer_selem_has_playback_volume(element)) return ENOTSUP;
  long min = 0;
  long max = 0;
  int error = snd_mixer_selem_get_playback_volume_range(element, &min, &max);
  if (error < 0) return -error;
  if (max <= min) return ERANGE;
  control.element = element;
  control.min = min;
  control.max = max;
  return 0;
}

bool ReadVolume(const VolumeControl& control, std::vector<ChannelVolume>& channels) {
  channels.clear();
  for (int channel = 0; channel <= SND_MIXER_SCHN_LAST; ++channel) {
    auto id = static_cast<snd_mixer_selem_channel_id_t>(channel);
    if (!snd_mixer_selem_has_playback_channel(Element(control), id)) continue;
    long raw = 0;
    if (snd_mixer_selem_get_playback_volume(Element(control), id, &raw) < 0) return false;
    channels.push_back({channel, raw});
  }
  return !channels.empty();
}

// ALSA ignores a value outside the element's range and reports success: such a
// value is written as the nearest end of the range instead.
bool WriteVolume(const VolumeControl& control, const std::vector<ChannelVolume>& channels) {
  for (const ChannelVolume& volume : channels) {
    auto id = static_cast<snd_mixer_selem_channel_id_t>(volume.channel);
    const long raw = std::clamp(volume.raw, control.min, control.max);
    if (snd_mixer_selem_set_playback_volume(Element(control), id, raw) < 0) return false;
  }
  return !channels.empty();
}

bool WriteVolumeAll(const VolumeControl& control, long raw) {
  return snd_mixer_selem_set_playback_volume_all(Element(control),
                                                 std::clamp(raw, control.min, control.max)) >= 0;
}
