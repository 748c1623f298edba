#include "speech/pulseoutput.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <vector>

#include "speech/sounddecoder.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the server holds of each stream, and how little it asks for at a time,
// so that the buffer stays nearly full: the feeding thread may stall for well
// over a second before the sound runs dry (a second was seen to run out once,
// under two busy loops beside the whole test suite). Stopping a stream drops
// what the server holds at once, so the size costs nothing else.
constexpr pa_usec_t kServerBufferUsec = 2'000'000;
constexpr pa_usec_t kTopUpUsec = 100'000;
// Decoded per piece written.
constexpr std::size_t kPieceFrames = 4096;
// After the server has played the last sample into the sink, the sink still
// holds its own latency; a little more covers a timing report that is a few
// milliseconds old.
constexpr auto kEndMargin = std::chrono::milliseconds(10);

struct Stream {
  std::unique_ptr<SoundDecoder> decoder;
  pa_stream* stream = nullptr;
  pa_operation* drain = nullptr;
  int rate = 0;
  std::size_t frameBytes = 0;
  std::vector<std::int16_t> pcm;
  std::uint64_t estimatedBytes = 0;
  std::uint64_t writtenBytes = 0;
  std::uint64_t heardBytes = 0;  // the position: only ever rises
  bool decodeEnded = false;
  bool started = false;        // the server has begun to play it
  bool drained = false;        // the server has played all into the sink
  Clock::time_point endsAt;    // once drained: when the sink has played it out
  bool finished = false;       // heard to its end, or cut
  bool endedEarly = false;     // cut: the server went away or the sound ran dry
};

class PulseOutput final : public AudioOutput {
 public:
  ~PulseOutput() override;
  bool Open() override;
  StreamHandle Play(const std::string& path) override;
  void Free(StreamHandle stream) override;
  bool IsPlaying(StreamHandle stream) override;
  bool EndedEarly(StreamHandle stream) override;
  std::uint64_t Length(StreamHandle stream) override;
  std::uint64_t Position(StreamHandle stream) override;
  int StoppedSoundEndsInMs() override;

 private:
  // The main loop's lock, which its thread holds while it runs the callbacks.
  class LoopLock {
   public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) {
      if (loop_) pa_threaded_mainloop_lock(loop_);
    }
    ~LoopLock() {
      if (loop_) pa_threaded_mainloop_unlock(loop_);
    }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  bool OpenLocked();
  void CheckServerLocked();
  void Track(Stream& s);
  void Fill(Stream& s, std::size_t bytes);
  void Cut(Stream& s);
  Clock::duration SinkLatency(Stream& s) const;
  void Release(Stream& s);
  Stream* Find(StreamHandle handle);
  // `ask` of the stream, brought up to date first; false without such a stream.
  bool AskTracked(StreamHandle handle, bool (*ask)(const Stream&));
  StreamHandle NextHandle();

  static void OnContextState(pa_context* context, void* self);
  static void OnWrite(pa_stream* stream, std::size_t bytes, void* self);
  static void OnUnderflow(pa_stream* stream, void* self);
  static void OnStarted(pa_stream* stream, void* self);
  static void OnSuspended(pa_stream* stream, void* self);
  static void OnDrained(pa_stream* stream, int success, void* self);

  // Created at the first Open and kept; its thread runs the callbacks.
  pa_threaded_mainloop* loop_ = nullptr;
  // Under the main loop's lock. The server connection; nullptr when none.
  pa_context* context_ = nullptr;
  // Guards the streams' own state below, taken inside the main loop's lock on
  // both threads (ThreadSanitizer cannot see that lock, taken inside libpulse).
  // Never held across a wait of the main loop.
  std::mutex mutex_;
  std::map<StreamHandle, std::unique_ptr<Stream>> streams_;
  StreamHandle lastHandle_ = 0;
  Clock::time_point quietFrom_{};  // streams stopped by Free sound until then
};

