#pragma once
// Records the default sink's monitor (its left channel, as the sink has it) for
// the whole life of the object and tells,
// at any moment, which of the recorded samples is being heard: the sound
// server's own timeline, unaffected by how late this process gets to run. A
// test can so place an event of the program against the sound itself.

#include <cstdint>
#include <mutex>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

class MonitorRecorder {
 public:
  static constexpr int kRate = 44100;  // one channel, 16 bit

  MonitorRecorder();
  ~MonitorRecorder();
  MonitorRecorder(const MonitorRecorder&) = delete;
  MonitorRecorder& operator=(const MonitorRecorder&) = delete;

  // False when the recording could not be started.
  bool Recording() const { return stream_ != nullptr; }

  // The index of the sample being heard now (samples before it have been
  // heard), on the timeline of Samples(); -1 before the server has said.
  std::int64_t HeardNow();

  // Every sample recorded so far; index 0 is the recording's first.
  std::vector<std::int16_t> Samples();

  // Waits until the samples up to `index` have arrived; false after 10 s.
  bool WaitForSamples(std::int64_t index);

 private:
  static void OnRead(pa_stream* stream, std::size_t bytes, void* self);
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  // The main loop's lock would guard them too, but ThreadSanitizer cannot see that
  // lock, taken inside the uninstrumented libpulse; a mutex of our own it can see.
  std::mutex samplesMutex_;
  std::vector<std::int16_t> samples_;  // guarded by samplesMutex_
};
