#include "speech/openaloutput.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "speech/sounddecoder.h"

namespace {

// Eight buffers of 50 ms keep 0.4 s queued: enough to ride out a busy machine,
// little enough that memory stays the same for a word and a 3-minute file.
constexpr int kBufferCount = 8;
constexpr int kBufferMilliseconds = 50;
constexpr auto kFeedPeriod = std::chrono::milliseconds(10);
// The sound server's latency is an estimate from its last timing report, carried
// forward by the clock; against the null sink's monitor it was off by up to 8 ms
// either way. A stream ends this much later, so that its end is never cut.
constexpr std::int64_t kLatencyMarginNs = 20'000'000;

// A moment of the device: how far its mixer has got (ns of output mixed) and how
// much of that the sound server still holds before it is heard.
struct DeviceTime {
  std::int64_t clock = 0;
  std::int64_t latency = 0;
  std::int64_t Heard() const { return clock - latency; }
};

struct Stream {
  std::unique_ptr<SoundDecoder> decoder;
  ALuint source = 0;
  std::vector<ALuint> buffers;            // all of them, for deletion
  std::vector<ALuint> idle;               // those not queued on the source
  std::deque<std::uint64_t> queuedBytes;  // per queued buffer, oldest first
  ALenum format = 0;
  int rate = 0;
  std::size_t frameBytes = 0;
  std::size_t bufferFrames = 0;
  std::vector<std::int16_t> pcm;
  std::uint64_t estimatedBytes = 0;
  std::uint64_t decodedBytes = 0;
  std::uint64_t playedBytes = 0;  // of the buffers taken back from the source
  bool decodeEnded = false;
  // The device clock at which the stream's first frame was mixed, once a mix
  // of it has been seen: from it follows which frame is being heard.
  bool anchored = false;
  std::int64_t startClock = 0;
  std::uint64_t heardBytes = 0;  // the position: only ever rises
  bool finished = false;         // heard to its end, or cut
  bool endedEarly = false;       // cut: the output went away first
};

class OpenAlOutput final : public AudioOutput {
 public:
  ~OpenAlOutput() override;
  bool Open() override;
  StreamHandle Play(const std::string& path) override;
  void Free(StreamHandle stream) override;
  bool IsPlaying(StreamHandle stream) override;
  bool EndedEarly(StreamHandle stream) override;
  std::uint64_t Length(StreamHandle stream) override;
  std::uint64_t Position(StreamHandle stream) override;
  int StoppedSoundEndsInMs() override;

 private:
  bool OpenLocked();
  bool DeviceLostLocked();
  void CheckDeviceLocked();
  void EndAllStreamsLocked();
  void CloseDeviceLocked();
  void ReleaseAl(Stream& stream);
  DeviceTime ReadDeviceTime();
  void Feed(Stream& stream);
  void Track(Stream& stream);
  void CloseWhenIdleLocked();
  Stream* Find(StreamHandle handle);
  StreamHandle NextHandle();
  void FeederLoop();

  // Guards every member below and every OpenAL call. The feeder thread and
  // the user-interface thread both take it; no call made under it waits for
  // the other thread.
  std::mutex mutex_;
  std::condition_variable wake_;
  ALCdevice* device_ = nullptr;
  ALCcontext* context_ = nullptr;
  bool canSeeDisconnect_ = false;
  bool hasClock_ = false;  // ALC_SOFT_device_clock and AL_SOFT_source_latency
  // Until the sound server has played out what was mixed up to this clock, a
  // stream stopped by Free may still sound: the device stays open until then.
  std::int64_t quietFromClock_ = 0;
  LPALCGETINTEGER64VSOFT getDeviceInteger64_ = nullptr;
  LPALGETSOURCEI64VSOFT getSourceInteger64_ = nullptr;
  std::map<StreamHandle, std::unique_ptr<Stream>> streams_;
  StreamHandle lastHandle_ = 0;
  bool stopping_ = false;
  std::thread feeder_;
};

OpenAlOutput::~OpenAlOutput() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (feeder_.joinable()) feeder_.join();
  std::lock_guard lock(mutex_);
  for (auto& entry : streams_) ReleaseAl(*entry.second);
  streams_.clear();
  if (device_) CloseDeviceLocked();
}

bool OpenAlOutput::Open() {
  std::unique_lock lock(mutex_);
  const bool open = OpenLocked();
  lock.unlock();
  // Nothing plays yet: the feeder closes the device again.
  wake_.notify_all();
  return open;
}

