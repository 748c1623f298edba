// Playback through libsndfile and the sound server into the tests' null sink.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "speech/audio.h"
#include "tests/speech/soundtestsupport.h"
#include "ui/programfolder.h"

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A stream ends once its last sample has been heard, so by this process's clock
// not before its duration; how soon after is measured on the sink's monitor
// (audio_end_test.cpp). The server holds two seconds of each stream, so even a
// loaded machine does not make it skip any.

// Only a stream that never ends or never moves waits this long.
constexpr milliseconds kFault{20000};

class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_SOUND_SERVER();
    OverrideProgramFolder(SourceDataFolder());
    lock_ = std::make_unique<SinkLock>(SinkLock::Shared);
  }
  void TearDown() override {
    StopPlayback(stream_);
    StopPlayback(other_);
  }

  StreamHandle stream_ = 0;
  StreamHandle other_ = 0;
  std::unique_ptr<SinkLock> lock_;
};

milliseconds DurationOf(const DecodedSize& size) {
  return milliseconds(size.frames * 1000 / std::uint64_t(size.rate));
}

struct FileCase {
  const char* name;
  const char* path;  // as the dialogs write it
};
void PrintTo(const FileCase& file, std::ostream* out) { *out << file.path; }

class PlaysToItsRealEnd : public PlaybackTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(PlaysToItsRealEnd, EndsWithinItsDurationAndPositionRisesToLength) {
  const QString path = ProgramFolder() + GetParam().path;
  const DecodedSize size = DecodeWhole(path);
  ASSERT_GT(size.frames, 0u);
  const milliseconds duration = DurationOf(size);

  const auto start = Clock::now();
  PlayFile(stream_, path);
  ASSERT_NE(stream_, 0u);
  EXPECT_TRUE(IsPlaying(stream_));

  std::uint32_t lastPosition = 0;
  bool positionWentBack = false;
  bool positionAboveLength = false;
  while (IsPlaying(stream_) && Clock::now() - start < duration + kFault) {
    std::uint32_t position = StreamPosition(stream_);
    std::uint32_t length = StreamLength(stream_);
    positionWentBack = positionWentBack || position < lastPosition;
    positionAboveLength = positionAboveLength || position > length;
    lastPosition = position;
    std::this_thread::sleep_for(milliseconds(5));
  }
  const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);

  std::printf("  %s: %lld ms long, ended after %lld ms\n", GetParam().path, (long long)duration.count(),
              (long long)elapsed.count());
  EXPECT_FALSE(IsPlaying(stream_));
  EXPECT_GE(elapsed, duration) << "ended before its sound could have been heard";
  EXPECT_FALSE(EndedEarly(stream_));
  EXPECT_FALSE(positionWentBack);
  EXPECT_FALSE(positionAboveLength);
  EXPECT_GT(lastPosition, 0u);
  // The length is the decoded data, not libsndfile's estimate, and the position
  // reaches it at the end.
  const std::uint32_t decodedBytes = std::uint32_t(size.frames * size.channels * 2);
  EXPECT_EQ(StreamLength(stream_), decodedBytes);
  EXPECT_EQ(StreamPosition(stream_), decodedBytes);
}

