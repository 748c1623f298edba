#include "devsim/hearing.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace devsim {

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kBlockFrames = kRate / 100;        // 10 ms
constexpr int kLevelBlocks = 20;                 // 200 ms
constexpr int64_t kKeptFrames = int64_t(kRate);  // history kept when no recording is open
// A monitor delivers within milliseconds; this only guards against a hung server.
constexpr std::chrono::seconds kFirstSoundTimeout{5};

std::chrono::milliseconds FramesToMs(int64_t frames) {
  return std::chrono::milliseconds(frames * 1000 / kRate);
}

std::string Seconds(std::chrono::milliseconds ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", double(ms.count()) / 1000.0);
  return text;
}

}  // namespace

int LevelReading(double peak, const HearingOptions& options) {
  const double reading =
      options.floorReading + (options.fullScaleReading - options.floorReading) * std::clamp(peak, 0.0, 1.0);
  return std::clamp(int(std::lround(reading)), 0, 1023);
}

std::string DescribeHeard(const HeardRecording& recording) {
  std::string text = "heard recording " + std::to_string(recording.number) + ": ";
  if (!recording.soundHeard) return text + "no sound";
  return text + "sound for " + Seconds(recording.span) + ", from " + Seconds(recording.firstSound) +
         " after \"I\"";
}

Ear::Ear(HearingOptions options, std::function<void(const HeardRecording&)> onHeard)
    : options_(std::move(options)), onHeard_(std::move(onHeard)) {
  const pa_sample_spec format{PA_SAMPLE_S16LE, uint32_t(kRate), uint8_t(kChannels)};
  // Small fragments: each read brings 10 ms, so the level and the anchor stay fresh.
  pa_buffer_attr buffering{};
  buffering.maxlength = uint32_t(-1);
  buffering.fragsize = uint32_t(kBlockFrames * kChannels * 2);
  int error = 0;
  stream_ = pa_simple_new(nullptr, "vellamo-devsim", PA_STREAM_RECORD, options_.source.c_str(),
                          "device audio input", &format, nullptr, &buffering, &error);
  if (!stream_) {
    throw HearingUnavailable("cannot record " + options_.source +
                             " from the sound server: " + pa_strerror(error));
  }
  thread_ = std::thread([this] { Read(); });
  // Live before the device answers anything: a recording started before the
  // first block would have no clock to place it on.
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, kFirstSoundTimeout, [this] { return !firstRead_ || !listening_; }) ||
      !listening_) {
    stop_ = true;
    lock.unlock();
    thread_.join();
    pa_simple_free(stream_);
    throw HearingUnavailable("no sound data from " + options_.source);
  }
}

Ear::~Ear() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  // A monitor delivers a block every 10 ms, silence included, so the read returns soon.
  thread_.join();
  pa_simple_free(stream_);
}

int Ear::Level() const {
  std::lock_guard lock(mutex_);
  double peak = 0;
  const size_t count = std::min(blocks_.size(), size_t(kLevelBlocks));
  for (size_t i = blocks_.size() - count; i < blocks_.size(); ++i) peak = std::max(peak, blocks_[i].peak);
  return LevelReading(listening_ ? peak : 0.0, options_);
}

int64_t Ear::FrameAtLocked(Clock::time_point when) const {
  const auto sinceZero = std::chrono::duration_cast<std::chrono::microseconds>(when - frameZeroTime_);
  return sinceZero.count() * kRate / 1000000;
}

void Ear::StartRecording(int number, Clock::time_point when) {
  std::lock_guard lock(mutex_);
  // A new "I" while one is open: the device starts over, the open one is lost.
  std::erase_if(open_, [](const Open& o) { return !o.endFrame; });
  open_.push_back(Open{number, FrameAtLocked(when), std::nullopt});
}

void Ear::StopRecording(Clock::time_point when) {
  std::lock_guard lock(mutex_);
  for (Open& o : open_) {
    if (!o.endFrame) o.endFrame = std::max(o.startFrame, FrameAtLocked(when));
  }
}

