#include "speech/pulseoutput.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "speech/monitorjudge.h"
#include "speech/serverconnection.h"
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
// A stream stopped in the middle still sounds for what the server had already
// mixed of it, and PipeWire leaves that out of the latency it reports (0 for a
// null sink): up to one and a half cycles of its graph, 35 ms measured at its
// default cycle of 1024 samples, which it may double. PulseAudio's few ms are
// inside its report.
constexpr auto kStoppedMargin = std::chrono::milliseconds(80);
// Whether the sink really plays a stream is judged from the server's timing
// reports, asked for this often, without interpolation: how far the sink has
// played (its read index, its latency taken off) against this machine's
// monotonic clock. The sink may fall behind the clock only by gaps far shorter
// than any interruption worth a word: PipeWire's graph was measured to leave
// gaps of 23 to 70 ms on a machine under load, and a limit of 50 ms cut 4 of 4
// copies there. A sink that has fallen this far behind in two reports running
// has stopped playing (a hang, a stopped graph); a server that gives no report
// for kSilentBound does not answer. Both far below the second a hang must be
// caught at.
constexpr auto kReportEvery = std::chrono::milliseconds(100);
constexpr auto kBehindBound = std::chrono::milliseconds(300);
constexpr auto kSilentBound = std::chrono::milliseconds(500);
// A stream whose position has not moved for this long counts as cut: the
// server no longer plays it (hung, or holding it back) and says nothing. Its
// first sound may come up to 2 s late on a sink that has just woken up, and
// the position follows the server's timing reports, so less would cut sound
// that was only late; a hung server is noticed within the 2 s it holds plus this.
constexpr auto kStallBound = std::chrono::seconds(4);

class PulseOutput;

std::mutex playbackSinkMutex;
std::string& PlaybackSink() {
  static std::string name;
  return name;
}

// Guards the streams' own state and the output's flags that the callbacks
// share with the user-interface thread. Taken inside the main loop's lock on
// both threads, which would do alone; but ThreadSanitizer, told to ignore what
// libpulse does inside (its shared-memory queues look like races to it), then
// no longer sees that lock either, and only this one tells it the callbacks
// and the user-interface thread take turns. One for the whole output, so that
// a callback takes it before it reads anything of its stream. Never held
// across a wait of the main loop.
std::mutex streamsMutex;

struct Stream {
  PulseOutput* owner = nullptr;
  std::unique_ptr<SoundDecoder> decoder;
  pa_stream* stream = nullptr;
  pa_operation* drain = nullptr;
  int rate = 0;
  int channels = 0;
  std::size_t frameBytes = 0;
  std::vector<std::int16_t> pcm;
  std::uint64_t estimatedBytes = 0;
  std::uint64_t writtenBytes = 0;
  std::uint64_t heardBytes = 0;  // the position: only ever rises
  Clock::time_point movedAt;     // when the position last rose (or the stream began)
  bool decodeEnded = false;
  bool started = false;        // the server has begun to play it
  bool drained = false;        // the server has played all into the sink
  Clock::time_point endsAt;    // once drained: when the sink has played it out
  bool finished = false;       // heard to its end, or cut
  bool endedEarly = false;     // cut: the sound did not all reach the sink
  CutCause cause = CutCause::None;
  std::uint32_t sink = PA_INVALID_INDEX;  // the sink it plays on, once started
  std::string otherProgram;               // another program heard on that sink meanwhile
  // The judge of the timing reports (kReportEvery).
  pa_operation* report = nullptr;  // the timing report asked for; Release cancels it
  Clock::time_point lastReportAt;  // or when it started
  struct Report {
    Clock::time_point at;
    std::int64_t playedUsec = 0;
    std::int64_t queuedUsec = 0;  // what the sink still had to play
  };
  std::optional<Report> lastReport;
  std::int64_t behindUsec = 0;  // how far the sink has fallen behind the clock
  int reportsBehind = 0;        // reports in a row beyond kBehindBound
  // The sink's monitor, read from the first look at the sink on, against the
  // stream's own data.
  pa_stream* monitor = nullptr;
  int monitorRate = 0;
  int monitorChannels = 0;
  std::uint32_t monitorSource = PA_INVALID_INDEX;
  double sinkVolume = -1;    // linear, the quietest channel's
  double sourceVolume = -1;  // the monitor's own; 0 when muted
  MonitorJudge judge;
};

// Bytes of the decoded PCM: the decoder's estimate until the data has ended.
std::uint64_t LengthOf(const Stream& s) {
  return s.decodeEnded ? s.writtenBytes : std::max(s.estimatedBytes, s.writtenBytes);
}

