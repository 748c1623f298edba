#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Tells from the sink's monitor whether a stream's sound really reached the
// sink: a sink that is suspended or stopped while the server's timing of the
// stream runs on (PipeWire shows nothing else of it) leaves the monitor
// digitally silent where the stream's own data is loud.
//
// Both sides are seen as peaks of 10 ms blocks. Where in the stream a monitor
// block belongs is known only roughly (the monitor's own latency, the age of
// the last timing report), so a silent block counts against the sink only when
// the stream's data is audible throughout everything the block can belong to:
// a pause in the data, or data too quiet to reach the monitor at the sink's
// volume, never cuts.
class MonitorJudge {
 public:
  static constexpr int kBlockMs = 10;
  // How long the sink may be silent against audible data before the sound
  // counts as interrupted: a gap the clock would record. (At PipeWire's
  // default cycle a busy machine was not seen to leave any gap over 10 ms.)
  static constexpr int kInterruptMs = 50;

  // The stream's data as written to the server, in order.
  void Written(const std::int16_t* pcm, std::size_t frames, int channels, int rate);
  // The sink's volume as a linear factor; until it is known nothing is judged.
  void SetVolume(double linear);
  // Interleaved samples of the monitor, read when the stream had played
  // `playedMs` (by the server's last timing report). True once the sound
  // counts as interrupted, and from then on.
  bool Heard(const float* samples, std::size_t count, int rate, int channels, std::int64_t playedMs);
  bool Interrupted() const { return interrupted_; }

 private:
  bool AudibleThroughout(std::int64_t fromMs, std::int64_t toMs) const;
  void HearBlock(float peak, std::int64_t playedMs);

  std::vector<float> written_;  // the data's peak per block, 0..1
  float writtenPeak_ = 0;
  std::size_t writtenFrames_ = 0;  // of the block being gathered
  float heardPeak_ = 0;
  std::size_t heardSamples_ = 0;
  double volume_ = -1;
  int silentMs_ = 0;  // silent against audible data since the monitor last heard anything
  bool interrupted_ = false;
};
