#pragma once
// Decoding a sound file into 16-bit PCM with libsndfile, a piece at a time, so
// that memory does not grow with the file's length.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class SoundDecoder {
 public:
  // nullptr when the file is missing or libsndfile cannot read it.
  static std::unique_ptr<SoundDecoder> Open(const std::string& path);
  ~SoundDecoder();
  SoundDecoder(const SoundDecoder&) = delete;
  SoundDecoder& operator=(const SoundDecoder&) = delete;

  // 1 or 2: files with more channels are delivered as their first two.
  int Channels() const { return outChannels_; }
  int SampleRate() const { return rate_; }
  // libsndfile's frame count. For MP3 it is an estimate (off by a fraction of a
  // percent), so the end of the data is what Read reports, not this.
  std::uint64_t EstimatedFrames() const { return frames_; }

  // Fills `out` with up to `frames` interleaved frames of Channels() samples;
  // returns the frames delivered, 0 at the end of the data or on a read error.
  std::size_t Read(std::int16_t* out, std::size_t frames);

 private:
  SoundDecoder() = default;
  struct SndfileCloser {
    void operator()(void* file) const;
  };
  std::unique_ptr<void, SndfileCloser> file_;
  int fileChannels_ = 0;
  int outChannels_ = 0;
  int rate_ = 0;
  std::uint64_t frames_ = 0;
  std::unique_ptr<std::int16_t[]> wide_;  // for files of more than two channels
  std::size_t wideFrames_ = 0;
};