bool OpenAlOutput::OpenLocked() {
  CheckDeviceLocked();
  if (device_) return true;
  // OpenAL drops its PulseAudio backend for good when no server answered its
  // first try, and then plays through ALSA, whose "default" leads to PulseAudio
  // only if a server ran when ALSA last read its configuration. Reading that
  // again lets a server started after the program be found. Safe here: no
  // device is open, the feeder (which closes idle devices) waits for the lock,
  // and the mixer operations run on this thread, the user-interface thread.
  snd_config_update_free_global();
  device_ = alcOpenDevice(nullptr);
  if (!device_) return false;
  context_ = alcCreateContext(device_, nullptr);
  if (!context_ || alcMakeContextCurrent(context_) != ALC_TRUE) {
    if (context_) alcDestroyContext(context_);
    context_ = nullptr;
    alcCloseDevice(device_);
    device_ = nullptr;
    return false;
  }
  canSeeDisconnect_ = alcIsExtensionPresent(device_, "ALC_EXT_disconnect") == ALC_TRUE;
  hasClock_ = alcIsExtensionPresent(device_, "ALC_SOFT_device_clock") == ALC_TRUE &&
              alIsExtensionPresent("AL_SOFT_source_latency") == AL_TRUE;
  if (hasClock_) {
    getDeviceInteger64_ =
        reinterpret_cast<LPALCGETINTEGER64VSOFT>(alcGetProcAddress(device_, "alcGetInteger64vSOFT"));
    getSourceInteger64_ = reinterpret_cast<LPALGETSOURCEI64VSOFT>(alGetProcAddress("alGetSourcei64vSOFT"));
    hasClock_ = getDeviceInteger64_ && getSourceInteger64_;
  }
  if (!feeder_.joinable()) feeder_ = std::thread(&OpenAlOutput::FeederLoop, this);
  return true;
}

// A sound server that went away leaves the device disconnected and every
// source stopped for good.
bool OpenAlOutput::DeviceLostLocked() {
  if (!device_ || !canSeeDisconnect_) return false;
  ALCint connected = ALC_TRUE;
  alcGetIntegerv(device_, ALC_CONNECTED, 1, &connected);
  return connected == ALC_FALSE;
}

// The streams of a lost device have ended; the next Open starts over with a
// fresh device.
void OpenAlOutput::CheckDeviceLocked() {
  if (!DeviceLostLocked()) return;
  EndAllStreamsLocked();
  CloseDeviceLocked();
}

// What was heard up to the loss stays the position; a stream not yet heard to
// its end was cut.
void OpenAlOutput::EndAllStreamsLocked() {
  for (auto& entry : streams_) {
    Stream& stream = *entry.second;
    if (!stream.finished) {
      stream.finished = true;
      stream.endedEarly = true;
    }
    ReleaseAl(stream);
  }
}

void OpenAlOutput::CloseDeviceLocked() {
  alcMakeContextCurrent(nullptr);
  if (context_) alcDestroyContext(context_);
  context_ = nullptr;
  alcCloseDevice(device_);
  device_ = nullptr;
  quietFromClock_ = 0;
}

DeviceTime OpenAlOutput::ReadDeviceTime() {
  DeviceTime time;
  if (hasClock_) {
    ALCint64SOFT values[2] = {0, 0};
    getDeviceInteger64_(device_, ALC_DEVICE_CLOCK_LATENCY_SOFT, 2, values);
    time.clock = values[0];
    time.latency = std::max<std::int64_t>(values[1], 0) + kLatencyMarginNs;
  } else {
    time.clock = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
    time.latency = kLatencyMarginNs;
  }
  return time;
}

// With nothing left to be heard the device is closed: an open OpenAL device
// keeps mixing silence, about 1 % of a core. PlayFile opens it again in a few
// milliseconds. (Pausing it with ALC_SOFT_pause_device instead left PulseAudio's
// latency report some 28 ms short once a stream had been paused and resumed
// while playing, so that streams ended before they were heard.)
// Runs on the feeder thread. With OpenAL's ALSA backend (chosen when no sound
// server answered at its first try) closing reaches into alsa-lib while the
// user-interface thread may use the mixer; alsa-lib counts references to its
// global configuration under its own lock, so neither frees it under the other.
void OpenAlOutput::CloseWhenIdleLocked() {
  if (!device_ || DeviceLostLocked()) return;
  for (auto& entry : streams_)
    if (!entry.second->finished) return;
  if (ReadDeviceTime().Heard() < quietFromClock_) return;
  for (auto& entry : streams_) ReleaseAl(*entry.second);
  CloseDeviceLocked();
}

void OpenAlOutput::ReleaseAl(Stream& stream) {
  stream.decoder.reset();
  if (stream.source) {
    alSourceStop(stream.source);
    alSourcei(stream.source, AL_BUFFER, 0);
    alDeleteSources(1, &stream.source);
    stream.source = 0;
  }
  if (!stream.buffers.empty()) {
    alDeleteBuffers(static_cast<ALsizei>(stream.buffers.size()), stream.buffers.data());
    stream.buffers.clear();
  }
  stream.idle.clear();
  stream.queuedBytes.clear();
}

