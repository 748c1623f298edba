#pragma once
// The simulated device's ear: what the sound server plays on its default output,
// recorded from that output's monitor, as a real device hears the computer's
// line out on its audio input.
//
// Recording goes through libpulse's simple API (pa_simple) on the source
// "@DEFAULT_MONITOR@", the monitor of the default sink, two channels of 16 bits
// at 44.1 kHz, read in blocks of 10 ms on a thread of its own. Nothing here
// touches Qt.
//
// Level reading ("B"): the peak of the louder channel over the last 200 ms,
// relative to full scale (0 to 1), mapped linearly onto the device's converter:
//
//     reading = min(1023, round(floorReading + (fullScaleReading - floorReading) * peak))
//
// By default silence reads 5 (a real converter with its input connected never
// reads 0, and the copy sequence takes 0 for a failed reading) and a full-scale
// tone played at output volume 65536 reads 1000. The sound server scales a
// stream by the cube of the output volume, so the same tone at 32768 reads
// about 129 and at 4096 stays on the floor.
//
// Recordings ("I" to "J"): the span from the first to the last sample between
// the two commands whose level lies above silenceThreshold. Sound reaches the
// monitor a little after it was played, so a recording is measured once the
// audio of the moment of "J" has been read; HeardRecordings() grows then.
//
// Threading: every public member may be called from any thread. One mutex
// guards the block history, the recordings and the clock of the frames; the reading
// thread holds it only for bookkeeping, never across a read or the callback.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct pa_simple;

namespace devsim {

struct HearingOptions {
  // The source recorded; the default sink's monitor unless told otherwise.
  std::string source = "@DEFAULT_MONITOR@";
  int floorReading = 5;
  int fullScaleReading = 1000;
  // Quieter than this (relative to full scale, about -50 dBFS) is silence for
  // the span of a recording.
  double silenceThreshold = 0.003;
};

// The converter reading of a peak level (0 to 1) under `options`' mapping.
int LevelReading(double peak, const HearingOptions& options);

struct HeardRecording {
  int number = 0;                           // 1 for the first "I" the device saw
  bool soundHeard = false;                  // false: silence from "I" to "J"
  std::chrono::milliseconds firstSound{0};  // from "I" to the first sound heard
  std::chrono::milliseconds span{0};        // from the first to the last sound heard
};

// "heard recording 2: sound for 1.234 s, from 0.310 s after \"I\"" or "heard recording 2: no sound"
std::string DescribeHeard(const HeardRecording& recording);

class HearingUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Ear {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects to the sound server and starts recording; throws HearingUnavailable
  // when the server or the source cannot be reached. `onHeard` is called on the
  // reading thread, without the lock held, for each finished recording.
  explicit Ear(HearingOptions options, std::function<void(const HeardRecording&)> onHeard = {});
  ~Ear();
  Ear(const Ear&) = delete;
  Ear& operator=(const Ear&) = delete;

  const HearingOptions& Options() const { return options_; }

  // The reading for what was heard in the last 200 ms.
  int Level() const;

  // "I" at `when`: a new recording with this number begins (an open one is
  // dropped). "J" at `when`: the open recording ends; without one nothing happens.
  void StartRecording(int number, Clock::time_point when);
  void StopRecording(Clock::time_point when);

  std::vector<HeardRecording> Recordings() const;
  bool WaitForRecordings(size_t count, std::chrono::milliseconds timeout) const;

  // False once reading failed for good (the server went away); the level then
  // stays on the floor.
  bool Listening() const;

 private:
  struct Block {
    int64_t firstFrame;
    double peak;
    int64_t firstLoud;  // frame index of the first sample above the threshold, or -1
    int64_t lastLoud;
  };
  struct Open {
    int number;
    int64_t startFrame;
    std::optional<int64_t> endFrame;
  };

  void Read();
  int64_t FrameAtLocked(Clock::time_point when) const;
  HeardRecording MeasureLocked(const Open& recording) const;
  void PruneLocked();

  HearingOptions options_;
  std::function<void(const HeardRecording&)> onHeard_;
  pa_simple* stream_ = nullptr;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<Block> blocks_;
  int64_t framesRead_ = 0;
  Clock::time_point frameZeroTime_;  // when the first frame read sounded in the sink
  bool firstRead_ = true;
  std::vector<Open> open_;
  std::vector<HeardRecording> heard_;
  bool stop_ = false;
  bool listening_ = true;
  std::thread thread_;
};

}  // namespace devsim