PulseOutput::~PulseOutput() {
  if (!loop_) return;
  {
    LoopLock loop(loop_);
    std::lock_guard lock(mutex_);
    for (auto& entry : streams_) Release(*entry.second);
    streams_.clear();
    if (context_) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
  }
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

bool PulseOutput::Open() {
  if (!loop_) {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) {
      if (loop_) pa_threaded_mainloop_free(loop_);
      loop_ = nullptr;
      return false;
    }
  }
  LoopLock loop(loop_);
  return OpenLocked();
}

// A connection that failed or was lost is dropped and a new one made, so a
// server started after the program is found by the next playback. Waits for
// the server's answer; a missing server answers at once.
bool PulseOutput::OpenLocked() {
  CheckServerLocked();
  if (context_) return true;
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Vellamo");
  if (!context_) return false;
  pa_context_set_state_callback(context_, &PulseOutput::OnContextState, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    for (;;) {
      const pa_context_state_t state = pa_context_get_state(context_);
      if (state == PA_CONTEXT_READY) return true;
      if (!PA_CONTEXT_IS_GOOD(state)) break;
      pa_threaded_mainloop_wait(loop_);
    }
  }
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
  return false;
}

// A server that went away ends every stream as cut, and leaves no connection.
void PulseOutput::CheckServerLocked() {
  if (!context_ || PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return;
  {
    std::lock_guard lock(mutex_);
    for (auto& entry : streams_) Cut(*entry.second);
  }
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_unref(context_);
  context_ = nullptr;
}

void PulseOutput::OnContextState(pa_context*, void* self) {
  pa_threaded_mainloop_signal(static_cast<PulseOutput*>(self)->loop_, 0);
}

// The stream's data is no longer to be heard to its end. What was heard up to
// here stays the position. The server stops playing it at once.
void PulseOutput::Cut(Stream& s) {
  if (s.finished) return;
  s.finished = true;
  s.endedEarly = true;
  if (s.stream && PA_STREAM_IS_GOOD(pa_stream_get_state(s.stream))) {
    if (pa_operation* op = pa_stream_cork(s.stream, 1, nullptr, nullptr)) pa_operation_unref(op);
    if (pa_operation* op = pa_stream_flush(s.stream, nullptr, nullptr)) pa_operation_unref(op);
  }
}

StreamHandle PulseOutput::Play(const std::string& path) {
  // Opening reads only the file's header, so a long file costs what a short one does.
  std::unique_ptr<SoundDecoder> decoder = SoundDecoder::Open(path);
  if (!decoder || !Open()) return 0;
  LoopLock loop(loop_);
  if (!OpenLocked()) return 0;

  pa_sample_spec format{};
  format.format = PA_SAMPLE_S16NE;
  format.rate = static_cast<std::uint32_t>(decoder->SampleRate());
  format.channels = static_cast<std::uint8_t>(decoder->Channels());
  if (!pa_sample_spec_valid(&format)) return 0;
  auto owned = std::make_unique<Stream>();
  Stream& s = *owned;
  s.rate = decoder->SampleRate();
  s.frameBytes = pa_frame_size(&format);
  s.pcm.resize(kPieceFrames * format.channels);
  s.estimatedBytes = decoder->EstimatedFrames() * s.frameBytes;
  s.decoder = std::move(decoder);
  s.stream = pa_stream_new(context_, "Vellamo", &format, nullptr);
  if (!s.stream) return 0;

  pa_buffer_attr buffer{};
  buffer.maxlength = static_cast<std::uint32_t>(-1);
  buffer.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kServerBufferUsec, &format));
  buffer.prebuf = static_cast<std::uint32_t>(-1);
  buffer.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kTopUpUsec, &format));
  buffer.fragsize = static_cast<std::uint32_t>(-1);
  pa_stream_set_write_callback(s.stream, &PulseOutput::OnWrite, this);
  pa_stream_set_underflow_callback(s.stream, &PulseOutput::OnUnderflow, this);
  pa_stream_set_started_callback(s.stream, &PulseOutput::OnStarted, this);
  pa_stream_set_suspended_callback(s.stream, &PulseOutput::OnSuspended, this);
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_playback(s.stream, nullptr, &buffer, flags, nullptr, nullptr) < 0) {
    Release(s);
    return 0;
  }
  std::lock_guard lock(mutex_);
  const StreamHandle handle = NextHandle();
  streams_.emplace(handle, std::move(owned));
  return handle;
}

