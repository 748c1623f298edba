#include "tests/speech/monitorrecorder.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstring>

namespace {
constexpr int kChannels = 2;
constexpr std::size_t kFrameBytes = 2 * kChannels;

// Waits, with the loop locked, until `ready` says yes or the state failed.
template <typename Ready>
bool WaitUntil(pa_threaded_mainloop* loop, Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int state = ready();
    if (state != 0) return state > 0;
    pa_threaded_mainloop_wait(loop);
  }
  return false;
}

void Signal(pa_context*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}
void SignalStream(pa_stream*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}
}  // namespace

MonitorRecorder::MonitorRecorder() {
  loop_ = pa_threaded_mainloop_new();
  if (!loop_) return;
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "monitor recorder");
  pa_context_set_state_callback(context_, Signal, loop_);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return;
  pa_threaded_mainloop_lock(loop_);
  pa_threaded_mainloop_start(loop_);
  bool ready = WaitUntil(loop_, [&] {
    pa_context_state_t state = pa_context_get_state(context_);
    return state == PA_CONTEXT_READY ? 1 : PA_CONTEXT_IS_GOOD(state) ? 0 : -1;
  });
  if (ready) {
    // Both channels as the sink has them: a mono recording would be the
    // server's own downmix, which PipeWire makes 3 dB louder than PulseAudio.
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, kChannels};
    pa_stream* stream = pa_stream_new(context_, "monitor", &format, nullptr);
    pa_stream_set_state_callback(stream, SignalStream, loop_);
    pa_stream_set_read_callback(stream, OnRead, this);
    pa_buffer_attr attr{};
    attr.maxlength = std::uint32_t(-1);
    attr.fragsize = pa_usec_to_bytes(10'000, &format);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(stream, "@DEFAULT_MONITOR@", &attr, flags) == 0 && WaitUntil(loop_, [&] {
          pa_stream_state_t state = pa_stream_get_state(stream);
          return state == PA_STREAM_READY ? 1 : PA_STREAM_IS_GOOD(state) ? 0 : -1;
        }))
      stream_ = stream;
    else
      pa_stream_unref(stream);
  }
  pa_threaded_mainloop_unlock(loop_);
}

MonitorRecorder::~MonitorRecorder() {
  if (!loop_) return;
  pa_threaded_mainloop_stop(loop_);
  if (stream_) {
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
  }
  if (context_) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  pa_threaded_mainloop_free(loop_);
}

void MonitorRecorder::OnRead(pa_stream* stream, std::size_t, void* self) {
  auto* recorder = static_cast<MonitorRecorder*>(self);
  const void* data = nullptr;
  std::size_t bytes = 0;
  while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
    std::lock_guard samplesLock(recorder->samplesMutex_);
    std::vector<std::int16_t>& samples = recorder->samples_;
    const std::size_t count = bytes / kFrameBytes;
    if (data) {
      // The left channel.
      const auto* bytesIn = static_cast<const unsigned char*>(data);
      const std::size_t at = samples.size();
      samples.resize(at + count);
      for (std::size_t i = 0; i < count; ++i) std::memcpy(&samples[at + i], bytesIn + i * kFrameBytes, 2);
    } else {
      samples.resize(samples.size() + count, 0);  // a hole: silence
    }
    pa_stream_drop(stream);
  }
  pa_threaded_mainloop_signal(recorder->loop_, 0);
}

std::int64_t MonitorRecorder::HeardNow() {
  if (!stream_) return -1;
  pa_threaded_mainloop_lock(loop_);
  // The server's last report, carried forward by this machine's clock: the
  // samples written into the recording, plus those still on their way, less
  // what the sink has rendered ahead of what leaves it (a monitor records at
  // rendering). libpulse's own interpolation drifted by up to 0.1 s.
  const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
  std::int64_t heard = -1;
  if (timing && !timing->write_index_corrupt) {
    timeval now{};
    pa_gettimeofday(&now);
    const std::int64_t usec = std::int64_t(timing->transport_usec) + std::int64_t(timing->source_usec) -
                              std::int64_t(timing->sink_usec) +
                              std::int64_t(pa_timeval_diff(&now, &timing->timestamp));
    heard = timing->write_index / kFrameBytes + usec * kRate / 1'000'000;
  }
  pa_threaded_mainloop_unlock(loop_);
  return heard;
}

std::vector<std::int16_t> MonitorRecorder::Samples() {
  std::lock_guard lock(samplesMutex_);
  return samples_;
}

bool MonitorRecorder::WaitForSamples(std::int64_t index) {
  if (!stream_) return false;
  pa_threaded_mainloop_lock(loop_);
  const bool arrived = WaitUntil(loop_, [&] {
    std::lock_guard samplesLock(samplesMutex_);
    return std::int64_t(samples_.size()) > index ? 1 : 0;
  });
  pa_threaded_mainloop_unlock(loop_);
  return arrived;
}
