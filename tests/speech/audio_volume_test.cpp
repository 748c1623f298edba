// The output level as the default sink's volume, on either sound server, and
// what the sink's monitor hears.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "speech/audio.h"
#include "tests/speech/soundtestsupport.h"
#include "ui/programfolder.h"

namespace {

std::string SinkVolume() { return RunCommand("pactl get-sink-volume @DEFAULT_SINK@ 2>/dev/null"); }

class OutputVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_SOUND_SERVER();
    lock_ = std::make_unique<SinkLock>(SinkLock::Exclusive);
    before_ = SinkChannels();
    ASSERT_FALSE(before_.empty()) << SinkVolume();
  }
  void TearDown() override {
    if (lock_) SetSinkChannels(before_);
  }

  std::unique_ptr<SinkLock> lock_;
  std::vector<long> before_;
};

TEST_F(OutputVolumeTest, HalfTheRangeShowsAsFiftyPercentOfTheSink) {
  ASSERT_TRUE(SetOutputVolume(32768));
  EXPECT_NE(SinkVolume().find("32768 /  50%"), std::string::npos) << SinkVolume();
  EXPECT_EQ(SinkChannels(), (std::vector<long>{32768, 32768}));
  EXPECT_EQ(GetOutputVolume(), 32768u);
}

TEST_F(OutputVolumeTest, ReadsBackWhatWasSetAndClampsAboveTheTop) {
  for (std::uint32_t value : {0u, 4096u, 16384u, 40000u, 61440u, 65535u, 65536u}) {
    ASSERT_TRUE(SetOutputVolume(value)) << value;
    EXPECT_EQ(GetOutputVolume(), value) << value;
  }
  ASSERT_TRUE(SetOutputVolume(70000));
  EXPECT_EQ(GetOutputVolume(), 65536u);
  EXPECT_NE(SinkVolume().find("100%"), std::string::npos) << SinkVolume();
}

TEST_F(OutputVolumeTest, RestoringWhatWasReadPutsEveryChannelBackExactly) {
  // Levels a user may have: over-amplified beyond 100 %, silent,
  // exactly half, an odd value, and with the channels out of balance.
  for (const char* level : {"150%", "0", "32768", "12345", "30% 70%", "65536 40000", "98304 65536"}) {
    RunCommand(std::string("pactl set-sink-volume @DEFAULT_SINK@ ") + level);
    const std::vector<long> users = SinkChannels();
    const std::uint32_t saved = GetOutputVolume();
    ASSERT_TRUE(SetOutputVolume(4096));
    ASSERT_NE(SinkChannels(), users);
    EXPECT_TRUE(RestoreOutputVolume(saved)) << level;
    EXPECT_EQ(SinkChannels(), users) << level;
  }
}

TEST_F(OutputVolumeTest, AboveTheTopReadsAsTheTop) {
  RunCommand("pactl set-sink-volume @DEFAULT_SINK@ 150%");
  EXPECT_EQ(GetOutputVolume(), 65536u);
}

TEST_F(OutputVolumeTest, SettingTheValueJustReadGivesAllChannelsThatOneLevel) {
  // A calibration step may set exactly what was read: that is a level of its
  // own, not the restore of the user's balance.
  RunCommand("pactl set-sink-volume @DEFAULT_SINK@ 30% 70%");
  const std::vector<long> unequal = SinkChannels();
  const std::uint32_t read = GetOutputVolume();
  ASSERT_TRUE(SetOutputVolume(read));
  EXPECT_EQ(SinkChannels(), (std::vector<long>{unequal[1], unequal[1]}));
  // A restore of a value that was not read sets it as one level as well.
  ASSERT_TRUE(RestoreOutputVolume(read - 1));
  EXPECT_EQ(SinkChannels(), (std::vector<long>{unequal[1] - 1, unequal[1] - 1}));
}

TEST_F(OutputVolumeTest, TheSinkIsHeardClearlyLouderAtTheTopThanAtAQuarter) {
  OverrideProgramFolder(SourceDataFolder());
  StreamHandle stream = 0;
  auto levelAt = [&](std::uint32_t volume) {
    SetOutputVolume(volume);
    PlayFile(stream, ProgramFolder() + "resources\\tone.mp3");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double level = RecordSinkLevel(1000);
    StopPlayback(stream);
    return level;
  };
  const double loud = levelAt(65535);
  const double quiet = levelAt(16384);
  std::printf("  monitor RMS: %.4f at 65535, %.5f at 16384\n", loud, quiet);
  ASSERT_GE(loud, 0) << "recording the monitor failed";
  ASSERT_GE(quiet, 0) << "recording the monitor failed";
  // At the top the tone reaches the monitor at an RMS of about 0.2. PulseAudio's
  // volume goes with the cube of the value, so a quarter of the range gives
  // about 1/64 of that.
  EXPECT_GT(loud, 0.1);
  EXPECT_GT(quiet, 0.0005) << "the tone should still be heard";
  EXPECT_GT(loud, 10 * quiet) << "loud " << loud << ", quiet " << quiet;
}

}  // namespace