StreamHandle OpenAlOutput::Play(const std::string& path) {
  // Opening reads only the file's header, so a long file costs what a short one does.
  std::unique_ptr<SoundDecoder> decoder = SoundDecoder::Open(path);
  if (!decoder) return 0;

  std::unique_lock lock(mutex_);
  if (!OpenLocked()) return 0;
  auto stream = std::make_unique<Stream>();
  Stream& s = *stream;
  s.rate = decoder->SampleRate();
  int channels = decoder->Channels();
  s.format = channels == 2 ? AL_FORMAT_STEREO16 : AL_FORMAT_MONO16;
  s.frameBytes = static_cast<std::size_t>(channels) * sizeof(std::int16_t);
  s.bufferFrames = std::max<std::size_t>(256, static_cast<std::size_t>(s.rate) * kBufferMilliseconds / 1000);
  s.pcm.resize(s.bufferFrames * static_cast<std::size_t>(channels));
  s.estimatedBytes = decoder->EstimatedFrames() * s.frameBytes;
  s.decoder = std::move(decoder);

  alGetError();
  alGenSources(1, &s.source);
  if (alGetError() != AL_NO_ERROR) return 0;
  s.buffers.resize(kBufferCount);
  alGenBuffers(kBufferCount, s.buffers.data());
  if (alGetError() != AL_NO_ERROR) {
    s.buffers.clear();
    ReleaseAl(s);
    return 0;
  }
  s.idle = s.buffers;
  // The sound goes to the sound card as it is: no distance, no direction.
  alSourcei(s.source, AL_SOURCE_RELATIVE, AL_TRUE);
  alSource3f(s.source, AL_POSITION, 0.0f, 0.0f, 0.0f);
  alSourcef(s.source, AL_ROLLOFF_FACTOR, 0.0f);
  Feed(s);

  StreamHandle handle = NextHandle();
  streams_.emplace(handle, std::move(stream));
  lock.unlock();
  wake_.notify_all();
  return handle;
}

StreamHandle OpenAlOutput::NextHandle() {
  do {
    ++lastHandle_;
  } while (lastHandle_ == 0 || streams_.count(lastHandle_) != 0);
  return lastHandle_;
}

// Takes back the buffers the source has played, refills them from the decoder
// and queues them again; starts the source, or restarts it when the feeder fell
// behind and it ran dry.
void OpenAlOutput::Feed(Stream& s) {
  if (s.finished || !s.source) return;
  ALint processed = 0;
  alGetSourcei(s.source, AL_BUFFERS_PROCESSED, &processed);
  for (; processed > 0 && !s.queuedBytes.empty(); --processed) {
    ALuint buffer = 0;
    alSourceUnqueueBuffers(s.source, 1, &buffer);
    s.playedBytes += s.queuedBytes.front();
    s.queuedBytes.pop_front();
    s.idle.push_back(buffer);
  }
  while (!s.idle.empty() && !s.decodeEnded) {
    std::size_t frames = s.decoder->Read(s.pcm.data(), s.bufferFrames);
    if (frames == 0) {
      s.decodeEnded = true;
      s.decoder.reset();
      break;
    }
    ALuint buffer = s.idle.back();
    s.idle.pop_back();
    std::size_t bytes = frames * s.frameBytes;
    alBufferData(buffer, s.format, s.pcm.data(), static_cast<ALsizei>(bytes), s.rate);
    alSourceQueueBuffers(s.source, 1, &buffer);
    s.queuedBytes.push_back(bytes);
    s.decodedBytes += bytes;
  }
  ALint state = AL_STOPPED;
  alGetSourcei(s.source, AL_SOURCE_STATE, &state);
  if (state != AL_PLAYING && !s.queuedBytes.empty()) alSourcePlay(s.source);
}

