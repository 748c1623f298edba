#include "speech/monitorjudge.h"

#include <algorithm>
#include <cmath>

namespace {

// The monitor's digital silence: a suspended sink's monitor reads exact zeros,
// while sound at the lowest level that counts below is still several steps of
// a 16-bit sink above it.
constexpr float kSilence = 0.5f / 32768;
constexpr float kAudible = 2.0f / 32768;
// A monitor block belongs to somewhere between this far before the position of
// the last timing report (the monitor's latency and its reads of 50 ms) and
// this far after it (reports are asked for every 100 ms); both with room.
constexpr std::int64_t kMonitorLagMs = 500;
constexpr std::int64_t kReportAgeMs = 200;

}  // namespace

void MonitorJudge::Written(const std::int16_t* pcm, std::size_t frames, int channels, int rate) {
  const std::size_t blockFrames = static_cast<std::size_t>(rate) * kBlockMs / 1000;
  if (blockFrames == 0 || channels <= 0) return;
  for (std::size_t frame = 0; frame < frames; ++frame) {
    for (int c = 0; c < channels; ++c)
      writtenPeak_ = std::max(writtenPeak_, std::abs(pcm[frame * channels + c] / 32768.0f));
    if (++writtenFrames_ == blockFrames) {
      written_.push_back(writtenPeak_);
      writtenPeak_ = 0;
      writtenFrames_ = 0;
    }
  }
}

void MonitorJudge::SetVolume(double linear) { volume_ = linear; }

bool MonitorJudge::Heard(const float* samples, std::size_t count, int rate, int channels, std::int64_t playedMs) {
  const std::size_t blockSamples = static_cast<std::size_t>(rate) * static_cast<std::size_t>(channels) * kBlockMs / 1000;
  if (blockSamples == 0) return interrupted_;
  for (std::size_t i = 0; i < count; ++i) {
    heardPeak_ = std::max(heardPeak_, std::abs(samples[i]));
    if (++heardSamples_ == blockSamples) {
      HearBlock(heardPeak_, playedMs);
      heardPeak_ = 0;
      heardSamples_ = 0;
    }
  }
  return interrupted_;
}

void MonitorJudge::HearBlock(float peak, std::int64_t playedMs) {
  if (interrupted_) return;
  if (peak > kSilence) {
    silentMs_ = 0;
    return;
  }
  // A silence that the data may explain neither counts nor clears.
  if (!AudibleThroughout(playedMs - kMonitorLagMs, playedMs + kReportAgeMs)) return;
  silentMs_ += kBlockMs;
  if (silentMs_ >= kInterruptMs) interrupted_ = true;
}

bool MonitorJudge::AudibleThroughout(std::int64_t fromMs, std::int64_t toMs) const {
  if (volume_ < 0 || fromMs < 0) return false;
  const std::int64_t first = fromMs / kBlockMs;
  const std::int64_t last = toMs / kBlockMs;
  if (last >= static_cast<std::int64_t>(written_.size())) return false;
  const float quietest = *std::min_element(written_.begin() + first, written_.begin() + last + 1);
  return quietest * volume_ >= kAudible;
}