class PulseOutput final : public AudioOutput {
 public:
  ~PulseOutput() override;
  bool Open() override;
  StreamHandle Play(const std::string& path) override;
  void Free(StreamHandle stream) override;
  bool IsPlaying(StreamHandle stream) override;
  bool EndedEarly(StreamHandle stream) override;
  CutCause HowCut(StreamHandle stream) override;
  std::string OtherProgram(StreamHandle stream) override;
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

  bool StartLoop();
  bool OpenLocked();
  void DropContextLocked();
  void CheckServerLocked();
  void Track(Stream& s);
  void Fill(Stream& s, std::size_t bytes);
  void Cut(Stream& s, CutCause cause);
  void Judge(Stream& s, Clock::time_point now);
  void LookAtSink(pa_context* context, std::uint32_t sink);
  void LookAtSinkInputs(pa_context* context);
  void LookAtSource(pa_context* context, std::uint32_t source);
  void ListenToMonitor(Stream& s, pa_context* context, const pa_sink_info& sink);
  static Clock::duration SinkLatency(const Stream& s);
  void Release(Stream& s);
  Stream* Find(StreamHandle handle);
  // `ask` of the stream, brought up to date first; false without such a stream.
  bool AskTracked(StreamHandle handle, bool (*ask)(const Stream&));
  StreamHandle NextHandle();
  bool TimedOut() {
    std::lock_guard lock(streamsMutex);
    return connectTimedOut_;
  }
  // Written under the streams' mutex as well: the judge's timer reads it on the
  // main loop's thread.
  void SetContext(pa_context* context) {
    std::lock_guard lock(streamsMutex);
    context_ = context;
  }
  void SetTimedOut(bool timedOut) {
    std::lock_guard lock(streamsMutex);
    connectTimedOut_ = timedOut;
  }

  static void OnContextState(pa_context* context, void* self);
  static void OnConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
  static void OnEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self);
  static void OnSinkSeen(pa_context* context, const pa_sink_info* info, int last, void* self);
  static void OnSinkInputSeen(pa_context* context, const pa_sink_input_info* info, int last, void* self);
  static void OnSourceSeen(pa_context* context, const pa_source_info* info, int last, void* self);
  static void OnMonitorState(pa_stream* stream, void* s);
  static void OnMonitorRead(pa_stream* stream, std::size_t bytes, void* s);
  static void OnJudgeTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self);
  static void OnTiming(pa_stream* stream, int success, void* s);
  // Each stream's callbacks get the stream itself; Release clears them.
  static void OnWrite(pa_stream* stream, std::size_t bytes, void* s);
  static void OnUnderflow(pa_stream* stream, void* s);
  static void OnStarted(pa_stream* stream, void* s);
  static void OnStreamState(pa_stream* stream, void* s);
  static void OnSuspended(pa_stream* stream, void* s);
  static void OnMoved(pa_stream* stream, void* s);
  static void OnDrained(pa_stream* stream, int success, void* s);

  // Created at the first Open and kept; its thread runs the callbacks.
  pa_threaded_mainloop* loop_ = nullptr;
  // Under the main loop's lock (written under the streams' mutex too). The server connection; nullptr when none.
  pa_context* context_ = nullptr;
  std::map<StreamHandle, std::unique_ptr<Stream>> streams_;
  bool connectTimedOut_ = false;
  pa_time_event* judgeTimer_ = nullptr;
  StreamHandle lastHandle_ = 0;
  Clock::time_point quietFrom_{};  // streams stopped by Free sound until then
};

