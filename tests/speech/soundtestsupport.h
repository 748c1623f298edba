#pragma once
// Helpers for tests that go through the real libraries into the null sink of
// the private sound server (PulseAudio or PipeWire) that scripts/test starts
// (scripts/soundserver.sh). The tests name no sink: they use the default one.

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

// True when a sound server answers `pactl info`.
bool SoundServerReachable();

#define SKIP_WITHOUT_SOUND_SERVER()                                                                \
  do {                                                                                             \
    if (!SoundServerReachable())                                                                   \
      GTEST_SKIP() << "no sound server reachable (scripts/test starts one with a null sink)"; \
  } while (0)

// The repository's data/ folder, with a trailing separator.
QString SourceDataFolder();

// Runs a shell command, returns what it printed on stdout.
std::string RunCommand(const std::string& command);

// The process behind a socket of the sound server in the runtime folder
// ("pulse/native": PulseAudio or pipewire-pulse; "pipewire-0": PipeWire's
// graph); 0 when there is none.
int SoundServerProcess(const char* socketName);

// Serialises the use of the shared null sink between test processes (ctest runs
// them in parallel): plain playback shares it; tests that change the Master
// level or listen to the sink's monitor need it alone.
class SinkLock {
 public:
  enum Mode { Shared, Exclusive };
  explicit SinkLock(Mode mode);
  ~SinkLock();
  SinkLock(const SinkLock&) = delete;
  SinkLock& operator=(const SinkLock&) = delete;

 private:
  int fd_ = -1;
};

// RMS level (0 to 1) of what the null sink plays, recorded from its monitor for
// the given time; -1 when recording failed.
double RecordSinkLevel(int milliseconds);

// Frames of a sound file as decoded to its very end, and its sample rate: the
// real duration, which for MP3 differs from libsndfile's estimate.
struct DecodedSize {
  std::uint64_t frames = 0;
  int channels = 0;
  int rate = 0;
};
DecodedSize DecodeWhole(const QString& path);

// Writes a stereo 44.1 kHz tone of `frames` frames at a steady, loud level from
// its first sample to its last, so that its start and end show on the monitor.
// `format` is libsndfile's (e.g. SF_FORMAT_WAV | SF_FORMAT_PCM_16). False on failure.
bool WriteTone(const QString& path, int format, int frames);

// Writes a stereo 16-bit 44.1 kHz WAV: `silenceMs` of silence, a 1 kHz sine of
// `toneMs` at `amplitude` of full scale, `afterMs` of silence: a word between
// pauses, whose span of sound is known. False on failure.
bool WriteToneBetweenSilences(const QString& path, double amplitude, int silenceMs, int toneMs, int afterMs);

// The first channel of a sound file decoded as the program decodes it: what
// MonitorRecorder hears of it at 100 %, on either server.
std::vector<std::int16_t> DecodeFirstChannel(const QString& path);

// The first and last index (from `from` on) of a sample louder than `threshold`;
// {-1, -1} when there is none.
struct LoudSpan {
  std::int64_t first = -1;
  std::int64_t last = -1;
};
LoudSpan FindLoudSpan(const std::vector<std::int16_t>& samples, std::int64_t from, int threshold);

// The default sink's volume, raw per channel as the server reports it, e.g. {32768, 32768}.
std::vector<long> SinkChannels();
// Sets each channel of the sink to the raw values given.
void SetSinkChannels(const std::vector<long>& channels);
