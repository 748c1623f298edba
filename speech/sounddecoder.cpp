#include "speech/sounddecoder.h"

#include <sndfile.h>

#include <algorithm>

void SoundDecoder::SndfileCloser::operator()(void* file) const { sf_close(static_cast<SNDFILE*>(file)); }

std::unique_ptr<SoundDecoder> SoundDecoder::Open(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return nullptr;
  std::unique_ptr<SoundDecoder> decoder(new SoundDecoder);
  decoder->file_.reset(file);
  if (info.channels < 1 || info.samplerate <= 0) return nullptr;
  // Decoded MP3 and Ogg may overshoot full scale; clipped, it cannot wrap around
  // into a loud crack. (SFC_SET_SCALE_FLOAT_INT_READ would avoid that too, but it
  // decodes the whole file first to find the peak.)
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  decoder->fileChannels_ = info.channels;
  decoder->outChannels_ = std::min(info.channels, 2);
  decoder->rate_ = info.samplerate;
  decoder->frames_ = info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0;
  return decoder;
}

SoundDecoder::~SoundDecoder() = default;

std::size_t SoundDecoder::Read(std::int16_t* out, std::size_t frames) {
  auto* file = static_cast<SNDFILE*>(file_.get());
  if (fileChannels_ == outChannels_) {
    sf_count_t got = sf_readf_short(file, out, static_cast<sf_count_t>(frames));
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  if (wideFrames_ < frames) {
    wide_.reset(new std::int16_t[frames * static_cast<std::size_t>(fileChannels_)]);
    wideFrames_ = frames;
  }
  sf_count_t got = sf_readf_short(file, wide_.get(), static_cast<sf_count_t>(frames));
  if (got <= 0) return 0;
  for (sf_count_t f = 0; f < got; ++f) {
    out[2 * f] = wide_[f * fileChannels_];
    out[2 * f + 1] = wide_[f * fileChannels_ + 1];
  }
  return static_cast<std::size_t>(got);
}