PulseOutput::~PulseOutput() {
  if (!loop_) return;
  {
    LoopLock loop(loop_);
    {
      std::lock_guard lock(streamsMutex);
      for (auto& entry : streams_) Release(*entry.second);
      streams_.clear();
    }
    if (context_) DropContextLocked();
  }
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

bool PulseOutput::StartLoop() {
  if (loop_) return true;
  loop_ = pa_threaded_mainloop_new();
  if (loop_ && pa_threaded_mainloop_start(loop_) >= 0) return true;
  if (loop_) pa_threaded_mainloop_free(loop_);
  loop_ = nullptr;
  return false;
}

bool PulseOutput::Open() {
  if (!StartLoop()) return false;
  LoopLock loop(loop_);
  return OpenLocked();
}

// A connection that failed or was lost is dropped and a new one made, so a
// server started after the program is found by the next playback. Waits for
// the server's answer: a missing server answers at once, one that accepts and
// then says nothing is given up after kServerAnswerTimeout.
bool PulseOutput::OpenLocked() {
  CheckServerLocked();
  if (context_) return true;
  SetContext(pa_context_new(pa_threaded_mainloop_get_api(loop_), "Vellamo"));
  if (!context_) return false;
  pa_context_set_state_callback(context_, &PulseOutput::OnContextState, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    SetTimedOut(false);
    const pa_usec_t timeout = std::chrono::microseconds(kServerAnswerTimeout).count();
    pa_time_event* timer =
        pa_context_rttime_new(context_, pa_rtclock_now() + timeout, &PulseOutput::OnConnectTimeout, this);
    pa_context_state_t state = pa_context_get_state(context_);
    while (state != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) && !TimedOut()) {
      pa_threaded_mainloop_wait(loop_);
      state = pa_context_get_state(context_);
    }
    if (timer) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    if (state == PA_CONTEXT_READY) {
      // Sinks suspended, removed or muted under a playing stream; its own
      // stream muted or given another volume; other programs' streams.
      pa_context_set_subscribe_callback(context_, &PulseOutput::OnEvent, this);
      const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                            PA_SUBSCRIPTION_MASK_SOURCE);
      if (pa_operation* op = pa_context_subscribe(context_, mask, nullptr, nullptr)) pa_operation_unref(op);
      judgeTimer_ = pa_context_rttime_new(context_, pa_rtclock_now() + std::chrono::microseconds(kReportEvery).count(),
                                          &PulseOutput::OnJudgeTimer, this);
      return true;
    }
  }
  DropContextLocked();
  return false;
}

void PulseOutput::DropContextLocked() {
  if (judgeTimer_) pa_threaded_mainloop_get_api(loop_)->time_free(judgeTimer_);
  judgeTimer_ = nullptr;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  SetContext(nullptr);
}

// A server that went away ends every stream as cut, and leaves no connection.
void PulseOutput::CheckServerLocked() {
  if (!context_ || PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return;
  {
    std::lock_guard lock(streamsMutex);
    for (auto& entry : streams_) Cut(*entry.second, CutCause::Gone);
  }
  DropContextLocked();
}

void PulseOutput::OnContextState(pa_context*, void* self) {
  pa_threaded_mainloop_signal(static_cast<PulseOutput*>(self)->loop_, 0);
}

void PulseOutput::OnConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  output->SetTimedOut(true);
  pa_threaded_mainloop_signal(output->loop_, 0);
}

// The stream's data is no longer to be heard to its end. What was heard up to
// here stays the position. The server stops playing it at once.
void PulseOutput::Cut(Stream& s, CutCause cause) {
  if (s.finished) return;
  s.finished = true;
  s.endedEarly = true;
  s.cause = cause;
  if (s.stream && PA_STREAM_IS_GOOD(pa_stream_get_state(s.stream))) {
    if (pa_operation* op = pa_stream_cork(s.stream, 1, nullptr, nullptr)) pa_operation_unref(op);
    if (pa_operation* op = pa_stream_flush(s.stream, nullptr, nullptr)) pa_operation_unref(op);
  }
}

