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
  bool finished = false;
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

 private:
  bool OpenLocked();
  bool DeviceLostLocked();
  void CheckDeviceLocked();
  void EndAllStreamsLocked();
  void CloseDeviceLocked();
  void ReleaseAl(Stream& stream);
  void Feed(Stream& stream);
  void UpdateFinished(Stream& stream);
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
  std::lock_guard lock(mutex_);
  return OpenLocked();
}

bool OpenAlOutput::OpenLocked() {
  CheckDeviceLocked();
  if (device_) return true;
  // OpenAL drops its PulseAudio backend for good when no server answered its
  // first try, and then plays through ALSA, whose "default" leads to PulseAudio
  // only if a server ran when ALSA last read its configuration. Reading that
  // again lets a server started after the program be found. Safe here: no
  // device is open, and ALSA's configuration is used on this thread only (the
  // user-interface thread, which also runs the mixer operations).
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
// fresh device. Closing it may reach into ALSA, so this runs on the
// user-interface thread only.
void OpenAlOutput::CheckDeviceLocked() {
  if (!DeviceLostLocked()) return;
  EndAllStreamsLocked();
  CloseDeviceLocked();
}

void OpenAlOutput::EndAllStreamsLocked() {
  for (auto& entry : streams_) {
    Stream& stream = *entry.second;
    if (!stream.finished) {
      stream.playedBytes = std::min(stream.playedBytes, stream.decodedBytes);
      stream.finished = true;
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
  if (state != AL_PLAYING) {
    if (!s.queuedBytes.empty())
      alSourcePlay(s.source);
    else if (s.decodeEnded)
      s.finished = true;
  }
}

// The source stops once it has played everything queued; when the decoder had
// nothing more, that is the end of the stream, whether or not the feeder has
// come round since.
void OpenAlOutput::UpdateFinished(Stream& s) {
  if (s.finished || !s.source || !s.decodeEnded) return;
  ALint state = AL_PLAYING;
  alGetSourcei(s.source, AL_SOURCE_STATE, &state);
  if (state == AL_STOPPED) Feed(s);
}

Stream* OpenAlOutput::Find(StreamHandle handle) {
  auto it = streams_.find(handle);
  return it == streams_.end() ? nullptr : it->second.get();
}

void OpenAlOutput::Free(StreamHandle handle) {
  std::lock_guard lock(mutex_);
  auto it = streams_.find(handle);
  if (it == streams_.end()) return;
  ReleaseAl(*it->second);
  streams_.erase(it);
}

bool OpenAlOutput::IsPlaying(StreamHandle handle) {
  std::lock_guard lock(mutex_);
  CheckDeviceLocked();
  Stream* s = Find(handle);
  if (!s) return false;
  UpdateFinished(*s);
  return !s->finished;
}

// Not told apart yet: a lost output ends its streams like a normal end.
bool OpenAlOutput::EndedEarly(StreamHandle) { return false; }

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
  UpdateFinished(*s);
  std::uint64_t position = s->playedBytes;
  if (!s->finished && s->source) {
    // The offset first, the state after it: the mixer may run the source dry between
    // the two reads, and a stopped source's offset is 0. Only the feeder, which
    // waits for the lock held here, starts it again, so a source still playing after
    // the offset was read was playing when it was read.
    ALint frames = 0;
    alGetSourcei(s->source, AL_SAMPLE_OFFSET, &frames);
    ALint state = AL_STOPPED;
    alGetSourcei(s->source, AL_SOURCE_STATE, &state);
    if (state == AL_STOPPED) {
      // Ran dry before the feeder came round: everything queued was heard.
      for (std::uint64_t bytes : s->queuedBytes) position += bytes;
    } else {
      // Counted from the oldest buffer still queued, played or not.
      position += static_cast<std::uint64_t>(std::max(frames, 0)) * s->frameBytes;
    }
  }
  std::uint64_t length = s->decodeEnded ? s->decodedBytes : std::max(s->estimatedBytes, s->decodedBytes);
  return std::min(position, length);
}

void OpenAlOutput::FeederLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    // Ends the streams at once, so that nobody waits for them to finish; the
    // device itself is closed by the next call from the user-interface thread.
    if (DeviceLostLocked()) EndAllStreamsLocked();
    bool active = false;
    for (auto& entry : streams_) {
      Feed(*entry.second);
      active = active || !entry.second->finished;
    }
    // Idle without streams to feed; Play wakes the loop.
    if (active)
      wake_.wait_for(lock, kFeedPeriod);
    else
      wake_.wait(lock);
  }
}

}  // namespace

std::unique_ptr<AudioOutput> MakeOpenAlOutput() { return std::make_unique<OpenAlOutput>(); }
