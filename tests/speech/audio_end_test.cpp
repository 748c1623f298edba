// The end of a stream against what the null sink's monitor hears: a stream
// counts as playing until its last sample has been heard (how much later it
// ends is printed: about 15-25 ms on a quiet machine). Each check is placed on the sound server's own
// timeline: a moment before and one after every query, so that a late-running test can only make a check
// weaker, never fail it.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "speech/audio.h"
#include "tests/speech/monitorrecorder.h"
#include "tests/speech/soundtestsupport.h"

namespace {
using std::chrono::milliseconds;

constexpr int kRuns = 10;
constexpr int kLoud = 4096;  // the tones stay near 16384; silence is 0
constexpr std::int64_t kTailCompared = MonitorRecorder::kRate * 20 / 1000;

struct ToneFile {
  const char* name;
  const char* file;
  int format;
};
void PrintTo(const ToneFile& tone, std::ostream* out) { *out << tone.file; }

std::int64_t QuietSamples(const std::vector<std::int16_t>& samples, const LoudSpan& span) {
  std::int64_t quiet = 0;
  for (std::int64_t k = span.first; k <= span.last; ++k) quiet += std::abs(samples[std::size_t(k)]) < kLoud;
  return quiet;
}

// One look at the stream, between two readings of the monitor's timeline.
struct Look {
  std::int64_t before = 0;
  std::int64_t after = 0;
  bool playing = false;
  std::uint32_t position = 0;
};

class HeardToTheEnd : public ::testing::TestWithParam<ToneFile> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_SOUND_SERVER();
    lock_ = std::make_unique<SinkLock>(SinkLock::Exclusive);
    volume_ = SinkChannels();
    // At 100 % the sink passes the samples through unchanged.
    SetSinkChannels(std::vector<long>(volume_.size(), 65536));
    ASSERT_TRUE(folder_.isValid());
    path_ = folder_.filePath(GetParam().file);
    // 0.6 s, not a whole number of the MP3's frames.
    ASSERT_TRUE(WriteTone(path_, GetParam().format, 26'000));
    recorder_ = std::make_unique<MonitorRecorder>();
    ASSERT_TRUE(recorder_->Recording());
  }
  void TearDown() override {
    StopPlayback(stream_);
    recorder_.reset();
    if (lock_ && !volume_.empty()) SetSinkChannels(volume_);
  }

  // The monitor's "now" once the server has told it.
  std::int64_t HeardNow() {
    std::int64_t now = recorder_->HeardNow();
    for (int i = 0; now < 0 && i < 1000; ++i) {
      std::this_thread::sleep_for(milliseconds(10));
      now = recorder_->HeardNow();
    }
    return now;
  }

  std::unique_ptr<SinkLock> lock_;
  std::vector<long> volume_;
  QTemporaryDir folder_;
  QString path_;
  std::unique_ptr<MonitorRecorder> recorder_;
  StreamHandle stream_ = 0;
};

TEST_P(HeardToTheEnd, PlayingEndsOnlyAfterTheLastSampleIsHeard) {
  const std::vector<std::int16_t> decoded = DecodeFirstChannel(path_);
  const LoudSpan inFile = FindLoudSpan(decoded, 0, kLoud);
  ASSERT_GE(inFile.first, 0);
  // Samples after the last loud one still belong to the file.
  const std::int64_t tail = std::int64_t(decoded.size()) - inFile.last;

  int dropouts = 0;
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const std::int64_t runStart = HeardNow();
    ASSERT_GE(runStart, 0) << "the monitor's time is not known";
    PlayFile(stream_, path_);
    ASSERT_NE(stream_, 0u);
    const std::uint32_t length = StreamLength(stream_);

    std::vector<Look> looks;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      Look look;
      look.before = recorder_->HeardNow();
      look.playing = IsPlaying(stream_);
      look.position = StreamPosition(stream_);
      look.after = recorder_->HeardNow();
      looks.push_back(look);
      std::this_thread::sleep_for(milliseconds(2));
    } while (looks.back().playing && std::chrono::steady_clock::now() < deadline);
    ASSERT_FALSE(looks.back().playing) << "still playing after 10 s";
    // A stream whose sound ran dry (a machine too busy even for the server's
    // buffer) ends as cut at once; it has no end to judge, only its position.
    if (EndedEarly(stream_)) {
      ++dropouts;
      std::printf("  %s run %d: the sound ran dry and the stream ended as cut\n", GetParam().file, run);
      for (std::size_t n = 1; n < looks.size(); ++n)
        EXPECT_GE(looks[n].position, looks[n - 1].position) << "the position moved back";
      StopPlayback(stream_);
      continue;
    }
    EXPECT_EQ(StreamPosition(stream_), length);

    // Everything up to a little after the end must have arrived.
    ASSERT_TRUE(recorder_->WaitForSamples(looks.back().after + MonitorRecorder::kRate / 10));
    const LoudSpan heard = FindLoudSpan(recorder_->Samples(), runStart, kLoud);
    ASSERT_GE(heard.first, 0) << "nothing was heard";
    // The first sample after the stream's last one.
    const std::int64_t end = heard.last + tail;
    const std::vector<std::int16_t> recorded = recorder_->Samples();
    ASSERT_GE(heard.last - heard.first, kTailCompared);