StreamHandle PulseOutput::Play(const std::string& path) {
  // Opening reads only the file's header, so a long file costs what a short one does.
  std::unique_ptr<SoundDecoder> decoder = SoundDecoder::Open(path);
  if (!decoder || !StartLoop()) return 0;
  LoopLock loop(loop_);
  if (!OpenLocked()) return 0;

  pa_sample_spec format{};
  format.format = PA_SAMPLE_S16NE;
  format.rate = static_cast<std::uint32_t>(decoder->SampleRate());
  format.channels = static_cast<std::uint8_t>(decoder->Channels());
  if (!pa_sample_spec_valid(&format)) return 0;
  auto owned = std::make_unique<Stream>();
  Stream& s = *owned;
  s.owner = this;
  s.rate = decoder->SampleRate();
  s.channels = decoder->Channels();
  s.frameBytes = pa_frame_size(&format);
  s.pcm.resize(kPieceFrames * format.channels);
  s.estimatedBytes = decoder->EstimatedFrames() * s.frameBytes;
  s.decoder = std::move(decoder);
  s.movedAt = Clock::now();
  s.stream = pa_stream_new(context_, "Vellamo", &format, nullptr);
  if (!s.stream) return 0;

  pa_buffer_attr buffer{};
  buffer.maxlength = static_cast<std::uint32_t>(-1);
  buffer.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kServerBufferUsec, &format));
  buffer.prebuf = static_cast<std::uint32_t>(-1);
  buffer.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kTopUpUsec, &format));
  buffer.fragsize = static_cast<std::uint32_t>(-1);
  pa_stream_set_write_callback(s.stream, &PulseOutput::OnWrite, &s);
  pa_stream_set_underflow_callback(s.stream, &PulseOutput::OnUnderflow, &s);
  pa_stream_set_started_callback(s.stream, &PulseOutput::OnStarted, &s);
  pa_stream_set_state_callback(s.stream, &PulseOutput::OnStreamState, &s);
  pa_stream_set_suspended_callback(s.stream, &PulseOutput::OnSuspended, &s);
  pa_stream_set_moved_callback(s.stream, &PulseOutput::OnMoved, &s);
  // Movable: a stream moved to another sink (by the user, or because its sink
  // went away) counts as cut, which holds on either server; forbidding the move
  // would instead end the stream on one server and not on the other.
  // No interpolated timing: the judge holds what the server reports, not a guess
  // carried forward by the clock.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_UNMUTED | PA_STREAM_AUTO_TIMING_UPDATE);
  // On the sink whose level the copy sets, at full stream volume: what the
  // server remembers of the program's earlier streams (another sink, a lower
  // volume) must not decide where and how loud it plays.
  std::string sink;
  {
    std::lock_guard lock(playbackSinkMutex);
    sink = PlaybackSink();
  }
  pa_cvolume full;
  pa_cvolume_set(&full, format.channels, PA_VOLUME_NORM);
  if (pa_stream_connect_playback(s.stream, sink.empty() ? nullptr : sink.c_str(), &buffer, flags, &full,
                                 nullptr) < 0) {
    Release(s);
    return 0;
  }
  std::lock_guard lock(streamsMutex);
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

void PulseOutput::OnWrite(pa_stream*, std::size_t bytes, void* s) {
  auto& stream = *static_cast<Stream*>(s);
  std::lock_guard lock(streamsMutex);
  stream.owner->Fill(stream, bytes);
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
      s.drain = pa_stream_drain(s.stream, &PulseOutput::OnDrained, &s);
      break;
    }
    const std::size_t piece = frames * s.frameBytes;
    s.judge.Written(s.pcm.data(), frames, s.channels, s.rate);
    if (pa_stream_write(s.stream, s.pcm.data(), piece, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
    s.writtenBytes += piece;
    bytes -= piece;
  }
}

// The sound ran dry with data still to come: a gap in the sound, which a
// recording would keep. The stream counts as cut.
void PulseOutput::OnUnderflow(pa_stream*, void* s) {
  auto& stream = *static_cast<Stream*>(s);
  std::lock_guard lock(streamsMutex);
  if (!stream.decodeEnded) stream.owner->Cut(stream, CutCause::Stopped);
}

// From here on the sink the stream plays on is watched: a mute or a suspend
// already there, and other programs' streams already playing on it, count as
// if they came now.
void PulseOutput::OnStarted(pa_stream* stream, void* s) {
  auto& st = *static_cast<Stream*>(s);
  std::uint32_t sink = PA_INVALID_INDEX;
  // Everything of the stream is read under the streams' mutex, its owner
  // included: Free erases the stream under it.
  PulseOutput* owner = nullptr;
  {
    std::lock_guard lock(streamsMutex);
    st.started = true;
    st.lastReportAt = Clock::now();
    st.sink = sink = pa_stream_get_device_index(stream);
    owner = st.owner;
  }
  if (sink == PA_INVALID_INDEX) return;
  owner->LookAtSink(pa_stream_get_context(stream), sink);
  owner->LookAtSinkInputs(pa_stream_get_context(stream));
}

// WirePlumber puts the program's remembered stream volume on every new stream,
// the volume it was connected with notwithstanding (PulseAudio's restore
// module leaves a stream with its own sink and volume alone): the stream's own
// volume is set to 100 % and unmuted once it exists. The same for the
// monitor's reader, which a remembered level must not turn down or mute.
void SetFullLevelWhenReady(pa_stream* stream, bool playback) {
  if (pa_stream_get_state(stream) != PA_STREAM_READY) return;
  const pa_sample_spec* format = pa_stream_get_sample_spec(stream);
  if (!format) return;
  pa_cvolume full;
  pa_cvolume_set(&full, format->channels, PA_VOLUME_NORM);
  pa_context* context = pa_stream_get_context(stream);
  const std::uint32_t index = pa_stream_get_index(stream);
  if (pa_operation* op = playback ? pa_context_set_sink_input_volume(context, index, &full, nullptr, nullptr)
                                  : pa_context_set_source_output_volume(context, index, &full, nullptr, nullptr))
    pa_operation_unref(op);
  if (pa_operation* op = playback ? pa_context_set_sink_input_mute(context, index, 0, nullptr, nullptr)
                                  : pa_context_set_source_output_mute(context, index, 0, nullptr, nullptr))
    pa_operation_unref(op);
}

