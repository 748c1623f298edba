// The output level is the volume of the sink the program plays on: the sound
// server's default sink as a reading finds it, to which every stream of the
// program connects by name from then on (pulseoutput.h). The
// server's volume is 0 to 65536 (100 %) per channel, the program's level one to
// one; above 100 % (a server allows 150 % and more) reads as 65536, and is put
// back exactly only by a restore.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <optional>
#include <string>

#include "speech/audio.h"
#include "speech/pulseoutput.h"
#include "speech/serverconnection.h"

namespace {

constexpr std::uint32_t kVolumeTop = PA_VOLUME_NORM;

struct SinkVolume {
  std::string name;
  pa_cvolume volume{};
  bool muted = false;
};

// What the last GetOutputVolume read. The copy saves the user's level with
// GetOutputVolume and puts it back with RestoreOutputVolume; one value alone
// would lose a balance between the channels and a level above 100 %.
// SetOutputVolume never uses it: a caller's value is one level for all
// channels, even when it equals the reading.
struct Reading {
  bool valid = false;
  std::uint32_t value = 0;
  SinkVolume sink;
};

Reading& LastReading() {
  static Reading reading;
  return reading;
}

std::optional<std::string> DefaultSinkName(ServerConnection& server) {
  struct Query {
    bool finished = false;
    std::string name;
  } query;
  auto onServer = [](pa_context*, const pa_server_info* info, void* data) {
    auto* q = static_cast<Query*>(data);
    if (info && info->default_sink_name) q->name = info->default_sink_name;
    q->finished = true;
  };
  if (!server.Wait(pa_context_get_server_info(server.Context(), onServer, &query), query.finished) ||
      query.name.empty())
    return std::nullopt;
  return query.name;
}

// `gone` (when given) tells a sink the server does not have from a query that failed.
std::optional<SinkVolume> SinkByName(ServerConnection& server, const std::string& name, bool* gone = nullptr) {
  struct Query {
    bool finished = false;
    bool missing = false;
    std::optional<SinkVolume> sink;
  } query;
  auto onSink = [](pa_context* context, const pa_sink_info* info, int last, void* data) {
    auto* q = static_cast<Query*>(data);
    if (last) {
      q->missing = last < 0 && pa_context_errno(context) == PA_ERR_NOENTITY;
      q->finished = true;
      return;
    }
    if (info && info->name) q->sink = SinkVolume{info->name, info->volume, info->mute != 0};
  };
  const bool answered = server.Wait(
      pa_context_get_sink_info_by_name(server.Context(), name.c_str(), onSink, &query), query.finished);
  if (gone) *gone = answered && query.missing;
  if (!answered) return std::nullopt;
  return query.sink;
}

std::optional<SinkVolume> DefaultSink(ServerConnection& server) {
  if (!server.Context()) return std::nullopt;
  const std::optional<std::string> name = DefaultSinkName(server);
  return name ? SinkByName(server, *name) : std::nullopt;
}

struct Result {
  bool finished = false;
  bool success = false;
  static void OnDone(pa_context*, int success, void* data) {
    auto* r = static_cast<Result*>(data);
    r->success = success != 0;
    r->finished = true;
  }
};

// Volume and mute, both: a level set on a muted sink would not be heard.
bool SetSinkVolume(ServerConnection& server, const SinkVolume& sink) {
  Result volume;
  Result mute;
  return server.Wait(pa_context_set_sink_volume_by_name(server.Context(), sink.name.c_str(), &sink.volume,
                                                        &Result::OnDone, &volume),
                     volume.finished) &&
         volume.success &&
         server.Wait(pa_context_set_sink_mute_by_name(server.Context(), sink.name.c_str(), sink.muted ? 1 : 0,
                                                      &Result::OnDone, &mute),
                     mute.finished) &&
         mute.success;
}

std::optional<UsersLevel> SinkLevel() {
  ServerConnection server;
  const std::optional<SinkVolume> sink = DefaultSink(server);
  if (!sink || sink->volume.channels == 0) return std::nullopt;
  const pa_volume_t loudest = pa_cvolume_max(&sink->volume);
  const std::uint32_t value = std::min<std::uint32_t>(loudest, kVolumeTop);
  LastReading() = {true, value, *sink};
  ChoosePlaybackSink(sink->name);
  const int percent = static_cast<int>((std::uint64_t(loudest) * 100 + PA_VOLUME_NORM / 2) / PA_VOLUME_NORM);
  return UsersLevel{value, percent, sink->muted};
}

// On the sink of the last reading, which the program's streams play on; the
// default sink before any reading, or once that sink has gone.
bool SetSinkLevel(std::uint32_t value) {
  ServerConnection server;
  const Reading& last = LastReading();
  std::optional<SinkVolume> sink;
  if (last.valid && server.Context()) sink = SinkByName(server, last.sink.name);
  if (!sink) sink = DefaultSink(server);
  if (!sink || sink->volume.channels == 0) return false;
  pa_cvolume_set(&sink->volume, sink->volume.channels, std::min(value, kVolumeTop));
  sink->muted = false;
  return SetSinkVolume(server, *sink);
}

// The reading goes back to the sink it was read from, also when another sink
// has become the default since; should that sink be gone, no other sink takes
// its level, and there is nothing of the copy's left to put back.
bool RestoreSinkLevel(std::uint32_t saved) {
  const Reading& last = LastReading();
  if (!last.valid || last.value != saved) return SetSinkLevel(saved);
  ServerConnection server;
  if (!server.Context()) return false;
  bool gone = false;
  if (!SinkByName(server, last.sink.name, &gone)) return gone;
  if (!SetSinkVolume(server, last.sink)) return false;
  const std::optional<SinkVolume> now = SinkByName(server, last.sink.name);
  return now && pa_cvolume_equal(&now->volume, &last.sink.volume) && now->muted == last.sink.muted;
}

OutputLevel*& ChosenLevel() {
  static OutputLevel* level = nullptr;
  return level;
}
}  // namespace

void UseOutputLevel(OutputLevel* level) { ChosenLevel() = level; }

std::optional<UsersLevel> ReadOutputVolume() { return ChosenLevel() ? ChosenLevel()->Read() : SinkLevel(); }

std::uint32_t GetOutputVolume() {
  const std::optional<UsersLevel> level = ReadOutputVolume();
  return level ? level->value : 0;
}

bool SetOutputVolume(std::uint32_t value) {
  return ChosenLevel() ? ChosenLevel()->Set(value) : SetSinkLevel(value);
}

bool RestoreOutputVolume(std::uint32_t saved) {
  return ChosenLevel() ? ChosenLevel()->Restore(saved) : RestoreSinkLevel(saved);
}