// Follows which frame of the stream is being heard: the source tells which
// frame it mixed at which device clock, the device how far its clock runs ahead
// of what the sound server plays. The stream ends when its last frame has been
// heard, and the position is the frames heard, so it reaches the length only
// then.
void OpenAlOutput::Track(Stream& s) {
  if (s.finished || !s.source) return;
  const DeviceTime now = ReadDeviceTime();
  const auto rate = static_cast<std::int64_t>(s.rate);
  const auto frameBytes = static_cast<std::int64_t>(s.frameBytes);
  std::uint64_t queued = 0;
  for (std::uint64_t bytes : s.queuedBytes) queued += bytes;
  const auto total = static_cast<std::int64_t>((s.playedBytes + queued) / s.frameBytes);
  ALint state = AL_STOPPED;
  alGetSourcei(s.source, AL_SOURCE_STATE, &state);
  std::int64_t mixed = total;  // a stopped source has mixed all it had
  if (state == AL_PLAYING) {
    ALint64SOFT offsetAndClock[2] = {0, now.clock};
    if (hasClock_) {
      getSourceInteger64_(s.source, AL_SAMPLE_OFFSET_CLOCK_SOFT, offsetAndClock);
      offsetAndClock[0] >>= 32;  // 32.32 fixed point
    } else {
      ALint frames = 0;
      alGetSourcei(s.source, AL_SAMPLE_OFFSET, &frames);
      offsetAndClock[0] = frames;
    }
    mixed =
        static_cast<std::int64_t>(s.playedBytes) / frameBytes + std::max<std::int64_t>(offsetAndClock[0], 0);
    // Before its first mix a source reports frame 0 at a clock that is too
    // early; a fresh start after running dry starts later. The latest estimate
    // holds.
    if (mixed > 0) {
      const std::int64_t start = offsetAndClock[1] - mixed * 1'000'000'000 / rate;
      s.startClock = s.anchored ? std::max(s.startClock, start) : start;
      s.anchored = true;
    }
  } else if (s.decodeEnded && !s.anchored) {
    // Ended before a mix of it was seen: it ended by now at the latest.
    s.startClock = now.clock - total * 1'000'000'000 / rate;
    s.anchored = true;
  }
  if (!s.anchored) return;
  const std::int64_t heard =
      std::clamp<std::int64_t>((now.Heard() - s.startClock) * rate / 1'000'000'000, 0, mixed);
  s.heardBytes = std::max(s.heardBytes, static_cast<std::uint64_t>(heard * frameBytes));
  if (s.decodeEnded && state != AL_PLAYING && heard >= total) {
    s.heardBytes = s.decodedBytes;
    s.finished = true;
  }
}

Stream* OpenAlOutput::Find(StreamHandle handle) {
  auto it = streams_.find(handle);
  return it == streams_.end() ? nullptr : it->second.get();
}

void OpenAlOutput::Free(StreamHandle handle) {
  std::unique_lock lock(mutex_);
  auto it = streams_.find(handle);
  if (it == streams_.end()) return;
  if (!it->second->finished && it->second->source && device_)
    quietFromClock_ = std::max(quietFromClock_, ReadDeviceTime().clock);
  ReleaseAl(*it->second);
  streams_.erase(it);
  lock.unlock();
  // The feeder closes the device once the sound server has played out.
  wake_.notify_all();
}

int OpenAlOutput::StoppedSoundEndsInMs() {
  std::lock_guard lock(mutex_);
  if (!device_ || DeviceLostLocked()) return 0;
  const std::int64_t left = quietFromClock_ - ReadDeviceTime().Heard();
  return left > 0 ? static_cast<int>((left + 999'999) / 1'000'000) : 0;
}

bool OpenAlOutput::IsPlaying(StreamHandle handle) {
  std::lock_guard lock(mutex_);
  CheckDeviceLocked();
  Stream* s = Find(handle);
  if (!s) return false;
  Track(*s);
  return !s->finished;
}

bool OpenAlOutput::EndedEarly(StreamHandle handle) {
  std::lock_guard lock(mutex_);
  CheckDeviceLocked();
  Stream* s = Find(handle);
  return s && s->endedEarly;
}

std::uint64_t OpenAlOutput::Length(StreamHandle handle) {
  std::lock_guard lock(mutex_);
  Stream* s = Find(handle);
  if (!s) return 0;
  return s->decodeEnded ? s->decodedBytes : std::max(s->estimatedBytes, s->decodedBytes);
}

std::uint64_t OpenAlOutput::Position(StreamHandle handle) {
  std::lock_guard lock(mutex_);
  CheckDeviceLocked();
  Stream* s = Find(handle);
  if (!s) return 0;
  Track(*s);
  std::uint64_t length = s->decodeEnded ? s->decodedBytes : std::max(s->estimatedBytes, s->decodedBytes);
  return std::min(s->heardBytes, length);
}

void OpenAlOutput::FeederLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    // Ends the streams at once, so that nobody waits for them to finish; the
    // device itself is closed by the next call from the user-interface thread.
    if (DeviceLostLocked()) EndAllStreamsLocked();
    bool busy = false;
    for (auto& entry : streams_) {
      Feed(*entry.second);
      Track(*entry.second);
      busy = busy || !entry.second->finished;
    }
    CloseWhenIdleLocked();
    // Idle once nothing is left to feed or to close; Play, Open and Free wake the loop.
    if (busy || (device_ && !DeviceLostLocked()))
      wake_.wait_for(lock, kFeedPeriod);
    else
      wake_.wait(lock);
  }
}

}  // namespace

std::unique_ptr<AudioOutput> MakeOpenAlOutput() { return std::make_unique<OpenAlOutput>(); }