void PulseOutput::OnStreamState(pa_stream* stream, void*) { SetFullLevelWhenReady(stream, true); }
void PulseOutput::OnMonitorState(pa_stream* stream, void*) { SetFullLevelWhenReady(stream, false); }

// The sink was suspended under a playing stream: its sound stopped in the
// middle, as when it runs dry. (A stream that waits for a suspended sink to
// wake up has not started yet.)
void PulseOutput::OnSuspended(pa_stream* stream, void* s) {
  auto& st = *static_cast<Stream*>(s);
  std::lock_guard lock(streamsMutex);
  if (st.started && !st.drained && pa_stream_is_suspended(stream) == 1) st.owner->Cut(st, CutCause::Stopped);
}

// Moved to another sink: what the first sink still held is lost.
void PulseOutput::OnMoved(pa_stream*, void* s) {
  auto& st = *static_cast<Stream*>(s);
  std::lock_guard lock(streamsMutex);
  if (!st.drained) st.owner->Cut(st, CutCause::Switched);
}

// A drain that fails leaves it open whether the end was played: a recording of
// it cannot be trusted.
void PulseOutput::OnDrained(pa_stream*, int success, void* s) {
  auto& st = *static_cast<Stream*>(s);
  std::lock_guard lock(streamsMutex);
  if (st.drain) pa_operation_unref(st.drain);
  st.drain = nullptr;
  if (st.finished) return;
  if (!success) {
    st.owner->Cut(st, CutCause::Stopped);
    return;
  }
  st.drained = true;
  st.endsAt = Clock::now() + SinkLatency(st) + kEndMargin;
}

void PulseOutput::LookAtSink(pa_context* context, std::uint32_t sink) {
  if (pa_operation* op = pa_context_get_sink_info_by_index(context, sink, &PulseOutput::OnSinkSeen, this))
    pa_operation_unref(op);
}

void PulseOutput::LookAtSinkInputs(pa_context* context) {
  if (pa_operation* op = pa_context_get_sink_input_info_list(context, &PulseOutput::OnSinkInputSeen, this))
    pa_operation_unref(op);
}

// Each change is looked at on its own; what a look finds is the sink's state
// then (mute and suspend are states, not differences), so looks that overtake
// later changes still tell the truth.
void PulseOutput::OnEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto what = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (what == PA_SUBSCRIPTION_EVENT_REMOVE) {
    if (facility != PA_SUBSCRIPTION_EVENT_SINK) return;
    std::lock_guard lock(streamsMutex);
    for (auto& entry : output->streams_) {
      Stream& s = *entry.second;
      if (s.sink == index && !s.drained) output->Cut(s, CutCause::Gone);
    }
    return;
  }
  if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
    bool watched = false;
    {
      std::lock_guard lock(streamsMutex);
      for (auto& entry : output->streams_)
        watched = watched || (entry.second->sink == index && !entry.second->finished);
    }
    if (watched) output->LookAtSink(context, index);
  } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
    bool watched = false;
    {
      std::lock_guard lock(streamsMutex);
      for (auto& entry : output->streams_)
        watched = watched || (entry.second->monitorSource == index && !entry.second->finished);
    }
    if (watched) output->LookAtSource(context, index);
  } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
    // Only while a stream of the program is heard: a stream that was corked
    // when it came may start to play later.
    bool heard = false;
    {
      std::lock_guard lock(streamsMutex);
      for (auto& entry : output->streams_) {
        const Stream& st = *entry.second;
        heard = heard || (st.started && !st.finished && !st.drained);
      }
    }
    if (!heard) return;
    if (pa_operation* op = pa_context_get_sink_input_info(context, index, &PulseOutput::OnSinkInputSeen, output))
      pa_operation_unref(op);
  }
}

// The loudness at which a sound reaches the monitor, as the quietest channel's
// linear factor: the judge must not expect more than the quietest can carry.
double QuietestLinear(const pa_cvolume& volume, bool muted) {
  return muted ? 0.0 : pa_sw_volume_to_linear(pa_cvolume_min(&volume));
}