    // A gap in the sound shows as more quiet samples inside the tone than the
    // file has (the MP3's own ringing has a few). A stream that played to its
    // end had none: a gap would have cut it. This is the copy's promise of no
    // dropout, on either sound server.
    const std::int64_t quiet = QuietSamples(recorded, heard) - QuietSamples(decoded, inFile);
    EXPECT_LE(quiet, MonitorRecorder::kRate / 1000)
        << "a gap of " << double(quiet) * 1000 / MonitorRecorder::kRate << " ms that the stream did not tell";

    // The end found must be the sound's real end: its last 20 ms as recorded
    // are those of the file. (A new stream makes PulseAudio rewind the null sink,
    // which can keep a few ms of the start from the monitor, so the start proves
    // nothing.)
    int mismatches = 0;
    for (std::int64_t k = 0; k < kTailCompared; ++k)
      mismatches +=
          std::abs(recorded[std::size_t(heard.last - k)] - decoded[std::size_t(inFile.last - k)]) > 2;
    EXPECT_EQ(mismatches, 0) << "the end heard is not the end of the file";

    // Ending before the last sample was heard would cut a recording short: that
    // is judged on every look. How late the end comes is printed, not judged: a
    // busy machine delays the test's own looks as much as the stream's end.
    std::uint32_t lastPosition = 0;
    std::int64_t firstNotPlaying = -1;
    std::int64_t lastPlaying = -1;
    for (const Look& look : looks) {
      if (!look.playing) {
        EXPECT_GE(look.after, end) << "ended " << (end - look.after) * 1000 / MonitorRecorder::kRate
                                   << " ms before its last sample was heard";
        if (firstNotPlaying < 0) firstNotPlaying = look.after;
      } else {
        lastPlaying = look.before;
      }
      if (look.position >= length) {
        EXPECT_GE(look.after, end) << "the position reached the length before the end was heard";
      }
      EXPECT_GE(look.position, lastPosition) << "the position moved back";
      lastPosition = look.position;
    }
    std::printf("  %s run %d: last look playing %+.1f ms, first not playing %+.1f ms from the heard end\n",
                GetParam().file, run, double(lastPlaying - end) * 1000 / MonitorRecorder::kRate,
                double(firstNotPlaying - end) * 1000 / MonitorRecorder::kRate);
    StopPlayback(stream_);
  }
  if (dropouts == kRuns) GTEST_SKIP() << "every run ran dry: the machine is too busy to judge the end";
}

INSTANTIATE_TEST_SUITE_P(WavAndMp3, HeardToTheEnd,
                         ::testing::Values(ToneFile{"Wav", "ton.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                                           ToneFile{"Mp3", "ton.mp3",
                                                    SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}),
                         [](const auto& info) { return std::string(info.param.name); });

// A sound stopped in the middle must be over once StoppedSoundEndsInMs says so:
// the copy starts the device's first recording then, and whatever still sounds
// of the level tone would be recorded at the head of the first file. Placed on
// the monitor's timeline from a look after the stop, so a late test only makes
// the bound looser.
TEST(StoppedSound, IsNoLongerHeardOnceItsEndHasCome) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock lock(SinkLock::Exclusive);
  struct LevelPutBack {
    std::vector<long> channels = SinkChannels();
    ~LevelPutBack() { SetSinkChannels(channels); }
  } level;
  SetSinkChannels(std::vector<long>(level.channels.size(), 65536));
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString path = folder.filePath("lang.wav");
  ASSERT_TRUE(WriteTone(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, MonitorRecorder::kRate * 5));
  MonitorRecorder recorder;
  ASSERT_TRUE(recorder.Recording());

  for (int stop = 0; stop < 5; ++stop) {
    SCOPED_TRACE("stop " + std::to_string(stop));
    StreamHandle stream = 0;
    PlayFile(stream, path);
    ASSERT_NE(stream, 0u);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (StreamPosition(stream) < 4 * MonitorRecorder::kRate && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(10));  // 1 s into its sound (frames of 4 bytes)
    ASSERT_GE(StreamPosition(stream), 4u * MonitorRecorder::kRate) << "the tone did not get going";
    StopPlayback(stream);
    const int endsInMs = StoppedSoundEndsInMs();
    const std::int64_t lookAfterStop = recorder.HeardNow();
    ASSERT_GE(lookAfterStop, 0);
    const std::int64_t quietFrom = lookAfterStop + std::int64_t(endsInMs) * MonitorRecorder::kRate / 1000;
    ASSERT_TRUE(recorder.WaitForSamples(quietFrom + MonitorRecorder::kRate / 5));
    const std::vector<std::int16_t> samples = recorder.Samples();
    const LoudSpan heard = FindLoudSpan(samples, lookAfterStop - MonitorRecorder::kRate / 2, kLoud);
    ASSERT_GE(heard.first, 0) << "the tone was not heard";
    EXPECT_LT(heard.last, quietFrom) << "heard " << double(heard.last - quietFrom) * 1000 / MonitorRecorder::kRate
                                     << " ms after the output said the stopped sound had ended";
  }
}

}  // namespace