std::vector<HeardRecording> Ear::Recordings() const {
  std::lock_guard lock(mutex_);
  return heard_;
}

bool Ear::WaitForRecordings(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return heard_.size() >= count || !listening_; }) &&
         heard_.size() >= count;
}

bool Ear::Listening() const {
  std::lock_guard lock(mutex_);
  return listening_;
}

HeardRecording Ear::MeasureLocked(const Open& recording) const {
  HeardRecording heard;
  heard.number = recording.number;
  int64_t first = -1;
  int64_t last = -1;
  for (const Block& b : blocks_) {
    if (b.firstLoud < 0 || b.lastLoud < recording.startFrame || b.firstLoud >= *recording.endFrame) continue;
    if (first < 0) first = std::max(b.firstLoud, recording.startFrame);
    last = std::min(b.lastLoud, *recording.endFrame - 1);
  }
  if (first >= 0) {
    heard.soundHeard = true;
    heard.firstSound = FramesToMs(first - recording.startFrame);
    heard.span = FramesToMs(last + 1 - first);
  }
  return heard;
}

void Ear::PruneLocked() {
  int64_t keepFrom = framesRead_ - kKeptFrames;
  for (const Open& o : open_) keepFrom = std::min(keepFrom, o.startFrame);
  while (!blocks_.empty() && blocks_.front().firstFrame + kBlockFrames <= keepFrom) blocks_.pop_front();
}

void Ear::Read() {
  std::vector<int16_t> samples(size_t(kBlockFrames) * kChannels);
  const int threshold = int(std::ceil(options_.silenceThreshold * 32768.0));
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
    }
    int error = 0;
    const bool read = pa_simple_read(stream_, samples.data(), samples.size() * 2, &error) == 0;
    const Clock::time_point now = Clock::now();
    if (!read) {
      std::lock_guard lock(mutex_);
      listening_ = false;
      changed_.notify_all();
      return;
    }

    Block block{0, 0.0, -1, -1};
    int peak = 0;
    for (int frame = 0; frame < kBlockFrames; ++frame) {
      int loudest = 0;
      for (int channel = 0; channel < kChannels; ++channel) {
        loudest = std::max(loudest, std::abs(int(samples[size_t(frame * kChannels + channel)])));
      }
      peak = std::max(peak, loudest);
      if (loudest >= threshold) {
        if (block.firstLoud < 0) block.firstLoud = frame;
        block.lastLoud = frame;
      }
    }
    block.peak = double(peak) / 32768.0;

    std::vector<HeardRecording> finished;
    {
      std::lock_guard lock(mutex_);
      block.firstFrame = framesRead_;
      if (block.firstLoud >= 0) {
        block.firstLoud += framesRead_;
        block.lastLoud += framesRead_;
      }
      blocks_.push_back(block);
      framesRead_ += kBlockFrames;
      // A frame arrives at the earliest when it sounds, often later (scheduling,
      // the server's buffers, a burst of older audio when the stream starts), so
      // the earliest arrival seen relative to its frame number is when frame 0
      // sounded.
      const Clock::time_point frameZero = now - std::chrono::microseconds(framesRead_ * 1000000 / kRate);
      if (firstRead_ || frameZero < frameZeroTime_) frameZeroTime_ = frameZero;
      if (firstRead_) changed_.notify_all();
      firstRead_ = false;
      for (auto o = open_.begin(); o != open_.end();) {
        if (o->endFrame && framesRead_ >= *o->endFrame) {
          finished.push_back(MeasureLocked(*o));
          o = open_.erase(o);
        } else {
          ++o;
        }
      }
      PruneLocked();
    }
    if (finished.empty()) continue;
    // Reported before it is published, so that whoever sees it in Recordings()
    // finds it in the log as well.
    if (onHeard_) {
      for (const HeardRecording& r : finished) onHeard_(r);
    }
    std::lock_guard lock(mutex_);
    heard_.insert(heard_.end(), finished.begin(), finished.end());
    changed_.notify_all();
  }
}

}  // namespace devsim