// A sink suspended or muted under a playing stream: its sound stopped in the
// middle, or went on unheard. The first look also starts listening to its
// monitor, and every look tells the judge the sink's volume.
void PulseOutput::OnSinkSeen(pa_context* context, const pa_sink_info* info, int last, void* self) {
  if (last || !info) return;
  auto* output = static_cast<PulseOutput*>(self);
  std::lock_guard lock(streamsMutex);
  for (auto& entry : output->streams_) {
    Stream& s = *entry.second;
    if (s.sink != info->index || !s.started || s.drained) continue;
    if (info->state == PA_SINK_SUSPENDED) output->Cut(s, CutCause::Stopped);
    if (info->mute) output->Cut(s, CutCause::Muted);
    s.sinkVolume = QuietestLinear(info->volume, info->mute);
    s.judge.SetVolume(s.sourceVolume < 0 ? -1 : s.sinkVolume * s.sourceVolume);
    if (!s.monitor && !s.finished) output->ListenToMonitor(s, context, *info);
  }
}

void PulseOutput::LookAtSource(pa_context* context, std::uint32_t source) {
  if (pa_operation* op = pa_context_get_source_info_by_index(context, source, &PulseOutput::OnSourceSeen, this))
    pa_operation_unref(op);
}

// The monitor's own volume or mute (a user may turn it down): what it lets
// through is all the judge may expect.
void PulseOutput::OnSourceSeen(pa_context*, const pa_source_info* info, int last, void* self) {
  if (last || !info) return;
  auto* output = static_cast<PulseOutput*>(self);
  std::lock_guard lock(streamsMutex);
  for (auto& entry : output->streams_) {
    Stream& s = *entry.second;
    if (s.monitorSource != info->index) continue;
    s.sourceVolume = QuietestLinear(info->volume, info->mute);
    s.judge.SetVolume(s.sinkVolume < 0 ? -1 : s.sinkVolume * s.sourceVolume);
  }
}

// The monitor is read at the sink's own rate and channels, so that nothing of
// the data is lost to a conversion; in reads of 50 ms, which on PipeWire asks
// for no shorter cycle than its default. It stays on this sink: a moved stream
// is cut anyway.
void PulseOutput::ListenToMonitor(Stream& s, pa_context* context, const pa_sink_info& sink) {
  if (!sink.monitor_source_name) return;
  pa_sample_spec format{};
  format.format = PA_SAMPLE_FLOAT32NE;
  format.rate = sink.sample_spec.rate;
  format.channels = sink.sample_spec.channels;
  if (!pa_sample_spec_valid(&format)) return;
  s.monitor = pa_stream_new(context, "Vellamo Kontrolle", &format, nullptr);
  if (!s.monitor) return;
  s.monitorRate = static_cast<int>(format.rate);
  s.monitorChannels = format.channels;
  s.monitorSource = sink.monitor_source;
  pa_buffer_attr buffer{};
  buffer.maxlength = static_cast<std::uint32_t>(-1);
  buffer.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(50'000, &format));
  pa_stream_set_read_callback(s.monitor, &PulseOutput::OnMonitorRead, &s);
  pa_stream_set_state_callback(s.monitor, &PulseOutput::OnMonitorState, &s);
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
  if (pa_stream_connect_record(s.monitor, sink.monitor_source_name, &buffer, flags) < 0) {
    pa_stream_set_read_callback(s.monitor, nullptr, nullptr);
    pa_stream_set_state_callback(s.monitor, nullptr, nullptr);
    pa_stream_unref(s.monitor);
    s.monitor = nullptr;
    return;
  }
  LookAtSource(context, sink.monitor_source);
}

// A monitor digitally silent where the stream's data is loud: the sink did not
// play it (PipeWire shows a suspended sink in nothing else).
void PulseOutput::OnMonitorRead(pa_stream* stream, std::size_t, void* s) {
  auto& st = *static_cast<Stream*>(s);
  std::lock_guard lock(streamsMutex);
  const void* data = nullptr;
  std::size_t bytes = 0;
  while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
    // A hole is what the monitor lost, not what the sink did not play.
    if (data && st.started && !st.finished && !st.drained && st.stream) {
      pa_usec_t played = 0;
      if (pa_stream_get_time(st.stream, &played) == 0 &&
          st.judge.Heard(static_cast<const float*>(data), bytes / sizeof(float), st.monitorRate,
                         st.monitorChannels, static_cast<std::int64_t>(played / 1000)))
        st.owner->Cut(st, CutCause::Stopped);
    }
    pa_stream_drop(stream);
  }
}