INSTANTIATE_TEST_SUITE_P(OwnSoundData, PlaysToItsRealEnd,
                         ::testing::Values(FileCase{"AlarmWav", "soundset\\wecker_piep.wav"},
                                           FileCase{"AlarmMp3", "soundset\\wecker_glocke.mp3"},
                                           FileCase{"CalibrationToneMp3", "resources\\tone.mp3"},
                                           FileCase{"SpeechWordInSubfolder",
                                                    "speechset\\deutsch\\guten_morgen.wav"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlaybackTest, MissingOrUnreadableFileGivesHandleZeroWhichCountsAsEnded) {
  PlayFile(stream_, ProgramFolder() + "speechset\\gibt_es_nicht.wav");
  EXPECT_EQ(stream_, 0u);
  EXPECT_FALSE(IsPlaying(stream_));

  // A file that is there but is no sound: the speech set list itself.
  PlayFile(stream_, ProgramFolder() + "speechset\\Deutsch.ini");
  EXPECT_EQ(stream_, 0u);

  // The previous stream is stopped even when the new file cannot be played.
  PlayFile(stream_, ProgramFolder() + "resources\\tone.mp3");
  const StreamHandle playing = stream_;
  ASSERT_TRUE(IsPlaying(playing));
  PlayFile(stream_, ProgramFolder() + "soundset\\fehlt.mp3");
  EXPECT_EQ(stream_, 0u);
  EXPECT_FALSE(IsPlaying(playing));
}

TEST_F(PlaybackTest, PlayFileOnAPlayingStreamStopsItAndStartsAgainFromTheBeginning) {
  const QString tone = ProgramFolder() + "resources\\tone.mp3";
  const DecodedSize size = DecodeWhole(tone);
  const std::uint32_t bytesPerSecond = std::uint32_t(size.rate * size.channels * 2);

  PlayFile(stream_, tone);
  const StreamHandle first = stream_;
  const auto started = Clock::now();
  while (StreamPosition(first) <= bytesPerSecond / 2 && Clock::now() - started < kFault)
    std::this_thread::sleep_for(milliseconds(5));
  ASSERT_GT(StreamPosition(first), bytesPerSecond / 2);

  const auto restart = Clock::now();
  PlayFile(stream_, tone);
  ASSERT_NE(stream_, 0u);
  EXPECT_FALSE(IsPlaying(first));
  EXPECT_EQ(StreamPosition(first), 0u) << "the old stream is freed";
  EXPECT_TRUE(IsPlaying(stream_));
  EXPECT_LT(StreamPosition(stream_), bytesPerSecond / 4);

  while (IsPlaying(stream_) && Clock::now() - restart < kFault) std::this_thread::sleep_for(milliseconds(5));
  const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - restart);
  EXPECT_GE(elapsed, DurationOf(size))
      << "the new stream did not start from its beginning";
}

TEST_F(PlaybackTest, TwoStreamsPlayAtTheSameTimeIndependently) {
  PlayFile(stream_, ProgramFolder() + "resources\\tone.mp3");
  PlayFile(other_, ProgramFolder() + "soundset\\wecker_piep.wav");
  ASSERT_NE(stream_, 0u);
  ASSERT_NE(other_, 0u);
  EXPECT_NE(stream_, other_);

  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_TRUE(IsPlaying(stream_));
  EXPECT_TRUE(IsPlaying(other_));
  const std::uint32_t otherBefore = StreamPosition(other_);
  EXPECT_GT(StreamPosition(stream_), 0u);
  EXPECT_GT(otherBefore, 0u);

  StopPlayback(stream_);
  EXPECT_EQ(stream_, 0u);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(IsPlaying(other_));
  EXPECT_GT(StreamPosition(other_), otherBefore);
}

TEST_F(PlaybackTest, SoundKeepsFlowingWhileTheCallingThreadIsBlocked) {
  // Only a fraction of a second is queued ahead at any time: without the
  // layer's own feeder the stream would run dry while the caller sleeps.
  const QString tone = ProgramFolder() + "resources\\tone.mp3";
  const DecodedSize size = DecodeWhole(tone);
  const std::uint32_t bytesPerSecond = std::uint32_t(size.rate * size.channels * 2);

  PlayFile(stream_, tone);
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_TRUE(IsPlaying(stream_));
  EXPECT_GT(StreamPosition(stream_), bytesPerSecond * 12 / 10);
}

TEST_F(PlaybackTest, StopPlaybackEndsTheStreamAndClearsTheHandle) {
  PlayFile(stream_, ProgramFolder() + "soundset\\wecker_glocke.mp3");
  const StreamHandle stopped = stream_;
  ASSERT_TRUE(IsPlaying(stopped));
  StopPlayback(stream_);
  EXPECT_EQ(stream_, 0u);
  EXPECT_FALSE(IsPlaying(stopped));
  EXPECT_EQ(StreamLength(stopped), 0u);
}

TEST(StreamHandles, ZeroAndUnknownHandlesAreAcceptedAndDoNothing) {
  StreamHandle none = 0;
  StopPlayback(none);
  EXPECT_EQ(none, 0u);
  EXPECT_FALSE(IsPlaying(0));
  EXPECT_EQ(StreamLength(0), 0u);
  EXPECT_EQ(StreamPosition(0), 0u);

  StreamHandle unknown = 0x7fff1234;
  EXPECT_FALSE(IsPlaying(unknown));
  EXPECT_EQ(StreamLength(unknown), 0u);
  StopPlayback(unknown);
  EXPECT_EQ(unknown, 0u);
}

}  // namespace