StreamHandle PulseOutput::NextHandle() {
  do {
    ++lastHandle_;
  } while (lastHandle_ == 0 || streams_.count(lastHandle_) != 0);
  return lastHandle_;
}

Stream* PulseOutput::Find(StreamHandle handle) {
  auto it = streams_.find(handle);
  return it == streams_.end() ? nullptr : it->second.get();
}

void PulseOutput::OnWrite(pa_stream* stream, std::size_t bytes, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  std::lock_guard lock(output->mutex_);
  for (auto& entry : output->streams_)
    if (entry.second->stream == stream) output->Fill(*entry.second, bytes);
}

// Decodes what the server asks for. At the end of the data the server is told
// to play out what it holds (also when that is less than it waits for before
// it starts) and to say when it has.
void PulseOutput::Fill(Stream& s, std::size_t bytes) {
  while (bytes >= s.frameBytes && !s.decodeEnded && !s.finished) {
    const std::size_t frames = s.decoder->Read(s.pcm.data(), std::min(kPieceFrames, bytes / s.frameBytes));
    if (frames == 0) {
      s.decodeEnded = true;
      s.decoder.reset();
      if (pa_operation* op = pa_stream_trigger(s.stream, nullptr, nullptr)) pa_operation_unref(op);
      s.drain = pa_stream_drain(s.stream, &PulseOutput::OnDrained, this);
      break;
    }
    const std::size_t piece = frames * s.frameBytes;
    if (pa_stream_write(s.stream, s.pcm.data(), piece, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
    s.writtenBytes += piece;
    bytes -= piece;
  }
}

// The sound ran dry with data still to come: a gap in the sound, which a
// recording would keep. The stream counts as cut.
void PulseOutput::OnUnderflow(pa_stream* stream, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  std::lock_guard lock(output->mutex_);
  for (auto& entry : output->streams_)
    if (entry.second->stream == stream && !entry.second->decodeEnded) output->Cut(*entry.second);
}

void PulseOutput::OnStarted(pa_stream* stream, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  std::lock_guard lock(output->mutex_);
  for (auto& entry : output->streams_)
    if (entry.second->stream == stream) entry.second->started = true;
}

// The sink was suspended under a playing stream: its sound stopped in the
// middle, as when it runs dry. (A stream that waits for a suspended sink to
// wake up has not started yet.)
void PulseOutput::OnSuspended(pa_stream* stream, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  std::lock_guard lock(output->mutex_);
  for (auto& entry : output->streams_) {
    Stream& s = *entry.second;
    if (s.stream == stream && s.started && !s.drained && pa_stream_is_suspended(stream) == 1) output->Cut(s);
  }
}

void PulseOutput::OnDrained(pa_stream* stream, int success, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  std::lock_guard lock(output->mutex_);
  for (auto& entry : output->streams_) {
    Stream& s = *entry.second;
    if (s.stream != stream) continue;
    if (s.drain) pa_operation_unref(s.drain);
    s.drain = nullptr;
    if (!success || s.finished) continue;
    s.drained = true;
    s.endsAt = Clock::now() + output->SinkLatency(s) + kEndMargin;
  }
}

// How long the sink holds what it has been given, from the server's last report.
Clock::duration PulseOutput::SinkLatency(Stream& s) const {
  const pa_timing_info* timing = s.stream ? pa_stream_get_timing_info(s.stream) : nullptr;
  return std::chrono::microseconds(timing ? timing->sink_usec : 0);
}

// Follows what has been heard: the stream's playing time, which the server
// reports with the sink's latency taken off, carried forward by the clock.
void PulseOutput::Track(Stream& s) {
  if (s.finished) return;
  if (s.stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(s.stream))) {
    Cut(s);
    return;
  }
  if (s.drained && Clock::now() >= s.endsAt) {
    s.finished = true;
    s.heardBytes = s.writtenBytes;
    return;
  }
  pa_usec_t usec = 0;
  if (s.stream && pa_stream_get_time(s.stream, &usec) == 0) {
    const std::uint64_t heard = usec * static_cast<std::uint64_t>(s.rate) / 1'000'000 * s.frameBytes;
    // The end itself is reached only when the stream is over.
    const std::uint64_t below = s.writtenBytes >= s.frameBytes ? s.writtenBytes - s.frameBytes : 0;
    s.heardBytes = std::max(s.heardBytes, std::min(heard, below));
  }
}

void PulseOutput::Release(Stream& s) {
  s.decoder.reset();
  if (s.drain) {
    pa_operation_cancel(s.drain);
    pa_operation_unref(s.drain);
    s.drain = nullptr;
  }
  if (s.stream) {
    pa_stream_set_write_callback(s.stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(s.stream, nullptr, nullptr);
    pa_stream_set_started_callback(s.stream, nullptr, nullptr);
    pa_stream_set_suspended_callback(s.stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(s.stream))) pa_stream_disconnect(s.stream);
    pa_stream_unref(s.stream);
    s.stream = nullptr;
  }
}

void PulseOutput::Free(StreamHandle handle) {
  LoopLock loop(loop_);
  std::lock_guard lock(mutex_);
  Stream* s = Find(handle);
  if (!s) return;
  // What the sink was given before the stream went still sounds for its latency.
  if (!s->finished && s->stream && PA_STREAM_IS_GOOD(pa_stream_get_state(s->stream)))
    quietFrom_ = std::max(quietFrom_, Clock::now() + SinkLatency(*s) + kEndMargin);
  Release(*s);
  streams_.erase(handle);
}

int PulseOutput::StoppedSoundEndsInMs() {
  LoopLock loop(loop_);
  std::lock_guard lock(mutex_);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(quietFrom_ - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool PulseOutput::AskTracked(StreamHandle handle, bool (*ask)(const Stream&)) {
  LoopLock loop(loop_);
  CheckServerLocked();
  std::lock_guard lock(mutex_);
  Stream* s = Find(handle);
  if (!s) return false;
  Track(*s);
  return ask(*s);
}

bool PulseOutput::IsPlaying(StreamHandle handle) {
  return AskTracked(handle, [](const Stream& s) { return !s.finished; });
}

bool PulseOutput::EndedEarly(StreamHandle handle) {
  return AskTracked(handle, [](const Stream& s) { return s.endedEarly; });
}

std::uint64_t PulseOutput::Length(StreamHandle handle) {
  LoopLock loop(loop_);
  std::lock_guard lock(mutex_);
  Stream* s = Find(handle);
  if (!s) return 0;
  return s->decodeEnded ? s->writtenBytes : std::max(s->estimatedBytes, s->writtenBytes);
}

std::uint64_t PulseOutput::Position(StreamHandle handle) {
  LoopLock loop(loop_);
  CheckServerLocked();
  std::lock_guard lock(mutex_);
  Stream* s = Find(handle);
  if (!s) return 0;
  Track(*s);
  const std::uint64_t length = s->decodeEnded ? s->writtenBytes : std::max(s->estimatedBytes, s->writtenBytes);
  return std::min(s->heardBytes, length);
}

}  // namespace

std::unique_ptr<AudioOutput> MakePulseOutput() { return std::make_unique<PulseOutput>(); }