// The program's own streams: muted while heard is a cut. (Setting their volume
// or mute from here, on a look at a stream not yet started, kept PipeWire's
// service from ever starting it: that is done once, as it is ready.) Another
// program's stream that plays on a sink while a stream of this one is heard
// there is told (OtherProgram).
void PulseOutput::OnSinkInputSeen(pa_context* context, const pa_sink_input_info* info, int last, void* self) {
  if (last || !info) return;
  auto* output = static_cast<PulseOutput*>(self);
  if (info->client != PA_INVALID_INDEX && info->client == pa_context_get_index(context)) {
    std::lock_guard lock(streamsMutex);
    for (auto& entry : output->streams_) {
      Stream& s = *entry.second;
      if (s.stream && pa_stream_get_index(s.stream) == info->index && s.started && !s.drained && info->mute)
        output->Cut(s, CutCause::Muted);
    }
    return;
  }
  if (info->corked) return;
  const char* program = info->proplist ? pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME) : nullptr;
  const std::string name = program && *program ? program : (info->name ? info->name : "?");
  std::lock_guard lock(streamsMutex);
  for (auto& entry : output->streams_) {
    Stream& s = *entry.second;
    if (s.sink == info->sink && s.started && !s.finished && !s.drained && s.otherProgram.empty())
      s.otherProgram = name;
  }
}

// Asks every heard stream's timing; a server that has not answered for
// kSilentBound cuts them.
void PulseOutput::OnJudgeTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  pa_context* context = nullptr;
  {
    std::lock_guard lock(streamsMutex);
    context = output->context_;
    const Clock::time_point now = Clock::now();
    for (auto& entry : output->streams_) {
      Stream& s = *entry.second;
      if (!s.started || s.finished || s.drained || !s.stream) continue;
      if (now - s.lastReportAt > kSilentBound) {
        output->Cut(s, CutCause::ServerSilent);
        continue;
      }
      if (!s.report) s.report = pa_stream_update_timing_info(s.stream, &PulseOutput::OnTiming, &s);
    }
  }
  if (context)
    pa_context_rttime_restart(context, event, pa_rtclock_now() + std::chrono::microseconds(kReportEvery).count());
}

void PulseOutput::OnTiming(pa_stream*, int success, void* s) {
  auto& st = *static_cast<Stream*>(s);
  std::lock_guard lock(streamsMutex);
  if (st.report) pa_operation_unref(st.report);
  st.report = nullptr;
  if (!success || st.finished) return;
  const Clock::time_point now = Clock::now();
  st.lastReportAt = now;
  st.owner->Judge(st, now);
}

// How far the sink has fallen behind the clock since the last report: by the
// time that passed, less what it played, no more than it still had to play
// (at the end of the data it has nothing left). Ahead again makes up for
// behind: reports arrive a little late or early, and PipeWire plays in steps.
void PulseOutput::Judge(Stream& s, Clock::time_point now) {
  const pa_timing_info* timing = pa_stream_get_timing_info(s.stream);
  const pa_sample_spec* format = pa_stream_get_sample_spec(s.stream);
  pa_usec_t played = 0;
  if (!timing || !format || pa_stream_get_time(s.stream, &played) < 0) return;
  const std::int64_t queuedBytes = std::max<std::int64_t>(0, timing->write_index - timing->read_index);
  Stream::Report report{now, static_cast<std::int64_t>(played),
                        static_cast<std::int64_t>(pa_bytes_to_usec(static_cast<std::uint64_t>(queuedBytes), format) +
                                                  timing->sink_usec)};
  if (s.lastReport) {
    const std::int64_t passed =
        std::chrono::duration_cast<std::chrono::microseconds>(now - s.lastReport->at).count();
    const std::int64_t expected = std::min(passed, s.lastReport->queuedUsec);
    s.behindUsec = std::max<std::int64_t>(0, s.behindUsec + expected - (report.playedUsec - s.lastReport->playedUsec));
    if (s.behindUsec > std::chrono::microseconds(kBehindBound).count()) {
      if (++s.reportsBehind >= 2) Cut(s, CutCause::Stopped);
    } else {
      s.reportsBehind = 0;
    }
  }
  s.lastReport = report;
}

// How long the sink holds what it has been given, from the server's last report.
Clock::duration PulseOutput::SinkLatency(const Stream& s) {
  const pa_timing_info* timing = s.stream ? pa_stream_get_timing_info(s.stream) : nullptr;
  return std::chrono::microseconds(timing ? timing->sink_usec : 0);
}

// Follows what has been heard: the stream's playing time, which the server
// reports with the sink's latency taken off, carried forward by the clock.
void PulseOutput::Track(Stream& s) {
  if (s.finished) return;
  if (s.stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(s.stream))) {
    Cut(s, CutCause::Gone);
    return;
  }
  const Clock::time_point now = Clock::now();
  if (s.drained && now >= s.endsAt) {
    s.finished = true;
    s.heardBytes = s.writtenBytes;
    return;
  }
  pa_usec_t usec = 0;
  if (s.stream && pa_stream_get_time(s.stream, &usec) == 0) {
    const std::uint64_t heard = usec * static_cast<std::uint64_t>(s.rate) / 1'000'000 * s.frameBytes;
    // The end itself is reached only when the stream is over.
    const std::uint64_t below = s.writtenBytes >= s.frameBytes ? s.writtenBytes - s.frameBytes : 0;
    const std::uint64_t position = std::min(heard, below);
    if (position > s.heardBytes) {
      s.heardBytes = position;
      s.movedAt = now;
    }
  }
  if (!s.drained && now - s.movedAt > kStallBound) Cut(s, CutCause::Stopped);
}

void PulseOutput::Release(Stream& s) {
  s.decoder.reset();
  if (s.drain) {
    pa_operation_cancel(s.drain);
    pa_operation_unref(s.drain);
    s.drain = nullptr;
  }
  // A report still owed would come to a stream that no longer exists: a
  // disconnect cancels it only once the server has answered.
  if (s.report) {
    pa_operation_cancel(s.report);
    pa_operation_unref(s.report);
    s.report = nullptr;
  }
  if (s.monitor) {
    pa_stream_set_read_callback(s.monitor, nullptr, nullptr);
    pa_stream_set_state_callback(s.monitor, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(s.monitor))) pa_stream_disconnect(s.monitor);
    pa_stream_unref(s.monitor);
    s.monitor = nullptr;
  }
  if (s.stream) {
    pa_stream_set_write_callback(s.stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(s.stream, nullptr, nullptr);
    pa_stream_set_started_callback(s.stream, nullptr, nullptr);
    pa_stream_set_state_callback(s.stream, nullptr, nullptr);
    pa_stream_set_suspended_callback(s.stream, nullptr, nullptr);
    pa_stream_set_moved_callback(s.stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(s.stream))) pa_stream_disconnect(s.stream);
    pa_stream_unref(s.stream);
    s.stream = nullptr;
  }
}

void PulseOutput::Free(StreamHandle handle) {
  LoopLock loop(loop_);
  std::lock_guard lock(streamsMutex);
  Stream* s = Find(handle);
  if (!s) return;
  // What the sink was given before the stream went still sounds for its latency.
  if (!s->finished && s->stream && PA_STREAM_IS_GOOD(pa_stream_get_state(s->stream)))
    quietFrom_ = std::max(quietFrom_, Clock::now() + SinkLatency(*s) + kStoppedMargin);
  Release(*s);
  streams_.erase(handle);
}

int PulseOutput::StoppedSoundEndsInMs() {
  LoopLock loop(loop_);
  std::lock_guard lock(streamsMutex);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(quietFrom_ - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool PulseOutput::AskTracked(StreamHandle handle, bool (*ask)(const Stream&)) {
  LoopLock loop(loop_);
  CheckServerLocked();
  std::lock_guard lock(streamsMutex);
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

CutCause PulseOutput::HowCut(StreamHandle handle) {
  LoopLock loop(loop_);
  CheckServerLocked();
  std::lock_guard lock(streamsMutex);
  Stream* s = Find(handle);
  if (!s) return CutCause::None;
  Track(*s);
  return s->cause;
}

std::string PulseOutput::OtherProgram(StreamHandle handle) {
  LoopLock loop(loop_);
  std::lock_guard lock(streamsMutex);
  Stream* s = Find(handle);
  return s ? s->otherProgram : std::string();
}

std::uint64_t PulseOutput::Length(StreamHandle handle) {
  LoopLock loop(loop_);
  std::lock_guard lock(streamsMutex);
  Stream* s = Find(handle);
  return s ? LengthOf(*s) : 0;
}

std::uint64_t PulseOutput::Position(StreamHandle handle) {
  LoopLock loop(loop_);
  CheckServerLocked();
  std::lock_guard lock(streamsMutex);
  Stream* s = Find(handle);
  if (!s) return 0;
  Track(*s);
  return std::min(s->heardBytes, LengthOf(*s));
}

}  // namespace

std::unique_ptr<AudioOutput> MakePulseOutput() { return std::make_unique<PulseOutput>(); }

void ChoosePlaybackSink(const std::string& name) {
  std::lock_guard lock(playbackSinkMutex);
  PlaybackSink() = name;
}
